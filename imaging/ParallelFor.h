#pragma once

#include <functional>

// Splits one large job over the background pool's workers and the calling
// thread. The caller takes part in the work and never waits for a helper that
// has not started, so it is safe to call from a pool thread even when every
// other worker is busy (a save encoding while the blur runs).
namespace ParallelFor {

// Calls `body(i)` once for every i in [0, count), in no particular order and
// possibly on several threads at once; returns when all calls have returned.
void run(int count, const std::function<void(int)>& body);

} // namespace ParallelFor
