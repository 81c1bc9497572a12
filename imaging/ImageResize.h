#pragma once

#include "imaging/FilterImage.h"

#include <QRectF>

// Operations on filter images.
namespace ImageResize {

// The part of the image inside `rect`, moved so that the rectangle's origin
// lies at (0, 0): the result's extent is the intersection of `rect` with the
// image's extent, shifted by -rect.origin.
FilterImage crop(const FilterImage& image, QRectF rect);

} // namespace ImageResize
