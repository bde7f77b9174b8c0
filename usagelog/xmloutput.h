#pragma once

#include <QByteArray>
#include <QLatin1String>
#include <QStringView>
#include <QVector>

#include <cstring>

class QIODevice;
class QXmlStreamReader;

// An XML writer that encodes straight to UTF-8 in a byte buffer, escaping by hand, and passes
// the bytes to its device in large chunks. It writes what QXmlStreamWriter writes for the same
// calls (no auto-formatting), at a fraction of the cost: no intermediate QString, no codec.
// Without a device the bytes stay in the buffer (see bytes()).
class XmlOutput
{
public:
    explicit XmlOutput(QIODevice *device = nullptr, int chunkSize = 1 << 19);
    ~XmlOutput();
    XmlOutput(const XmlOutput &) = delete;
    XmlOutput &operator=(const XmlOutput &) = delete;

    // The declaration a writer on a device produces for version "1.0" in UTF-8.
    void writeDeclaration();
    void writeStartElement(QLatin1String name);
    void writeAttribute(QLatin1String name, QStringView value);
    void writeEndElement();
    void writeTextElement(QLatin1String name, QStringView text);
    void writeCharacters(QStringView text);
    void writeComment(QStringView text);
    // Copies the reader's current token; element and attribute names keep their prefixes
    // and namespace declarations are copied as they stand.
    void writeCurrentToken(const QXmlStreamReader &reader);
    // Closes every open element and ends the document with a line break.
    void writeEndDocument();
    // Appends well-formed, balanced markup in UTF-8 as it stands.
    void writeRaw(const QByteArray &markup);

    // The elements opened and not yet closed.
    int depth() const { return m_nameStarts.size(); }
    // Without a device: the bytes written since the last clear().
    QByteArray bytes() const { return m_buffer.left(static_cast<int>(m_used)); }
    // Forgets the bytes and the open elements.
    void clear();

    // Passes the bytes on when a chunk is full; call between tokens. False once the device
    // has refused some of them: the output is then incomplete and stays so.
    [[nodiscard]] bool flushIfFull() { return m_used < m_chunkSize ? !m_failed : flush(); }
    // Passes all bytes on; false when the device refused some of them, now or before.
    [[nodiscard]] bool flush();

private:
    void startElement(QStringView qualifiedName);
    void writeStartTag(const QXmlStreamReader &reader);
    void writeStartDocument(const QXmlStreamReader &reader);
    void closeStartTag();
    // Room for `maximumBytes` more bytes; returns where they go.
    char *reserve(qsizetype maximumBytes)
    {
        if (m_used + maximumBytes > m_buffer.size())
            grow(maximumBytes);
        return m_buffer.data() + m_used;
    }
    void grow(qsizetype maximumBytes);
    void append(const char *bytes, qsizetype size)
    {
        std::memcpy(reserve(size), bytes, static_cast<size_t>(size));
        m_used += size;
    }
    void appendLatin1(QLatin1String text);
    enum Escape { NoEscape, EscapeText, EscapeAttribute };
    static void encode(const char16_t *&p, const char16_t *end, char *&out, Escape escape);
    void appendUtf8(QStringView text, Escape escape);
    void appendCdata(QStringView text);

    QIODevice *m_device;
    QByteArray m_buffer;
    qsizetype m_used = 0;
    // Names of the open elements, in UTF-8, one after the other; where each begins.
    QByteArray m_names;
    QVector<int> m_nameStarts;
    bool m_inStartTag = false;
    int m_chunkSize;
    bool m_failed = false;
};
