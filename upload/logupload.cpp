#include "logupload.h"

#include "logger.h"
#include "qhttpwithresume.h"
#include "systemproxy.h"

#include <QFile>
#include <QTemporaryFile>
#include <QUrl>

#include <array>
#include <zlib.h>

namespace {

// The receiver holds the same table; only the XOR of all ten words matters.
constexpr std::array<quint32, 10> keyTable = {
    0x5a3c96e1u, 0x0f1e2d3cu, 0x9b8a7968u, 0x13579bdfu, 0x2468ace0u,
    0xdeadc0deu, 0x7f4a7c15u, 0x31415926u, 0x27182818u, 0xc0ffee11u,
};

} // namespace

quint32 uploadKey(quint32 n)
{
    const quint32 swapped = (n >> 24) | (n << 24);
    const quint32 d = n % 10;
    quint32 mask = 0;
    for (quint32 step = 0; step < 10; ++step)
        mask ^= keyTable[(d + 9 - step) % 10];
    return swapped ^ mask;
}

bool compressStream(QIODevice *input, qint64 inputSize, QIODevice *output)
{
    // The framework writes four zero bytes for no data at all.
    const quint32 length = static_cast<quint32>(inputSize);
    const char header[4] = { static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                             static_cast<char>(length >> 8), static_cast<char>(length) };
    if (output->write(header, 4) != 4)
        return false;
    if (inputSize == 0)
        return true;

    z_stream stream {};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK)
        return false;
    QByteArray in(1 << 16, Qt::Uninitialized);
    QByteArray out(1 << 16, Qt::Uninitialized);
    bool ok = true;
    int flush = Z_NO_FLUSH;
    do {
        const qint64 got = input->read(in.data(), in.size());
        if (got < 0) {
            ok = false;
            break;
        }
        flush = got == 0 || input->atEnd() ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = reinterpret_cast<Bytef *>(in.data());
        stream.avail_in = static_cast<uInt>(got);
        do {
            stream.next_out = reinterpret_cast<Bytef *>(out.data());
            stream.avail_out = static_cast<uInt>(out.size());
            if (deflate(&stream, flush) == Z_STREAM_ERROR) {
                ok = false;
                break;
            }
            const qint64 produced = out.size() - stream.avail_out;
            if (output->write(out.constData(), produced) != produced) {
                ok = false;
                break;
            }
        } while (stream.avail_out == 0);
    } while (ok && flush != Z_FINISH);
    deflateEnd(&stream);
    return ok;
}

bool postLogFile(const QString &path, const QString &receiverUrl, Logger *logger)
{
    QFile file(path);
    const bool readable = file.open(QIODevice::ReadOnly);

    // The body is compressed into a temporary file and mapped, so a large log never needs a
    // heap buffer of its size.
    QTemporaryFile compressed;
    QByteArray body;
    uchar *mapped = nullptr;
    if (compressed.open() && compressStream(&file, readable ? file.size() : 0, &compressed) && compressed.flush()) {
        const qint64 size = compressed.size();
        mapped = compressed.map(0, size);
        if (mapped)
            body = QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), static_cast<int>(size));
    }
    if (!mapped)
        body = QByteArray(4, '\0'); // nothing could be compressed: the form of no data
    file.close();

    logger->log(QStringLiteral("Trying to POST file ") + file.fileName());
    const QtDownloader::HeaderList headers {
        { QStringLiteral("X-KALDO-utkey1"), QString::number(uploadKey(static_cast<quint32>(body.size()))) }
    };

    bool failed = true;
    {
        QtDownloader::QHttpWithResume engine;
        const QUrl url(receiverUrl, QUrl::TolerantMode);
        applySystemProxy(engine.NetworkAccessManager(), url);
        const QtDownloader::PostResult result
            = engine.SyncPost(url, QtDownloader::QHttpWithResume::OctetStreamContentType, body, headers);
        logger->log(QStringLiteral("POST results: ") + (result.ok ? QStringLiteral("success") : result.message));
        failed = !result.ok;
    }
    if (mapped)
        compressed.unmap(mapped);
    return failed;
}
