#include "kit/ZRBlocker.h"

#include "kit/ProgressSpinner.h"

#include <QContextMenuEvent>
#include <QMouseEvent>

ZRBlocker::ZRBlocker(QWidget* parent) : QWidget(parent)
{
    // Never take the focus, so typing goes on reaching the focused control.
    setFocusPolicy(Qt::NoFocus);
    _prog = new ProgressSpinner(this);
    _prog->startAnimation();
    // The base constructor announces the parent before this class exists.
    viewDidMoveToSuperview();
}

void ZRBlocker::block(const QString& key)
{
    if (!_blockers.contains(key))
        _blockers.append(key);
}

void ZRBlocker::unblock(const QString& key)
{
    _blockers.removeAll(key);
    if (!_blockers.isEmpty() || !parentWidget())
        return;
    hide();
    setParent(nullptr);
    deleteLater();
}

bool ZRBlocker::event(QEvent* event)
{
    if (event->type() == QEvent::ParentChange)
        viewDidMoveToSuperview();
    return QWidget::event(event);
}

void ZRBlocker::viewDidMoveToSuperview()
{
    if (m_coveredParent)
        m_coveredParent->removeEventFilter(this);
    m_coveredParent = parentWidget();
    if (m_coveredParent) {
        m_coveredParent->installEventFilter(this);
        setGeometry(m_coveredParent->rect());
    } else {
        setGeometry(QRect());
    }
    _prog->setGeometry(rect());
}

bool ZRBlocker::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_coveredParent && event->type() == QEvent::Resize)
        setGeometry(m_coveredParent->rect());
    return QWidget::eventFilter(watched, event);
}

void ZRBlocker::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    _prog->setGeometry(rect());
}

// Accepting a mouse event ends its delivery here: neither the widgets under
// the blocker nor its parent see it.
void ZRBlocker::mousePressEvent(QMouseEvent* event)
{
    event->accept();
}

void ZRBlocker::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
}

void ZRBlocker::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
}

void ZRBlocker::mouseDoubleClickEvent(QMouseEvent* event)
{
    event->accept();
}

void ZRBlocker::contextMenuEvent(QContextMenuEvent* event)
{
    event->accept();
}
