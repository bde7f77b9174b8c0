#pragma once

#include <memory>
#include <string>

class FileLockPrivate;

// Keeps two harvests of one log folder from running at once. The guard is a named system
// mutex, the same primitive as the log file locks, whose name is derived from exactly what
// decides the log folder: the user name and the TEMP and LOCALAPPDATA variables. In the field
// that is one guard per user, whatever the temporary folder or the binary's path. It is taken
// without waiting and held until the guard is destroyed; a holder that dies leaves it to the
// next run. It writes nothing anywhere.
class InstanceGuard
{
public:
    explicit InstanceGuard(const std::wstring &userName);
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard &) = delete;
    InstanceGuard &operator=(const InstanceGuard &) = delete;

    // False when another process holds the guard, or when it cannot be made at all: a harvest
    // that cannot be sure to be alone does not start.
    [[nodiscard]] bool tryAcquire();

private:
    std::unique_ptr<FileLockPrivate> d;
};
