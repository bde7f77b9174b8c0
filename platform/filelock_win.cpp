// Windows side of the log file lock: a named kernel mutex in the "Global" namespace, made
// usable by every account (Everyone gets all mutex rights), shared with the log writers.

#include "filelock.h"
#include "filelock_p.h"
#include "wide_p.h"

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

std::wstring FileLockPrivate::widen(const std::string &bytes)
{
    return wide::fromCodePage(bytes, CP_THREAD_ACP);
}

std::string FileLockPrivate::narrow(const std::wstring &text)
{
    return wide::toCodePage(text, CP_ACP);
}

std::string FileLock::objectFile(const std::string &)
{
    return std::string();
}

void FileLock::sweepAbandoned() { }

// Merges an entry giving Everyone all rights of a mutex into the mutex's DACL.
static DWORD grantEveryone(const std::wstring &name)
{
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // Not examined: when it fails, the new DACL holds only the Everyone entry.
    GetNamedSecurityInfoW(name.c_str(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                          nullptr, &descriptor);
    PSID everyone = nullptr;
    ConvertStringSidToSidW(L"S-1-1-0", &everyone);
    EXPLICIT_ACCESSW access = {};
    access.grfAccessPermissions = 0x001F0001;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_PROPAGATE_INHERIT_ACE;
    BuildTrusteeWithSidW(&access.Trustee, everyone);
    PACL merged = nullptr;
    DWORD status = SetEntriesInAclW(1, &access, current, &merged);
    if (status == ERROR_SUCCESS)
        status = SetNamedSecurityInfoW(const_cast<wchar_t *>(name.c_str()), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, merged, nullptr);
    if (merged)
        LocalFree(merged);
    if (descriptor)
        LocalFree(descriptor);
    if (everyone)
        LocalFree(everyone);
    return status;
}

void FileLockPrivate::open()
{
    HANDLE mutex = CreateMutexW(nullptr, FALSE, mutexName.c_str());
    DWORD error = GetLastError();
    if (!mutex && error == ERROR_ACCESS_DENIED) {
        // Made by another account with rights we may not change: open it for waiting and
        // for release, and leave its security alone.
        mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, TRUE, mutexName.c_str());
        if (mutex) {
            handle.mutex = mutex;
            return;
        }
        error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            reportOpenFailed(error);
            return;
        }
        // It vanished between the two calls.
        mutex = CreateMutexW(nullptr, FALSE, mutexName.c_str());
        error = GetLastError();
    }
    if (!mutex) {
        reportCreateFailed(error);
        return;
    }
    handle.mutex = mutex;
    const DWORD status = grantEveryone(mutexName);
    if (status != 0)
        reportPermissionsFailed(narrow(wide::systemMessage(status)));
}

bool FileLockPrivate::isValid() const
{
    return handle.mutex != nullptr;
}

FileLockPrivate::WaitResult FileLockPrivate::wait(uint32_t timeoutMs)
{
    switch (WaitForSingleObject(handle.mutex, timeoutMs)) {
    case WAIT_ABANDONED: return Abandoned;
    case WAIT_OBJECT_0: return Acquired;
    default: return NotAcquired;
    }
}

void FileLockPrivate::release()
{
    ReleaseMutex(handle.mutex); // refused by the system when this thread is not the owner
}

void FileLockPrivate::close()
{
    if (handle.mutex)
        CloseHandle(handle.mutex);
    handle.mutex = nullptr;
}
