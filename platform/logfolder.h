#pragma once

#include <string>
#include <vector>

// The per-user folder into which the tracked products write their usage logs, and the
// primitive that prepares one directory level. Paths are wide strings; the writers and this
// tool must agree on the rule in findLogFolder().

// The account name of the process, or an empty string when it cannot be read.
std::wstring currentUserName();

// True when `path` is an existing directory or its last level was just created. A missing
// parent is a failure: only the last level is ever created.
bool ensureDirectory(const std::wstring &path);

// True for a file that the system marks hidden or system: Windows' file attributes. POSIX has
// no such marks (a name that begins with a dot is an ordinary file here): false.
bool isHiddenOrSystemFile(const std::wstring &path);

// The log folder, with every missing level created on the way; empty when no candidate
// could be prepared. `tried`, when given, receives each candidate's folder in the order tried.
std::wstring findLogFolder(const std::wstring &userName, std::vector<std::wstring> *tried = nullptr);
