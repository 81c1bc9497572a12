#include "canvas/StampDrawing.h"

#include "canvas/BrushStamp.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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
    // the one right of it (0..256). sx rises with the column.
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
    // blended[k + 1] is stamp column k of the two rows mixed vertically, scaled
    // by 16; blended[0] and blended[size + 1] stay 0 so taps just outside the
    // stamp read as transparent.
    std::vector<std::uint16_t> blended(size + 2, 0);
    const double scaleY = size / h;
    const std::uint32_t a = alpha;
    for (int r = area.top(); r <= area.bottom(); ++r) {
        const int j = mask.height - 1 - r; // y-up row
        // The y-up sample v maps to stamp row size - v (stamp rows run top-first).
        const double v = (j + 0.5 - y) * scaleY;
        const double rowCoord = (size - v) - 0.5;
        const double fl = std::floor(rowCoord);
        const int sy = int(fl);
        const int fy = int(std::lround((rowCoord - fl) * 256));
        const bool has0 = sy >= 0 && sy < size;
        const bool has1 = sy + 1 >= 0 && sy + 1 < size;
        if (!has0 && !has1)
            continue;
        // Where either row is not transparent, and where both are opaque.
        int spanBegin = size, spanEnd = 0, coreBegin = 0, coreEnd = 0;
        if (has0) {
            spanBegin = std::min(spanBegin, stamp.spanBegin[sy]);
            spanEnd = std::max(spanEnd, stamp.spanEnd[sy]);
        }
        if (has1) {
            spanBegin = std::min(spanBegin, stamp.spanBegin[sy + 1]);
            spanEnd = std::max(spanEnd, stamp.spanEnd[sy + 1]);
        }
        if (spanBegin >= spanEnd)
            continue;
        if (has0 && has1) {
            coreBegin = std::max(stamp.coreBegin[sy], stamp.coreBegin[sy + 1]);
            coreEnd = std::min(stamp.coreEnd[sy], stamp.coreEnd[sy + 1]);
        }
        const std::uint8_t* s0 = has0 ? stamp.row(sy) : nullptr;
        const std::uint8_t* s1 = has1 ? stamp.row(sy + 1) : nullptr;
        for (int k = spanBegin; k < spanEnd; ++k) {
            const std::uint32_t top = s0 ? s0[k] : 0;
            const std::uint32_t bottom = s1 ? s1[k] : 0;
            blended[k + 1] = std::uint16_t((top * (256 - fy) + bottom * fy) >> 4);
        }
        // Columns whose two taps (sx, sx + 1) can touch the span.
        const int cFirst = int(std::lower_bound(sx.begin(), sx.end(), spanBegin - 1) - sx.begin());
        const int cEnd = int(std::lower_bound(sx.begin(), sx.end(), spanEnd) - sx.begin());
        std::uint8_t* out = mask.row(r) + area.left();
        for (int c = cFirst; c < cEnd; ++c) {
            const int k = sx[c];
            if (k >= coreBegin && k + 1 < coreEnd) {
                out[c] = alpha; // every tap fully covered
                continue;
            }
            const std::uint32_t left = (k >= spanBegin && k < spanEnd) ? blended[k + 1] : 0;
            const std::uint32_t right = (k + 1 >= spanBegin && k + 1 < spanEnd) ? blended[k + 2] : 0;
            const std::uint32_t cov16 = (left * std::uint32_t(256 - fx[c]) + right * std::uint32_t(fx[c])) >> 8;
            const std::uint32_t cov = (cov16 + 8) >> 4; // 0..255
            if (cov == 0)
                continue;
            out[c] = std::uint8_t(div255(a * cov + out[c] * (255 - cov)));
        }
    }
}

void drawHard(const AlphaPlane& mask, const QRect& area, double x, double y, double w, double h,
              std::uint8_t alpha)
{
    const double cx = x + 0.5 * w;
    const double cy = y + 0.5 * h;
    const double rx = 0.5 * w;
    const double ry = 0.5 * h;
    if (rx <= 0 || ry <= 0)
        return;
    // Coverage of a pixel: how far its centre lies inside the rim, in pixels,
    // plus a half, clamped to 0..1. In normalised distance d (1 at the rim)
    // that is 1 while d <= 1 - 0.5 / rmin and 0 from d >= 1 + 0.5 / rmin.
    const float rmin = float(std::min(rx, ry));
    const double inner = std::max(0.0, 1 - 0.5 / rmin);
    const double outer = 1 + 0.5 / rmin;
    const std::uint32_t a = alpha;
    for (int r = area.top(); r <= area.bottom(); ++r) {
        const int j = mask.height - 1 - r;
        const double dy = (j + 0.5 - cy) / ry;
        const double dy2 = dy * dy;
        if (dy2 >= outer * outer)
            continue;
        // Columns of the rim band and of the solid core on this row.
        const double outerHalf = std::sqrt(outer * outer - dy2) * rx;
        const int first = std::max(area.left(), int(std::floor(cx - outerHalf - 0.5)));
        const int last = std::min(area.right(), int(std::ceil(cx + outerHalf - 0.5)));
        int coreFirst = last + 1, coreLast = last; // empty unless the row crosses the core
        if (dy2 < inner * inner) {
            const double innerHalf = std::sqrt(inner * inner - dy2) * rx;
            coreFirst = std::max(first, int(std::ceil(cx - innerHalf - 0.5)));
            coreLast = std::min(last, int(std::floor(cx + innerHalf - 0.5)));
        }
        std::uint8_t* out = mask.row(r);
        auto rim = [&](int from, int to) {
            for (int i = from; i <= to; ++i) {
                const float dx = float((i + 0.5 - cx) / rx);
                const float d = std::sqrt(dx * dx + float(dy2));
                const float cov = std::clamp((1.0f - d) * rmin + 0.5f, 0.0f, 1.0f);
                const std::uint32_t c = std::uint32_t(cov * 255.0f + 0.5f);
                out[i] = std::uint8_t(div255(a * c + out[i] * (255 - c)));
            }
        };
        if (coreFirst <= coreLast) {
            rim(first, coreFirst - 1);
            std::memset(out + coreFirst, alpha, std::size_t(coreLast - coreFirst + 1));
            rim(coreLast + 1, last);
        } else {
            rim(first, last);
        }
    }
}

} // namespace

QRect stampArea(const AlphaPlane& mask, double x, double y, double width, double height)
{
    if (!mask.data || !(width > 0) || !(height > 0))
        return {};
    return touchedPixels(mask, x, y, width, height);
}

QRect drawStamp(const AlphaPlane& mask, const BrushStamp* stamp, double x, double y,
                double width, double height, std::uint8_t alpha, const QRect& rows)
{
    QRect area = stampArea(mask, x, y, width, height);
    if (!rows.isNull())
        area &= QRect(area.left(), rows.top(), area.width(), rows.height());
    if (area.isEmpty())
        return {};
    if (stamp)
        drawSoft(mask, *stamp, area, x, y, width, height, alpha);
    else
        drawHard(mask, area, x, y, width, height, alpha);
    return area;
}
