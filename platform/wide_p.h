#pragma once

#include <string>

// Conversions between the wide strings of the platform interfaces (UTF-16 on Windows, UTF-32
// elsewhere) and UTF-8.
namespace wide {
std::wstring fromUtf8(const std::string &bytes);
std::string toUtf8(const std::wstring &text);
}
