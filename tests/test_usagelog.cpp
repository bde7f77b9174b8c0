// The merge and the filter on golden cases: data/merge/<case>/ holds part files with the expected
// full log, its indented copy and sessions; data/filter/<case>/ a log, a policy ("<productid>
// <type>" lines) and the expected filtered log. VINTOR_UPDATE_GOLDEN=1 rewrites expected files.

#include "logfilter.h"
#include "logmerger.h"
#include "processlogfile.h"
#include "testtools.h"
#include "xmlhelpers.h"

#include <QXmlStreamReader>

namespace {

const QString dataDir = QStringLiteral(VINTOR_TEST_DATA);

QString describe(const SessionInfo &s)
{
    return QString::asprintf("%d|%s|%d|%d|%s|%d|%d|%s|%s|%s", s.productID, qUtf8Printable(s.version), s.osPlatform,
                             s.osVersion, qUtf8Printable(s.servicePack), s.osBits, s.architecture,
                             qUtf8Printable(s.langID), qUtf8Printable(s.country), qUtf8Printable(s.locale));
}

QStringList caseNames(const QString &kind)
{
    return QDir(dataDir + QLatin1Char('/') + kind).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// Copies a case's part files into a fresh folder and merges them as the run would. With a file
// "refuse", the removal of the part it names fails, and the next run (the removal working again)
// is told in `next`; a file "limit" sets the longest run between two '<' that the merge carries,
// and a file "late" is a part that its writer adds after the folder was listed.
struct MergedCase
{
    QTemporaryDir folder;
    QList<MergedLog> logs;
    QList<SessionInfo> pending;
    QByteArray left; // after the merge
    QByteArray unfit; // the logs it could not carry
    QByteArray next;

    explicit MergedCase(const QString &caseDir)
    {
        LogGroups groups;
        for (const QString &name : QDir(caseDir).entryList({ "g.*"_s }, QDir::Files)) {
            QFile::copy(caseDir + QLatin1Char('/') + name, folder.filePath(name));
            groups["g"_s].insert(name);
        }
        if (QFile::exists(caseDir + "/late"_s))
            QFile::copy(caseDir + "/late"_s, folder.filePath("g.%1.xml"_s.arg(groups["g"_s].size())));
        LogMerger merger(QDir(folder.path()), QDir(folder.path()));
        const QString refused = QString::fromUtf8(readFile(caseDir + "/refuse"_s).trimmed());
        merger.refuseRemoval = [&](const QString &part) { return part == refused; };
        if (const QByteArray limit = readFile(caseDir + "/limit"_s); !limit.isEmpty())
            merger.textRunLimit = limit.trimmed().toLongLong();
        merger.mergeAll(groups, logs, pending);
        for (const MergedLog &log : qAsConst(merger.unfitLogs))
            unfit += "dropped " + QFileInfo(log.path).fileName().toUtf8() + ": " + log.unfit.toUtf8() + ", "
                     + QByteArray::number(log.sessions.size()) + " sessions\n";
        left = "left " + QDir(folder.path()).entryList(QDir::Files).join(' ').toUtf8() + '\n';
        if (refused.isEmpty())
            return;
        LogMerger later(QDir(folder.path()), QDir(folder.path()));
        QList<MergedLog> merged;
        QList<SessionInfo> sessions;
        later.mergeAll(listLogGroups(QDir(folder.path())), merged, sessions);
        next = "next run: " + QByteArray::number(merged.size()) + " merged, " + QByteArray::number(sessions.size())
               + " pending, broken removed: " + later.removedBroken.keys().join(' ').toUtf8() + '\n';
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

TEST(Merge, GoldenCases)
{
    const QStringList cases = caseNames("merge"_s);
    ASSERT_FALSE(cases.isEmpty());
    for (const QString &name : cases) {
        SCOPED_TRACE(name.toStdString());
        const QString caseDir = dataDir + "/merge/"_s + name;
        MergedCase merged(caseDir);

        QByteArray summary;
        for (const MergedLog &log : merged.logs) {
            summary += QFileInfo(log.path).fileName().toUtf8() + " schema=" + QByteArray::number(log.schema) + " kaldo="
                       + QByteArray::number(log.sendToKALDO) + " admin=" + QByteArray::number(log.sendToTIRO) + '\n';
            for (const SessionInfo &session : log.sessions)
                summary += describe(session).toUtf8() + '\n';
        }
        summary += "pending " + QByteArray::number(merged.pending.size()) + '\n';
        summary += merged.unfit + merged.left + merged.next;
        if (!merged.logs.isEmpty()) {
            // What the delivery makes of the log, every session asked for in full.
            QVector<PublishInstruction> details;
            for (const SessionInfo &session : merged.logs.first().sessions)
                details << testInstruction(session, Details, 4102444800);
            RecordingLogger logger;
            int posted = 0;
            QDir().mkpath(merged.folder.filePath("out"_s));
            const QString dropped
                = processMergedLog(merged.logs.first(), PublishIndex(details), QDir(merged.folder.filePath("out"_s)),
                                   QString(), &logger, [&](const QString &) { ++posted; });
            summary += "delivery: " + (dropped.isEmpty() ? QByteArray::number(posted) + " posted" : dropped.toUtf8())
                       + '\n';
        }
        expectGolden(caseDir + "/expected.sessions"_s, summary);
        const QByteArray full = readFile(merged.folder.filePath("g.full.xml"_s));
        if (merged.logs.isEmpty()) {
            EXPECT_TRUE(full.isEmpty() || !merged.next.isEmpty()) << "only the next run's";
            continue;
        }
        expectGolden(caseDir + "/expected.full.xml"_s, full);
        // The debug folder's indented copy of the full log.
        writePrettyCopy(merged.folder.filePath("g.full.xml"_s), merged.folder.filePath("pretty.xml"_s));
        expectGolden(caseDir + "/expected.pretty.xml"_s, readFile(merged.folder.filePath("pretty.xml"_s)));
        writePrettyCopy(merged.folder.filePath("missing.xml"_s), merged.folder.filePath("pretty.xml"_s));
        EXPECT_TRUE(QFileInfo::exists(merged.folder.filePath("pretty.xml"_s))) << "a missing source leaves it";
    }
}

TEST(Filter, GoldenCases)
{
    const QStringList cases = caseNames("filter"_s);
    ASSERT_FALSE(cases.isEmpty());
    for (const QString &name : cases) {
        SCOPED_TRACE(name.toStdString());
        const QString caseDir = dataDir + "/filter/"_s + name;
        MergedCase merged(caseDir);
        ASSERT_EQ(merged.logs.size(), 1);
        const MergedLog &log = merged.logs.first();

        QMap<int, PublishType> policy;
        for (const QByteArray &line : readFile(caseDir + "/policy"_s).split('\n')) {
            const QList<QByteArray> words = line.split(' ');
            if (words.size() == 2)
                policy.insert(words.at(0).toInt(), parsePublishType(QString::fromLatin1(words.at(1))));
        }
        // An unrelated instruction first, and a later duplicate that must not win.
        QVector<PublishInstruction> instructions { testInstruction(testSession(1000), Details, -1) };
        for (const SessionInfo &session : log.sessions) {
            if (policy.contains(session.productID))
                instructions << testInstruction(session, policy.value(session.productID), 4102444800)
                             << testInstruction(session, InvalidPublishType, 4102444800);
        }

        QFile input(log.path);
        ASSERT_TRUE(input.open(QIODevice::ReadOnly));
        QBuffer output;
        output.open(QIODevice::WriteOnly);
        LogFilter filter(&input, &output, log);
        const FilterResult result = filter.run(instructions);
        const QList<QByteArray> expected = readFile(caseDir + "/result"_s).split('\n');
        EXPECT_EQ(result, expected.value(0).toInt());
        EXPECT_EQ(filter.errorString().toUtf8(), expected.value(1));
        if (result == Published || result == NothingPublished)
            expectGolden(caseDir + "/expected.xml"_s, output.data());

        // Whatever happened, no text that stood inside `anon` left in clear.
        for (const QString &secret : anonTexts(readFile(log.path)))
            EXPECT_FALSE(output.data().contains(secret.toUtf8())) << secret.toStdString();
    }
}
