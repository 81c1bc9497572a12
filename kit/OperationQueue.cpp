#include "kit/OperationQueue.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Linux gives each thread its own nice value; 10 is the customary level for
// background work that should yield to anything interactive.
constexpr int kUtilityNice = 10;

} // namespace

OperationQueue::OperationQueue(int maxConcurrentOperationCount, QualityOfService quality)
    : m_maxConcurrent(std::max(1, maxConcurrentOperationCount)), m_quality(quality)
{
}

OperationQueue::~OperationQueue()
{
    shutdown();
}

void OperationQueue::shutdown()
{
    std::vector<std::thread> workers;
    std::deque<std::function<void()>> dropped; // destroyed outside the lock
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        dropped.swap(m_pending);
        workers.swap(m_workers);
    }
    m_wake.notify_all();
    for (auto& worker : workers)
        worker.join();
}

void OperationQueue::addOperation(std::function<void()> operation)
{
    if (!operation)
        return;
    std::lock_guard lock(m_mutex);
    if (m_stopping)
        return;
    m_pending.push_back(std::move(operation));
    // Idle workers may not have woken yet for operations queued before this
    // one, so compare with the whole backlog.
    const int started = static_cast<int>(m_workers.size());
    if (static_cast<int>(m_pending.size()) > m_idleWorkers && started < m_maxConcurrent)
        m_workers.emplace_back([this] { work(); });
    m_wake.notify_one();
}

int OperationQueue::operationCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_pending.size()) + m_running;
}

void OperationQueue::waitUntilAllOperationsAreFinished()
{
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [this] { return m_pending.empty() && m_running == 0; });
}

int OperationQueue::activeProcessorCount()
{
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

void OperationQueue::work()
{
    // A nice value the kernel refuses leaves the worker at normal priority,
    // which changes only how politely it shares the processors.
    if (m_quality == QualityOfService::Utility)
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kUtilityNice);

    std::unique_lock lock(m_mutex);
    for (;;) {
        ++m_idleWorkers;
        m_wake.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
        --m_idleWorkers;
        if (m_stopping)
            return;
        auto operation = std::move(m_pending.front());
        m_pending.pop_front();
        ++m_running;
        lock.unlock();
        operation();
        operation = nullptr; // release captures before the operation counts as finished
        lock.lock();
        --m_running;
        if (m_pending.empty() && m_running == 0)
            m_finished.notify_all();
    }
}
