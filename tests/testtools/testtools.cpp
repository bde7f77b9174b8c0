#include "testtools.h"

#include "filelock.h"
#include "logfolder.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QSslCertificate>
#include <QTemporaryFile>
#include <QTimer>

#include <sys/stat.h>

namespace {

const QString settingsKey = "Software\\KALDO Technologies\\Zadazevi Rerevarazu"_s;
const QString internetSettings
    = "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]\r\n"_s;

QString targetRunner()
{
    return qEnvironmentVariable("VINTOR_TARGET_RUNNER");
}

// Imports registry text into the Wine prefix of the programs under test. Wine's regedit now and
// then ends with 1 on a good file while the Wine server is busy: the import is tried again, and
// fails the test only when no attempt took.
bool importRegistry(const QString &folder, const QString &text)
{
    const QString file = folder + "/settings.reg"_s;
    writeFile(file, "Windows Registry Editor Version 5.00\r\n\r\n" + text.toUtf8());
    ProcessResult result;
    for (int attempt = 0; attempt < 5 && result.exitCode != 0; ++attempt)
        result = runProgram(targetRunner(), { "regedit"_s, "/S"_s, targetPath(file) });
    EXPECT_EQ(result.exitCode, 0) << result.err.constData();
    return result.exitCode == 0;
}

// Wine's debug lines and its TLS library's complaints leave standard error. An event is two of
// them: "0123:fixme:advapi:ReportEventW (source,type,category,0xc0000001,..." with its id, then
// "0123:err:eventlog:ReportEventW L\"text\"" with its type and its text, escaped as C.
void takeWineDebugLines(ProcessResult &result)
{
    static const QRegularExpression wine("^([0-9a-f]{4}:\\w+:\\w+:|GnuTLS error: ).*\n?"_s,
                                         QRegularExpression::MultilineOption);
    static const QRegularExpression event(
        "advapi:ReportEventW \\((?:[^,]*,){3}0x(\\w+).*\n\\w+:(\\w)\\w+:eventlog:ReportEventW L\"(.*)\""_s);
    QString err = QString::fromUtf8(result.err + '\n');
    for (auto it = event.globalMatch(err); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        // The texts are ASCII: only new lines, quotes and backslashes are escaped.
        QString text = m.captured(2).toUpper() + m.captured(1) + QLatin1Char(' ');
        for (int i = 0; i < m.capturedLength(3); ++i) {
            const QChar c = m.captured(3).at(i);
            text += c != QLatin1Char('\\')                      ? c
                    : m.captured(3).at(++i) == QLatin1Char('n') ? QChar('\n')
                                                                : m.captured(3).at(i);
        }
        result.events.append(text);
    }
    result.err = err.remove(wine).toUtf8().chopped(1);
}

// The journal's lines of an event: "<3>", "<4>" or "<6>" and its first line, then one for each
// further line, indented by two spaces. Taken as Wine's are, without an id: "E Web-service ...".
// The run's diagnostics ("<7>") and the lock's reports ("<4>" and their own texts) stay standard
// error's, without their priority; `journal` keeps every line as it came.
void takeJournalLines(ProcessResult &result)
{
    static const QRegularExpression report(
        "^(Failed to lock file: |Taking in abandoned mutex|Failed to (open|create) mutex|\t|   error: )"_s);
    result.journal = result.err;
    QByteArray rest;
    for (const QByteArray &line : result.err.split('\n')) {
        const int type = line.size() > 2 && line[0] == '<' && line[2] == '>' ? QByteArray("3467").indexOf(line[1]) : -1;
        if (type == 3 || (type == 1 && report.match(QString::fromUtf8(line.mid(3))).hasMatch()))
            rest += line.mid(3) + '\n';
        else if (type < 0)
            rest += line + '\n';
        else if (line.mid(3, 2) == "  " && !result.events.isEmpty())
            result.events.last() += QLatin1Char('\n') + QString::fromUtf8(line.mid(5));
        else
            result.events.append(QLatin1Char("EWT"[type]) + " "_s + QString::fromUtf8(line.mid(3)));
    }
    result.err = rest.chopped(1);
}

// The machine's qtlogging.ini for the Windows programs under test.
const QString machineLoggingRules
    = qEnvironmentVariable("WINEPREFIX") + "/drive_c/ProgramData/QtProject/qtlogging.ini"_s;

} // namespace

QString targetEvent(const QString &windowsEvent)
{
    return targetIsWindows() ? windowsEvent : windowsEvent.left(1) + windowsEvent.mid(windowsEvent.indexOf(' '));
}

bool targetIsWindows()
{
    return !targetRunner().isEmpty();
}

QString targetProgram(const QString &name)
{
    if (!targetIsWindows())
        return binaryPath(name);
    return qEnvironmentVariable("VINTOR_TARGET_BIN_DIR") + QLatin1Char('/') + name + ".exe"_s;
}

QString targetPath(const QString &path)
{
    if (!targetIsWindows())
        return path;
    // Wine's drive Z: is the root of the file system.
    return "Z:"_s + QDir::toNativeSeparators(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

QString hostPath(const QString &path)
{
    if (!targetIsWindows() || !path.startsWith("Z:"_s, Qt::CaseInsensitive))
        return path;
    return path.mid(2).replace(QLatin1Char('\\'), QLatin1Char('/'));
}

void startProgram(QProcess &process, const QString &program, const QStringList &arguments)
{
    if (targetIsWindows() && program.endsWith(".exe"_s))
        process.start(targetRunner(), QStringList { program } + arguments);
    else
        process.start(program, arguments);
}

void setTargetVariable(QProcessEnvironment &environment, const QString &name, const QString &value)
{
    if (!targetIsWindows()) {
        environment.insert(name, value);
        return;
    }
    // Windows takes its folder for temporary files from TMP; Wine keeps TMPDIR for itself (its
    // server's socket lives there, so every program of one prefix must see the same one).
    const QString windowsName = name == "TMPDIR"_s ? "TMP"_s : name;
    const bool wineKeeps = windowsName == "TEMP"_s || windowsName == "TMP"_s || windowsName.startsWith("QT_"_s);
    environment.insert(wineKeeps ? "WINE"_s + windowsName : windowsName, value);
}

TempHome::TempHome()
{
    QDir(path()).mkpath("tmp"_s);
    QDir(path()).mkpath("config"_s);
    if (targetIsWindows()) {
        QFile::remove(storeFile());
        QFile::remove(machineLoggingRules);
        EXPECT_TRUE(importRegistry(
            path(), "[-HKEY_CURRENT_USER\\%1]\r\n[-HKEY_LOCAL_MACHINE\\%1]\r\n"_s.arg(settingsKey) + internetSettings
                        + "\"ProxyEnable\"=dword:00000000\r\n\"ProxyServer\"=-\r\n"
                          "\"ProxyOverride\"=-\r\n"_s));
    }
}

void TempHome::writeLoggingRules(const QByteArray &rules) const
{
    const QString file = targetIsWindows() ? machineLoggingRules : configDir() + "/QtProject/qtlogging.ini"_s;
    QDir().mkpath(QFileInfo(file).path());
    writeFile(file, rules);
}

QString TempHome::storeFile() const
{
    if (!targetIsWindows())
        return configDir() + "/KALDO Technologies/Zadazevi Rerevarazu.ini"_s;
    // Wine's user is the Unix user, and its profile lives in the prefix.
    return qEnvironmentVariable("WINEPREFIX") + "/drive_c/users/"_s + QString::fromStdWString(currentUserName())
           + "/AppData/Roaming/KALDO Technologies/Zadazevi Rerevarazu.ini"_s;
}

QProcessEnvironment TempHome::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    setTargetVariable(env, "TEMP"_s, targetPath(temp()));
    setTargetVariable(env, "TMPDIR"_s, targetPath(temp()));
    env.insert("XDG_CONFIG_HOME"_s, configDir());
    env.remove("LOCALAPPDATA"_s);
    // A Windows program without a console of its own sends Qt's messages to the debugger. Wine
    // shows the events a program writes on its debug channels (with "-all" first, or its
    // launcher warns of a missing 32-bit Wine).
    if (targetIsWindows()) {
        setTargetVariable(env, "QT_FORCE_STDERR_LOGGING"_s, "1"_s);
        env.insert("WINEDEBUG"_s, "-all,err+eventlog,warn+eventlog,trace+eventlog,fixme+advapi"_s);
    }
    // Wine's WinINet reads these too.
    for (const QString &name : args("http_proxy https_proxy ftp_proxy all_proxy no_proxy"_s)) {
        env.remove(name);
        env.remove(name.toUpper());
    }
    for (auto it = m_proxyVariables.cbegin(); it != m_proxyVariables.cend(); ++it)
        env.insert(it.key(), it.value());
    return env;
}

void TempHome::useProxy(int port, const QStringList &bypass)
{
    if (targetIsWindows()) {
        EXPECT_TRUE(
            importRegistry(path(), internetSettings
                                       + "\"ProxyEnable\"=dword:00000001\r\n\"ProxyServer\"=\"127.0.0.1:%1\"\r\n"
                                         "\"ProxyOverride\"=\"%2\"\r\n"_s.arg(port)
                                             .arg(bypass.join(QLatin1Char(';')))));
        return;
    }
    m_proxyVariables
        = { { "http_proxy"_s, "http://127.0.0.1:%1"_s.arg(port) }, { "no_proxy"_s, bypass.join(QLatin1Char(',')) } };
}

// A certificate in the registry's root store: a value "Blob" under the key named by its SHA-1,
// holding the certificate as a serialized property (id 32, then a 1, then the length).
TargetTrustsTestCertificate::TargetTrustsTestCertificate()
{
    if (!targetIsWindows())
        return;
    const QByteArray der = QSslCertificate::fromPath(testCertificate).value(0).toDer();
    QByteArray blob;
    for (quint32 word : { 32u, 1u, static_cast<quint32>(der.size()) }) {
        for (int shift = 0; shift < 32; shift += 8)
            blob.append(static_cast<char>(word >> shift));
    }
    blob += der;
    QStringList hex;
    for (unsigned char byte : blob)
        hex.append("%1"_s.arg(byte, 2, 16, QLatin1Char('0')));
    m_key = "HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"_s
            + QString::fromLatin1(QCryptographicHash::hash(der, QCryptographicHash::Sha1).toHex().toUpper());
    m_trusted = importRegistry(m_dir.path(), "[%1]\r\n\"Blob\"=hex:%2\r\n"_s.arg(m_key, hex.join(QLatin1Char(','))));
}

TargetTrustsTestCertificate::~TargetTrustsTestCertificate()
{
    if (!m_key.isEmpty())
        importRegistry(m_dir.path(), "[-%1]\r\n"_s.arg(m_key));
}

bool TempHome::writeSettings(const QMap<QString, QString> &values, Scope scope) const
{
    if (targetIsWindows()) {
        QString text
            = "[%1\\%2]\r\n"_s.arg(scope == User ? "HKEY_CURRENT_USER"_s : "HKEY_LOCAL_MACHINE"_s, settingsKey);
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            QString value = it.value();
            value.replace(QLatin1Char('\\'), "\\\\"_s).replace(QLatin1Char('"'), "\\\""_s);
            text += "\"%1\"=\"%2\"\r\n"_s.arg(it.key(), value);
        }
        return importRegistry(path(), text);
    }
    if (scope == Machine)
        return false;
    QSettings settings(configDir() + "/KALDO Technologies/Zadazevi Rerevarazu.conf"_s, QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
    return settings.status() == QSettings::NoError;
}

ProcessResult runProgram(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                         int timeoutMs)
{
    QProcess process;
    // A native program's standard error is a file that JOURNAL_STREAM names (unless the caller
    // set it), as the journal's stream is for a service: the tool writes its events there.
    QTemporaryFile journal;
    QProcessEnvironment env = environment;
    struct stat info;
    const bool toJournal = !targetIsWindows() && !env.contains("JOURNAL_STREAM"_s) && journal.open()
                           && stat(QFile::encodeName(journal.fileName()).constData(), &info) == 0;
    if (toJournal) {
        process.setStandardErrorFile(journal.fileName());
        env.insert("JOURNAL_STREAM"_s, "%1:%2"_s.arg(info.st_dev).arg(info.st_ino));
    }
    process.setProcessEnvironment(env);
    startProgram(process, program, arguments);
    ProcessResult result;
    // Wait with the event loop running, so servers in this process keep answering.
    if (!waitUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1000;
    result.out = process.readAllStandardOutput();
    result.err = toJournal ? journal.readAll() : process.readAllStandardError();
    if (toJournal)
        takeJournalLines(result);
    // A Windows program ends its lines the Windows way.
    if (targetIsWindows() && program.endsWith(".exe"_s)) {
        result.out.replace("\r\n", "\n");
        result.err.replace("\r\n", "\n");
        takeWineDebugLines(result);
    }
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

QList<QStringList> readTable(const QString &relativePath)
{
    QList<QStringList> rows;
    for (const QString &line : QString::fromUtf8(readFile(testData(relativePath))).split(QLatin1Char('\n'))) {
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        QStringList cells = line.split(" | "_s);
        for (QString &cell : cells)
            cell = cell == "-"_s ? QString() : cell;
        rows.append(cells);
    }
    return rows;
}

void expectGolden(const QString &path, const QByteArray &actual)
{
    if (qEnvironmentVariableIntValue("VINTOR_UPDATE_GOLDEN") == 1)
        writeFile(path, actual);
    EXPECT_EQ(actual.toStdString(), readFile(path).toStdString()) << path.toStdString();
}

bool lockObjectExists(const QString &path)
{
    const std::string object = FileLock::objectFile(path.toStdString());
    return !targetIsWindows() && !object.empty() && QFileInfo::exists(QString::fromStdString(object));
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

ServerProcess::~ServerProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
}

QString ServerProcess::url(const QString &path) const
{
    return "http://127.0.0.1:%1%2"_s.arg(m_port).arg(path);
}

bool ServerProcess::startRefService(const QStringList &arguments)
{
    m_process.start(binaryPath("refservice"_s), arguments);
    if (!waitUntil([&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, 10000))
        return false;
    const QByteArray line = m_process.readLine().trimmed();
    m_port = line.startsWith("listening on port ") ? line.mid(18).toInt() : 0;
    return m_port > 0;
}

// nginx and tinyproxy take their configuration from the test data, with the folder and the
// port put in.
bool ServerProcess::startConfigured(const QString &program, const QString &configuration, const QString &folder,
                                    const QStringList &arguments)
{
    m_port = freePort();
    QDir(folder).mkpath("www"_s);
    QDir(folder).mkpath("temp"_s);
    const QString file = folder + QLatin1Char('/') + configuration;
    writeFile(file, QString::fromUtf8(readFile(testData(configuration))).arg(folder).arg(m_port).toUtf8());
    m_process.start(program, arguments + QStringList { "-c"_s, file });
    return m_process.waitForStarted() && waitUntil([&] {
               QTcpSocket socket;
               socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(m_port));
               return socket.waitForConnected(100);
           });
}

bool ServerProcess::startNginx(const QString &folder)
{
    return startConfigured("/usr/sbin/nginx"_s, "nginx.conf"_s, folder,
                           { "-p"_s, folder, "-e"_s, folder + "/error.log"_s });
}

bool ServerProcess::startTinyproxy(const QString &folder)
{
    return startConfigured("tinyproxy"_s, "tinyproxy.conf"_s, folder, { "-d"_s });
}

SessionInfo testSession(int product, const QString &version, const QString &country)
{
    return { product, version, 2, 10, "SP1"_s, 64, 9, "en"_s, country, "en_US"_s };
}

PublishInstruction testInstruction(const SessionInfo &session, PublishType publish, qint64 until)
{
    return { session, publish, until };
}

ScriptedServer::ScriptedServer(Handler handler)
    : m_handler(std::move(handler))
{
    listen(QHostAddress::LocalHost, 0);
}

QString ScriptedServer::url(const QString &path) const
{
    return "http://127.0.0.1:%1%2"_s.arg(serverPort()).arg(path);
}

QList<QByteArray> ScriptedServer::paths() const
{
    QList<QByteArray> paths;
    for (const HttpRequest &request : requests)
        paths.append(request.path);
    return paths;
}

QByteArray ScriptedServer::response(int status, const QByteArray &body,
                                    const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    for (const auto &header : headers)
        out += header.first + ": " + header.second + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    return out;
}

QByteArray ScriptedServer::redirect(const QTcpSocket *socket, int status, const QString &path)
{
    const QString target = "http://127.0.0.1:%1%2"_s.arg(socket->localPort()).arg(path);
    return response(status, QByteArray(), { { "Location", target.toUtf8() } });
}

void ScriptedServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
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
                    request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                                           lines.at(i).mid(colon + 1).trimmed());
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
