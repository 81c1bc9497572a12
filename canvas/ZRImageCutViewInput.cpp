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
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

// Whether a text field of ours has the keyboard: the keys it types stay there.
bool typingInField()
{
    QWidget* focus = QApplication::focusWidget();
    return focus && (focus->inherits("QLineEdit") || focus->inherits("QTextEdit") ||
                     focus->inherits("QPlainTextEdit") || focus->inherits("QAbstractSpinBox"));
}

// Tolerance steps per widget point dragged with By colour: right and down
// raise it, left and up lower it.
constexpr double tolerancePerPoint = 0.25;

} // namespace

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
    // Undo, redo and the swap belong to the field while one has the
    // keyboard, in whichever of our windows (Ctrl+Z mends a typed name).
    case CanvasKeys::Action::Undo:
        if (!typingInField())
            prevHistoryState();
        break;
    case CanvasKeys::Action::Redo:
        if (!typingInField())
            nextHistoryState();
        break;
    case CanvasKeys::Action::InvertBrush:
        if (!typingInField())
            m_document.drain().setAlpha(1.0f - m_document.drain().alpha());
        break;
    case CanvasKeys::Action::ShowOriginal:
    case CanvasKeys::Action::HideOriginal: {
        // Only while our window has the keyboard and no text field takes the key.
        const bool show = action == CanvasKeys::Action::ShowOriginal;
        if ((show && (typingInField() || !isActiveWindow())) || show == m_showOriginal)
            break;
        m_showOriginal = show;
        update();
        break;
    }
    case CanvasKeys::Action::ToolBrush:
    case CanvasKeys::Action::ToolColour:
    case CanvasKeys::Action::ToolBackground:
    case CanvasKeys::Action::ToolBox:
        if (typingInField() || !isActiveWindow() || m_pressActive)
            break;
        setTool(action == CanvasKeys::Action::ToolBrush        ? CutTool::Brush
                : action == CanvasKeys::Action::ToolColour     ? CutTool::Colour
                : action == CanvasKeys::Action::ToolBackground ? CutTool::Background
                                                               : CutTool::Box);
        reportToolSettings();
        break;
    case CanvasKeys::Action::Subject:
        if (typingInField() || !isActiveWindow() || m_pressActive || event->isAutoRepeat())
            break;
        applySubject();
        break;
    case CanvasKeys::Action::Cancel:
        if (m_pressActive && m_cutting && m_colourTool->regionActive()) {
            m_colourTool->cancelRegion();
            m_cutting = false; // the release then changes nothing
            endPress();
            reportToolSettings();
        } else if (m_pressActive && m_boxDragging) {
            m_boxDragging = false; // the release then changes nothing
            m_cutting = false;
            endPress();
            update();
        } else if (m_subjectTool->boxActive()) {
            m_subjectTool->cancelBox();
            update();
        }
        break;
    case CanvasKeys::Action::None:
        break;
    }
}

void ZRImageCutView::setTool(CutTool tool)
{
    m_colourTool->setTool(tool);
    updateCursor();
}

void ZRImageCutView::reportToolSettings()
{
    if (m_delegate)
        m_delegate->cutViewDidChangeToolSettings(this);
}

QPoint ZRImageCutView::maskPixelAt(QPointF widgetPos) const
{
    const auto layer = imageLayer();
    const QImage mask = currentMask();
    const QSizeF picture = m_image.size();
    if (!layer || mask.isNull() || picture.isEmpty())
        return {-1, -1};
    const QPointF p = layer->transform().inverted(toCanvas(widgetPos), picture);
    const double sx = mask.width() / picture.width(), sy = mask.height() / picture.height();
    return {int(std::floor(p.x() * sx)), int(std::floor((picture.height() - p.y()) * sy))};
}

void ZRImageCutView::protectColourAt(QPointF widgetPos)
{
    const std::optional<LabColour> colour = m_colourTool->colourAt(maskPixelAt(widgetPos));
    if (colour)
        m_colourTool->setProtectedColour(colour);
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
    if (m_image.isNull()) {
        // Nothing to paint or pan: the press leaves no state for the next picture.
        updateCursor();
        return;
    }
    m_dragging = (m_dragMode.load() == 1) != m_keys.ctrl();
    m_cutting = !m_dragging;
    updateCursor();
    const CutTool tool = m_colourTool->tool();
    if (m_cutting && tool == CutTool::Background && m_keys.alt()) {
        // Alt+click picks the colour the background brush spares.
        m_cutting = false;
        protectColourAt(event->position());
        reportToolSettings();
        updateCursor();
        return;
    }
    if (m_delegate)
        m_delegate->cutViewWillStartDraw(this);
    m_pressActive = true;
    m_lastMousePos = event->position();
    if (m_cutting && tool == CutTool::Box) {
        // Shift at the press: only the inside of the box changes.
        m_boxDragging = true;
        m_boxOnlyInside = event->modifiers() & Qt::ShiftModifier;
        m_boxFrom = m_boxTo = event->position();
        update();
        return;
    }
    if (m_cutting && tool == CutTool::Colour) {
        m_regionPressAt = event->position();
        m_colourTool->beginRegion(maskPixelAt(event->position()), 1.0 - double(brushHardness()),
                                  m_tint.rgb());
        return;
    }
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

void ZRImageCutView::abandonPress()
{
    m_prevEventRect = StampRect{};
    if (!m_pressActive)
        return;
    m_pressActive = false;
    m_cutting = false;
    m_dragging = false;
    if (m_delegate)
        m_delegate->cutViewDidEndDraw(this);
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
    if (m_cutting && m_boxDragging) {
        m_boxTo = widgetPos;
        update();
    } else if (m_cutting && m_colourTool->tool() == CutTool::Box) {
        // A box cancelled with Escape: the rest of the press does nothing.
    } else if (m_cutting && m_colourTool->regionActive()) {
        const QPointF moved = widgetPos - m_regionPressAt;
        m_colourTool->dragRegion(m_colourTool->tolerance() + tolerancePerPoint * (moved.x() + moved.y()));
        reportToolSettings();
    } else if (m_cutting && m_colourTool->tool() == CutTool::Colour) {
        // A selection cancelled with Escape: the rest of the press does nothing.
    } else if (m_cutting) {
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
    if (m_cutting && m_boxDragging) {
        m_boxDragging = false;
        const float alpha = std::clamp(brushAlphaValue(), 0.0f, 1.0f);
        m_subjectTool->applyBox(boxInMask(), m_boxOnlyInside, std::uint8_t(std::lround(alpha * 255)));
        if (m_subjectTool->boxActive())
            m_boxTimer->start();
        update();
    } else if (m_cutting && m_colourTool->tool() == CutTool::Box) {
        // A box cancelled with Escape: its release changes nothing.
    } else if (m_cutting && m_colourTool->regionActive()) {
        const float alpha = std::clamp(brushAlphaValue(), 0.0f, 1.0f);
        m_colourTool->commitRegion(std::uint8_t(std::lround(alpha * 255)));
        reportToolSettings(); // the panel's tolerance is the start value again
    } else if (m_cutting && m_colourTool->tool() != CutTool::Colour &&
               m_colourTool->tool() != CutTool::Box) {
        m_document.drain().buffer().append(StampRect::endOfStroke());
        m_document.endStroke();
    }
    if (m_dragging)
        limitDrag();
}

// ---------------------------------------------------------------- subject and box

void ZRImageCutView::applySubject()
{
    const float alpha = std::clamp(brushAlphaValue(), 0.0f, 1.0f);
    m_subjectTool->applySubject(std::uint8_t(std::lround(alpha * 255)));
    update();
}

void ZRImageCutView::showSubject(bool on)
{
    m_subjectTool->showSubject(on, m_tint.rgb());
    update();
}

QRect ZRImageCutView::boxInMask() const
{
    const QPoint a = maskPixelAt(m_boxFrom), b = maskPixelAt(m_boxTo);
    return QRect(QPoint(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                 QPoint(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
}
