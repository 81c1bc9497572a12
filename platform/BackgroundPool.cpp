#include "platform/BackgroundPool.h"

#include <QThreadPool>

namespace BackgroundPool {

void run(std::function<void()> task)
{
    QThreadPool::globalInstance()->start(std::move(task));
}

void waitForDone()
{
    QThreadPool::globalInstance()->waitForDone();
}

int threadCount()
{
    return QThreadPool::globalInstance()->maxThreadCount();
}

} // namespace BackgroundPool
