#include "folderquota.h"

#include "processlife.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace vintorlog_detail {

FolderQuota folderQuota { 10000, 256LL << 20, 60, 5 };

namespace {

using Clock = std::chrono::steady_clock;

// The last count of one folder, for this process.
struct FolderCount
{
    unsigned long long folder; // a digest of its path
    unsigned long process;
    long long logs;
    long long bytes;
    Clock::rep countedAt;
};

std::atomic_flag countBusy = ATOMIC_FLAG_INIT;
FolderCount count {}; // plain data: no global constructor or destructor

unsigned long long digest(const std::string &text)
{
    unsigned long long hash = 0xcbf29ce484222325ULL;
    for (const char c : text)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return hash;
}

bool takeCount()
{
    for (int tries = 0; tries < 1000; ++tries) {
        if (!countBusy.test_and_set(std::memory_order_acquire))
            return true;
        std::this_thread::yield();
    }
    return false;
}

void giveCount()
{
    countBusy.clear(std::memory_order_release);
}

// A log is counted by its first part, or by the full log that a harvest cut short left.
bool isLogFile(const std::string &name)
{
    const auto endsWith = [&](const char *tail) {
        const size_t size = std::char_traits<char>::length(tail);
        return name.size() > size && name.compare(name.size() - size, size, tail) == 0;
    };
    return endsWith(".0.xml") || endsWith(".full.xml");
}

void countFolder(const std::string &folder, long long &logs, long long &bytes)
{
    logs = bytes = 0;
    std::error_code error;
    for (fs::directory_iterator it(fs::u8path(folder), error), end; !error && it != end; it.increment(error)) {
        std::error_code sizeError;
        if (!it->is_regular_file(sizeError))
            continue;
        const auto size = it->file_size(sizeError);
        bytes += sizeError ? 0 : static_cast<long long>(size);
        logs += isLogFile(it->path().filename().u8string()) ? 1 : 0;
    }
}

} // namespace

bool folderHasRoom(const std::string &folder, std::string &why)
{
    const unsigned long long key = digest(folder);
    const unsigned long process = processlife::currentProcessId();
    const Clock::rep now = Clock::now().time_since_epoch().count();
    const auto ticks
        = [](std::chrono::seconds seconds) { return std::chrono::duration_cast<Clock::duration>(seconds).count(); };
    long long logs = 0, bytes = 0;
    bool counted = false;
    if (takeCount()) {
        const bool full = count.logs >= folderQuota.logs || count.bytes >= folderQuota.bytes;
        const Clock::rep age = now - count.countedAt;
        counted
            = count.folder == key && count.process == process
              && age < ticks(std::chrono::seconds(full ? folderQuota.fullRecountSeconds : folderQuota.recountSeconds));
        logs = count.logs;
        bytes = count.bytes;
        giveCount();
    }
    if (!counted) {
        countFolder(folder, logs, bytes);
        if (takeCount()) {
            count = FolderCount { key, process, logs, bytes, now };
            giveCount();
        }
    }
    if (logs < folderQuota.logs && bytes < folderQuota.bytes)
        return true;
    why = "the log folder " + folder + " holds " + std::to_string(logs) + " logs and " + std::to_string(bytes)
          + " bytes, its quota (" + std::to_string(folderQuota.logs) + " logs or " + std::to_string(folderQuota.bytes)
          + " bytes): no log begins until a harvest has taken some";
    return false;
}

void noteWritten(const std::string &folder, long long logs, long long bytes)
{
    if (!takeCount())
        return;
    if (count.folder == digest(folder) && count.process == processlife::currentProcessId()) {
        count.logs += logs;
        count.bytes += bytes;
    }
    giveCount();
}

} // namespace vintorlog_detail
