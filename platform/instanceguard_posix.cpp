// POSIX side of the instance guard: flock on a 0600 file that the user owns.

#include "instanceguard.h"
#include "wide_p.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int notOwn = -1;
constexpr int failed = -2;

// Opens, creating it with mode 0600, a regular file that this user owns. notOwn for a file that
// is not one: planted by another account, a link to one, a folder, or one the user has no right
// to; failed, with errno set, for any other failure.
int openOwnFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == EACCES || errno == EPERM || errno == ELOOP || errno == EISDIR ? notOwn : failed;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return failed;
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        ::close(fd);
        return notOwn;
    }
    return fd;
}

// The guard's place when the folder's own file cannot be trusted: the user's runtime folder,
// else the home folder, under a name made of the log folder's device and inode numbers.
std::string fallbackPath(const std::string &folder)
{
    struct stat info;
    if (stat(folder.c_str(), &info) != 0)
        return std::string();
    const char *base = std::getenv("XDG_RUNTIME_DIR");
    if (!base || !*base)
        base = std::getenv("HOME");
    if (!base || !*base)
        return std::string();
    return std::string(base) + "/.vintor-instance-" + std::to_string(info.st_dev) + '-' + std::to_string(info.st_ino);
}

enum class Lock { Taken, Held, NotOwn, Failed };

// Takes the lock of one file without waiting. Held also when the file was replaced under the
// lock by a releasing run and is held again by a newer one; NotOwn when the file is not one
// this user can trust; Failed, with errno set, when it cannot be opened or locked.
Lock lockOwnFile(const std::string &path, int &out)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = openOwnFile(path);
        if (fd == notOwn)
            return Lock::NotOwn;
        if (fd == failed)
            return Lock::Failed;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return error == EWOULDBLOCK ? Lock::Held : Lock::Failed;
        }
        struct stat held, current;
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &current) == 0 && held.st_dev == current.st_dev
            && held.st_ino == current.st_ino) {
            out = fd;
            return Lock::Taken;
        }
        ::close(fd);
    }
    return Lock::Held;
}

} // namespace

InstanceGuard::InstanceGuard(const std::wstring &logFolder)
    : m_folder(logFolder)
{
}

InstanceGuard::~InstanceGuard()
{
    if (m_handle < 0)
        return;
    // Removed while still locked: a run that opened it meanwhile sees that its lock is on a
    // file no longer in place, and opens the path again.
    ::unlink(m_path.c_str());
    ::close(static_cast<int>(m_handle));
}

bool InstanceGuard::tryAcquire()
{
    if (m_handle >= 0)
        return true;
    const std::string folder = wide::toUtf8(m_folder);
    m_path = folder + '/' + wide::toUtf8(fileName);
    int fd = -1;
    Lock result = lockOwnFile(m_path, fd);
    // A file that cannot be opened as the user's own is someone else's: not a run of this user.
    if (result == Lock::NotOwn) {
        const std::string folderFile = m_path;
        m_path = fallbackPath(folder);
        result = m_path.empty() ? Lock::NotOwn : lockOwnFile(m_path, fd);
        if (result == Lock::NotOwn)
            m_error = "neither " + folderFile + " nor a guard in the runtime or home folder is this user's own";
    }
    if (result == Lock::Failed)
        m_error = m_path + ": " + std::strerror(errno);
    if (result != Lock::Taken)
        return false;
    m_handle = fd;
    return true;
}
