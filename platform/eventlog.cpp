#include "eventlog.h"

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
    case AdminEvent::LeftoversRemoved: return AdminEventType::Warning;
    case AdminEvent::RunMessage: break;
    }
    return AdminEventType::Information;
}
