#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// One worker thread that runs submitted tasks one at a time, in submission
// order. Destruction runs what is still queued and joins the worker, so a task
// never outlives the objects its owner destroys after the queue.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return m_label; }

    // Queues the task and returns at once.
    void async(std::function<void()> task);

    // Blocks until every task queued so far (and any they queue) has run.
    // Must not be called from the queue's own thread.
    void waitUntilIdle();

    // True when called from a task running on this queue.
    bool isCurrent() const;

private:
    void run();

    const std::string m_label;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_tasks;
    bool m_running = false;
    bool m_stopping = false;
    std::thread m_worker;
};
