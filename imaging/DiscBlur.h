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
// grows with the radius, not with the disc's area. The work is split into
// tiles of rows and columns, spread over cores, whose working memory stays in
// the processor's cache whatever the picture's shape.
//
// Each form may be given a question, asked from every tile as it starts
// (from several threads at once): once it answers true the blur stops and
// gives nothing, so that a blur for a picture no longer shown gives back its
// cores and memory at once.
namespace DiscBlur {

using Cancelled = std::function<bool()>;

// The blur of `image` over its own extent only: what the grown output of the
// blur, cropped back to the source extent, would hold. `image` may be in any
// format; the result is Format_ARGB32_Premultiplied.
QImage blur(const QImage& image, double radius, const Cancelled& cancelled = {});

// The whole blur as a filter image: the extent grows by the radius (rounded
// up) on every side.
FilterImage blur(const FilterImage& image, double radius);

// The blur restricted to `region` (in the image's extent coordinates).
FilterImage blur(const FilterImage& image, double radius, const QRect& region,
                 const Cancelled& cancelled = {});

} // namespace DiscBlur
