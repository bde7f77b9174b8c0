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
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
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

namespace {

// One zlib stream at the default level, fed in pieces; the compressed bytes go to `output`.
class Deflater
{
public:
    ~Deflater()
    {
        if (m_started)
            deflateEnd(&m_stream);
    }
    bool start() { return m_started = deflateInit(&m_stream, Z_DEFAULT_COMPRESSION) == Z_OK; }
    // `last` ends the stream after these bytes.
    bool feed(const char *data, qint64 size, bool last, QIODevice *output)
    {
        m_stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        m_stream.avail_in = static_cast<uInt>(size);
        do {
            m_stream.next_out = reinterpret_cast<Bytef *>(m_out.data());
            m_stream.avail_out = static_cast<uInt>(m_out.size());
            if (deflate(&m_stream, last ? Z_FINISH : Z_NO_FLUSH) == Z_STREAM_ERROR)
                return false;
            const qint64 produced = m_out.size() - m_stream.avail_out;
            if (output->write(m_out.constData(), produced) != produced)
                return false;
        } while (m_stream.avail_out == 0);
        return true;
    }

private:
    z_stream m_stream {};
    bool m_started = false;
    QByteArray m_out { 1 << 16, Qt::Uninitialized };
};

// The length prefix of the framework's compressed form: a 32-bit big-endian number.
bool writeLengthPrefix(qint64 inputSize, QIODevice *output)
{
    const quint32 length = static_cast<quint32>(inputSize);
    const char header[4] = { static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                             static_cast<char>(length >> 8), static_cast<char>(length) };
    return output->write(header, 4) == 4;
}

} // namespace

bool compressStream(QIODevice *input, qint64 inputSize, QIODevice *output)
{
    // The framework writes four zero bytes for no data at all.
    if (!writeLengthPrefix(inputSize, output))
        return false;
    if (inputSize == 0)
        return true;
    Deflater deflater;
    if (!deflater.start())
        return false;
    QByteArray in(1 << 16, Qt::Uninitialized);
    qint64 total = 0;
    for (bool last = false; !last;) {
        const qint64 got = input->read(in.data(), in.size());
        if (got < 0)
            return false;
        total += got;
        last = got == 0 || input->atEnd();
        if (!deflater.feed(in.constData(), got, last, output))
            return false;
    }
    // The length prefix promises `inputSize` bytes: a body of fewer is no body at all.
    return total == inputSize;
}

struct BodyCompressor::Private
{
    // The chunks that wait for the worker; more than this many make the writer wait.
    static constexpr size_t queueLimit = 4;

    void run();

    QTemporaryFile file;
    std::thread worker;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> chunks;
    bool last = false;
    bool failed = false;
    qint64 total = 0;
    uchar *mapped = nullptr;
    QByteArray body;
};

void BodyCompressor::Private::run()
{
    Deflater deflater;
    bool ok = writeLengthPrefix(0, &file) && deflater.start(); // the length is known at the end
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return last || !chunks.empty(); });
        if (chunks.empty())
            break;
        const QByteArray chunk = chunks.front();
        chunks.pop_front();
        lock.unlock();
        changed.notify_all();
        ok = ok && deflater.feed(chunk.constData(), chunk.size(), false, &file);
    }
    ok = ok && deflater.feed(nullptr, 0, true, &file);
    std::lock_guard<std::mutex> lock(mutex);
    failed = failed || !ok;
}

BodyCompressor::BodyCompressor(const QString &folder)
    : d(std::make_unique<Private>())
{
    d->file.setFileTemplate(folder + QStringLiteral("/XXXXXX.compressed"));
    if (d->file.open())
        d->worker = std::thread([this] { d->run(); });
    else
        d->failed = true;
}

BodyCompressor::~BodyCompressor()
{
    if (d->worker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            d->last = true;
        }
        d->changed.notify_all();
        d->worker.join();
    }
    if (d->mapped)
        d->file.unmap(d->mapped);
}

void BodyCompressor::add(const char *data, qint64 size)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    if (d->failed || d->last)
        return;
    d->changed.wait(lock, [this] { return d->chunks.size() < Private::queueLimit; });
    d->chunks.emplace_back(data, static_cast<int>(size));
    d->total += size;
    lock.unlock();
    d->changed.notify_all();
}

bool BodyCompressor::finish(qint64 expectedSize)
{
    if (d->worker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            d->last = true;
        }
        d->changed.notify_all();
        d->worker.join();
    }
    // The body stands for the file only when it holds every byte of it; no data at all has a
    // form of its own (the prefix alone), which the upload makes itself.
    if (d->failed || d->total != expectedSize || d->total == 0 || !d->file.seek(0)
        || !writeLengthPrefix(d->total, &d->file) || !d->file.flush()
        || d->file.size() > std::numeric_limits<int>::max() || !(d->mapped = d->file.map(0, d->file.size())))
        return false;
    d->body = QByteArray::fromRawData(reinterpret_cast<const char *>(d->mapped), static_cast<int>(d->file.size()));
    return true;
}

QByteArray BodyCompressor::body() const
{
    return d->body;
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

    bool make(BodyCompressor *ready)
    {
        if (!m_file.open(QIODevice::ReadOnly)) {
            m_errorString = QStringLiteral("Cannot read %1: %2").arg(m_file.fileName(), m_file.errorString());
            return false;
        }
        const qint64 size = m_file.size();
        if (ready && ready->finish(size)) {
            body = ready->body();
            return true;
        }
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

bool postLogFile(const QString &path, const QString &receiverUrl, Logger *logger, BodyCompressor *ready,
                 QString *failure)
{
    UploadBody upload(path);
    const bool made = upload.make(ready);
    logger->logLazily([&] { return QStringLiteral("Trying to POST file ") + path; });
    if (!made) {
        // Posting anything less than the whole log would have the receiver accept a loss.
        logger->logLazily([&] { return QStringLiteral("POST results: ") + upload.errorString(); });
        if (failure)
            *failure = upload.errorString();
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
    if (failure && !result.ok)
        *failure = result.message;
    return !result.ok;
}
