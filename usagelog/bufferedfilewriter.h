#pragma once

#include <QByteArray>
#include <QIODevice>

class QFile;

// A write-only device that gathers the many small writes of a stream writer in memory and
// passes them to the file in large chunks. Writing every token straight into a QFile spends
// much of the time in the device path.
class BufferedFileWriter : public QIODevice
{
public:
    explicit BufferedFileWriter(QFile *file, int chunkSize = 1 << 20);
    ~BufferedFileWriter() override;

    // Writes what is buffered; false when the file refused it.
    bool flushToFile();
    void close() override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    QFile *m_file;
    QByteArray m_buffer;
    int m_chunkSize;
    bool m_failed = false;
};
