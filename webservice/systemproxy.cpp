#include "systemproxy.h"

#include "systemproxysource.h"

#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QUrl>

namespace {

SystemProxySource &proxySource()
{
    static SystemProxySource source = querySystemProxySettings;
    return source;
}

QStringList splitSettingsText(const std::wstring &text)
{
    static const QRegularExpression separator(QStringLiteral(";\\s*"));
    return QString::fromStdWString(text).split(separator, Qt::SkipEmptyParts);
}

} // namespace

void setSystemProxySource(SystemProxySource source)
{
    proxySource() = source ? std::move(source) : SystemProxySource(querySystemProxySettings);
}

bool readSystemProxySettings(ProxyTable &table, QList<ProxyBypassEntry> &bypass)
{
    table.clear();
    bypass.clear();
    SystemProxySettings settings;
    if (!proxySource()(settings))
        return false;
    const QStringList serverPieces = settings.hasServer ? splitSettingsText(settings.server) : QStringList();
    const QStringList bypassPieces = settings.hasBypass ? splitSettingsText(settings.bypass) : QStringList();
    if (!settings.manualProxy)
        return true;

    for (const QString &piece : bypassPieces) {
        const int separator = piece.indexOf(QLatin1String("://"));
        if (separator > 0)
            bypass.append(ProxyBypassEntry { piece.left(separator), piece.mid(separator + 3) });
        else
            bypass.append(ProxyBypassEntry { QString(), piece });
    }

    for (const QString &piece : serverPieces) {
        const int equals = piece.indexOf(QLatin1Char('='));
        QString key = QStringLiteral("all");
        int hostStart = 0;
        if (equals > 0) {
            key = piece.left(equals);
            hostStart = equals + 1;
        }
        // "host:port", where an IPv6 host comes in brackets that hold colons of their own.
        const QString address = piece.mid(hostStart);
        const int colon = address.lastIndexOf(QLatin1Char(':'));
        const bool hasPort = colon >= 0 && colon > address.lastIndexOf(QLatin1Char(']'));
        QString host = hasPort ? address.left(colon) : address;
        const QString portText = hasPort ? address.mid(colon + 1) : QString();
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        bool ok = false;
        const uint port = portText.toUInt(&ok, 10);
        table.insert(key, QNetworkProxy(QNetworkProxy::HttpProxy, host, static_cast<quint16>(ok ? port : 0)));
    }
    return true;
}

bool matchesBypassPattern(const QString &pattern, const QString &host)
{
    if (pattern == QLatin1String("<local>"))
        return !host.contains(QLatin1Char('.')) || host == QLatin1String("127.0.0.1");
    if (pattern == QLatin1String("<-loopback>"))
        return host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1");
    const QRegularExpression wildcard(
        QRegularExpression::anchoredPattern(QRegularExpression::wildcardToRegularExpression(pattern)),
        QRegularExpression::CaseInsensitiveOption);
    return wildcard.match(host).hasMatch();
}

bool isUrlBypassed(const QUrl &url, const QList<ProxyBypassEntry> &bypass)
{
    const QString host = url.host();
    for (const ProxyBypassEntry &entry : bypass) {
        if (entry.scheme.isEmpty()) {
            if (matchesBypassPattern(entry.hostPattern, host))
                return true;
        } else if (entry.scheme.compare(url.scheme(), Qt::CaseInsensitive) == 0) {
            if (entry.hostPattern.isEmpty() || matchesBypassPattern(entry.hostPattern, host))
                return true;
        }
    }
    return false;
}

void applySystemProxy(QNetworkAccessManager *manager, const QUrl &url)
{
    // This is the only decision: where it names no proxy the request goes direct, rather than
    // to whatever Qt's default would pick from the environment by rules of its own.
    QNetworkProxy chosen(QNetworkProxy::NoProxy);
    ProxyTable table;
    QList<ProxyBypassEntry> bypass;
    if (readSystemProxySettings(table, bypass)) {
        for (auto entry = table.cbegin(); entry != table.cend(); ++entry) {
            if (entry.key() != QLatin1String("all") && entry.key() != url.scheme())
                continue;
            // Exemption does not depend on the entry, so an exempt address gets no proxy at all.
            if (!isUrlBypassed(url, bypass))
                chosen = entry.value();
            break;
        }
    }
    manager->setProxy(chosen);
}
