#include "eventlog.h"

#include <cstdio>

AdminEventType adminEventType(AdminEvent event)
{
    switch (event) {
    case AdminEvent::ExchangeFailed:
    case AdminEvent::OutputFolderFailed:
    case AdminEvent::UsageError:
    case AdminEvent::NoLogFolder: return AdminEventType::Error;
    case AdminEvent::UploadFailed:
    case AdminEvent::LogDropped:
    case AdminEvent::BrokenLogRemoved:
    case AdminEvent::LeftoversRemoved:
    case AdminEvent::LogKept: return AdminEventType::Warning;
    case AdminEvent::RunMessage: break;
    }
    return AdminEventType::Information;
}

void writeStandardErrorLine(int priority, const std::string &line)
{
    const std::string prefix = standardErrorIsJournal() ? "<" + std::to_string(priority) + ">" : std::string();
    std::fputs((prefix + line + '\n').c_str(), stderr);
    std::fflush(stderr);
}
