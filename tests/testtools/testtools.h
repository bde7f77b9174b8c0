#pragma once

// What the tests share: temporary homes, the programs they drive, the real servers they start
// (reference service, nginx, tinyproxy), a scripted server for faults real servers will not
// make, the test certificate, and builders of sessions and instructions.

#include "logger.h"
#include "publishinstruction.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

inline QString operator""_s(const char *text, size_t size)
{
    return QString::fromUtf8(text, static_cast<int>(size));
}

// Lets a failed expectation show texts as text.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

// The words of a command line without quoting: "--parts 2 --no-kaldo".
inline QStringList args(const QString &words)
{
    return words.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// The programs under test (vintor, logwriter, lockhelper) are the native build's, or, when
// VINTOR_TARGET_RUNNER names a runner (wine), the Windows build's in VINTOR_TARGET_BIN_DIR,
// started through it. The peers (reference service, nginx, tinyproxy) are always native.
bool targetIsWindows();
QString targetProgram(const QString &name);
// A native path as the program under test spells it: "Z:\\tmp\\x" for a Windows program.
QString targetPath(const QString &path);
// The other way: a path the program under test printed, as this process opens it.
QString hostPath(const QString &targetPath);
void startProgram(QProcess &process, const QString &program, const QStringList &arguments);
// Sets a variable for the program under test. Wine keeps TEMP, TMP and QT_* for itself and
// hands a Windows program WINETEMP as TEMP and WINEQT_X as QT_X.
void setTargetVariable(QProcessEnvironment &environment, const QString &name, const QString &value);

// A throw-away home for runs of the tool: its own temporary folder (TEMP and TMPDIR: a private log
// folder) and settings. Under Wine all homes share one registry and application-data folder: a
// new home clears the tool's keys and store there.
class TempHome
{
public:
    TempHome();
    QString path() const { return m_dir.path(); }
    QString temp() const { return path() + "/tmp"_s; }
    QString configDir() const { return path() + "/config"_s; }
    QString logFolder() const { return temp() + "/KALDO Technologies/Zadazevi Rerevarazu Logs"_s; }
    QString storeFile() const;
    QProcessEnvironment environment() const;
    enum Scope { User, Machine };
    // Machine-wide settings are the registry's HKLM on Windows; on Linux they live in /etc/xdg,
    // which a test does not touch, so there the call returns false and writes nothing.
    bool writeSettings(const QMap<QString, QString> &values, Scope scope = User) const;
    // Qt's logging rules in the qtlogging.ini that the program under test reads: the user's
    // own on Linux, the machine's (%ProgramData%\QtProject) on Windows.
    void writeLoggingRules(const QByteArray &rules) const;
    // The user's manual proxy on 127.0.0.1: WinINet's settings on Windows, the proxy
    // variables of the environment on Linux.
    void useProxy(int port, const QStringList &bypass);

private:
    QTemporaryDir m_dir;
    QMap<QString, QString> m_proxyVariables;
};

// Makes the program under test trust the test certificate while it lives: a Windows program
// through the user's root store. The Linux build trusts only the system's certificates, which
// a test does not change: there trusted() is false.
class TargetTrustsTestCertificate
{
public:
    TargetTrustsTestCertificate();
    ~TargetTrustsTestCertificate();
    bool trusted() const { return m_trusted; }

private:
    QTemporaryDir m_dir;
    QString m_key;
    bool m_trusted = false;
};

struct ProcessResult
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err; // without Wine's own debug lines
    QByteArray journal; // a native program's standard error as the journal got it
    // The events a Windows program wrote to the Application log, as Wine shows them: type (E, W
    // or T for information), id and text, "Ec0000001 Web-service exchange failed: ...". Wine
    // cuts a text after a few hundred characters. The journal's carry no id: "E Web-service ...".
    QStringList events;
};
// An event as the program under test shows it, from its Windows form.
QString targetEvent(const QString &windowsEvent);

inline QString binaryPath(const QString &name)
{
    return QStringLiteral(VINTOR_BIN_DIR "/") + name;
}
inline QString testData(const QString &relativePath)
{
    return QStringLiteral(VINTOR_TEST_DATA "/") + relativePath;
}
// Runs a program to its end; a program under test goes through its runner.
ProcessResult runProgram(const QString &program, const QStringList &arguments,
                         const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                         int timeoutMs = 30000);
// Spins the event loop until the condition holds or the time is up.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000);

// Whether the POSIX lock object of the log file `path` is left (never on Windows targets).
bool lockObjectExists(const QString &path);
QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &contents);
// The rows of a table kept with the test data: one row a line, cells separated by " | ",
// "#" lines and empty lines skipped, "-" read as a null text.
QList<QStringList> readTable(const QString &relativePath);
// Compares with a golden file; VINTOR_UPDATE_GOLDEN=1 rewrites the file instead.
void expectGolden(const QString &path, const QByteArray &actual);
// The names of the files in a folder, hidden ones included, in name order.
QStringList filesIn(const QString &folder);
int freePort();

// A server program started for one test and stopped with it: the reference service (which
// prints its port), nginx or tinyproxy (which listen where their configuration says).
class ServerProcess
{
public:
    ~ServerProcess();
    bool startRefService(const QStringList &arguments);
    // nginx serving `folder`/www on a free port.
    bool startNginx(const QString &folder);
    bool startTinyproxy(const QString &folder);
    int port() const { return m_port; }
    QString url(const QString &path) const;

private:
    bool startConfigured(const QString &program, const QString &configuration, const QString &folder,
                         const QStringList &arguments);
    QProcess m_process;
    int m_port = 0;
};

// A hand-written HTTP server for faults a real server will not produce: each request is
// handed to `handler`, which answers on the socket, or not at all.
struct HttpRequest
{
    QByteArray method;
    QByteArray path;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

class ScriptedServer : public QTcpServer
{
public:
    using Handler = std::function<void(QTcpSocket *socket, const HttpRequest &request)>;
    explicit ScriptedServer(Handler handler);
    QString url(const QString &path) const;
    QList<HttpRequest> requests;
    QList<QByteArray> paths() const;

    static QByteArray response(int status, const QByteArray &body = QByteArray(),
                               const QList<QPair<QByteArray, QByteArray>> &headers = {});
    // A redirect to `path` on the server that `socket` belongs to.
    static QByteArray redirect(const QTcpSocket *socket, int status, const QString &path);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    Handler m_handler;
};

// The long-lived self-signed certificate for 127.0.0.1 kept with the tests, and its key.
inline const QString testCertificate = testData("tls/cert.pem"_s);
inline const QString testKey = testData("tls/key.pem"_s);

class RecordingLogger : public Logger
{
public:
    void log(const QString &message) override { messages.append(message); }
    bool isEnabled() const override { return true; }
    QStringList messages;
};

// A session of the test products: only the product, the version and the country vary.
SessionInfo testSession(int product, const QString &version = "4.2"_s, const QString &country = "US"_s);
PublishInstruction testInstruction(const SessionInfo &session, PublishType publish, qint64 until);
