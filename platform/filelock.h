#pragma once

#include <cstdint>
#include <memory>
#include <string>

class FileLockPrivate;

// The try-lock of one log file through a named system mutex shared with the log writers.
// The mutex name is derived from the path (backslashes made forward slashes, ASCII letters
// lowered), so every process that follows the rule meets on the same lock. Failures are
// reported on standard error, unless `reports` is off (the writers' library, whose callers
// read its results instead); a lock without a handle simply never locks.
class FileLock
{
public:
    explicit FileLock(const std::string &path, bool reports = true);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // Waits at most `timeoutMs` for the mutex; every caller in the tool passes 0.
    [[nodiscard]] bool tryLock(uint32_t timeoutMs);
    void unlock();
    // The system's error code when the lock could not be made (a name the system refuses, an
    // object of that name that is no lock): such a lock never locks, however long one waits.
    // 0 when it was made, or is merely still being made by another process.
    unsigned long makeError() const;

    // A path as the lock names it, with the case of ASCII letters folded as Windows' file names
    // ignore it: two paths that fold alike name one file, and one lock.
    static std::string foldedPath(const std::string &path);
    // The file that stands for the lock of `path` while it is in use or was left by a holder
    // that died: the shared-memory object on POSIX; empty on Windows, whose mutexes go with
    // their last handle.
    static std::string objectFile(const std::string &path);
    // Removes the lock objects whose holder died and that nobody holds now: a writer killed
    // between making a part's lock and making its file leaves an object that no file leads to.
    // The harvest calls it once a run, before it takes any lock. Nothing on Windows, whose
    // mutexes go with their last handle.
    static void sweepAbandoned();
    // Where the reports go, one line at a time (without its line end): standard error unless
    // the program says otherwise.
    static void (*reportLine)(const std::string &line);

private:
    std::unique_ptr<FileLockPrivate> d;
};
