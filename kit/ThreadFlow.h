#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

class OperationQueue;
class QueueTimer;
class SerialQueue;

// A named, process-wide debouncer: every submitted block runs on the main
// thread, and once submissions have stopped for the flow's delay, the
// completion runs once on the main thread. A burst of change requests thus
// becomes a single trailing action (a save one second after the last edit).
//
// Callers must not call execute() from the flow's own serial queue, and must
// not block the main thread while waiting for a flow: every block needs it.
class ThreadFlow {
public:
    enum class State {
        Idle,    // nothing queued, no timer
        Busy,    // blocks queued or running
        Waiting, // the idle timer runs towards the completion
    };

    // The flow registered under `name`. The first call creates and registers
    // it with the delay (seconds) and completion given; later calls return it
    // unchanged and ignore their delay and completion. Flows live as long as
    // the process.
    static ThreadFlow* flowNamed(const QString& name, float delay,
                                 std::function<void()> completion);

    // A flow with a delay of 1 second, no name and no completion.
    ThreadFlow();
    // Drops blocks that have not started, waits for running ones without
    // waiting for the main thread, and stops the timer.
    ~ThreadFlow();

    ThreadFlow(const ThreadFlow&) = delete;
    ThreadFlow& operator=(const ThreadFlow&) = delete;

    // Replaces the completion; an empty function means none.
    void setCompletionBlock(std::function<void()> completion);

    // Submits the block (which may be empty) and returns at once. Any running
    // idle timer is cancelled; the last block to finish starts a new one.
    void execute(std::function<void()> block = {});

    const QString& name() const { return _name; }
    float delay() const { return _delay; }
    State state() const;

    // The operation queue's bound: processors online less one, at least 1.
    static int maxConcurrentOperationCount();

    // The idle timer for a delay in seconds: the first firing after 95 % of
    // the delay, then every 1 %, each allowed to be 0.4 % late. The delay is
    // taken to nanoseconds in single precision, as callers give it.
    struct IdleTimerSchedule {
        std::chrono::nanoseconds start;
        std::chrono::nanoseconds interval;
        std::chrono::nanoseconds leeway;
    };
    static IdleTimerSchedule idleTimerSchedule(float delay);

private:
    struct MainHop;

    void runOnMainThread(const std::function<void()>& block);
    void operationFinished();
    void startIdleTimer();
    void idleTimerFired();
    void cancelIdleTimer();

    QString _name;
    float _delay = 1.0f;
    std::mutex m_completionMutex;
    std::function<void()> _completion;
    // Guards _timer and _lastDate, which no other thread touches; the timer
    // fires on it.
    std::unique_ptr<SerialQueue> _serialQueue;
    std::unique_ptr<QueueTimer> _timer;
    std::chrono::steady_clock::time_point _lastDate;
    std::shared_ptr<MainHop> m_mainHop;
    std::unique_ptr<OperationQueue> _operQueue;
};
