#pragma once

#include <string>

// What the tool tells an administrator outside its run. On Windows an event of the source
// "Vintor" in the Application log, whose text Event Viewer finds in the executable's message
// table. On Linux a line in the journal when the run's standard error is the journal's stream
// (as systemd sets it up for a service), with the priority of its type; on a terminal or any other
// standard error, nothing. Each kind has a fixed type and id, which fleets filter on.
enum class AdminEvent {
    ExchangeFailed, // error 1: the run ended with -1
    OutputFolderFailed, // error 2: the run ended with 1
    UsageError, // error 3: a program without a console was given a wrong command line
    NoLogFolder, // error 4: no log folder could be found or made
    UploadFailed, // warning 10: a log was not delivered and is gone
    LogDropped, // warning 11: a log that could not be filtered was deleted unsent
    BrokenLogRemoved, // warning 12: the parts of a log whose numbering is broken were deleted
    LeftoversRemoved, // warning 13: full logs that a run cut short left behind were deleted unsent
    LogKept, // warning 14: a log stays unsent: this account may not remove a part, or its lock cannot be made
    RunMessage, // information 100: one message of the run, with the diagnostics on
};

enum class AdminEventType { Error, Warning, Information };
AdminEventType adminEventType(AdminEvent event);

// Writes one event whose text is `text` (the reason first; Event Viewer and journalctl list the
// first line). False when it was not written: callers go on as if it had been, since an event
// never changes a run's outcome.
bool reportAdminEvent(AdminEvent event, const std::wstring &text);

// Whether standard error is the journal's stream (systemd's JOURNAL_STREAM names it, and it is
// that very stream); never on Windows.
bool standardErrorIsJournal();
// Writes one line to standard error, with the journal's priority in front ("<4>" and the like)
// when standard error is its stream; the caller has made its names printable.
void writeStandardErrorLine(int priority, const std::string &line);

// Whether this program has a console of its own design: false for a Windows program built for
// the GUI subsystem (what scheduled runs start), true otherwise.
bool isConsoleProgram();

// Sends the standard output and error streams nowhere, as a program without a console has
// them on a workstation, even when its parent handed it some.
void discardStandardStreams();
