// The reference service: answers `logsAvailable` at /usagetracking/veri.asmx from a small
// policy file, and receives uploaded logs at /usagetracking/post.track, checking their key
// and storing each decoded log in a folder. Listens on loopback only.

#include "logupload.h"

#include <KDSoapServer/KDSoapServer.h>
#include <KDSoapServer/KDSoapServerObjectInterface.h>
#include <KDSoapServer/KDSoapServerRawXMLInterface.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTemporaryFile>
#include <QTextStream>

#include <cstdio>
#include <memory>
#include <zlib.h>

namespace {

struct Rule
{
    QString publish;
    qint64 validSeconds = 86400;
};

struct Policy
{
    Rule fallback { QStringLiteral("Details"), 86400 };
    QMap<int, Rule> products;
    QString fault; // when set, every call is answered with this SOAP fault
    int extra = 0; // answers for products nobody asked about, to make a large answer

    // Lines: "default <type> <seconds>", "product <id> <type> <seconds>", "fault <text>",
    // "extra <count>".
    bool load(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return false;
        QTextStream in(&file);
        while (!in.atEnd()) {
            const QString line = in.readLine().trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
                continue;
            const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            if (words.at(0) == QLatin1String("default") && words.size() >= 3)
                fallback = Rule { words.at(1), words.at(2).toLongLong() };
            else if (words.at(0) == QLatin1String("product") && words.size() >= 4)
                products.insert(words.at(1).toInt(), Rule { words.at(2), words.at(3).toLongLong() });
            else if (words.at(0) == QLatin1String("fault"))
                fault = line.mid(6);
            else if (words.at(0) == QLatin1String("extra") && words.size() >= 2)
                extra = words.at(1).toInt();
        }
        return true;
    }
};

struct Settings
{
    Policy policy;
    QString requestLog;
    QString receiveDir;
    int received = 0;
};

Settings settings;

void appendToLog(const QString &line)
{
    if (settings.requestLog.isEmpty())
        return;
    QFile file(settings.requestLog);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        file.write(line.toUtf8() + '\n');
}

class ServiceObject : public QObject, public KDSoapServerObjectInterface, public KDSoapServerRawXMLInterface
{
    Q_OBJECT
    Q_INTERFACES(KDSoapServerObjectInterface KDSoapServerRawXMLInterface)
public:
    void processRequest(const KDSoapMessage &request, KDSoapMessage &response, const QByteArray &soapAction) override
    {
        Q_UNUSED(soapAction);
        if (request.name() != QLatin1String("logsAvailable")) {
            setFault(QStringLiteral("Client.Data"), QStringLiteral("Unknown method ") + request.name());
            return;
        }
        const KDSoapValueList sessions = request.childValues().child(QStringLiteral("sessions")).childValues();
        appendToLog(QStringLiteral("logsAvailable apiVersion=%1 sessions=%2")
                        .arg(request.childValues().child(QStringLiteral("apiVersion")).value().toString())
                        .arg(sessions.size()));
        if (!settings.policy.fault.isEmpty()) {
            setFault(QStringLiteral("Server"), settings.policy.fault);
            return;
        }
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        KDSoapValueList result;
        for (const KDSoapValue &session : sessions) {
            const KDSoapValueList fields = session.childValues();
            KDSoapValueList members;
            QStringList described;
            for (const KDSoapValue &field : fields) {
                members.append(KDSoapValue(field.name(), field.value().toString()));
                described.append(field.name() + QLatin1Char('=') + field.value().toString());
            }
            const int product = fields.child(QStringLiteral("productID")).value().toString().toInt();
            const Rule rule = settings.policy.products.value(product, settings.policy.fallback);
            members.append(KDSoapValue(QStringLiteral("publish"), rule.publish));
            members.append(KDSoapValue(QStringLiteral("publishUntil"), QString::number(now + rule.validSeconds)));
            appendToLog(QStringLiteral("  session ") + described.join(QLatin1Char(' ')) + QStringLiteral(" -> ")
                        + rule.publish);
            result.append(KDSoapValue(QStringLiteral("SessionsToPublish"), members));
        }
        for (int i = 0; i < settings.policy.extra; ++i) {
            KDSoapValueList members;
            members.append(KDSoapValue(QStringLiteral("productID"), QString::number(100000 + i)));
            members.append(KDSoapValue(QStringLiteral("publish"), QStringLiteral("Discard")));
            result.append(KDSoapValue(QStringLiteral("SessionsToPublish"), members));
        }
        // The response element is named explicitly rather than left to the server's default.
        KDSoapValueList arguments;
        arguments.append(KDSoapValue(QStringLiteral("logsAvailableResult"), result));
        response = KDSoapValue(QStringLiteral("logsAvailableResponse"), arguments);
        response.setUse(KDSoapMessage::EncodedUse);
    }

    // Uploads are not SOAP: they are taken in raw, here, and inflated to a file as they come (the
    // body is qCompress's: a 4-byte length, then a zlib stream), so that memory stays flat
    // however many and however large the uploads.
    bool newRequest(const QByteArray &requestType, const QMap<QByteArray, QByteArray> &httpHeaders) override
    {
        m_key = httpHeaders.value("x-kaldo-utkey1");
        m_size = 0;
        m_status = Z_OK;
        inflateEnd(&m_zip);
        m_zip = z_stream {};
        m_open = inflateInit(&m_zip) == Z_OK;
        m_file
            = std::make_unique<QTemporaryFile>(QDir(settings.receiveDir).filePath(QStringLiteral("receiving-XXXXXX")));
        m_stored = m_open && m_file->open();
        return requestType == "POST" && httpHeaders.value("_path") == "/usagetracking/post.track";
    }

    void processXML(const QByteArray &chunk) override
    {
        const qint64 prefix = qBound<qint64>(0, 4 - m_size, chunk.size());
        m_size += chunk.size();
        m_zip.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(chunk.constData() + prefix));
        m_zip.avail_in = static_cast<uInt>(chunk.size() - prefix);
        char out[65536];
        while (m_open && m_status == Z_OK && m_zip.avail_in > 0) {
            m_zip.next_out = reinterpret_cast<Bytef *>(out);
            m_zip.avail_out = sizeof out;
            m_status = inflate(&m_zip, Z_NO_FLUSH);
            const qint64 made = static_cast<qint64>(sizeof out - m_zip.avail_out);
            m_stored = m_stored && m_file->write(out, made) == made;
        }
    }

    void endRequest() override
    {
        const QByteArray expected = QByteArray::number(uploadKey(static_cast<quint32>(m_size)));
        if (m_key != expected) {
            appendToLog(QStringLiteral("post rejected: wrong key"));
            writeHTTP("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        // qCompress of nothing is four zero bytes alone.
        if (m_status != Z_STREAM_END && m_size != 4) {
            appendToLog(QStringLiteral("post rejected: undecodable body"));
            writeHTTP("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        const QString path
            = QDir(settings.receiveDir)
                  .absoluteFilePath(
                      QStringLiteral("received-%1.xml").arg(++settings.received, 3, 10, QLatin1Char('0')));
        const qint64 size = m_file->size();
        if (!m_stored || !m_file->flush() || !m_file->rename(path)) {
            writeHTTP("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        m_file->setAutoRemove(false);
        m_file.reset();
        appendToLog(QStringLiteral("post stored %1 bytes=%2 compressed=%3").arg(path).arg(size).arg(m_size));
        writeHTTP("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nOK");
    }

    ~ServiceObject() override { inflateEnd(&m_zip); }

private:
    QByteArray m_key;
    qint64 m_size = 0;
    z_stream m_zip {};
    int m_status = Z_OK;
    bool m_open = false;
    bool m_stored = false;
    std::unique_ptr<QTemporaryFile> m_file;
};

class ReferenceServer : public KDSoapServer
{
    Q_OBJECT
public:
    QObject *createServerObject() override { return new ServiceObject; }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reference usage-tracking service: answers logsAvailable at /usagetracking/veri.asmx and receives "
        "uploads at /usagetracking/post.track, on loopback."));
    parser.addHelpOption();
    parser.addOptions({
        { QStringLiteral("port"), QStringLiteral("Port to listen on (default: a free one, printed at start)."),
          QStringLiteral("port"), QStringLiteral("0") },
        { QStringLiteral("policy"),
          QStringLiteral("Policy file: 'default <type> <seconds>', 'product <id> <type> <seconds>', 'fault <text>'."),
          QStringLiteral("file") },
        { QStringLiteral("log"), QStringLiteral("Append a line per request to this file."), QStringLiteral("file") },
        { QStringLiteral("receive-dir"), QStringLiteral("Folder for received logs (default: current folder)."),
          QStringLiteral("dir"), QStringLiteral(".") },
        { QStringLiteral("cert"), QStringLiteral("Serve HTTPS with this PEM certificate."), QStringLiteral("file") },
        { QStringLiteral("key"), QStringLiteral("The PEM private key of the certificate."), QStringLiteral("file") },
    });
    parser.process(app);

    if (parser.isSet(QStringLiteral("policy")) && !settings.policy.load(parser.value(QStringLiteral("policy")))) {
        std::fprintf(stderr, "Cannot read the policy file.\n");
        return 2;
    }
    settings.requestLog = parser.value(QStringLiteral("log"));
    settings.receiveDir = parser.value(QStringLiteral("receive-dir"));

    ReferenceServer server;
    server.setUse(KDSoapMessage::EncodedUse);
    server.setPath(QStringLiteral("/usagetracking/veri.asmx"));
    if (parser.isSet(QStringLiteral("cert"))) {
        QFile certFile(parser.value(QStringLiteral("cert")));
        QFile keyFile(parser.value(QStringLiteral("key")));
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "Cannot read the certificate or key.\n");
            return 2;
        }
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setLocalCertificate(QSslCertificate(&certFile, QSsl::Pem));
        ssl.setPrivateKey(QSslKey(&keyFile, QSsl::Rsa, QSsl::Pem));
        server.setSslConfiguration(ssl);
        server.setFeatures(KDSoapServer::Ssl);
    }
    if (!server.listen(QHostAddress::LocalHost, static_cast<quint16>(parser.value(QStringLiteral("port")).toUInt()))) {
        std::fprintf(stderr, "Cannot listen: %s\n", qPrintable(server.errorString()));
        return 2;
    }
    std::printf("listening on port %d\n", server.serverPort());
    std::fflush(stdout);
    return app.exec();
}

#include "refservice.moc"
