#include "platform/ParallelFor.h"

#include "platform/BackgroundPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace ParallelFor {
namespace {

// Shared with the helpers by reference count: a helper that starts after the
// caller has returned finds no index left and touches nothing else.
struct State {
    explicit State(int n, const std::function<void(int)>& fn) : count(n), body(&fn) {}

    const int count;
    const std::function<void(int)>* body;
    std::atomic<int> next{0};
    std::mutex mutex;
    std::condition_variable allDone;
    int done = 0;
    std::exception_ptr failure; // the first call that threw, rethrown to the caller

    void work()
    {
        int finished = 0;
        std::exception_ptr thrown;
        for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            // A call that throws on a helper would end the process; it counts
            // as done, and the caller rethrows once every call has returned.
            try {
                (*body)(i);
            } catch (...) {
                if (!thrown)
                    thrown = std::current_exception();
            }
            ++finished;
        }
        if (finished == 0)
            return;
        std::lock_guard lock(mutex);
        if (thrown && !failure)
            failure = thrown;
        done += finished;
        if (done == count)
            allDone.notify_all();
    }
};

} // namespace

int cores()
{
    static const int count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

void run(int count, const std::function<void(int)>& body)
{
    if (count <= 0)
        return;
    const int helpers = std::min(count, std::max(1, BackgroundPool::threadCount())) - 1;
    if (helpers <= 0) {
        for (int i = 0; i < count; ++i)
            body(i);
        return;
    }
    auto state = std::make_shared<State>(count, body);
    for (int h = 0; h < helpers; ++h)
        BackgroundPool::run([state] { state->work(); });
    state->work();
    std::unique_lock lock(state->mutex);
    state->allDone.wait(lock, [&] { return state->done == state->count; });
    if (state->failure)
        std::rethrow_exception(state->failure);
}

void runLowPriority(int count, const std::function<void(int)>& body)
{
    if (count <= 0)
        return;
    auto state = std::make_shared<State>(count, body);
    for (int h = 0, workers = std::min(count, cores()); h < workers; ++h)
        BackgroundPool::runLowPriority([state] { state->work(); });
    std::unique_lock lock(state->mutex);
    state->allDone.wait(lock, [&] { return state->done == state->count; });
}

void run(int count, int minPerThread, const std::function<void(int, int)>& body)
{
    if (count <= 0)
        return;
    const int chunks = std::clamp(count / std::max(1, minPerThread), 1, cores());
    if (chunks == 1) {
        body(0, count);
        return;
    }
    auto start = [&](int i) { return int(std::int64_t(count) * i / chunks); };
    run(chunks, [&](int i) { body(start(i), start(i + 1)); });
}

} // namespace ParallelFor
