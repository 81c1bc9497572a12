#include "platform/BackgroundPool.h"

#include "platform/HandOff.h"

#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <cerrno>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace BackgroundPool {

void run(std::function<void()> task)
{
    QThreadPool::globalInstance()->start(handOff(std::move(task)));
}

namespace {

QThreadPool& lowPriorityPool()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool; // lives as long as the process, like the global pool
        p->setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
        p->setObjectName(QStringLiteral("low priority"));
        return p;
    }();
    return *pool;
}

} // namespace

void runLowPriority(std::function<void()> task)
{
    lowPriorityPool().start(handOff([task = std::move(task)] {
        // Raised once per thread; lowering it again would need privileges,
        // and these threads do nothing else.
        thread_local const bool lowered = [] {
            errno = 0;
            ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 10);
            return true;
        }();
        (void)lowered;
        task();
    }));
}

void waitForDone()
{
    QThreadPool::globalInstance()->waitForDone();
    lowPriorityPool().waitForDone();
}

int threadCount()
{
    return QThreadPool::globalInstance()->maxThreadCount();
}

} // namespace BackgroundPool
