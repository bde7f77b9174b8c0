// Holds or probes one log file lock from a separate process. Exit code: 0 when the lock was
// taken, 1 when it was not.
//   lockhelper try <path>            try once, release, exit
//   lockhelper hold <path> <ms>      take it, print "locked", hold it for <ms>, release
//   lockhelper crash <path>          take it, print "locked", die without releasing
//   lockhelper instance <folder>     try the instance guard of a log folder
//   lockhelper guard <folder> <ms>   take that guard, print "locked", hold it for <ms>
//   lockhelper block <path> <ms>     put an object that is no lock where the lock of <path> goes,
//                                    print "holding", keep it for <ms> (POSIX: until unblocked)
//   lockhelper unblock <path>        remove that object
//   lockhelper claim <path>          claim the file for removal: 0 claimed, 1 denied by rights,
//                                    2 failed otherwise
//   lockhelper plugin <library> unload|exit
//                                    load the lifecycle tests' plug-in library, have it begin a
//                                    session, then unload it or just end; exit code: the result
//                                    of the plug-in's open at load, 100 when no session began
// After <ms>, a fourth argument names a file to create once the lock is held. The lock's
// reports are silenced: they would land in what a test captures of its own standard error.

#include "fileclaim.h"
#include "filelock.h"
#include "filelock_p.h"
#include "instanceguard.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Tells that the lock is held, then keeps it for the time asked, or dies at once.
int holdAndExit(int argc, char **argv, bool crash)
{
    std::printf("locked\n");
    std::fflush(stdout);
    if (argc > 4)
        std::fclose(std::fopen(argv[4], "w"));
    if (crash)
        std::_Exit(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(argc > 3 ? std::atoi(argv[3]) : 1000));
    return 0;
}

// A product that loads a plug-in library, and unloads it or ends with it loaded.
int hostPlugin(const char *path, const std::string &end)
{
    using Call = int (*)();
#ifdef _WIN32
    HMODULE library = LoadLibraryA(path);
    const auto symbol = [&](const char *name) {
        return reinterpret_cast<Call>(reinterpret_cast<void *>(GetProcAddress(library, name)));
    };
    const auto unload = [&] { FreeLibrary(library); };
#else
    void *library = dlopen(path, RTLD_NOW);
    const auto symbol = [&](const char *name) { return reinterpret_cast<Call>(dlsym(library, name)); };
    const auto unload = [&] { dlclose(library); };
#endif
    const Call openResult = library ? symbol("plugin_open_result") : nullptr;
    const Call begin = library ? symbol("plugin_begin") : nullptr;
    if (!openResult || !begin || begin() != 0)
        return 100;
    const int opened = openResult();
    if (end == "unload")
        unload();
    return opened;
}

// An object of the lock's name that is no lock, so that no process can make the lock: an event
// on Windows, which goes with this process; a folder on POSIX, which stays until unblocked.
int block(const std::string &path, const std::string &mode, int ms)
{
#ifdef _WIN32
    const std::wstring name = L"Global\\" + FileLockPrivate::widen(FileLock::foldedPath(path));
    if (mode == "unblock")
        return 0;
    if (!CreateEventW(nullptr, TRUE, FALSE, name.c_str()))
        return 1;
#else
    const std::string object = FileLock::objectFile(path);
    if (mode == "unblock")
        return rmdir(object.c_str()) == 0 ? 0 : 1;
    if (mkdir(object.c_str(), 0700) != 0)
        return 1;
#endif
    std::printf("holding\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    (void)std::freopen("NUL", "w", stderr);
#else
    (void)std::freopen("/dev/null", "w", stderr);
#endif
    if (argc < 3)
        return 2;
    const std::string mode = argv[1];
    if (mode == "plugin" && argc == 4)
        return hostPlugin(argv[2], argv[3]);
    if (mode == "block" || mode == "unblock")
        return block(argv[2], mode, argc > 3 ? std::atoi(argv[3]) : 1000);
    if (mode == "claim") {
        FileClaim claim(FileLockPrivate::widen(argv[2]));
        return claim.claim(0, nullptr) ? 0 : claim.denied() ? 1 : 2;
    }
    if (mode == "instance" || mode == "guard") {
        InstanceGuard guard(FileLockPrivate::widen(argv[2]));
        if (!guard.tryAcquire())
            return 1;
        return mode == "guard" ? holdAndExit(argc, argv, false) : 0;
    }
    FileLock lock(argv[2]);
    if (!lock.tryLock(0))
        return 1;
    return mode == "try" ? 0 : holdAndExit(argc, argv, mode == "crash");
}
