#pragma once

#include "imaging/FilterImage.h"

class ColorFilter;

// Presets, filters and composition on filter images. These operations belong
// with the other filter-image operations of imaging/ImageResize.h; they live
// here because they need the kit's filter catalogue. Each returns a new image
// and leaves its arguments unchanged, except where said.
namespace ImageResize {

// The image with the preset of that number (Autofilter::filterIndexed)
// applied; for a number without a preset, the image unchanged.
FilterImage filterNumber(const FilterImage& image, int number);

// The filter's output for the image. The filter keeps the image as its input.
FilterImage imageWithCIFilter(const FilterImage& image, ColorFilter& filter);

// `over` laid on `image` by the source-over rule. The result's extent is the
// union of both extents; pixels outside an extent count as transparent.
FilterImage composeWith(const FilterImage& image, const FilterImage& over);

} // namespace ImageResize
