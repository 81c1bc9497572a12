#include "kit/FilterPresets.h"

#include "kit/Autofilter.h"
#include "kit/ColorFilter.h"

#include <cstdint>
#include <cstring>

namespace ImageResize {
namespace {

// Row and column of `inner`'s top-left pixel within an image covering
// `outer`; both extents are y-up, image rows run top-down.
QPoint placement(const QRect& outer, const QRect& inner)
{
    return {inner.x() - outer.x(), (outer.y() + outer.height()) - (inner.y() + inner.height())};
}

// Source-over on premultiplied pixels: result = source + destination * (1 -
// source alpha), two channels at a time. Premultiplied colour never exceeds
// its alpha, so no channel can carry into the next.
void sourceOverRow(const std::uint32_t* source, std::uint32_t* destination, int count)
{
    for (int i = 0; i < count; ++i) {
        const std::uint32_t s = source[i];
        const std::uint32_t alpha = s >> 24;
        if (alpha == 255) {
            destination[i] = s;
        } else if (alpha != 0) {
            const std::uint32_t d = destination[i];
            const std::uint32_t keep = 255 - alpha;
            std::uint32_t rb = (d & 0x00ff00ffu) * keep + 0x00800080u;
            rb = ((rb + ((rb >> 8) & 0x00ff00ffu)) >> 8) & 0x00ff00ffu;
            std::uint32_t ag = ((d >> 8) & 0x00ff00ffu) * keep + 0x00800080u;
            ag = (ag + ((ag >> 8) & 0x00ff00ffu)) & 0xff00ff00u;
            destination[i] = s + (rb | ag);
        }
    }
}

} // namespace

FilterImage filterNumber(const FilterImage& image, int number)
{
    auto filter = Autofilter::filterIndexed(number);
    if (!filter)
        return image;
    filter->setInputImage(image);
    return filter->outputImage();
}

FilterImage imageWithCIFilter(const FilterImage& image, ColorFilter& filter)
{
    filter.setInputImage(image);
    return filter.outputImage();
}

FilterImage composeWith(const FilterImage& image, const FilterImage& over)
{
    if (over.isNull())
        return image;
    if (image.isNull())
        return over;
    const QRect extent = image.extent().united(over.extent());
    QImage result(extent.size(), QImage::Format_ARGB32_Premultiplied);
    if (result.isNull())
        return {};
    result.fill(Qt::transparent);

    const QImage& below = image.pixels();
    const QPoint belowAt = placement(extent, image.extent());
    for (int y = 0; y < below.height(); ++y) {
        std::memcpy(result.scanLine(belowAt.y() + y) + belowAt.x() * 4, below.constScanLine(y),
                    static_cast<size_t>(below.width()) * 4);
    }
    const QImage& above = over.pixels();
    const QPoint aboveAt = placement(extent, over.extent());
    for (int y = 0; y < above.height(); ++y) {
        sourceOverRow(reinterpret_cast<const std::uint32_t*>(above.constScanLine(y)),
                      reinterpret_cast<std::uint32_t*>(result.scanLine(aboveAt.y() + y)) +
                          aboveAt.x(),
                      above.width());
    }
    return FilterImage(std::move(result), extent.topLeft());
}

} // namespace ImageResize
