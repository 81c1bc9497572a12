#pragma once

#include "imaging/Picture.h"

class ColorFilter;

// Presets and filters on pictures. These operations belong with the other
// picture operations of imaging/ImageAction.h; they live here because they
// need the kit's filter catalogue. The picture goes through its filter image
// (ImageAction::CIImage) and back (ImageAction::imageWithCIImage), so the
// result is a new picture of the filtered bitmap's size.
namespace ImageAction {

// A new picture with the preset of that number (Autofilter::filterIndexed)
// applied; for a number without a preset, an unchanged copy.
Picture filterNumber(const Picture& picture, int number);

// A new picture holding the filter's output for the picture. The filter keeps
// the picture's filter image as its input.
Picture imageWithCIFilter(const Picture& picture, ColorFilter& filter);

} // namespace ImageAction
