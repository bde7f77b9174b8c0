// The tool as its users meet it: the vintor binary on a real temporary home, with the
// reference log writer, the reference service and, where a fault is needed, a scripted server.

#include "filelock_p.h"
#include "testtools.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpSocket>

#include <gtest/gtest.h>

namespace {

const QByteArray usageFor(const QString &program)
{
    return "Usage: " + program.toUtf8() + " [-forKALDO] [-forTIRO]\n"
           "At least one of '-forKALDO' or '-forTIRO' must be specified.\n";
}

QString vintor()
{
    return binaryPath(QStringLiteral("vintor"));
}

ProcessResult runVintor(const TempHome &home, const QStringList &arguments = { QStringLiteral("-forKALDO") })
{
    return runProgram(vintor(), arguments, home.environment());
}

QStringList writeLogs(const TempHome &home, const QStringList &arguments)
{
    const ProcessResult result = runProgram(binaryPath(QStringLiteral("logwriter")), arguments, home.environment());
    EXPECT_EQ(result.exitCode, 0) << result.err.constData();
    return QString::fromUtf8(result.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

void pointAtService(const TempHome &home, int port, const QMap<QString, QString> &more = {})
{
    QMap<QString, QString> values = more;
    values.insert(QStringLiteral("wsUrl"), QStringLiteral("http://127.0.0.1:%1/usagetracking/veri.asmx").arg(port));
    values.insert(QStringLiteral("receiverUrl"), QStringLiteral("http://127.0.0.1:%1/usagetracking/post.track").arg(port));
    home.writeSettings(values);
}

// Product 12 in full, 27 as a summary, 31 not at all.
QString writePolicy(const TempHome &home, const QByteArray &extra = QByteArray())
{
    const QString path = home.path() + QStringLiteral("/policy");
    writeFile(path, "default Details 86400\nproduct 27 SummaryOnly 86400\nproduct 31 Discard 86400\n" + extra);
    return path;
}

int countLines(const QByteArray &text, const QByteArray &prefix)
{
    int count = 0;
    for (const QByteArray &line : text.split('\n'))
        count += line.trimmed().startsWith(prefix) ? 1 : 0;
    return count;
}

} // namespace

TEST(CommandLine, UsageErrorsPrintTheUsageTextAndEndWithOne)
{
    TempHome home;
    const QList<QStringList> cases { {}, { QStringLiteral("-forkaldo") },
                                     { QStringLiteral("-forKALDO"), QStringLiteral("extra") } };
    for (const QStringList &arguments : cases) {
        const ProcessResult result = runVintor(home, arguments);
        EXPECT_EQ(result.exitCode, 1) << arguments.join(' ').toStdString();
        EXPECT_EQ(result.err, usageFor(vintor())) << arguments.join(' ').toStdString();
        EXPECT_TRUE(result.out.isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(home.logFolder()));
}

TEST(CommandLine, TiroAloneEndsSilentlyWithoutTouchingAnything)
{
    TempHome home;
    const ProcessResult result = runVintor(home, { QStringLiteral("-forTIRO") });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.out.isEmpty());
    EXPECT_TRUE(result.err.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(home.logFolder()));
}

TEST(CommandLine, StopKeyWithAnEmptyValueStopsBeforeTheRun)
{
    TempHome home;
    home.writeSettings({ { QStringLiteral("DO_NOT_RUN_VINTOR"), QString() } });
    const ProcessResult result = runVintor(home);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(home.logFolder()));
}

TEST(CommandLine, RepeatedAndMixedOptionsRunTheHarvest)
{
    for (const QStringList &arguments : { QStringList { QStringLiteral("-forKALDO"), QStringLiteral("-forKALDO") },
                                          QStringList { QStringLiteral("-forTIRO"), QStringLiteral("-forKALDO") } }) {
        TempHome home;
        const ProcessResult result = runVintor(home, arguments);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(result.err.isEmpty()) << result.err.constData();
        // An empty folder: both processed folders are made, nothing else.
        EXPECT_TRUE(QFileInfo(home.logFolder() + QStringLiteral("/processedForKALDO")).isDir());
        EXPECT_TRUE(QFileInfo(home.logFolder() + QStringLiteral("/processedForLocalAdmin")).isDir());
        EXPECT_FALSE(QFileInfo::exists(home.storeFile()));
    }
    // The run's messages appear only when the standard logging rules ask for them.
    TempHome home;
    QProcessEnvironment diagnostics = home.environment();
    diagnostics.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("vintor.*=true"));
    const ProcessResult traced = runProgram(vintor(), { QStringLiteral("-forKALDO") }, diagnostics);
    EXPECT_TRUE(traced.err.startsWith("vintor.run: Vintor starting.\nvintor.run: UT Receiver URL is: https://")) << traced.err.constData();
    EXPECT_TRUE(traced.err.contains("\nvintor.run: Log folder is: " + home.logFolder().toUtf8() + "\n"));
    EXPECT_TRUE(traced.err.endsWith("\nvintor.run: Vintor stopping.\n"));
}

TEST(CommandLine, OneHarvestPerUserWhateverTheTemporaryFolder)
{
    // Two runs started together with different TMPDIR values (a login shell and a scheduled
    // task, say): one harvests and waits on a service that answers only by closing the
    // connection; the other ends at once and leaves the log folder alone.
    for (int round = 0; round < 8; ++round) {
        TempHome home;
        QPointer<QTcpSocket> waiting;
        bool release = false;
        ScriptedServer silent([&](QTcpSocket *socket, const HttpRequest &) {
            if (release)
                socket->abort(); // the network layer tries once more on a new connection
            else
                waiting = socket;
        });
        home.writeSettings({ { QStringLiteral("wsUrl"), silent.url(QStringLiteral("/usagetracking/veri.asmx")) } });
        writeLogs(home, { QStringLiteral("--sessions"), QStringLiteral("1") });
        QProcessEnvironment otherTmp = home.environment();
        otherTmp.insert(QStringLiteral("TMPDIR"), home.path());
        QProcess runs[2];
        runs[0].setProcessEnvironment(home.environment());
        runs[1].setProcessEnvironment(otherTmp);
        for (QProcess &run : runs)
            run.start(vintor(), { QStringLiteral("-forKALDO") });
        auto ended = [&](int i) { return runs[i].state() == QProcess::NotRunning; };
        ASSERT_TRUE(waitUntil([&] { return !silent.requests.isEmpty() && (ended(0) || ended(1)); }, 10000)) << round;

        const int stopped = ended(0) ? 0 : 1;
        EXPECT_EQ(runs[stopped].exitCode(), 0);
        EXPECT_TRUE(runs[stopped].readAllStandardError().isEmpty());
        EXPECT_FALSE(ended(1 - stopped));
        EXPECT_EQ(silent.requests.size(), 1);
        EXPECT_EQ(filesIn(home.logFolder()), QStringList { QStringLiteral("usage.full.xml") }) << "the harvest's full log stays";

        ASSERT_TRUE(waiting);
        release = true;
        waiting->abort();
        EXPECT_TRUE(waitUntil([&] { return ended(1 - stopped); }, 10000));
        EXPECT_EQ(runs[1 - stopped].exitCode(), 255) << "a failed exchange";
    }
}

TEST(CommandLine, OnlyARunThatHarvestsClaimsTheInstanceGuard)
{
    // strace holds a mistaken invocation in its first write (the usage text, or earlier), as
    // if it were slow; a real run started meanwhile still harvests.
    TempHome home;
    const QString trace = home.path() + QStringLiteral("/trace");
    QProcess early;
    early.setProcessEnvironment(home.environment());
    early.start(QStringLiteral("strace"), { QStringLiteral("-qq"), QStringLiteral("-o"), trace, QStringLiteral("-e"), QStringLiteral("trace=write"),
                                            QStringLiteral("-e"), QStringLiteral("inject=write:delay_enter=30000000"), vintor(),
                                            QStringLiteral("-forKALDO"), QStringLiteral("extra") });
    ASSERT_TRUE(waitUntil([&] { return readFile(trace).contains("write("); }, 10000)) << "is strace installed?";

    writeLogs(home, { QStringLiteral("--no-kaldo") });
    EXPECT_EQ(runVintor(home).exitCode, 0);
    EXPECT_TRUE(filesIn(home.logFolder()).isEmpty());
    early.kill();
    early.waitForFinished();
}

TEST(Harvest, FullDiskDuringTheMergeKeepsTheParts)
{
    TempHome home;
    const QStringList parts = writeLogs(home, { QStringLiteral("--no-kaldo"), QStringLiteral("--parts"), QStringLiteral("2"),
                                                QStringLiteral("--size"), QStringLiteral("300000") });
    // A limit on the size of written files stands in for a full disk: writes past it fail.
    const ProcessResult result
        = runProgram(QStringLiteral("/bin/bash"), { QStringLiteral("-c"), QStringLiteral("trap '' XFSZ; ulimit -f 100; exec \"$0\" -forKALDO"), vintor() },
                     home.environment());
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.err.isEmpty()) << result.err.constData();
    QStringList names;
    for (const QString &part : parts)
        names.append(QFileInfo(part).fileName());
    EXPECT_EQ(filesIn(home.logFolder()), names) << "no full log, and the parts wait for a later run";
}

TEST(Harvest, LeftoverFullLogIsRemovedWithItsAbandonedLock)
{
    TempHome home;
    const QString full = home.logFolder() + QStringLiteral("/g.full.xml");
    QDir().mkpath(home.logFolder());
    writeFile(full, "<kaldousage/>");
    EXPECT_EQ(runProgram(binaryPath(QStringLiteral("lockhelper")), { QStringLiteral("crash"), full }, home.environment()).out, "locked\n");
    const std::string object = FileLockPrivate::objectNameFor(
        L"Global\\" + FileLockPrivate::widen(FileLockPrivate::normalize(full.toStdString())));
    ASSERT_TRUE(QFileInfo::exists(QStringLiteral("/dev/shm") + QString::fromStdString(object)));

    const ProcessResult result = runVintor(home);
    EXPECT_EQ(result.err, "Taking in abandoned mutex\n");
    EXPECT_FALSE(QFileInfo::exists(full));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/dev/shm") + QString::fromStdString(object)));
}

TEST(Harvest, MergesLogsIntoDebugCopiesAndRemovesTheParts)
{
    TempHome home;
    const QString debug = home.path() + QStringLiteral("/debug");
    QDir().mkpath(debug);
    home.writeSettings({ { QStringLiteral("Vintor Debug Dir"), debug } });
    writeFile(debug + QStringLiteral("/old-0-input.xml"), "stale");
    // Meant only for the local administration tool: no service is needed.
    writeLogs(home, { QStringLiteral("--logs"), QStringLiteral("2"), QStringLiteral("--parts"), QStringLiteral("3"),
                      QStringLiteral("--no-kaldo"), QStringLiteral("--admin"), QStringLiteral("--name"),
                      QStringLiteral("old") });
    writeFile(home.logFolder() + QStringLiteral("/a.full.xml"), "stale");
    writeFile(home.logFolder() + QStringLiteral("/a.full.txt"), "stale");
    writeFile(home.logFolder() + QStringLiteral("/a.FULL.xml"), "<kaldousage/>");
    writeFile(home.logFolder() + QStringLiteral("/nodot"), "kept");
    writeFile(home.logFolder() + QStringLiteral("/.dotted"), "<kaldousage/>");

    const ProcessResult result = runVintor(home);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.err.isEmpty()) << result.err.constData();

    // Stale full logs, the merged parts and the merged logs are gone; a name without a dot stays.
    EXPECT_EQ(filesIn(home.logFolder()), QStringList { QStringLiteral("nodot") });
    for (const QString &base : { QStringLiteral("old-0"), QStringLiteral("old-1") }) {
        const QByteArray copy = readFile(debug + QLatin1Char('/') + base + QStringLiteral("-input.xml"));
        EXPECT_TRUE(copy.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--This file is produced"));
        EXPECT_EQ(copy.count("<loguuid>"), 1);
        EXPECT_EQ(copy.count("<logsequence>"), 0);
        EXPECT_EQ(copy.count("<logstatus"), 0);
        EXPECT_EQ(copy.count("<logfinal>"), 0);
        EXPECT_EQ(copy.count("<session>") + copy.count("<session "), copy.count("<sessionuuid>")) << "a session that spans parts is one session";
        EXPECT_EQ(copy.count("<sessionuuid>"), 2);
        const QByteArray pretty = readFile(debug + QLatin1Char('/') + base + QStringLiteral("-input-pretty.xml"));
        EXPECT_TRUE(pretty.contains("\n    <schema>3</schema>"));
    }
    EXPECT_NE(readFile(debug + QStringLiteral("/old-0-input.xml")), "stale");
    EXPECT_FALSE(QFileInfo::exists(debug + QStringLiteral("/a-input.xml"))) << "a broken group is not merged";
}

TEST(Harvest, PartHeldByAWriterKeepsItsWholeGroup)
{
    TempHome home;
    QProcess writer;
    writer.setProcessEnvironment(home.environment());
    writer.start(binaryPath(QStringLiteral("logwriter")),
                 { QStringLiteral("--parts"), QStringLiteral("3"), QStringLiteral("--no-kaldo"), QStringLiteral("--hold"),
                   QStringLiteral("1"), QStringLiteral("--hold-ms"), QStringLiteral("30000") });
    ASSERT_TRUE(waitUntil([&] { return writer.readAllStandardOutput().contains("holding") || writer.state() == QProcess::NotRunning; }, 10000));
    ASSERT_EQ(writer.state(), QProcess::Running);

    const ProcessResult result = runVintor(home);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.err.startsWith("Failed to lock file: ")) << result.err.constData();
    EXPECT_EQ(filesIn(home.logFolder()).size(), 3);
    writer.kill();
    writer.waitForFinished();
}

TEST(Harvest, MissingDebugFolderChangesNothingElse)
{
    TempHome home;
    home.writeSettings({ { QStringLiteral("Vintor Debug Dir"), home.path() + QStringLiteral("/missing") } });
    writeLogs(home, { QStringLiteral("--no-kaldo") });
    const ProcessResult result = runVintor(home);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(filesIn(home.logFolder()).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(home.path() + QStringLiteral("/missing")));
}

TEST(Service, AsksOnceAndThenAnswersFromTheStore)
{
    TempHome home;
    const QString requestLog = home.path() + QStringLiteral("/requests.log");
    RefService service;
    ASSERT_TRUE(service.start({ QStringLiteral("--policy"), writePolicy(home), QStringLiteral("--log"), requestLog,
                                QStringLiteral("--receive-dir"), home.path() }));
    pointAtService(home, service.port());

    writeLogs(home, { QStringLiteral("--sessions"), QStringLiteral("3") });
    EXPECT_EQ(runVintor(home).exitCode, 0);
    const QByteArray firstRequests = readFile(requestLog);
    EXPECT_EQ(countLines(firstRequests, "logsAvailable apiVersion=1 sessions=3"), 1) << firstRequests.constData();

    QSettings store(home.storeFile(), QSettings::IniFormat);
    const QString data = store.value(QStringLiteral("data")).toString();
    EXPECT_EQ(data.count(QStringLiteral("<si ")), 3) << data.toStdString();
    EXPECT_TRUE(data.contains(QStringLiteral("productID=\"27\" version=\"2024.1\" country=\"DE\" locale=\"de_DE\" publish=\"SummaryOnly\"")));

    // The same sessions again: the store answers, the service is not asked.
    writeLogs(home, { QStringLiteral("--sessions"), QStringLiteral("3"), QStringLiteral("--seed"), QStringLiteral("7") });
    QProcessEnvironment traced = home.environment();
    traced.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=true"));
    const ProcessResult second = runProgram(vintor(), { QStringLiteral("-forKALDO") }, traced);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(countLines(readFile(requestLog), "logsAvailable"), 1);
    EXPECT_EQ(countLines(readFile(requestLog), "post stored"), 2) << readFile(requestLog).constData() << second.err.constData();
}

TEST(Service, FailedExchangeDeletesTheFullLogsAndEndsWithMinusOne)
{
    RefService faulty;
    TempHome home;
    ASSERT_TRUE(faulty.start({ QStringLiteral("--policy"), writePolicy(home, "fault The service is closed\n") }));
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const int refusedPort = closed.serverPort();
    closed.close();

    for (int port : { faulty.port(), refusedPort }) {
        TempHome run;
        pointAtService(run, port);
        writeLogs(run, { QStringLiteral("--parts"), QStringLiteral("2") });
        const ProcessResult result = runVintor(run);
        EXPECT_EQ(result.exitCode, 255) << "port " << port;
        EXPECT_TRUE(filesIn(run.logFolder()).isEmpty()) << filesIn(run.logFolder()).join(' ').toStdString();
        EXPECT_FALSE(QFileInfo::exists(run.logFolder() + QStringLiteral("/processedForKALDO")));
        EXPECT_FALSE(QFileInfo::exists(run.storeFile()));
    }
}

TEST(Delivery, TheReceiverGetsExactlyTheFilteredLogs)
{
    TempHome home;
    const QString requestLog = home.path() + QStringLiteral("/requests.log");
    const QString received = home.path() + QStringLiteral("/received");
    const QString debug = home.path() + QStringLiteral("/debug");
    QDir().mkpath(received);
    QDir().mkpath(debug);
    RefService service;
    ASSERT_TRUE(service.start({ QStringLiteral("--policy"), writePolicy(home), QStringLiteral("--log"), requestLog,
                                QStringLiteral("--receive-dir"), received }));
    pointAtService(home, service.port(), { { QStringLiteral("Vintor Debug Dir"), debug } });

    const QStringList parts = writeLogs(home, { QStringLiteral("--parts"), QStringLiteral("2"), QStringLiteral("--sessions"),
                                                QStringLiteral("6"), QStringLiteral("--events"), QStringLiteral("7") });
    writeLogs(home, { QStringLiteral("--name"), QStringLiteral("adminonly"), QStringLiteral("--no-kaldo"),
                      QStringLiteral("--admin") });
    // What the writer put inside `anon`, which must never reach the receiver.
    QStringList secrets;
    for (const QString &part : parts) {
        const QString text = QString::fromUtf8(readFile(part));
        const QRegularExpression anon(QStringLiteral("<anon>([^<]+)</anon>"));
        for (auto it = anon.globalMatch(text); it.hasNext();)
            secrets.append(it.next().captured(1));
    }
    ASSERT_FALSE(secrets.isEmpty());

    // A temporary folder that cannot take a file changes nothing: the body is made elsewhere.
    QProcessEnvironment environment = home.environment();
    writeFile(home.path() + QStringLiteral("/not-a-folder"), "x");
    environment.insert(QStringLiteral("TMPDIR"), home.path() + QStringLiteral("/not-a-folder"));
    const ProcessResult result = runProgram(vintor(), { QStringLiteral("-forKALDO") }, environment);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.err.isEmpty()) << result.err.constData();

    EXPECT_EQ(filesIn(home.logFolder()), QStringList());
    EXPECT_TRUE(filesIn(home.logFolder() + QStringLiteral("/processedForKALDO")).isEmpty());
    EXPECT_TRUE(QFileInfo(home.logFolder() + QStringLiteral("/processedForLocalAdmin")).isDir());

    const QStringList stored = filesIn(received);
    ASSERT_EQ(stored.size(), 1) << "the log for the administration tool alone is not sent";
    const QByteArray log = readFile(received + QLatin1Char('/') + stored.first());
    EXPECT_EQ(log, readFile(debug + QStringLiteral("/usage-output.xml")));
    EXPECT_FALSE(QFileInfo::exists(debug + QStringLiteral("/adminonly-output.xml")));

    // Six sessions of products 12, 27, 31 in turn: two in full, two as summaries, two discarded.
    EXPECT_EQ(log.count("<sessionuuid>"), 4);
    EXPECT_EQ(log.count("<productid>31</productid>"), 0);
    EXPECT_EQ(log.count("<eventsomitted>1</eventsomitted>"), 2);
    EXPECT_EQ(log.count("<event>"), 2 * 7) << "events of the two detailed sessions only";
    EXPECT_EQ(log.count("<eventendtime>"), 2 * 5);
    EXPECT_EQ(log.count("<anon>"), 0);
    EXPECT_EQ(log.count("<eventstart ") + log.count("<eventstart>") + log.count("<eventend ") + log.count("<eventend/"), 0);
    for (const QString &secret : secrets)
        EXPECT_FALSE(log.contains(secret.toUtf8())) << secret.toStdString();
}
