#include "xmloutput.h"

#include <QIODevice>

XmlOutput::XmlOutput(QIODevice *device, int chunkSize)
    : m_device(device)
    , m_writer(&m_text)
    , m_chunkSize(chunkSize)
{
    m_text.reserve(chunkSize + 4096);
}

XmlOutput::~XmlOutput()
{
    // Whoever cares whether the text arrived has flushed and checked before this; a device
    // already closed (an output given up) gets nothing.
    if (m_device->isOpen())
        (void)flush();
}

void XmlOutput::writeDeclaration()
{
    m_text += QLatin1String("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
}

bool XmlOutput::flush()
{
    if (!m_text.isEmpty()) {
        const QByteArray bytes = m_text.toUtf8();
        if (m_device->write(bytes) != bytes.size())
            m_failed = true;
        m_text.resize(0);
    }
    return !m_failed;
}
