#include "logfolder.h"
#include "logfolder_p.h"

#include <vector>

std::wstring findLogFolder(const std::wstring &userName, std::vector<std::wstring> *tried)
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
        // The machine-wide roots are shared by every account, so the leaf carries the user
        // name there; the preferred root is already per user.
        const std::wstring company = candidates[i] + L"/KALDO Technologies";
        std::wstring leaf = company + L"/Zadazevi Rerevarazu Logs";
        if (!hasPreferred || i > 0)
            leaf += L" - " + userName;
        if (tried)
            tried->push_back(leaf);
        if (ensureDirectory(candidates[i]) && ensureDirectory(company) && ensureDirectory(leaf))
            return leaf;
    }
    return std::wstring();
}
