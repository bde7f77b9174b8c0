#include "logfilter.h"

#include "usagelogname.h"
#include "xmlhelpers.h"

#include <QCryptographicHash>
#include <QXmlStreamReader>

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
void writeText(const QXmlStreamReader &reader, XmlOutput &writer, int anonDepth)
{
    if (anonDepth > 0 && !isBlank(reader.text()))
        writer.writeCharacters(anonymise(reader.text()));
    else
        writer.writeCurrentToken(reader);
}

} // namespace

QString anonymise(const QStringRef &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toBase64());
}

LogFilter::LogFilter(QIODevice *input, QIODevice *output, const MergedLog &log)
    : m_input(input)
    , m_outputDevice(output)
    , m_log(log)
    , m_output(output)
{
}

PublishIndex::PublishIndex(const QVector<PublishInstruction> &instructions)
{
    m_publish.reserve(instructions.size());
    for (const PublishInstruction &instruction : instructions) {
        if (!m_publish.contains(instruction.session()))
            m_publish.insert(instruction.session(), instruction.publish);
    }
}

FilterResult LogFilter::run(const PublishIndex &index)
{
    m_errorString.clear();
    m_pendingEvents.clear();
    m_index = &index;
    m_current = InvalidPublishType;
    m_position = m_written = m_anonDepth = 0;

    QXmlStreamReader reader(m_input);
    for (reader.readNext(); !reader.atEnd(); reader.readNext()) {
        switch (reader.tokenType()) {
        case QXmlStreamReader::StartDocument: m_output.writeDeclaration(); break;
        case QXmlStreamReader::StartElement: {
            const FilterResult result = startElement(reader);
            if (result != Published)
                return result;
            break;
        }
        case QXmlStreamReader::EndElement: endElement(reader); break;
        case QXmlStreamReader::Characters: writeText(reader, m_output, m_anonDepth); break;
        default: break;
        }
        if (!m_output.flushIfFull()) {
            m_errorString = m_outputDevice->errorString();
            return Failed;
        }
    }

    if (reader.hasError()) {
        m_errorString = reader.errorString();
        return Failed;
    }
    if (!m_output.flush()) {
        m_errorString = m_outputDevice->errorString();
        return Failed;
    }
    return m_written > 0 ? Published : NothingPublished;
}

FilterResult LogFilter::startElement(QXmlStreamReader &reader)
{
    UsageLogName name;
    if (!lookupUsageLogName(reader.name(), name) || !steersHarvest(name)) {
        m_output.writeCurrentToken(reader);
        return Published;
    }
    const bool isEvent
        = name == UsageLogName::event || name == UsageLogName::eventstart || name == UsageLogName::eventend;
    if (name == UsageLogName::anon)
        ++m_anonDepth;
    else if (name == UsageLogName::session)
        return startSession(reader);
    else if (name == UsageLogName::logstatus || (isEvent && m_current == SummaryOnly))
        skipCurrentElement(reader);
    else if (name == UsageLogName::eventstart)
        startEvent(reader);
    else if (name == UsageLogName::eventend)
        endEvent(reader);
    else
        m_output.writeCurrentToken(reader);
    return Published;
}

// Each `session` is published as the first instruction for its identification says; one
// without an instruction, or with one the filter does not know, ends the run.
FilterResult LogFilter::startSession(QXmlStreamReader &reader)
{
    if (m_position >= m_log.sessions.size())
        return Failed;
    m_current = m_index->find(m_log.sessions.at(m_position)); // none is as invalid as an invalid one
    switch (m_current) {
    case Discard:
        skipCurrentElement(reader);
        ++m_position;
        break;
    case SummaryOnly:
    case Details:
        ++m_written;
        m_output.writeCurrentToken(reader);
        if (m_current == SummaryOnly)
            m_output.writeTextElement(usageLogName(UsageLogName::eventsomitted), u"1");
        break;
    default: return invalidInstruction();
    }
    return Published;
}

FilterResult LogFilter::invalidInstruction()
{
    m_errorString = invalidInstructionText;
    return InvalidInstruction;
}

void LogFilter::endElement(const QXmlStreamReader &reader)
{
    if (reader.name() == usageLogName(UsageLogName::eventend)) {
        // nothing: the pair was written when the element was skipped
    } else if (reader.name() == usageLogName(UsageLogName::anon)) {
        --m_anonDepth;
    } else {
        if (reader.name() == usageLogName(UsageLogName::session))
            ++m_position;
        m_output.writeEndElement();
    }
}

// Keeps the content of an `eventstart` element, serialised, until its `eventend` arrives.
// Anonymised text is digested on the way in, so clear text is never kept. The element's own
// start tag is not kept: the event written from the pair carries no attributes, and
// `eventendtime` takes the start tag's place. Text inside an `anon` around the `eventstart`
// is digested too, wherever the pair is written.
void LogFilter::startEvent(QXmlStreamReader &reader)
{
    int id = 0;
    if (!readEventId(reader.attributes(), id)) {
        skipCurrentElement(reader);
        return;
    }
    const QLatin1String anonName = usageLogName(UsageLogName::anon);
    int anonDepth = m_anonDepth;
    m_eventOutput.clear();
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
            writeText(reader, m_eventOutput, anonDepth);
            continue;
        } else if (anonDepth > 0) {
            continue; // comments and instructions inside `anon` travel nowhere
        }
        m_eventOutput.writeCurrentToken(reader);
    }
    m_pendingEvents[id] = m_eventOutput.bytes();
}

// Writes the pair as one `event`, its end time first, where the `eventend` stands.
void LogFilter::endEvent(QXmlStreamReader &reader)
{
    const QXmlStreamAttributes attributes = reader.attributes();
    int id = 0;
    const bool hasId = readEventId(attributes, id);
    const QStringRef endTime = attributes.value(usageLogName(UsageLogName::eventendtime));
    const auto pending = hasId ? m_pendingEvents.find(id) : m_pendingEvents.end();
    if (pending != m_pendingEvents.end()) {
        m_output.writeStartElement(usageLogName(UsageLogName::event));
        m_output.writeTextElement(usageLogName(UsageLogName::eventendtime), endTime);
        m_output.writeRaw(pending->second);
        m_output.writeEndElement();
        m_pendingEvents.erase(pending);
    }
    skipCurrentElement(reader);
}
