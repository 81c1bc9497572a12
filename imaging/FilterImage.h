#pragma once

#include <QImage>
#include <QRect>

// A filter image: premultiplied pixels plus the extent they cover, in a
// y-up coordinate space whose extent may start off the origin (a blur grows
// its source by its radius on every side). Row 0 of `pixels` is the extent's
// top edge (largest y). Everything outside the extent counts as transparent.
// A default-constructed filter image is "nothing" and has an empty extent.
class FilterImage {
public:
    FilterImage() = default;
    // `pixels` is converted to Format_ARGB32_Premultiplied if needed; the
    // extent is `pixels`'s size placed with its lower-left corner at `origin`.
    FilterImage(QImage pixels, QPoint origin);

    bool isNull() const { return m_pixels.isNull(); }
    const QImage& pixels() const { return m_pixels; }
    // (x, y) is the lower-left corner in y-up coordinates.
    QRect extent() const { return m_extent; }

private:
    QImage m_pixels;
    QRect m_extent;
};
