#pragma once

#include "mergedlog.h"

#include <QDir>
#include <QMap>

#include <set>

class QXmlStreamReader;

// Group name (a file name up to its first dot) to the file names of the group, both in
// code-unit order.
using LogGroups = QMap<QString, std::set<QString>>;

// The files of a folder by group, without Windows' hidden and system files. Full logs ("<group>.full.<ext>") go to
// `fullLogs` instead, when it is given; a name without a dot belongs to no group.
LogGroups listLogGroups(const QDir &dir, QStringList *fullLogs = nullptr);

// Joins the part files of each log into one full log ("<group>.full.xml"), reading the log's
// delivery flags and the identification of each session on the way, and removes the parts.
class LogMerger
{
public:
    LogMerger(const QDir &partsDir, const QDir &outputDir);

    void mergeAll(const LogGroups &groups, QList<MergedLog> &mergedLogs, QList<SessionInfo> &sessions);
    MergedLog mergeGroup(const QString &groupName, const std::set<QString> &fileNames);

private:
    bool isGroupReady(const std::set<QString> &fileNames, bool &broken) const;
    void removeFiles(const std::set<QString> &fileNames) const;

    QDir m_partsDir;
    QDir m_outputDir;
};
