// Loads the plug-in library of the lifecycle tests, has it begin a session, and writes
// "loaded <the result of the open at load> <the result of the session's begin>" to a file, then
// unloads the library ("unload") or simply ends ("exit"), leaving the plug-in's global objects to
// the system's end of the process.
//   lifecyclehost <library> unload|exit <result file>

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    using Call = int (*)();
#ifdef _WIN32
    HMODULE library = LoadLibraryA(argv[1]);
    const auto symbol = [&](const char *name) {
        return reinterpret_cast<Call>(reinterpret_cast<void *>(GetProcAddress(library, name)));
    };
    const auto unload = [&] { FreeLibrary(library); };
#else
    void *library = dlopen(argv[1], RTLD_NOW);
    const auto symbol = [&](const char *name) { return reinterpret_cast<Call>(dlsym(library, name)); };
    const auto unload = [&] { dlclose(library); };
#endif
    if (!library)
        return 3;
    const Call openResult = symbol("plugin_open_result"), begin = symbol("plugin_begin");
    if (!openResult || !begin)
        return 4;
    FILE *result = std::fopen(argv[3], "wb");
    if (!result)
        return 5;
    std::fprintf(result, "loaded %d %d\n", openResult(), begin());
    std::fclose(result);
    if (std::strcmp(argv[2], "unload") == 0)
        unload();
    return 0;
}
