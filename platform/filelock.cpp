#include "filelock.h"
#include "filelock_p.h"

#include "printable.h"

#include <cstdio>

static void toStandardError(const std::string &line)
{
    std::fputs((line + '\n').c_str(), stderr);
    std::fflush(stderr);
}

void (*FileLock::reportLine)(const std::string &line) = toStandardError;

FileLock::FileLock(const std::string &path, bool reports)
    : d(std::make_unique<FileLockPrivate>())
{
    d->reports = reports;
    d->fileName = FileLockPrivate::normalize(path);
    d->mutexName = L"Global\\" + FileLockPrivate::widen(d->fileName);
    d->open();
}

FileLock::~FileLock()
{
    if (d->locked) {
        d->release();
        d->locked = false;
    }
    d->close();
}

bool FileLock::tryLock(uint32_t timeoutMs)
{
    d->locked = false;
    if (!d->isValid())
        return false;
    switch (d->wait(timeoutMs)) {
    case FileLockPrivate::Abandoned:
        if (d->reports)
            reportLine("Taking in abandoned mutex");
        d->locked = true;
        break;
    case FileLockPrivate::Acquired: d->locked = true; break;
    case FileLockPrivate::NotAcquired:
        if (d->reports)
            reportLine("Failed to lock file: " + printable(d->fileName));
        break;
    }
    return d->locked;
}

unsigned long FileLock::makeError() const
{
    return d->makeError;
}

void FileLock::unlock()
{
    if (d->isValid())
        d->release();
    d->locked = false;
}

std::string FileLock::foldedPath(const std::string &path)
{
    return FileLockPrivate::normalize(path);
}

std::string FileLockPrivate::normalize(const std::string &path)
{
    // Only ASCII letters change: the classic locale is the one in force, and bytes of 128
    // and above (the UTF-8 of other characters) must stay as they are.
    std::string out = path;
    for (char &c : out) {
        if (c == '\\')
            c = '/';
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string FileLockPrivate::digest(const std::wstring &text)
{
    uint64_t a = 0xcbf29ce484222325ULL;
    uint64_t b = 0x84222325cbf29ce4ULL;
    for (wchar_t wc : text) {
        const auto unit = static_cast<uint32_t>(wc);
        for (int shift = 0; shift < 32; shift += 8) {
            const uint8_t byte = static_cast<uint8_t>(unit >> shift);
            a = (a ^ byte) * 0x100000001b3ULL;
            b = (b ^ byte) * 0x100000001b3ULL;
            b ^= b >> 29;
        }
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (uint64_t v : { a, b })
        for (int shift = 60; shift >= 0; shift -= 4)
            out.push_back(hex[(v >> shift) & 0xf]);
    return out;
}

void FileLockPrivate::reportOpenFailed(unsigned long error)
{
    makeError = error;
    if (!reports)
        return;
    FileLock::reportLine("Failed to open mutex");
    FileLock::reportLine("\tname: " + printable(narrow(mutexName)));
    FileLock::reportLine("   error: " + std::to_string(error));
}

void FileLockPrivate::reportCreateFailed(unsigned long error)
{
    makeError = error;
    if (!reports)
        return;
    FileLock::reportLine("Failed to create mutex");
    FileLock::reportLine("\tname: " + printable(narrow(mutexName)));
    FileLock::reportLine("   error: " + std::to_string(error));
}

void FileLockPrivate::reportPermissionsFailed(const std::string &systemText) const
{
    if (!reports)
        return;
    FileLock::reportLine("Failed to set permissions on file.");
    FileLock::reportLine("    " + printable(systemText));
}
