#pragma once

#include "formatnames.h"
#include "mergedlog.h"

#include <QDir>
#include <QMap>

#include <cstdint>
#include <functional>
#include <set>
#include <vector>

class FileClaim;
class QXmlStreamReader;

// Group name (a file name up to its first dot) to the file names of the group, both in
// code-unit order.
using LogGroups = QMap<QString, std::set<QString>>;

// The files of a folder by group, without Windows' hidden and system files. Full logs ("<group>.full.<ext>") go to
// `fullLogs` instead, when it is given; a name without a dot belongs to no group.
LogGroups listLogGroups(const QDir &dir, QStringList *fullLogs = nullptr);

// Joins the part files of each log into one full log ("<group>.full.xml"), reading the log's
// delivery flags and the identification of each session on the way, and removes the parts.
// Only a group whose every part this process can remove is merged: a part that stayed would be
// delivered again by the next run.
class LogMerger
{
public:
    LogMerger(const QDir &partsDir, const QDir &outputDir);

    void mergeAll(const LogGroups &groups, QList<MergedLog> &mergedLogs, QList<SessionInfo> &sessions);
    // Merges a group without removing its parts.
    MergedLog mergeGroup(const QString &groupName, const std::set<QString> &fileNames);

    // The groups whose numbering was broken and whose parts mergeAll() removed.
    LogGroups removedBroken;
    // Tests: a part (by its file name) whose removal fails as the system's would.
    std::function<bool(const QString &part)> refuseRemoval;
    // The groups kept, with why, for a reason that no wait cures, so the run tells it each time:
    // this account may not remove one of their parts, or the lock of a part cannot be made.
    QMap<QString, QString> kept;
    // The logs that the merge could not carry (see MergedLog::unfit), whose parts it removed.
    QList<MergedLog> unfitLogs;
    // The longest run between two '<' that a part may hold; tests set a smaller one.
    qint64 textRunLimit = maximumTextRunBytes;

private:
    bool isGroupReady(const QString &groupName, const std::set<QString> &fileNames, bool &broken);
    // Claims every part of a group; false, with nothing held, when a part cannot be had (noted in
    // `kept` when rights refused it).
    bool claimGroup(const QString &groupName, const std::set<QString> &fileNames, std::vector<FileClaim> &claims);
    MergedLog mergeClaimed(const QString &groupName, std::vector<FileClaim> &claims);
    // Removes the claimed parts in order: true when all went; with `firstDecides`, when the first
    // went, and nothing more is removed when it stays.
    bool removeClaimed(const std::set<QString> &fileNames, std::vector<FileClaim> &claims, bool firstDecides) const;

    QDir m_partsDir;
    QDir m_outputDir;
};
