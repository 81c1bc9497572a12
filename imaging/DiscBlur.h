#pragma once

#include "imaging/FilterImage.h"

#include <QImage>
#include <QRect>

#include <functional>

// A true disc blur: every output pixel is the mean of the input pixels whose
// offset (dx, dy) satisfies dx^2 + dy^2 <= radius^2, and pixels outside the
// input count as transparent. Premultiplied pixels, so edges fade out instead
// of darkening.
//
// Horizontal prefix sums make each disc row two lookups, so the cost per pixel
// grows with the radius, not with the disc's area; rows are split over cores.
// Besides its input and output a blur holds, per core, a ring of prefix rows
// for a tile of at most 4096 columns (about 32 MB, more only for radii beyond
// a hundredth of the picture's width and height), whatever the shape.
namespace DiscBlur {

// Asked from every band of rows as it goes (from several threads at once);
// true stops the blur, which then gives nothing.
using Cancelled = std::function<bool()>;

// The blur of `image` over its own extent only: what the grown output of the
// blur, cropped back to the source extent, would hold. `image` may be in any
// format; the result is Format_ARGB32_Premultiplied.
QImage blur(const QImage& image, double radius);

// The whole blur as a filter image: the extent grows by the radius (rounded
// up) on every side.
FilterImage blur(const FilterImage& image, double radius);

// The blur restricted to `region` (in the image's extent coordinates).
// Nothing when `cancelled` says so before it is done.
FilterImage blur(const FilterImage& image, double radius, const QRect& region,
                 const Cancelled& cancelled = {});

} // namespace DiscBlur
