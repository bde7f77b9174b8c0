#include "logger.h"

#include <QString>

Logger::~Logger() = default;

void Logger::log(const QString &message)
{
    Q_UNUSED(message);
}
