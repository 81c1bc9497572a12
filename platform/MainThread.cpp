#include "platform/MainThread.h"

#include "platform/HandOff.h"

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
    QMetaObject::invokeMethod(context, handOff(std::move(fn)), Qt::QueuedConnection);
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
    // What the function wrote on the main thread is ordered before our return.
    auto done = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::invokeMethod(app, handOff([fn = std::move(fn), done] {
                                  fn();
                                  done->store(true, std::memory_order_release);
                              }),
                              Qt::BlockingQueuedConnection);
    (void)done->load(std::memory_order_acquire);
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
