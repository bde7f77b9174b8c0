#include "logmerger.h"

#include "fileclaim.h"
#include "filelock.h"
#include "logfolder.h"
#include "usagelogname.h"
#include "xmlhelpers.h"
#include "xmloutput.h"

#include <QFile>
#include <QVector>
#include <QXmlStreamReader>

#include <cstring>

namespace {

const QString leadingComment
    = QStringLiteral("This file is produced when either of the Zadazevi Rerevarazu Program or the KALDO Vivariravizida "
                     "Vezadod have been enabled.  Any personally-identifying data, or data appearing inside "
                     "<anon>...</anon> tags will be anonymized before being sent to KALDO.");

bool isUnsignedDecimal(const QString &text, unsigned expected)
{
    if (text.isEmpty())
        return false;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    const unsigned value = text.toUInt(&ok, 10);
    return ok && value == expected;
}

// A text that is not exactly a decimal number (white space around it included) reads as 0.
int toIntOrZero(const QString &text)
{
    qint32 value = 0;
    return toStrictNumber(text, value) ? value : 0;
}

// A full log that could not be written whole (a full disk, say) is no full log: it is removed,
// and the parts stay for a later run.
MergedLog failedOutput(QFile &output)
{
    output.close();
    output.remove();
    return MergedLog();
}

} // namespace

LogMerger::LogMerger(const QDir &partsDir, const QDir &outputDir)
    : m_partsDir(partsDir)
    , m_outputDir(outputDir)
{
}

// Probes the lock of every part and checks the numbering. False when a writer holds a part, or
// when a part's lock cannot be made at all (noted in `kept`); `broken` tells a group
// whose numbering is off.
bool LogMerger::isGroupReady(const QString &groupName, const std::set<QString> &fileNames, bool &broken)
{
    broken = false;
    unsigned index = 0;
    for (const QString &name : fileNames) {
        {
            FileLock lock(m_partsDir.absoluteFilePath(name).toUtf8().toStdString());
            if (!lock.tryLock(0)) {
                if (lock.makeError() != 0)
                    kept.insert(groupName, QStringLiteral("the lock of its part ") + name
                                               + QStringLiteral(" (system error ") + QString::number(lock.makeError())
                                               + QStringLiteral(") cannot be made"));
                return false;
            }
        }
        const QStringList pieces = name.split(QLatin1Char('.'), Qt::KeepEmptyParts);
        if (!(pieces.size() == 2 && fileNames.size() == 1) && pieces.size() >= 2
            && !isUnsignedDecimal(pieces.at(1), index))
            broken = true;
        if (broken)
            return true;
        ++index;
    }
    return true;
}

// Waits out a moment's hold of each part, within the run's budget.
bool LogMerger::claimGroup(const QString &groupName, const std::set<QString> &fileNames, std::vector<FileClaim> &claims)
{
    claims.clear();
    claims.reserve(fileNames.size());
    for (const QString &name : fileNames) {
        claims.emplace_back(m_partsDir.absoluteFilePath(name).toStdWString());
        if (!claimWithinRun(claims.back())) {
            if (claims.back().denied())
                kept.insert(groupName, QStringLiteral("this account may not remove its part ") + name
                                           + QStringLiteral(" (") + QString::fromStdString(claims.back().errorString())
                                           + QLatin1Char(')'));
            claims.clear();
            return false;
        }
    }
    return true;
}

bool LogMerger::removeClaimed(const std::set<QString> &fileNames, std::vector<FileClaim> &claims,
                              bool firstDecides) const
{
    bool removed = true;
    auto name = fileNames.cbegin();
    for (FileClaim &claim : claims) {
        // Claimed: only a fault of the system itself keeps it.
        const bool gone = !(refuseRemoval && refuseRemoval(*name++)) && claim.remove();
        if (!gone && firstDecides && &claim == &claims.front())
            return false;
        removed = gone && removed;
    }
    return removed || firstDecides;
}

LogGroups listLogGroups(const QDir &dir, QStringList *fullLogs)
{
    LogGroups groups;
    // Qt counts a POSIX name that begins with a dot as hidden, but the writers may use one (it
    // joins the group with the empty name), so hidden and system files are left out by the
    // system's own marks, which only Windows has.
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden)) {
        if (isHiddenOrSystemFile(dir.absoluteFilePath(name).toStdWString()))
            continue;
        const QStringList pieces = name.split(QLatin1Char('.'), Qt::KeepEmptyParts);
        if (pieces.size() == 3 && pieces.at(1) == QLatin1String("full")) {
            if (fullLogs)
                fullLogs->append(name);
        } else if (pieces.size() >= 2) {
            groups[pieces.at(0)].insert(name);
        }
    }
    return groups;
}

void LogMerger::mergeAll(const LogGroups &groups, QList<MergedLog> &mergedLogs, QList<SessionInfo> &sessions)
{
    QList<LogGroups::const_iterator> ready;
    for (auto group = groups.cbegin(); group != groups.cend(); ++group) {
        bool broken = false;
        if (!isGroupReady(group.key(), group.value(), broken))
            continue; // a writer is busy with it: the whole group waits for a later run
        std::vector<FileClaim> claims;
        if (!broken)
            ready.append(group);
        else if (claimGroup(group.key(), group.value(), claims) && removeClaimed(group.value(), claims, false))
            removedBroken.insert(group.key(), group.value());
    }
    // A writer hands a log over part by part: the next part exists before the previous one is
    // released. A group whose listed parts are all free but which has gained a part since the
    // listing is still being written, and waits for a later run.
    const LogGroups now = ready.isEmpty() ? LogGroups() : listLogGroups(m_partsDir);
    for (const auto &group : qAsConst(ready)) {
        if (now.value(group.key()) != group.value())
            continue;
        // A part that another process holds past the wait, or that the user cannot remove,
        // keeps the whole group untouched for a later run.
        std::vector<FileClaim> claims;
        if (!claimGroup(group.key(), group.value(), claims))
            continue;
        const MergedLog merged = mergeClaimed(group.key(), claims);
        // Parts that could not be merged stay for a later run; only a full log that exists
        // lets them go, the first (".0.xml") first. While it stays, a later run can merge the log
        // again: it does not count now, and its full log goes. Once it is gone, parts left behind
        // never make a log again: a later run finds their numbering broken and removes them.
        if (merged.path.isEmpty())
            continue;
        if (!removeClaimed(group.value(), claims, true)) {
            (void)removeFile(merged.path.toStdWString());
            continue;
        }
        if (!merged.unfit.isEmpty()) {
            unfitLogs.append(merged);
            continue;
        }
        mergedLogs.append(merged);
        if (merged.sendToKALDO)
            sessions.append(merged.sessions);
    }
}

namespace {

// The state of one group's merge: what is open in the output, the session being copied and
// what has been learnt of the log so far. One handler per kind of token.
class GroupMerge
{
public:
    GroupMerge(XmlOutput &output, MergedLog &result)
        : m_out(output)
        , m_result(result)
    {
    }

    // Copies one part. False when the output refused a write; a part that ends in the
    // middle is left to the reader's error state.
    bool copyPart(QXmlStreamReader &reader, bool firstPart, bool lastPart);
    // The part ended in the middle: closes what is open, marking the session as crashed.
    void closeCrashed();
    bool stopped() const { return m_stop; }

private:
    void startElement(QXmlStreamReader &reader, bool firstPart);
    void endElement(const QXmlStreamReader &reader, bool lastPart);
    void sessionUuid(QXmlStreamReader &reader);
    void copyOpen(const QXmlStreamReader &reader, bool isSession = false);
    void storeText(UsageLogName name, const QString &text);

    XmlOutput &m_out;
    MergedLog &m_result;
    // The elements written and still open, the root excepted; true marks a `session`.
    QVector<bool> m_openElements;
    QString m_sessionId;
    SessionInfo m_current;
    bool m_stop = false;
};

bool GroupMerge::copyPart(QXmlStreamReader &reader, bool firstPart, bool lastPart)
{
    while (!reader.atEnd() && !m_stop) {
        if (!m_out.flushIfFull())
            return false;
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: startElement(reader, firstPart); break;
        case QXmlStreamReader::EndElement: endElement(reader, lastPart); break;
        case QXmlStreamReader::Characters:
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::EntityReference:
        case QXmlStreamReader::ProcessingInstruction: m_out.writeCurrentToken(reader); break;
        default: break;
        }
    }
    return true;
}

void GroupMerge::copyOpen(const QXmlStreamReader &reader, bool isSession)
{
    m_out.writeCurrentToken(reader);
    m_openElements.append(isSession);
}

void GroupMerge::startElement(QXmlStreamReader &reader, bool firstPart)
{
    UsageLogName known;
    if (!lookupUsageLogName(reader.name(), known) || !steersHarvest(known)) {
        copyOpen(reader);
        return;
    }
    switch (known) {
    case UsageLogName::schema:
        if (firstPart)
            m_result.schema = toIntOrZero(copyTextElement(reader, m_out));
        else
            skipCurrentElement(reader);
        break;
    case UsageLogName::loguuid:
        if (firstPart)
            copyOpen(reader);
        else
            skipCurrentElement(reader);
        break;
    case UsageLogName::logsequence: skipCurrentElement(reader); break;
    case UsageLogName::kaldousage: break;
    case UsageLogName::session:
        if (m_sessionId.isEmpty())
            copyOpen(reader, true);
        break;
    case UsageLogName::sessionuuid: sessionUuid(reader); break;
    case UsageLogName::logfinal:
        if (readElementTextOnly(reader) == QLatin1String("true")) {
            m_result.sessions.append(m_current);
            m_stop = true;
        }
        break;
    case UsageLogName::logstatus: {
        const QXmlStreamAttributes attributes = reader.attributes();
        m_result.sendToTIRO = attributes.value(logStatusAdminAttribute) == QLatin1String("true");
        m_result.sendToKALDO = attributes.value(logStatusKaldoAttribute) == QLatin1String("true");
        skipCurrentElement(reader);
        break;
    }
    case UsageLogName::country:
    case UsageLogName::locale:
    case UsageLogName::productversion:
    case UsageLogName::osservicepack:
    case UsageLogName::productlanguage:
    case UsageLogName::productid:
    case UsageLogName::osplatform:
    case UsageLogName::osversion:
    case UsageLogName::cpuarchitecture:
    case UsageLogName::osbits: storeText(known, copyTextElement(reader, m_out)); break;
    default: copyOpen(reader); break;
    }
}

// A session spans parts: a `sessionuuid` equal to the one open continues it, another one
// closes it and opens the next.
void GroupMerge::sessionUuid(QXmlStreamReader &reader)
{
    const QString id = readElementTextOnly(reader);
    const QLatin1String uuidName = usageLogName(UsageLogName::sessionuuid);
    // Only a `sessionuuid` right inside a session names one; elsewhere it is copied as it
    // stands, so that it can neither close what is open nor hide the next session.
    if (m_openElements.isEmpty() || !m_openElements.last()) {
        m_out.writeTextElement(uuidName, id);
    } else if (m_sessionId.isEmpty()) {
        m_sessionId = id;
        m_out.writeTextElement(uuidName, id);
    } else if (id != m_sessionId) {
        // The `session` entry on the stack now stands for the new session.
        m_out.writeEndElement();
        m_result.sessions.append(m_current);
        m_current = SessionInfo::zeroed();
        m_out.writeStartElement(usageLogName(UsageLogName::session));
        m_sessionId = id;
        m_out.writeTextElement(uuidName, id);
    }
}

void GroupMerge::endElement(const QXmlStreamReader &reader, bool lastPart)
{
    if (reader.name() == usageLogName(UsageLogName::kaldousage)) {
        if (lastPart && (m_result.sessions.isEmpty() || m_result.sessions.last() != m_current))
            m_result.sessions.append(m_current);
    } else if (reader.name() == usageLogName(UsageLogName::session)) {
        // Sessions end where the next one begins, or at the document end.
    } else if (!m_openElements.isEmpty()) {
        m_out.writeEndElement();
        m_openElements.removeLast();
    }
}

void GroupMerge::closeCrashed()
{
    while (!m_openElements.isEmpty()) {
        if (m_openElements.last())
            m_out.writeTextElement(usageLogName(UsageLogName::sessioncrashed), u"1");
        m_out.writeEndElement();
        m_openElements.removeLast();
    }
}

void GroupMerge::storeText(UsageLogName name, const QString &text)
{
    switch (name) {
    case UsageLogName::country: m_current.country = text; break;
    case UsageLogName::locale: m_current.locale = text; break;
    case UsageLogName::productversion: m_current.version = text; break;
    case UsageLogName::osservicepack: m_current.servicePack = text; break;
    case UsageLogName::productlanguage: m_current.langID = text; break;
    case UsageLogName::productid: m_current.productID = toIntOrZero(text); break;
    case UsageLogName::osplatform: m_current.osPlatform = toIntOrZero(text); break;
    case UsageLogName::osversion: m_current.osVersion = toIntOrZero(text); break;
    case UsageLogName::cpuarchitecture: m_current.architecture = toIntOrZero(text); break;
    case UsageLogName::osbits: m_current.osBits = toIntOrZero(text); break;
    default: break;
    }
}

} // namespace

namespace {

// A claimed part, read through the claim's own handle: while the claim holds it, Windows lets no
// handle open it that does not share its deletion, and Qt's files do not.
// A run between two '<' longer than `runLimit` ends the reading: the reader would hold it whole.
class ClaimedPart : public QIODevice
{
public:
    ClaimedPart(FileClaim &claim, qint64 runLimit)
        : m_claim(claim)
        , m_runLimit(runLimit)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    // A part that could not be read whole is no cut-off part: the merge fails and it stays.
    bool readFailed() const { return m_failed; }
    bool runTooLong() const { return m_tooLong; }

protected:
    qint64 readData(char *data, qint64 size) override
    {
        if (runTooLong())
            return -1;
        const int64_t got = m_claim.read(data, size);
        m_failed = m_failed || got < 0;
        for (const char *p = data, *end = data + qMax<int64_t>(got, 0); p < end && !m_tooLong;) {
            const auto *open = static_cast<const char *>(std::memchr(p, '<', static_cast<size_t>(end - p)));
            m_run += (open ? open : end) - p;
            m_tooLong = m_run > m_runLimit;
            m_run = open ? 0 : m_run;
            p = open ? open + 1 : end;
        }
        return m_tooLong ? -1 : got;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    FileClaim &m_claim;
    qint64 m_runLimit;
    qint64 m_run = 0;
    bool m_tooLong = false;
    bool m_failed = false;
};

} // namespace

MergedLog LogMerger::mergeGroup(const QString &groupName, const std::set<QString> &fileNames)
{
    std::vector<FileClaim> claims;
    return claimGroup(groupName, fileNames, claims) ? mergeClaimed(groupName, claims) : MergedLog();
}

MergedLog LogMerger::mergeClaimed(const QString &groupName, std::vector<FileClaim> &claims)
{
    MergedLog result;
    QFile output(m_outputDir.absoluteFilePath(groupName + QLatin1String(".full.xml")));
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return MergedLog();
    XmlOutput xml(&output);
    xml.writeDeclaration();
    xml.writeCharacters(u"\n");
    xml.writeComment(leadingComment);
    xml.writeCharacters(u"\n");
    xml.writeStartElement(usageLogName(UsageLogName::kaldousage));

    GroupMerge merge(xml, result);
    for (size_t i = 0; i < claims.size() && !merge.stopped(); ++i) {
        ClaimedPart part(claims[i], textRunLimit);
        QXmlStreamReader reader(&part);
        const bool copied = merge.copyPart(reader, i == 0, i + 1 == claims.size());
        if (part.runTooLong()) {
            failedOutput(output);
            result.path = output.fileName();
            result.unfit = QStringLiteral("it holds a text or a tag longer than the harvest carries (%1 bytes)")
                               .arg(textRunLimit);
            return result;
        }
        if (!copied || part.readFailed())
            return failedOutput(output);
        if (reader.hasError()) {
            // A part that ends in the middle is the last one read.
            merge.closeCrashed();
            result.cutOff = true;
            break;
        }
    }

    xml.writeEndDocument();
    if (!xml.flush() || !output.flush())
        return failedOutput(output);
    output.close();
    if (output.error() != QFileDevice::NoError)
        return failedOutput(output);
    result.path = output.fileName();
    return result;
}
