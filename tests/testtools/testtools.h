#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <functional>

// A throw-away home for one run of the tool: its own temporary folder (TEMP and TMPDIR, so
// the log folder and the single-instance files are private) and its own settings folder.
class TempHome
{
public:
    TempHome();
    QString path() const { return m_dir.path(); }
    QString temp() const { return path() + QStringLiteral("/tmp"); }
    QString configDir() const { return path() + QStringLiteral("/config"); }
    QString logFolder() const;
    QString settingsFile() const; // the native settings of the tool
    QString storeFile() const; // the publish-instruction store
    QProcessEnvironment environment() const;
    void writeSettings(const QMap<QString, QString> &values) const;

private:
    QTemporaryDir m_dir;
};

struct ProcessResult
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

QString binaryPath(const QString &name);
ProcessResult runProgram(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                         int timeoutMs = 30000);
// Spins the event loop until the condition holds or the time is up.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000);
QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &contents);

// The reference service, started as a real process.
class RefService
{
public:
    ~RefService();
    bool start(const QStringList &arguments, const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    int port() const { return m_port; }
    void stop();

private:
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
    // Serves HTTPS with this certificate and key from now on.
    void enableTls(const QString &certificatePath, const QString &keyPath);
    QList<HttpRequest> requests;

    static QByteArray response(int status, const QByteArray &body = QByteArray(),
                               const QList<QPair<QByteArray, QByteArray>> &headers = {});
    static QByteArray redirect(int status, const QString &target);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    Handler m_handler;
    QString m_certificate;
    QString m_key;
};

// A self-signed certificate for 127.0.0.1, made with openssl into `folder`.
bool makeSelfSignedCertificate(const QString &folder, QString &certificatePath, QString &keyPath);
