#include "canvas/SubjectWorker.h"

#include <cerrno>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

SubjectWorker::SubjectWorker() : m_thread([this] { run(); }) {}

SubjectWorker::~SubjectWorker()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_cancelled->store(true);
        m_jobs.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

void SubjectWorker::post(Job job)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back({std::move(job), m_cancelled});
    }
    m_wake.notify_one();
}

void SubjectWorker::cancelAll()
{
    std::lock_guard lock(m_mutex);
    m_cancelled->store(true);
    m_cancelled = std::make_shared<std::atomic<bool>>(false);
    m_jobs.clear();
    if (!m_running)
        m_idle.notify_all();
}

bool SubjectWorker::busy() const
{
    std::lock_guard lock(m_mutex);
    return m_running || !m_jobs.empty();
}

void SubjectWorker::waitUntilIdle()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return !m_running && m_jobs.empty(); });
}

void SubjectWorker::run()
{
    // Lowered once, for this thread and the threads it starts; raising it
    // again would need privileges.
    errno = 0;
    ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 10);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_stopping)
            break;
        Entry entry = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_running = true;
        lock.unlock();
        if (!entry.cancelled->load()) {
            try {
                entry.job(*entry.cancelled);
            } catch (...) {
                // A job reports its own failures; one that throws still must
                // not end the process.
            }
        }
        entry = {};
        lock.lock();
        m_running = false;
        if (m_jobs.empty())
            m_idle.notify_all();
    }
    m_running = false;
    m_idle.notify_all();
}
