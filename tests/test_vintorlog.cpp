// The writers' library through its C interface: each call says whether it went through, and what
// it leaves merges. Its everyday use (the reference writer's logs harvested) is in the run tests.

#include "filelock.h"
#include "formatnames.h"
#include "logmerger.h"
#include "testtools.h"
#include "vintorlog.h"
#include "xmloutput.h"

#include <QRegularExpression>
#include <QXmlStreamWriter>

#include <functional>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

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
    };
    // Every name that steers the harvest, for an element of the session and a nested one.
    for (const UsageLogName name : steeringNames) {
        const char *text = usageLogNameTexts[static_cast<int>(name)];
        cases.append({ std::string("a session's ") + text, VINTORLOG_INVALID, { begin, write(text, "FR") } });
        cases.append(
            { std::string("a nested ") + text, VINTORLOG_INVALID, { begin, element("settings"), write(text, "FR") } });
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
    EXPECT_EQ(QDir(dir.path()).entryList({ "log12.*"_s }).size(), 10 + 1) << "ten parts and their full log";

    // No handle, a name that leaves the folder, a name taken in another case: nothing is written.
    vintorlog *log = nullptr;
    EXPECT_EQ(vintorlog_begin_session(nullptr, &session), VINTORLOG_MISUSE);
    EXPECT_STREQ(vintorlog_errmsg(nullptr), "no log handle");
    for (const char *name : { "../outside", "LOG0", "" }) {
        EXPECT_NE(vintorlog_open(&log, folder.constData(), name, 1), VINTORLOG_OK) << name;
        EXPECT_EQ(vintorlog_close(log), VINTORLOG_OK);
    }
    EXPECT_EQ(QDir(dir.path() + "/.."_s).entryList({ "outside*"_s }), QStringList());
}

TEST(VintorLog, EachSessionALogOfItsOwnHandedOverPartByPart)
{
    QTemporaryDir dir;
    const vintorlog_session session {};
    vintorlog *named = nullptr, *fresh = nullptr;
    ASSERT_EQ(vintorlog_open(&named, dir.path().toUtf8().constData(), "named", 1), VINTORLOG_OK);
    ASSERT_EQ(vintorlog_open(&fresh, dir.path().toUtf8().constData(), nullptr, 1), VINTORLOG_OK);
    QStringList names;
    for (vintorlog *log : { named, named, fresh, fresh }) {
        ASSERT_EQ(vintorlog_begin_session(log, &session), VINTORLOG_OK);
        EXPECT_EQ(vintorlog_begin_element(log, "a b"), VINTORLOG_INVALID);
        EXPECT_EQ(vintorlog_write_element(log, "note", "x", 0), VINTORLOG_OK);
        EXPECT_STREQ(vintorlog_errmsg(log), "");
        names.append(QString::fromUtf8(vintorlog_name(log)));
        EXPECT_EQ(vintorlog_end_session(log), VINTORLOG_OK);
        EXPECT_EQ(merge(dir.path(), names.last()).sessions.size(), 1);
    }
    EXPECT_EQ(names.mid(0, 2), QStringList({ "named"_s, "named-2"_s }));
    EXPECT_TRUE(names.at(2).contains(QRegularExpression("^log-[0-9a-f]{16}$"_s)) && names.at(2) != names.at(3));

    // While the next part waits for its lock, the previous one stays held.
    ASSERT_EQ(vintorlog_begin_session(named, &session), VINTORLOG_OK);
    const std::string part0 = dir.filePath("named-3.0.xml"_s).toStdString();
    auto part1 = std::make_unique<FileLock>(dir.filePath("named-3.1.xml"_s).toStdString(), false);
    ASSERT_TRUE(part1->tryLock(0));
    std::thread next([&] { EXPECT_EQ(vintorlog_next_part(named), VINTORLOG_OK); });
    for (int probe = 0; probe < 20; ++probe) {
        EXPECT_FALSE(FileLock(part0, false).tryLock(0));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    part1.reset();
    next.join();
    EXPECT_TRUE(FileLock(part0, false).tryLock(0));
    EXPECT_EQ(vintorlog_close(named), VINTORLOG_OK);
    EXPECT_EQ(vintorlog_close(fresh), VINTORLOG_OK);
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
