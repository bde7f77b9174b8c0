#pragma once

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <ostream>

// How the service wants a session published.
enum PublishType : qint32 {
    InvalidPublishType = -1,
    Discard = 0,
    SummaryOnly = 1,
    Details = 2,
};

PublishType parsePublishType(const QString &text);

// Strict whole-text decimal conversion, as logs and the store are read: an optional sign and
// digits, nothing around them (no white space). False, and `out` untouched, for anything else.
bool toStrictNumber(QStringView text, qint32 &out);
bool toStrictNumber(QStringView text, qint64 &out);
QString publishTypeName(PublishType type);
std::ostream &operator<<(std::ostream &stream, PublishType type);

// The identification of one session, as the merge reads it from a log, the service receives
// it and the filter matches it.
struct SessionInfo
{
    qint32 productID = -1;
    QString version;
    qint32 osPlatform = -1;
    qint32 osVersion = -1;
    QString servicePack;
    qint32 osBits = -1;
    qint32 architecture = -1;
    QString langID;
    QString country;
    QString locale;

    // The values a later session of a merged log starts from.
    static SessionInfo zeroed();

    bool operator==(const SessionInfo &other) const;
    bool operator!=(const SessionInfo &other) const { return !(*this == other); }
    // Equal on everything but country and locale: the same session for the store's merge.
    bool sameSessionIgnoringPlace(const SessionInfo &other) const;
};

uint qHash(const SessionInfo &session, uint seed = 0);
// The hash of the eight fields that sameSessionIgnoringPlace() compares.
uint qHashIgnoringPlace(const SessionInfo &session, uint seed = 0);

struct PublishInstruction : SessionInfo
{
    PublishType publish = InvalidPublishType;
    qint64 publishUntil = -1; // seconds since 1970-01-01 00:00:00 UTC

    const SessionInfo &session() const { return *this; }
};
