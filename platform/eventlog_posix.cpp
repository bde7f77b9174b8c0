// POSIX side of the administrator's events: the journal, when standard error is its stream.
// systemd names that stream in JOURNAL_STREAM ("<device>:<inode>") and reads a "<n>" at the start
// of a line as the line's priority. The variable alone proves nothing: a terminal opened from a
// service inherits it, so the stream itself must be the one it names.

#include "eventlog.h"

#include "wide_p.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

bool standardErrorIsJournal()
{
    const char *named = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat info;
    return named && std::sscanf(named, "%llu:%llu", &device, &inode) == 2 && fstat(2, &info) == 0
           && static_cast<unsigned long long>(info.st_dev) == device
           && static_cast<unsigned long long>(info.st_ino) == inode;
}

bool reportAdminEvent(AdminEvent event, const std::wstring &text)
{
    // The run's messages reach the same stream as they are: an event would say them twice.
    if (event == AdminEvent::RunMessage || !standardErrorIsJournal())
        return false;
    const AdminEventType type = adminEventType(event);
    const char *priority = type == AdminEventType::Error ? "<3>" : type == AdminEventType::Warning ? "<4>" : "<6>";
    // One journal entry a line: the reason first, each further line indented under it.
    std::string lines = priority;
    for (const char c : wide::toUtf8(text))
        lines += c == '\n' ? std::string("\n") + priority + "  " : std::string(1, c);
    lines += '\n';
    return std::fputs(lines.c_str(), stderr) >= 0 && std::fflush(stderr) == 0;
}

bool isConsoleProgram()
{
    return true;
}

void discardStandardStreams() { }
