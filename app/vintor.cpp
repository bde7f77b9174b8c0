#include "vintor.h"

#include "eventlog.h"
#include "fileclaim.h"
#include "filelock.h"
#include "logger.h"
#include "logmerger.h"
#include "logupload.h"
#include "printable.h"
#include "processlogfile.h"
#include "publishinstructionstore.h"
#include "usagewebservice.h"
#include "xmlhelpers.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

Vintor::Vintor(const QString &wsUrl, const QString &receiverUrl, Logger *logger, bool forKaldo, bool forTiro)
    : QObject(nullptr)
    , receiverUrl(receiverUrl)
    , wsUrl(wsUrl)
    , kaldoDir(QString())
    , localAdminDir(QString())
    , logger(logger)
    , forKaldo(forKaldo)
    , forTiro(forTiro)
{
}

void Vintor::main()
{
    // Collection, in the folder that main() found and guards: load the store, scan, merge, keep
    // debug copies.
    const QString &folder = logFolder;
    logger->logLazily([&] { return QStringLiteral("Log folder is: ") + folder; });
    if (folder.isEmpty()) {
        logger->log(QStringLiteral("No log folder returned, stopping."));
        QStringList tried;
        for (const QString &path : qAsConst(foldersTried))
            tried.append(shown(QDir::toNativeSeparators(path)));
        reportAdminEvent(AdminEvent::NoLogFolder,
                         (QStringLiteral("No log folder could be found or made; the products' logs stay unsent.\n"
                                         "Folders tried:\n")
                          + tried.join(QLatin1Char('\n')))
                             .toStdWString());
        QCoreApplication::exit(0);
        return;
    }

    // Lock objects of writers that died before their file existed lead to no file: no later run
    // would ever take them.
    FileLock::sweepAbandoned();
    const QString shownFolder = shown(QDir::toNativeSeparators(folder)); // as the events name it

    PublishInstructionStore store;
    if (!store.load())
        logger->logLazily([&] { return QStringLiteral("Failed to read configuration file: ") + store.errorString(); });

    // Files only, without the hidden and system files of Windows (listLogGroups).
    QDir logDir(folder);
    QStringList leftovers;
    const LogGroups groups = listLogGroups(logDir, &leftovers);
    // A full log whose first part is still there was cut short before the merge let any part go:
    // it was never sent, and its parts merge again now. It goes without a word: nothing is lost.
    QStringList copies;
    for (auto name = leftovers.begin(); name != leftovers.end();) {
        const QString group = name->section(QLatin1Char('.'), 0, 0);
        if (groups.value(group).count(group + QLatin1String(".0.xml"))) {
            copies.append(*name);
            name = leftovers.erase(name);
        } else {
            ++name;
        }
    }
    for (const QString &name : qAsConst(copies))
        removeLeftover(logDir.absoluteFilePath(name));
    // Full logs that a run cut short (killed, logged off, shut down) left: deleted unsent, as
    // every log is handled at most once, and named in an event.
    // Told before they go: a run cut short in between leaves them to be told again, never
    // gone without a word.
    if (!leftovers.isEmpty())
        reportNamingEvent(AdminEvent::LeftoversRemoved,
                          QStringLiteral("Unsent logs removed: ") + QString::number(leftovers.size())
                              + QStringLiteral(" full logs that a run cut short had merged were deleted, as each log "
                                               "is handled once"),
                          leftovers, QStringLiteral("Log folder: ") + shownFolder);
    for (const QString &name : qAsConst(leftovers))
        removeLeftover(logDir.absoluteFilePath(name));

    LogMerger merger(logDir, logDir);
    merger.mergeAll(groups, mergedLogs, pendingSessions);
    for (auto group = merger.removedBroken.cbegin(); group != merger.removedBroken.cend(); ++group) {
        QStringList parts(group.value().cbegin(), group.value().cend());
        reportAdminEvent(AdminEvent::BrokenLogRemoved,
                         (QStringLiteral("Broken log removed: ") + shown(group.key())
                          + QStringLiteral(": its parts are not numbered 0, 1, 2 and on, so they cannot be joined\n"
                                           "Parts: ")
                          + inBrief(parts) + QStringLiteral("\nLog folder: ") + shownFolder)
                             .toStdWString());
    }
    for (auto kept = merger.kept.cbegin(); kept != merger.kept.cend(); ++kept)
        reportAdminEvent(AdminEvent::LogKept,
                         (QStringLiteral("Log kept: ") + shown(kept.key()) + QStringLiteral(": ") + shown(kept.value())
                          + QStringLiteral(", so it is neither merged nor sent\nLog folder: ") + shownFolder)
                             .toStdWString());
    for (const MergedLog &log : qAsConst(merger.unfitLogs))
        reportDroppedLog(log, log.unfit, log.sessions.size());

    if (!debugDir.isEmpty()) {
        for (const MergedLog &log : qAsConst(mergedLogs)) {
            const QString base = debugDir + QLatin1Char('/') + QFileInfo(log.path).baseName();
            const QString copy = base + QLatin1String("-input.xml");
            if (QFile::exists(copy))
                QFile::remove(copy);
            QFile::copy(log.path, copy);
            writePrettyCopy(log.path, base + QLatin1String("-input-pretty.xml"));
        }
    }

    QVector<PublishInstruction> instructions;
    if (!runInstructionPhase(instructions, store))
        return;
    runDeliveryPhase(logDir, instructions);
}

// Deletes a full log left behind by an earlier run. Its lock is taken first (a run that was
// killed holding it is taken over), so that the release removes the lock object as well; a
// lock that someone still holds leaves the file for a later run.
bool Vintor::removeLeftover(const QString &path)
{
    FileLock lock(path.toUtf8().toStdString());
    if (!lock.tryLock(0))
        return false;
    const bool removed = removeOwnFile(path);
    lock.unlock();
    return removed;
}

// Removes a file of the run's own: a read-only mark is cleared, a moment's hold waited out.
bool Vintor::removeOwnFile(const QString &path)
{
    std::string error;
    if (removeFile(path.toStdWString(), &error))
        return true;
    logger->logLazily([&] {
        return QStringLiteral("File remove failed for [") + path + QStringLiteral("]: ")
               + QString::fromStdString(error);
    });
    return false;
}

QString inBrief(const QStringList &names, int count)
{
    QStringList first;
    for (const QString &name : names.mid(0, count))
        first.append(shown(name));
    if (names.size() <= count)
        return first.join(QStringLiteral(", "));
    return first.join(QStringLiteral(", ")) + QStringLiteral(" and ") + QString::number(names.size() - count)
           + QStringLiteral(" more");
}

QString shown(const QString &name)
{
    return QString::fromStdString(printable(name.toStdString()));
}

void reportNamingEvent(AdminEvent event, const QString &head, const QStringList &names, const QString &tail)
{
    // Each share of the list stays well below the event's limit, with room for the rest.
    constexpr int shareChars = 24000;
    QList<QStringList> shares { QStringList() };
    int size = 0;
    for (const QString &name : names) {
        const QString text = shown(name).left(shareChars);
        if (size + text.size() + 2 > shareChars && !shares.last().isEmpty()) {
            shares.append(QStringList());
            size = 0;
        }
        shares.last().append(text);
        size += text.size() + 2;
    }
    for (int i = 0; i < shares.size(); ++i) {
        const QString which = shares.size() == 1 ? QString()
                                                 : QStringLiteral(" (%1 of %2 lists, %3 names in all)")
                                                       .arg(i + 1)
                                                       .arg(shares.size())
                                                       .arg(names.size());
        reportAdminEvent(event, (head + QStringLiteral("\nLogs") + which + QStringLiteral(": ")
                                 + shares.at(i).join(QStringLiteral(", ")) + QLatin1Char('\n') + tail)
                                    .toStdWString());
    }
}

// Settles an instruction for every pending session, from the store or from the service.
// False when the run has ended.
bool Vintor::runInstructionPhase(QVector<PublishInstruction> &instructions, PublishInstructionStore &store)
{
    for (auto session = pendingSessions.begin(); session != pendingSessions.end();) {
        PublishInstruction found;
        if (store.findInstruction(*session, found)) {
            instructions.append(found);
            session = pendingSessions.erase(session);
        } else {
            ++session;
        }
    }
    if (pendingSessions.isEmpty())
        return true;

    const QString error = UsageWebService(wsUrl, logger).logsAvailable(pendingSessions, instructions);
    if (!error.isEmpty()) {
        logger->log(error);
        reportNamingEvent(AdminEvent::ExchangeFailed,
                          QStringLiteral("Web-service exchange failed: ") + shown(error) + QStringLiteral("\nService: ")
                              + shown(wsUrl),
                          mergedLogNames(),
                          QStringLiteral("The logs of this run were deleted; the run ended with -1."));
        removeMergedLogs();
        QCoreApplication::exit(-1);
        return false;
    }
    for (const PublishInstruction &instruction : qAsConst(instructions))
        store.addOrUpdate(instruction);
    // The run goes on without the store: the service is simply asked again next time.
    if (!store.save())
        logger->logLazily([&] { return QStringLiteral("Failed to save configuration file: ") + store.errorString(); });
    return true;
}

void Vintor::runDeliveryPhase(const QDir &logDir, const QVector<PublishInstruction> &instructions)
{
    if (!ensureSubdirectory(logDir, QStringLiteral("processedForKALDO"), kaldoDir)
        || !ensureSubdirectory(logDir, QStringLiteral("processedForLocalAdmin"), localAdminDir)) {
        // ensureSubdirectory has asked the loop to end with 1; that code stands.
        removeMergedLogs();
        return;
    }
    // A run killed during delivery leaves its processed files behind; nothing else writes
    // here while this run holds the folder's guard.
    for (const QDir &output : { kaldoDir, localAdminDir }) {
        for (const QString &name : output.entryList(QDir::Files | QDir::Hidden))
            removeOwnFile(output.absoluteFilePath(name));
    }

    // The instructions looked up by identification, once for all logs.
    const PublishIndex index(instructions);
    for (auto entry = mergedLogs.begin(); entry != mergedLogs.end();) {
        FileLock lock(entry->path.toUtf8().toStdString());
        if (!lock.tryLock(0)) {
            entry = mergedLogs.erase(entry); // the next run's scan deletes the file
            continue;
        }
        logger->logLazily([&] {
            return QStringLiteral("Considering [") + entry->path + QStringLiteral("]; sending to KALDO? ")
                   + (entry->sendToKALDO ? QStringLiteral("yes") : QStringLiteral("no"))
                   + QStringLiteral("; sending to TIRO? ")
                   + (entry->sendToTIRO ? QStringLiteral("yes") : QStringLiteral("no"));
        });
        if (entry->sendToKALDO)
            processLogFile(*entry, index);
        // Nothing is handed to the local administration tool.
        removeOwnFile(entry->path);
        lock.unlock();
        ++entry;
    }
    QCoreApplication::exit(0);
}

bool Vintor::ensureSubdirectory(const QDir &base, const QString &name, QDir &out)
{
    out = base;
    if (out.cd(name))
        return true;
    const bool made = out.mkdir(name);
    if (made && out.cd(name))
        return true;
    if (made)
        logger->logLazily([&] {
            return QStringLiteral("Failed to use '") + name + QStringLiteral("' directory ") + out.absolutePath();
        });
    else
        logger->logLazily([&] {
            return QStringLiteral("Failed to create '") + name + QStringLiteral("' directory inside ")
                   + out.absolutePath();
        });
    reportNamingEvent(AdminEvent::OutputFolderFailed,
                      QStringLiteral("Cannot prepare the output folder ")
                          + shown(QDir::toNativeSeparators(base.absoluteFilePath(name))),
                      mergedLogNames(), QStringLiteral("The logs of this run were deleted; the run ended with 1."));
    QCoreApplication::exit(1);
    return false;
}

QStringList Vintor::mergedLogNames() const
{
    QStringList names;
    for (const MergedLog &log : mergedLogs)
        names.append(QFileInfo(log.path).fileName());
    return names;
}

void Vintor::removeMergedLogs()
{
    for (const MergedLog &log : qAsConst(mergedLogs)) {
        FileLock lock(log.path.toUtf8().toStdString());
        if (!lock.tryLock(0))
            continue; // the next run's scan deletes it
        removeOwnFile(log.path);
        lock.unlock();
    }
}

void Vintor::processLogFile(const MergedLog &log, const PublishIndex &instructions)
{
    // The upload body is compressed on a second core while the filter writes the log.
    BodyCompressor body(kaldoDir.absolutePath());
    const QString dropped = processMergedLog(
        log, instructions, kaldoDir, debugDir, logger, [&](const QString &path) { postFile(path, receiverUrl, &body); },
        [&body](const char *data, qint64 size) { body.add(data, size); });
    // The full log is deleted after this run whatever the outcome: the event is its only trace.
    if (!dropped.isEmpty())
        // A last session alike the one before is complete, though the merge counted the two as one.
        reportDroppedLog(log, dropped,
                         log.sessions.size() + (dropped.startsWith(QLatin1String("its last session")) ? 1 : 0));
}

void Vintor::reportDroppedLog(const MergedLog &log, const QString &why, int sessions)
{
    reportAdminEvent(AdminEvent::LogDropped,
                     (QStringLiteral("Log dropped: ") + shown(QFileInfo(log.path).fileName()) + QStringLiteral(": ")
                      + shown(why) + QStringLiteral("\nComplete sessions that went with it: ")
                      + QString::number(sessions) + QStringLiteral("\nLog folder: ")
                      + shown(QDir::toNativeSeparators(logFolder))
                      + QStringLiteral("\nThe log was deleted and will not be sent again."))
                         .toStdWString());
}

bool Vintor::postFile(const QString &path, QString receiverUrl, BodyCompressor *body)
{
    QString failure;
    const bool failed = postLogFile(path, receiverUrl, logger, body, &failure);
    // The log is deleted after this run whatever the outcome: the event is its only trace.
    if (failed)
        reportAdminEvent(AdminEvent::UploadFailed,
                         (QStringLiteral("Upload failed for ") + shown(QFileInfo(path).fileName())
                          + QStringLiteral(": ") + shown(failure) + QStringLiteral("\nLog folder: ")
                          + shown(QDir::toNativeSeparators(logFolder)) + QStringLiteral("\nReceiver: ") + receiverUrl
                          + QStringLiteral("\nThe log was deleted and will not be sent again."))
                             .toStdWString());
    return failed;
}
