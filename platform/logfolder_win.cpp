#include "logfolder.h"
#include "logfolder_p.h"
#include "wide_p.h"

#include <windows.h>

#include <cstdlib>

std::wstring currentUserName()
{
    wchar_t buffer[257] = {};
    DWORD size = 257;
    if (!GetUserNameW(buffer, &size))
        return std::wstring();
    return buffer;
}

bool ensureDirectory(const std::wstring &path)
{
    const std::wstring longPath = wide::extendedLengthPath(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(longPath.c_str(), GetFileExInfoStandard, &data))
        return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Only "file not found" means the last level is missing; "path not found" (a parent is
    // missing), access denied and the rest fail without creating anything.
    if (GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    // Another thread or process may make it in between: a folder that is there now will do.
    return CreateDirectoryW(longPath.c_str(), nullptr) != 0
           || (GetLastError() == ERROR_ALREADY_EXISTS
               && GetFileAttributesExW(longPath.c_str(), GetFileExInfoStandard, &data)
               && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
}

bool isHiddenOrSystemFile(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(wide::extendedLengthPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
}

namespace logfolder {

bool readEnvironment(const wchar_t *name, std::wstring &value)
{
    wchar_t *copy = nullptr;
    size_t length = 0;
    if (_wdupenv_s(&copy, &length, name) != 0 || !copy)
        return false;
    value = copy;
    free(copy);
    return true;
}

} // namespace logfolder
