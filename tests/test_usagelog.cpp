// The usage log stream helpers, the merge and the filter, driven by golden files:
// data/merge/<case>/ holds part files with the expected full log and session list,
// data/filter/<case>/ a log with a policy ("<productid> <type>" lines) and the expected
// filtered log. VINTOR_UPDATE_GOLDEN=1 rewrites the expected files.

#include "logfilter.h"
#include "logmerger.h"
#include "testtools.h"
#include "xmlhelpers.h"
#include "xmloutput.h"

#include <QBuffer>
#include <QDir>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

namespace {

const QString dataDir = QStringLiteral(VINTOR_TEST_DATA);

bool updateGolden()
{
    return qEnvironmentVariableIntValue("VINTOR_UPDATE_GOLDEN") == 1;
}

void expectGolden(const QString &path, const QByteArray &actual)
{
    if (updateGolden())
        writeFile(path, actual);
    EXPECT_EQ(QString::fromUtf8(actual).toStdString(), QString::fromUtf8(readFile(path)).toStdString()) << path.toStdString();
}

QString describe(const SessionInfo &s)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6|%7|%8|%9|%10")
        .arg(s.productID)
        .arg(s.version)
        .arg(s.osPlatform)
        .arg(s.osVersion)
        .arg(s.servicePack)
        .arg(s.osBits)
        .arg(s.architecture)
        .arg(s.langID, s.country, s.locale);
}

QStringList caseNames(const QString &kind)
{
    return QDir(dataDir + QLatin1Char('/') + kind).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// Copies a case's part files into a fresh folder and merges them as the run would.
struct MergedCase
{
    QTemporaryDir folder;
    QList<MergedLog> logs;
    QList<SessionInfo> pending;

    explicit MergedCase(const QString &caseDir)
    {
        LogGroups groups;
        for (const QString &name : QDir(caseDir).entryList({ QStringLiteral("g.*") }, QDir::Files)) {
            QFile::copy(caseDir + QLatin1Char('/') + name, folder.filePath(name));
            groups[QStringLiteral("g")].insert(name);
        }
        LogMerger(QDir(folder.path()), QDir(folder.path())).mergeAll(groups, logs, pending);
    }
};

QStringList anonTexts(const QByteArray &document)
{
    QStringList texts;
    QXmlStreamReader reader(document);
    int anonDepth = 0;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QLatin1String("anon"))
            ++anonDepth;
        else if (reader.isEndElement() && reader.name() == QLatin1String("anon"))
            --anonDepth;
        else if (reader.isCharacters() && anonDepth > 0 && !reader.text().trimmed().isEmpty())
            texts.append(reader.text().toString());
    }
    return texts;
}

} // namespace

TEST(StreamHelpers, ReadElementTextOnly)
{
    QXmlStreamReader reader(QStringLiteral("<r>text<a>x<!--c-->y</a><b>x<e/>y</b></r>"));
    while (!reader.isCharacters())
        reader.readNext();
    EXPECT_TRUE(readElementTextOnly(reader).isNull()) << "character data is not a start element";
    EXPECT_TRUE(reader.isCharacters()) << "and nothing was read";
    reader.readNext(); // a
    EXPECT_EQ(readElementTextOnly(reader), QStringLiteral("xy"));
    EXPECT_TRUE(reader.isEndElement());
    EXPECT_TRUE(readElementTextOnly(reader).isNull());
    EXPECT_TRUE(reader.isEndElement()) << "a call on an end tag reads nothing";
    reader.readNext(); // b
    EXPECT_EQ(readElementTextOnly(reader), QStringLiteral("x"));
    EXPECT_EQ(reader.errorString(), QStringLiteral("Got start element; expected only character data."));
    reader.readNext();
    EXPECT_TRUE(reader.atEnd()) << "a raised error stops the reader";

    QXmlStreamReader cut(QStringLiteral("<r><a>x<!--c-->y"));
    while (!cut.isStartElement() || cut.name() != QLatin1String("a"))
        cut.readNext();
    EXPECT_EQ(readElementTextOnly(cut), QStringLiteral("x"));
    EXPECT_TRUE(cut.hasError());
}

TEST(StreamHelpers, SkipCurrentElementCountsDepthOnly)
{
    QXmlStreamReader reader(QStringLiteral("<r><a><a/></a><b/>text</r>"));
    while (reader.name() != QLatin1String("a"))
        reader.readNext();
    skipCurrentElement(reader);
    EXPECT_TRUE(reader.isEndElement());
    reader.readNext();
    EXPECT_TRUE(reader.isStartElement());
    EXPECT_EQ(reader.name(), QLatin1String("b"));
    reader.readNext();
    reader.readNext(); // text
    ASSERT_TRUE(reader.isCharacters());
    skipCurrentElement(reader);
    EXPECT_EQ(reader.errorString(), QStringLiteral("Called skipCurrentElement() while not on a start element"));
}

TEST(StreamHelpers, CopyTextElementWritesTheElementAndReturnsItsText)
{
    QXmlStreamReader reader(QStringLiteral("<r><a k=\"v\">t&amp;u</a></r>"));
    reader.readNext();
    reader.readNext();
    reader.readNext();
    XmlOutput writer;
    EXPECT_EQ(copyTextElement(reader, writer), QStringLiteral("t&u"));
    EXPECT_EQ(writer.bytes(), QByteArray("<a k=\"v\">t&amp;u</a>"));
}

TEST(StreamHelpers, PrettyCopyLayout)
{
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("in.xml")), "<?xml version=\"1.0\"?><r><s>t</s><u/></r>");
    writePrettyCopy(dir.filePath(QStringLiteral("in.xml")), dir.filePath(QStringLiteral("out.xml")));
    EXPECT_EQ(readFile(dir.filePath(QStringLiteral("out.xml"))).toStdString(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r>\n    <s>t</s>\n    <u/>\n</r>");

    writePrettyCopy(dir.filePath(QStringLiteral("missing.xml")), dir.filePath(QStringLiteral("out.xml")));
    EXPECT_FALSE(readFile(dir.filePath(QStringLiteral("out.xml"))).isEmpty()) << "a missing source leaves the target";
}

TEST(Merge, GoldenCases)
{
    const QStringList cases = caseNames(QStringLiteral("merge"));
    ASSERT_FALSE(cases.isEmpty());
    for (const QString &name : cases) {
        SCOPED_TRACE(name.toStdString());
        const QString caseDir = dataDir + QStringLiteral("/merge/") + name;
        MergedCase merged(caseDir);

        QByteArray summary;
        for (const MergedLog &log : merged.logs) {
            summary += QStringLiteral("%1 schema=%2 kaldo=%3 admin=%4\n")
                           .arg(QFileInfo(log.path).fileName())
                           .arg(log.schema)
                           .arg(log.sendToKALDO)
                           .arg(log.sendToTIRO)
                           .toUtf8();
            for (const SessionInfo &session : log.sessions)
                summary += describe(session).toUtf8() + '\n';
        }
        summary += "pending " + QByteArray::number(merged.pending.size()) + '\n';
        summary += "left " + QDir(merged.folder.path()).entryList(QDir::Files).join(' ').toUtf8() + '\n';
        expectGolden(caseDir + QStringLiteral("/expected.sessions"), summary);
        const QByteArray full = readFile(merged.folder.filePath(QStringLiteral("g.full.xml")));
        if (!merged.logs.isEmpty())
            expectGolden(caseDir + QStringLiteral("/expected.full.xml"), full);
        else
            EXPECT_TRUE(full.isEmpty());
    }
}

TEST(Filter, GoldenCases)
{
    const QStringList cases = caseNames(QStringLiteral("filter"));
    ASSERT_FALSE(cases.isEmpty());
    for (const QString &name : cases) {
        SCOPED_TRACE(name.toStdString());
        const QString caseDir = dataDir + QStringLiteral("/filter/") + name;
        MergedCase merged(caseDir);
        ASSERT_EQ(merged.logs.size(), 1);
        const MergedLog &log = merged.logs.first();

        QMap<int, PublishType> policy;
        for (const QByteArray &line : readFile(caseDir + QStringLiteral("/policy")).split('\n')) {
            const QList<QByteArray> words = line.split(' ');
            if (words.size() == 2)
                policy.insert(words.at(0).toInt(), parsePublishType(QString::fromLatin1(words.at(1))));
        }
        QVector<PublishInstruction> instructions;
        // An unrelated instruction first, and a later duplicate that must not win.
        PublishInstruction unrelated;
        unrelated.productID = 1000;
        unrelated.publish = Details;
        instructions.append(unrelated);
        for (const SessionInfo &session : log.sessions) {
            if (!policy.contains(session.productID))
                continue;
            PublishInstruction instruction;
            static_cast<SessionInfo &>(instruction) = session;
            instruction.publish = policy.value(session.productID);
            instruction.publishUntil = 4102444800;
            instructions.append(instruction);
            instruction.publish = InvalidPublishType;
            instructions.append(instruction);
        }

        QFile input(log.path);
        ASSERT_TRUE(input.open(QIODevice::ReadOnly));
        QBuffer output;
        output.open(QIODevice::WriteOnly);
        LogFilter filter(&input, &output, log);
        const FilterResult result = filter.run(instructions);
        const QList<QByteArray> expected = readFile(caseDir + QStringLiteral("/result")).split('\n');
        EXPECT_EQ(result, expected.value(0).toInt());
        EXPECT_EQ(filter.errorString().toUtf8(), expected.value(1));
        if (result == Published || result == NothingPublished)
            expectGolden(caseDir + QStringLiteral("/expected.xml"), output.data());

        // Whatever happened, no text that stood inside `anon` left in clear.
        for (const QString &secret : anonTexts(readFile(log.path)))
            EXPECT_FALSE(output.data().contains(secret.toUtf8())) << secret.toStdString();
    }
}

TEST(Filter, InputCutInTheMiddleFailsWithTheReaderError)
{
    QBuffer input;
    input.setData("<?xml version=\"1.0\"?><kaldousage><schema>3</sch");
    input.open(QIODevice::ReadOnly);
    QBuffer output;
    output.open(QIODevice::WriteOnly);
    MergedLog log;
    LogFilter filter(&input, &output, log);
    EXPECT_EQ(filter.run({}), Failed);
    EXPECT_FALSE(filter.errorString().isEmpty());
    EXPECT_NE(filter.errorString(), QStringLiteral("No parse error; publish instruction received from server is invalid."));
}

TEST(Filter, AnonymisedTextIsTheBase64OfItsMd5)
{
    // Known answers computed outside the program; the UTF-8 bytes are digested.
    const QString plain = QStringLiteral("jdoe");
    const QString accented = QString::fromUtf8("J\xc3\xbcrgen");
    EXPECT_EQ(anonymise(plain.midRef(0)), QStringLiteral("oxQF0nK5Tl0S6aUqZl07/g=="));
    EXPECT_EQ(anonymise(accented.midRef(0)), QStringLiteral("669DL+HV/DPv+qcter0+Ow=="));
}
