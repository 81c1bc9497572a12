#pragma once

#include "canvas/StampDrawing.h"
#include "imaging/ColourCache.h"

#include <QRect>

#include <cstdint>
#include <optional>

struct ColourCoverage;

// What a background-brush stamp may change: pixels within the tolerance
// (0..100) of the sample colour, fading out over a quarter more
// (ColourRamp::forBrush), and never those within that reach of the
// protected colour (protection fades out between 1.25 and 1.5 tolerances).
struct ColourStampColours {
    LabColour sample;
    std::optional<LabColour> protectedColour;
    double tolerance = 32;
};

// drawStamp's background-brush form, with the same arguments, rectangle,
// rows and result: each pixel's coverage is the stamp's (or the hard disc's)
// times its colour factor, taken from `colours`, which must have the mask's
// size (otherwise nothing is drawn and the result is empty). With every
// factor 1 it draws exactly what drawStamp draws. A 100-pixel stamp costs
// about 40 us hard (five plain ones, whose core is a fill) and 70 us soft
// (1.4 plain ones).
QRect drawColourStamp(const AlphaPlane& mask, const ColourCache& colours, const BrushStamp* stamp,
                      double x, double y, double width, double height, std::uint8_t alpha,
                      const ColourStampColours& reach, const QRect& rows = QRect());

// The sample for a stamp rectangle (mask pixels, y up, as drawStamp takes
// it): the median colour around the pixel under its centre
// (ColourCache::medianAround), clamped into the cache.
LabColour colourUnderStamp(const ColourCache& colours, double x, double y, double width,
                           double height);

// Blends a coverage plane into the mask as one step, the way a stamp does:
// every pixel moves to alpha * cov + old * (1 - cov), after moving to
// 255 * k + old * (1 - k) where the coverage has a kept plane. Returns the pixels that
// may have changed (top-first rows); empty, with nothing drawn, when the
// plane is not the mask's size.
QRect applyCoverage(const AlphaPlane& mask, const ColourCoverage& coverage, std::uint8_t alpha);
