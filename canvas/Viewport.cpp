#include "canvas/Viewport.h"

#include <algorithm>
#include <cmath>

namespace Viewport {

ViewTransform fit(QSizeF canvas, QSizeF picture)
{
    if (picture.width() <= 0 || picture.height() <= 0)
        return {0, canvas.width() / 2, canvas.height() / 2};
    float s = float(std::min(canvas.width() / picture.width(), canvas.height() / picture.height()));
    s = std::min(s, float(maximumScale));
    return {double(s), canvas.width() / 2, canvas.height() / 2};
}

bool wholePictureVisible(const ViewTransform& t, QSizeF canvas, QSizeF picture)
{
    return canvas.width() >= t.scale * picture.width() &&
           canvas.height() >= t.scale * picture.height();
}

namespace {
double clampAxis(double position, double canvasExtent, double shownExtent)
{
    const float a = float(panMargin + shownExtent / 2);
    const float b = float(canvasExtent - panMargin - shownExtent / 2);
    float upper, lower;
    if (canvasExtent - 2 * panMargin > shownExtent) {
        upper = b;
        lower = a;
    } else {
        upper = a;
        lower = b;
    }
    if (position > upper)
        return upper;
    if (position < lower)
        return lower;
    return position;
}
} // namespace

ViewTransform limitDrag(const ViewTransform& t, QSizeF canvas, QSizeF picture)
{
    ViewTransform out = t;
    out.tx = clampAxis(t.tx, canvas.width(), t.scale * picture.width());
    out.ty = clampAxis(t.ty, canvas.height(), t.scale * picture.height());
    return out;
}

float zoomFactor(double deltaY)
{
    float f = float(deltaY / 50 + 1);
    f = std::min(f, 1.3f);
    f = std::max(f, 0.7f);
    return f;
}

ViewTransform zoom(const ViewTransform& t, QPointF pointer, float factor, QSizeF picture)
{
    const QPointF q = t.inverted(pointer, picture);
    ViewTransform out = t;
    out.scale = t.scale * factor;
    if (std::abs(out.scale) > maximumScale)
        out.scale = out.scale * (maximumScale / std::abs(out.scale));
    const QPointF moved = out.map(q, picture);
    out.tx -= moved.x() - pointer.x();
    out.ty -= moved.y() - pointer.y();
    return out;
}

QRect widgetRectForMaskArea(const ViewTransform& t, QSizeF picture, QSize mask,
                            const QRect& area, QSize widget)
{
    const QRect whole(QPoint(0, 0), widget);
    if (mask.isEmpty() || area.isEmpty() || picture.isEmpty())
        return whole;
    const double sx = picture.width() / mask.width();
    const double sy = picture.height() / mask.height();
    // Mask rows run from the top; picture points and the canvas run y up.
    const QPointF low = t.map({area.left() * sx, picture.height() - (area.bottom() + 1) * sy}, picture);
    const QPointF high = t.map({(area.right() + 1) * sx, picture.height() - area.top() * sy}, picture);
    const QRectF shown(QPointF(low.x(), widget.height() - high.y()),
                       QPointF(high.x(), widget.height() - low.y()));
    // Linear filtering reaches one mask pixel further on each side.
    const double pad = std::max(2.0, t.scale * std::max(sx, sy) + 2);
    return shown.adjusted(-pad, -pad, pad, pad).toAlignedRect() & whole;
}

} // namespace Viewport
