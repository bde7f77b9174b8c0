#include "logfolder.h"
#include "logfolder_p.h"
#include "wide_p.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::wstring currentUserName()
{
    // The reentrant look-up: the writers' library asks from any thread of a product.
    passwd entry {};
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    while (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!found || !found->pw_name)
        return std::wstring();
    return wide::fromUtf8(found->pw_name);
}

// The parent of the last level, as far as the text shows it ("." for a bare name).
static std::string parentOf(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool ensureDirectory(const std::wstring &path)
{
    const std::string native = wide::toUtf8(path);
    struct stat info;
    if (stat(native.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    if (errno != ENOENT)
        return false;
    // Windows tells "file not found" (the last level is missing: create it) from "path not
    // found" (a parent is missing: fail). POSIX says ENOENT for both, so look at the parent.
    struct stat parent;
    if (stat(parentOf(native).c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode))
        return false;
    // Another thread or process may make it in between: a folder that is there now will do.
    return mkdir(native.c_str(), 0777) == 0
           || (errno == EEXIST && stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
}

bool isHiddenOrSystemFile(const std::wstring &)
{
    return false;
}

namespace logfolder {

bool readEnvironment(const wchar_t *name, std::wstring &value)
{
    const char *raw = std::getenv(wide::toUtf8(name).c_str());
    if (!raw)
        return false;
    value = wide::fromUtf8(raw);
    return true;
}

} // namespace logfolder
