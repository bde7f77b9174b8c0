#pragma once

#include "logfilter.h"
#include "mergedlog.h"

#include <QVector>

#include <functional>

class Logger;
class QDir;

// Filters one full log into `kaldoDir`, keeps the debug copies of the result when
// `debugDir` is set, hands a log that publishes at least one session to `post` (given the
// absolute path of the filtered file) and removes the filtered file. `observe`, when set, sees
// every chunk of the filtered file as it is written. Returns why the log could not be filtered,
// in an administrator's words, or an empty text when it could.
QString processMergedLog(const MergedLog &log, const PublishIndex &instructions, const QDir &kaldoDir,
                         const QString &debugDir, Logger *logger, const std::function<void(const QString &)> &post,
                         const std::function<void(const char *, qint64)> &observe = {});
