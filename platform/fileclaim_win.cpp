// Windows side of the file claim: the file opened with delete access, sharing only reading, and
// removed through that very handle.

#include "fileclaim.h"
#include "wide_p.h"

#include <windows.h>

#include <algorithm>

class FileClaimPrivate
{
public:
    std::wstring path;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD error = 0;

    bool fail(DWORD code)
    {
        error = code;
        return false;
    }
};

namespace {

// Refusals that clear when another process lets the file go: it is open without delete
// sharing, or being scanned. Access denied is the file's rights, which no wait changes.
bool isMomentary(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool setAttributes(HANDLE file, DWORD attributes)
{
    FILE_BASIC_INFO basic = {}; // times of zero are left as they are
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

} // namespace

FileClaim::FileClaim(const std::wstring &path)
    : d(std::make_unique<FileClaimPrivate>())
{
    d->path = wide::extendedLengthPath(path);
}

FileClaim::FileClaim(FileClaim &&other) noexcept = default;

bool FileClaim::denied() const
{
    return d->error == ERROR_ACCESS_DENIED;
}

FileClaim::~FileClaim()
{
    if (d && d->file != INVALID_HANDLE_VALUE)
        CloseHandle(d->file);
}

bool FileClaim::claim(uint32_t waitMs, uint32_t *waitedMs)
{
    uint32_t waited = 0;
    for (uint32_t pause = 10;; pause *= 2) {
        // Writing attributes as well: a read-only mark is cleared through this handle.
        d->file = CreateFileW(d->path.c_str(), GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (d->file != INVALID_HANDLE_VALUE)
            break;
        d->error = GetLastError();
        if (!isMomentary(d->error) || waited >= waitMs)
            break;
        const uint32_t step = std::min(pause, waitMs - waited);
        Sleep(step);
        waited += step;
    }
    if (waitedMs)
        *waitedMs += waited;
    return d->file != INVALID_HANDLE_VALUE;
}

int64_t FileClaim::read(char *data, int64_t size)
{
    DWORD got = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<int64_t>(size, 1 << 30));
    if (d->file == INVALID_HANDLE_VALUE || !ReadFile(d->file, data, wanted, &got, nullptr)) {
        d->fail(d->file == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : GetLastError());
        return -1;
    }
    return got;
}

bool FileClaim::remove()
{
    if (d->file == INVALID_HANDLE_VALUE)
        return d->fail(ERROR_INVALID_HANDLE);
    BY_HANDLE_FILE_INFORMATION info;
    const bool readOnly
        = GetFileInformationByHandle(d->file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !setAttributes(d->file, info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY))
        return d->fail(GetLastError());
    // Marked for deletion, the file goes when the last handle to it is closed: this one, unless
    // another process has it open sharing deletion.
    FILE_DISPOSITION_INFO disposition = { TRUE };
    if (!SetFileInformationByHandle(d->file, FileDispositionInfo, &disposition, sizeof disposition)) {
        d->fail(GetLastError());
        if (readOnly)
            setAttributes(d->file, info.dwFileAttributes);
        return false;
    }
    CloseHandle(d->file);
    d->file = INVALID_HANDLE_VALUE;
    return true;
}

std::string FileClaim::errorString() const
{
    return wide::toUtf8(wide::systemMessage(d->error));
}
