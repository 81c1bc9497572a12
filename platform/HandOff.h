#pragma once

#include <atomic>
#include <memory>
#include <utility>

// Wraps a task that another thread will run so that everything the handing
// thread wrote before the hand-off is ordered before the task, in a way that
// ThreadSanitizer can see. The queues in between (Qt's event loop, Qt's thread
// pools) synchronise inside uninstrumented libraries; without this, every
// pixel of a picture handed to a worker reads as a race and the detector
// spends its time on them.
template <class F>
auto handOff(F fn)
{
    auto fence = std::make_shared<std::atomic<bool>>(false);
    auto task = [fence, fn = std::move(fn)]() mutable {
        (void)fence->load(std::memory_order_acquire);
        fn();
    };
    fence->store(true, std::memory_order_release);
    return task;
}
