#pragma once

#include "qtsoap.h"

#include <QUrl>

// One blocking SOAP call: sends the request, waits in a nested event loop for the answer or
// the time-out of each hop, and follows HTTP redirects itself.
class SOAPClient : public QtSoapHttpTransport
{
    Q_OBJECT
public:
    SOAPClient(QObject *parent, qint32 timeoutSeconds, qint32 maxRedirects);

    void setUseSystemProxy() { useSystemProxy = true; }
    void setUrl(const QUrl &url) { this->url = url; }
    bool call(const QString &namespaceUri, const QString &methodName, QtSoapMessage &request);
    // The same with the request already written in its wire form, read from `body` for each hop.
    bool call(const QString &namespaceUri, const QString &methodName, QIODevice *body);
    QString errorString();

private:
    qint32 timeoutSeconds;
    qint32 maxRedirects;
    bool useSystemProxy = false;
    QUrl url;
    QString m_errorString;
};
