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
    const int bottom = std::max(0, int(std::floor(y)));            // y-up row index
    const int top = std::min(mask.height, int(std::ceil(y + h)));  // exclusive
    if (left >= right || bottom >= top)
        return {};
    // y-up rows [bottom, top) are top-first rows [height - top, height - bottom).
    return QRect(left, mask.height - top, right - left, top - bottom);
}

// Two taps of a stamp (times 16) mixed by the right one's weight f (0..256):
// the coverage, 0..255.
inline std::uint32_t mixTaps(std::uint32_t left, std::uint32_t right, std::uint32_t f)
{
    return (((left * (256 - f) + right * f) >> 8) + 8) >> 4;
}

// A mask pixel moved towards alpha by cov / 255.
inline std::uint8_t toward(std::uint32_t alpha, std::uint32_t cov, std::uint8_t old)
{
    return std::uint8_t(div255(alpha * cov + old * (255 - cov)));
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
    // by 16. Entries outside the row's span are 0, and so are blended[0] and
    // blended[size + 1], so taps outside the span or the stamp read as
    // transparent without a test.
    std::vector<std::uint16_t> blended(size + 2, 0);
    const std::vector<std::uint8_t> zeros(std::size_t(size), 0);
    // At one stamp column a pixel (the brush at its largest on a picture the
    // mask holds whole) the taps advance by one and share one weight.
    const bool unitStep = scaleX == 1.0;
    // Where the taps lie two or more stamp columns apart (a brush smaller than
    // the stamp, or a mask smaller than the picture), mixing whole stamp rows
    // would mostly mix columns no pixel reads: each pixel mixes its own four.
    const bool sparse = scaleX >= 2.0;
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
        // A missing row reads as the transparent one.
        const std::uint8_t* s0 = has0 ? stamp.row(sy) : zeros.data();
        const std::uint8_t* s1 = has1 ? stamp.row(sy + 1) : zeros.data();
        const std::uint32_t w0 = std::uint32_t(256 - fy), w1 = std::uint32_t(fy);
        if (!sparse)
            for (int k = spanBegin; k < spanEnd; ++k)
                blended[k + 1] = std::uint16_t((s0[k] * w0 + s1[k] * w1) >> 4);
        // Stamp column k of the two rows mixed, times 16, as blended holds it.
        auto tap = [&](int k) -> std::uint32_t {
            return unsigned(k) < unsigned(size) ? (s0[k] * w0 + s1[k] * w1) >> 4 : 0;
        };
        // Columns whose two taps (sx, sx + 1) can touch the span, and within
        // them those whose taps both lie in the core. sx rises with the column.
        auto firstColumn = [&](int k) {
            return int(std::lower_bound(sx.begin(), sx.end(), k) - sx.begin());
        };
        const int cFirst = firstColumn(spanBegin - 1);
        const int cEnd = firstColumn(spanEnd);
        int coreFirst = cFirst, coreLast = cFirst;
        if (coreBegin + 1 < coreEnd) {
            coreFirst = std::clamp(firstColumn(coreBegin), cFirst, cEnd);
            coreLast = std::clamp(firstColumn(coreEnd - 1), coreFirst, cEnd);
        }
        std::uint8_t* out = mask.row(r) + area.left();
        // A pixel of no coverage comes out as it was: div255(old * 255) == old.
        auto blend = [&](int from, int to) {
            if (sparse) {
                for (int c = from; c < to; ++c)
                    out[c] = toward(a, mixTaps(tap(sx[c]), tap(sx[c] + 1), fx[c]), out[c]);
            } else if (unitStep && from < to) {
                const int shift = sx[from] + 1 - from;
                const std::uint32_t f = std::uint32_t(fx[from]);
                for (int c = from; c < to; ++c)
                    out[c] =
                        toward(a, mixTaps(blended[c + shift], blended[c + shift + 1], f), out[c]);
            } else {
                for (int c = from; c < to; ++c)
                    out[c] =
                        toward(a, mixTaps(blended[sx[c] + 1], blended[sx[c] + 2], fx[c]), out[c]);
            }
        };
        blend(cFirst, coreFirst);
        std::memset(out + coreFirst, alpha, std::size_t(coreLast - coreFirst)); // fully covered
        blend(coreLast, cEnd);
        if (!sparse)
            std::fill(blended.begin() + spanBegin + 1, blended.begin() + spanEnd + 1, 0);
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
                out[i] = toward(a, std::uint32_t(cov * 255.0f + 0.5f), out[i]);
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

QRect drawStamp(const AlphaPlane& mask, const BrushStamp* stamp, double x, double y, double width,
                double height, std::uint8_t alpha, const QRect& rows)
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
