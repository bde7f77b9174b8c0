#pragma once

#include <string>

// Conversions between the wide strings of the platform interfaces (UTF-16 on Windows, UTF-32
// elsewhere) and UTF-8, and the system's own forms of paths and error codes.
namespace wide {
std::wstring fromUtf8(const std::string &bytes);
std::string toUtf8(const std::wstring &text);

// Windows: an absolute path (C:/dir/file, //server/share/file) in its extended-length form
// (\\?\C:\dir\file, \\?\UNC\server\share\file), which passes MAX_PATH. The system takes such a
// path as it stands, so what it would otherwise do is done here: forward slashes become
// backslashes, empty and "." steps go, ".." takes back the step before (never the drive, server
// or share). A relative path, or one already in that form, is returned unchanged; on POSIX
// every path is.
std::wstring extendedLengthPath(const std::wstring &path);

// Windows: conversions through a code page of the system's (CP_UTF8, CP_ACP and the like).
std::wstring fromCodePage(const std::string &bytes, unsigned codePage);
std::string toCodePage(const std::wstring &text, unsigned codePage);

// Windows: the system's text for an error code, without its line end.
std::wstring systemMessage(unsigned long code);
}
