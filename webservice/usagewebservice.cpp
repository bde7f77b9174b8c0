#include "usagewebservice.h"

#include "logger.h"
#include "soapclient.h"

#include <boost/lexical_cast.hpp>

const QString usageServiceNamespace
    = QStringLiteral("http://www.kaldo-technologies.com/webservices/UsageTracking/VERI/v1");

namespace {

struct ConversionFailure
{
    QString text;
};

QtSoapStruct *sessionStruct(const SessionInfo &s)
{
    auto *item = new QtSoapStruct(QtSoapQName(QStringLiteral("SessionInfo")));
    item->insert(new QtSoapSimpleType(QtSoapQName(QStringLiteral("productID")), s.productID));
    item->insert(new QtSoapSimpleType(QtSoapQName(QStringLiteral("version")), s.version));
    item->insert(new QtSoapSimpleType(QtSoapQName(QStringLiteral("osPlatform")), s.osPlatform));
    item->insert(new QtSoapSimpleType(QtSoapQName(QStringLiteral("osVersion")), s.osVersion));
    item->insert(new QtSoapSimpleType(QtSoapQName(QStringLiteral("servicePack")), s.servicePack));
    item->insert(new QtSoapSimpleType(QtSoapQName(QStringLiteral("osBits")), s.osBits));
    item->insert(new QtSoapSimpleType(QtSoapQName(QStringLiteral("architecture")), s.architecture));
    item->insert(new QtSoapSimpleType(QtSoapQName(QStringLiteral("langID")), s.langID));
    item->insert(new QtSoapSimpleType(QtSoapQName(QStringLiteral("country")), s.country));
    item->insert(new QtSoapSimpleType(QtSoapQName(QStringLiteral("locale")), s.locale));
    return item;
}

// Reads one "SessionsToPublish"; throws the failure text.
PublishInstruction readInstruction(const QtSoapType &item)
{
    PublishInstruction in;
    for (int i = 0; i < item.count(); ++i) {
        const QtSoapType &member = item[i];
        const QString name = member.name().name();
        if (name == QLatin1String("productID")) {
            in.productID = member.toInt();
        } else if (name == QLatin1String("version")) {
            in.version = member.toString();
        } else if (name == QLatin1String("osPlatform")) {
            in.osPlatform = member.toInt();
        } else if (name == QLatin1String("osVersion")) {
            in.osVersion = member.toInt();
        } else if (name == QLatin1String("servicePack")) {
            in.servicePack = member.toString();
        } else if (name == QLatin1String("osBits")) {
            in.osBits = member.toInt();
        } else if (name == QLatin1String("architecture")) {
            in.architecture = member.toInt();
        } else if (name == QLatin1String("langID")) {
            in.langID = member.toString();
        } else if (name == QLatin1String("country")) {
            in.country = member.toString();
        } else if (name == QLatin1String("locale")) {
            in.locale = member.toString();
        } else if (name == QLatin1String("publish")) {
            in.publish = parsePublishType(member.toString());
            if (in.publish == InvalidPublishType)
                throw QStringLiteral("Invalid 'publish' value: ") + member.toString();
        } else if (name == QLatin1String("publishUntil")) {
            try {
                in.publishUntil = boost::lexical_cast<qint64>(member.toString().toStdString());
            } catch (const boost::bad_lexical_cast &e) {
                throw ConversionFailure { QStringLiteral("Cast failed on '") + name + QStringLiteral("': ")
                                          + QString::fromUtf8(e.what()) };
            }
        } else {
            throw QStringLiteral("Not in expected format: unexpected member: ") + name;
        }
    }
    return in;
}

} // namespace

UsageWebService::UsageWebService(const QString &serviceUrl, Logger *logger)
    : url(serviceUrl)
    , logger(logger)
{
    if (url.port() <= 0)
        url.setPort(url.scheme().toLower() == QLatin1String("https") ? 443 : 80);
}

QString UsageWebService::logsAvailable(const QList<SessionInfo> &sessions, QVector<PublishInstruction> &instructions)
{
    SOAPClient client(nullptr, 60, 10);
    client.setUseSystemProxy();
    client.setUrl(url);

    QtSoapMessage request;
    request.setMethod(QtSoapQName(QStringLiteral("logsAvailable"), usageServiceNamespace));
    request.addMethodArgument(QStringLiteral("apiVersion"), QString(), 1);
    request.addMethodArgument(buildSessionsArgument(sessions));

    if (!client.call(usageServiceNamespace, QStringLiteral("logsAvailable"), request))
        return client.errorString();
    return parseLogsAvailableResponse(client.getResponse(), instructions);
}

QtSoapStruct *UsageWebService::buildSessionsArgument(const QList<SessionInfo> &sessions)
{
    auto *argument = new QtSoapStruct(QtSoapQName(QStringLiteral("sessions")));
    for (const SessionInfo &session : sessions)
        argument->insert(sessionStruct(session));
    return argument;
}

QString UsageWebService::parseLogsAvailableResponse(const QtSoapMessage &response,
                                                    QVector<PublishInstruction> &instructions)
{
    logger->logLazily([&] { return QStringLiteral("Response:") + response.toXmlString(); });
    try {
        if (response.isFault())
            throw response.faultString().toString();
        const QtSoapType &result = response.returnValue();
        if (!result.isValid() || result.name().name() != QLatin1String("logsAvailableResult"))
            throw QStringLiteral(
                "Not in expected format: logsAvailableResult.name().name() != \"logsAvailableResult\"");
        for (int i = 0; i < result.count(); ++i) {
            const QtSoapType &item = result[i];
            if (item.name().name() != QLatin1String("SessionsToPublish"))
                throw QStringLiteral(
                    "Not in expected format: sessionsToPublish.name().name() != \"SessionsToPublish\"");
            instructions.append(readInstruction(item));
        }
    } catch (const QString &text) {
        return QStringLiteral("Unknown exception: ") + text;
    } catch (const ConversionFailure &failure) {
        return failure.text;
    }
    return QString();
}
