#include "logfolder.h"
#include "logfolder_p.h"

#include <vector>

std::wstring findLogFolder(const std::wstring &userName)
{
    std::vector<std::wstring> candidates { L"c:/windows/temp", L"c:/temp" };

    std::wstring preferred;
    bool hasPreferred = logfolder::readEnvironment(L"TEMP", preferred);
    if (!hasPreferred) {
        hasPreferred = logfolder::readEnvironment(L"LOCALAPPDATA", preferred);
        if (hasPreferred)
            preferred += L"/temp";
    }
    if (hasPreferred)
        candidates.insert(candidates.begin(), preferred);

    for (size_t i = 0; i < candidates.size(); ++i) {
        std::wstring path = candidates[i];
        if (!ensureDirectory(path))
            continue;
        path += L"/KALDO Technologies";
        if (!ensureDirectory(path))
            continue;
        // The machine-wide roots are shared by every account, so the leaf carries the
        // user name there; the preferred root is already per user.
        std::wstring leaf = L"Zadazevi Rerevarazu Logs";
        if (!hasPreferred || i > 0)
            leaf += L" - " + userName;
        path += L"/" + leaf;
        if (ensureDirectory(path))
            return path;
    }
    return std::wstring();
}
