// The transfer engine and the log upload against local servers that misbehave on purpose.

#include "logger.h"
#include "logupload.h"
#include "qhttpwithresume.h"
#include "testtools.h"

#include <QBuffer>
#include <QFileInfo>
#include <QSslConfiguration>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

using QtDownloader::QHttpWithResume;

namespace {

class RecordingLogger : public Logger
{
public:
    void log(const QString &message) override { messages.append(message); }
    bool isEnabled() const override { return true; }
    QStringList messages;
};


} // namespace

TEST(Engine, RedirectedPostIsSentAgainWithTheSameBodyAndHeaders)
{
    ScriptedServer *self = nullptr;
    ScriptedServer server([&](QTcpSocket *socket, const HttpRequest &request) {
        if (request.path == "/first")
            socket->write(ScriptedServer::redirect(302, self->url(QStringLiteral("/second"))));
        else
            socket->write(ScriptedServer::response(200, "stored"));
    });
    self = &server;

    QHttpWithResume engine;
    QSignalSpy finished(&engine, &QHttpWithResume::ResumeRequestFinished);
    const QByteArray body("compressed log body");
    QNetworkReply *handle = engine.Post(QUrl(server.url(QStringLiteral("/first"))), QHttpWithResume::OctetStreamContentType,
                                        body, { { QStringLiteral("X-KALDO-utkey1"), QStringLiteral("123") } });
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(finished.first().at(0).value<QNetworkReply *>(), handle) << "the caller's handle, not the second reply";
    EXPECT_FALSE(finished.first().at(1).toBool());
    ASSERT_EQ(server.requests.size(), 2);
    for (const HttpRequest &request : server.requests) {
        EXPECT_EQ(request.method, QByteArray("POST"));
        EXPECT_EQ(request.body, body);
        EXPECT_EQ(request.headers.value("content-type"), QByteArray("application/octet-stream"));
        EXPECT_EQ(request.headers.value("x-kaldo-utkey1"), QByteArray("123"));
    }
}

TEST(Engine, RedirectHistoryAndLimit)
{
    // /hop/N redirects to /hop/N+1; /loop redirects to itself.
    ScriptedServer *self = nullptr;
    ScriptedServer server([&](QTcpSocket *socket, const HttpRequest &request) {
        if (request.path.startsWith("/hop/")) {
            const int next = request.path.mid(5).toInt() + 1;
            socket->write(ScriptedServer::redirect(307, self->url(QStringLiteral("/hop/%1").arg(next))));
        } else if (request.path == "/start") {
            socket->write(ScriptedServer::redirect(301, self->url(QStringLiteral("/loop"))));
        } else {
            socket->write(ScriptedServer::redirect(303, self->url(QStringLiteral("/loop"))));
        }
    });
    self = &server;

    QHttpWithResume engine;
    const QByteArray body("x");
    auto result = engine.SyncPost(QUrl(server.url(QStringLiteral("/hop/0"))), QHttpWithResume::OctetStreamContentType, body);
    EXPECT_TRUE(result.ok) << "an unfollowed 3xx ends the request as a success";
    EXPECT_EQ(server.requests.size(), 11) << "the first request and ten redirects";
    EXPECT_EQ(server.requests.last().path, QByteArray("/hop/10"));

    server.requests.clear();
    result = engine.SyncPost(QUrl(server.url(QStringLiteral("/start"))), QHttpWithResume::OctetStreamContentType, body);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(server.requests.size(), 2) << "a target already followed is not followed again";

    // A redirected POST without a content type cannot be sent again: it ends with the 3xx.
    server.requests.clear();
    result = engine.SyncPost(QUrl(server.url(QStringLiteral("/start"))), QString(), body);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(server.requests.size(), 1);
}

TEST(Engine, InactivityTimeoutAndTrickle)
{
    ScriptedServer stalling([](QTcpSocket *, const HttpRequest &) {});
    QHttpWithResume engine;
    engine.setInactivityTimeout(200);
    const QByteArray body("x");
    auto result = engine.SyncPost(QUrl(stalling.url(QStringLiteral("/"))), QHttpWithResume::OctetStreamContentType, body);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, QStringLiteral("timeout"));

    // A body that keeps coming, a byte every 100 ms for a second, outlives a 300 ms time-out.
    ScriptedServer trickling([](QTcpSocket *socket, const HttpRequest &) {
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
        auto *timer = new QTimer(socket);
        auto *sent = new int(0);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, sent] {
            socket->write("x");
            if (++*sent == 10) {
                timer->stop();
                delete sent;
            }
        });
        timer->start(100);
    });
    QHttpWithResume patient;
    patient.setInactivityTimeout(300);
    QSignalSpy progress(&patient, &QHttpWithResume::ResumeDataReadProgress);
    result = patient.SyncPost(QUrl(trickling.url(QStringLiteral("/"))), QHttpWithResume::OctetStreamContentType, body);
    EXPECT_TRUE(result.ok) << result.message.toStdString();
    EXPECT_GE(progress.size(), 5);
}

TEST(Engine, BlockedEngineFinishesOnTheNextPassOfTheEventLoop)
{
    QHttpWithResume engine;
    engine.SetInternetAccessBlocked(true);
    QSignalSpy finished(&engine, &QHttpWithResume::RequestFinished);
    const QByteArray body("x");
    EXPECT_EQ(engine.Post(QUrl(QStringLiteral("http://127.0.0.1:9/")), QString(), body), nullptr);
    EXPECT_EQ(finished.size(), 0) << "never from inside the operation";
    EXPECT_TRUE(finished.wait(1000));
    EXPECT_EQ(engine.ErrorString(), QStringLiteral("Internet access is disabled by the system administrator."));

    QHttpWithResume fresh;
    fresh.SetInternetAccessBlocked(true);
    const auto result = fresh.SyncPost(QUrl(QStringLiteral("http://127.0.0.1:9/")), QString(), body);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.message.isEmpty());
}

TEST(Upload, KeyDependsOnTheBodyLengthAlone)
{
    // Known answers from the receiver's side of the agreement.
    EXPECT_EQ(uploadKey(0), 2396444270u);
    EXPECT_EQ(uploadKey(1), 2413221486u);
    EXPECT_EQ(uploadKey(836), 3403077230u);
    EXPECT_EQ(uploadKey(0x01020304), 2329335407u);
    EXPECT_EQ(uploadKey(0xffffffffu), 1909905041u);
    EXPECT_EQ(uploadKey(0x01aabb04), uploadKey(0x01000004)) << "the middle bytes do not count";
}

TEST(Upload, BodyIsTheFrameworksCompressedForm)
{
    QByteArray log;
    for (int i = 0; i < 20000; ++i)
        log += "<event><feature>Open</feature><n>" + QByteArray::number(i) + "</n></event>\n";
    for (const QByteArray &input : { log, QByteArray() }) {
        QBuffer source;
        source.setData(input);
        source.open(QIODevice::ReadOnly);
        QBuffer compressed;
        compressed.open(QIODevice::WriteOnly);
        ASSERT_TRUE(compressStream(&source, input.size(), &compressed));
        EXPECT_EQ(qUncompress(compressed.data()), input);
        EXPECT_EQ(compressed.data().left(4), qCompress(input).left(4)) << "the length prefix";
    }
}

TEST(Upload, PostsTheFileWithItsKeyAndReportsTheOutcome)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("g.full.xml"));
    writeFile(path, "<kaldousage><session/></kaldousage>");
    ScriptedServer receiver([](QTcpSocket *socket, const HttpRequest &) {
        socket->write(ScriptedServer::response(200, "anything at all"));
    });
    RecordingLogger logger;
    EXPECT_FALSE(postLogFile(path, receiver.url(QStringLiteral("/usagetracking/post.track")), &logger));
    ASSERT_EQ(receiver.requests.size(), 1);
    const HttpRequest &request = receiver.requests.first();
    EXPECT_EQ(qUncompress(request.body), readFile(path));
    EXPECT_EQ(request.headers.value("x-kaldo-utkey1"), QByteArray::number(uploadKey(static_cast<quint32>(request.body.size()))));
    EXPECT_EQ(request.headers.value("content-length"), QByteArray::number(request.body.size()));
    EXPECT_EQ(logger.messages, QStringList({ QStringLiteral("Trying to POST file ") + path, QStringLiteral("POST results: success") }));

    // An empty file is posted as the compressed form of nothing; a missing one is not posted.
    writeFile(path, QByteArray());
    EXPECT_FALSE(postLogFile(path, receiver.url(QStringLiteral("/")), &logger));
    EXPECT_EQ(receiver.requests.last().body, QByteArray(4, '\0'));
    logger.messages.clear();
    EXPECT_TRUE(postLogFile(dir.filePath(QStringLiteral("missing.xml")), receiver.url(QStringLiteral("/")), &logger));
    EXPECT_EQ(receiver.requests.size(), 2);
    ASSERT_EQ(logger.messages.size(), 2);
    EXPECT_TRUE(logger.messages.at(1).startsWith(QStringLiteral("POST results: Cannot read "))) << logger.messages.at(1).toStdString();
}

TEST(Upload, SelfSignedReceiverFailsWithTheSslError)
{
    QTemporaryDir dir;
    QString certificate, key;
    ASSERT_TRUE(makeSelfSignedCertificate(dir.path(), certificate, key));
    ScriptedServer receiver([](QTcpSocket *socket, const HttpRequest &) {
        socket->write(ScriptedServer::response(200, "ok"));
    });
    receiver.enableTls(certificate, key);
    writeFile(dir.filePath(QStringLiteral("log.xml")), "<kaldousage/>");
    RecordingLogger logger;
    EXPECT_TRUE(postLogFile(dir.filePath(QStringLiteral("log.xml")), receiver.url(QStringLiteral("/")), &logger));
    ASSERT_EQ(logger.messages.size(), 2);
    EXPECT_TRUE(logger.messages.at(1).startsWith(QStringLiteral("POST results: SSL"))) << logger.messages.at(1).toStdString();
    EXPECT_TRUE(receiver.requests.isEmpty());
}

TEST(Upload, ReferenceReceiverOverHttpsChecksKeyAndBody)
{
    QTemporaryDir dir;
    QString certificate, key;
    ASSERT_TRUE(makeSelfSignedCertificate(dir.path(), certificate, key));
    RefService service;
    ASSERT_TRUE(service.start({ QStringLiteral("--cert"), certificate, QStringLiteral("--key"), key,
                                QStringLiteral("--receive-dir"), dir.path() }));
    const QSslConfiguration original = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = original;
    trusting.setCaCertificates(QSslCertificate::fromPath(certificate));
    QSslConfiguration::setDefaultConfiguration(trusting);
    const QString url = QStringLiteral("https://127.0.0.1:%1/usagetracking/post.track").arg(service.port());

    const QByteArray log = "<kaldousage><session/></kaldousage>";
    writeFile(dir.filePath(QStringLiteral("g.full.xml")), log);
    RecordingLogger logger;
    EXPECT_FALSE(postLogFile(dir.filePath(QStringLiteral("g.full.xml")), url, &logger)) << logger.messages.join(' ').toStdString();
    EXPECT_EQ(readFile(dir.filePath(QStringLiteral("received-001.xml"))), log);

    // A wrong key is refused, and so is a body that is not the compressed form.
    QtDownloader::QHttpWithResume engine;
    const QByteArray compressed = qCompress(log);
    auto result = engine.SyncPost(QUrl(url), QHttpWithResume::OctetStreamContentType, compressed,
                                  { { QStringLiteral("X-KALDO-utkey1"), QStringLiteral("1") } });
    EXPECT_FALSE(result.ok);
    const QByteArray garbage("not compressed at all");
    result = engine.SyncPost(QUrl(url), QHttpWithResume::OctetStreamContentType, garbage,
                             { { QStringLiteral("X-KALDO-utkey1"), QString::number(uploadKey(static_cast<quint32>(garbage.size()))) } });
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("received-002.xml"))));
    QSslConfiguration::setDefaultConfiguration(original);
}
