#pragma once

#include <QString>
#include <QtGlobal>

class Logger;
class QIODevice;

// The key the receiver checks in "X-KALDO-utkey1": derived from the body length alone.
quint32 uploadKey(quint32 bodyLength);

// Writes the framework's compressed form of everything `input` holds into `output`: the
// uncompressed length as a 4-byte big-endian number, then a zlib stream at the default
// level. Streams in chunks, so memory does not grow with the input. False on a read, write or
// compression failure, and when the input does not hold `inputSize` bytes.
[[nodiscard]] bool compressStream(QIODevice *input, qint64 inputSize, QIODevice *output);

// Compresses the file and posts it to the receiver with its key; logs the outcome. True when
// the upload failed. When the compressed form of the whole file cannot be made, nothing is
// posted and the failure is logged after "POST results: ".
bool postLogFile(const QString &path, const QString &receiverUrl, Logger *logger);
