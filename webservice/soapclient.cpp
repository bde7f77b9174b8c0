#include "soapclient.h"

#include "systemproxy.h"

#include <QBuffer>
#include <QEventLoop>
#include <QNetworkReply>
#include <QSet>
#include <QTimer>

SOAPClient::SOAPClient(QObject *parent, qint32 timeoutSeconds, qint32 maxRedirects)
    : QtSoapHttpTransport(parent)
    , timeoutSeconds(timeoutSeconds)
    , maxRedirects(maxRedirects)
{
}

bool SOAPClient::call(const QString &namespaceUri, const QString &methodName, QtSoapMessage &request)
{
    QBuffer body;
    body.open(QIODevice::ReadWrite);
    request.writeTo(&body);
    return call(namespaceUri, methodName, &body);
}

bool SOAPClient::call(const QString &namespaceUri, const QString &methodName, QIODevice *body)
{
    m_errorString.clear();
    QSet<QUrl> redirectedTo;
    QUrl address = url;
    int followed = 0;
    for (;;) {
        const bool secure = address.scheme() == QLatin1String("https");
        setHost(address.host(), secure, address.port(secure ? 443 : 80));
        setAction(namespaceUri + QLatin1Char('/') + methodName);
        if (useSystemProxy)
            applySystemProxy(networkAccessManager(), address);

        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &QtSoapHttpTransport::responseReady, &loop, &QEventLoop::quit);
        submitRequest(body, address.path());
        timer.start(timeoutSeconds * 1000);
        loop.exec();

        QNetworkReply *reply = networkReply();
        if (!timer.isActive()) {
            if (reply)
                reply->abort();
            m_errorString = QStringLiteral("HTTP error: timeout");
            return false;
        }
        timer.stop();
        if (!answerError().isEmpty()) {
            m_errorString = answerError();
            return false;
        }
        if (reply->error() != QNetworkReply::NoError)
            return false;

        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 200)
            return true;
        if (status == 301 || status == 302 || status == 303 || status == 307) {
            const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
            if (redirectedTo.contains(target) || followed >= maxRedirects) {
                m_errorString = QStringLiteral("Exceeded maximum redirects");
                return false;
            }
            redirectedTo.insert(target);
            address = target;
            ++followed;
            continue;
        }
        return false;
    }
}

QString SOAPClient::errorString()
{
    if (!m_errorString.isEmpty())
        return m_errorString;
    if (networkReply())
        return networkReply()->errorString();
    return m_errorString;
}
