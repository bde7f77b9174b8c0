// Windows side of the instance guard: the folder's guard file opened without sharing, or a
// mutex in the logon session's own namespace when that file is not the user's to open.

#include "filelock_p.h"
#include "instanceguard.h"
#include "wide_p.h"

#include <windows.h>

#include <vector>

namespace {

// The mutex name for a folder: its full path, letter case folded as the file system does,
// digested (a mutex name may not hold backslashes).
std::wstring sessionMutexName(const std::wstring &folder)
{
    const DWORD size = GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return std::wstring();
    std::vector<wchar_t> full(size);
    const DWORD length = GetFullPathNameW(folder.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return std::wstring();
    std::wstring key(full.data(), length);
    while (key.size() > 3 && (key.back() == L'\\' || key.back() == L'/'))
        key.pop_back();
    CharLowerBuffW(&key[0], static_cast<DWORD>(key.size()));
    return L"Local\\vintor-instance-" + FileLockPrivate::widen(FileLockPrivate::digest(key));
}

} // namespace

InstanceGuard::InstanceGuard(const std::wstring &logFolder)
    : m_folder(logFolder)
{
}

InstanceGuard::~InstanceGuard()
{
    if (m_handle == -1)
        return;
    const HANDLE handle = reinterpret_cast<HANDLE>(m_handle);
    if (m_mutex)
        ReleaseMutex(handle);
    CloseHandle(handle);
}

bool InstanceGuard::tryAcquire()
{
    if (m_handle != -1)
        return true;
    const std::wstring path = wide::extendedLengthPath(m_folder + L'\\' + fileName);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        m_handle = reinterpret_cast<intptr_t>(file);
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION)
        return false; // another run has it open
    // Only a file the user has no right to (another account's, or one being deleted as its
    // run ends) sends the guard to the session; any other failure takes none.
    if (error != ERROR_ACCESS_DENIED) {
        m_error = wide::toUtf8(path + L": " + wide::systemMessage(error));
        return false;
    }
    const std::wstring name = sessionMutexName(m_folder);
    const HANDLE mutex = name.empty() ? nullptr : CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex) {
        m_error = wide::toUtf8(L"the session's guard " + name + L": " + wide::systemMessage(GetLastError()));
        return false;
    }
    const DWORD result = WaitForSingleObject(mutex, 0);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return false;
    }
    m_handle = reinterpret_cast<intptr_t>(mutex);
    m_mutex = true;
    return true;
}
