#pragma once

#include <QList>
#include <QMap>
#include <QNetworkProxy>
#include <QString>

#include <functional>

class QNetworkAccessManager;
class QUrl;
struct SystemProxySettings;

// One exemption from the proxy: an optional scheme and a host pattern.
struct ProxyBypassEntry
{
    QString scheme;
    QString hostPattern;
};

// Scheme key ("all" for a proxy given without scheme) to proxy, in code-unit order.
using ProxyTable = QMap<QString, QNetworkProxy>;

// Sets on `manager` the proxy that the user's manual proxy settings name for `url`, unless
// they exempt it; otherwise sets a direct connection.
void applySystemProxy(QNetworkAccessManager *manager, const QUrl &url);
bool readSystemProxySettings(ProxyTable &table, QList<ProxyBypassEntry> &bypass);
bool isUrlBypassed(const QUrl &url, const QList<ProxyBypassEntry> &bypass);
bool matchesBypassPattern(const QString &pattern, const QString &host);

// Replaces where the settings come from (the platform by default); for tests.
using SystemProxySource = std::function<bool(SystemProxySettings &)>;
void setSystemProxySource(SystemProxySource source);
