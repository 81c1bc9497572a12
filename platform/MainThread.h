#pragma once

#include <functional>

class QObject;

// Hops onto the thread that runs the Qt event loop.
namespace MainThread {

bool isCurrent();

// Runs the function on a later turn of the main event loop, also when called
// from the main thread itself. With a context object the call is dropped if
// the context is destroyed first.
void async(std::function<void()> fn);
void async(QObject* context, std::function<void()> fn);

// Runs the function on the main thread and waits for it to finish. Called on
// the main thread it runs at once. The caller must not hold anything that the
// main thread may wait for.
void sync(std::function<void()> fn);

// Tests: runs queued main-thread calls until none is left.
void flush();

} // namespace MainThread
