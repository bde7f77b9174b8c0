// A preload that makes file calls fail the way a full or failing disk does, for the tests and the
// torture run (Linux only). Only calls on paths under the folders given are touched; everything
// else goes straight to the C library. Set through the environment:
//   VINTOR_FAULT_PATHS   folders, separated by ':' (nothing fails without them)
//   VINTOR_FAULT_CALLS   which calls fail: open,read,write,fsync,unlink,rename (default: all)
//   VINTOR_FAULT_ERRNO   the error they fail with (default: ENOSPC for write, EIO otherwise)
//   VINTOR_FAULT_RATE    how many of each thousand such calls fail (default: 1000)
//   VINTOR_FAULT_SEED    the seed of the choice, so that a schedule can be replayed
//   VINTOR_FAULT_LOG     a file to which each failure adds a line "<pid> <call> <path>"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr int maxTrackedFd = 65536;
std::atomic<bool> tracked[maxTrackedFd]; // the descriptors opened on a path under the folders

struct Settings
{
    char paths[4096] = {};
    char calls[256] = {};
    int error = 0;
    int rate = 1000;
    char log[4096] = {};
};

const Settings &settings()
{
    static const Settings loaded = [] {
        Settings s;
        const auto copy = [](char *to, size_t size, const char *name) {
            if (const char *value = std::getenv(name))
                std::snprintf(to, size, "%s", value);
        };
        copy(s.paths, sizeof s.paths, "VINTOR_FAULT_PATHS");
        copy(s.calls, sizeof s.calls, "VINTOR_FAULT_CALLS");
        copy(s.log, sizeof s.log, "VINTOR_FAULT_LOG");
        if (const char *value = std::getenv("VINTOR_FAULT_ERRNO"))
            s.error = std::atoi(value);
        if (const char *value = std::getenv("VINTOR_FAULT_RATE"))
            s.rate = std::atoi(value);
        return s;
    }();
    return loaded;
}

std::atomic<uint64_t> state { 0 };

// One draw of a xorshift generator shared by all threads, seeded from the seed and the process.
bool draw()
{
    const int rate = settings().rate;
    if (rate >= 1000)
        return true;
    uint64_t x = state.load();
    if (x == 0) {
        const char *seed = std::getenv("VINTOR_FAULT_SEED");
        x = (seed ? std::strtoull(seed, nullptr, 10) : 1) * 0x9e3779b97f4a7c15ULL ^ static_cast<uint64_t>(getpid());
        x |= 1;
    }
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    state.store(x);
    return static_cast<int>(x % 1000) < rate;
}

bool underFolders(const char *path)
{
    if (!path || path[0] != '/')
        return false;
    const char *list = settings().paths;
    while (*list) {
        const char *end = std::strchr(list, ':');
        const size_t length = end ? static_cast<size_t>(end - list) : std::strlen(list);
        if (length > 0 && std::strncmp(path, list, length) == 0 && (path[length] == '/' || path[length] == 0))
            return true;
        if (!end)
            break;
        list = end + 1;
    }
    return false;
}

bool callChosen(const char *call)
{
    const char *calls = settings().calls;
    if (!*calls)
        return true;
    const size_t length = std::strlen(call);
    for (const char *at = std::strstr(calls, call); at; at = std::strstr(at + 1, call))
        if ((at == calls || at[-1] == ',') && (at[length] == ',' || at[length] == 0))
            return true;
    return false;
}

// Whether this call fails; sets errno and writes the log line when it does.
bool fails(const char *call, const char *path, int defaultError)
{
    if (!callChosen(call) || !draw())
        return false;
    if (settings().log[0]) {
        using Open = int (*)(const char *, int, ...);
        static const auto realOpen = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
        const int fd = realOpen(settings().log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char line[4200];
            const int size = std::snprintf(line, sizeof line, "%d %s %s\n", static_cast<int>(getpid()), call, path);
            using Write = ssize_t (*)(int, const void *, size_t);
            static const auto realWrite = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
            (void)realWrite(fd, line, static_cast<size_t>(size < 0 ? 0 : size > 4199 ? 4199 : size));
            using Close = int (*)(int);
            static const auto realClose = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "close"));
            realClose(fd);
        }
    }
    errno = settings().error ? settings().error : defaultError;
    return true;
}

bool isTracked(int fd)
{
    return fd >= 0 && fd < maxTrackedFd && tracked[fd].load(std::memory_order_relaxed);
}

void track(int fd, bool on)
{
    if (fd >= 0 && fd < maxTrackedFd)
        tracked[fd].store(on, std::memory_order_relaxed);
}

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The open calls, with the mode they take only when creating.
template <typename F, typename... Lead>
int openThrough(const char *name, const char *path, int flags, va_list modes, Lead... lead)
{
    static const F next = real<F>(name);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE))
        mode = static_cast<mode_t>(va_arg(modes, int));
    const bool ours = underFolders(path);
    if (ours && fails("open", path, EIO))
        return -1;
    const int fd = next(lead..., path, flags, mode);
    track(fd, ours);
    return fd;
}

} // namespace

extern "C" {

using OpenCall = int (*)(const char *, int, ...);
using OpenAtCall = int (*)(int, const char *, int, ...);

int open(const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    const int fd = openThrough<OpenCall>("open", path, flags, modes);
    va_end(modes);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    const int fd = openThrough<OpenCall>("open64", path, flags, modes);
    va_end(modes);
    return fd;
}

int openat(int dir, const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    const int fd = openThrough<OpenAtCall>("openat", path, flags, modes, dir);
    va_end(modes);
    return fd;
}

int openat64(int dir, const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    const int fd = openThrough<OpenAtCall>("openat64", path, flags, modes, dir);
    va_end(modes);
    return fd;
}

int close(int fd)
{
    static const auto next = real<int (*)(int)>("close");
    track(fd, false);
    return next(fd);
}

ssize_t read(int fd, void *data, size_t size)
{
    static const auto next = real<ssize_t (*)(int, void *, size_t)>("read");
    if (isTracked(fd) && size > 0 && fails("read", "(descriptor)", EIO))
        return -1;
    return next(fd, data, size);
}

ssize_t write(int fd, const void *data, size_t size)
{
    static const auto next = real<ssize_t (*)(int, const void *, size_t)>("write");
    if (isTracked(fd) && size > 0 && fails("write", "(descriptor)", ENOSPC))
        return -1;
    return next(fd, data, size);
}

ssize_t writev(int fd, const struct iovec *pieces, int count)
{
    static const auto next = real<ssize_t (*)(int, const struct iovec *, int)>("writev");
    if (isTracked(fd) && fails("write", "(descriptor)", ENOSPC))
        return -1;
    return next(fd, pieces, count);
}

int fsync(int fd)
{
    static const auto next = real<int (*)(int)>("fsync");
    if (isTracked(fd) && fails("fsync", "(descriptor)", EIO))
        return -1;
    return next(fd);
}

int fdatasync(int fd)
{
    static const auto next = real<int (*)(int)>("fdatasync");
    if (isTracked(fd) && fails("fsync", "(descriptor)", EIO))
        return -1;
    return next(fd);
}

int unlink(const char *path)
{
    static const auto next = real<int (*)(const char *)>("unlink");
    if (underFolders(path) && fails("unlink", path, EIO))
        return -1;
    return next(path);
}

int unlinkat(int dir, const char *path, int flags)
{
    static const auto next = real<int (*)(int, const char *, int)>("unlinkat");
    if (underFolders(path) && fails("unlink", path, EIO))
        return -1;
    return next(dir, path, flags);
}

int rename(const char *from, const char *to)
{
    static const auto next = real<int (*)(const char *, const char *)>("rename");
    if ((underFolders(from) || underFolders(to)) && fails("rename", from, EIO))
        return -1;
    return next(from, to);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    static const auto next = real<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2");
    if ((underFolders(from) || underFolders(to)) && fails("rename", from, EIO))
        return -1;
    return next(fromDir, from, toDir, to, flags);
}

} // extern "C"
