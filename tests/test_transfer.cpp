// The transfer engine and the log upload against local servers that misbehave on purpose.

#include "logupload.h"
#include "qhttpwithresume.h"
#include "testtools.h"

#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTimer>

using QtDownloader::QHttpWithResume;

namespace {

const QString &octets = QHttpWithResume::OctetStreamContentType;

} // namespace

TEST(Engine, RedirectedPostsAreSentAgainUpToTenTimes)
{
    // /first redirects to /second, which stores; /hop/N to /hop/N+1; /start to /loop, which
    // redirects to itself.
    ScriptedServer server([](QTcpSocket *socket, const HttpRequest &request) {
        if (request.path == "/first")
            socket->write(ScriptedServer::redirect(socket, 302, "/second"_s));
        else if (request.path == "/second")
            socket->write(ScriptedServer::response(200, "stored"));
        else if (request.path.startsWith("/hop/"))
            socket->write(ScriptedServer::redirect(socket, 307, "/hop/%1"_s.arg(request.path.mid(5).toInt() + 1)));
        else
            socket->write(ScriptedServer::redirect(socket, request.path == "/start" ? 301 : 303, "/loop"_s));
    });
    QHttpWithResume engine;
    QSignalSpy finished(&engine, &QHttpWithResume::ResumeRequestFinished);
    const QByteArray body("compressed log body");
    QNetworkReply *handle
        = engine.Post(QUrl(server.url("/first"_s)), octets, body, { { "X-KALDO-utkey1"_s, "123"_s } });
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(finished.first().at(0).value<QNetworkReply *>(), handle) << "the caller's handle, not the second reply";
    EXPECT_FALSE(finished.first().at(1).toBool());
    ASSERT_EQ(server.requests.size(), 2);
    for (const HttpRequest &request : server.requests) {
        EXPECT_EQ(request.method + ' ' + request.body, "POST " + body);
        EXPECT_EQ(request.headers.value("content-type"), QByteArray("application/octet-stream"));
        EXPECT_EQ(request.headers.value("x-kaldo-utkey1"), QByteArray("123"));
    }

    server.requests.clear();
    EXPECT_TRUE(engine.SyncPost(QUrl(server.url("/hop/0"_s)), octets, body).ok) << "an unfollowed 3xx is a success";
    EXPECT_EQ(server.requests.size(), 11) << "the first request and ten redirects";
    EXPECT_EQ(server.requests.last().path, QByteArray("/hop/10"));
    server.requests.clear();
    EXPECT_TRUE(engine.SyncPost(QUrl(server.url("/start"_s)), octets, body).ok);
    EXPECT_EQ(server.paths(), QList<QByteArray>({ "/start", "/loop" })) << "a target is followed once";
    // A redirected POST without a content type cannot be sent again: it ends with the 3xx.
    server.requests.clear();
    EXPECT_TRUE(engine.SyncPost(QUrl(server.url("/start"_s)), QString(), body).ok);
    EXPECT_EQ(server.requests.size(), 1);
}

TEST(Engine, InactivityTimeoutAndTrickle)
{
    // /stall never answers; /trickle sends a byte every 100 ms for a second.
    ScriptedServer server([](QTcpSocket *socket, const HttpRequest &request) {
        if (request.path == "/stall")
            return;
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
        auto *timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, sent = 0]() mutable {
            socket->write("x");
            if (++sent == 10)
                timer->stop();
        });
        timer->start(100);
    });
    QHttpWithResume engine;
    engine.setInactivityTimeout(200);
    const QByteArray body("x");
    auto result = engine.SyncPost(QUrl(server.url("/stall"_s)), octets, body);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, "timeout"_s);

    QHttpWithResume patient;
    patient.setInactivityTimeout(300);
    QSignalSpy progress(&patient, &QHttpWithResume::ResumeDataReadProgress);
    result = patient.SyncPost(QUrl(server.url("/trickle"_s)), octets, body);
    EXPECT_TRUE(result.ok) << result.message.toStdString();
    EXPECT_GE(progress.size(), 5);
}

TEST(Engine, RefusedRequestsFinishOnTheNextPassOfTheEventLoop)
{
    QTemporaryDir dir;
    QHttpWithResume engine;
    QSignalSpy finished(&engine, &QHttpWithResume::RequestFinished);
    EXPECT_EQ(engine.Download(QUrl("http://127.0.0.1:9/f"_s), dir.path() + "/no/such/target"_s), nullptr);
    EXPECT_EQ(engine.ErrorString(), "Unable to open %1 for writing."_s.arg(dir.path() + "/no/such/target.part"_s));
    engine.SetInternetAccessBlocked(true);
    const QByteArray body("x");
    EXPECT_EQ(engine.Post(QUrl("http://127.0.0.1:9/"_s), QString(), body), nullptr);
    EXPECT_EQ(finished.size(), 0) << "never from inside the operation";
    EXPECT_TRUE(waitUntil([&] { return finished.size() == 2; }, 1000));
    EXPECT_EQ(engine.ErrorString(), "Internet access is disabled by the system administrator."_s);
    const auto result = engine.SyncPost(QUrl("http://127.0.0.1:9/"_s), QString(), body);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.message.isEmpty());
}

TEST(Upload, KeyAndBody)
{
    for (const QStringList &row : readTable("upload/keys"_s))
        EXPECT_EQ(uploadKey(row.at(0).toUInt()), row.at(1).toUInt()) << row.at(0).toStdString();
    EXPECT_EQ(uploadKey(0x01aabb04), uploadKey(0x01000004)) << "the middle bytes do not count";

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
    const QString path = dir.filePath("g.full.xml"_s);
    writeFile(path, "<kaldousage><session/></kaldousage>");
    ScriptedServer receiver(
        [](QTcpSocket *socket, const HttpRequest &) { socket->write(ScriptedServer::response(200, "anything")); });
    RecordingLogger logger;
    EXPECT_FALSE(postLogFile(path, receiver.url("/usagetracking/post.track"_s), &logger));
    ASSERT_EQ(receiver.requests.size(), 1);
    const HttpRequest &request = receiver.requests.first();
    EXPECT_EQ(qUncompress(request.body), readFile(path));
    EXPECT_EQ(request.headers.value("content-length"), QByteArray::number(request.body.size()));
    EXPECT_EQ(logger.messages, QStringList({ "Trying to POST file "_s + path, "POST results: success"_s }));

    // An empty file is posted as the compressed form of nothing; a missing one is not posted.
    writeFile(path, QByteArray());
    EXPECT_FALSE(postLogFile(path, receiver.url("/"_s), &logger));
    EXPECT_EQ(receiver.requests.last().body, QByteArray(4, '\0'));
    logger.messages.clear();
    EXPECT_TRUE(postLogFile(dir.filePath("missing.xml"_s), receiver.url("/"_s), &logger));
    EXPECT_EQ(receiver.requests.size(), 2);
    EXPECT_TRUE(logger.messages.value(1).startsWith("POST results: Cannot read "_s))
        << logger.messages.join(' ').toStdString();

    // A body compressed while the file was written is used only when it holds the whole file.
    const QByteArray log = "<kaldousage><session/></kaldousage>";
    writeFile(path, log);
    for (const int given : { log.size(), 12 }) {
        BodyCompressor body(dir.path());
        body.add(log.constData(), given);
        EXPECT_FALSE(postLogFile(path, receiver.url("/"_s), &logger, &body));
        EXPECT_EQ(qUncompress(receiver.requests.last().body), log) << given << " bytes given";
    }

    // A receiver that may have stored the log and then hangs up without a word: one attempt, as
    // Qt would otherwise send the body again on its own and deliver the log twice.
    ScriptedServer silent([](QTcpSocket *socket, const HttpRequest &) { socket->disconnectFromHost(); });
    logger.messages.clear();
    EXPECT_TRUE(postLogFile(path, silent.url("/"_s), &logger));
    EXPECT_EQ(silent.requests.size(), 1);
    EXPECT_TRUE(logger.messages.value(1).startsWith("POST results: "_s)
                && !logger.messages.value(1).endsWith("success"_s));
}

TEST(Upload, OverHttpsOnlyToATrustedReceiver)
{
    // The reference receiver checks the key and the compressed form of what it stores.
    QTemporaryDir dir;
    const QByteArray log = "<kaldousage><session/></kaldousage>";
    writeFile(dir.filePath("g.full.xml"_s), log);
    ServerProcess service;
    ASSERT_TRUE(
        service.startRefService({ "--cert"_s, testCertificate, "--key"_s, testKey, "--receive-dir"_s, dir.path() }));
    const QString url = "https://127.0.0.1:%1/usagetracking/post.track"_s.arg(service.port());
    RecordingLogger logger;
    EXPECT_TRUE(postLogFile(dir.filePath("g.full.xml"_s), url, &logger));
    EXPECT_TRUE(logger.messages.value(1).startsWith("POST results: SSL"_s)) << logger.messages.join(' ').toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("received-001.xml"_s)));

    // Trusted for this process while it posts again.
    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = saved;
    trusting.setCaCertificates(QSslCertificate::fromPath(testCertificate));
    QSslConfiguration::setDefaultConfiguration(trusting);
    EXPECT_FALSE(postLogFile(dir.filePath("g.full.xml"_s), url, &logger)) << logger.messages.join(' ').toStdString();
    QSslConfiguration::setDefaultConfiguration(saved);
    EXPECT_EQ(readFile(dir.filePath("received-001.xml"_s)), log);
}
