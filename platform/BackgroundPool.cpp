#include "platform/BackgroundPool.h"

#include "platform/HandOff.h"

#include <QThreadPool>

namespace BackgroundPool {

void run(std::function<void()> task)
{
    QThreadPool::globalInstance()->start(handOff(std::move(task)));
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
