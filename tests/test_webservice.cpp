// Proxy discovery with supplied settings and from the environment, the blocking SOAP call
// against local servers, and the logsAvailable exchange against scripted answers.

#include "soapclient.h"
#include "systemproxy.h"
#include "systemproxysource.h"
#include "testtools.h"
#include "usagewebservice.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextCodec>

#include <csignal>
#include <sys/resource.h>

namespace {

SystemProxySource settingsSource(bool manual, const QString &server, const QString &bypass = QString())
{
    return [=](SystemProxySettings &settings) {
        settings.manualProxy = manual;
        settings.hasServer = !server.isNull();
        settings.server = server.toStdWString();
        settings.hasBypass = !bypass.isNull();
        settings.bypass = bypass.toStdWString();
        return true;
    };
}

// The proxy applySystemProxy gives a fresh manager for `url`, as "host:port", or "none".
QString proxyFor(const QString &url)
{
    QNetworkAccessManager manager;
    applySystemProxy(&manager, QUrl(url));
    if (manager.proxy().type() != QNetworkProxy::HttpProxy)
        return "none"_s;
    return manager.proxy().hostName() + QLatin1Char(':') + QString::number(manager.proxy().port());
}

bool soapCall(SOAPClient &client, const QString &url, bool systemProxy = false)
{
    if (systemProxy)
        client.setUseSystemProxy();
    client.setUrl(QUrl(url));
    QtSoapMessage request;
    request.setMethod(QtSoapQName("logsAvailable"_s, usageServiceNamespace));
    return client.call(usageServiceNamespace, "logsAvailable"_s, request);
}

class Proxy : public ::testing::Test
{
protected:
    void SetUp() override { setSystemProxySource(settingsSource(false, QString())); }
    void TearDown() override { setSystemProxySource(nullptr); }
};

using SoapCall = Proxy;

} // namespace

TEST_F(Proxy, ServerTextsAndBypassLists)
{
    for (const QStringList &row : readTable("proxy/servers"_s)) {
        setSystemProxySource(settingsSource(row.at(0) == "yes"_s, row.at(1), row.at(2)));
        EXPECT_EQ(proxyFor(row.at(3)), row.at(4)) << row.join(" | "_s).toStdString();
    }
    for (const QStringList &row : readTable("proxy/patterns"_s))
        EXPECT_EQ(matchesBypassPattern(row.at(0), row.at(1)), row.at(2) == "yes"_s) << row.join(" | "_s).toStdString();
}

TEST_F(Proxy, EnvironmentVariablesBecomeTheManualProxy)
{
    setSystemProxySource(nullptr);
    for (const QStringList &row : readTable("proxy/variables"_s)) {
        QList<QByteArray> names;
        for (const QString &assignment : row.at(0).split(" & "_s)) {
            names.append(assignment.section(QLatin1Char('='), 0, 0).toUtf8());
            qputenv(names.last().constData(), assignment.section(QLatin1Char('='), 1).toUtf8());
        }
        EXPECT_EQ(proxyFor(row.at(1)), row.at(2)) << row.join(" | "_s).toStdString();
        for (const QByteArray &name : names)
            qunsetenv(name.constData());
    }
    SystemProxySettings settings;
    ASSERT_TRUE(querySystemProxySettings(settings));
    EXPECT_FALSE(settings.manualProxy);
}

TEST_F(SoapCall, RedirectsTimeOutsAndErrors)
{
    // /a and /b redirect to each other; a 308 is not followed; /slow never answers; anything
    // else fails with a 500.
    ScriptedServer server([](QTcpSocket *socket, const HttpRequest &request) {
        const QMap<QByteArray, QPair<int, QString>> redirects { { "/a", { 302, "/b"_s } },
                                                                { "/b", { 307, "/a"_s } },
                                                                { "/permanent", { 308, "/a"_s } } };
        if (redirects.contains(request.path))
            socket->write(
                ScriptedServer::redirect(socket, redirects[request.path].first, redirects[request.path].second));
        else if (request.path != "/slow")
            socket->write(ScriptedServer::response(500, "<fault/>"));
    });
    const struct
    {
        QString path;
        int timeout, redirects;
        QString error;
        QList<QByteArray> paths;
        QNetworkReply::NetworkError replyError;
    } cases[] = {
        { "/a"_s, 10, 10, "Exceeded maximum redirects"_s, { "/a", "/b", "/a" }, QNetworkReply::NoError },
        { "/b"_s, 10, 0, "Exceeded maximum redirects"_s, { "/b" }, QNetworkReply::NoError },
        { "/permanent"_s, 10, 10, QString(), { "/permanent" }, QNetworkReply::NoError },
        { "/error"_s, 10, 10, "server replied"_s, { "/error" }, QNetworkReply::InternalServerError },
        { "/slow"_s, 1, 10, "HTTP error: timeout"_s, { "/slow" }, QNetworkReply::OperationCanceledError },
    };
    for (const auto &c : cases) {
        server.requests.clear();
        SOAPClient client(nullptr, c.timeout, c.redirects);
        EXPECT_FALSE(soapCall(client, server.url(c.path)));
        EXPECT_TRUE(client.errorString().contains(c.error)) << client.errorString().toStdString();
        EXPECT_EQ(server.paths(), c.paths) << c.path.toStdString();
        EXPECT_EQ(client.networkReply()->error(), c.replyError) << c.path.toStdString();
    }
}

TEST_F(SoapCall, AGoodAnswerIsReadWholeWhenTheTemporaryFolderFills)
{
    // An answer of several chunks, the temporary folder full from the start or after the first
    // chunks (a limit on the size of written files stands in for it), and a small answer that a
    // file would only buffer: what the file kept and the rest are read back whole, first item and last.
    QByteArray padding;
    ScriptedServer server([&](QTcpSocket *socket, const HttpRequest &) {
        socket->write(ScriptedServer::response(200, "<Envelope><Body><r><logsAvailableResult><first/>" + padding
                                                        + "<last/></logsAvailableResult></r></Body></Envelope>"));
    });
    rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_IGN);
    for (const auto &[room, size] : { std::pair<rlim_t, int>(0, 3 << 20), { 1500000, 3 << 20 }, { 0, 100 } }) {
        padding = QByteArray(size, ' ');
        SOAPClient client(nullptr, 10, 10);
        const rlimit full { room, saved.rlim_max };
        setrlimit(RLIMIT_FSIZE, &full);
        const bool answered = soapCall(client, server.url("/s"_s));
        setrlimit(RLIMIT_FSIZE, &saved);
        ASSERT_TRUE(answered) << room << ": " << client.errorString().toStdString();
        const QtSoapType &result = client.getResponse().returnValue();
        ASSERT_EQ(result.count(), 2) << room;
        EXPECT_EQ(result[0].name().name() + result[1].name().name(), "firstlast"_s) << room;
    }
}

namespace {

class Exchange : public SoapCall
{
protected:
    // Serves `body` as the SOAP answer and runs one exchange.
    QString exchange(const QByteArray &body, QVector<PublishInstruction> &instructions,
                     const QList<SessionInfo> &sessions = {})
    {
        ScriptedServer server([&](QTcpSocket *socket, const HttpRequest &) {
            socket->write(ScriptedServer::response(200, body, { { "Content-Type", "text/xml" } }));
        });
        const QString error
            = UsageWebService(server.url("/usagetracking/veri.asmx"_s), &logger).logsAvailable(sessions, instructions);
        lastRequest = server.requests.value(0);
        return error;
    }

    static QByteArray response(const QByteArray &items)
    {
        return "<?xml version=\"1.0\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
               "<soap:Body><n:logsAvailableResponse xmlns:n=\"urn:x\"><n:logsAvailableResult>"
               + items + "</n:logsAvailableResult></n:logsAvailableResponse></soap:Body></soap:Envelope>";
    }

    RecordingLogger logger;
    HttpRequest lastRequest;
};

} // namespace

TEST_F(Exchange, RequestIsWrittenTheWayTheServiceExpectsIt)
{
    SessionInfo session = testSession(12, "4.2 & <beta>"_s);
    session.servicePack = "SP]]>1"_s;
    QVector<PublishInstruction> instructions;
    EXPECT_EQ(exchange(response(""), instructions, { session }), QString());
    EXPECT_TRUE(instructions.isEmpty());
    expectGolden(testData("exchange/request.xml"_s), lastRequest.body);
    EXPECT_EQ(lastRequest.method + ' ' + lastRequest.path, QByteArray("POST /usagetracking/veri.asmx"));
    EXPECT_EQ(lastRequest.headers.value("soapaction"), usageServiceNamespace.toUtf8() + "/logsAvailable");
    EXPECT_EQ(lastRequest.headers.value("content-type"), QByteArray("text/xml;charset=utf-8"));
    exchange(response(""), instructions);
    EXPECT_TRUE(lastRequest.body.contains("\n<sessions/>\n"));
}

TEST_F(Exchange, ResponsesBecomeInstructions)
{
    QVector<PublishInstruction> instructions(1);
    EXPECT_EQ(exchange(response(readFile(testData("exchange/items.xml"_s))), instructions), QString());
    ASSERT_EQ(instructions.size(), 3) << "appended behind what the list held";
    // Letters read as 0 and the later member wins.
    const PublishInstruction &full = instructions.at(1);
    EXPECT_TRUE(full.session() == testSession(0, "8&9"_s));
    EXPECT_EQ(full.publish, SummaryOnly);
    EXPECT_EQ(full.publishUntil, 1796590795);
    const PublishInstruction &sparse = instructions.at(2);
    EXPECT_EQ(sparse.productID, 12);
    EXPECT_EQ(sparse.osBits, -1);
    EXPECT_TRUE(sparse.version.isEmpty());
    EXPECT_EQ(sparse.publishUntil, -1);
}

TEST_F(Exchange, TheResponseLineShowsABoundedPrefixAsTheParserDecodesIt)
{
    const QString text = QString::fromUtf8(response("<SessionsToPublish><country>Z\xc3\xbcrich</country>"
                                                    "<publish>Details</publish></SessionsToPublish>"))
                             .replace("?>"_s, " encoding=\"UTF-16\"?>"_s);
    QVector<PublishInstruction> instructions;
    EXPECT_EQ(exchange(QTextCodec::codecForName("UTF-16LE")->fromUnicode(text), instructions), QString());
    ASSERT_EQ(instructions.size(), 1);
    EXPECT_EQ(instructions.first().country, "Z\u00fcrich"_s);
    EXPECT_TRUE(logger.messages.contains("Response:"_s + text));
    exchange(response("") + QByteArray(1 << 20, ' '), instructions);
    EXPECT_EQ(logger.messages.last().size(), 9 + 64 * 1024);
}

TEST_F(Exchange, AnAnswerIsReadInBoundedMemory)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's quarantine keeps freed memory on purpose";
#endif
    // A 60 MB answer (the envelope and comments after it, which the parser reads one at a
    // time) that the server makes a chunk at a time, so that what this process holds at its
    // peak is the reading side's: writing 5 to clear_refs starts the peak afresh.
    const QByteArray head = response("");
    const qint64 padding = 60 << 20;
    ScriptedServer server([&](QTcpSocket *socket, const HttpRequest &) {
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: "
                      + QByteArray::number(head.size() + padding) + "\r\n\r\n" + head);
        auto left = std::make_shared<qint64>(padding);
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket, left] {
            for (; *left > 0 && socket->bytesToWrite() < (1 << 20); *left -= 1 << 16)
                socket->write(QByteArray("<!-- padding -->").repeated(1 << 12));
        });
    });
    const auto peakKilobytes = [] {
        return QString::fromLatin1(readFile("/proc/self/status"_s))
            .section("VmHWM:"_s, 1)
            .section("kB"_s, 0, 0)
            .toLongLong();
    };
    writeFile("/proc/self/clear_refs"_s, "5");
    const qint64 before = peakKilobytes();
    QVector<PublishInstruction> instructions;
    EXPECT_EQ(UsageWebService(server.url("/usagetracking/veri.asmx"_s), &logger).logsAvailable({}, instructions),
              QString());
    EXPECT_LT(peakKilobytes() - before, 20 * 1024) << "kilobytes more at the peak, for a 60 MB answer";
}

TEST_F(Exchange, FailureTexts)
{
    QList<QPair<QByteArray, QString>> cases {
        // An answer must parse whole: cut off, spoilt at the end or nested too deep, it fails.
        { response("<SessionsToPublish><publish>Details</publish></SessionsToPublish>").left(150),
          "Premature end of document. (line 1, column 150)"_s },
        { response("") + "<more/>", "Extra content at end of document. (line 1, column 251)"_s },
        { response(QByteArray("<a>").repeated(100000)), "values nested deeper than 64 levels (line 1, column 355)"_s },
    };
    for (auto &c : cases)
        c.second = "Unknown exception: The answer could not be parsed: "_s + c.second;
    const QList<QByteArray> records = readFile(testData("exchange/failures"_s)).split('\n');
    for (int i = 0; i + 1 < records.size(); ++i) {
        if (records.at(i).isEmpty() || records.at(i).startsWith('#'))
            continue;
        const QByteArray &answer = records.at(i);
        cases.append(
            { answer.startsWith("items:") ? response(answer.mid(6)) : answer, QString::fromUtf8(records.at(++i)) });
    }
    ASSERT_GT(cases.size(), 10);
    for (const auto &c : cases) {
        QVector<PublishInstruction> instructions;
        EXPECT_EQ(exchange(c.first, instructions).toStdString(), c.second.toStdString());
    }
}
