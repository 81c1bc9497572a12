#pragma once

#include <functional>

// The shared pool for work that must not run on the main thread (the blurred
// copy of a picture, the encoding of a save). Tasks of equal priority, no order.
namespace BackgroundPool {

void run(std::function<void()> task);

// Work that may take its time (the blurred copy): threads of their own that
// the system schedules after everything else of ours, so that the brush and
// the frames keep their pace while it runs. As many threads as cores.
void runLowPriority(std::function<void()> task);

// Tests and shutdown: blocks until every task handed to the pool has finished.
void waitForDone();

// Worker threads available for splitting one large job.
int threadCount();

} // namespace BackgroundPool
