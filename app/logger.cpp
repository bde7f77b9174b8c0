#include "logger.h"

#include <QLoggingCategory>

Logger::~Logger() = default;

void Logger::log(const QString &message)
{
    Q_UNUSED(message);
}

bool Logger::isEnabled() const
{
    return false;
}

// Info and below are off unless the rules turn them on; the run writes at info level.
Q_LOGGING_CATEGORY(lcRun, "vintor.run", QtWarningMsg)

void CategoryLogger::log(const QString &message)
{
    qCInfo(lcRun).noquote() << message;
}

bool CategoryLogger::isEnabled() const
{
    return lcRun().isInfoEnabled();
}
