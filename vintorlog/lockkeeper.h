#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vintorlog_detail {

// Runs the lock calls of one handle on a thread of its own. A named mutex belongs to the thread
// that took it, on Windows and in the robust mutexes that stand for it on POSIX: taken on a
// product's thread, a part's lock could be released on no other thread, and would count as
// abandoned as soon as that thread ended. The keeper lives as long as the handle, so any thread
// may use the handle, and the lock goes only with the handle or the process.
//
// Its thread shares what it works on with the keeper, so that a keeper that must not wait for
// its thread to end (below) can leave it to end by itself.
class LockKeeper
{
public:
    LockKeeper() = default;
    // Stops the thread and waits for it to end; inside the loader lock, where a thread cannot end
    // while the caller waits, the thread is left to end by itself, and the module that holds its
    // code stays loaded for it.
    ~LockKeeper();
    LockKeeper(const LockKeeper &) = delete;
    LockKeeper &operator=(const LockKeeper &) = delete;

    // Starts the thread; false, with `error` set, when the system gives none.
    bool start(std::string &error);
    // Runs `task` on the keeper's thread and returns once it has run, with what it threw.
    void run(const std::function<void()> &task);

private:
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable wake;
        const std::function<void()> *task = nullptr;
        std::exception_ptr thrown;
        bool stop = false;
    };
    static void serve(const std::shared_ptr<Shared> &shared);

    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

} // namespace vintorlog_detail
