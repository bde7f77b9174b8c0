#pragma once

#include "eventlog.h"
#include "logfilter.h"
#include "mergedlog.h"

#include <QDir>
#include <QObject>
#include <QVector>

class BodyCompressor;
class Logger;
class PublishInstructionStore;

// The first `shown` names and how many more, for an event: a few hundred characters at most,
// well within what the Application log takes.
QString inBrief(const QStringList &names, int count = 10);
// A name or a text in an event: its control characters escaped (printable()).
QString shown(const QString &name);
// Writes an event that names every log it is about: `head`, a line "Logs: " with the names, then
// `tail`. A list longer than one event of the Application log carries (31,839 characters) is
// spread over as many events as it needs, each telling which share of the list it holds.
void reportNamingEvent(AdminEvent event, const QString &head, const QStringList &names, const QString &tail);

// The driver object: one harvest run of the log folder, from the part files to the receiver.
class Vintor : public QObject
{
    Q_OBJECT
public:
    Vintor(const QString &wsUrl, const QString &receiverUrl, Logger *logger, bool forKaldo, bool forTiro);

    QString receiverUrl;
    QString wsUrl;
    // Found by the caller, which guards it for the whole run; the folders it tried.
    QString logFolder;
    QStringList foldersTried;
    QList<MergedLog> mergedLogs;
    QList<SessionInfo> pendingSessions;
    QDir kaldoDir;
    QDir localAdminDir;
    Logger *logger;
    QString debugDir;
    bool forKaldo;
    bool forTiro;

    bool ensureSubdirectory(const QDir &base, const QString &name, QDir &out);
    // The file names of the merged logs, for the events that tell of their loss.
    QStringList mergedLogNames() const;
    void removeMergedLogs();
    void processLogFile(const MergedLog &log, const PublishIndex &instructions);
    // The administrator's event for a log dropped with its sessions, and why.
    void reportDroppedLog(const MergedLog &log, const QString &why, int sessions);
    bool postFile(const QString &path, QString receiverUrl, BodyCompressor *body = nullptr);

public Q_SLOTS:
    void main();

private:
    bool removeLeftover(const QString &path);
    bool removeOwnFile(const QString &path);
    bool runInstructionPhase(QVector<PublishInstruction> &instructions, PublishInstructionStore &store);
    void runDeliveryPhase(const QDir &logDir, const QVector<PublishInstruction> &instructions);
};
