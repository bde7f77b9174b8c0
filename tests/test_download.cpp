// Resumable downloads against nginx, which serves static files with ETag and honours Range,
// If-Range, If-None-Match; a forwarding server in front of it cuts a transfer short where a
// test needs an interrupted download, and records what the engine asked for.

#include "qhttpwithresume.h"
#include "testtools.h"

#include <QBuffer>
#include <QFileInfo>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>

#include <gtest/gtest.h>

using QtDownloader::QHttpWithResume;

namespace {

// Passes each request on to nginx and its answer back; `cutAfter` >= 0 sends only that many
// bytes of the next answer and then drops the connection.
class Forwarder
{
public:
    explicit Forwarder(const ServerProcess &nginx)
        : server([this, &nginx](QTcpSocket *socket, const HttpRequest &request) {
            QTcpSocket upstream;
            upstream.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(nginx.port()));
            upstream.waitForConnected(2000);
            QByteArray raw = request.method + ' ' + request.path + " HTTP/1.1\r\n";
            for (auto it = request.headers.cbegin(); it != request.headers.cend(); ++it) {
                if (it.key() != "connection")
                    raw += it.key() + ": " + it.value() + "\r\n";
            }
            upstream.write(raw + "Connection: close\r\n\r\n" + request.body);
            QByteArray answer;
            while (upstream.waitForReadyRead(2000) || upstream.bytesAvailable())
                answer += upstream.readAll();
            if (cutAfter >= 0) {
                socket->write(answer.left(cutAfter));
                socket->flush();
                socket->abort();
                cutAfter = -1;
                return;
            }
            socket->write(answer);
        })
    {
    }
    ScriptedServer server;
    int cutAfter = -1;
};

class Download : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(nginx.startNginx(dir.path()));
        for (int i = 0; i < 20000; ++i)
            content += "line " + QByteArray::number(i) + " of the published file\n";
        writeFile(dir.path() + "/www/file.bin"_s, content);
        target = dir.path() + "/target.bin"_s;
    }

    // Runs one Download to its end; returns the error flag of the finish signal.
    bool download(QHttpWithResume &engine, const QString &url)
    {
        QSignalSpy finished(&engine, &QHttpWithResume::ResumeRequestFinished);
        engine.Download(QUrl(url), target);
        EXPECT_TRUE(finished.wait(10000));
        return finished.value(0).value(1).toBool();
    }

    QTemporaryDir dir;
    ServerProcess nginx;
    QByteArray content;
    QString target;
};

} // namespace

TEST_F(Download, FreshThenNotModified)
{
    QHttpWithResume engine;
    EXPECT_FALSE(download(engine, nginx.url("/file.bin"_s)));
    EXPECT_EQ(readFile(target), content);
    EXPECT_FALSE(QFileInfo::exists(target + ".part"_s));
    const QList<QByteArray> state = readFile(target + ".st"_s).split('\n');
    ASSERT_EQ(state.size(), 4);
    EXPECT_TRUE(state.at(0).startsWith('"')) << "the ETag";
    EXPECT_EQ(state.at(1), nginx.url("/file.bin"_s).toUtf8());
    EXPECT_EQ(state.at(2), QByteArray::number(content.size()));

    Forwarder forwarder(nginx);
    // Same state, but through the forwarder: the URL differs, so it starts over.
    EXPECT_FALSE(download(engine, forwarder.server.url("/file.bin"_s)));
    EXPECT_FALSE(forwarder.server.requests.first().headers.contains("if-none-match"));
    const QDateTime written = QFileInfo(target).lastModified();
    EXPECT_FALSE(download(engine, forwarder.server.url("/file.bin"_s)));
    EXPECT_EQ(forwarder.server.requests.last().headers.value("if-none-match"),
              readFile(target + ".st"_s).split('\n').first());
    EXPECT_EQ(readFile(target), content);
    EXPECT_FALSE(QFileInfo::exists(target + ".part"_s)) << "the 304 removes the empty partial file";
    EXPECT_EQ(QFileInfo(target).lastModified(), written) << "the target is left untouched";
    EXPECT_TRUE(engine.ErrorString().isEmpty());
}

TEST_F(Download, InterruptedDownloadResumesWithRange)
{
    Forwarder forwarder(nginx);
    forwarder.cutAfter = 40000; // headers and part of the body
    QHttpWithResume engine;
    const QString url = forwarder.server.url("/file.bin"_s);
    EXPECT_TRUE(download(engine, url)) << "a dropped connection is an error";
    EXPECT_FALSE(QFileInfo::exists(target));
    const qint64 partial = QFileInfo(target + ".part"_s).size();
    EXPECT_GT(partial, 0);
    EXPECT_LT(partial, content.size());
    EXPECT_TRUE(QFileInfo::exists(target + ".st"_s)) << "kept for the resume";

    EXPECT_FALSE(download(engine, url));
    const HttpRequest &resumed = forwarder.server.requests.last();
    EXPECT_EQ(resumed.headers.value("range"), "bytes=" + QByteArray::number(partial) + "-");
    EXPECT_TRUE(resumed.headers.value("if-range").startsWith('"'));
    EXPECT_EQ(readFile(target), content) << "finished by a 206 appended to the partial file";
    EXPECT_TRUE(engine.ErrorString().isEmpty());
}

TEST_F(Download, ChangedFileRestartsFromZero)
{
    Forwarder forwarder(nginx);
    const QString url = forwarder.server.url("/file.bin"_s);
    writeFile(target + ".part"_s, QByteArray(5000, 'x'));
    writeFile(target + ".st"_s, "\"old-etag\"\n" + url.toUtf8() + "\n" + QByteArray::number(content.size()) + "\n");
    QHttpWithResume engine;
    EXPECT_FALSE(download(engine, url));
    EXPECT_EQ(forwarder.server.requests.first().headers.value("if-range"), QByteArray("\"old-etag\""));
    EXPECT_EQ(readFile(target), content) << "the 200 truncated the partial file";
    EXPECT_NE(readFile(target + ".st"_s).split('\n').first(), QByteArray("\"old-etag\""));
}

TEST_F(Download, RefusedRangeIsAskedForOnceMoreWithoutIt)
{
    QHttpWithResume probe;
    ASSERT_FALSE(download(probe, nginx.url("/file.bin"_s)));
    const QByteArray etag = readFile(target + ".st"_s).split('\n').first();
    QFile::remove(target);

    Forwarder forwarder(nginx);
    const QString url = forwarder.server.url("/file.bin"_s);
    writeFile(target + ".part"_s, content + "beyond the end");
    writeFile(target + ".st"_s, etag + "\n" + url.toUtf8() + "\n0\n");
    QHttpWithResume engine;
    EXPECT_FALSE(download(engine, url));
    ASSERT_EQ(forwarder.server.requests.size(), 2);
    EXPECT_TRUE(forwarder.server.requests.at(0).headers.contains("range"));
    EXPECT_FALSE(forwarder.server.requests.at(1).headers.contains("range"));
    EXPECT_FALSE(forwarder.server.requests.at(1).headers.contains("if-range"));
    EXPECT_EQ(readFile(target), content);
}

TEST_F(Download, RedirectedGetReusesItsBuffer)
{
    QHttpWithResume engine;
    auto buffer = std::make_shared<QBuffer>();
    buffer->setData("left over from before");
    QSignalSpy finished(&engine, &QHttpWithResume::ResumeRequestFinished);
    QNetworkReply *handle = engine.Get(QUrl(nginx.url("/moved"_s)), buffer);
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(finished.first().at(0).value<QNetworkReply *>(), handle);
    EXPECT_FALSE(finished.first().at(1).toBool());
    EXPECT_EQ(buffer->data(), content);
}

TEST_F(Download, BlockedAndUnwritableRequestsEndAtOnce)
{
    QHttpWithResume engine;
    QSignalSpy finished(&engine, &QHttpWithResume::RequestFinished);
    EXPECT_EQ(engine.Download(QUrl(nginx.url("/file.bin"_s)), dir.path() + "/no/such/target"_s), nullptr);
    EXPECT_EQ(engine.ErrorString(), "Unable to open %1 for writing."_s.arg(dir.path() + "/no/such/target.part"_s));
    engine.SetInternetAccessBlocked(true);
    EXPECT_EQ(engine.Get(QUrl(nginx.url("/file.bin"_s)), std::make_shared<QBuffer>()), nullptr);
    EXPECT_TRUE(finished.wait(1000));
    EXPECT_TRUE(waitUntil([&] { return finished.size() == 2; }, 1000));
}
