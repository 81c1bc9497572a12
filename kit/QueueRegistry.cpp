#include "kit/QueueRegistry.h"

#include "kit/QueueSync.h"
#include "platform/SerialQueue.h"

#include <QHash>

#include <memory>

namespace {

// The table is touched only from the management queue, which serialises
// lookups and insertions without a lock that callers could contend on.
struct QueueRegistry {
    SerialQueue management{"serial queue management"};
    QHash<QString, std::shared_ptr<SerialQueue>> queues;

    ~QueueRegistry()
    {
        // No lookup may still be running when the table goes away.
        management.waitUntilIdle();
    }
};

QueueRegistry& queueRegistry()
{
    static QueueRegistry registry;
    return registry;
}

} // namespace

SerialQueue& serialQueueNamed(const QString& name)
{
    QueueRegistry& registry = queueRegistry();
    SerialQueue* queue = nullptr;
    QueueSync::sync(registry.management, [&] {
        auto& entry = registry.queues[name];
        if (!entry)
            entry = std::make_shared<SerialQueue>(name.toStdString());
        queue = entry.get();
    });
    return *queue;
}
