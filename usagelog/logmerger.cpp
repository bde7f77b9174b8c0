#include "logmerger.h"

#include "filelock.h"
#include "usagelogname.h"
#include "xmlhelpers.h"
#include "xmloutput.h"

#include <QFile>
#include <QVector>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace {

const QString leadingComment = QStringLiteral(
    "This file is produced when either of the Zadazevi Rerevarazu Program or the KALDO Vivariravizida "
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

// Probes the lock of every part and checks the numbering. False when a writer holds a part;
// `broken` tells a group whose numbering is off.
bool LogMerger::isGroupReady(const std::set<QString> &fileNames, bool &broken) const
{
    broken = false;
    unsigned index = 0;
    for (const QString &name : fileNames) {
        {
            FileLock lock(m_partsDir.absoluteFilePath(name).toUtf8().toStdString());
            if (!lock.tryLock(0))
                return false;
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

void LogMerger::removeFiles(const std::set<QString> &fileNames) const
{
    for (const QString &name : fileNames)
        QFile::remove(m_partsDir.absoluteFilePath(name));
}

void LogMerger::mergeAll(const LogGroups &groups, QList<MergedLog> &mergedLogs, QList<SessionInfo> &sessions)
{
    for (auto group = groups.cbegin(); group != groups.cend(); ++group) {
        bool broken = false;
        if (!isGroupReady(group.value(), broken))
            continue; // a writer is busy with it: the whole group waits for a later run
        if (broken) {
            removeFiles(group.value());
            continue;
        }
        const MergedLog merged = mergeGroup(group.key(), group.value());
        // Parts that could not be merged stay for a later run; only a full log that exists
        // lets them go.
        if (merged.path.isEmpty())
            continue;
        mergedLogs.append(merged);
        if (merged.sendToKALDO)
            sessions.append(merged.sessions);
        removeFiles(group.value());
    }
}

MergedLog LogMerger::mergeGroup(const QString &groupName, const std::set<QString> &fileNames)
{
    MergedLog result;
    QFile output(m_outputDir.absoluteFilePath(groupName + QLatin1String(".full.xml")));
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return MergedLog();
    XmlOutput xml(&output);
    QXmlStreamWriter &writer = xml.writer();
    xml.writeDeclaration();
    writer.writeCharacters(QStringLiteral("\n"));
    writer.writeComment(leadingComment);
    writer.writeCharacters(QStringLiteral("\n"));
    writer.writeStartElement(usageLogName(UsageLogName::kaldousage));

    const QString rootName = usageLogName(UsageLogName::kaldousage);
    const QString sessionName = usageLogName(UsageLogName::session);
    // The elements written and still open, the root excepted; true marks a `session`.
    QVector<bool> openElements;
    bool stop = false;
    QString sessionId;
    SessionInfo current;

    auto storeText = [&](UsageLogName name, const QString &text) {
        switch (name) {
        case UsageLogName::country: current.country = text; break;
        case UsageLogName::locale: current.locale = text; break;
        case UsageLogName::productversion: current.version = text; break;
        case UsageLogName::osservicepack: current.servicePack = text; break;
        case UsageLogName::productlanguage: current.langID = text; break;
        case UsageLogName::productid: current.productID = toIntOrZero(text); break;
        case UsageLogName::osplatform: current.osPlatform = toIntOrZero(text); break;
        case UsageLogName::osversion: current.osVersion = toIntOrZero(text); break;
        case UsageLogName::cpuarchitecture: current.architecture = toIntOrZero(text); break;
        case UsageLogName::osbits: current.osBits = toIntOrZero(text); break;
        default: break;
        }
    };

    int partIndex = 0;
    const int lastPart = static_cast<int>(fileNames.size()) - 1;
    for (auto name = fileNames.cbegin(); name != fileNames.cend() && !stop; ++name, ++partIndex) {
        QFile part(m_partsDir.absoluteFilePath(*name));
        if (!part.open(QIODevice::ReadOnly))
            return failedOutput(output);
        const bool firstPart = partIndex == 0;
        QXmlStreamReader reader(&part);
        while (!reader.atEnd() && !stop) {
            if (!xml.flushIfFull())
                return failedOutput(output);
            const QXmlStreamReader::TokenType token = reader.readNext();
            if (token == QXmlStreamReader::Invalid)
                break;
            if (token == QXmlStreamReader::StartElement) {
                UsageLogName known;
                const bool isKnown = lookupUsageLogName(reader.name(), known);
                if (!isKnown) {
                    writer.writeCurrentToken(reader);
                    openElements.append(false);
                    continue;
                }
                switch (known) {
                case UsageLogName::schema:
                    if (!firstPart)
                        skipCurrentElement(reader);
                    else
                        result.schema = toIntOrZero(copyTextElement(reader, writer));
                    break;
                case UsageLogName::loguuid:
                    if (!firstPart)
                        skipCurrentElement(reader);
                    else {
                        writer.writeCurrentToken(reader);
                        openElements.append(false);
                    }
                    break;
                case UsageLogName::logsequence:
                    skipCurrentElement(reader);
                    break;
                case UsageLogName::kaldousage:
                    break;
                case UsageLogName::session:
                    if (sessionId.isEmpty()) {
                        writer.writeCurrentToken(reader);
                        openElements.append(true);
                    }
                    break;
                case UsageLogName::sessionuuid: {
                    const QString id = readElementTextOnly(reader);
                    const QLatin1String uuidName = usageLogName(UsageLogName::sessionuuid);
                    if (sessionId.isEmpty()) {
                        sessionId = id;
                        writer.writeTextElement(uuidName, id);
                    } else if (id != sessionId) {
                        // A new session: close the one written so far. Its `session` entry
                        // on the stack now stands for the new one.
                        writer.writeEndElement();
                        result.sessions.append(current);
                        current = SessionInfo::zeroed();
                        writer.writeStartElement(usageLogName(UsageLogName::session));
                        sessionId = id;
                        writer.writeTextElement(uuidName, id);
                    }
                    break;
                }
                case UsageLogName::logfinal:
                    if (readElementTextOnly(reader) == QLatin1String("true")) {
                        result.sessions.append(current);
                        stop = true;
                    }
                    break;
                case UsageLogName::logstatus: {
                    const QXmlStreamAttributes attributes = reader.attributes();
                    result.sendToTIRO = attributes.value(logStatusAdminAttribute) == QLatin1String("true");
                    result.sendToKALDO = attributes.value(logStatusKaldoAttribute) == QLatin1String("true");
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
                case UsageLogName::osbits:
                    storeText(known, copyTextElement(reader, writer));
                    break;
                default:
                    writer.writeCurrentToken(reader);
                    openElements.append(false);
                    break;
                }
                continue;
            }
            switch (token) {
            case QXmlStreamReader::EndElement:
                if (reader.name() == rootName) {
                    if (partIndex == lastPart && (result.sessions.isEmpty() || result.sessions.last() != current))
                        result.sessions.append(current);
                } else if (reader.name() == sessionName) {
                    // Sessions end where the next one begins, or at the document end.
                } else if (!openElements.isEmpty()) {
                    writer.writeEndElement();
                    openElements.removeLast();
                }
                break;
            case QXmlStreamReader::Characters:
            case QXmlStreamReader::DTD:
            case QXmlStreamReader::EntityReference:
            case QXmlStreamReader::ProcessingInstruction:
                writer.writeCurrentToken(reader);
                break;
            default:
                break;
            }
        }
        if (reader.hasError()) {
            // The part ends in the middle: close what is open, marking the session as
            // crashed, and read no further part.
            while (!openElements.isEmpty()) {
                if (openElements.last())
                    writer.writeTextElement(usageLogName(UsageLogName::sessioncrashed), QStringLiteral("1"));
                writer.writeEndElement();
                openElements.removeLast();
            }
            break;
        }
    }

    writer.writeEndDocument();
    if (!xml.flush() || !output.flush())
        return failedOutput(output);
    output.close();
    if (output.error() != QFileDevice::NoError)
        return failedOutput(output);
    result.path = output.fileName();
    return result;
}
