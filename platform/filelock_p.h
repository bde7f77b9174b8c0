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
    FileLockHandle handle;

    // Platform operations.
    void open();
    bool isValid() const;
    WaitResult wait(uint32_t timeoutMs);
    void release();
    void close();

    // Shared helpers.
    static std::string normalize(const std::string &path);
    static std::wstring widen(const std::string &bytes);
    static std::string narrow(const std::wstring &text);
    void reportOpenFailed(unsigned long error) const;
    void reportCreateFailed(unsigned long error) const;
    static void reportPermissionsFailed(const std::string &systemText);
};
