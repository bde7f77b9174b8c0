// The writers' library through its C interface: each call says whether it went through, and what
// it leaves merges. Its everyday use (the reference writer's logs harvested) is in the run tests.

#include "filelock.h"
#include "folderquota.h"
#include "formatnames.h"
#include "identity.h"
#include "logmerger.h"
#include "logwriter_p.h"
#include "testtools.h"
#include "texts.h"
#include "vintorlog.h"
#include "xmloutput.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QOperatingSystemVersion>
#include <QProcess>
#include <QRegularExpression>
#include <QXmlStreamWriter>

#include <atomic>
#include <functional>
#include <set>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace vintorlog_detail;

namespace {

// Merges the parts of log `name`; with `whole`, every part must be well-formed XML.
MergedLog merge(const QString &folder, const QString &name, bool whole = true)
{
    std::set<QString> parts;
    for (const QString &part : QDir(folder).entryList({ name + ".*"_s }, QDir::Files)) {
        parts.insert(part);
        QXmlStreamReader reader(readFile(folder + QLatin1Char('/') + part));
        while (!reader.atEnd())
            reader.readNext();
        EXPECT_TRUE(!whole || !reader.hasError()) << part.toStdString() << ": " << reader.errorString().toStdString();
    }
    return LogMerger(QDir(folder), QDir(folder)).mergeGroup(name, parts);
}

} // namespace

TEST(VintorLog, MisuseIsAnErrorAndLeavesALogThatMerges)
{
    // Each case's last call fails with its code, without a trace, and the log merges as product 12's.
    QTemporaryDir dir;
    const QByteArray folder = dir.path().toUtf8();
    vintorlog_session session {};
    session.product_id = "12";
    const vintorlog_event event { 1, "Open", nullptr, nullptr, nullptr, 0 };
    using Step = std::function<int(vintorlog *)>;
    const Step begin = [&](vintorlog *log) { return vintorlog_begin_session(log, &session); };
    const Step startEvent = [&](vintorlog *log) { return vintorlog_start_event(log, &event); };
    const Step endSession = vintorlog_end_session, nextPart = vintorlog_next_part;
    const auto element
        = [](const char *name) { return Step([=](vintorlog *log) { return vintorlog_begin_element(log, name); }); };
    const auto text
        = [](const char *text) { return Step([=](vintorlog *log) { return vintorlog_add_text(log, text, 1); }); };
    const auto attribute = [](const char *value) {
        return Step([=](vintorlog *log) { return vintorlog_add_attribute(log, "kind", value); });
    };
    const auto write = [](const char *name, const char *text) {
        return Step([=](vintorlog *log) { return vintorlog_write_element(log, name, text, 0); });
    };
    const std::string big(5000, 'x');
    QList<std::tuple<std::string, int, QList<Step>>> cases {
        { "an event outside a session", VINTORLOG_MISUSE, { startEvent } },
        { "an event inside an element", VINTORLOG_MISUSE, { begin, element("note"), startEvent } },
        { "a session in a session", VINTORLOG_MISUSE, { begin, begin } },
        { "a session ended inside an element", VINTORLOG_MISUSE, { begin, element("note"), endSession } },
        { "an attribute after text", VINTORLOG_MISUSE, { begin, element("note"), text("x"), attribute("y") } },
        { "an attribute given twice", VINTORLOG_INVALID, { begin, element("note"), attribute("x"), attribute("y") } },
        { "a text refused", VINTORLOG_INVALID, { begin, element("note"), text("bell\x07") } },
        { "Latin-1, not UTF-8", VINTORLOG_INVALID, { begin, write("refused", "caf\xe9") } },
        { "an overlong form", VINTORLOG_INVALID, { begin, write("refused", "\xc0\xaf") } },
        { "a surrogate", VINTORLOG_INVALID, { begin, write("refused", "\xed\xa0\x80") } },
        { "U+FFFE", VINTORLOG_INVALID, { begin, write("refused", "\xef\xbf\xbe") } },
        { "a name that is not XML", VINTORLOG_INVALID, { begin, write("a b", "x") } },
        { "an eleventh part", VINTORLOG_FULL, QVector<Step>(10, nextPart).toList() },
        // Each write fills a part: the one that fills the tenth went through, the next is refused.
        { "a full tenth part", VINTORLOG_FULL,
          QList<Step> { [](vintorlog *log) { return vintorlog_set_part_size(log, 4096); }, begin }
              + QVector<Step>(11, write("note", big.c_str())).toList() },
    };
    // Every name that steers the harvest, spelt out, for an element of the session and a nested one.
    const QList<QByteArray> steering = readFile(testData("vintorlog/steering-names"_s)).trimmed().split('\n');
    for (const QByteArray &name : steering) {
        const char *text = name.constData();
        cases.append({ "a session's " + name.toStdString(), VINTORLOG_INVALID, { begin, write(text, "FR") } });
        cases.append(
            { "a nested " + name.toStdString(), VINTORLOG_INVALID, { begin, element("settings"), write(text, "FR") } });
    }
    int count = 0;
    for (const auto &[what, result, steps] : cases) {
        SCOPED_TRACE(what);
        const QByteArray name = "log" + QByteArray::number(count++);
        vintorlog *log = nullptr;
        ASSERT_EQ(vintorlog_open(&log, folder.constData(), name.constData(), 1), VINTORLOG_OK);
        for (int step = 0; step + 1 < steps.size(); ++step)
            EXPECT_EQ(steps[step](log), VINTORLOG_OK) << "step " << step;
        EXPECT_EQ(steps.last()(log), result);
        EXPECT_STRNE(vintorlog_errmsg(log), "");
        EXPECT_EQ(vintorlog_close(log), VINTORLOG_OK);
        const MergedLog merged = merge(dir.path(), QString::fromLatin1(name));
        const QByteArray full = readFile(merged.path);
        EXPECT_TRUE(merged.sendToKALDO && !full.contains("<sessioncrashed>") && !full.contains(">FR<"));
        EXPECT_FALSE(full.contains("<refused"));
        EXPECT_EQ(merged.sessions.value(0).productID, full.contains("<session") ? 12 : -1);
    }
    for (const char *full : { "log12.*", "log13.*" })
        EXPECT_EQ(QDir(dir.path()).entryList({ QString::fromLatin1(full) }).size(), 10 + 1) << "ten parts, full log";

    // A run between two '<' longer than the harvest carries: texts of one element add up; a text
    // refused writes nothing, its element included.
    textRunLimit = 300;
    vintorlog *bounded = nullptr;
    ASSERT_EQ(vintorlog_open(&bounded, folder.constData(), "bounded", 1), VINTORLOG_OK);
    EXPECT_EQ(begin(bounded), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_begin_element(bounded, "note"), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_add_text(bounded, std::string(40, '&').c_str(), 0), VINTORLOG_OK); // 200 bytes escaped
    EXPECT_EQ(vintorlog_add_text(bounded, std::string(40, '&').c_str(), 0), VINTORLOG_INVALID);
    EXPECT_EQ(vintorlog_end_element(bounded), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_write_element(bounded, "refused", std::string(60, '"').c_str(), 0), VINTORLOG_INVALID);
    textRunLimit = maximumTextRunBytes - 256;
    EXPECT_EQ(vintorlog_close(bounded), VINTORLOG_OK);
    const QByteArray boundedLog = readFile(merge(dir.path(), "bounded"_s).path);
    EXPECT_TRUE(boundedLog.count("&amp;") == 40 && !boundedLog.contains("<refused"));

    // No handle, a name that leaves the folder, a name taken in another case: nothing is written.
    vintorlog *log = nullptr;
    EXPECT_EQ(vintorlog_begin_session(nullptr, &session), VINTORLOG_MISUSE);
    EXPECT_STREQ(vintorlog_errmsg(nullptr), "no log handle");
    for (const char *name : { "../outside", "log0", "" }) {
        EXPECT_NE(vintorlog_open(&log, folder.constData(), name, 1), VINTORLOG_OK) << name;
        EXPECT_EQ(vintorlog_close(log), VINTORLOG_OK);
    }
    EXPECT_EQ(QDir(dir.path() + "/.."_s).entryList({ "outside*"_s }), QStringList());
}

TEST(VintorLog, EachSessionALogOfItsOwnHandedOverPartByPart)
{
    // A following session's log passes over, at once, a name the folder has and one another process holds.
    QTemporaryDir dir;
    const auto path = [&](const char *file) { return dir.filePath(QString::fromLatin1(file)).toStdString(); };
    writeFile(dir.filePath("named-2.0.xml"_s), "finished");
    auto held = std::make_unique<FileLock>(path("named-3.0.xml"), false);
    ASSERT_TRUE(held->tryLock(0));
    const vintorlog_session session {};
    vintorlog *named = nullptr, *fresh = nullptr, *busy = nullptr;
    ASSERT_EQ(vintorlog_open(&named, dir.path().toUtf8().constData(), "named", 1), VINTORLOG_OK);
    ASSERT_EQ(vintorlog_open(&fresh, dir.path().toUtf8().constData(), nullptr, 1), VINTORLOG_OK);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(vintorlog_open(&busy, dir.path().toUtf8().constData(), "named-3", 1), VINTORLOG_BUSY);
    EXPECT_EQ(vintorlog_close(busy), VINTORLOG_OK);
    static QList<QByteArray> released; // what a harvest would find in each part once its lock is given back
    partReleasing = [](const std::string &part) { released.append(readFile(QString::fromStdString(part))); };
    QStringList names;
    for (vintorlog *log : { named, named, fresh, fresh }) {
        ASSERT_EQ(vintorlog_begin_session(log, &session), VINTORLOG_OK);
        EXPECT_EQ(vintorlog_write_element(log, "note", "x", 0), VINTORLOG_OK);
        EXPECT_STREQ(vintorlog_errmsg(log), "");
        names.append(QString::fromUtf8(vintorlog_name(log)));
        EXPECT_EQ(vintorlog_end_session(log), VINTORLOG_OK);
        EXPECT_EQ(merge(dir.path(), names.last()).sessions.size(), 1);
    }
    partReleasing = nullptr;
    EXPECT_EQ(released.size(), 4);
    for (const QByteArray &part : released)
        EXPECT_TRUE(part.endsWith("<logfinal>true</logfinal>\n</kaldousage>\n")) << part.constData();
    EXPECT_LT(timer.elapsed(), 1000) << "no lock is waited for";
    EXPECT_EQ(names.mid(0, 2), QStringList({ "named"_s, "named-4"_s }));
    EXPECT_TRUE(names.at(2).contains(QRegularExpression("^log-[0-9a-f]{16}$"_s)) && names.at(2) != names.at(3));
    EXPECT_EQ(readFile(dir.filePath("named-2.0.xml"_s)), "finished");

    // A busy next part leaves the session in the part it has, held; a write that fills it goes through.
    ASSERT_EQ(vintorlog_set_part_size(named, 4096), VINTORLOG_OK);
    ASSERT_EQ(vintorlog_begin_session(named, &session), VINTORLOG_OK);
    held = std::make_unique<FileLock>(path("named-5.1.xml"), false);
    ASSERT_TRUE(held->tryLock(0));
    EXPECT_EQ(vintorlog_next_part(named), VINTORLOG_BUSY);
    EXPECT_EQ(vintorlog_write_element(named, "note", std::string(5000, 'x').c_str(), 0), VINTORLOG_OK);
    EXPECT_FALSE(FileLock(path("named-5.0.xml"), false).tryLock(0));
    held.reset();
    EXPECT_EQ(vintorlog_next_part(named), VINTORLOG_OK);
    EXPECT_FALSE(FileLock(path("named-5.1.xml"), false).tryLock(0));
    EXPECT_TRUE(FileLock(path("named-5.0.xml"), false).tryLock(0));
    EXPECT_EQ(vintorlog_close(named), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_close(fresh), VINTORLOG_OK);
    EXPECT_EQ(merge(dir.path(), "named-5"_s).sessions.size(), 1);
}

TEST(VintorLog, EscapesAsQtWrites)
{
    // Quotes (also inside long plain runs), "]]>", and characters beyond the BMP.
    const QString value = "a\"b<&>\t\nplain text \"quoted\" plain text\U0001F600"_s;
    const QString text = "x\"y]]>\U0001F600\r\nplain text \"quoted\" plain text"_s;
    QByteArray qt;
    QXmlStreamWriter writer(&qt);
    writer.writeStartElement("note"_s);
    writer.writeAttribute("kind"_s, value);
    writer.writeCharacters(text);
    writer.writeEndElement();
    XmlOutput output;
    output.writeStartElement(QLatin1String("note"));
    output.writeAttribute(QLatin1String("kind"), value);
    output.writeCharacters(text);
    output.writeEndElement();
    EXPECT_EQ(output.bytes(), qt);

    QTemporaryDir dir;
    vintorlog *log = nullptr;
    ASSERT_EQ(vintorlog_open(&log, dir.path().toUtf8().constData(), "escaped", 0), VINTORLOG_OK);
    const vintorlog_session session {};
    EXPECT_EQ(vintorlog_begin_session(log, &session), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_begin_element(log, "note"), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_add_attribute(log, "kind", value.toUtf8().constData()), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_add_text(log, text.toUtf8().constData(), 0), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_close(log), VINTORLOG_OK);
    EXPECT_TRUE(readFile(dir.filePath("escaped.0.xml"_s)).contains(qt));
}

#ifndef _WIN32
TEST(VintorLog, AFullDiskEndsTheLogWhereTheHarvestClosesItAsCrashed)
{
    // A limit on the size of written files stands in for a full disk: writes past it fail.
    QTemporaryDir dir;
    vintorlog *log = nullptr;
    ASSERT_EQ(vintorlog_open(&log, dir.path().toUtf8().constData(), "full", 1), VINTORLOG_OK);
    const vintorlog_session session {};
    ASSERT_EQ(vintorlog_begin_session(log, &session), VINTORLOG_OK);
    rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small { 2000, saved.rlim_max };
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const int result = vintorlog_write_element(log, "note", QByteArray(3000, 'x').constData(), 0);
    const int closed = vintorlog_close(log);
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(result, VINTORLOG_IO);
    EXPECT_EQ(closed, VINTORLOG_IO);
    EXPECT_TRUE(readFile(merge(dir.path(), "full"_s, false).path).contains("<sessioncrashed>1</sessioncrashed>"));
}
#endif

TEST(VintorLog, IdentitiesTakeEveryBitOfTheSystemsRandomSource)
{
    // A source with one bit set gives a uuid and a name of their own for each of their random bits.
    static int bit = 0;
    const RandomSource system = randomSource;
    randomSource = [](void *buffer, size_t size) {
        for (int i = 0; i < static_cast<int>(size); ++i) // bit -1: the bytes 0, 1, 2, ...
            static_cast<unsigned char *>(buffer)[i]
                = static_cast<unsigned char>(bit < 0 ? i : (bit / 8 == i) << bit % 8);
        return true;
    };
    std::set<std::string> uuids, names;
    for (bit = 0; bit < 128; ++bit) {
        std::string uuid, name;
        ASSERT_TRUE(newUuid(uuid) && newLogName(name));
        uuids.insert(uuid);
        names.insert(name);
    }
    EXPECT_EQ(uuids.size(), 122u + 1) << "the six bits of version and variant are fixed";
    EXPECT_EQ(names.size(), 64u + 1);

    // Through the interface: the source's bytes are the session's and the log's identity, and the name.
    QTemporaryDir dir;
    vintorlog *log = nullptr;
    const vintorlog_session session {};
    bit = -1;
    ASSERT_EQ(vintorlog_open(&log, dir.path().toUtf8().constData(), nullptr, 1), VINTORLOG_OK);
    EXPECT_STREQ(vintorlog_name(log), "log-0001020304050607");
    EXPECT_EQ(vintorlog_begin_session(log, &session), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_close(log), VINTORLOG_OK);
    const QByteArray part = readFile(dir.filePath("log-0001020304050607.0.xml"_s));
    EXPECT_EQ(part.count(">00010203-0405-4607-8809-0a0b0c0d0e0f</"), 2) << "loguuid and sessionuuid, of version 4";
    randomSource = system;
}

TEST(VintorLog, AFullFolderRefusesNewLogsUntilAHarvestMakesRoom)
{
    QTemporaryDir dir;
    const FolderQuota saved = folderQuota;
    folderQuota = { 3, 1 << 20, 0, 0 };
    writeFile(dir.filePath("old.0.xml"_s), "<kaldousage/>");
    const vintorlog_session session {};
    vintorlog *log = nullptr;
    ASSERT_EQ(vintorlog_open(&log, dir.path().toUtf8().constData(), "quota", 1), VINTORLOG_OK);
    const auto endedSession = [&] {
        const int begun = vintorlog_begin_session(log, &session);
        return begun == VINTORLOG_OK ? vintorlog_end_session(log) : begun;
    };
    EXPECT_EQ(endedSession(), VINTORLOG_OK);
    EXPECT_EQ(endedSession(), VINTORLOG_OK);
    EXPECT_EQ(endedSession(), VINTORLOG_QUOTA) << "old, quota and quota-2 fill it";
    EXPECT_TRUE(QByteArray(vintorlog_errmsg(log)).contains("holds 3 logs"));
    EXPECT_EQ(filesIn(dir.path()).size(), 3);
    QFile::remove(dir.filePath("old.0.xml"_s));
    EXPECT_EQ(endedSession(), VINTORLOG_OK) << "a harvest took a log";
    // The bytes count as well.
    folderQuota = { 100, 4096, 0, 0 };
    EXPECT_EQ(endedSession(), VINTORLOG_OK);
    writeFile(dir.filePath("big.txt"_s), QByteArray(4096, 'x'));
    EXPECT_EQ(endedSession(), VINTORLOG_QUOTA);
    EXPECT_EQ(vintorlog_close(log), VINTORLOG_OK);
    folderQuota = saved;
}

TEST(VintorLog, ManyThreadsOpenWriteAndCloseHandlesAtOnce)
{
    // Run under ThreadSanitizer in CI; the user's own log folder (a null folder) included.
    QTemporaryDir dir, temp;
    qputenv("TEMP", temp.path().toUtf8());
    std::atomic<int> written { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                vintorlog *log = nullptr;
                const vintorlog_session session {};
                const vintorlog_event event { 0, "Open", nullptr, nullptr, nullptr, 0 };
                if (vintorlog_open(&log, (i + t) % 2 ? dir.path().toUtf8().constData() : nullptr, nullptr, 1) == 0
                    && vintorlog_begin_session(log, &session) == 0 && vintorlog_write_event(log, &event) == 0
                    && vintorlog_end_session(log) == 0)
                    ++written;
                vintorlog_close(log);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    qunsetenv("TEMP");
    EXPECT_EQ(written, 200);
    EXPECT_EQ(filesIn(dir.path()).size(), 100) << "a log of its own for each session";
}

#ifndef _WIN32
TEST(VintorLog, AForkedChildFreesItsHandleAndLeavesTheParentsLogAlone)
{
    QTemporaryDir dir;
    vintorlog *log = nullptr;
    const vintorlog_session session {};
    ASSERT_EQ(vintorlog_open(&log, dir.path().toUtf8().constData(), "parent", 1), VINTORLOG_OK);
    ASSERT_EQ(vintorlog_begin_session(log, &session), VINTORLOG_OK);
    const pid_t child = fork();
    if (child == 0) {
        alarm(5); // a close that hangs ends the child with the signal
        const bool refused = vintorlog_write_element(log, "note", "child", 0) == VINTORLOG_UNAVAILABLE;
        _exit(refused && vintorlog_close(log) == VINTORLOG_OK ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's close returns, refusing to write";
    EXPECT_FALSE(FileLock(dir.filePath("parent.0.xml"_s).toStdString(), false).tryLock(0)) << "still the parent's";
    EXPECT_EQ(vintorlog_write_element(log, "note", "parent", 0), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_close(log), VINTORLOG_OK);
    const QByteArray full = readFile(merge(dir.path(), "parent"_s).path);
    EXPECT_TRUE(full.contains(">parent<") && !full.contains("child"));
}
#endif

TEST(VintorLog, APluginsGlobalObjectsNeverHangTheProductThatLoadsIt)
{
    // Opened while the library loads: refused at once under Windows' loader lock. Closed while it
    // unloads, or at the process's end: the product ends, and the destructor's session is whole.
    const bool windows = QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows;
    for (const QString &end : { "unload"_s, "exit"_s }) {
        SCOPED_TRACE(end.toStdString());
        QTemporaryDir dir;
        QProcess host;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LIFECYCLE_FOLDER"_s, dir.path());
        host.setProcessEnvironment(environment);
        host.setStandardOutputFile(QProcess::nullDevice());
        host.setStandardErrorFile(QProcess::nullDevice());
        host.start(QCoreApplication::applicationDirPath() + "/lockhelper"_s,
                   { "plugin"_s, QCoreApplication::applicationDirPath() + "/" LIFECYCLE_PLUGIN ""_s, end });
        EXPECT_TRUE(host.waitForFinished(20000)) << "the product hangs"; // and is killed with `host`
        EXPECT_EQ(host.exitCode(), windows ? VINTORLOG_UNAVAILABLE : VINTORLOG_OK) << "the open at load";
        const MergedLog merged = merge(dir.path(), "atend"_s);
        const QByteArray full = readFile(merged.path);
        EXPECT_TRUE(merged.sessions.size() == 1 && full.contains(">closed by a global object<")
                    && !full.contains("<sessioncrashed>"));
    }
}
