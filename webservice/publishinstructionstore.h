#pragma once

#include "publishinstruction.h"

#include <QHash>
#include <QSettings>
#include <QVector>

#include <functional>

// The publish instructions kept between runs, in the user's INI settings file of the
// organisation and application. The whole store is one XML document under the key "data".
//
// Lookups go through two indexes that give the same answers as a walk of `entries` in
// order: all positions of each identification (the first live one wins), and the first
// position of each identification without country and locale (the entry that addOrUpdate
// changes).
class PublishInstructionStore
{
public:
    using Clock = std::function<qint64()>;

    PublishInstructionStore();

    [[nodiscard]] bool load();
    [[nodiscard]] bool save();
    bool findInstruction(const SessionInfo &session, PublishInstruction &out);
    void addOrUpdate(const PublishInstruction &instruction);
    QString errorString() const { return m_errorString; }

    const QVector<PublishInstruction> &entries() const { return m_entries; }

    // The current time in seconds since 1970; the C runtime's clock unless replaced.
    void setClock(Clock clock) { m_clock = std::move(clock); }

private:
    struct PlacelessKey
    {
        SessionInfo session;
        bool operator==(const PlacelessKey &other) const { return session.sameSessionIgnoringPlace(other.session); }
    };
    friend uint qHash(const PlacelessKey &key, uint seed) { return qHashIgnoringPlace(key.session, seed); }

    void append(const PublishInstruction &instruction);

    QVector<PublishInstruction> m_entries;
    QHash<SessionInfo, QVector<int>> m_positions;
    QHash<PlacelessKey, int> m_firstPlaceless;
    QString m_errorString;
    QSettings m_settings;
    Clock m_clock;
};
