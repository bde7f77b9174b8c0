#pragma once

#include <cstdint>
#include <memory>
#include <string>

class FileClaimPrivate;

// A file that this process has made sure it can remove, taken before its contents are used:
// a part that cannot go must not be delivered, or the next run would deliver it again.
//
// On Windows another process may hold a file open without sharing its deletion (virus scanners,
// backup and sync agents, indexers, editors), and a file marked read-only refuses removal. The
// claim opens the file with delete access, sharing only reading, and keeps it open until it is
// removed through that handle or let go: no holder can come in between. On POSIX nothing holds a
// file against its removal; the folder decides (written by this process, not append-only, the
// sticky rule), and so does an immutable or append-only mark on the file itself: the claim checks
// these.
class FileClaim
{
public:
    explicit FileClaim(const std::wstring &path);
    ~FileClaim(); // a file not removed is let go as it is
    FileClaim(FileClaim &&other) noexcept;
    FileClaim &operator=(FileClaim &&) = delete;

    // Takes the file. Refusals that a moment's hold explains (a sharing violation, access
    // denied) are tried again after growing pauses until `waitMs` is spent; the time spent
    // waiting is added to `waitedMs`.
    [[nodiscard]] bool claim(uint32_t waitMs, uint32_t *waitedMs = nullptr);
    // Reads the claimed file from its start on: the bytes read, 0 at its end, -1 on an error.
    int64_t read(char *data, int64_t size);
    // Removes the claimed file, clearing a read-only mark first (it is the user's mark, not a
    // lock); the mark stays when the removal fails.
    [[nodiscard]] bool remove();
    // The system's text for the last failure.
    std::string errorString() const;
    // Whether the claim was refused for want of rights, which no wait changes: the folder or the
    // file's marks on POSIX, access denied on Windows. A moment's hold is not that.
    bool denied() const;

private:
    std::unique_ptr<FileClaimPrivate> d;
};

// How long a claim waits out another process's hold of a file: a scan of a freshly closed
// file is over within it.
constexpr uint32_t fileClaimWaitMs = 1000;

// What is left of the time one run waits, in all, for files that others hold: the merge's claims
// and the removals of the run's own files draw on it, so that a backup agent holding the whole
// folder costs a run five seconds, not a second a file.
extern uint32_t runWaitLeftMs;
// Claims the file, waiting out a hold for at most `fileClaimWaitMs` and no longer than the run has
// left, which it then has less.
bool claimWithinRun(FileClaim &claim);

// Removes a file of the harvest's own (a full or processed log): claimed, then removed. False,
// with the system's text in `error` when given, when it is still there.
bool removeFile(const std::wstring &path, std::string *error = nullptr);
