#include "canvas/ZRImageCutView.h"

#include "canvas/BrushImages.h"
#include "canvas/CanvasKeys.h"
#include "canvas/CanvasLayer.h"
#include "canvas/Compositor.h"
#include "canvas/EdgeRefine.h"
#include "canvas/RefinedView.h"
#include "canvas/ResultComposer.h"
#include "canvas/PictureLevels.h"
#include "canvas/Viewport.h"
#include "canvas/ZRImageCutViewDelegate.h"
#include "platform/Allocator.h"
#include "platform/BackgroundPool.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"

#include <QApplication>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <future>
#include <thread>

namespace {

const char* const cursorNotification = "zr.cutView.needsCursorUpdate";

} // namespace

ZRImageCutView::ZRImageCutView(QWidget* parent)
    : QWidget(parent), m_levels(std::make_unique<PictureLevels>(
                           this, [this] { update(); },
                           [this](const QImage& blurred) {
                               if (const auto layer = bluredLayer())
                                   layer->setContent(blurred);
                               update();
                               // The new picture's copies are made: what the
                               // previous picture held goes back to the system.
                               BackgroundPool::run(Allocator::releaseFree);
                           },
                           [this](std::shared_ptr<const ColourCache> colours) {
                               m_colourTool->setColours(std::move(colours));
                           },
                           [this](const QString& reason) {
                               refusePicture(m_document.drain().generation(), reason);
                           })),
      m_document({[this](const QImage& mask, const QRect& changed) { publishMask(mask, changed); },
                  [this] { reportHistoryChanged(); },
                  [this](std::uint64_t picture, const QString& reason) {
                      refusePicture(picture, reason);
                  },
                  [this](const QString& reason) {
                      MainThread::async(this, [this, reason] {
                          if (m_delegate)
                              m_delegate->cutViewHistoryCouldNotBeWritten(this, reason);
                      });
                  }})
{
    setupView();
    addEventHandler();
}

ZRImageCutView::~ZRImageCutView()
{
    m_subjectTool.reset(); // its work stops, its thread is joined
    m_levels.reset();      // background tasks skip or stop their work
    qApp->removeEventFilter(this);
    NotificationCenter::defaultCenter().removeObserver(m_cursorObserver);
}

void ZRImageCutView::setupView()
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setFocusPolicy(Qt::ClickFocus);

    m_brushDiameter = 20;
    auto* spare = new QWidget(this);
    spare->setGeometry(0, 0, 0, 0);
    m_document.drain().buffer().clear();
    m_document.drain().setHardness(1);
    m_dragMode = 0;
    m_cursorObserver = NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(cursorNotification), [this](const void*) { updateCursor(); });
    updateBrushMask();
    m_colourTool = std::make_unique<ColourTool>(m_document, [this] {
        MainThread::async(this, [this] { update(); });
    });

    m_subjectTool = std::make_unique<SubjectTool>(m_document, this, [this](const QString& status) {
        update();
        if (m_delegate)
            m_delegate->cutViewDidReportSubject(this, status);
    });
    // The subject is looked for on open only where the editor's setting says so.
    m_subjectTool->setFindsOnOpen(false);
    m_boxTimer = new QTimer(this);
    m_boxTimer->setInterval(80);
    connect(m_boxTimer, &QTimer::timeout, this, [this] {
        update();
        if (!m_subjectTool->boxActive())
            m_boxTimer->stop();
    });

    m_animationTimer = new QTimer(this);
    m_animationTimer->setInterval(16);
    connect(m_animationTimer, &QTimer::timeout, this, [this] {
        update();
        if (!isAnimating())
            m_animationTimer->stop();
    });
}

// ---------------------------------------------------------------- brush

void ZRImageCutView::setBrushDiameterSilent(float diameter)
{
    const float d = std::round(std::min(200.0f, std::max(10.0f, diameter)));
    if (d != m_brushDiameter)
        m_brushDiameter = d;
    noteSessionView();
}

void ZRImageCutView::setBrushDiameter(float diameter)
{
    setBrushDiameterSilent(diameter);
    updateCursor();
    if (m_delegate)
        m_delegate->cutViewDidChangeBrushDiameter(this, diameter);
}

void ZRImageCutView::setBrushHardness(float hardness)
{
    m_document.drain().setHardness(hardness);
    updateBrushMask();
    noteSessionView();
}

void ZRImageCutView::updateBrushMask()
{
    m_document.drain().updateStamp();
}

Picture ZRImageCutView::getBrushPreviewWithSize(QSizeF size) const
{
    return BrushImages::preview(size, brushDiameter(), brushHardness(), brushAlphaValue());
}

void ZRImageCutView::setBlurOn(bool on)
{
    m_blurOn = on;
    if (const auto layer = bluredLayer())
        layer->setHidden(!on);
    update();
}

// ---------------------------------------------------------------- view mode

void ZRImageCutView::setViewMode(Compositor::ViewMode mode)
{
    m_viewMode = mode;
    update();
}

void ZRImageCutView::setBackdrop(const QColor& colour)
{
    m_backdrop = colour;
    update();
}

void ZRImageCutView::setOverlayTint(const QColor& colour)
{
    if (colour.isValid())
        m_tint = colour;
    update();
}

// ---------------------------------------------------------------- picture

void ZRImageCutView::setImage(const Picture& picture)
{
    takeImage(picture, nullptr, {});
}

void ZRImageCutView::restoreSession(const Picture& picture, const SessionOrphans::Orphan& orphan,
                                    std::function<void(bool)> done)
{
    takeImage(picture, &orphan, std::move(done));
}

void ZRImageCutView::setPictureSource(const QString& path)
{
    m_document.setSessionPicture(path, m_image.size(),
                                 path.isEmpty() ? m_image.bestRepresentation() : QImage());
}

void ZRImageCutView::noteSessionView()
{
    const ViewTransform t = viewTransform();
    m_document.session().noteBrushAndView({m_brushDiameter, brushHardness(), brushAlphaValue()},
                                          {m_imageFit, t.scale, t.tx, t.ty});
}

void ZRImageCutView::takeImage(const Picture& picture, const SessionOrphans::Orphan* orphan,
                               std::function<void(bool)> restored)
{
    // A press on the old picture does not go on over the new one: its last
    // stamp would join the new picture's first with a line of fillers.
    abandonPress();
    m_image = picture;
    const QImage bitmap = PictureLevels::drawableBitmap(picture);
    m_layers.reset(picture.size(), bitmap);
    m_colourTool->cancelRegion();
    m_colourTool->setColours(nullptr);

    // The view first, so that the session record written for the picture
    // already carries it.
    m_imageFit = true;
    correctImagePositionWithFiting(true);
    if (orphan && !orphan->record.view.fit) {
        m_imageFit = false;
        const SessionRecord::View& view = orphan->record.view;
        setTransformOnLayers({view.scale, view.tx, view.ty}, 0);
        limitDrag();
    }
    removeAllAnimations(); // a new picture appears fitted, not eased in from nowhere

    if (orphan) {
        m_document.restorePicture(picture.size(), *orphan, [this, restored](bool ok) {
            MainThread::async(this, [restored, ok] {
                if (restored)
                    restored(ok);
            });
        });
    } else {
        m_document.setPicture(picture.size()); // its mask and its first history state
    }

    m_levels->setPicture(picture, bitmap, StrokeDrain::maskSizeFor(picture.size()));
    m_boxDragging = false;
    m_subjectTool->setPicture(bitmap, StrokeDrain::maskSizeFor(picture.size()));
    if (m_refined)
        m_refined->clear();
    if (picture.isNull())
        BackgroundPool::run(Allocator::releaseFree); // nothing shown: nothing kept
    updateCursor();
    update();
}

void ZRImageCutView::replacePicture(const Picture& picture)
{
    if (m_image.isNull() || picture.size() != m_image.size()) {
        setImage(picture);
        return;
    }
    m_image = picture;
    const QImage bitmap = PictureLevels::drawableBitmap(picture);
    if (const auto layer = m_layers.picture())
        layer->setContent(bitmap);
    m_levels->setPicture(picture, bitmap, StrokeDrain::maskSizeFor(picture.size()));
    m_subjectTool->replaceBitmap(bitmap);
    if (m_refined)
        m_refined->clear();
    update();
}

bool ZRImageCutView::loadMask(const QImage& mask)
{
    // An alpha channel is the mask; a grey picture's grey is (white kept).
    QImage alpha;
    if (mask.hasAlphaChannel()) {
        alpha = mask.convertToFormat(QImage::Format_Alpha8);
    } else {
        alpha = mask.convertToFormat(QImage::Format_Grayscale8);
        alpha.reinterpretAsFormat(QImage::Format_Alpha8);
    }
    return m_document.loadMask(alpha);
}

Picture ZRImageCutView::getResult() const
{
    const QImage out = resultTask()();
    return out.isNull() ? Picture() : Picture::fromImage(out);
}

std::function<QImage()> ZRImageCutView::resultTask(bool keepColours) const
{
    return [compose = resultComposer(keepColours)] { return compose().image(); };
}

std::function<ResultComposer()> ZRImageCutView::resultComposer(bool keepColours) const
{
    const QSizeF size = m_image.size();
    const QSize pixels(int(size.width()), int(size.height()));
    const auto pictureLayer = m_layers.picture();
    if (pixels.isEmpty() || !pictureLayer)
        return [] { return ResultComposer(); };
    // The picture as it was read where it has the result's size: the layer's
    // drawable copy is premultiplied and has lost colour where translucent.
    QImage source = m_image.bestRepresentation();
    if (source.size() != pixels)
        source = pictureLayer->content();
    QImage blur;
    if (const auto layer = m_layers.blurred(); layer && !layer->isHidden())
        blur = layer->content();
    // Input the queue has not drawn yet (strokes just made, an undo) is part
    // of the result asked for now: the task takes the mask once the queue
    // has drawn it, or the mask shown now if the queue closes first.
    const QImage shown = m_layers.maskContent();
    std::shared_future<QImage> drawn;
    if (m_document.hasQueuedEdits() || m_document.drain().buffer().size() > 0) {
        auto promise = std::make_shared<std::promise<QImage>>();
        drawn = promise->get_future().share();
        m_document.whenDrawn([promise, layer = m_layers.mask()] {
            promise->set_value(layer ? layer->content() : QImage());
        });
    }
    auto maskOf = [shown, drawn] {
        if (!drawn.valid())
            return shown;
        try {
            const QImage mask = drawn.get();
            return mask.size() == shown.size() ? mask : shown;
        } catch (const std::future_error&) {
            return shown;
        }
    };
    const auto refine = m_refineEdges ? ResultComposer::Refine::Edges : ResultComposer::Refine::Off;
    const auto underCut = keepColours ? ResultComposer::UnderCut::KeptColours
                                      : ResultComposer::UnderCut::Dropped;
    return [source, blur, maskOf, size, pixels, refine, underCut] {
        return ResultComposer(source, blur, maskOf(), size, pixels, refine, underCut);
    };
}

// ---------------------------------------------------------------- mask drain

void ZRImageCutView::refusePicture(std::uint64_t picture, const QString& reason)
{
    MainThread::async(this, [this, picture, reason] {
        if (picture != m_document.drain().generation())
            return; // a newer picture is on the canvas
        // The log says why, the canvas empties, and the owner tells the user.
        SystemLog::log(
            QStringLiteral("Invalid Image: the canvas could not take it (%1)").arg(reason));
        setImage(Picture());
        if (m_delegate)
            m_delegate->cutViewDidRefusePicture(this, reason);
    });
}

void ZRImageCutView::publishMask(const QImage& mask, const QRect& changed)
{
    // The content before its version: a frame that reads the version first
    // and then the mask never pairs an older mask with a newer version, which
    // would keep a stale refined edge on screen until the next stroke.
    if (const auto layer = maskLayer())
        layer->setContent(mask);
    ++m_maskVersion;
    MainThread::async(this, [this, changed, whole = mask.rect()] {
        // Repaint only what the strokes touched, unless the mask was rebuilt.
        const auto layer = imageLayer();
        if (changed == whole || !layer)
            update();
        else
            update(Viewport::widgetRectForMaskArea(layer->presentationTransform(), m_image.size(),
                                                   currentMask().size(), changed, size()));
    });
}

// ---------------------------------------------------------------- history

void ZRImageCutView::reportHistoryChanged()
{
    MainThread::async(this, [this] {
        if (m_delegate)
            m_delegate->cutViewDidChangeHistoryState(this);
    });
}

// ---------------------------------------------------------------- viewport

void ZRImageCutView::setTransformOnLayers(const ViewTransform& t, double duration)
{
    m_layers.setTransform(t, duration);
    noteSessionView();
    update();
    if (duration > 0)
        scheduleAnimationFrames();
}

void ZRImageCutView::removeAllAnimations()
{
    m_layers.removeAllAnimations();
    update();
}

void ZRImageCutView::scheduleAnimationFrames()
{
    if (!m_animationTimer->isActive())
        m_animationTimer->start();
}

void ZRImageCutView::correctImagePositionWithFiting(bool fitting)
{
    const QSizeF canvas = size();
    const QSizeF picture = m_image.size();
    if (!m_imageFit && fitting) {
        if (Viewport::wholePictureVisible(viewTransform(), canvas, picture))
            m_imageFit = true;
    }
    if (m_imageFit) {
        setTransformOnLayers(Viewport::fit(canvas, picture), Viewport::fitDuration);
        return;
    }
    limitDrag();
}

void ZRImageCutView::limitDrag()
{
    const ViewTransform current = viewTransform();
    const ViewTransform limited = Viewport::limitDrag(current, size(), m_image.size());
    if (!(limited == current))
        setTransformOnLayers(limited, Viewport::boundsDuration);
}

void ZRImageCutView::swipe(double deltaX, double deltaY)
{
    m_imageFit = false;
    ViewTransform t = viewTransform();
    t.tx += deltaX;
    t.ty -= deltaY;
    setTransformOnLayers(t, 0);
    correctImagePositionWithFiting(false);
    removeAllAnimations();
}

void ZRImageCutView::magnify(double magnification)
{
    SystemLog::log(QStringLiteral("magnifyWithEvent: magnify %1").arg(magnification));
}

QPointF ZRImageCutView::toCanvas(QPointF widgetPos) const
{
    return {widgetPos.x(), height() - widgetPos.y()};
}

void ZRImageCutView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    correctImagePositionWithFiting(true);
    removeAllAnimations();
}

void ZRImageCutView::wheelEvent(QWheelEvent* event)
{
    event->accept();
    if (m_keys.sync(event->modifiers()))
        updateCursor();
    if (m_pressActive && !(event->buttons() & Qt::LeftButton))
        endPress(); // the release never came
    if (m_pressActive)
        return; // the press owns the pointer until the release
    // One notch (120 angle units) is a deltaY of 5: a zoom of 1.1, or five
    // points of brush. A touchpad's pixels come to the same: 15 pixels, a
    // notch's worth of scrolling on most desktops, are a deltaY of 5.
    QPoint angle = event->angleDelta();
    double deltaY;
    if (angle.y() != 0)
        deltaY = angle.y() / 24.0;
    else if (angle.x() != 0 && m_keys.alt())
        deltaY = angle.x() / 24.0; // the window system turns Alt+wheel sideways
    else
        deltaY = event->pixelDelta().y() / 3.0;

    if (m_keys.alt()) {
        // High-resolution wheels and touchpads send parts of a point: they
        // add up until they make whole ones. A turn the other way starts afresh.
        if ((m_wheelBrushRest < 0) != (deltaY < 0))
            m_wheelBrushRest = 0;
        m_wheelBrushRest += deltaY;
        const double whole = std::trunc(m_wheelBrushRest);
        if (whole != 0) {
            m_wheelBrushRest -= whole;
            setBrushDiameter(brushDiameter() + float(whole));
        }
        return;
    }
    m_imageFit = false;
    const ViewTransform zoomed = Viewport::zoom(viewTransform(), toCanvas(event->position()),
                                                Viewport::zoomFactor(deltaY), m_image.size());
    setTransformOnLayers(zoomed, Viewport::zoomDuration);
    correctImagePositionWithFiting(deltaY < 0);
}

bool ZRImageCutView::event(QEvent* event)
{
    if (event->type() == QEvent::NativeGesture) {
        auto* gesture = static_cast<QNativeGestureEvent*>(event);
        if (gesture->gestureType() == Qt::ZoomNativeGesture) {
            magnify(gesture->value());
            return true;
        }
        if (gesture->gestureType() == Qt::SwipeNativeGesture) {
            swipe(gesture->delta().x(), gesture->delta().y());
            return true;
        }
    }
    return QWidget::event(event);
}

// ---------------------------------------------------------------- cursor

void ZRImageCutView::enterEvent(QEnterEvent* event)
{
    QWidget::enterEvent(event);
    m_mouseIn = true;
    // An enter event carries no modifiers: Ctrl held as the pointer comes in
    // must still show the hand.
    m_keys.sync(QGuiApplication::queryKeyboardModifiers());
    updateCursor();
}

void ZRImageCutView::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    m_mouseIn = false;
    updateCursor();
}

void ZRImageCutView::updateCursor()
{
    if (!MainThread::isCurrent()) {
        MainThread::sync([this] { updateCursor(); });
        return;
    }
    if (!m_mouseIn || m_image.isNull()) {
        m_cursorKind = CursorKind::Arrow;
        m_cursorSize = 0;
        setCursor(Qt::ArrowCursor);
    } else if (m_dragging) {
        m_cursorKind = CursorKind::ClosedHand;
        m_cursorSize = 0;
        setCursor(Qt::ClosedHandCursor);
    } else if (m_keys.ctrl() == (m_dragMode.load() == 1) && m_colourTool->tool() == CutTool::Box) {
        m_cursorKind = CursorKind::Box;
        m_cursorSize = 0;
        setCursor(Qt::CrossCursor);
    } else if (m_keys.ctrl() == (m_dragMode.load() == 1)) {
        const QCursor cursor = brushCursor();
        const CutTool tool = m_colourTool->tool();
        m_cursorKind = tool == CutTool::Colour       ? CursorKind::Colour
                       : tool == CutTool::Background ? CursorKind::BackgroundBrush
                                                     : CursorKind::Brush;
        m_cursorSize = int(std::lround(cursor.pixmap().deviceIndependentSize().width()));
        setCursor(cursor);
    } else {
        m_cursorKind = CursorKind::OpenHand;
        m_cursorSize = 0;
        setCursor(Qt::OpenHandCursor);
    }
}

QCursor ZRImageCutView::brushCursor() const
{
    // Drawn at the screen's ratio; the hot spot is in points.
    const CutTool tool = m_colourTool ? m_colourTool->tool() : CutTool::Brush;
    const QImage image = BrushImages::cursor(m_brushDiameter, devicePixelRatioF(),
                                             tool == CutTool::Colour       ? BrushImages::CursorShape::Colour
                                             : tool == CutTool::Background ? BrushImages::CursorShape::Background
                                                                           : BrushImages::CursorShape::Brush);
    const int side = int(std::lround(image.deviceIndependentSize().width()));
    return QCursor(QPixmap::fromImage(image), side / 2, side / 2);
}

// ---------------------------------------------------------------- tests

void ZRImageCutView::waitUntilIdle()
{
    for (int round = 0; round < 4; ++round) {
        m_subjectTool->waitUntilIdle();
        m_document.waitUntilIdle();
        while (m_levels->busy())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        MainThread::flush();
    }
}
