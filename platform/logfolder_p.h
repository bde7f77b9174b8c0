#pragma once

#include <string>

// Platform side of the log folder rule.
namespace logfolder {
// Reads an environment variable; false when it is not set.
bool readEnvironment(const wchar_t *name, std::wstring &value);
}
