#include "lockkeeper.h"

#include "processlife.h"

#include <system_error>
#include <utility>

namespace vintorlog_detail {

LockKeeper::~LockKeeper()
{
    if (!m_thread.joinable())
        return;
    try {
        {
            const std::lock_guard<std::mutex> hold(m_shared->mutex);
            m_shared->stop = true;
        }
        m_shared->wake.notify_all();
        if (processlife::insideLoaderLock()) {
            processlife::pinThisModule();
            m_thread.detach();
        } else {
            m_thread.join();
        }
    } catch (...) {
        // The system refused to wait for the thread: it is told to stop and left to end by itself.
        if (m_thread.joinable())
            m_thread.detach();
    }
}

bool LockKeeper::start(std::string &error)
{
    try {
        m_shared = std::make_shared<Shared>();
        m_thread = std::thread(serve, m_shared);
        return true;
    } catch (const std::system_error &e) {
        error = std::string("the system gives no thread to hold the log's locks: ") + e.what();
        return false;
    }
}

void LockKeeper::run(const std::function<void()> &task)
{
    std::unique_lock<std::mutex> hold(m_shared->mutex);
    m_shared->task = &task;
    m_shared->wake.notify_all();
    m_shared->wake.wait(hold, [this] { return !m_shared->task; });
    if (m_shared->thrown)
        std::rethrow_exception(std::exchange(m_shared->thrown, nullptr));
}

void LockKeeper::serve(const std::shared_ptr<Shared> &shared)
{
    std::unique_lock<std::mutex> hold(shared->mutex);
    while (true) {
        shared->wake.wait(hold, [&] { return shared->task || shared->stop; });
        if (!shared->task)
            return;
        try {
            (*shared->task)();
        } catch (...) {
            shared->thrown = std::current_exception();
        }
        shared->task = nullptr;
        shared->wake.notify_all();
    }
}

} // namespace vintorlog_detail
