#include "logfilter.h"

#include "usagelogname.h"
#include "xmlhelpers.h"
#include "xmloutput.h"

#include <QCryptographicHash>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace {

const QString invalidInstructionText
    = QStringLiteral("No parse error; publish instruction received from server is invalid.");

bool isBlank(const QStringRef &text)
{
    for (QChar c : text) {
        if (!c.isSpace())
            return false;
    }
    return true;
}

bool readEventId(const QXmlStreamAttributes &attributes, int &id)
{
    const QLatin1String name = usageLogName(UsageLogName::eventid);
    if (!attributes.hasAttribute(name))
        return false;
    return toStrictNumber(attributes.value(name), id);
}


// Writes a character-data token, digesting it when an `anon` element is among its ancestors.
void writeText(const QXmlStreamReader &reader, QXmlStreamWriter &writer, int anonDepth)
{
    if (anonDepth > 0 && !isBlank(reader.text()))
        writer.writeCharacters(anonymise(reader.text()));
    else
        writer.writeCurrentToken(reader);
}

} // namespace

QString anonymise(const QStringRef &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toBase64());
}

LogFilter::LogFilter(QIODevice *input, QIODevice *output, const MergedLog &log)
    : m_input(input)
    , m_output(output)
    , m_log(log)
{
}

FilterResult LogFilter::run(const QVector<PublishInstruction> &instructions)
{
    m_errorString.clear();
    m_pendingEvents.clear();

    // The first instruction of each identification, as a walk in order would find it.
    QHash<SessionInfo, int> firstInstruction;
    firstInstruction.reserve(instructions.size());
    for (int i = 0; i < instructions.size(); ++i) {
        if (!firstInstruction.contains(instructions.at(i).session()))
            firstInstruction.insert(instructions.at(i).session(), i);
    }

    QXmlStreamReader reader(m_input);
    XmlOutput output(m_output);
    QXmlStreamWriter &writer = output.writer();
    const QString eventEndName = usageLogName(UsageLogName::eventend);
    const QString anonName = usageLogName(UsageLogName::anon);
    const QString sessionName = usageLogName(UsageLogName::session);
    // A depth, not a flag: text after a nested `anon` closes is still inside the outer one.
    int anonDepth = 0;
    PublishType current = InvalidPublishType;
    int position = 0;
    int written = 0;

    reader.readNext();
    while (!reader.atEnd()) {
        switch (reader.tokenType()) {
        case QXmlStreamReader::StartDocument:
            output.writeDeclaration();
            break;
        case QXmlStreamReader::StartElement: {
            UsageLogName name;
            const bool known = lookupUsageLogName(reader.name(), name);
            if (known && name == UsageLogName::anon) {
                ++anonDepth;
            } else if (known && name == UsageLogName::session) {
                if (position >= m_log.sessions.size())
                    return Failed;
                const auto found = firstInstruction.constFind(m_log.sessions.at(position));
                if (found == firstInstruction.constEnd()) {
                    m_errorString = invalidInstructionText;
                    return InvalidInstruction;
                }
                current = instructions.at(*found).publish;
                if (current != Discard && current != SummaryOnly && current != Details) {
                    m_errorString = invalidInstructionText;
                    return InvalidInstruction;
                }
                if (current == Discard) {
                    skipCurrentElement(reader);
                    ++position;
                } else {
                    ++written;
                    writer.writeCurrentToken(reader);
                    if (current == SummaryOnly)
                        writer.writeTextElement(usageLogName(UsageLogName::eventsomitted), QStringLiteral("1"));
                }
            } else if (known && name == UsageLogName::logstatus) {
                skipCurrentElement(reader);
            } else if (known && current == SummaryOnly
                       && (name == UsageLogName::event || name == UsageLogName::eventstart
                           || name == UsageLogName::eventend)) {
                skipCurrentElement(reader);
            } else if (known && name == UsageLogName::eventstart) {
                startEvent(reader, anonDepth);
            } else if (known && name == UsageLogName::eventend) {
                endEvent(reader, output);
            } else {
                writer.writeCurrentToken(reader);
            }
            break;
        }
        case QXmlStreamReader::EndElement:
            if (reader.name() == eventEndName) {
                // nothing: the pair was written when the element was skipped
            } else if (reader.name() == anonName) {
                --anonDepth;
            } else if (reader.name() == sessionName) {
                ++position;
                writer.writeEndElement();
            } else {
                writer.writeEndElement();
            }
            break;
        case QXmlStreamReader::Characters:
            writeText(reader, writer, anonDepth);
            break;
        default:
            break;
        }
        if (!output.flushIfFull()) {
            m_errorString = m_output->errorString();
            return Failed;
        }
        reader.readNext();
    }

    if (reader.hasError()) {
        m_errorString = reader.errorString();
        return Failed;
    }
    if (!output.flush()) {
        m_errorString = m_output->errorString();
        return Failed;
    }
    return written > 0 ? Published : NothingPublished;
}

// Keeps the content of an `eventstart` element, serialised, until its `eventend` arrives.
// Anonymised text is digested on the way in, so clear text is never kept. The element's own
// start tag is not kept: the event written from the pair carries no attributes, and
// `eventendtime` takes the start tag's place. `anonDepth` counts the `anon` elements around
// the `eventstart`: its text is digested when it stands inside one, wherever the pair is written.
void LogFilter::startEvent(QXmlStreamReader &reader, int anonDepth)
{
    int id = 0;
    if (!readEventId(reader.attributes(), id)) {
        skipCurrentElement(reader);
        return;
    }
    const QString anonName = usageLogName(UsageLogName::anon);
    QXmlStreamWriter &copy = m_eventWriter;
    m_eventText.resize(0);
    int depth = 1;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::Invalid)
            break;
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            if (reader.name() == anonName) {
                ++anonDepth;
                continue;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (--depth == 0)
                break;
            if (reader.name() == anonName) {
                --anonDepth;
                continue;
            }
        } else if (token == QXmlStreamReader::Characters) {
            writeText(reader, copy, anonDepth);
            continue;
        } else if (anonDepth > 0) {
            continue; // comments and instructions inside `anon` travel nowhere
        }
        copy.writeCurrentToken(reader);
    }
    m_pendingEvents[id] = QString(m_eventText.constData(), m_eventText.size());
}

// Writes the pair as one `event`, its end time first, where the `eventend` stands.
void LogFilter::endEvent(QXmlStreamReader &reader, XmlOutput &output)
{
    const QXmlStreamAttributes attributes = reader.attributes();
    int id = 0;
    const bool hasId = readEventId(attributes, id);
    const QString endTime = attributes.value(usageLogName(UsageLogName::eventendtime)).toString();
    skipCurrentElement(reader);
    if (!hasId)
        return;
    const auto pending = m_pendingEvents.find(id);
    if (pending == m_pendingEvents.end())
        return;

    QXmlStreamWriter &writer = output.writer();
    writer.writeStartElement(usageLogName(UsageLogName::event));
    writer.writeTextElement(usageLogName(UsageLogName::eventendtime), endTime);
    output.appendRaw(pending->second);
    writer.writeEndElement();
    m_pendingEvents.erase(pending);
}
