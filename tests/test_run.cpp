// The tool as its users meet it: the vintor binary on a real temporary home, with the
// reference log writer, the reference service and, where a fault is needed, a scripted server.

#include "logfolder.h"
#include "testtools.h"

#include <QRegularExpression>
#include <QSettings>

namespace {

// The tool, or on Windows its twin without a console, which the same tests drive
// (VINTOR_TARGET_TOOL=vintorw): it prints nothing and tells the event log instead.
const QString tool = qEnvironmentVariable("VINTOR_TARGET_TOOL", "vintor"_s);
const bool console = tool != "vintorw"_s;
const QString vintor = targetProgram(tool);

// The run's messages, with the diagnostics on: the "vintor.run: " lines of standard error; on
// Windows each is an information event as well, the only place for them without a console.
QStringList runMessages(const ProcessResult &result)
{
    QStringList shown;
    for (const QByteArray &line : result.err.split('\n')) {
        if (line.startsWith("vintor.run: "))
            shown.append(QString::fromUtf8(line.mid(12)));
    }
    const QStringList logged = result.events.filter(QRegularExpression("^T40000064 "_s))
                                   .replaceInStrings(QRegularExpression("^T40000064 "_s), QString());
    if (!console) {
        EXPECT_TRUE(result.out.isEmpty() && result.err.isEmpty()) << result.err.constData();
        return logged;
    }
    EXPECT_EQ(logged.size(), targetIsWindows() ? shown.size() : 0);
    return shown;
}

class Run : public ::testing::Test
{
protected:
    ProcessResult run(const QString &arguments = "-forKALDO"_s, QMap<QString, QString> environment = {})
    {
        QProcessEnvironment env = home.environment();
        for (auto it = environment.cbegin(); it != environment.cend(); ++it)
            setTargetVariable(env, it.key(), it.value());
        return runProgram(vintor, args(arguments), env);
    }
    QStringList writeLogs(const QString &arguments = QString())
    {
        const ProcessResult result = runProgram(targetProgram("logwriter"_s), args(arguments), home.environment());
        EXPECT_EQ(result.exitCode, 0) << result.err.constData();
        QStringList paths = QString::fromUtf8(result.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (QString &path : paths)
            path = hostPath(path.trimmed());
        return paths;
    }
    // The reference service asked to publish product 12 in full, 27 as a summary and 31 not at
    // all, recording what it is asked and storing what it receives; with `tls`, over HTTPS.
    bool startService(const QByteArray &extraPolicy = QByteArray(), bool tls = false)
    {
        const QString policy = home.path() + "/policy"_s;
        writeFile(policy,
                  "default Details 86400\nproduct 27 SummaryOnly 86400\nproduct 31 Discard 86400\n" + extraPolicy);
        QDir().mkpath(received);
        QStringList arguments { "--policy"_s, policy, "--log"_s, requestLog, "--receive-dir"_s, received };
        if (tls)
            arguments << "--cert"_s << testCertificate << "--key"_s << testKey;
        if (!service.startRefService(arguments))
            return false;
        return pointAt(service.port(), TempHome::User, tls ? "https"_s : "http"_s);
    }
    bool pointAt(int port, TempHome::Scope scope = TempHome::User, const QString &scheme = "http"_s)
    {
        const QString base = "%1://127.0.0.1:%2/usagetracking/"_s.arg(scheme).arg(port);
        return home.writeSettings({ { "wsUrl"_s, base + "veri.asmx"_s }, { "receiverUrl"_s, base + "post.track"_s } },
                                  scope);
    }
    QString useDebugFolder()
    {
        QDir().mkpath(debug);
        home.writeSettings({ { "Vintor Debug Dir"_s, targetPath(debug) } });
        return debug;
    }
    int requestsStartingWith(const QByteArray &prefix)
    {
        int count = 0;
        for (const QByteArray &line : readFile(requestLog).split('\n'))
            count += line.trimmed().startsWith(prefix) ? 1 : 0;
        return count;
    }
    QString logFile(const QString &name) const { return home.logFolder() + QLatin1Char('/') + name; }
    // How often the receiver got each session.
    QMap<QString, int> receivedSessions() const
    {
        QMap<QString, int> sent;
        for (const QString &name : filesIn(received)) {
            const QString log = QString::fromUtf8(readFile(received + QLatin1Char('/') + name));
            for (auto it = QRegularExpression("<sessionuuid>([^<]+)<"_s).globalMatch(log); it.hasNext();)
                ++sent[it.next().captured(1)];
        }
        return sent;
    }

    TempHome home;
    ServerProcess service;
    const QString requestLog = home.path() + "/requests.log"_s;
    const QString received = home.path() + "/received"_s;
    const QString debug = home.path() + "/debug"_s;
};

} // namespace

TEST(CommandLine, OptionsAndTheStopKey)
{
    const QByteArray usage
        = "Usage: " + targetPath(vintor).toUtf8()
          + " [-forKALDO] [-forTIRO]\nAt least one of '-forKALDO' or '-forTIRO' must be specified.\n";
    for (const QStringList &row : readTable("run/commandline"_s)) {
        const std::string line = row.join(" | "_s).toStdString();
        const bool harvests = row.at(4) == "yes"_s;
        TempHome home;
        if (row.at(1) == "yes"_s)
            home.writeSettings({ { "DO_NOT_RUN_VINTOR"_s, QString() } });
        const ProcessResult result = runProgram(vintor, args(row.at(0)), home.environment());
        EXPECT_EQ(result.exitCode, row.at(2).toInt()) << line;
        EXPECT_EQ(result.err, row.at(3).isNull() || !console ? QByteArray() : usage) << line;
        EXPECT_TRUE(result.out.isEmpty());
        // Without a console the usage text goes to an error event, after the reason.
        const QString event = "Ec0000003 "_s + row.at(3) + QLatin1Char('\n') + QString::fromUtf8(usage).trimmed();
        EXPECT_EQ(result.events, row.at(3).isNull() || console ? QStringList() : QStringList { event }) << line;
        EXPECT_EQ(QFileInfo(home.logFolder() + "/processedForKALDO"_s).isDir(), harvests) << line;
        EXPECT_EQ(QFileInfo(home.logFolder() + "/processedForLocalAdmin"_s).isDir(), harvests) << line;
        EXPECT_FALSE(QFileInfo::exists(home.storeFile()));
    }
}

TEST_F(Run, OneHarvestPerLogFolderWhateverTheVariablesLeadingToIt)
{
    // While a harvest holds the guard of the log folder (spelled its own way), a run reaching the
    // folder by other variables (another TMPDIR, TEMP with a trailing slash, a LOCALAPPDATA that
    // TEMP overrides) ends at once and leaves it alone. A run on another folder goes on.
    writeLogs("--no-kaldo --sessions 1"_s);
    const QMap<QString, QString> otherWay { { "TMPDIR"_s, targetPath(home.path()) },
                                            { "TEMP"_s, targetPath(home.temp()) + "/"_s },
                                            { "LOCALAPPDATA"_s, targetPath(home.path()) } };
    const QString spelling = targetPath(home.temp() + "/KALDO Technologies/.//Zadazevi Rerevarazu Logs/"_s);
    QProcess harvest;
    startProgram(harvest, targetProgram("lockhelper"_s),
                 { "guard"_s, targetIsWindows() ? spelling.toUpper() : spelling, "30000"_s });
    ASSERT_TRUE(waitUntil([&] { return harvest.readAllStandardOutput().contains("locked"); }, 10000));
    const ProcessResult stopped = run("-forKALDO"_s, otherWay);
    EXPECT_EQ(stopped.exitCode, 0);
    EXPECT_TRUE(stopped.err.isEmpty()) << stopped.err.constData();
    EXPECT_EQ(filesIn(home.logFolder()), QStringList({ "VintorInstance"_s, "usage.0.xml"_s }));
    TempHome elsewhere;
    runProgram(targetProgram("logwriter"_s), args("--no-kaldo"_s), elsewhere.environment());
    EXPECT_EQ(runProgram(vintor, { "-forKALDO"_s }, elsewhere.environment()).exitCode, 0);
    EXPECT_EQ(filesIn(elsewhere.logFolder()), QStringList());
    harvest.kill();
    harvest.waitForFinished();
    EXPECT_EQ(run("-forKALDO"_s, otherWay).exitCode, 0);
    EXPECT_EQ(filesIn(home.logFolder()), QStringList()) << "harvested once the guard is free";
}

TEST_F(Run, AFullDiskKeepsThePartsOrDropsTheLogWithItsEvent)
{
    if (targetIsWindows())
        GTEST_SKIP() << "a Windows program under Wine takes neither the file size limit nor a preload";
    QStringList parts = writeLogs("--no-kaldo --parts 2 --size 300000"_s);
    // A limit on the size of written files stands in for a full disk: writes past it fail.
    const ProcessResult result = runProgram(
        "/bin/bash"_s, { "-c"_s, "trap '' XFSZ; ulimit -f 100; exec \"$0\" -forKALDO"_s, vintor }, home.environment());
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.err.isEmpty()) << result.err.constData();
    for (QString &part : parts)
        part = QFileInfo(part).fileName();
    parts.sort();
    EXPECT_EQ(filesIn(home.logFolder()), parts) << "no full log, and the parts wait for a later run";

    // A part that cannot be read is no cut-off part: the log waits whole, without an event.
    for (const QString &part : qAsConst(parts))
        QFile::remove(logFile(part));
    ASSERT_TRUE(startService());
    const auto failing = [&](const QString &folder, const QString &calls) {
        return QMap<QString, QString> { { "LD_PRELOAD"_s, binaryPath("filefaults.so"_s) },
                                        { "ASAN_OPTIONS"_s, "verify_asan_link_order=0"_s },
                                        { "VINTOR_FAULT_PATHS"_s, folder },
                                        { "VINTOR_FAULT_CALLS"_s, calls } };
    };
    parts = writeLogs("--parts 2 --sessions 1"_s);
    const ProcessResult unreadable = run("-forKALDO"_s, failing(home.logFolder(), "read"_s));
    EXPECT_EQ(unreadable.exitCode, 0);
    EXPECT_EQ(unreadable.events, QStringList());
    EXPECT_EQ(filesIn(home.logFolder()).size(), parts.size());

    // The folder's guard file cannot be opened: no guard elsewhere, which would let this run in
    // beside one that holds the file, so the run stops and the logs wait.
    auto noGuard = failing(logFile("VintorInstance"_s), "open"_s);
    noGuard.insert("QT_LOGGING_RULES"_s, "vintor.run.info=true"_s);
    const ProcessResult unguarded = run("-forKALDO"_s, noGuard);
    EXPECT_EQ(unguarded.exitCode, 0);
    EXPECT_TRUE(unguarded.err.contains("Cannot take the guard of the log folder, stopping: "
                                       + logFile("VintorInstance"_s).toUtf8() + ": Input/output error"))
        << unguarded.err.constData();
    EXPECT_EQ(filesIn(home.logFolder()).size(), parts.size());

    // Merged, but its filtered copy cannot be written: the log goes unsent, and says what it cost.
    const ProcessResult full = run("-forKALDO"_s, failing(logFile("processedForKALDO"_s), "write"_s));
    EXPECT_EQ(full.exitCode, 0);
    EXPECT_EQ(
        QStringList(full.events).replaceInStrings(QRegularExpression("\nLog folder: .*"_s), QString()),
        QStringList {
            "W Log dropped: usage.full.xml: its filtered copy could not be written: No space left on "
            "device\nComplete sessions that went with it: 1\nThe log was deleted and will not be sent again."_s });
    EXPECT_EQ(filesIn(home.logFolder()), QStringList());
    EXPECT_TRUE(filesIn(received).isEmpty());
}

TEST_F(Run, MergesLogsIntoDebugCopiesAndRemovesTheParts)
{
    useDebugFolder();
    writeFile(debug + "/old-0-input.xml"_s, "stale");
    // Meant only for the local administration tool: no service is needed.
    writeLogs("--logs 2 --parts 3 --no-kaldo --admin --name old"_s);
    // A run killed before its merge let the first part go left a full log beside the parts: a copy,
    // removed without a word while the parts merge again.
    for (const QString &name : args("a.full.xml a.full.txt nodot old-0.full.xml"_s))
        writeFile(logFile(name), "stale");
    for (const QString &name : args("a.FULL.xml .dotted"_s))
        writeFile(logFile(name), "<kaldousage/>");
    // Windows' hidden files are not the writers' (Wine counts a name that begins with a dot as
    // hidden too); on POSIX such a name joins the group with the empty name.
    const QString hidden = QFileInfo(writeLogs("--no-kaldo --admin --name hidden"_s).value(0)).fileName();
    const QStringList left
        = targetIsWindows() && runProgram("wine"_s, { "attrib"_s, "+h"_s, targetPath(logFile(hidden)) }).exitCode == 0
              ? QStringList { ".dotted"_s, hidden, "nodot"_s }
              : QStringList { "nodot"_s };
    // What a run killed during delivery left, marked read-only by a sync tool, say, as one full log is.
    for (const QString &name : args("processedForKALDO/killed.xml processedForLocalAdmin/killed.xml a.full.xml"_s)) {
        QDir().mkpath(QFileInfo(logFile(name)).path());
        writeFile(logFile(name), "<kaldousage/>");
        QFile::setPermissions(logFile(name), QFile::ReadOwner | QFile::ReadOther);
    }
    // A killed run left the lock of a full log, and a writer killed between making a part's lock
    // and its file the lock of a file that never came: a POSIX lock object outlives its holder,
    // and the run removes it; a named mutex dies with it.
    for (const QString &held : args("a.full.xml killed.0.xml"_s))
        EXPECT_EQ(runProgram(targetProgram("lockhelper"_s), { "crash"_s, targetPath(logFile(held)) }).out, "locked\n");
    const ProcessResult result = run();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(lockObjectExists(logFile("killed.0.xml"_s)) || lockObjectExists(logFile("a.full.xml"_s)));
    EXPECT_EQ(
        QStringList(result.events).replaceInStrings(QRegularExpression("\nLog folder: .*"_s), QString()),
        QStringList({ targetEvent("W8000000d Unsent logs removed: 2 full logs that a run cut short had merged were "
                                  "deleted, as each log is handled once\nLogs: a.full.txt, a.full.xml"_s),
                      targetEvent("W8000000c Broken log removed: a: its parts are not numbered 0, 1, 2 and on, so "
                                  "they cannot be joined\nParts: a.FULL.xml"_s) }));

    // Stale full logs, the merged parts and the merged logs are gone; a name without a dot stays.
    EXPECT_EQ(filesIn(home.logFolder()), left);
    EXPECT_EQ(runProgram(targetProgram("lockhelper"_s), { "try"_s, targetPath(logFile("a.full.xml"_s)) }).exitCode, 0);
    EXPECT_EQ(filesIn(logFile("processedForKALDO"_s)) + filesIn(logFile("processedForLocalAdmin"_s)), QStringList());
    for (const QString &base : { "old-0"_s, "old-1"_s }) {
        const QByteArray copy = readFile(debug + QLatin1Char('/') + base + "-input.xml"_s);
        EXPECT_TRUE(copy.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--This file is produced"));
        EXPECT_EQ(copy.count("<loguuid>"), 1);
        EXPECT_EQ(copy.count("<logsequence>") + copy.count("<logstatus") + copy.count("<logfinal>"), 0);
        EXPECT_EQ(copy.count("<session>") + copy.count("<session "), 1) << "a session that spans parts is one";
        EXPECT_EQ(copy.count("<sessionuuid>"), 1);
        EXPECT_TRUE(
            readFile(debug + QLatin1Char('/') + base + "-input-pretty.xml"_s).contains("\n    <schema>3</schema>"));
    }
    EXPECT_FALSE(QFileInfo::exists(debug + "/a-input.xml"_s)) << "a broken group is not merged";
    EXPECT_EQ(QFileInfo::exists(debug + "/hidden-input.xml"_s), left.size() == 1);
}

TEST_F(Run, EveryLeftoverIsNamedWithinTheEventsLimit)
{
    if (targetIsWindows())
        GTEST_SKIP() << "Wine shows only the start of an event's text";
    // 600 names of 60 characters: more than one event of the Application log carries.
    QStringList names;
    QDir().mkpath(home.logFolder());
    for (int i = 0; i < 600; ++i) {
        names.append("%1.full.xml"_s.arg(i, 51, 10, QLatin1Char('0')));
        writeFile(logFile(names.last()), "<kaldousage/>");
    }
    const ProcessResult result = run();
    QStringList told;
    for (const QString &event : result.events) {
        EXPECT_LT(event.size(), 31839);
        EXPECT_TRUE(event.contains(" (%1 of 2 lists, 600 names in all): "_s.arg(told.isEmpty() ? 1 : 2)))
            << event.left(200).toStdString();
        told += event.section("): "_s, 1).section(QLatin1Char('\n'), 0, 0).split(", "_s);
    }
    EXPECT_EQ(told, names);
    EXPECT_EQ(filesIn(home.logFolder()), QStringList());
}

TEST_F(Run, APartThatCannotGoKeepsItsGroupUntilItCan)
{
    // A log left whole waits for a later run, else it goes at once; a later run takes over a lock
    // its holder died with, and removes its object. Each session arrives once.
    ASSERT_TRUE(startService());
    int sent = 0;
    for (const QStringList &row : readTable("run/unremovable"_s)) {
        if (!row.at(1).contains(targetIsWindows() ? "windows"_s : "linux"_s))
            continue;
        const std::string what = row.first().toStdString();
        const bool waits = row.at(2) == "yes"_s;
        const QString part = logFile("usage.1.xml"_s);
        // A program under test (given its paths as it sees them), or one of this host's.
        const auto command = [&](const QString &text) {
            const bool underTest = QRegularExpression("^(logwriter|fileholder|lockhelper) "_s).match(text).hasMatch();
            QStringList words = args(text)
                                    .replaceInStrings("{part}"_s, underTest ? targetPath(part) : part)
                                    .replaceInStrings("{started}"_s, targetPath(logFile("VintorInstance"_s)))
                                    .replaceInStrings("{folder}"_s, home.logFolder());
            if (underTest)
                words.first() = targetProgram(words.first());
            return std::make_pair(underTest, words);
        };
        auto [underTest, holder] = command(row.at(3));
        if (!holder.first().contains("logwriter"_s))
            writeLogs("--parts 2 --sessions 1 --seed %1"_s.arg(sent + 1));
        QProcess holding;
        QByteArray said;
        holding.setProcessEnvironment(home.environment());
        if (underTest) {
            startProgram(holding, holder.takeFirst(), holder);
            ASSERT_TRUE(
                waitUntil([&] { return (said += holding.readAllStandardOutput()).contains("holding"); }, 10000));
        } else {
            ASSERT_EQ(runProgram(holder.takeFirst(), holder).exitCode, 0) << what << ": needs root and ext4";
        }
        const ProcessResult first = run();
        EXPECT_EQ(first.exitCode, 0) << what;
        EXPECT_EQ(QStringList(first.events).replaceInStrings(QRegularExpression("\nLog folder: .*"_s), QString()),
                  row.at(5).isNull() ? QStringList() : QStringList { targetEvent(row.at(5)) })
            << what;
        EXPECT_EQ(filesIn(home.logFolder()).filter(".xml"_s).size(), waits ? 2 : 0) << what;
        EXPECT_EQ(receivedSessions().size(), sent + (waits ? 0 : 1)) << what;
        holding.kill();
        holding.waitForFinished();
        if (const QStringList undo = command(row.at(4)).second; !undo.isEmpty())
            runProgram(undo.first(), undo.mid(1), home.environment());
        EXPECT_EQ(run().exitCode, 0) << what;
        EXPECT_EQ(filesIn(home.logFolder()), QStringList()) << what;
        EXPECT_EQ(receivedSessions().values().toVector(), QVector<int>(++sent, 1)) << what;
        EXPECT_FALSE(lockObjectExists(part)) << what;
    }
}

TEST_F(Run, AWriterKilledAnywhereCostsOnlyTheSessionItWasWriting)
{
    // A writer dying after any call: its ended sessions arrive once, nothing else stays, nor locked.
    ASSERT_TRUE(startService());
    QMap<QString, int> ended;
    int seed = 0;
    for (const QString &death : args("open:1 begin_session:1 begin_element:3 add_attribute:2 add_text:1 end_element:3 "
                                     "write_element:2 write_event:1 start_event:3 end_event:2 next_part:2 "
                                     "end_session:1 end_session:2"_s)) {
        const ProcessResult writer
            = runProgram(targetProgram("logwriter"_s),
                         args("--sessions 2 --parts 2 --events 4 --seed %1 --crash-after "_s.arg(++seed) + death),
                         home.environment());
        EXPECT_EQ(writer.exitCode, 9) << death.toStdString() << writer.err.constData();
        for (const QByteArray &line : writer.out.split('\n'))
            if (line.startsWith("ended "))
                ++ended[QString::fromUtf8(line.mid(6).trimmed())];
        EXPECT_EQ(run().exitCode, 0) << death.toStdString();
        EXPECT_EQ(filesIn(home.logFolder()), QStringList()) << death.toStdString();
        EXPECT_EQ(receivedSessions(), ended) << death.toStdString();
        for (const QString &part : args("usage.0 usage.1 usage-2.0 usage-2.1"_s))
            EXPECT_FALSE(lockObjectExists(logFile(part + ".xml"_s))) << death.toStdString();
    }
    EXPECT_EQ(ended.size(), 8);
}

TEST_F(Run, HandlesUsedFromAnyThreadDeliverEverySession)
{
    // Opened on an ended thread or the main one, parts stay held; then written and closed elsewhere.
    ASSERT_TRUE(startService());
    const QString go = home.path() + "/go"_s;
    QProcess writer;
    writer.setProcessEnvironment(home.environment());
    startProgram(writer, targetProgram("logwriter"_s),
                 args("--logs 3 --sessions 2 --threads --wait-for"_s) << targetPath(go));
    ASSERT_TRUE(waitUntil([&] { return writer.readAllStandardOutput().contains("opened"); }, 10000));
    const ProcessResult held = run();
    EXPECT_EQ(held.err.startsWith("Failed to lock file: "), console) << held.err.constData();
    EXPECT_EQ(filesIn(home.logFolder()).size(), 3);
    writeFile(go, "");
    ASSERT_TRUE(writer.waitForFinished(30000));
    EXPECT_EQ(writer.exitCode(), 0) << writer.readAllStandardError().constData();
    EXPECT_EQ(run().exitCode, 0);
    EXPECT_EQ(filesIn(home.logFolder()), QStringList());
    const QMap<QString, int> sent = receivedSessions();
    EXPECT_EQ(sent.size(), 3 * 2);
    EXPECT_EQ(sent.keys(1).size(), sent.size()) << "each session exactly once";
}

TEST_F(Run, EachJournalLineCarriesItsPriorityWhateverTheNames)
{
    // A part named to forge a journal line, held by its writer: the lock's report, the messages and
    // the events, diagnostics off and on, each line with the priority it was meant to have.
    if (targetIsWindows())
        GTEST_SKIP() << "the journal is Linux's";
    const QString hostile = logFile("busy\n<0>held.0.xml"_s);
    QDir().mkpath(home.logFolder());
    writeFile(hostile, "<kaldousage>");
    QProcess holder;
    startProgram(holder, targetProgram("lockhelper"_s), { "hold"_s, hostile, "30000"_s });
    ASSERT_TRUE(waitUntil([&] { return holder.readAllStandardOutput().contains("locked"); }, 10000));
    for (const QString &rules : { "vintor.*=false"_s, "vintor.*=true"_s }) {
        const ProcessResult result = run("-forKALDO"_s, { { "QT_LOGGING_RULES"_s, rules } });
        for (const QString &line : QString::fromUtf8(result.journal).split(u'\n', Qt::SkipEmptyParts))
            EXPECT_TRUE(QRegularExpression("^<[3-7]>"_s).match(line).hasMatch()) << line.toStdString();
        EXPECT_TRUE(result.journal.contains("Failed to lock file: ") && result.journal.contains("busy\\n<0>held"))
            << result.journal.constData();
    }
}

TEST_F(Run, AWriterWritingWhileRunsComeAndGoHasEverySessionDeliveredOnce)
{
    // Six logs of four parts, each part held a while, while runs follow each other. On Linux strace
    // slows each listing of the folder, so the writer moves on between a listing and the probes.
    ASSERT_TRUE(startService());
    QProcess writer;
    writer.setProcessEnvironment(home.environment());
    startProgram(writer, targetProgram("logwriter"_s),
                 args("--logs 6 --parts 4 --sessions 6 --events 4 --pause-ms 30"_s));
    const QStringList slowListing = args("-qq -o /dev/null -e trace=getdents64 -e inject=getdents64:delay_exit=40000"_s)
                                    << vintor << "-forKALDO"_s;
    for (bool writing = true; writing;) {
        writing = writer.state() != QProcess::NotRunning;
        EXPECT_EQ(targetIsWindows() ? run().exitCode : runProgram("strace"_s, slowListing, home.environment()).exitCode,
                  0);
    }
    EXPECT_EQ(writer.exitCode(), 0);
    EXPECT_EQ(filesIn(home.logFolder()), QStringList());
    // Products 12, 27 and 31 in turn: four sessions of each log are sent, the third discarded.
    const QMap<QString, int> sent = receivedSessions();
    EXPECT_EQ(sent.size(), 6 * 4);
    EXPECT_EQ(sent.keys(1).size(), sent.size()) << "each session exactly once";
}

TEST_F(Run, AsksTheServiceOnceAndThenAnswersFromTheStore)
{
    ASSERT_TRUE(startService());
    writeLogs("--sessions 3"_s);
    EXPECT_EQ(run().exitCode, 0);
    EXPECT_EQ(requestsStartingWith("logsAvailable apiVersion=1 sessions=3"), 1) << readFile(requestLog).constData();
    const QString data = QSettings(home.storeFile(), QSettings::IniFormat).value("data"_s).toString();
    EXPECT_EQ(data.count("<si "_s), 3) << data.toStdString();
    EXPECT_TRUE(
        data.contains(R"(productID="27" version="2024.1" country="DE" locale="de_DE" publish="SummaryOnly")"_s));

    // The same sessions again: the store answers, the service is not asked.
    writeLogs("--sessions 3 --seed 7"_s);
    const ProcessResult second = run("-forKALDO"_s, { { "QT_LOGGING_RULES"_s, "default.debug=true"_s } });
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(requestsStartingWith("logsAvailable"), 1);
    EXPECT_EQ(requestsStartingWith("post stored"), 4) << readFile(requestLog).constData() << second.err.constData();
}

TEST_F(Run, ARunThatFailsSaysWhyAndLeavesNoLog)
{
    // A service out of reach ends the run with -1, an output folder that cannot be made with 1: the logs are
    // deleted. A receiver out of reach loses the log, a session cut off by a crash the log it is in. The run's
    // last message says why, and an event does, whatever the logging rules: in Windows' log, or in the journal.
    ASSERT_TRUE(startService());
    const QString ws = service.url("/usagetracking/veri.asmx"_s);
    const QString receiver = service.url("/usagetracking/post.track"_s);
    const QString closed = "http://127.0.0.1:%1/x"_s.arg(freePort());
    const QString output = targetPath(logFile("processedForKALDO"_s));
    const QString folder = targetPath(home.logFolder()).replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString whole = "--parts 2 --sessions 1"_s;
    for (QStringList row : readTable("run/failures"_s)) {
        row.replaceInStrings("{whole}"_s, whole).replaceInStrings("{ws}"_s, ws).replaceInStrings("{closed}"_s, closed);
        row.replaceInStrings("{receiver}"_s, receiver)
            .replaceInStrings("{folder}"_s, folder)
            .replaceInStrings("{output}"_s, output);
        const std::string what = row.join(" | "_s).toStdString();
        home.writeSettings({ { "wsUrl"_s, row.at(1) }, { "receiverUrl"_s, row.at(2) } });
        QFile::remove(home.storeFile());
        if (row.at(3) == "1"_s)
            writeFile(hostPath(output), "in the way");
        runProgram(targetProgram("logwriter"_s), args(row.at(0)), home.environment());
        const ProcessResult result = run("-forKALDO"_s, { { "QT_LOGGING_RULES"_s, "vintor.*=true"_s } });
        QFile::remove(hostPath(output));
        EXPECT_EQ(result.exitCode, row.at(3).toInt()) << what;
        EXPECT_EQ(filesIn(home.logFolder()), QStringList()) << what;
        const QStringList messages = runMessages(result);
        EXPECT_EQ(messages.value(messages.size() - 2), row.at(4)) << what;
        QStringList events = result.events.filter(QRegularExpression("^[EW]"_s));
        EXPECT_EQ(events.replaceInStrings(QRegularExpression("\nLog folder: [^\n]*"_s), QString()),
                  QStringList { targetEvent(QString(row.at(5)).replace("\\n"_s, "\n"_s)) })
            << what;
    }
    EXPECT_EQ(filesIn(received), QStringList()) << "nothing was delivered";
    if (targetIsWindows())
        return;
    // A journal that is not standard error (a terminal opened from a service inherits the variable) hears nothing.
    runProgram(targetProgram("logwriter"_s), args(whole), home.environment());
    const ProcessResult quiet = run("-forKALDO"_s, { { "JOURNAL_STREAM"_s, "0:0"_s } });
    EXPECT_TRUE(quiet.events.isEmpty() && quiet.err.isEmpty()) << quiet.err.constData();
    // No folder at all: TEMP is a file, and the working folder has no "c:" for the shared roots.
    const QString saved = QDir::currentPath();
    QDir::setCurrent(home.path());
    const ProcessResult lost = run("-forKALDO"_s, { { "TEMP"_s, requestLog } });
    QDir::setCurrent(saved);
    EXPECT_EQ(lost.exitCode, 0);
    const QString leaf = "/KALDO Technologies/Zadazevi Rerevarazu Logs"_s;
    const QString user = " - "_s + QString::fromStdWString(currentUserName());
    EXPECT_EQ(lost.events,
              QStringList { "E No log folder could be found or made; the products' logs stay unsent.\n"
                            "Folders tried:\n"_s
                            + requestLog + leaf + "\nc:/windows/temp"_s + leaf + user + "\nc:/temp"_s + leaf + user });
}

TEST_F(Run, ALogWithoutAPublishedSessionIsNotSent)
{
    // Product 12 alone, discarded, in a large answer kept in memory (TMPDIR does not exist).
    ASSERT_TRUE(startService("default Discard 86400\nextra 6000\n"));
    writeLogs("--sessions 1"_s);
    EXPECT_EQ(run("-forKALDO"_s, { { "TMPDIR"_s, targetPath(home.path() + "/missing"_s) } }).exitCode, 0);
    EXPECT_EQ(filesIn(home.logFolder()), QStringList());
    EXPECT_EQ(requestsStartingWith("logsAvailable"), 1);
    EXPECT_EQ(requestsStartingWith("post"), 0);
}

TEST_F(Run, AnAnswerPastTheLimitFailsTheExchange)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer keeps freed memory on purpose: the peak would say nothing";
#endif
    const QByteArray answer = "<?xml version=\"1.0\"?><Envelope><Body><logsAvailableResponse><logsAvailableResult/>"
                              "</logsAvailableResponse></Body></Envelope>"
                              + QByteArray(65 << 20, ' ');
    ScriptedServer server(
        [&](QTcpSocket *socket, const HttpRequest &) { socket->write(ScriptedServer::response(200, answer)); });
    home.writeSettings({ { "wsUrl"_s, server.url("/usagetracking/veri.asmx"_s) } });
    writeLogs();
    // Messages only when the logging rules ask for them (here those a fleet's administrator puts in Qt's
    // qtlogging.ini), as the run goes. On Linux each write of the run is slowed, so that an answer not held
    // back in the network thread would pile up in memory: the run's peak memory shows it.
    home.writeLoggingRules("[Rules]\nvintor.*=true\n");
    const QStringList slow = args("-f %M strace -fqqo /dev/null -e trace=write -e inject=write:delay_exit=3000 "_s
                                  + vintor + " -forKALDO"_s);
    const ProcessResult result
        = targetIsWindows() ? run() : runProgram("/usr/bin/time"_s, slow, home.environment(), 120000);
    EXPECT_EQ(result.exitCode, 255);
    const int peakKiB = result.err.trimmed().split('\n').last().toInt();
    EXPECT_TRUE(targetIsWindows() || (peakKiB > 0 && peakKiB < 40 << 10)) << peakKiB; // held back: 20 MB
    const QStringList messages = runMessages(result);
    const QString shownFolder = targetPath(home.temp()) + "/KALDO Technologies/Zadazevi Rerevarazu Logs"_s;
    EXPECT_EQ(messages.mid(0, 1), QStringList { "Vintor starting."_s });
    EXPECT_TRUE(messages.value(1).startsWith("UT Receiver URL is: https://"_s));
    EXPECT_TRUE(messages.contains("Log folder is: "_s + shownFolder)) << messages.join('\n').toStdString();
    EXPECT_TRUE(messages.contains("HTTP error: the answer is larger than 64 MB"_s));
    EXPECT_EQ(messages.mid(messages.size() - 1), QStringList { "Vintor stopping."_s });
}

TEST_F(Run, TheReceiverGetsExactlyTheFilteredLogs)
{
    ASSERT_TRUE(startService());
    useDebugFolder();
    const QStringList parts = writeLogs("--parts 2 --sessions 6 --events 7"_s);
    writeLogs("--name adminonly --no-kaldo --admin"_s);
    // What the writer put inside `anon`, which must never reach the receiver.
    QStringList secrets;
    for (const QString &part : parts) {
        for (auto it = QRegularExpression("<anon>([^<]+)</anon>"_s).globalMatch(QString::fromUtf8(readFile(part)));
             it.hasNext();)
            secrets.append(it.next().captured(1));
    }
    ASSERT_FALSE(secrets.isEmpty());

    // A temporary folder that cannot take a file changes nothing: the body is made elsewhere.
    writeFile(home.path() + "/not-a-folder"_s, "x");
    const ProcessResult result = run("-forKALDO"_s, { { "TMPDIR"_s, targetPath(home.path() + "/not-a-folder"_s) } });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.err.isEmpty() && result.out.isEmpty()) << result.err.constData();
    EXPECT_TRUE(result.events.isEmpty()) << "a clean run without the diagnostics writes no event";
    EXPECT_EQ(filesIn(home.logFolder()), QStringList());
    EXPECT_TRUE(filesIn(home.logFolder() + "/processedForKALDO"_s).isEmpty());
    EXPECT_TRUE(QFileInfo(home.logFolder() + "/processedForLocalAdmin"_s).isDir());

    // Four sessions published, each a log, as their debug copies; the administration tool's is not sent.
    QByteArrayList logs, outputs;
    for (const QString &name : filesIn(received))
        logs.append(readFile(received + QLatin1Char('/') + name));
    for (const QString &name : QDir(debug).entryList({ "*-output.xml"_s }, QDir::Files))
        if (const QByteArray output = readFile(debug + QLatin1Char('/') + name); output.contains("<session"))
            outputs.append(output);
    EXPECT_EQ(logs.size(), 4);
    std::sort(logs.begin(), logs.end());
    std::sort(outputs.begin(), outputs.end());
    EXPECT_EQ(logs, outputs);
    const QByteArray log = logs.join();
    const QByteArray pretty = readFile(debug + "/usage-output-pretty.xml"_s);
    EXPECT_TRUE(pretty.contains("\n    <schema>3</schema>") && pretty.count("<sessionuuid>") == 1) << "indented copy";
    // The same bytes from every build: the writer's logs depend on its seed alone.
    expectGolden(testData("delivery/usage-output.xml"_s), log);
    EXPECT_FALSE(QFileInfo::exists(debug + "/adminonly-output.xml"_s));
    for (const QString &secret : secrets) // the indented copy is the filtered log's too
        EXPECT_FALSE(log.contains(secret.toUtf8()) || pretty.contains(secret.toUtf8())) << secret.toStdString();
}

TEST_F(Run, MachineWideSettingsServeAUserWithoutOwnSettings)
{
    ASSERT_TRUE(startService());
    if (!pointAt(service.port(), TempHome::Machine))
        GTEST_SKIP() << "machine-wide settings live in /etc/xdg on Linux, which a test leaves alone";
    home.writeSettings({}); // the user's key exists, without the URLs
    writeLogs("--sessions 1"_s);
    EXPECT_EQ(run().exitCode, 0);
    EXPECT_EQ(filesIn(received).size(), 1);
    // The user's own value wins over the machine's.
    home.writeSettings({ { "wsUrl"_s, "http://127.0.0.1:%1/usagetracking/veri.asmx"_s.arg(freePort()) } });
    QFile::remove(home.storeFile());
    writeLogs("--sessions 1"_s);
    EXPECT_EQ(run().exitCode, 255);
}

TEST_F(Run, HarvestsOverHttpsOnlyWhenTheCertificateIsTrusted)
{
    ASSERT_TRUE(startService(QByteArray(), true));
    writeLogs("--sessions 1"_s);
    const ProcessResult untrusted = run("-forKALDO"_s, { { "QT_LOGGING_RULES"_s, "vintor.*=true"_s } });
    EXPECT_EQ(untrusted.exitCode, 255);
    EXPECT_TRUE(runMessages(untrusted).join('\n').contains("\nSSL handshake failed"_s)) << untrusted.err.constData();
    EXPECT_TRUE(filesIn(home.logFolder()).isEmpty());

    TargetTrustsTestCertificate trust;
    if (!trust.trusted())
        GTEST_SKIP() << "the Linux build trusts only the system's certificates, which a test leaves alone";
    writeLogs("--sessions 1"_s);
    EXPECT_EQ(run().exitCode, 0);
    EXPECT_EQ(filesIn(received).size(), 1);
}

TEST_F(Run, TheUsersProxyCarriesAllButExemptHosts)
{
    ASSERT_TRUE(startService());
    ServerProcess proxy;
    ASSERT_TRUE(proxy.startTinyproxy(home.path()));
    auto proxied = [&] { return readFile(home.path() + "/tinyproxy.log"_s).count("Established connection"); };
    // The exchange and the upload each pass the proxy, unless a bypass pattern names the host.
    const QList<QStringList> cases = readTable("run/proxy"_s);
    for (const QStringList &row : cases) {
        home.useProxy(proxy.port(), row.at(0).split(QLatin1Char(';'), Qt::SkipEmptyParts));
        QFile::remove(home.storeFile()); // the service is asked every time
        const int before = proxied();
        writeLogs("--sessions 1 --seed %1"_s.arg(before + 1));
        EXPECT_EQ(run().exitCode, 0) << row.at(0).toStdString();
        EXPECT_EQ(proxied() - before, row.at(1).toInt()) << row.at(0).toStdString();
    }
    EXPECT_EQ(filesIn(received).size(), cases.size());
}
