#pragma once

#include <QString>
#include <QXmlStreamWriter>

class QIODevice;

// A stream writer whose text is gathered in memory and passed to the device as UTF-8 in
// large chunks. Writing every token through the device path costs much of the time of a
// copy; encoding a large chunk at once is cheap.
class XmlOutput
{
public:
    explicit XmlOutput(QIODevice *device, int chunkSize = 1 << 19);
    ~XmlOutput();
    XmlOutput(const XmlOutput &) = delete;
    XmlOutput &operator=(const XmlOutput &) = delete;

    QXmlStreamWriter &writer() { return m_writer; }
    // The declaration a writer on a device produces for version "1.0" in UTF-8.
    void writeDeclaration();
    // Appends well-formed, balanced markup as it stands. Only between complete tokens, when
    // the writer has no start tag waiting for its end.
    void appendRaw(const QString &markup) { m_text += markup; }
    // Passes the text on when a chunk is full; call between tokens. False once the device
    // has refused some of the text: the output is then incomplete and stays so.
    [[nodiscard]] bool flushIfFull() { return m_text.size() < m_chunkSize ? !m_failed : flush(); }
    // Passes all text on; false when the device refused some of it, now or before.
    [[nodiscard]] bool flush();

private:
    QIODevice *m_device;
    QString m_text;
    QXmlStreamWriter m_writer;
    int m_chunkSize;
    bool m_failed = false;
};
