#pragma once

#include <QImage>

#include <algorithm>
#include <cmath>
#include <cstdint>

// How the mask is stretched over the picture: linear between two mask rows,
// then between two columns, in 8-bit fixed point. The canvas's frames and the
// finished picture share it, so both show the same cut.
namespace MaskSampling {

// Mask value at one column, from a row already interpolated vertically
// (0..255 * 256) and the column's weight.
inline std::uint32_t maskAt(const std::uint16_t* row, int x0, int weight)
{
    const std::uint32_t v = row[x0] * std::uint32_t(256 - weight) + row[x0 + 1] * std::uint32_t(weight);
    return (v + (1u << 15)) >> 16;
}

// Linear filtering between two mask rows; clamps at the mask's edges.
inline void interpolateMaskRow(const QImage& mask, double rowCoord, int from, int to, std::uint16_t* out)
{
    const int height = mask.height();
    const double fl = std::floor(rowCoord);
    const int r0 = std::clamp(int(fl), 0, height - 1);
    const int r1 = std::clamp(int(fl) + 1, 0, height - 1);
    const int w = int(std::lround((rowCoord - fl) * 256));
    const std::uint8_t* a = mask.constScanLine(r0);
    const std::uint8_t* b = mask.constScanLine(r1);
    for (int x = from; x <= to; ++x)
        out[x] = std::uint16_t(a[x] * (256 - w) + b[x] * w);
}

} // namespace MaskSampling
