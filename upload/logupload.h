#pragma once

#include <QString>
#include <QtGlobal>

#include <memory>

class Logger;
class QIODevice;

// The key the receiver checks in "X-KALDO-utkey1": derived from the body length alone.
quint32 uploadKey(quint32 bodyLength);

// Writes the framework's compressed form of everything `input` holds into `output`: the
// uncompressed length as a 4-byte big-endian number, then a zlib stream at the default
// level. Streams in chunks, so memory does not grow with the input. False on a read, write or
// compression failure, and when the input does not hold `inputSize` bytes.
[[nodiscard]] bool compressStream(QIODevice *input, qint64 inputSize, QIODevice *output);

// Makes the upload body of a file while the file is being written: the chunks handed to
// add() are compressed on a thread of its own into a temporary file in `folder`, so that the
// compression takes no time of its own once the last chunk is written.
class BodyCompressor
{
public:
    explicit BodyCompressor(const QString &folder);
    ~BodyCompressor();
    BodyCompressor(const BodyCompressor &) = delete;
    BodyCompressor &operator=(const BodyCompressor &) = delete;

    // Copies the chunk; waits while the worker is too far behind.
    void add(const char *data, qint64 size);
    // After the last chunk: true when the body is the compressed form of exactly
    // `expectedSize` bytes, the whole file. It stays valid while this object lives.
    [[nodiscard]] bool finish(qint64 expectedSize);
    QByteArray body() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Compresses the file and posts it to the receiver with its key; logs the outcome. True when
// the upload failed, with the reason in `failure` when given. When the compressed form of the
// whole file cannot be made, nothing is posted and the failure is logged after "POST results: ".
// A body made while the file was written is used when it stands for the whole file.
bool postLogFile(const QString &path, const QString &receiverUrl, Logger *logger, BodyCompressor *ready = nullptr,
                 QString *failure = nullptr);
