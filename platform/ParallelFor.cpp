#include "platform/ParallelFor.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace ParallelFor {

int cores()
{
    static const int count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

void run(int count, int minPerThread, const std::function<void(int, int)>& body)
{
    if (count <= 0)
        return;
    const int threads = std::clamp(count / std::max(1, minPerThread), 1, cores());
    if (threads == 1) {
        body(0, count);
        return;
    }
    std::vector<std::thread> helpers;
    helpers.reserve(threads - 1);
    auto chunkStart = [&](int i) { return int(std::int64_t(count) * i / threads); };
    for (int i = 1; i < threads; ++i)
        helpers.emplace_back(body, chunkStart(i), chunkStart(i + 1));
    body(0, chunkStart(1));
    for (auto& helper : helpers)
        helper.join();
}

} // namespace ParallelFor
