// The log mechanics of the writers' library: each session's log named, its parts made under
// their locks, written, ended and handed over.

#include "logwriter_p.h"

#include "folderquota.h"
#include "identity.h"
#include "processlife.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace vintorlog_detail {

namespace {

constexpr int nameTries = 1000; // names tried for a following session's log, or made up

std::string systemError()
{
    return std::generic_category().message(errno);
}

} // namespace

void (*partReleasing)(const std::string &path) = nullptr;

int fail(vintorlog *log, int code, const char *text) noexcept
{
    log->fixedError = nullptr;
    try {
        log->error = text;
    } catch (...) {
        log->error.clear();
        log->fixedError = text;
    }
    return code;
}

int fail(vintorlog *log, int code, const std::string &text) noexcept
{
    return fail(log, code, text.c_str());
}

// Whether the folder holds a file of log `name`: its full log, or any of the parts the library
// writes. The system compares the names as it compares file names (Windows folds the case of
// their letters), as the harvest meets them when it groups the files by the name before the
// first dot. A few look-ups, however many logs the folder holds.
int checkNameFree(vintorlog *log, const std::string &name)
{
    const std::string base = log->folder + '/' + name + '.';
    for (int number = -1; number < maximumParts; ++number) {
        const std::string path = base + (number < 0 ? std::string("full") : std::to_string(number)) + ".xml";
        std::error_code error;
        const bool found = fs::exists(fs::u8path(path), error);
        if (error)
            return fail(log, VINTORLOG_IO, "cannot look into the log folder " + log->folder + ": " + error.message());
        if (found)
            return fail(log, VINTORLOG_EXISTS, "the log folder has a log named " + name + " already");
    }
    return VINTORLOG_OK;
}

// Drops a part that was never made whole, its lock given back.
void dropPart(vintorlog *log, std::unique_ptr<Part> &part)
{
    if (part && part->lock)
        log->keeper->run([&] { part->lock.reset(); });
    part.reset();
}

// Makes and locks part `number` of the log `log->name`; the first part must be the first file
// of its name. No other process is waited for: a lock that one holds is BUSY at once. On failure,
// or an exception, nothing stays: no part, no lock.
int openPart(vintorlog *log, int number, std::unique_ptr<Part> &part)
{
    try {
        part = std::make_unique<Part>();
        part->number = number;
        part->path = log->folder + '/' + log->name + '.' + std::to_string(number) + ".xml";
        part->xml.file = &part->file;
        bool locked = false;
        log->keeper->run([&] {
            part->lock = std::make_unique<FileLock>(part->path, false);
            locked = part->lock->tryLock(0);
        });
        int result = VINTORLOG_OK;
        if (!locked)
            result = fail(log, VINTORLOG_BUSY, "another process holds the lock of " + part->path);
        else if (number == 0)
            result = checkNameFree(log, log->name);
        if (result == VINTORLOG_OK) {
            part->file.open(fs::u8path(part->path), std::ios::binary | std::ios::trunc);
            if (!part->file)
                result = fail(log, VINTORLOG_IO, "cannot make " + part->path + ": " + systemError());
        }
        if (result != VINTORLOG_OK)
            dropPart(log, part);
        return result;
    } catch (...) {
        dropPart(log, part);
        throw;
    }
}

// Begins the log of the next session: the name given to vintorlog_open for the first, then that
// name with "-2", "-3", ... (each following session goes on from the last one tried, and a name
// that the folder has or another process holds is passed over at once); without a given name, a
// made-up one each time. Refused while the folder holds its quota.
int beginLog(vintorlog *log)
{
    std::string full;
    if (!folderHasRoom(log->folder, full))
        return fail(log, VINTORLOG_QUOTA, full);
    if (log->logUuid.empty() && !newUuid(log->logUuid))
        return fail(log, VINTORLOG_UNAVAILABLE, "the system's random source gives nothing");
    // The product's own name is the one it asked for: no other is tried in its place.
    const bool ownName = log->logs == 0 && !log->givenName.empty();
    int result = VINTORLOG_EXISTS;
    for (int attempt = 0; attempt < (ownName ? 1 : nameTries); ++attempt) {
        if (ownName)
            log->name = log->givenName;
        else if (!log->givenName.empty())
            log->name = log->givenName + '-' + std::to_string(++log->suffix);
        else if (!newLogName(log->name))
            return fail(log, VINTORLOG_UNAVAILABLE, "the system's random source gives nothing");
        result = openPart(log, 0, log->part);
        if (result != VINTORLOG_EXISTS && result != VINTORLOG_BUSY)
            break;
    }
    if (result != VINTORLOG_OK)
        return result;
    ++log->logs;
    noteWritten(log->folder, 1, 0);
    return VINTORLOG_OK;
}

// Passes what the part's writer holds to its file at once: a product that dies loses nothing
// it handed over before.
int flushPart(vintorlog *log, Part &part)
{
    part.xml.drain();
    part.file.flush();
    if (part.file)
        return VINTORLOG_OK;
    log->failure = VINTORLOG_IO;
    return fail(log, VINTORLOG_IO, "cannot write " + part.path + ": " + systemError());
}

// The head of a part; a session that goes on from the previous part is opened again.
void writeHead(vintorlog *log, Part &part)
{
    XmlWriter &xml = part.xml;
    xml.declaration();
    xml.start("kaldousage");
    xml.textElement("schema", "3");
    xml.textElement("loguuid", log->logUuid.c_str());
    xml.textElement("logsequence", std::to_string(part.number).c_str());
    xml.start("logstatus");
    xml.attribute("kaldo", log->flags & VINTORLOG_FOR_RECEIVER ? "true" : "false");
    xml.attribute("admin", log->flags & VINTORLOG_FOR_ADMIN ? "true" : "false");
    xml.end();
    if (log->inSession) {
        xml.start("session");
        xml.textElement("sessionuuid", log->sessionUuid.c_str());
    }
}

// Ends a part: its session closed here (it goes on in the next part, or ends with the log),
// <logfinal> when it is the last, then the file closed and checked.
int finishPart(vintorlog *log, Part &part, bool final)
{
    if (final)
        part.xml.textElement("logfinal", "true");
    part.xml.endDocument();
    if (const int result = flushPart(log, part))
        return result;
    part.file.close();
    noteWritten(log->folder, 0, part.xml.written);
    if (part.file.fail()) {
        log->failure = VINTORLOG_IO;
        return fail(log, VINTORLOG_IO, "cannot write " + part.path + ": " + systemError());
    }
    return VINTORLOG_OK;
}

void startPart(vintorlog *log)
{
    if (!log->started) {
        writeHead(log, *log->part);
        log->started = true;
    }
}

// Ends the log written now: its last part marked final and released, for the harvest to take.
// What belongs to one log starts afresh for the next.
int finishLog(vintorlog *log)
{
    startPart(log);
    const int result = finishPart(log, *log->part, true);
    log->releasePart();
    log->logUuid.clear();
    log->started = false;
    log->full = false;
    return result;
}

// Goes on in the next part: made, locked and given its head before the current one is ended
// and released, so that a harvest never finds the log's parts all free while it is written.
int nextPart(vintorlog *log)
{
    if (log->part->number + 1 == maximumParts) {
        log->full = true;
        return fail(log, VINTORLOG_FULL, "the log has ten parts and the last one is full: end the session");
    }
    startPart(log);
    std::unique_ptr<Part> next;
    if (const int result = openPart(log, log->part->number + 1, next))
        return result;
    writeHead(log, *next);
    int result = flushPart(log, *next);
    if (result == VINTORLOG_OK)
        result = finishPart(log, *log->part, false);
    log->releasePart();
    log->part = std::move(next);
    return result;
}

// After a call that wrote something: the bytes go to the file, and a full part is followed by
// the next where the session is between its elements. When the next part cannot be made (the
// tenth is full, or its lock is busy), the log goes on in this one: the call itself went through.
int written(vintorlog *log)
{
    if (const int result = flushPart(log, *log->part))
        return result;
    if (log->part->xml.written < log->partSize || log->openElements > 0)
        return VINTORLOG_OK;
    if (nextPart(log) != VINTORLOG_OK && !log->failure)
        log->error.clear();
    return log->failure;
}

// The checks every call starts with; `content` for calls that add to the log.
int usable(vintorlog *log, bool content)
{
    if (!log)
        return VINTORLOG_MISUSE;
    log->error.clear();
    log->fixedError = nullptr;
    if (log->inherited())
        return fail(log, VINTORLOG_UNAVAILABLE,
                    "the handle belongs to the process that opened it: a child process opens a log of its own");
    if (log->failure)
        return fail(log, log->failure, "the log takes no more after an earlier failure");
    if (content && log->full)
        return fail(log, VINTORLOG_FULL, "the log has ten parts and the last one is full: end the session");
    return VINTORLOG_OK;
}

} // namespace vintorlog_detail

vintorlog::~vintorlog()
{
    try {
        releasePart();
    } catch (...) {
    }
    // In a forked child, and on Windows at process exit, the keeper's thread is gone: there is
    // nothing to stop or wait for, and its condition variable, which that thread was waiting
    // on, cannot be destroyed without waiting for it. Those few bytes are left.
    if (inherited() || processlife::processEnding())
        (void)keeper.release();
}

void vintorlog::releasePart()
{
    if (part && vintorlog_detail::partReleasing)
        vintorlog_detail::partReleasing(part->path);
    if (part && part->lock) {
        if (keeper && !inherited() && !processlife::processEnding())
            keeper->run([this] { part->lock.reset(); });
        else
            part->lock.reset(); // releases nothing that belongs to another thread; frees the handle's memory
    }
    part.reset();
}

bool vintorlog::inherited() const
{
    return process != processlife::currentProcessId();
}
