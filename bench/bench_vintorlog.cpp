// The writers' library's cost per session as its log folder fills: one handle ends sessions in a
// loop, each a log of its own with a few events, in a new folder under `parent` (the quota raised
// above what it writes), and prints the time of each 1,000 sessions, wall-clock and processor
// (the disk's write-back moves the first), from an empty folder until it holds `logs` logs and
// 1,000 more. Products need it flat: a session costs the same however many logs wait.
//
//   bench_vintorlog [logs=10000] [parent=the temporary folder]

#include "folderquota.h"
#include "vintorlog.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

int main(int argc, char *argv[])
{
    const long long logs = argc > 1 ? std::atoll(argv[1]) : 10000;
    vintorlog_detail::folderQuota.logs = logs + 2000;
    const std::filesystem::path folder
        = (argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path())
          / ("bench_vintorlog-" + std::to_string(std::time(nullptr)));
    std::filesystem::create_directories(folder);
    vintorlog *log = nullptr;
    if (vintorlog_open(&log, folder.string().c_str(), "bench", VINTORLOG_FOR_RECEIVER) != VINTORLOG_OK) {
        std::fprintf(stderr, "%s\n", vintorlog_errmsg(log));
        return 1;
    }
    vintorlog_session session {};
    session.product_id = "12";
    session.user = "jdoe";
    const vintorlog_attribute path = { "path", "C:/Users/jdoe/Projects/bridge-tender.dwg", 1 };
    const vintorlog_event event = { 0, "Open", "menu", "2026-12-07T09:01:00", &path, 1 };
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now();
    std::clock_t processor = std::clock();
    double first = 0, last = 0, firstProcessor = 0, lastProcessor = 0;
    for (long long n = 1; n <= logs + 1000; ++n) {
        int result = vintorlog_begin_session(log, &session);
        for (int i = 0; i < 4 && result == VINTORLOG_OK; ++i)
            result = vintorlog_write_event(log, &event);
        if (result == VINTORLOG_OK)
            result = vintorlog_end_session(log);
        if (result != VINTORLOG_OK) {
            std::fprintf(stderr, "session %lld: %s\n", n, vintorlog_errmsg(log));
            return 1;
        }
        if (n % 1000 == 0) {
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            const double processorMs = 1000.0 * static_cast<double>(std::clock() - processor) / CLOCKS_PER_SEC;
            std::printf("logs %6lld to %6lld: %7.1f ms per 1,000 sessions (processor %6.1f ms)\n", n - 1000, n, ms,
                        processorMs);
            (n == 1000 ? first : last) = ms;
            (n == 1000 ? firstProcessor : lastProcessor) = processorMs;
            start = Clock::now();
            processor = std::clock();
        }
    }
    vintorlog_close(log);
    std::printf("per session: %.3f ms (processor %.3f) with an empty folder, %.3f ms (processor %.3f) with %lld "
                "logs in it\n",
                first / 1000, firstProcessor / 1000, last / 1000, lastProcessor / 1000, logs);
    std::filesystem::remove_all(folder);
    return 0;
}
