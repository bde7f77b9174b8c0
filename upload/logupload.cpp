#include "logupload.h"

#include "logger.h"
#include "qhttpwithresume.h"
#include "systemproxy.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QUrl>

#include <array>
#include <limits>
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
    qint64 total = 0;
    bool ok = true;
    int flush = Z_NO_FLUSH;
    do {
        const qint64 got = input->read(in.data(), in.size());
        if (got < 0) {
            ok = false;
            break;
        }
        total += got;
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
    // The length prefix promises `inputSize` bytes: a body of fewer is no body at all.
    return ok && total == inputSize;
}

namespace {

// Logs this size or smaller are compressed in memory when no file can take the body.
constexpr qint64 inMemoryLimit = 32 << 20;

// Makes the body to post: the compressed form of the whole file, or an error text. The body
// is compressed into a temporary file beside the log (on the log's own disk, whatever state
// the temporary folder is in) and mapped, so a large log needs no heap buffer of its size.
class UploadBody
{
public:
    explicit UploadBody(const QString &path)
        : m_file(path)
        , m_compressed(QFileInfo(path).absolutePath() + QStringLiteral("/XXXXXX.compressed"))
    {
    }
    ~UploadBody()
    {
        if (m_mapped)
            m_compressed.unmap(m_mapped);
    }

    bool make()
    {
        if (!m_file.open(QIODevice::ReadOnly)) {
            m_errorString = QStringLiteral("Cannot read %1: %2").arg(m_file.fileName(), m_file.errorString());
            return false;
        }
        const qint64 size = m_file.size();
        if (m_compressed.open() && compressStream(&m_file, size, &m_compressed) && m_compressed.flush()
            && m_compressed.size() <= std::numeric_limits<int>::max()
            && (m_mapped = m_compressed.map(0, m_compressed.size()))) {
            body = QByteArray::fromRawData(reinterpret_cast<const char *>(m_mapped),
                                           static_cast<int>(m_compressed.size()));
            return true;
        }
        m_errorString = QStringLiteral("Cannot compress %1: %2").arg(m_file.fileName(), m_compressed.errorString());
        if (size > inMemoryLimit || !m_file.seek(0))
            return false;
        QBuffer buffer(&body);
        buffer.open(QIODevice::WriteOnly);
        if (!compressStream(&m_file, size, &buffer)) {
            body.clear();
            return false;
        }
        return true;
    }
    QString errorString() const { return m_errorString; }

    QByteArray body;

private:
    QFile m_file;
    QTemporaryFile m_compressed;
    uchar *m_mapped = nullptr;
    QString m_errorString;
};

} // namespace

bool postLogFile(const QString &path, const QString &receiverUrl, Logger *logger)
{
    UploadBody upload(path);
    const bool made = upload.make();
    logger->logLazily([&] { return QStringLiteral("Trying to POST file ") + path; });
    if (!made) {
        // Posting anything less than the whole log would have the receiver accept a loss.
        logger->logLazily([&] { return QStringLiteral("POST results: ") + upload.errorString(); });
        return true;
    }
    const QtDownloader::HeaderList headers { { QStringLiteral("X-KALDO-utkey1"),
                                               QString::number(uploadKey(static_cast<quint32>(upload.body.size()))) } };

    QtDownloader::QHttpWithResume engine;
    const QUrl url(receiverUrl, QUrl::TolerantMode);
    applySystemProxy(engine.NetworkAccessManager(), url);
    const QtDownloader::PostResult result
        = engine.SyncPost(url, QtDownloader::QHttpWithResume::OctetStreamContentType, upload.body, headers);
    logger->logLazily(
        [&] { return QStringLiteral("POST results: ") + (result.ok ? QStringLiteral("success") : result.message); });
    return !result.ok;
}
