#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class SerialQueue;

// A repeating timer whose handler runs as a task on a serial queue: first
// `start` after construction, then every `interval`. `leeway` is how late a
// firing may be; it becomes the timer thread's sleep slack, so the kernel may
// batch the wake-up with others. A firing that comes while the previous one
// still waits in the queue is dropped rather than piled up.
class QueueTimer {
public:
    using Nanoseconds = std::chrono::nanoseconds;

    QueueTimer(SerialQueue& queue, Nanoseconds start, Nanoseconds interval, Nanoseconds leeway,
               std::function<void()> handler);
    // Cancels the timer.
    ~QueueTimer();

    QueueTimer(const QueueTimer&) = delete;
    QueueTimer& operator=(const QueueTimer&) = delete;

    // Stops the timer and joins its thread. No handler starts after this
    // returns; called from the queue's own thread (the handler included), no
    // handler is running either. Cancelling twice is harmless.
    void cancel();

    Nanoseconds start() const { return m_start; }
    Nanoseconds interval() const { return m_interval; }
    Nanoseconds leeway() const { return m_leeway; }

private:
    struct State;

    void run();

    const Nanoseconds m_start;
    const Nanoseconds m_interval;
    const Nanoseconds m_leeway;
    SerialQueue& m_queue;
    // Shared with the handler tasks in the queue, which may outlive the timer.
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};
