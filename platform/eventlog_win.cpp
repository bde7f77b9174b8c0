// Windows side of the administrator's events: the Application log through the event source
// "Vintor", with the ids of the message table that both executables carry (eventmessages.mc).

#include "eventlog.h"

#include "eventmessages.h"

#include <windows.h>

#include <cstdio>

bool reportAdminEvent(AdminEvent event, const std::wstring &text)
{
    DWORD id = 0;
    switch (event) {
    case AdminEvent::ExchangeFailed: id = VINTOR_EXCHANGE_FAILED; break;
    case AdminEvent::OutputFolderFailed: id = VINTOR_OUTPUT_FOLDER_FAILED; break;
    case AdminEvent::UsageError: id = VINTOR_USAGE_ERROR; break;
    case AdminEvent::NoLogFolder: id = VINTOR_NO_LOG_FOLDER; break;
    case AdminEvent::UploadFailed: id = VINTOR_UPLOAD_FAILED; break;
    case AdminEvent::LogDropped: id = VINTOR_LOG_DROPPED; break;
    case AdminEvent::BrokenLogRemoved: id = VINTOR_BROKEN_LOG_REMOVED; break;
    case AdminEvent::LeftoversRemoved: id = VINTOR_LEFTOVERS_REMOVED; break;
    case AdminEvent::LogKept: id = VINTOR_LOG_KEPT; break;
    case AdminEvent::RunMessage: id = VINTOR_RUN_MESSAGE; break;
    }
    const AdminEventType kind = adminEventType(event);
    const WORD type = kind == AdminEventType::Error     ? EVENTLOG_ERROR_TYPE
                      : kind == AdminEventType::Warning ? EVENTLOG_WARNING_TYPE
                                                        : EVENTLOG_INFORMATION_TYPE;
    // The source need not be registered: Windows then writes the event without its message
    // file, and the installer registers it for Event Viewer.
    HANDLE source = RegisterEventSourceW(nullptr, L"Vintor");
    if (!source)
        return false;
    const wchar_t *strings[1] = { text.c_str() };
    const bool written = ReportEventW(source, type, 0, id, nullptr, 1, 0, strings, nullptr) != 0;
    DeregisterEventSource(source);
    return written;
}

bool standardErrorIsJournal()
{
    return false;
}

bool isConsoleProgram()
{
    // The subsystem the executable was linked for, from its own image headers: one source makes
    // both programs, and only the linker tells them apart.
    const auto *image = reinterpret_cast<const unsigned char *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

void discardStandardStreams()
{
    // Failure leaves a stream as it was, which on a workstation is no stream at all.
    std::FILE *ignored = std::freopen("NUL", "w", stdout);
    ignored = std::freopen("NUL", "w", stderr);
    (void)ignored;
}
