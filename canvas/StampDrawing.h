#pragma once

#include <QRect>

#include <cstdint>

struct BrushStamp;

// An 8-bit alpha plane, top row first: the canvas's mask.
struct AlphaPlane {
    std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;

    std::uint8_t* row(int y) const { return data + y * stride; }
};

// Draws one stamp into the mask. The rectangle is in mask pixels with y up
// (origin at the mask's lower-left corner). Every covered pixel moves to
// alpha * cov + old * (1 - cov), so repeated stamps approach `alpha` and never
// overshoot it. With a stamp, cov is the stamp's alpha stretched onto the
// rectangle (bilinear); without one, cov is the anti-aliased coverage of the
// disc inscribed in the rectangle. Returns the pixels that may have changed,
// in top-first row coordinates (empty when the stamp misses the mask).
// `rows` limits the drawing to a band of top-first rows, so that one batch of
// stamps can be drawn by several threads, each over its own band, in order.
QRect drawStamp(const AlphaPlane& mask, const BrushStamp* stamp, double x, double y,
                double width, double height, std::uint8_t alpha, const QRect& rows = QRect());

// The pixels a stamp may change, as drawStamp would report them.
QRect stampArea(const AlphaPlane& mask, double x, double y, double width, double height);

// x / 255 rounded to nearest, exact for 0 <= x <= 255 * 255.
inline std::uint32_t div255(std::uint32_t x)
{
    x += 128;
    return (x + (x >> 8)) >> 8;
}
