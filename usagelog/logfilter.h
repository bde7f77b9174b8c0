#pragma once

#include "mergedlog.h"
#include "xmloutput.h"

#include <QHash>
#include <QVector>

#include <map>

class QIODevice;
class QXmlStreamReader;

enum FilterResult {
    Published = 0,
    NothingPublished = 1,
    Failed = 2,
    InvalidInstruction = 3,
};

// The first instruction of each identification, as a walk of the instructions in order would
// find it: made once a run and shared by the filters of all its logs, so that a log costs the
// same however many others the run has.
class PublishIndex
{
public:
    explicit PublishIndex(const QVector<PublishInstruction> &instructions);
    // The instruction for `session`; InvalidPublishType when there is none.
    PublishType find(const SessionInfo &session) const { return m_publish.value(session, InvalidPublishType); }

private:
    QHash<SessionInfo, PublishType> m_publish;
};

// Rewrites one full log for the receiver in a single pass: each session published as its
// instruction says (in full, as a summary without events, or not at all), text inside `anon`
// replaced by the Base64 of its MD5, and each `eventstart`/`eventend` pair joined into one
// `event`. The caller opens and closes both devices.
class LogFilter
{
public:
    LogFilter(QIODevice *input, QIODevice *output, const MergedLog &log);

    FilterResult run(const PublishIndex &index);
    FilterResult run(const QVector<PublishInstruction> &instructions) { return run(PublishIndex(instructions)); }
    QString errorString() const { return m_errorString; }

private:
    // Handlers of the tokens; they return anything but Published to end the run with it.
    FilterResult startElement(QXmlStreamReader &reader);
    FilterResult startSession(QXmlStreamReader &reader);
    void endElement(const QXmlStreamReader &reader);
    void startEvent(QXmlStreamReader &reader);
    void endEvent(QXmlStreamReader &reader);
    FilterResult invalidInstruction();

    QIODevice *m_input;
    QIODevice *m_outputDevice;
    const MergedLog &m_log;
    QString m_errorString;
    XmlOutput m_output;
    const PublishIndex *m_index = nullptr; // while it runs
    PublishType m_current = InvalidPublishType;
    // The sessions of the log passed so far, and those written.
    int m_position = 0;
    int m_written = 0;
    // A depth, not a flag: text after a nested `anon` closes is still inside the outer one.
    int m_anonDepth = 0;
    std::map<int, QByteArray> m_pendingEvents;
    // Serialises one event's content at a time.
    XmlOutput m_eventOutput;
};

// The digest that stands in for anonymised text.
QString anonymise(const QStringRef &text);
