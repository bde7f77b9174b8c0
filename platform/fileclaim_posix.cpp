// POSIX side of the file claim: nothing holds a file against its removal, so the claim checks
// what decides it, and the contents are read through a descriptor opened when first read.

#include "fileclaim.h"
#include "wide_p.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

class FileClaimPrivate
{
public:
    std::string path;
    bool claimed = false;
    int fd = -1;
    int error = 0;
    bool denied = false;

    bool fail(int code)
    {
        error = code;
        return false;
    }
};

namespace {

std::string folderOf(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// An immutable or append-only mark (chattr +i, +a) forbids removing the file, or any name
// from the folder, even to root. A file system without such marks has none.
bool markedAgainstRemoval(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    int flags = 0;
    const bool marked = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
    ::close(fd);
    return marked;
}

} // namespace

FileClaim::FileClaim(const std::wstring &path)
    : d(std::make_unique<FileClaimPrivate>())
{
    d->path = wide::toUtf8(path);
}

FileClaim::FileClaim(FileClaim &&other) noexcept = default;

FileClaim::~FileClaim()
{
    if (d && d->fd >= 0)
        ::close(d->fd);
}

bool FileClaim::claim(uint32_t, uint32_t *)
{
    const std::string folder = folderOf(d->path);
    struct stat file, dir;
    if (lstat(d->path.c_str(), &file) != 0 || stat(folder.c_str(), &dir) != 0)
        return d->fail(errno);
    // Removing a name takes writing and searching its folder (EROFS tells a read-only mount).
    d->denied = true;
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return d->fail(errno);
    // In a sticky folder only the owner of the file or of the folder may remove it.
    const uid_t user = geteuid();
    if ((dir.st_mode & S_ISVTX) && user != 0 && user != file.st_uid && user != dir.st_uid)
        return d->fail(EPERM);
    if (markedAgainstRemoval(folder) || (S_ISREG(file.st_mode) && markedAgainstRemoval(d->path)))
        return d->fail(EPERM);
    d->denied = false;
    d->claimed = true;
    return true;
}

bool FileClaim::denied() const
{
    return d->denied;
}

int64_t FileClaim::read(char *data, int64_t size)
{
    if (d->claimed && d->fd < 0)
        d->fd = ::open(d->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (d->fd < 0) {
        d->fail(d->claimed ? errno : EBADF);
        return -1;
    }
    ssize_t got;
    do
        got = ::read(d->fd, data, static_cast<size_t>(size));
    while (got < 0 && errno == EINTR);
    if (got < 0)
        d->fail(errno);
    return got;
}

bool FileClaim::remove()
{
    if (!d->claimed)
        return d->fail(EBADF);
    if (d->fd >= 0)
        ::close(d->fd);
    d->fd = -1;
    if (::unlink(d->path.c_str()) != 0)
        return d->fail(errno);
    d->claimed = false;
    return true;
}

std::string FileClaim::errorString() const
{
    return std::strerror(d->error);
}
