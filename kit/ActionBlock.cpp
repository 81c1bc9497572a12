#include "kit/ActionBlock.h"

#include "kit/MouseDownHandler.h"
#include "kit/ZRBlocker.h"

#include <QApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QPointer>
#include <QWidget>
#include <QWindow>

namespace ActionBlock {
namespace {

ZRBlocker* firstBlocker(QWidget* view)
{
    return view->findChild<ZRBlocker*>(QString(), Qt::FindDirectChildrenOnly);
}

// The event filter behind lockMouse. It sees the window's events before any
// widget does, the way a loop that pulls events from the window's queue would.
class MouseLock : public QObject {
public:
    MouseLock(QWidget* view, QEventLoop* loop)
        : m_view(view), m_window(view->window()), m_loop(loop)
    {
    }

    // The release that ended the loop, in the view's coordinates.
    std::unique_ptr<QMouseEvent> release;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!m_view || !m_window) {
            m_loop->quit();
            return false;
        }
        if (watched != m_window->windowHandle())
            return false;
        switch (event->type()) {
        case QEvent::MouseMove: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (!(mouse->buttons() & Qt::LeftButton))
                return false;
            auto drag = toView(*mouse);
            QCoreApplication::sendEvent(m_view, drag.get());
            return true;
        }
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() != Qt::LeftButton)
                return false;
            release = toView(*mouse);
            m_loop->quit();
            return true;
        }
        case QEvent::KeyPress:
        case QEvent::Wheel:
            return true;
        default:
            return false;
        }
    }

private:
    std::unique_ptr<QMouseEvent> toView(const QMouseEvent& event) const
    {
        const QPointF local = m_view->mapFrom(m_window, event.scenePosition());
        return std::make_unique<QMouseEvent>(
            event.type(), local, event.scenePosition(), event.globalPosition(), event.button(),
            event.buttons(), event.modifiers(), event.pointingDevice());
    }

    QPointer<QWidget> m_view;
    QPointer<QWidget> m_window;
    QEventLoop* m_loop;
};

} // namespace

void blockWithoutProgress(QWidget* view, const QString& key)
{
    if (!view)
        return;
    ZRBlocker* blocker = firstBlocker(view);
    if (!blocker) {
        blocker = new ZRBlocker(view); // owned by the view until it unblocks
        blocker->raise();
        blocker->show();
    }
    blocker->block(key);
}

void unblock(QWidget* view, const QString& key)
{
    if (!view)
        return;
    if (ZRBlocker* blocker = firstBlocker(view))
        blocker->unblock(key);
}

void lockMouse(QWidget* view)
{
    if (!view || !(QGuiApplication::mouseButtons() & Qt::LeftButton))
        return;
    // Without a native window no event would ever reach the loop.
    if (!view->window()->windowHandle())
        return;
    QPointer<QWidget> guard(view); // a drag handler may close the view
    QEventLoop loop;
    MouseLock lock(view, &loop);
    qApp->installEventFilter(&lock);
    loop.exec();
    qApp->removeEventFilter(&lock);
    if (lock.release && guard)
        QCoreApplication::sendEvent(guard, lock.release.get());
}

QWidget* nextViewForEvent(QWidget* view, const QMouseEvent* event)
{
    if (!view || view->isWindow())
        return nullptr;
    QWidget* superview = view->parentWidget();
    if (!superview)
        return nullptr;
    const QPointF point = superview->mapFrom(superview->window(), event->scenePosition());

    QList<QWidget*> subviews;
    for (QObject* child : superview->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget && !widget->isWindow())
            subviews.append(widget);
    }
    // Children are listed bottom to top.
    for (qsizetype j = subviews.indexOf(view) - 1; j >= 0; --j) {
        const QRect frame = subviews[j]->geometry();
        if (point.x() >= frame.left() && point.x() < frame.left() + frame.width() &&
            point.y() >= frame.top() && point.y() < frame.top() + frame.height())
            return subviews[j];
    }
    return superview;
}

bool handleMouseDown(QWidget* view, QMouseEvent* event)
{
    // Each step goes to a lower sibling or to the parent, so this ends.
    for (QWidget* next = nextViewForEvent(view, event); next;
         next = nextViewForEvent(next, event)) {
        if (auto* handler = dynamic_cast<MouseDownHandler*>(next)) {
            handler->handleMouseDown(event);
            return true;
        }
    }
    return false;
}

} // namespace ActionBlock
