#include "xmloutput.h"

#include "xmlescape.h"

#include <QIODevice>
#include <QXmlStreamReader>

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// The longest form one UTF-16 code unit takes: "&quot;".
constexpr qsizetype maximumBytesPerUnit = 6;

} // namespace

XmlOutput::XmlOutput(QIODevice *device, int chunkSize)
    : m_device(device)
    , m_chunkSize(chunkSize)
{
    m_buffer.resize(device ? chunkSize + 4096 : 4096);
}

XmlOutput::~XmlOutput()
{
    // Whoever cares whether the bytes arrived has flushed and checked before this; a device
    // already closed (an output given up) gets nothing.
    if (m_device && m_device->isOpen())
        (void)flush();
}

void XmlOutput::grow(qsizetype maximumBytes)
{
    m_buffer.resize(static_cast<int>(qMax<qsizetype>(m_buffer.size() * 2, m_used + maximumBytes)));
}

void XmlOutput::appendLatin1(QLatin1String text)
{
    append(text.data(), text.size());
}

namespace {

#ifdef __SSE2__
// True when the eight code units at `p` are ASCII that the escape leaves as it is; they are
// then stored as eight bytes at `out`. Most of a usage log is such text.
inline bool copyPlainBlock(const char16_t *p, char *out, bool escapeMarkup, bool keepLineBreaks)
{
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i bad = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xff80)));
    bad = _mm_cmpeq_epi16(bad, _mm_setzero_si128()); // all ones where ASCII
    if (_mm_movemask_epi8(bad) != 0xffff)
        return false;
    if (escapeMarkup) {
        __m128i special = _mm_cmplt_epi16(units, _mm_set1_epi16(0x20));
        if (keepLineBreaks) {
            const __m128i breaks = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(units, _mm_set1_epi16('\t')),
                                                             _mm_cmpeq_epi16(units, _mm_set1_epi16('\n'))),
                                                _mm_cmpeq_epi16(units, _mm_set1_epi16('\r')));
            special = _mm_andnot_si128(breaks, special);
        }
        for (const char markup : { '<', '>', '&', '"' })
            special = _mm_or_si128(special, _mm_cmpeq_epi16(units, _mm_set1_epi16(markup)));
        if (_mm_movemask_epi8(special) != 0)
            return false;
    }
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(units, units));
    return true;
}
#endif

} // namespace

// Encodes one character (a surrogate pair counts as one) as UTF-8 with the escapes of
// QXmlStreamWriter: markup characters and the quote become entities, attribute values also
// escape tab, line feed and carriage return, and characters XML cannot carry are dropped.
inline void XmlOutput::encode(const char16_t *&p, const char16_t *end, char *&out, Escape escape)
{
    const char16_t u = *p++;
    if (u >= 0x80) {
        if (u < 0x800) {
            *out++ = static_cast<char>(0xc0 | (u >> 6));
            *out++ = static_cast<char>(0x80 | (u & 0x3f));
        } else if (QChar::isHighSurrogate(u) && p != end && QChar::isLowSurrogate(*p)) {
            const char32_t c = QChar::surrogateToUcs4(u, *p++);
            *out++ = static_cast<char>(0xf0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            *out++ = static_cast<char>(0x80 | (c & 0x3f));
        } else if (u < 0xfffe && !QChar::isSurrogate(u)) {
            *out++ = static_cast<char>(0xe0 | (u >> 12));
            *out++ = static_cast<char>(0x80 | ((u >> 6) & 0x3f));
            *out++ = static_cast<char>(0x80 | (u & 0x3f));
        }
        return;
    }
    const char *entity = xmlescape::entity(u, escape == EscapeAttribute ? xmlescape::Attribute
                                              : escape == EscapeText    ? xmlescape::Text
                                                                        : xmlescape::None);
    if (entity) {
        while (*entity)
            *out++ = *entity++;
    } else if (u >= 0x20 || u == '\t' || u == '\n' || u == '\r' || escape == NoEscape) {
        *out++ = static_cast<char>(u);
    }
}

void XmlOutput::appendUtf8(QStringView text, Escape escape)
{
    // A long text goes a slice at a time, each passed on to the device once the buffer holds a
    // chunk: the buffer stays a few chunks long, however long the text.
    constexpr qsizetype sliceUnits = 16384;
    const char16_t *p = reinterpret_cast<const char16_t *>(text.data());
    const char16_t *const textEnd = p + text.size();
    while (p != textEnd) {
        const char16_t *end = textEnd - p > sliceUnits ? p + sliceUnits : textEnd;
        if (end != textEnd && QChar::isHighSurrogate(end[-1]))
            ++end; // a surrogate pair stays whole
        char *out = reserve((end - p) * maximumBytesPerUnit);
        while (p != end) {
#ifdef __SSE2__
            if (end - p >= 8 && copyPlainBlock(p, out, escape != NoEscape, escape == EscapeText)) {
                p += 8;
                out += 8;
                continue;
            }
#endif
            // A block with something to encode or escape goes one character at a time.
            for (const char16_t *blockEnd = p + qMin<qsizetype>(8, end - p); p < blockEnd;)
                encode(p, end, out, escape);
        }
        m_used = out - m_buffer.data();
        if (m_device && m_used >= m_chunkSize && p != textEnd)
            (void)flush(); // a failure stays in the output's state
    }
}

void XmlOutput::appendCdata(QStringView text)
{
    appendLatin1(QLatin1String("<![CDATA["));
    for (qsizetype from = 0;;) {
        const qsizetype end = text.indexOf(QLatin1String("]]>"), from);
        if (end < 0) {
            appendUtf8(text.mid(from), NoEscape);
            break;
        }
        appendUtf8(text.mid(from, end - from), NoEscape);
        appendLatin1(QLatin1String("]]]]><![CDATA[>"));
        from = end + 3;
    }
    appendLatin1(QLatin1String("]]>"));
}

void XmlOutput::closeStartTag()
{
    if (m_inStartTag) {
        append(">", 1);
        m_inStartTag = false;
    }
}

void XmlOutput::writeDeclaration()
{
    appendLatin1(QLatin1String("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
}

void XmlOutput::startElement(QStringView qualifiedName)
{
    closeStartTag();
    append("<", 1);
    const qsizetype nameStart = m_used;
    appendUtf8(qualifiedName, NoEscape);
    m_nameStarts.append(m_names.size());
    m_names.append(m_buffer.constData() + nameStart, static_cast<int>(m_used - nameStart));
    m_inStartTag = true;
}

void XmlOutput::writeStartElement(QLatin1String name)
{
    closeStartTag();
    append("<", 1);
    appendLatin1(name);
    m_nameStarts.append(m_names.size());
    m_names.append(name.data(), name.size());
    m_inStartTag = true;
}

void XmlOutput::writeAttribute(QLatin1String name, QStringView value)
{
    append(" ", 1);
    appendLatin1(name);
    append("=\"", 2);
    appendUtf8(value, EscapeAttribute);
    append("\"", 1);
}

void XmlOutput::writeEndElement()
{
    if (m_nameStarts.isEmpty())
        return;
    const int start = m_nameStarts.takeLast();
    if (m_inStartTag) {
        append("/>", 2);
        m_inStartTag = false;
    } else {
        append("</", 2);
        append(m_names.constData() + start, m_names.size() - start);
        append(">", 1);
    }
    m_names.truncate(start);
}

void XmlOutput::writeTextElement(QLatin1String name, QStringView text)
{
    writeStartElement(name);
    writeCharacters(text);
    writeEndElement();
}

void XmlOutput::writeCharacters(QStringView text)
{
    closeStartTag();
    appendUtf8(text, EscapeText);
}

void XmlOutput::writeComment(QStringView text)
{
    closeStartTag();
    appendLatin1(QLatin1String("<!--"));
    appendUtf8(text, NoEscape);
    appendLatin1(QLatin1String("-->"));
}

void XmlOutput::writeCurrentToken(const QXmlStreamReader &reader)
{
    switch (reader.tokenType()) {
    case QXmlStreamReader::StartElement: writeStartTag(reader); break;
    case QXmlStreamReader::EndElement: writeEndElement(); break;
    case QXmlStreamReader::Characters:
        closeStartTag();
        if (reader.isCDATA())
            appendCdata(reader.text());
        else
            appendUtf8(reader.text(), EscapeText);
        break;
    case QXmlStreamReader::Comment: writeComment(reader.text()); break;
    case QXmlStreamReader::DTD:
        closeStartTag();
        appendUtf8(reader.text(), NoEscape);
        break;
    case QXmlStreamReader::EntityReference:
        closeStartTag();
        append("&", 1);
        appendUtf8(reader.name(), NoEscape);
        append(";", 1);
        break;
    case QXmlStreamReader::ProcessingInstruction:
        closeStartTag();
        append("<?", 2);
        appendUtf8(reader.processingInstructionTarget(), NoEscape);
        if (!reader.processingInstructionData().isNull()) {
            append(" ", 1);
            appendUtf8(reader.processingInstructionData(), NoEscape);
        }
        append("?>", 2);
        break;
    case QXmlStreamReader::StartDocument: writeStartDocument(reader); break;
    case QXmlStreamReader::EndDocument: writeEndDocument(); break;
    default: break;
    }
}

void XmlOutput::writeStartTag(const QXmlStreamReader &reader)
{
    startElement(reader.qualifiedName());
    for (const QXmlStreamNamespaceDeclaration &declaration : reader.namespaceDeclarations()) {
        appendLatin1(declaration.prefix().isEmpty() ? QLatin1String(" xmlns") : QLatin1String(" xmlns:"));
        appendUtf8(declaration.prefix(), NoEscape);
        append("=\"", 2);
        appendUtf8(declaration.namespaceUri(), EscapeAttribute);
        append("\"", 1);
    }
    for (const QXmlStreamAttribute &attribute : reader.attributes()) {
        append(" ", 1);
        appendUtf8(attribute.qualifiedName(), NoEscape);
        append("=\"", 2);
        appendUtf8(attribute.value(), EscapeAttribute);
        append("\"", 1);
    }
}

// As QXmlStreamWriter does: the plain declaration for XML 1.0, the version and the
// standalone flag otherwise.
void XmlOutput::writeStartDocument(const QXmlStreamReader &reader)
{
    if (reader.documentVersion().isEmpty() || reader.documentVersion() == QLatin1String("1.0")) {
        writeDeclaration();
        return;
    }
    appendLatin1(QLatin1String("<?xml version=\""));
    appendUtf8(reader.documentVersion(), NoEscape);
    appendLatin1(reader.isStandaloneDocument() ? QLatin1String("\" encoding=\"UTF-8\" standalone=\"yes\"?>")
                                               : QLatin1String("\" encoding=\"UTF-8\" standalone=\"no\"?>"));
}

void XmlOutput::writeEndDocument()
{
    while (!m_nameStarts.isEmpty())
        writeEndElement();
    append("\n", 1);
}

void XmlOutput::writeRaw(const QByteArray &markup)
{
    closeStartTag();
    append(markup.constData(), markup.size());
}

bool XmlOutput::flush()
{
    if (m_device && m_used > 0) {
        if (m_device->write(m_buffer.constData(), m_used) != m_used)
            m_failed = true;
        m_used = 0;
    }
    return !m_failed;
}

void XmlOutput::clear()
{
    m_used = 0;
    m_names.clear();
    m_nameStarts.clear();
    m_inStartTag = false;
}
