#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace vintorlog_detail {

// Runs the lock calls of one handle on a thread of its own. A named mutex belongs to the thread
// that took it, on Windows and in the robust mutexes that stand for it on POSIX: taken on a
// product's thread, a part's lock could be released on no other thread, and would count as
// abandoned as soon as that thread ended. The keeper lives as long as the handle, so any thread
// may use the handle, and the lock goes only with the handle or the process.
class LockKeeper
{
public:
    LockKeeper()
        : m_thread([this] { serve(); })
    {
    }
    ~LockKeeper()
    {
        {
            const std::lock_guard<std::mutex> hold(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    LockKeeper(const LockKeeper &) = delete;
    LockKeeper &operator=(const LockKeeper &) = delete;

    // Runs `task` on the keeper's thread and returns once it has run, with what it threw.
    void run(const std::function<void()> &task)
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        m_task = &task;
        m_wake.notify_all();
        m_wake.wait(hold, [this] { return !m_task; });
        if (m_thrown)
            std::rethrow_exception(std::exchange(m_thrown, nullptr));
    }

private:
    void serve()
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        while (true) {
            m_wake.wait(hold, [this] { return m_task || m_stop; });
            if (!m_task)
                return;
            try {
                (*m_task)();
            } catch (...) {
                m_thrown = std::current_exception();
            }
            m_task = nullptr;
            m_wake.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    const std::function<void()> *m_task = nullptr;
    std::exception_ptr m_thrown;
    bool m_stop = false;
    std::thread m_thread; // last: it starts serving once the rest is made
};

} // namespace vintorlog_detail
