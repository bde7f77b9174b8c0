#pragma once

#include <cstdint>
#include <string>

// Keeps two harvests of one log folder from running at once, whatever spelling of TEMP or
// LOCALAPPDATA led each run there, while runs on different folders never wait for each other.
// The guard is an exclusive lock on the file "VintorInstance" inside the log folder itself (a
// name without a dot, which the harvest never takes for a part), so it follows the folder and
// not the text of its path. It is taken without waiting and held until the guard is destroyed;
// the system drops it when its holder dies, and the file goes with the guard. A guard file
// that another account owns, or that the user has no right to open, is never taken for another
// run of the user's own: the guard then goes where only the user can create it (the runtime or
// home folder on POSIX, the logon session's own namespace on Windows), named after the folder.
// Any other failure to open it (a disk error, no handle left) takes no guard at all: a guard
// elsewhere would let this run in beside one that holds the folder's file.
class InstanceGuard
{
public:
    explicit InstanceGuard(const std::wstring &logFolder);
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard &) = delete;
    InstanceGuard &operator=(const InstanceGuard &) = delete;

    // False when another process holds the guard, or when no guard of the user's own can be
    // made: a harvest that cannot be sure to be alone does not start. errorString() tells which:
    // empty when another process holds it, else what failed.
    [[nodiscard]] bool tryAcquire();
    std::string errorString() const { return m_error; }

    static constexpr const wchar_t *fileName = L"VintorInstance";

private:
    std::wstring m_folder;
    intptr_t m_handle = -1; // a file descriptor, or a Windows handle to a file or a mutex
    [[maybe_unused]] bool m_mutex = false; // Windows: the guard is the session mutex
    [[maybe_unused]] std::string m_path; // POSIX: the file locked
    std::string m_error;
};
