#include "fileclaim.h"

#include <algorithm>

uint32_t runWaitLeftMs = 5000;

bool claimWithinRun(FileClaim &claim)
{
    uint32_t waited = 0;
    const bool claimed = claim.claim(std::min(fileClaimWaitMs, runWaitLeftMs), &waited);
    runWaitLeftMs -= std::min(waited, runWaitLeftMs);
    return claimed;
}

bool removeFile(const std::wstring &path, std::string *error)
{
    FileClaim claim(path);
    if (claimWithinRun(claim) && claim.remove())
        return true;
    if (error)
        *error = claim.errorString();
    return false;
}
