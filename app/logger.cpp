#include "logger.h"

#include "eventlog.h"

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

// A message of the run as an information event: one event a message, bounded, since a few
// messages hold a whole answer of the service.
void CategoryLogger::log(const QString &message)
{
    if (!isEnabled())
        return;
    qCInfo(lcRun).noquote() << message;
    constexpr int eventLimit = 4000;
    reportAdminEvent(
        AdminEvent::RunMessage,
        (message.size() <= eventLimit ? message : message.left(eventLimit) + QStringLiteral(" [...]")).toStdWString());
}

bool CategoryLogger::isEnabled() const
{
    return lcRun().isInfoEnabled();
}
