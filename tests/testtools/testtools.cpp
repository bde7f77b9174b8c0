#include "testtools.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSettings>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

TempHome::TempHome()
{
    QDir(path()).mkpath(QStringLiteral("tmp"));
    QDir(path()).mkpath(QStringLiteral("config"));
}

QString TempHome::logFolder() const
{
    return temp() + QStringLiteral("/KALDO Technologies/Zadazevi Rerevarazu Logs");
}

QString TempHome::settingsFile() const
{
    return configDir() + QStringLiteral("/KALDO Technologies/Zadazevi Rerevarazu.conf");
}

QString TempHome::storeFile() const
{
    return configDir() + QStringLiteral("/KALDO Technologies/Zadazevi Rerevarazu.ini");
}

QProcessEnvironment TempHome::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TEMP"), temp());
    env.insert(QStringLiteral("TMPDIR"), temp());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir());
    env.remove(QStringLiteral("LOCALAPPDATA"));
    for (const char *name : { "http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy", "HTTP_PROXY",
                              "HTTPS_PROXY", "FTP_PROXY", "ALL_PROXY", "NO_PROXY" })
        env.remove(QString::fromLatin1(name));
    return env;
}

void TempHome::writeSettings(const QMap<QString, QString> &values) const
{
    QSettings settings(settingsFile(), QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
}

QString binaryPath(const QString &name)
{
    return QStringLiteral(VINTOR_BIN_DIR "/") + name;
}

ProcessResult runProgram(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                         int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    ProcessResult result;
    // Wait with the event loop running, so servers in this process keep answering.
    waitUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    result.finished = process.state() == QProcess::NotRunning;
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1000;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(contents);
}

RefService::~RefService()
{
    stop();
}

bool RefService::start(const QStringList &arguments, const QProcessEnvironment &environment)
{
    m_process.setProcessEnvironment(environment);
    m_process.start(binaryPath(QStringLiteral("refservice")), arguments);
    if (!m_process.waitForStarted(5000))
        return false;
    if (!waitUntil([&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, 10000))
        return false;
    const QByteArray line = m_process.readLine().trimmed();
    if (!line.startsWith("listening on port "))
        return false;
    m_port = line.mid(18).toInt();
    return m_port > 0;
}

void RefService::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
}

ScriptedServer::ScriptedServer(Handler handler)
    : m_handler(std::move(handler))
{
    listen(QHostAddress::LocalHost, 0);
}

QString ScriptedServer::url(const QString &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_certificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"))
        .arg(serverPort())
        .arg(path);
}

void ScriptedServer::enableTls(const QString &certificatePath, const QString &keyPath)
{
    m_certificate = certificatePath;
    m_key = keyPath;
}

bool makeSelfSignedCertificate(const QString &folder, QString &certificatePath, QString &keyPath)
{
    certificatePath = folder + QStringLiteral("/cert.pem");
    keyPath = folder + QStringLiteral("/key.pem");
    const ProcessResult result = runProgram(
        QStringLiteral("openssl"),
        { QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
          QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
          QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
          QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certificatePath },
        QProcessEnvironment::systemEnvironment());
    return result.exitCode == 0;
}

QByteArray ScriptedServer::response(int status, const QByteArray &body, const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    for (const auto &header : headers)
        out += header.first + ": " + header.second + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    return out;
}

QByteArray ScriptedServer::redirect(int status, const QString &target)
{
    return response(status, QByteArray(), { { "Location", target.toUtf8() } });
}

void ScriptedServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = nullptr;
    if (m_certificate.isEmpty()) {
        socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
    } else {
        auto *secure = new QSslSocket(this);
        secure->setSocketDescriptor(descriptor);
        secure->setLocalCertificate(m_certificate);
        secure->setPrivateKey(m_key);
        secure->startServerEncryption();
        socket = secure;
    }
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
        *buffer += socket->readAll();
        for (;;) {
            const int end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            HttpRequest request;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.path = first.value(1);
            for (int i = 1; i < lines.size(); ++i) {
                const int colon = lines.at(i).indexOf(':');
                if (colon > 0)
                    request.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
            }
            const int length = request.headers.value("content-length").toInt();
            if (buffer->size() < end + 4 + length)
                return;
            request.body = buffer->mid(end + 4, length);
            buffer->remove(0, end + 4 + length);
            requests.append(request);
            m_handler(socket, request);
        }
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}
