// POSIX side of the log file lock.
//
// A Windows named mutex is a kernel object that lives while any process holds a handle,
// is owned by one thread, may be taken recursively by its owner, and is handed to the next
// waiter as "abandoned" when its owner dies. The closest POSIX object is a robust,
// recursive, process-shared pthread mutex placed in a POSIX shared-memory object; the
// object's name is a fixed-length digest of the mutex name, because shared-memory names are
// limited in length and may not hold slashes.
//
// Clean-up. A shared-memory object outlives its users, so an object per log file would pile
// up under /dev/shm. The owner therefore unlinks the object when it gives the lock back for
// the last time, while it still holds the mutex. A process that had opened the old object
// earlier may still lock it afterwards; that is why every lock is followed by a check that
// the name still refers to the object just locked (same device and inode). A lock on an
// unlinked object is given back at once and the name is opened afresh. Since a name can only
// be unlinked by the owner of its mutex, the object named at the moment of a successful check
// cannot be unlinked until this process releases it: two processes never own one file's lock
// at once.

#include "filelock.h"
#include "filelock_p.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
constexpr uint32_t readyMagic = 0x4b4c4f43; // set once the mutex is initialised
constexpr int maxReopens = 16;
}

struct SharedLockState
{
    std::atomic<uint32_t> ready;
    uint32_t depth; // recursion count of the owner, changed only under the mutex
    pid_t ownerThread; // system-wide thread id of the owner, 0 when free
    pthread_mutex_t mutex;
};

static pid_t currentThreadId()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

std::string FileLockPrivate::objectNameFor(const std::wstring &mutexName)
{
    return "/kaldo-usagelog-" + digest(mutexName);
}

std::string FileLock::objectFile(const std::string &path)
{
    return "/dev/shm"
           + FileLockPrivate::objectNameFor(L"Global\\" + FileLockPrivate::widen(FileLockPrivate::normalize(path)));
}

int FileLockPrivate::readyWaitMs = 2000;

std::wstring FileLockPrivate::widen(const std::string &bytes)
{
    // The Windows side widens through the ANSI code page; here every byte becomes the code
    // unit of the same value (Latin-1), which is just as stable across processes.
    std::wstring out;
    out.reserve(bytes.size());
    for (char c : bytes)
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

std::string FileLockPrivate::narrow(const std::wstring &text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text)
        out.push_back(static_cast<char>(static_cast<unsigned char>(wc)));
    return out;
}

static bool initialiseMutex(SharedLockState *state)
{
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return false;
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    const int rc = pthread_mutex_init(&state->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0;
}

static void sleepBriefly()
{
    const timespec pause { 0, 1000000 };
    nanosleep(&pause, nullptr);
}

// Maps the object once its creator has sized and initialised it; null when that has not
// happened within the ready wait.
static SharedLockState *waitUntilReady(int fd)
{
    struct stat info;
    int waited = 0;
    while (fstat(fd, &info) == 0 && info.st_size < static_cast<off_t>(sizeof(SharedLockState))
           && waited < FileLockPrivate::readyWaitMs) {
        sleepBriefly();
        ++waited;
    }
    if (info.st_size < static_cast<off_t>(sizeof(SharedLockState)))
        return nullptr;
    void *mem = mmap(nullptr, sizeof(SharedLockState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED)
        return nullptr;
    auto *state = static_cast<SharedLockState *>(mem);
    while (state->ready.load(std::memory_order_acquire) != readyMagic && waited < FileLockPrivate::readyWaitMs) {
        sleepBriefly();
        ++waited;
    }
    if (state->ready.load(std::memory_order_acquire) == readyMagic)
        return state;
    munmap(mem, sizeof(SharedLockState));
    return nullptr;
}

// Removes an object whose creator died before making it ready. The creator holds a flock on
// the object while it works, so a flock that can be taken means nobody is making it. Under
// that flock the name is checked to still refer to this very object: of two processes that
// heal the same name, the second finds the first's new object there and leaves it alone.
static bool removeIfAbandonedAtBirth(int fd, const std::string &name)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return false;
    bool removed = false;
    const int named = shm_open(name.c_str(), O_RDONLY, 0);
    struct stat current, stale;
    if (named < 0) {
        removed = errno == ENOENT; // already removed by another healer
    } else {
        if (fstat(named, &current) == 0 && fstat(fd, &stale) == 0 && current.st_dev == stale.st_dev
            && current.st_ino == stale.st_ino)
            removed = shm_unlink(name.c_str()) == 0;
        else
            removed = true; // the name already refers to a newer object
        ::close(named);
    }
    flock(fd, LOCK_UN);
    return removed;
}

// Makes the object just created behind `fd`: sized, mapped and its mutex initialised. On
// failure the object is removed again, and the system error is returned through `error`.
static SharedLockState *makeObject(int fd, const std::string &name, int &error)
{
    void *mem = MAP_FAILED;
    if (ftruncate(fd, sizeof(SharedLockState)) == 0)
        mem = mmap(nullptr, sizeof(SharedLockState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) {
        error = errno;
        shm_unlink(name.c_str());
        return nullptr;
    }
    auto *state = static_cast<SharedLockState *>(mem);
    state->depth = 0;
    state->ownerThread = 0;
    if (!initialiseMutex(state)) {
        munmap(mem, sizeof(SharedLockState));
        shm_unlink(name.c_str());
        error = EINVAL;
        return nullptr;
    }
    state->ready.store(readyMagic, std::memory_order_release);
    return state;
}

void FileLockPrivate::open()
{
    handle.objectName = objectNameFor(mutexName);
    for (int attempt = 0; attempt < maxReopens; ++attempt) {
        int fd = shm_open(handle.objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            // Held while the object is being made: an opener that finds it unfinished can
            // tell a creator at work from one that died (the system drops its flock).
            flock(fd, LOCK_EX);
            // The mode given to shm_open is filtered by the umask; every account must be
            // able to use the lock, as the Everyone entry grants on Windows.
            if (fchmod(fd, 0666) != 0)
                reportPermissionsFailed(std::strerror(errno));
            int error = 0;
            SharedLockState *state = makeObject(fd, handle.objectName, error);
            if (!state) {
                ::close(fd);
                reportCreateFailed(error);
                return;
            }
            flock(fd, LOCK_UN);
            handle.fd = fd;
            handle.state = state;
            return;
        }
        if (errno != EEXIST) {
            reportCreateFailed(errno);
            return;
        }
        fd = shm_open(handle.objectName.c_str(), O_RDWR, 0);
        if (fd < 0) {
            if (errno == ENOENT)
                continue; // vanished between the two calls: create it once more
            reportOpenFailed(errno);
            return;
        }
        // The creator may still be sizing or initialising the object.
        SharedLockState *state = waitUntilReady(fd);
        if (!state) {
            // Still not ready: when its creator died while making it, remove it and make
            // a new one; otherwise the creator is still at work and the file counts as busy.
            const bool abandonedAtBirth = removeIfAbandonedAtBirth(fd, handle.objectName);
            ::close(fd);
            if (abandonedAtBirth)
                continue;
            reportOpenFailed(EAGAIN);
            makeError = 0; // busy being made, which a later run may find done
            return;
        }
        handle.fd = fd;
        handle.state = state;
        return;
    }
    reportCreateFailed(ENOENT);
}

bool FileLockPrivate::isValid() const
{
    return handle.state != nullptr;
}

// True when the object's name still refers to the object this handle has mapped.
static bool stillNamed(const FileLockHandle &handle)
{
    const int fd = shm_open(handle.objectName.c_str(), O_RDONLY, 0);
    if (fd < 0)
        return false;
    struct stat named, mapped;
    const bool same = fstat(fd, &named) == 0 && fstat(handle.fd, &mapped) == 0 && named.st_dev == mapped.st_dev
                      && named.st_ino == mapped.st_ino;
    ::close(fd);
    return same;
}

static int lockWithTimeout(pthread_mutex_t *mutex, uint32_t timeoutMs)
{
    if (timeoutMs == 0)
        return pthread_mutex_trylock(mutex);
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return pthread_mutex_timedlock(mutex, &deadline);
}

FileLockPrivate::WaitResult FileLockPrivate::wait(uint32_t timeoutMs)
{
    bool abandoned = false;
    for (int attempt = 0; attempt < maxReopens && handle.state; ++attempt) {
        SharedLockState *state = handle.state;
        int rc = lockWithTimeout(&state->mutex, timeoutMs);
        if (rc == EOWNERDEAD) {
            // The owner died holding the lock: take it over, as Windows hands an abandoned
            // mutex to the next waiter.
            pthread_mutex_consistent(&state->mutex);
            state->depth = 0;
            abandoned = true;
            rc = 0;
        }
        if (rc != 0)
            return NotAcquired;
        if (state->depth > 0 || stillNamed(handle)) {
            ++state->depth;
            state->ownerThread = currentThreadId();
            return abandoned ? Abandoned : Acquired;
        }
        // Locked an object whose last owner already unlinked it: let it go and use the
        // object that the name refers to now.
        state->ownerThread = 0;
        pthread_mutex_unlock(&state->mutex);
        close();
        open();
    }
    return NotAcquired;
}

void FileLockPrivate::release()
{
    SharedLockState *state = handle.state;
    if (!state || state->ownerThread != currentThreadId())
        return; // like ReleaseMutex from a thread that does not own the mutex
    if (--state->depth == 0) {
        state->ownerThread = 0;
        shm_unlink(handle.objectName.c_str());
    }
    pthread_mutex_unlock(&state->mutex);
}

void FileLock::sweepAbandoned()
{
    const std::string prefix = FileLockPrivate::objectNameFor(std::wstring()).substr(1, 15); // "kaldo-usagelog-"
    DIR *objects = opendir("/dev/shm");
    if (!objects)
        return;
    while (const dirent *entry = readdir(objects)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0)
            continue;
        FileLockHandle handle;
        handle.objectName = std::string("/") + entry->d_name;
        handle.fd = shm_open(handle.objectName.c_str(), O_RDWR, 0);
        if (handle.fd < 0)
            continue;
        struct stat info;
        void *mem = MAP_FAILED;
        if (fstat(handle.fd, &info) == 0 && info.st_size >= static_cast<off_t>(sizeof(SharedLockState)))
            mem = mmap(nullptr, sizeof(SharedLockState), PROT_READ | PROT_WRITE, MAP_SHARED, handle.fd, 0);
        handle.state = mem == MAP_FAILED ? nullptr : static_cast<SharedLockState *>(mem);
        if (!handle.state || handle.state->ready.load(std::memory_order_acquire) != readyMagic) {
            // Not made ready (yet): removed only when its maker died at it.
            removeIfAbandonedAtBirth(handle.fd, handle.objectName);
        } else {
            // Taken as any lock is, without waiting: a holder that died hands it over, a free
            // one is simply taken, one that a live process holds is left. Its name goes as it
            // goes with every last release: under the mutex, and only while it still names it.
            int rc = pthread_mutex_trylock(&handle.state->mutex);
            if (rc == EOWNERDEAD) {
                pthread_mutex_consistent(&handle.state->mutex);
                handle.state->depth = 0;
                handle.state->ownerThread = 0;
                rc = 0;
            }
            if (rc == 0) {
                if (handle.state->depth == 0 && stillNamed(handle))
                    shm_unlink(handle.objectName.c_str());
                pthread_mutex_unlock(&handle.state->mutex);
            }
        }
        if (handle.state)
            munmap(handle.state, sizeof(SharedLockState));
        ::close(handle.fd);
    }
    closedir(objects);
}

void FileLockPrivate::close()
{
    if (handle.state)
        munmap(handle.state, sizeof(SharedLockState));
    if (handle.fd >= 0)
        ::close(handle.fd);
    handle.state = nullptr;
    handle.fd = -1;
}
