#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Runs submitted operations on worker threads of its own, at most a fixed
// number at a time, starting them in submission order. Workers are started
// as the load needs them, up to that number, and live until the queue is
// destroyed. Destruction drops the operations that have not started, waits
// for the running ones and joins every worker.
class OperationQueue {
public:
    enum class QualityOfService {
        Default,
        // Work the user does not wait for: the workers run at a lower priority.
        Utility,
    };

    explicit OperationQueue(int maxConcurrentOperationCount,
                            QualityOfService quality = QualityOfService::Default);
    ~OperationQueue();

    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    // Queues the operation and returns at once.
    void addOperation(std::function<void()> operation);

    // Operations queued or running; an operation counts until it has returned.
    int operationCount() const;

    int maxConcurrentOperationCount() const { return m_maxConcurrent; }

    // What destruction does, for owners whose running operations still use
    // them: drops the operations not yet started, waits for the running ones
    // and joins the workers. Later submissions are ignored.
    void shutdown();

    // Blocks until no operation is queued or running. Must not be called from
    // an operation of this queue.
    void waitUntilAllOperationsAreFinished();

    // Processors the system has online, at least 1.
    static int activeProcessorCount();

private:
    void work();

    const int m_maxConcurrent;
    const QualityOfService m_quality;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_finished;
    std::deque<std::function<void()>> m_pending;
    int m_running = 0;
    int m_idleWorkers = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};
