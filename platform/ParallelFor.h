#pragma once

#include <functional>

// Splits the range [0, count) into contiguous chunks, one per core, and runs
// `body(begin, end)` for each: the calling thread takes the first chunk, fresh
// threads the others (never the shared pool, so a pool task may call this
// without waiting on itself). Returns when every chunk is done. Ranges smaller
// than `minPerThread` per core run on the calling thread alone.
namespace ParallelFor {
void run(int count, int minPerThread, const std::function<void(int begin, int end)>& body);
int cores();
} // namespace ParallelFor
