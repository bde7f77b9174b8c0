#include "usagewebservice.h"

#include "logger.h"
#include "soapclient.h"

#include <QBuffer>
#include <QTemporaryFile>

#include <boost/lexical_cast.hpp>

const QString usageServiceNamespace
    = QStringLiteral("http://www.kaldo-technologies.com/webservices/UsageTracking/VERI/v1");

namespace {

struct ConversionFailure
{
    QString text;
};

// Hands each field of a session, in the order of the request, to `field` as (name, value).
template <typename Field> void forEachField(const SessionInfo &s, Field field)
{
    field(QStringLiteral("productID"), s.productID);
    field(QStringLiteral("version"), s.version);
    field(QStringLiteral("osPlatform"), s.osPlatform);
    field(QStringLiteral("osVersion"), s.osVersion);
    field(QStringLiteral("servicePack"), s.servicePack);
    field(QStringLiteral("osBits"), s.osBits);
    field(QStringLiteral("architecture"), s.architecture);
    field(QStringLiteral("langID"), s.langID);
    field(QStringLiteral("country"), s.country);
    field(QStringLiteral("locale"), s.locale);
}

// Writes the logsAvailable request straight to the device in its wire form: the same bytes
// as the message built of SOAP values, without holding them.
bool writeRequest(QIODevice *device, const QList<SessionInfo> &sessions)
{
    QtSoapWriter writer(device);
    const QString sessionsName = QStringLiteral("sessions");
    writer.startEnvelope();
    writer.startStruct(QStringLiteral("logsAvailable"), usageServiceNamespace);
    writer.value(QStringLiteral("apiVersion"), 1);
    if (sessions.isEmpty())
        writer.emptyStruct(sessionsName);
    else
        writer.startStruct(sessionsName);
    for (const SessionInfo &session : sessions) {
        writer.startStruct(QStringLiteral("SessionInfo"));
        forEachField(session, [&](const QString &name, const auto &value) { writer.value(name, value); });
        writer.endStruct(QStringLiteral("SessionInfo"));
    }
    if (!sessions.isEmpty())
        writer.endStruct(sessionsName);
    writer.endStruct(QStringLiteral("logsAvailable"));
    writer.endEnvelope();
    return writer.ok();
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

    // The request goes to a temporary file, so its size costs no memory; in memory only when
    // no such file can be written.
    QTemporaryFile file;
    QBuffer memory;
    QIODevice *body = &file;
    if (!file.open() || !writeRequest(&file, sessions) || !file.flush()) {
        memory.open(QIODevice::ReadWrite);
        body = &memory;
        if (!writeRequest(&memory, sessions))
            return QStringLiteral("Unknown exception: the request could not be written");
    }
    if (!client.call(usageServiceNamespace, QStringLiteral("logsAvailable"), body))
        return client.errorString();
    return parseLogsAvailableResponse(client.getResponse(), instructions);
}

QtSoapStruct *UsageWebService::buildSessionsArgument(const QList<SessionInfo> &sessions)
{
    auto *argument = new QtSoapStruct(QtSoapQName(QStringLiteral("sessions")));
    for (const SessionInfo &session : sessions) {
        auto *item = new QtSoapStruct(QtSoapQName(QStringLiteral("SessionInfo")));
        forEachField(session,
                     [&](const QString &name, const auto &value) { item->insert(new QtSoapSimpleType(name, value)); });
        argument->insert(item);
    }
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
