#pragma once

#include <string>

// What the tool tells an administrator outside its run: on Windows an event of the source
// "Vintor" in the Application log, whose text Event Viewer finds in the executable's message
// table; on POSIX nothing, since a scheduled run's standard error already reaches the journal.
// Each kind has a fixed type and id, which fleets filter on.
enum class AdminEvent {
    ExchangeFailed, // error 1: the run ended with -1
    OutputFolderFailed, // error 2: the run ended with 1
    UsageError, // error 3: a program without a console was given a wrong command line
    UploadFailed, // warning 10: a log was not delivered and is gone
    RunMessage, // information 100: one message of the run, with the diagnostics on
};

// Writes one event whose text is `text` (the reason first; Event Viewer lists the first line).
// False when it could not be written: callers go on as if it had been, since an event never
// changes a run's outcome.
bool reportAdminEvent(AdminEvent event, const std::wstring &text);

// Whether this program has a console of its own design: false for a Windows program built for
// the GUI subsystem (what scheduled runs start), true otherwise.
bool isConsoleProgram();

// Sends the standard output and error streams nowhere, as a program without a console has
// them on a workstation, even when its parent handed it some.
void discardStandardStreams();
