#include "bufferedfilewriter.h"

#include <QFile>

BufferedFileWriter::BufferedFileWriter(QFile *file, int chunkSize)
    : m_file(file)
    , m_chunkSize(chunkSize)
{
    m_buffer.reserve(chunkSize);
    open(QIODevice::WriteOnly);
}

BufferedFileWriter::~BufferedFileWriter()
{
    flushToFile();
}

bool BufferedFileWriter::flushToFile()
{
    if (!m_buffer.isEmpty()) {
        if (m_file->write(m_buffer) != m_buffer.size())
            m_failed = true;
        m_buffer.clear();
        m_buffer.reserve(m_chunkSize);
    }
    return !m_failed;
}

void BufferedFileWriter::close()
{
    flushToFile();
    QIODevice::close();
}

qint64 BufferedFileWriter::readData(char *, qint64)
{
    return -1;
}

qint64 BufferedFileWriter::writeData(const char *data, qint64 size)
{
    m_buffer.append(data, static_cast<int>(size));
    if (m_buffer.size() >= m_chunkSize)
        flushToFile();
    return size;
}
