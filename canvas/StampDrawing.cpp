#include "canvas/StampDrawing.h"

#include "canvas/BrushStamp.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The rows (top-first) and the columns a y-up rectangle touches, clipped to
// the mask. Empty when the rectangle misses the mask.
QRect touchedPixels(const AlphaPlane& mask, double x, double y, double w, double h)
{
    const int left = std::max(0, int(std::floor(x)));
    const int right = std::min(mask.width, int(std::ceil(x + w))); // exclusive
    const int bottom = std::max(0, int(std::floor(y)));           // y-up row index
    const int top = std::min(mask.height, int(std::ceil(y + h))); // exclusive
    if (left >= right || bottom >= top)
        return {};
    // y-up rows [bottom, top) are top-first rows [height - top, height - bottom).
    return QRect(left, mask.height - top, right - left, top - bottom);
}

void drawSoft(const AlphaPlane& mask, const BrushStamp& stamp, const QRect& area, double x,
              double y, double w, double h, std::uint8_t alpha)
{
    const int size = stamp.size;
    if (size <= 0)
        return;
    // Per column: the stamp column left of the sample point and the weight of
    // the one right of it (0..256). Samples outside the stamp read as 0.
    const int columns = area.width();
    std::vector<int> sx(columns);
    std::vector<int> fx(columns);
    const double scaleX = size / w;
    for (int c = 0; c < columns; ++c) {
        const double u = (area.left() + c + 0.5 - x) * scaleX - 0.5;
        const double fl = std::floor(u);
        sx[c] = int(fl);
        fx[c] = int(std::lround((u - fl) * 256));
    }
    // A zero-padded copy of two stamp rows lets the inner loop read sx and
    // sx + 1 without bounds checks.
    std::vector<std::uint16_t> blended(size + 2);
    const double scaleY = size / h;
    const std::uint32_t a = alpha;
    for (int r = area.top(); r <= area.bottom(); ++r) {
        const int j = mask.height - 1 - r; // y-up row
        // Stamp rows run top-first too; the stamp is symmetric, but keep the
        // orientation right: the y-up sample v maps to stamp row size - v.
        const double v = (j + 0.5 - y) * scaleY;
        const double rowCoord = (size - v) - 0.5;
        const double fl = std::floor(rowCoord);
        const int sy = int(fl);
        const int fy = int(std::lround((rowCoord - fl) * 256));
        const std::uint8_t* s0 = (sy >= 0 && sy < size) ? stamp.row(sy) : nullptr;
        const std::uint8_t* s1 = (sy + 1 >= 0 && sy + 1 < size) ? stamp.row(sy + 1) : nullptr;
        if (!s0 && !s1)
            continue;
        blended[0] = 0;
        blended[size + 1] = 0;
        bool any = false;
        for (int k = 0; k < size; ++k) {
            const std::uint32_t top = s0 ? s0[k] : 0;
            const std::uint32_t bottom = s1 ? s1[k] : 0;
            const std::uint16_t value = std::uint16_t((top * (256 - fy) + bottom * fy) >> 4);
            blended[k + 1] = value; // 0..4080, 255 scaled by 16
            any |= value != 0;
        }
        if (!any)
            continue;
        std::uint8_t* out = mask.row(r) + area.left();
        for (int c = 0; c < columns; ++c) {
            const int k = sx[c] + 1;
            if (k < 0 || k > size)
                continue;
            const std::uint32_t cov16 = (blended[k] * std::uint32_t(256 - fx[c]) +
                                         blended[k + 1] * std::uint32_t(fx[c])) >> 8;
            const std::uint32_t cov = (cov16 + 8) >> 4; // 0..255
            if (cov == 0)
                continue;
            out[c] = std::uint8_t(div255(a * cov + out[c] * (255 - cov)));
        }
    }
}

void drawHard(const AlphaPlane& mask, const QRect& area, double x, double y, double w,
              double h, std::uint8_t alpha)
{
    const double cx = x + 0.5 * w;
    const double cy = y + 0.5 * h;
    const double rx = 0.5 * w;
    const double ry = 0.5 * h;
    if (rx <= 0 || ry <= 0)
        return;
    const float rmin = float(std::min(rx, ry));
    const float invRx = float(1 / rx);
    const float invRy = float(1 / ry);
    const std::uint32_t a = alpha;
    std::vector<float> dx2(area.width());
    for (int c = 0; c < area.width(); ++c) {
        const float dx = float(area.left() + c + 0.5 - cx) * invRx;
        dx2[c] = dx * dx;
    }
    std::vector<std::uint8_t> cover(area.width());
    for (int r = area.top(); r <= area.bottom(); ++r) {
        const int j = mask.height - 1 - r;
        const float dy = float(j + 0.5 - cy) * invRy;
        const float dy2 = dy * dy;
        // Coverage of the pixel by the disc: how far its centre lies inside
        // the rim, in pixels, plus a half, clamped to 0..1.
        for (int c = 0; c < area.width(); ++c) {
            const float d = std::sqrt(dx2[c] + dy2);
            const float cov = std::clamp((1.0f - d) * rmin + 0.5f, 0.0f, 1.0f);
            cover[c] = std::uint8_t(cov * 255.0f + 0.5f);
        }
        std::uint8_t* out = mask.row(r) + area.left();
        for (int c = 0; c < area.width(); ++c) {
            const std::uint32_t cov = cover[c];
            out[c] = std::uint8_t(div255(a * cov + out[c] * (255 - cov)));
        }
    }
}

} // namespace

QRect drawStamp(const AlphaPlane& mask, const BrushStamp* stamp, double x, double y,
                double width, double height, std::uint8_t alpha)
{
    if (!mask.data || width <= 0 || height <= 0)
        return {};
    const QRect area = touchedPixels(mask, x, y, width, height);
    if (area.isEmpty())
        return {};
    if (stamp)
        drawSoft(mask, *stamp, area, x, y, width, height, alpha);
    else
        drawHard(mask, area, x, y, width, height, alpha);
    return area;
}
