// The writers' library through its C interface: whatever a product does with it, each call
// says whether it went through, and what it leaves in the folder merges. Its everyday use (the
// reference writer's logs harvested by the tool) is in the run tests.

#include "logmerger.h"
#include "testtools.h"
#include "vintorlog.h"
#include "xmloutput.h"

#include <QXmlStreamWriter>

#include <functional>

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
    QTemporaryDir dir;
    const QByteArray folder = dir.path().toUtf8();
    vintorlog_session session {};
    session.product_id = "12";
    const vintorlog_event event { 1, "Open", nullptr, nullptr, nullptr, 0 };
    const auto begin = [&](vintorlog *log) { return vintorlog_begin_session(log, &session); };
    const auto note = [&](vintorlog *log, const char *name, const char *text) {
        begin(log);
        return vintorlog_write_element(log, name, text, 0);
    };
    const QList<std::tuple<const char *, int, std::function<int(vintorlog *)>>> cases {
        { "an event outside a session", VINTORLOG_MISUSE,
          [&](vintorlog *log) { return vintorlog_write_event(log, &event); } },
        { "a session in a session", VINTORLOG_MISUSE, [&](vintorlog *log) { return begin(log) + begin(log); } },
        { "a session ended inside an element", VINTORLOG_MISUSE,
          [&](vintorlog *log) {
              return begin(log) + vintorlog_begin_element(log, "note") + vintorlog_end_session(log);
          } },
        { "an attribute after text", VINTORLOG_MISUSE,
          [&](vintorlog *log) {
              return begin(log) + vintorlog_begin_element(log, "note") + vintorlog_add_text(log, "x", 1)
                     + vintorlog_add_attribute(log, "kind", "y");
          } },
        { "Latin-1, not UTF-8", VINTORLOG_INVALID, [&](vintorlog *log) { return note(log, "note", "caf\xe9"); } },
        { "an overlong form", VINTORLOG_INVALID, [&](vintorlog *log) { return note(log, "note", "\xc0\xaf"); } },
        { "a surrogate", VINTORLOG_INVALID, [&](vintorlog *log) { return note(log, "note", "\xed\xa0\x80"); } },
        { "a control character", VINTORLOG_INVALID, [&](vintorlog *log) { return note(log, "note", "bell\x07"); } },
        { "U+FFFE", VINTORLOG_INVALID, [&](vintorlog *log) { return note(log, "note", "\xef\xbf\xbe"); } },
        { "a name that steers the merge", VINTORLOG_INVALID,
          [&](vintorlog *log) { return note(log, "logfinal", "true"); } },
        { "a name that is not XML", VINTORLOG_INVALID, [&](vintorlog *log) { return note(log, "a b", "x"); } },
        { "an eleventh part", VINTORLOG_FULL,
          [&](vintorlog *log) {
              for (int part = 1; part < 10; ++part)
                  EXPECT_EQ(vintorlog_next_part(log), VINTORLOG_OK);
              return vintorlog_next_part(log) == VINTORLOG_FULL ? begin(log) : -1;
          } },
    };
    int count = 0;
    for (const auto &[what, result, call] : cases) {
        const QByteArray name = "log" + QByteArray::number(count++);
        vintorlog *log = nullptr;
        ASSERT_EQ(vintorlog_open(&log, folder.constData(), name.constData(), 1), VINTORLOG_OK);
        EXPECT_EQ(call(log), result) << what;
        EXPECT_STRNE(vintorlog_errmsg(log), "") << what;
        EXPECT_EQ(vintorlog_close(log), VINTORLOG_OK) << what;
        const MergedLog merged = merge(dir.path(), QString::fromLatin1(name));
        EXPECT_TRUE(merged.sendToKALDO && !readFile(merged.path).contains("<sessioncrashed>")) << what;
    }
    EXPECT_EQ(QDir(dir.path()).entryList({ "log11.*"_s }).size(), 10 + 1) << "ten parts and their full log";

    // No handle, a name that leaves the folder, a name taken: nothing is written.
    vintorlog *log = nullptr;
    EXPECT_EQ(vintorlog_begin_session(nullptr, &session), VINTORLOG_MISUSE);
    EXPECT_STREQ(vintorlog_errmsg(nullptr), "no log handle");
    for (const char *name : { "../outside", "log0", "" }) {
        EXPECT_NE(vintorlog_open(&log, folder.constData(), name, 1), VINTORLOG_OK) << name;
        EXPECT_EQ(vintorlog_close(log), VINTORLOG_OK);
    }
    EXPECT_EQ(QDir(dir.path() + "/.."_s).entryList({ "outside*"_s }), QStringList());
}

TEST(VintorLog, EscapesAsQtWrites)
{
    // A quote in an attribute value, text with "]]>", and characters beyond the BMP.
    const QString value = "a\"b<&>\t\n\U0001F600"_s;
    const QString text = "x\"y]]>\U0001F600\r\n"_s;
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
