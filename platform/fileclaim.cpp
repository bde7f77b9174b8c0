#include "fileclaim.h"

bool removeFile(const std::wstring &path, std::string *error)
{
    FileClaim claim(path);
    if (claim.claim(fileClaimWaitMs) && claim.remove())
        return true;
    if (error)
        *error = claim.errorString();
    return false;
}
