#pragma once

#include <functional>

class SerialQueue;

// Synchronous submission to a serial queue, which the queue itself only
// offers asynchronously.
namespace QueueSync {

// Runs the function on the queue and returns when it has finished. Called
// from a task of that same queue, it runs the function at once instead of
// waiting for itself forever.
void sync(SerialQueue& queue, const std::function<void()>& fn);

} // namespace QueueSync
