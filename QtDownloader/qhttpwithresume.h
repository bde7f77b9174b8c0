#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QPair>
#include <QSslError>
#include <QTimer>
#include <QUrl>

#include <memory>

class QNetworkReply;
class QNetworkRequest;

namespace QtDownloader {

using HeaderList = QList<QPair<QString, QString>>;

struct PostResult
{
    bool ok = false;
    QString message;
};

// One outstanding request (see qhttpwithresume_p.h).
struct RequestRecord;

// HTTP transfers with their own redirect handling, an inactivity time-out, rate tracking,
// a synchronous POST, and GETs into memory or resumably into a file.
class QHttpWithResume : public QObject
{
    Q_OBJECT
public:
    static const QString FormUrlEncodedContentType;
    static const QString OctetStreamContentType;

    explicit QHttpWithResume(QObject *parent = nullptr);
    ~QHttpWithResume() override;

    QNetworkReply *Post(const QUrl &url, const QString &contentType, const QByteArray &data,
                        const HeaderList &extraHeaders = HeaderList());
    PostResult SyncPost(const QUrl &url, const QString &contentType, const QByteArray &data,
                        const HeaderList &extraHeaders = HeaderList());
    QNetworkReply *Get(const QUrl &url, std::shared_ptr<QBuffer> buffer);
    QNetworkReply *Download(const QUrl &url, const QString &filePath);

    QString ErrorString() const { return errorText; }
    QNetworkAccessManager *NetworkAccessManager() { return &manager; }

    int averageRate() const;
    // The inactivity time-out, 30 s unless changed.
    void setInactivityTimeout(int milliseconds) { timeoutTimer.setInterval(milliseconds); }
    void setUseSystemProxy(bool use) { useSystemProxy = use; }

public Q_SLOTS:
    void SetInternetAccessBlocked(bool blocked);

Q_SIGNALS:
    void ResumeDataReadProgress(qint64 done, qint64 total);
    void ResumeRequestFinished(QNetworkReply *resp, bool error);
    void RequestFinished();
    void DelayedResumeRequestFinished(QNetworkReply *resp, bool error);

private Q_SLOTS:
    void resetAverageCounter();
    void resetIntervalCounter();
    void httpResponseHeaderReceived();
    void httpRequestFinished();
    void httpDataReadProgress(qint64 done, qint64 total);
    void httpRequestStarted(QNetworkReply *id);
    void onTimeout();
    void onSslErrors(QList<QSslError> errors);
    void httpDataArrived();

private:
    QNetworkReply *refuseBlocked();
    void connectReply(QNetworkReply *reply);
    void applyProxySwitch(const QUrl &url);
    QNetworkReply *startGet(QNetworkRequest &request, RequestRecord &record);
    void keepBody(QNetworkReply *reply, const RequestRecord &record);
    void reissue(QNetworkReply *reply, RequestRecord record);
    void completeDownload(QNetworkReply *reply, RequestRecord &record);

    bool internetAccessBlocked = false;
    QMap<QNetworkReply *, RequestRecord> requests;
    qint64 bytesReceived = 0;
    qint64 intervalBytes = 0;
    qint64 intervalStart = 0;
    QElapsedTimer intervalClock;
    QElapsedTimer averageClock;
    QTimer intervalTimer;
    QTimer timeoutTimer;
    int maxRedirects = 10;
    QString errorText;
    QNetworkAccessManager manager;
    bool useSystemProxy = false;
    bool lastOk = false;
    QString lastMessage;
};

} // namespace QtDownloader
