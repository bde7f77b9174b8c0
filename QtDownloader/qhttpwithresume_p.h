#pragma once

// Internal types of the transfer engine.

#include "qhttpwithresume.h"

namespace QtDownloader {

struct RequestRecord
{
    QNetworkReply *reply = nullptr; // the caller's handle, kept across redirects
    std::shared_ptr<QIODevice> device;
    std::shared_ptr<QFile> file;
    QString targetPath;
    std::shared_ptr<QBuffer> buffer;
    QUrl redirectUrl;
    QUrl url;
    int rangeRetries = 0;
    QList<QUrl> redirectHistory;
    bool notModified = false;
    QString contentType;
    const QByteArray *postData = nullptr; // the caller's body, not copied
    HeaderList extraHeaders;
};

// The state file kept beside a download's target: the entity tag, the address without its
// password and the full length, one per line.
struct ResumeState
{
    QByteArray etag;
    QUrl url;
    qint64 size = 0;

    static QString pathOf(const QString &target) { return target + QLatin1String(".st"); }
    // An absent or unreadable file reads as an empty state.
    static ResumeState read(const QString &target);
    // The URL is written without its password.
    static void write(const QString &target, const QByteArray &etag, const QUrl &url, const QByteArray &length);
};

} // namespace QtDownloader
