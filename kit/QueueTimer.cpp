#include "kit/QueueTimer.h"

#include "platform/SerialQueue.h"

#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

struct QueueTimer::State {
    std::function<void()> handler;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> firingQueued{false};
    std::mutex mutex; // guards the wait of the timer thread
    std::condition_variable wake;
};

QueueTimer::QueueTimer(SerialQueue& queue, Nanoseconds start, Nanoseconds interval,
                       Nanoseconds leeway, std::function<void()> handler)
    : m_start(std::max(start, Nanoseconds::zero())), m_interval(std::max(interval, Nanoseconds(1))),
      m_leeway(std::max(leeway, Nanoseconds::zero())), m_queue(queue),
      m_state(std::make_shared<State>())
{
    m_state->handler = std::move(handler);
    m_thread = std::thread([this] { run(); });
}

QueueTimer::~QueueTimer()
{
    cancel();
}

void QueueTimer::cancel()
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->cancelled = true;
    }
    m_state->wake.notify_all();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

void QueueTimer::run()
{
    // The slack is a hint to the scheduler; a kernel that refuses it only makes
    // the firings more punctual, so the result is not checked. Zero would mean
    // "back to the default slack", hence at least one nanosecond.
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(std::max<long long>(1, m_leeway.count())),
          0, 0, 0);
    auto deadline = std::chrono::steady_clock::now() + m_start;
    std::unique_lock lock(m_state->mutex);
    for (;;) {
        if (m_state->wake.wait_until(lock, deadline, [this] { return m_state->cancelled.load(); }))
            return;
        if (!m_state->firingQueued.exchange(true)) {
            m_queue.async([state = m_state] {
                state->firingQueued = false;
                if (!state->cancelled)
                    state->handler();
            });
        }
        deadline += m_interval;
        // After a long stall (a suspended machine), resume the rhythm from now
        // instead of firing once for every missed interval.
        const auto now = std::chrono::steady_clock::now();
        if (deadline < now)
            deadline = now + m_interval;
    }
}
