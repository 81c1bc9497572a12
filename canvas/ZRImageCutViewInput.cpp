// The canvas's input: presses, drags and releases that become strokes or
// pans, a pen's pressure, and the keys it watches in every window.
#include "canvas/ZRImageCutView.h"

#include "canvas/CanvasLayer.h"
#include "canvas/StrokeSpacing.h"
#include "canvas/ZRImageCutViewDelegate.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTabletEvent>

#include <algorithm>

// ---------------------------------------------------------------- stroke input

void ZRImageCutView::addEventHandler()
{
    qApp->installEventFilter(this);
}

bool ZRImageCutView::eventFilter(QObject* watched, QEvent* event)
{
    // Keys released while another program has the keyboard are never seen.
    if (event->type() == QEvent::ApplicationDeactivate && m_keys.forget())
        updateCursor();
    // Key events reach the application's filters once at their window and
    // again at each widget on their way; the window is where each is seen once.
    if ((event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
        watched->isWindowType())
        handleKey(static_cast<QKeyEvent*>(event));
    return false;
}

void ZRImageCutView::handleKey(QKeyEvent* event)
{
    const CanvasKeys::Action action = m_keys.handle(*event);
    switch (action) {
    case CanvasKeys::Action::ModifiersChanged:
        updateCursor();
        break;
    case CanvasKeys::Action::Undo:
        prevHistoryState();
        break;
    case CanvasKeys::Action::Redo:
        nextHistoryState();
        break;
    case CanvasKeys::Action::InvertBrush:
        m_document.drain().setAlpha(1.0f - m_document.drain().alpha());
        break;
    case CanvasKeys::Action::ShowOriginal:
    case CanvasKeys::Action::HideOriginal: {
        // Only while our window has the keyboard and no text field takes the key.
        const bool show = action == CanvasKeys::Action::ShowOriginal;
        QWidget* focus = QApplication::focusWidget();
        const bool typing = focus && (focus->inherits("QLineEdit") || focus->inherits("QTextEdit") ||
                                      focus->inherits("QPlainTextEdit") || focus->inherits("QAbstractSpinBox"));
        if ((show && (typing || !isActiveWindow())) || show == m_showOriginal)
            break;
        m_showOriginal = show;
        update();
        break;
    }
    case CanvasKeys::Action::None:
        break;
    }
}

void ZRImageCutView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    if (m_pressActive)
        endPress(); // the release of the previous press was lost
    m_keys.sync(event->modifiers());
    m_dragging = (m_dragMode.load() == 1) != m_keys.ctrl();
    m_cutting = !m_dragging;
    updateCursor();
    if (m_image.isNull())
        return;
    if (m_delegate)
        m_delegate->cutViewWillStartDraw(this);
    m_pressActive = true;
    m_lastMousePos = event->position();
    mouseDragged(event->position(), QPointF(0, 0));
}

void ZRImageCutView::mouseMoveEvent(QMouseEvent* event)
{
    // The press chose paint or pan for its whole length; between presses the
    // cursor follows the modifiers the pointer reports.
    if (m_keys.sync(event->modifiers()) && !m_pressActive)
        updateCursor();
    if (!m_pressActive)
        return;
    if (!(event->buttons() & Qt::LeftButton)) {
        endPress(); // the release never came
        return;
    }
    const QPointF delta = event->position() - m_lastMousePos;
    m_lastMousePos = event->position();
    mouseDragged(event->position(), delta);
}

void ZRImageCutView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_pressActive)
        return;
    if (event->position() != m_lastMousePos) {
        const QPointF delta = event->position() - m_lastMousePos;
        m_lastMousePos = event->position();
        mouseDragged(event->position(), delta);
    }
    endPress();
}

void ZRImageCutView::endPress()
{
    mouseUp();
    m_pressActive = false;
    m_cutting = false;
    m_dragging = false;
    if (m_delegate)
        m_delegate->cutViewDidEndDraw(this);
    updateCursor();
}

void ZRImageCutView::mouseDragged(QPointF widgetPos, QPointF delta)
{
    if (m_cutting) {
        paintStamp(widgetPos);
    } else if (m_dragging) {
        swipe(delta.x(), delta.y());
    }
}

void ZRImageCutView::tabletEvent(QTabletEvent* event)
{
    m_pressure = std::clamp(double(event->pressure()), 0.0, 1.0);
    m_pressureAt = event->position();
    event->ignore();
}

void ZRImageCutView::paintStamp(QPointF widgetPos)
{
    if (widgetPos != m_pressureAt)
        m_pressure = 1; // not from the pen
    const double d = m_usePressure ? brushDiameter() * std::max(0.3, m_pressure) : brushDiameter();
    const QPointF p = toCanvas(widgetPos);
    const QRectF view(p.x() - 0.5 * d, p.y() - 0.5 * d, d, d);
    const auto layer = imageLayer();
    const QRectF r = layer ? layer->transform().invertedRect(view, m_image.size()) : QRectF();
    const StampRect stamp{r.x(), r.y(), r.width(), r.height()};
    if (StrokeSpacing::append(m_document.drain().buffer(), m_prevEventRect, stamp,
                              m_document.drain().hardness()))
        updateMap();
}

void ZRImageCutView::mouseUp()
{
    m_prevEventRect = StampRect{};
    if (m_cutting) {
        m_document.drain().buffer().append(StampRect::endOfStroke());
        updateMap();
    }
    if (m_dragging)
        limitDrag();
}
