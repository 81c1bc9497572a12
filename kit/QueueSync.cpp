#include "kit/QueueSync.h"

#include "platform/SerialQueue.h"

#include <future>

namespace QueueSync {

void sync(SerialQueue& queue, const std::function<void()>& fn)
{
    if (queue.isCurrent()) {
        fn();
        return;
    }
    std::promise<void> done;
    queue.async([&] {
        fn();
        done.set_value();
    });
    done.get_future().wait();
}

} // namespace QueueSync
