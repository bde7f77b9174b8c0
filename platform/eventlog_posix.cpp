// POSIX has no event log of its own: the journal takes a run's standard error.

#include "eventlog.h"

bool reportAdminEvent(AdminEvent, const std::wstring &)
{
    return false;
}

bool isConsoleProgram()
{
    return true;
}

void discardStandardStreams() { }
