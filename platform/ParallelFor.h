#pragma once

#include <functional>

// Splits one large job over the background pool's workers and the calling
// thread. The caller takes part in the work and never waits for a helper that
// has not started, so it is safe to call from a pool thread even when every
// other worker is busy (a save encoding while the blur runs).
namespace ParallelFor {

// Calls `body(i)` once for every i in [0, count), in no particular order and
// possibly on several threads at once; returns when all calls have returned.
// If calls threw, the first exception is rethrown then, on the calling thread.
void run(int count, const std::function<void(int)>& body);

// Splits [0, count) into contiguous chunks, one per core, and calls
// `body(begin, end)` for each. Ranges smaller than `minPerThread` per core run
// on the calling thread alone.
void run(int count, int minPerThread, const std::function<void(int begin, int end)>& body);

// As run(count, body), on the low-priority threads of the background pool;
// the caller only waits. Never call it from a low-priority task.
void runLowPriority(int count, const std::function<void(int)>& body);

int cores();

} // namespace ParallelFor
