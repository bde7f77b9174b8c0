// Proxy discovery with supplied settings and through a real proxy, the blocking SOAP call
// against local servers, and the logsAvailable exchange against scripted answers.

#include "logger.h"
#include "logupload.h"
#include "qhttpwithresume.h"
#include "soapclient.h"
#include "systemproxy.h"
#include "systemproxysource.h"
#include "testtools.h"
#include "usagewebservice.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTcpSocket>

#include <gtest/gtest.h>

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
        return QStringLiteral("none");
    return manager.proxy().hostName() + QLatin1Char(':') + QString::number(manager.proxy().port());
}

class Proxy : public ::testing::Test
{
protected:
    void TearDown() override { setSystemProxySource(nullptr); }
};

} // namespace

TEST_F(Proxy, TableFromTheServerText)
{
    setSystemProxySource(settingsSource(true, QStringLiteral("p0:8080")));
    EXPECT_EQ(proxyFor(QStringLiteral("http://a.example.com/x")), QStringLiteral("p0:8080"));
    EXPECT_EQ(proxyFor(QStringLiteral("ftp://a.example.com/x")), QStringLiteral("p0:8080"));

    setSystemProxySource(settingsSource(true, QStringLiteral("http=p1:80; https=p2:443")));
    EXPECT_EQ(proxyFor(QStringLiteral("https://a.example.com/")), QStringLiteral("p2:443"));
    EXPECT_EQ(proxyFor(QStringLiteral("http://a.example.com/")), QStringLiteral("p1:80"));
    EXPECT_EQ(proxyFor(QStringLiteral("ftp://a.example.com/")), QStringLiteral("none"));

    // "all" sorts before the schemes, so it wins.
    setSystemProxySource(settingsSource(true, QStringLiteral("http=p1:80;p3:3128")));
    EXPECT_EQ(proxyFor(QStringLiteral("http://a.example.com/")), QStringLiteral("p3:3128"));

    ProxyTable table;
    QList<ProxyBypassEntry> bypass;
    setSystemProxySource(settingsSource(true, QStringLiteral("HTTP=noport;a:b=h:1")));
    ASSERT_TRUE(readSystemProxySettings(table, bypass));
    ASSERT_EQ(table.keys(), QStringList({ QStringLiteral("HTTP"), QStringLiteral("a:b") }));
    EXPECT_EQ(table.value(QStringLiteral("HTTP")).hostName(), QStringLiteral("noport"));
    EXPECT_EQ(table.value(QStringLiteral("HTTP")).port(), 0);
    EXPECT_EQ(table.value(QStringLiteral("a:b")).hostName(), QStringLiteral("h"));
    EXPECT_EQ(table.value(QStringLiteral("a:b")).port(), 1);

    setSystemProxySource(settingsSource(false, QStringLiteral("p0:8080"), QStringLiteral("<local>")));
    ASSERT_TRUE(readSystemProxySettings(table, bypass));
    EXPECT_TRUE(table.isEmpty());
    EXPECT_TRUE(bypass.isEmpty());
    EXPECT_EQ(proxyFor(QStringLiteral("http://a.example.com/")), QStringLiteral("none"));

    setSystemProxySource([](SystemProxySettings &) { return false; });
    EXPECT_FALSE(readSystemProxySettings(table, bypass));
}

TEST_F(Proxy, BypassRules)
{
    setSystemProxySource(settingsSource(true, QStringLiteral("p0:8080"), QStringLiteral("<local>;;*.Example.com")));
    EXPECT_EQ(proxyFor(QStringLiteral("http://intranet/")), QStringLiteral("none"));
    EXPECT_EQ(proxyFor(QStringLiteral("http://127.0.0.1/")), QStringLiteral("none"));
    EXPECT_EQ(proxyFor(QStringLiteral("http://WWW.EXAMPLE.COM/")), QStringLiteral("none"));
    EXPECT_EQ(proxyFor(QStringLiteral("http://example.org/")), QStringLiteral("p0:8080"));
    EXPECT_EQ(proxyFor(QStringLiteral("http://localhost.localdomain/")), QStringLiteral("p0:8080"));

    setSystemProxySource(settingsSource(true, QStringLiteral("p0:8080"), QStringLiteral("https://;ftp://files.example.org")));
    EXPECT_EQ(proxyFor(QStringLiteral("https://anything.example.org/")), QStringLiteral("none"));
    EXPECT_EQ(proxyFor(QStringLiteral("ftp://files.example.org/")), QStringLiteral("none"));
    EXPECT_EQ(proxyFor(QStringLiteral("http://files.example.org/")), QStringLiteral("p0:8080"));

    EXPECT_TRUE(matchesBypassPattern(QStringLiteral("<-loopback>"), QStringLiteral("localhost")));
    EXPECT_FALSE(matchesBypassPattern(QStringLiteral("<-loopback>"), QStringLiteral("intranet")));
    EXPECT_FALSE(matchesBypassPattern(QStringLiteral("<LOCAL>"), QStringLiteral("intranet")));
    EXPECT_TRUE(matchesBypassPattern(QStringLiteral("10.0.?.[1-3]"), QStringLiteral("10.0.7.2")));
    EXPECT_FALSE(matchesBypassPattern(QStringLiteral("10.0.?.[1-3]"), QStringLiteral("10.0.7.4")));
    EXPECT_TRUE(matchesBypassPattern(QString(), QString()));
    EXPECT_FALSE(matchesBypassPattern(QString(), QStringLiteral("a")));
}

TEST_F(Proxy, EnvironmentVariablesBecomeTheManualProxy)
{
    qputenv("http_proxy", "http://user@proxy.corp:3128/");
    qputenv("HTTPS_PROXY", "secure.corp:8443");
    qputenv("ftp_proxy", "https://ftp.corp/"); // no port: 443 for an https proxy URL,
    qputenv("all_proxy", "[fd00::1]"); // and 1080 otherwise
    qputenv("no_proxy", "localhost, .corp.example,10.1.2.3");
    SystemProxySettings settings;
    ASSERT_TRUE(querySystemProxySettings(settings));
    for (const char *name : { "http_proxy", "HTTPS_PROXY", "ftp_proxy", "all_proxy", "no_proxy" })
        qunsetenv(name);
    EXPECT_TRUE(settings.manualProxy);
    EXPECT_EQ(QString::fromStdWString(settings.server),
              QStringLiteral("http=proxy.corp:3128;https=secure.corp:8443;ftp=ftp.corp:443;[fd00::1]:1080"));
    EXPECT_EQ(QString::fromStdWString(settings.bypass), QStringLiteral("localhost;*.corp.example;10.1.2.3"));

    ASSERT_TRUE(querySystemProxySettings(settings));
    EXPECT_FALSE(settings.manualProxy);
}

TEST_F(Proxy, RequestsGoThroughARealProxyUnlessExempt)
{
    QTemporaryDir dir;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int proxyPort = probe.serverPort();
    probe.close();
    writeFile(dir.filePath(QStringLiteral("tinyproxy.conf")),
              QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nLogLevel Info\nLogFile \"%2\"\nPidFile \"%3\"\n")
                  .arg(proxyPort)
                  .arg(dir.filePath(QStringLiteral("tinyproxy.log")), dir.filePath(QStringLiteral("tinyproxy.pid")))
                  .toUtf8());
    QProcess proxy;
    proxy.start(QStringLiteral("tinyproxy"), { QStringLiteral("-d"), QStringLiteral("-c"), dir.filePath(QStringLiteral("tinyproxy.conf")) });
    ASSERT_TRUE(proxy.waitForStarted());
    ASSERT_TRUE(waitUntil([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(proxyPort));
        return socket.waitForConnected(100);
    }));

    ScriptedServer target([](QTcpSocket *socket, const HttpRequest &) {
        socket->write(ScriptedServer::response(200, "<Envelope><Body><r/></Body></Envelope>"));
    });
    const QString proxyText = QStringLiteral("http=127.0.0.1:%1").arg(proxyPort);
    for (const QString &bypass : { QString(), QStringLiteral("<-loopback>") }) {
        setSystemProxySource(settingsSource(true, proxyText, bypass));
        SOAPClient client(nullptr, 10, 10);
        client.setUseSystemProxy();
        client.setUrl(QUrl(target.url(QStringLiteral("/service"))));
        QtSoapMessage request;
        request.setMethod(QtSoapQName(QStringLiteral("m"), QStringLiteral("urn:x")));
        EXPECT_TRUE(client.call(QStringLiteral("urn:x"), QStringLiteral("m"), request)) << client.errorString().toStdString();
    }
    ASSERT_EQ(target.requests.size(), 2);
    EXPECT_TRUE(target.requests.at(0).headers.value("via").contains("tinyproxy")) << "sent through the proxy";
    EXPECT_FALSE(target.requests.at(1).headers.contains("via")) << "an exempt address goes direct";
    proxy.terminate();
    proxy.waitForFinished();
}

TEST_F(Proxy, WhereTheDiscoveryNamesNoProxyEveryRequestGoesDirect)
{
    // A proxy that records what reaches it. The hosts are not loopback, which Qt never sends
    // through a proxy, and do not resolve, so a direct request fails at once.
    ScriptedServer proxy([](QTcpSocket *socket, const HttpRequest &) { socket->write(ScriptedServer::response(502)); });
    qputenv("http_proxy", proxy.url(QString()).toUtf8());
    qputenv("no_proxy", "exempt.invalid");
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("log.xml")), "<kaldousage/>");
    Logger logger;
    auto soapCall = [](const QString &url) {
        SOAPClient client(nullptr, 10, 10);
        client.setUseSystemProxy();
        client.setUrl(QUrl(url));
        QtSoapMessage request;
        request.setMethod(QtSoapQName(QStringLiteral("m"), QStringLiteral("urn:x")));
        return client.call(QStringLiteral("urn:x"), QStringLiteral("m"), request);
    };
    // Exempt, and a scheme without a proxy of its own.
    for (const QString &url : { QStringLiteral("http://exempt.invalid/s"), QStringLiteral("https://secure.invalid/s") }) {
        EXPECT_FALSE(soapCall(url));
        EXPECT_TRUE(postLogFile(dir.filePath(QStringLiteral("log.xml")), url, &logger));
        for (bool systemProxy : { true, false }) {
            QtDownloader::QHttpWithResume engine;
            engine.setUseSystemProxy(systemProxy);
            QSignalSpy finished(&engine, &QtDownloader::QHttpWithResume::ResumeRequestFinished);
            engine.Get(QUrl(url), std::make_shared<QBuffer>());
            EXPECT_TRUE(finished.wait(10000));
        }
    }
    EXPECT_TRUE(proxy.requests.isEmpty()) << proxy.requests.first().method.constData() << " " << proxy.requests.first().path.constData();

    EXPECT_FALSE(soapCall(QStringLiteral("http://proxied.invalid/s")));
    EXPECT_EQ(proxy.requests.size(), 1) << "the proxy is used where the settings name it";
    qunsetenv("http_proxy");
    qunsetenv("no_proxy");
}

namespace {

class SoapCall : public ::testing::Test
{
protected:
    void SetUp() override { setSystemProxySource(settingsSource(false, QString())); }
    void TearDown() override { setSystemProxySource(nullptr); }

    bool call(SOAPClient &client, const QString &url)
    {
        client.setUrl(QUrl(url));
        QtSoapMessage request;
        request.setMethod(QtSoapQName(QStringLiteral("logsAvailable"), usageServiceNamespace));
        return client.call(usageServiceNamespace, QStringLiteral("logsAvailable"), request);
    }
};


} // namespace

TEST_F(SoapCall, RedirectLoopAndRefusedRedirects)
{
    ScriptedServer *self = nullptr;
    ScriptedServer server([&](QTcpSocket *socket, const HttpRequest &request) {
        if (request.path == "/a")
            socket->write(ScriptedServer::redirect(302, self->url(QStringLiteral("/b"))));
        else if (request.path == "/b")
            socket->write(ScriptedServer::redirect(307, self->url(QStringLiteral("/a"))));
        else if (request.path == "/permanent")
            socket->write(ScriptedServer::redirect(308, self->url(QStringLiteral("/a"))));
        else
            socket->write(ScriptedServer::response(500, "<fault/>"));
    });
    self = &server;

    SOAPClient client(nullptr, 10, 10);
    EXPECT_FALSE(call(client, server.url(QStringLiteral("/a"))));
    EXPECT_EQ(client.errorString(), QStringLiteral("Exceeded maximum redirects"));
    QList<QByteArray> paths;
    for (const HttpRequest &request : server.requests)
        paths.append(request.path);
    EXPECT_EQ(paths, QList<QByteArray>({ "/a", "/b", "/a" }));

    SOAPClient noRedirects(nullptr, 10, 0);
    EXPECT_FALSE(call(noRedirects, server.url(QStringLiteral("/b"))));
    EXPECT_EQ(noRedirects.errorString(), QStringLiteral("Exceeded maximum redirects"));

    server.requests.clear();
    SOAPClient permanent(nullptr, 10, 10);
    EXPECT_FALSE(call(permanent, server.url(QStringLiteral("/permanent"))));
    EXPECT_EQ(server.requests.size(), 1) << "308 is not followed";

    SOAPClient failing(nullptr, 10, 10);
    EXPECT_FALSE(call(failing, server.url(QStringLiteral("/error"))));
    EXPECT_TRUE(failing.errorString().contains(QStringLiteral("server replied"))) << failing.errorString().toStdString();
}

TEST_F(SoapCall, StallEndsInTimeout)
{
    ScriptedServer stalling([](QTcpSocket *, const HttpRequest &) {});
    SOAPClient client(nullptr, 1, 10);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(call(client, stalling.url(QStringLiteral("/slow"))));
    EXPECT_EQ(client.errorString(), QStringLiteral("HTTP error: timeout"));
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(client.networkReply()->error(), QNetworkReply::OperationCanceledError) << "the reply was aborted";
}

TEST_F(SoapCall, HttpsRedirectToPlainHttp)
{
    QTemporaryDir dir;
    QString certificate, key;
    ASSERT_TRUE(makeSelfSignedCertificate(dir.path(), certificate, key));
    QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    const QSslConfiguration original = trusting;
    trusting.setCaCertificates(QSslCertificate::fromPath(certificate));
    QSslConfiguration::setDefaultConfiguration(trusting);

    ScriptedServer plain([](QTcpSocket *socket, const HttpRequest &) {
        socket->write(ScriptedServer::response(200, "<Envelope><Body><logsAvailableResponse/></Body></Envelope>"));
    });
    ScriptedServer secure([&](QTcpSocket *socket, const HttpRequest &) {
        socket->write(ScriptedServer::redirect(301, plain.url(QStringLiteral("/plain"))));
    });
    secure.enableTls(certificate, key);

    SOAPClient client(nullptr, 10, 10);
    EXPECT_TRUE(call(client, secure.url(QStringLiteral("/start")))) << client.errorString().toStdString();
    EXPECT_EQ(secure.requests.size(), 1);
    ASSERT_EQ(plain.requests.size(), 1);
    EXPECT_EQ(plain.requests.first().path, QByteArray("/plain"));
    QSslConfiguration::setDefaultConfiguration(original);
}

namespace {

class Exchange : public SoapCall
{
protected:
    // Serves `body` as the SOAP answer and runs one exchange.
    QString exchange(const QByteArray &body, QVector<PublishInstruction> &instructions, const QList<SessionInfo> &sessions = {})
    {
        ScriptedServer server([&](QTcpSocket *socket, const HttpRequest &) {
            socket->write(ScriptedServer::response(200, body, { { "Content-Type", "text/xml" } }));
        });
        UsageWebService service(server.url(QStringLiteral("/usagetracking/veri.asmx")), &logger);
        const QString error = service.logsAvailable(sessions, instructions);
        lastRequest = server.requests.value(0);
        return error;
    }

    static QByteArray response(const QByteArray &items)
    {
        return "<?xml version=\"1.0\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
               "<n:logsAvailableResponse xmlns:n=\"urn:x\"><n:logsAvailableResult>"
            + items + "</n:logsAvailableResult></n:logsAvailableResponse></soap:Body></soap:Envelope>";
    }

    Logger logger;
    HttpRequest lastRequest;
};

} // namespace

TEST_F(Exchange, RequestIsWrittenTheWayTheServiceExpectsIt)
{
    SessionInfo session;
    session.productID = 12;
    session.version = QStringLiteral("4.2 & <beta>");
    session.osPlatform = 2;
    session.osVersion = 10;
    session.servicePack = QStringLiteral("SP]]>1");
    session.osBits = 64;
    session.architecture = 9;
    session.langID = QStringLiteral("en");
    session.country = QStringLiteral("US");
    session.locale = QStringLiteral("en_US");
    QVector<PublishInstruction> instructions;
    EXPECT_EQ(exchange(response(""), instructions, { session }), QString());
    EXPECT_TRUE(instructions.isEmpty());

    const QByteArray xsi = "xmlns:xsi=\"http://www.w3.org/1999/XMLSchema-instance\" xsi:type=\"xsd:";
    const QByteArray expected
        = "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
          "xmlns:xsd=\"http://www.w3.org/1999/XMLSchema\" "
          "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\n<SOAP-ENV:Body>\n"
          "<logsAvailable xmlns=\"" + usageServiceNamespace.toUtf8() + "\">\n"
          "<apiVersion " + xsi + "int\">1</apiVersion>\n<sessions>\n<SessionInfo>\n"
          "<productID " + xsi + "int\">12</productID>\n"
          "<version " + xsi + "string\">4.2 &amp; &lt;beta></version>\n"
          "<osPlatform " + xsi + "int\">2</osPlatform>\n"
          "<osVersion " + xsi + "int\">10</osVersion>\n"
          "<servicePack " + xsi + "string\">SP]]&gt;1</servicePack>\n"
          "<osBits " + xsi + "int\">64</osBits>\n"
          "<architecture " + xsi + "int\">9</architecture>\n"
          "<langID " + xsi + "string\">en</langID>\n"
          "<country " + xsi + "string\">US</country>\n"
          "<locale " + xsi + "string\">en_US</locale>\n"
          "</SessionInfo>\n</sessions>\n</logsAvailable>\n</SOAP-ENV:Body>\n</SOAP-ENV:Envelope>\n";
    EXPECT_EQ(lastRequest.body.toStdString(), expected.toStdString());
    EXPECT_EQ(lastRequest.method, QByteArray("POST"));
    EXPECT_EQ(lastRequest.path, QByteArray("/usagetracking/veri.asmx"));
    EXPECT_EQ(lastRequest.headers.value("soapaction"), usageServiceNamespace.toUtf8() + "/logsAvailable");
    EXPECT_EQ(lastRequest.headers.value("content-type"), QByteArray("text/xml;charset=utf-8"));

    exchange(response(""), instructions);
    EXPECT_TRUE(lastRequest.body.contains("\n<sessions/>\n"));
}

TEST_F(Exchange, ResponsesBecomeInstructions)
{
    QVector<PublishInstruction> instructions(1);
    const QString error = exchange(
        response("<SessionsToPublish><publish>SummaryOnly</publish><productID>abc</productID><version>7</version>"
                 "<osPlatform>2</osPlatform><osVersion>10</osVersion><servicePack>SP1</servicePack><osBits>64</osBits>"
                 "<architecture>9</architecture><langID>en</langID><country>US</country><locale>en_US</locale>"
                 "<publishUntil>1796590795</publishUntil><version>8</version></SessionsToPublish>"
                 "<SessionsToPublish><productID>12</productID><publish>Discard</publish></SessionsToPublish>"),
        instructions);
    EXPECT_EQ(error, QString());
    ASSERT_EQ(instructions.size(), 3) << "appended behind what the list held";
    const PublishInstruction &full = instructions.at(1);
    EXPECT_EQ(full.productID, 0) << "letters read as 0";
    EXPECT_EQ(full.version, QStringLiteral("8")) << "the later member wins";
    EXPECT_EQ(full.publish, SummaryOnly);
    EXPECT_EQ(full.publishUntil, 1796590795);
    EXPECT_EQ(full.locale, QStringLiteral("en_US"));
    const PublishInstruction &sparse = instructions.at(2);
    EXPECT_EQ(sparse.productID, 12);
    EXPECT_EQ(sparse.osBits, -1);
    EXPECT_TRUE(sparse.version.isEmpty());
    EXPECT_EQ(sparse.publishUntil, -1);
}

TEST_F(Exchange, FailureTexts)
{
    const QString cast = QStringLiteral(
        "Cast failed on 'publishUntil': bad lexical cast: source type value could not be interpreted as target");
    const QList<QPair<QByteArray, QString>> cases {
        { response("<SessionsToPublish><publish>details</publish></SessionsToPublish>"),
          QStringLiteral("Unknown exception: Invalid 'publish' value: details") },
        { response("<SessionsToPublish><publishUntil> 12</publishUntil></SessionsToPublish>"), cast },
        { response("<SessionsToPublish><publishUntil>1e9</publishUntil></SessionsToPublish>"), cast },
        { response("<SessionsToPublish><colour>red</colour></SessionsToPublish>"),
          QStringLiteral("Unknown exception: Not in expected format: unexpected member: colour") },
        { response("<Other/>"),
          QStringLiteral("Unknown exception: Not in expected format: sessionsToPublish.name().name() != \"SessionsToPublish\"") },
        { "<Envelope><Body><r><wrong/></r></Body></Envelope>",
          QStringLiteral("Unknown exception: Not in expected format: logsAvailableResult.name().name() != \"logsAvailableResult\"") },
        { "<Envelope><Body><r/></Body></Envelope>",
          QStringLiteral("Unknown exception: Not in expected format: logsAvailableResult.name().name() != \"logsAvailableResult\"") },
        // An answer must parse whole: cut off, spoilt at the end or nested too deep, it fails.
        { response("<SessionsToPublish><publish>Details</publish></SessionsToPublish>").left(150),
          QStringLiteral("Unknown exception: The answer could not be parsed: Premature end of document. (line 1, column 150)") },
        { response("") + "<more/>",
          QStringLiteral("Unknown exception: The answer could not be parsed: Extra content at end of document. (line 1, column 251)") },
        { response(QByteArray("<a>").repeated(100000)),
          QStringLiteral("Unknown exception: The answer could not be parsed: values nested deeper than 64 levels (line 1, column 355)") },
        { "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><s:Fault><faultcode>s:Server</faultcode>"
          "<faultstring>Closed for maintenance</faultstring></s:Fault></s:Body></s:Envelope>",
          QStringLiteral("Unknown exception: Closed for maintenance") },
    };
    for (const auto &c : cases) {
        QVector<PublishInstruction> instructions;
        EXPECT_EQ(exchange(c.first, instructions).toStdString(), c.second.toStdString());
    }
}

TEST(UsageWebServiceUrl, PortFollowsTheSchemeIgnoringCase)
{
    Logger logger;
    EXPECT_EQ(UsageWebService(QStringLiteral("HTTPS://ws.example.com/x"), &logger).url.port(), 443);
    EXPECT_EQ(UsageWebService(QStringLiteral("http://ws.example.com/x"), &logger).url.port(), 80);
    EXPECT_EQ(UsageWebService(QStringLiteral("https://ws.example.com:8443/x"), &logger).url.port(), 8443);
}
