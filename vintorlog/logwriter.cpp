// The log mechanics of the writers' library: each session's log named, its parts made under
// their locks, written, ended and handed over.

#include "logwriter_p.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace vintorlog_detail {

namespace {

constexpr int lockWaitMs = 5000; // a harvest holds a part only while it probes or merges it
constexpr int nameTries = 1000; // names tried for a following session's log, or made up

} // namespace

int fail(vintorlog *log, int code, const std::string &text)
{
    log->error = text;
    return code;
}

std::string newUuid(vintorlog *log)
{
    static const char hex[] = "0123456789abcdef";
    std::string uuid;
    for (int i = 0; i < 32; ++i) {
        const unsigned digit = i == 12 ? 4 : i == 16 ? 8 + (log->random() & 3) : log->random() & 15;
        uuid += hex[digit];
        if (i == 7 || i == 11 || i == 15 || i == 19)
            uuid += '-';
    }
    return uuid;
}

// Whether the folder holds a file of log `name`, whatever the case of its letters: Windows
// folds them, and the harvest groups files by the name before the first dot.
int checkNameFree(vintorlog *log, const std::string &name)
{
    const std::string prefix = FileLock::foldedPath(name + '.');
    std::error_code error;
    for (fs::directory_iterator it(fs::u8path(log->folder), error), end; !error && it != end; it.increment(error)) {
        if (FileLock::foldedPath(it->path().filename().u8string()).compare(0, prefix.size(), prefix) == 0)
            return fail(log, VINTORLOG_EXISTS, "the log folder has a log named " + name + " already");
    }
    if (error)
        return fail(log, VINTORLOG_IO, "cannot read the log folder " + log->folder + ": " + error.message());
    return VINTORLOG_OK;
}

// Makes and locks part `number` of the log `log->name`; the first part must be the first file
// of its name. On failure nothing stays: no part, no lock.
int openPart(vintorlog *log, int number, std::unique_ptr<Part> &part)
{
    part = std::make_unique<Part>();
    part->number = number;
    part->path = log->folder + '/' + log->name + '.' + std::to_string(number) + ".xml";
    part->xml.file = &part->file;
    bool locked = false;
    log->keeper.run([&] {
        part->lock = std::make_unique<FileLock>(part->path, false);
        locked = part->lock->tryLock(lockWaitMs);
    });
    int result = VINTORLOG_OK;
    if (!locked)
        result = fail(log, VINTORLOG_BUSY, "another process holds the lock of " + part->path);
    else if (number == 0)
        result = checkNameFree(log, log->name);
    if (result == VINTORLOG_OK) {
        part->file.open(fs::u8path(part->path), std::ios::binary | std::ios::trunc);
        if (!part->file)
            result = fail(log, VINTORLOG_IO, "cannot make " + part->path + ": " + std::strerror(errno));
    }
    if (result != VINTORLOG_OK) {
        log->keeper.run([&] { part->lock.reset(); });
        part.reset();
    }
    return result;
}

// Begins the log of the next session: the name given to vintorlog_open for the first, then that
// name with "-2", "-3", ... (the first that the folder does not have); without a given name, a
// made-up one each time.
int beginLog(vintorlog *log)
{
    // The product's own name is the one it asked for: no other is tried in its place.
    const int tries = log->logs == 0 && !log->givenName.empty() ? 1 : nameTries;
    int result = VINTORLOG_EXISTS;
    for (int attempt = 0; result == VINTORLOG_EXISTS && attempt < tries; ++attempt) {
        if (log->givenName.empty()) {
            char digits[17];
            std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(log->random()));
            log->name = std::string("log-") + digits;
        } else {
            log->name
                = log->logs == 0 ? log->givenName : log->givenName + '-' + std::to_string(log->logs + 1 + attempt);
        }
        result = openPart(log, 0, log->part);
    }
    if (result != VINTORLOG_OK)
        return result;
    ++log->logs;
    if (log->logUuid.empty())
        log->logUuid = newUuid(log);
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
    return fail(log, VINTORLOG_IO, "cannot write " + part.path + ": " + std::strerror(errno));
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
    if (part.file.fail()) {
        log->failure = VINTORLOG_IO;
        return fail(log, VINTORLOG_IO, "cannot write " + part.path + ": " + std::strerror(errno));
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
    if (log->failure)
        return fail(log, log->failure, "the log takes no more after an earlier failure");
    if (content && log->full)
        return fail(log, VINTORLOG_FULL, "the log has ten parts and the last one is full: end the session");
    return VINTORLOG_OK;
}

} // namespace vintorlog_detail
