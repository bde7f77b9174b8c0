#pragma once

#include <string>

// The bound on what a log folder holds: a product that ends sessions in a loop, on a machine
// that sees no harvest for weeks, must not fill the user's disk.
namespace vintorlog_detail {

struct FolderQuota
{
    long long logs;
    long long bytes;
    int recountSeconds; // how old a count may be
    int fullRecountSeconds; // how old a count that found the folder full may be
};
// 10,000 logs or 256 MiB, whichever comes first, counted at most once a minute, or every five
// seconds while the folder is full; tests and benchmarks set others.
extern FolderQuota folderQuota;

// Whether `folder` may take one more log; `why` tells what it holds when not. The folder is
// counted (its logs and the bytes of its files) the first time the process asks and then when the
// count is older than the quota allows, so that a product soon learns that a harvest made room; what the process writes
// in between is added to the count. The count is kept for one folder for the whole process, behind a flag that is only
// ever held for a few instructions and never waited on for long: a child forked while another thread held it counts
// afresh.
bool folderHasRoom(const std::string &folder, std::string &why);
// What this process added to `folder`: a log begun, bytes written.
void noteWritten(const std::string &folder, long long logs, long long bytes);

} // namespace vintorlog_detail
