#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace MainThread {

bool isCurrent()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void async(std::function<void()> fn)
{
    async(QCoreApplication::instance(), std::move(fn));
}

void async(QObject* context, std::function<void()> fn)
{
    if (!context)
        return;
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

void sync(std::function<void()> fn)
{
    if (isCurrent()) {
        fn();
        return;
    }
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::BlockingQueuedConnection);
}

void flush()
{
    // Posted calls may post more; a few rounds settle any finite chain.
    for (int i = 0; i < 8; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

} // namespace MainThread
