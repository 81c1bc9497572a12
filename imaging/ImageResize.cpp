#include "imaging/ImageResize.h"

#include <algorithm>
#include <cmath>

namespace ImageResize {
namespace {

// Keeps the parent's pixels alive for as long as a view onto them exists.
void releaseParent(void* parent)
{
    delete static_cast<QImage*>(parent);
}

// A read-only view onto `rect` of `image` with no pixel copied; writing to the
// view detaches it as any shared QImage does.
QImage viewOf(const QImage& image, QRect rect)
{
    if (rect == image.rect())
        return image;
    const uchar* first = image.constScanLine(rect.top()) + qsizetype(rect.left()) * 4;
    return QImage(first, rect.width(), rect.height(), image.bytesPerLine(), image.format(),
                  releaseParent, new QImage(image));
}

int rounded(double value)
{
    return int(std::lround(value));
}

} // namespace

FilterImage crop(const FilterImage& image, QRectF rect)
{
    if (image.isNull() || !rect.isValid())
        return {};
    // Edges are rounded so that a crop never splits a pixel.
    const int rx0 = rounded(rect.left()), ry0 = rounded(rect.top());
    const int rx1 = rounded(rect.left() + rect.width()), ry1 = rounded(rect.top() + rect.height());
    const QRect extent = image.extent();
    const int ex0 = extent.x(), ey0 = extent.y();
    const int ex1 = ex0 + extent.width(), ey1 = ey0 + extent.height();
    const int x0 = std::max(rx0, ex0), x1 = std::min(rx1, ex1);
    const int y0 = std::max(ry0, ey0), y1 = std::min(ry1, ey1);
    if (x0 >= x1 || y0 >= y1)
        return {};
    // Rows run from the extent's top edge (y-up coordinate ey1) downwards.
    const QRect pixels(x0 - ex0, ey1 - y1, x1 - x0, y1 - y0);
    return FilterImage(viewOf(image.pixels(), pixels), QPoint(x0 - rx0, y0 - ry0));
}

} // namespace ImageResize
