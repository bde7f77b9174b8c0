#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

// The platform handle of one named mutex.
#ifdef _WIN32
struct FileLockHandle
{
    HANDLE mutex = nullptr;
};
#else
struct SharedLockState;
struct FileLockHandle
{
    int fd = -1;
    SharedLockState *state = nullptr;
    std::string objectName;
};
#endif

class FileLockPrivate
{
public:
    enum WaitResult { Acquired, Abandoned, NotAcquired };

    std::string fileName;
    std::wstring mutexName;
    bool locked = false;
    bool reports = true;
    // The system's error when the lock could not be made, for the caller's report.
    unsigned long makeError = 0;
    FileLockHandle handle;

    // Platform operations.
    void open();
    bool isValid() const;
    WaitResult wait(uint32_t timeoutMs);
    void release();
    void close();

    // Shared helpers.
    static std::string normalize(const std::string &path);
    // A fixed-length hex digest (128 bits, two FNV-1a hashes) of a wide text.
    static std::string digest(const std::wstring &text);
    static std::wstring widen(const std::string &bytes);
    static std::string narrow(const std::wstring &text);
    void reportOpenFailed(unsigned long error);
    void reportCreateFailed(unsigned long error);
    void reportPermissionsFailed(const std::string &systemText) const;

#ifndef _WIN32
    // How long an opener waits for another process to finish making the object before it
    // counts the object as abandoned at birth; tests shorten it.
    static int readyWaitMs;
    static std::string objectNameFor(const std::wstring &mutexName);
#endif
};
