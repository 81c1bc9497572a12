#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// The thread the Subject and Box tools' jobs run on: one job at a time, in
// order, at low priority (as the blur), so that painting and the brush keep
// their pace; the network's own pool threads, started from it, inherit that.
//
// Each job is handed a flag that cancelAll() raises; cancelAll() also drops
// the jobs still waiting. The destructor cancels and joins.
class SubjectWorker {
public:
    using Job = std::function<void(const std::atomic<bool>& cancelled)>;

    SubjectWorker();
    ~SubjectWorker();
    SubjectWorker(const SubjectWorker&) = delete;
    SubjectWorker& operator=(const SubjectWorker&) = delete;

    void post(Job job);
    void cancelAll();
    // Whether a job runs or waits. Any thread.
    bool busy() const;
    // Blocks until no job runs or waits. Not from a job.
    void waitUntilIdle();

private:
    struct Entry {
        Job job;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };
    void run();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Entry> m_jobs;
    std::shared_ptr<std::atomic<bool>> m_cancelled = std::make_shared<std::atomic<bool>>(false);
    bool m_running = false;
    bool m_stopping = false;
    std::thread m_thread; // last: started once the rest is made
};
