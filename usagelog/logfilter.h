#pragma once

#include "mergedlog.h"

#include <QHash>
#include <QVector>
#include <QXmlStreamWriter>

#include <map>

class QIODevice;
class QXmlStreamReader;

enum FilterResult {
    Published = 0,
    NothingPublished = 1,
    Failed = 2,
    InvalidInstruction = 3,
};

// Rewrites one full log for the receiver in a single pass: each session published as its
// instruction says (in full, as a summary without events, or not at all), text inside `anon`
// replaced by the Base64 of its MD5, and each `eventstart`/`eventend` pair joined into one
// `event`. The caller opens and closes both devices.
class LogFilter
{
public:
    LogFilter(QIODevice *input, QIODevice *output, const MergedLog &log);

    FilterResult run(const QVector<PublishInstruction> &instructions);
    QString errorString() const { return m_errorString; }

private:
    void startEvent(QXmlStreamReader &reader, int anonDepth);
    void endEvent(QXmlStreamReader &reader, class XmlOutput &output);

    QIODevice *m_input;
    QIODevice *m_output;
    const MergedLog &m_log;
    QString m_errorString;
    std::map<int, QString> m_pendingEvents;
    // Serialises one event's content at a time; its element stack is empty between events.
    QString m_eventText;
    QXmlStreamWriter m_eventWriter { &m_eventText };
};

// The digest that stands in for anonymised text.
QString anonymise(const QStringRef &text);
