// Holds or probes one log file lock from a separate process. Exit code: 0 when the lock was
// taken, 1 when it was not.
//   lockhelper try <path>            try once, release, exit
//   lockhelper hold <path> <ms>      take it, print "locked", hold it for <ms>, release
//   lockhelper crash <path>          take it, print "locked", die without releasing
// After <ms>, a fourth argument names a file to create once the lock is held. The lock's
// reports are silenced: they would land in what a test captures of its own standard error.
//   lockhelper instance <folder>     try the instance guard of a log folder

#include "filelock.h"
#include "filelock_p.h"
#include "instanceguard.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

int main(int argc, char **argv)
{
#ifdef _WIN32
    (void)std::freopen("NUL", "w", stderr);
#else
    (void)std::freopen("/dev/null", "w", stderr);
#endif
    if (argc < 3)
        return 2;
    if (std::strcmp(argv[1], "instance") == 0)
        return InstanceGuard(FileLockPrivate::widen(argv[2])).tryAcquire() ? 0 : 1;
    FileLock lock(argv[2]);
    if (!lock.tryLock(0))
        return 1;
    if (std::strcmp(argv[1], "try") == 0)
        return 0;
    std::printf("locked\n");
    std::fflush(stdout);
    if (argc > 4)
        std::fclose(std::fopen(argv[4], "w"));
    if (std::strcmp(argv[1], "crash") == 0)
        std::_Exit(0);
    const int ms = argc > 3 ? std::atoi(argv[3]) : 1000;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return 0;
}
