// Holds a file open the way other programs on a workstation do (virus scanners, backup and sync
// agents, indexers, editors), for the Windows runs of the harvest's tests.
//   fileholder <path> <sharing> <ms> [<start-file>]
// <sharing> names what other openers may do meanwhile: "r" read, "w" write, "d" delete, in any
// combination, or "-" for nothing. The holder prints "holding" once the file is open and keeps it
// <ms> milliseconds, counted from the moment <start-file> exists when one is given. Exit code: 0,
// or 1 when the file could not be opened.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4)
        return 2;
    const std::wstring sharing = argv[2];
    const DWORD share = (sharing.find(L'r') != std::wstring::npos ? FILE_SHARE_READ : 0)
                        | (sharing.find(L'w') != std::wstring::npos ? FILE_SHARE_WRITE : 0)
                        | (sharing.find(L'd') != std::wstring::npos ? FILE_SHARE_DELETE : 0);
    const HANDLE file = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::printf("holding\n");
    std::fflush(stdout);
    while (argc > 4 && GetFileAttributesW(argv[4]) == INVALID_FILE_ATTRIBUTES)
        Sleep(5);
    Sleep(static_cast<DWORD>(_wtoi(argv[3])));
    CloseHandle(file);
    return 0;
}
