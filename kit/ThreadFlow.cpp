#include "kit/ThreadFlow.h"

#include "kit/OperationQueue.h"
#include "kit/QueueSync.h"
#include "kit/QueueTimer.h"
#include "platform/MainThread.h"
#include "platform/SerialQueue.h"

#include <QCoreApplication>
#include <QHash>

#include <algorithm>
#include <condition_variable>
#include <cstdint>

namespace {

// Flows are never removed, so the registry lives until static destruction,
// which stops every flow's threads.
struct FlowRegistry {
    std::mutex mutex;
    QHash<QString, std::shared_ptr<ThreadFlow>> flows;
};

FlowRegistry& flowRegistry()
{
    static FlowRegistry registry;
    return registry;
}

} // namespace

// The operations' way onto the main thread. It waits like MainThread::sync,
// but a flow being destroyed releases its waiting workers: at process exit the
// main thread is the one joining them and will never run their blocks.
struct ThreadFlow::MainHop {
    std::mutex mutex;
    std::condition_variable done;
    bool stopping = false;
};

ThreadFlow* ThreadFlow::flowNamed(const QString& name, float delay,
                                  std::function<void()> completion)
{
    FlowRegistry& registry = flowRegistry();
    std::lock_guard lock(registry.mutex);
    auto found = registry.flows.constFind(name);
    if (found != registry.flows.constEnd())
        return found->get();
    auto flow = std::make_shared<ThreadFlow>();
    flow->_delay = delay;
    flow->_name = name;
    flow->setCompletionBlock(std::move(completion));
    registry.flows.insert(name, flow);
    return flow.get();
}

ThreadFlow::ThreadFlow()
    : _serialQueue(std::make_unique<SerialQueue>(std::string())),
      m_mainHop(std::make_shared<MainHop>()),
      _operQueue(std::make_unique<OperationQueue>(maxConcurrentOperationCount(),
                                                  OperationQueue::QualityOfService::Utility))
{
}

ThreadFlow::~ThreadFlow()
{
    {
        std::lock_guard lock(m_mainHop->mutex);
        m_mainHop->stopping = true;
    }
    m_mainHop->done.notify_all();
    // A running operation may still reach the serial queue and the operation
    // queue's count, so both stay alive until the workers are joined.
    _operQueue->shutdown();
    QueueSync::sync(*_serialQueue, [this] { cancelIdleTimer(); });
}

int ThreadFlow::maxConcurrentOperationCount()
{
    return std::max(1, OperationQueue::activeProcessorCount() - 1);
}

ThreadFlow::IdleTimerSchedule ThreadFlow::idleTimerSchedule(float delay)
{
    const float singleNanoseconds = delay * 1000000000.0f;
    const double nanoseconds = static_cast<double>(singleNanoseconds);
    auto whole = [](double value) {
        return std::chrono::nanoseconds(
            value > 0 ? static_cast<std::int64_t>(static_cast<std::uint64_t>(value)) : 0);
    };
    return {whole(0.95 * nanoseconds), whole(0.01 * nanoseconds), whole(0.004 * nanoseconds)};
}

void ThreadFlow::setCompletionBlock(std::function<void()> completion)
{
    std::lock_guard lock(m_completionMutex);
    _completion = std::move(completion);
}

ThreadFlow::State ThreadFlow::state() const
{
    State state = State::Idle;
    QueueSync::sync(*_serialQueue, [&] {
        if (_timer)
            state = State::Waiting;
        else if (_operQueue->operationCount() > 0)
            state = State::Busy;
    });
    return state;
}

void ThreadFlow::execute(std::function<void()> block)
{
    QueueSync::sync(*_serialQueue, [this] { cancelIdleTimer(); });
    _operQueue->addOperation([this, block = std::move(block)] {
        if (block)
            runOnMainThread(block);
        QueueSync::sync(*_serialQueue, [this] { operationFinished(); });
    });
}

void ThreadFlow::runOnMainThread(const std::function<void()>& block)
{
    auto* app = QCoreApplication::instance();
    if (!app)
        return; // no main loop to run it: MainThread::sync drops it as well
    auto hop = m_mainHop;
    {
        // An operation that starts once the flow is going away counts as not
        // started: its block is dropped, not posted to run after the flow.
        std::lock_guard lock(hop->mutex);
        if (hop->stopping)
            return;
    }
    auto finished = std::make_shared<bool>(false);
    MainThread::async(app, [hop, finished, block] {
        block();
        {
            std::lock_guard lock(hop->mutex);
            *finished = true;
        }
        hop->done.notify_all();
    });
    std::unique_lock lock(hop->mutex);
    hop->done.wait(lock, [&] { return *finished || hop->stopping; });
}

// On the serial queue, at the end of every operation.
void ThreadFlow::operationFinished()
{
    if (_operQueue->operationCount() <= 1) {
        _lastDate = std::chrono::steady_clock::now();
        if (!_timer)
            startIdleTimer();
    } else {
        cancelIdleTimer();
    }
}

void ThreadFlow::startIdleTimer()
{
    const IdleTimerSchedule schedule = idleTimerSchedule(_delay);
    _timer = std::make_unique<QueueTimer>(*_serialQueue, schedule.start, schedule.interval,
                                          schedule.leeway, [this] { idleTimerFired(); });
}

// On the serial queue.
void ThreadFlow::idleTimerFired()
{
    if (_operQueue->operationCount() != 0)
        return;
    const auto sinceLast =
        std::chrono::duration<double>(_lastDate - std::chrono::steady_clock::now());
    if (static_cast<double>(_delay) + sinceLast.count() >= 0)
        return;
    cancelIdleTimer();
    std::function<void()> completion;
    {
        std::lock_guard lock(m_completionMutex);
        completion = _completion;
    }
    if (completion)
        MainThread::async(std::move(completion));
}

// On the serial queue.
void ThreadFlow::cancelIdleTimer()
{
    if (!_timer)
        return;
    _timer->cancel();
    _timer.reset();
}
