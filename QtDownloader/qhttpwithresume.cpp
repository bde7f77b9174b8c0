#include "qhttpwithresume.h"
#include "qhttpwithresume_p.h"

#include "systemproxy.h"

#include <QDebug>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace QtDownloader {

const QString QHttpWithResume::FormUrlEncodedContentType = QStringLiteral("application/x-www-form-urlencoded");
const QString QHttpWithResume::OctetStreamContentType = QStringLiteral("application/octet-stream");

namespace {

QString partialPathOf(const QString &target)
{
    return target + QLatin1String(".part");
}

QByteArray encodedWithoutPassword(const QUrl &url)
{
    return url.toEncoded(QUrl::RemovePassword);
}

QByteArray readLineWithoutBreak(QFile &file)
{
    QByteArray line = file.readLine();
    line.chop(line.endsWith('\n') ? 1 : 0);
    return line;
}

// A body that can be read once only. Qt sends a request again on its own when the connection
// drops before an answer, if it can read the body again: for a POST that may have been stored
// already, that would deliver it twice. Unable to rewind, Qt ends the request with an error
// instead, and each call makes one attempt.
class OneTimeBody : public QIODevice
{
public:
    explicit OneTimeBody(const QByteArray &data)
        : m_data(data)
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    bool reset() override { return false; } // quietly: QIODevice's own warns of a sequential device
    qint64 bytesAvailable() const override { return m_data.size() - m_read + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 size) override
    {
        const qint64 count = qMin(size, static_cast<qint64>(m_data.size()) - m_read);
        memcpy(data, m_data.constData() + m_read, static_cast<size_t>(count));
        m_read += count;
        return count;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    const QByteArray m_data;
    qint64 m_read = 0;
};

} // namespace

ResumeState ResumeState::read(const QString &target)
{
    ResumeState state;
    QFile file(pathOf(target));
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return state;
    state.etag = readLineWithoutBreak(file);
    state.url = QUrl::fromEncoded(readLineWithoutBreak(file), QUrl::StrictMode);
    bool ok = false;
    const int size = readLineWithoutBreak(file).toInt(&ok);
    state.size = ok ? size : 0;
    return state;
}

void ResumeState::write(const QString &target, const QByteArray &etag, const QUrl &url, const QByteArray &length)
{
    QFile file(pathOf(target));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(etag + '\n' + encodedWithoutPassword(url) + '\n' + length + '\n');
}

QHttpWithResume::QHttpWithResume(QObject *parent)
    : QObject(parent)
{
    // Redirects are followed by the engine itself, with its own history and limit.
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    // Direct unless someone sets a proxy: Qt's own default would follow http_proxy and
    // no_proxy by its own rules, beside the user's proxy discovery.
    manager.setProxy(QNetworkProxy::NoProxy);
    intervalTimer.setInterval(50);
    timeoutTimer.setSingleShot(true);
    timeoutTimer.setInterval(30000);
    connect(this, &QHttpWithResume::DelayedResumeRequestFinished, this, &QHttpWithResume::ResumeRequestFinished,
            Qt::QueuedConnection);
    connect(this, &QHttpWithResume::DelayedResumeRequestFinished, this, &QHttpWithResume::RequestFinished,
            Qt::QueuedConnection);
    connect(&intervalTimer, &QTimer::timeout, this, &QHttpWithResume::resetIntervalCounter);
    connect(&timeoutTimer, &QTimer::timeout, this, &QHttpWithResume::onTimeout);
    intervalClock.start();
    averageClock.start();
}

QHttpWithResume::~QHttpWithResume()
{
    // Replies still running are abandoned with the manager; none of them may call back into
    // an engine that is half destroyed.
    for (QNetworkReply *reply : requests.keys())
        reply->disconnect(this);
}

void QHttpWithResume::SetInternetAccessBlocked(bool blocked)
{
    internetAccessBlocked = blocked;
}

QNetworkReply *QHttpWithResume::refuseBlocked()
{
    errorText = tr("Internet access is disabled by the system administrator.");
    Q_EMIT DelayedResumeRequestFinished(nullptr, true);
    return nullptr;
}

void QHttpWithResume::connectReply(QNetworkReply *reply)
{
    connect(reply, &QNetworkReply::metaDataChanged, this, &QHttpWithResume::httpResponseHeaderReceived);
    connect(reply, &QNetworkReply::finished, this, &QHttpWithResume::httpRequestFinished);
    connect(reply, &QNetworkReply::sslErrors, this, &QHttpWithResume::onSslErrors);
    connect(reply, &QNetworkReply::downloadProgress, this, &QHttpWithResume::httpDataReadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &QHttpWithResume::httpDataArrived);
}

void QHttpWithResume::applyProxySwitch(const QUrl &url)
{
    if (!useSystemProxy)
        return;
    applySystemProxy(&manager, url);
}

QNetworkReply *QHttpWithResume::Post(const QUrl &url, const QString &contentType, const QByteArray &data,
                                     const HeaderList &extraHeaders)
{
    errorText.clear();
    if (internetAccessBlocked)
        return refuseBlocked();

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    request.setHeader(QNetworkRequest::ContentLengthHeader, data.size());
    for (const auto &header : extraHeaders)
        request.setRawHeader(header.first.toLatin1(), header.second.toLatin1());

    // Sent as Qt reads it, never buffered and never rewound (OneTimeBody).
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    auto *body = new OneTimeBody(data);
    QNetworkReply *reply = manager.post(request, body);
    body->setParent(reply);
    RequestRecord record;
    record.reply = reply;
    record.url = url;
    record.contentType = contentType;
    record.postData = &data;
    record.extraHeaders = extraHeaders;
    requests.insert(reply, record);
    connectReply(reply);
    httpRequestStarted(reply);
    return reply;
}

PostResult QHttpWithResume::SyncPost(const QUrl &url, const QString &contentType, const QByteArray &data,
                                     const HeaderList &extraHeaders)
{
    QEventLoop loop;
    Post(url, contentType, data, extraHeaders);
    // The end is signalled through a queued connection, so it cannot be missed here even
    // when Post failed at once.
    connect(this, &QHttpWithResume::RequestFinished, &loop, &QEventLoop::quit);
    connect(&timeoutTimer, &QTimer::timeout, &loop, &QEventLoop::quit);
    loop.exec();
    return PostResult { lastOk, lastMessage };
}

QNetworkReply *QHttpWithResume::Get(const QUrl &url, std::shared_ptr<QBuffer> buffer)
{
    errorText.clear();
    if (internetAccessBlocked) {
        buffer.reset();
        return refuseBlocked();
    }
    buffer->close();
    buffer->setData(QByteArray());
    buffer->open(QIODevice::ReadWrite);

    QNetworkRequest request(url);
    qDebug() << request.rawHeaderList();
    RequestRecord record;
    record.device = buffer;
    record.buffer = buffer;
    record.url = url;
    return startGet(request, record);
}

QNetworkReply *QHttpWithResume::Download(const QUrl &url, const QString &filePath)
{
    errorText.clear();
    if (internetAccessBlocked)
        return refuseBlocked();

    const QString target = QFileInfo(filePath).absoluteFilePath();
    const QString partialPath = partialPathOf(target);
    // A state for another address, or none, leaves nothing to resume or to keep.
    const ResumeState state = ResumeState::read(target);
    if (state.etag.isEmpty() || encodedWithoutPassword(state.url) != encodedWithoutPassword(url)) {
        QFile::remove(ResumeState::pathOf(target));
        QFile::remove(target);
        QFile::remove(partialPath);
    }
    const qint64 targetSize = QFileInfo::exists(target) ? QFileInfo(target).size() : 0;
    if (targetSize != state.size)
        QFile::remove(target);
    if (QFileInfo::exists(target) && QFileInfo::exists(partialPath)) {
        QFile::remove(target);
        QFile::remove(partialPath);
    }

    auto file = std::make_shared<QFile>(partialPath);
    if (!file->open(QIODevice::ReadWrite)) {
        errorText = tr("Unable to open %1 for writing.").arg(partialPath);
        Q_EMIT DelayedResumeRequestFinished(nullptr, true);
        return nullptr;
    }
    // A target still held is checked for change; a partial file is resumed where it ends.
    QNetworkRequest request(url);
    const QByteArray etagLatin1 = QString::fromUtf8(state.etag).toLatin1();
    if (QFileInfo::exists(target) && !state.etag.isEmpty()) {
        request.setRawHeader("If-None-Match", etagLatin1);
    } else if (file->size() > 0) {
        request.setRawHeader("Range", QStringLiteral("bytes=%1-").arg(file->size()).toLatin1());
        if (!state.etag.isEmpty())
            request.setRawHeader("If-Range", etagLatin1);
    }

    RequestRecord record;
    record.device = file;
    record.file = file;
    record.targetPath = target;
    record.url = url;
    return startGet(request, record);
}

// The shared tail of Get and Download: issues the request and files its record.
QNetworkReply *QHttpWithResume::startGet(QNetworkRequest &request, RequestRecord &record)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    applyProxySwitch(record.url);
    QNetworkReply *reply = manager.get(request);
    record.reply = reply;
    connectReply(reply);
    httpRequestStarted(reply);
    requests.insert(reply, record);
    return reply;
}

void QHttpWithResume::httpRequestStarted(QNetworkReply *id)
{
    qDebug() << "HttpRequestStarted for id:" << id;
    timeoutTimer.start();
    intervalClock.restart();
    intervalStart = bytesReceived;
    intervalBytes = 0;
    averageClock.restart();
    bytesReceived = 0;
}

void QHttpWithResume::httpDataReadProgress(qint64 done, qint64 total)
{
    timeoutTimer.start(); // the inactivity count starts again from this report
    intervalBytes = done - intervalStart;
    bytesReceived = done;
    Q_EMIT ResumeDataReadProgress(done, total);
}

void QHttpWithResume::resetIntervalCounter()
{
    intervalClock.restart();
    intervalStart = bytesReceived;
    intervalBytes = 0;
}

void QHttpWithResume::resetAverageCounter()
{
    averageClock.restart();
    bytesReceived = 0;
}

int QHttpWithResume::averageRate() const
{
    const qint64 elapsed = qMax<qint64>(averageClock.elapsed(), 1);
    return static_cast<int>((bytesReceived / elapsed) * 1000);
}

void QHttpWithResume::httpResponseHeaderReceived()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    intervalTimer.start(50);
    auto found = requests.find(reply);
    if (found == requests.end())
        return;
    RequestRecord &record = found.value();

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    switch (status) {
    case 301:
    case 302:
    case 303:
    case 307: {
        const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (!target.isEmpty() && !record.redirectHistory.contains(target)
            && record.redirectHistory.size() < maxRedirects) {
            record.redirectHistory.append(target);
            record.redirectUrl = target;
        }
        break;
    }
    case 416:
        if (record.rangeRetries <= 0) {
            ++record.rangeRetries;
            record.redirectUrl = record.url;
        }
        break;
    case 200:
        if (record.file) {
            QFile::remove(record.targetPath);
            const QByteArray length = reply->rawHeader("Content-Length");
            if (!length.isEmpty())
                ResumeState::write(record.targetPath, reply->rawHeader("ETag"), record.url, length);
            // The full body replaces whatever the partial file held.
            record.file->resize(0);
            record.file->seek(0);
        }
        break;
    case 206:
        if (record.device && !record.device->isSequential())
            record.device->seek(record.device->size());
        break;
    case 304: record.notModified = true; break;
    default: break;
    }
}

// Copies the body of a GET into its device as it arrives. Only a body that is the resource
// itself (200 or 206) is kept; redirect pages, refusals and error pages are dropped.
void QHttpWithResume::keepBody(QNetworkReply *reply, const RequestRecord &record)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray data = reply->readAll();
    if (record.device && record.device->isOpen() && (status == 200 || status == 206) && record.redirectUrl.isEmpty())
        record.device->write(data);
}

void QHttpWithResume::httpDataArrived()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const auto found = requests.constFind(reply);
    if (found != requests.constEnd() && found->device)
        keepBody(reply, *found);
    else if (reply->operation() == QNetworkAccessManager::GetOperation)
        reply->readAll();
}

void QHttpWithResume::httpRequestFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    // A 307 or 308 answer has Qt rewind a POST's body, which a one-time body refuses: the answer
    // came all the same, and a redirect is followed by the engine itself.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool error = reply->error() != QNetworkReply::NoError
                       && !(reply->error() == QNetworkReply::ContentReSendError && (status == 307 || status == 308));
    lastOk = !error;
    lastMessage = error ? reply->errorString() : QString();
    timeoutTimer.stop();

    auto found = requests.find(reply);
    if (found == requests.end()) {
        Q_EMIT DelayedResumeRequestFinished(reply, error);
        return;
    }
    if (reply->bytesAvailable() > 0)
        keepBody(reply, *found); // whatever is left of the body goes where the rest went

    qDebug() << "QHttpWithResume::httpRequestFinished(" << reply << (error ? ", true)" : ", false)");
    qDebug() << "  Total bytes requested:" << reply->rawHeader("Content-Length");
    qDebug() << "  Total bytes received:" << bytesReceived;
    qDebug() << "  Total time:" << averageClock.elapsed() << "ms";
    qDebug() << "  Average transfer rate:" << averageRate() / 1024 << "KB/s";

    RequestRecord record = found.value();
    if (record.file)
        record.file->close();
    if (record.buffer)
        record.buffer->close();

    const bool isPost = reply->operation() == QNetworkAccessManager::PostOperation;
    const bool canReissue
        = !record.redirectUrl.isEmpty() && (!isPost || (!record.contentType.isEmpty() && record.postData));
    if (canReissue) {
        requests.erase(found);
        reissue(reply, record);
        return;
    }
    // The end of the request. A redirected POST without a content type cannot be sent
    // again, so it ends here with the 3xx reply rather than never ending.
    intervalTimer.stop();
    if (record.file && !error && reply->operation() == QNetworkAccessManager::GetOperation)
        completeDownload(reply, record);
    Q_EMIT DelayedResumeRequestFinished(record.reply, error);
    requests.remove(reply);
}

// Sends the request again to its redirect target; it goes on under the new reply, with the
// caller's handle and what the redirects have taught so far.
void QHttpWithResume::reissue(QNetworkReply *reply, RequestRecord record)
{
    QNetworkReply *next = nullptr;
    if (reply->operation() == QNetworkAccessManager::PostOperation) {
        next = Post(record.redirectUrl, record.contentType, *record.postData, record.extraHeaders);
    } else if (record.file) {
        record.file->close();
        QFile::remove(ResumeState::pathOf(record.targetPath));
        QFile::remove(partialPathOf(record.targetPath));
        next = Download(record.redirectUrl, record.targetPath);
    } else if (record.buffer) {
        record.buffer->close();
        record.buffer->setData(QByteArray());
        record.buffer->open(QIODevice::WriteOnly);
        next = Get(record.redirectUrl, record.buffer);
    }
    if (!next)
        return; // the operation has already signalled the end
    RequestRecord &carried = requests[next];
    carried.reply = record.reply;
    carried.rangeRetries = record.rangeRetries;
    carried.redirectHistory = record.redirectHistory;
    carried.contentType = record.contentType;
    carried.postData = record.postData;
    carried.extraHeaders = record.extraHeaders;
}

void QHttpWithResume::completeDownload(QNetworkReply *reply, RequestRecord &record)
{
    const QString partialPath = partialPathOf(record.targetPath);
    const QByteArray length = reply->rawHeader("Content-Length");
    if (!length.isEmpty() && length.toLongLong() != bytesReceived) {
        // Partial and state files stay for a later resume.
        errorText = tr("Download incomplete. Received %1 bytes, expected %2 bytes.")
                        .arg(bytesReceived)
                        .arg(QString::fromLatin1(length));
        return;
    }
    if (record.notModified) {
        QFile::remove(partialPath);
        return;
    }
    QFile::remove(record.targetPath);
    if (!QFile::rename(partialPath, record.targetPath)) {
        errorText = tr("Unable to rename %1 to %2.").arg(partialPath, record.targetPath);
        QFile::remove(ResumeState::pathOf(record.targetPath));
    }
}

void QHttpWithResume::onTimeout()
{
    lastOk = false;
    lastMessage = QStringLiteral("timeout");
}

void QHttpWithResume::onSslErrors(QList<QSslError> errors)
{
    qDebug() << "Received the following SSL Errors:";
    if (errors.isEmpty())
        return;
    errorText = errors.first().errorString();
    for (int i = 0; i < errors.size(); ++i)
        qDebug() << i << "-" << errors.at(i).errorString();
}

} // namespace QtDownloader
