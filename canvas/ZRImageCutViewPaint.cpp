// The canvas's painting: the frame composed in device pixels, the refined
// edge where the mask is coarser than the screen, and the colour tool's overlay.
#include "canvas/ZRImageCutView.h"

#include "canvas/CanvasLayer.h"
#include "canvas/ColourTool.h"
#include "canvas/Compositor.h"
#include "canvas/PictureLevels.h"
#include "canvas/RefinedView.h"
#include "canvas/SubjectTool.h"

#include <QPaintEvent>
#include <QPainter>

#include <QTime>

#include <cmath>

void ZRImageCutView::paintEvent(QPaintEvent* event)
{
    // Composed in device pixels, so that a screen at a device pixel ratio of
    // 2 shows the picture at its own resolution, not in blocks of 2 x 2.
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    if (m_frame.size() != pixels)
        m_frame = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
    if (m_frame.isNull())
        return;
    if (m_tile.isNull() || m_tile.devicePixelRatio() != ratio) {
        m_tile = Compositor::backdropTile(ratio);
        m_tile.setDevicePixelRatio(ratio);
    }
    const QRectF dirty = event->rect();
    const QRect area = QRectF(dirty.topLeft() * ratio, dirty.size() * ratio).toAlignedRect() &
                       m_frame.rect();

    Compositor::Layers layers;
    ViewTransform t;
    const std::uint64_t maskVersion = m_maskVersion.load(); // before the mask: see publishMask
    if (const auto pictureLayer = imageLayer()) {
        const ViewTransform shown = pictureLayer->presentationTransform();
        t = {shown.scale * ratio, shown.tx * ratio, shown.ty * ratio};
        layers.pictureSize = m_image.size();
        layers.picture = m_levels->picture(t.scale);
        layers.mask = currentMask();
        if (const auto blurLayer = bluredLayer(); blurLayer && !blurLayer->isHidden())
            layers.blur = m_levels->blur(t.scale);
    }
    layers.mode = shownMode();
    layers.backdrop = m_backdrop.isValid() ? (m_backdrop.rgb() | 0xff000000u) : 0;
    layers.tint = m_tint.rgb() | 0xff000000u;
    Compositor::paintFrame(m_frame, area, m_tile, layers, t);
    paintRefinedEdge(area, layers, t, maskVersion);
    m_colourTool->paintOverlay(m_frame, area, t, layers.pictureSize, layers.mask.size());
    m_subjectTool->paintOverlay(m_frame, area, t, layers.pictureSize, layers.mask.size());

    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QRectF(QPointF(area.topLeft()) / ratio, QSizeF(area.size()) / ratio), m_frame,
                      area);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    paintBox(painter);
    if (isAnimating())
        scheduleAnimationFrames();
}

void ZRImageCutView::paintRefinedEdge(const QRect& area, const Compositor::Layers& layers,
                                      const ViewTransform& t, std::uint64_t maskVersion)
{
    // Where one mask pixel covers more than one screen pixel, the part on
    // screen shows the refined edge once it has been made for this mask.
    const double pw = layers.pictureSize.width(), ph = layers.pictureSize.height();
    const auto pictureLayer = imageLayer();
    if (!m_refineEdges || layers.mode != Compositor::ViewMode::CutOut || !layers.blur.isNull() ||
        layers.mask.isNull() || !pictureLayer || !(t.scale > 0) || pw <= 0 || ph <= 0)
        return;
    // The full-size level where it is painted, so that a picture shown
    // converted to sRGB is refined in the colours the screen shows.
    const QSize size{int(pw), int(ph)};
    const QImage full = layers.picture.size() == size ? layers.picture : pictureLayer->content();
    if (full.size() != size || t.scale * pw / layers.mask.width() <= 1.0)
        return;
    if (!m_refined)
        m_refined = std::make_unique<RefinedView>([this] { update(); });
    else if (full.cacheKey() != m_refinedSource)
        m_refined->clear(); // made from other pixels (before the picture's conversion came)
    m_refinedSource = full.cacheKey();
    const double W = m_frame.width(), H = m_frame.height();
    auto pictureX = [&](double x) { return (x - t.tx) / t.scale + pw / 2; };
    auto pictureRow = [&](double y) { return ph - ((H - y - t.ty) / t.scale + ph / 2); };
    const QRect visible = QRect(QPoint(int(std::floor(pictureX(0))), int(std::floor(pictureRow(0)))),
                                QPoint(int(std::ceil(pictureX(W))), int(std::ceil(pictureRow(H))))) &
                          QRect(0, 0, int(pw), int(ph));
    if (visible.isEmpty())
        return;
    QRect region;
    const QImage& refined =
        m_refined->lookup(full, layers.mask, maskVersion, layers.pictureSize, visible, &region);
    if (refined.isNull())
        return;
    // The refined part, drawn where its pixels fall, over the backdrop.
    Compositor::Layers edge;
    edge.picture = refined;
    edge.pictureSize = QSizeF(region.size());
    static const QImage kept = [] {
        QImage one(1, 1, QImage::Format_Alpha8);
        one.fill(255);
        return one;
    }();
    edge.mask = kept;
    edge.backdrop = layers.backdrop;
    const double cx = region.x() + region.width() / 2.0;
    const double cyUp = ph - (region.y() + region.height() / 2.0);
    const ViewTransform at{t.scale, t.scale * (cx - pw / 2) + t.tx, t.scale * (cyUp - ph / 2) + t.ty};
    const double left = t.scale * (region.x() - pw / 2) + t.tx;
    const double right = t.scale * (region.x() + region.width() - pw / 2) + t.tx;
    const double top = H - (t.scale * (ph - region.y() - ph / 2) + t.ty);
    const double bottom = H - (t.scale * (ph - region.y() - region.height() - ph / 2) + t.ty);
    const QRect onScreen = QRectF(QPointF(left, top), QPointF(right, bottom)).toAlignedRect() & area;
    if (!onScreen.isEmpty())
        Compositor::paintFrame(m_frame, onScreen, m_tile, edge, at);
}

void ZRImageCutView::paintBox(QPainter& painter)
{
    QRectF box;
    if (m_boxDragging) {
        box = QRectF(m_boxFrom, m_boxTo).normalized();
    } else if (m_subjectTool->boxActive()) {
        // Mask pixels to widget points, through the transform shown.
        const auto layer = imageLayer();
        const QImage mask = currentMask();
        const QSizeF picture = m_image.size();
        if (!layer || mask.isNull() || picture.isEmpty())
            return;
        const ViewTransform t = layer->presentationTransform();
        const QRect b = m_subjectTool->boxArea();
        const double sx = picture.width() / mask.width(), sy = picture.height() / mask.height();
        const QPointF low = t.map({b.left() * sx, picture.height() - (b.bottom() + 1) * sy}, picture);
        const QPointF high = t.map({(b.right() + 1) * sx, picture.height() - b.top() * sy}, picture);
        box = QRectF(QPointF(low.x(), height() - high.y()), QPointF(high.x(), height() - low.y()));
    } else {
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0, 0, 0, 160), 3));
    painter.drawRect(box);
    painter.setPen(QPen(Qt::white, 1, Qt::DashLine));
    painter.drawRect(box);
    if (!m_subjectTool->boxActive() || m_boxDragging)
        return;
    // The progress mark: a turning arc at the box's top right corner.
    const QRectF mark(box.right() - 22, box.top() + 6, 16, 16);
    painter.setPen(QPen(QColor(0, 0, 0, 160), 4));
    painter.drawEllipse(mark);
    painter.setPen(QPen(m_tint, 2.5));
    const int turn = (QTime::currentTime().msecsSinceStartOfDay() / 4) % 360;
    painter.drawArc(mark, -turn * 16, 100 * 16);
}
