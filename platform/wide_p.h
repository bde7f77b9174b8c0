#pragma once

#include <string>

// Conversions between the wide strings of the platform interfaces and the 8-bit strings of
// the POSIX calls.
namespace wide {
std::wstring fromUtf8(const std::string &bytes);
std::string toUtf8(const std::wstring &text);
}
