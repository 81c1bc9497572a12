#include "canvas/ColourStampDrawing.h"

#include "canvas/BrushStamp.h"
#include "imaging/ColourRegion.h"
#include "platform/ParallelFor.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// A stamp's coverage row by row, computed as drawStamp computes it (the
// soft stamp stretched bilinearly onto the rectangle, or the anti-aliased
// hard disc), so that both brushes cover the same pixels by the same amount.
class StampCoverage {
public:
    StampCoverage(const BrushStamp* stamp, const QRect& area, int maskHeight, double x, double y,
                  double w, double h)
        : m_stamp(stamp), m_area(area), m_maskHeight(maskHeight), m_x(x), m_y(y), m_w(w), m_h(h)
    {
        if (m_stamp && m_stamp->size > 0) {
            const int size = m_stamp->size;
            m_blended.assign(std::size_t(size) + 2, 0);
            const double scaleX = size / w;
            for (int c = 0; c < area.width(); ++c) {
                const double u = (area.left() + c + 0.5 - x) * scaleX - 0.5;
                const double fl = std::floor(u);
                m_sx.push_back(int(fl));
                m_fx.push_back(int(std::lround((u - fl) * 256)));
            }
        }
    }

    // The coverage (0..255) of top-first row r, written for the columns of
    // the area (counted from its left) in the returned span [begin, end),
    // outside which it is 0.
    std::pair<int, int> row(int r, std::uint8_t* out)
    {
        return m_stamp ? softRow(r, out) : hardRow(r, out);
    }

private:
    std::pair<int, int> softRow(int r, std::uint8_t* out)
    {
        const int size = m_stamp->size;
        if (size <= 0)
            return {0, 0};
        const int j = m_maskHeight - 1 - r;
        const double v = (j + 0.5 - m_y) * (size / m_h);
        const double rowCoord = (size - v) - 0.5;
        const double fl = std::floor(rowCoord);
        const int sy = int(fl);
        const std::uint32_t fy = std::uint32_t(std::lround((rowCoord - fl) * 256));
        const bool has0 = sy >= 0 && sy < size;
        const bool has1 = sy + 1 >= 0 && sy + 1 < size;
        if (!has0 && !has1)
            return {0, 0};
        int spanBegin = size, spanEnd = 0;
        for (const int s : {sy, sy + 1}) {
            if (s >= 0 && s < size) {
                spanBegin = std::min(spanBegin, m_stamp->spanBegin[s]);
                spanEnd = std::max(spanEnd, m_stamp->spanEnd[s]);
            }
        }
        if (spanBegin >= spanEnd)
            return {0, 0};
        // m_blended[k + 1] is stamp column k of the two rows mixed, times 16;
        // it is 0 outside the span.
        std::fill(m_blended.begin(), m_blended.end(), 0);
        const std::uint8_t* s0 = has0 ? m_stamp->row(sy) : nullptr;
        const std::uint8_t* s1 = has1 ? m_stamp->row(sy + 1) : nullptr;
        for (int k = spanBegin; k < spanEnd; ++k) {
            const std::uint32_t top = s0 ? s0[k] : 0;
            const std::uint32_t bottom = s1 ? s1[k] : 0;
            m_blended[k + 1] = std::uint16_t((top * (256 - fy) + bottom * fy) >> 4);
        }
        // Columns whose two taps (sx, sx + 1) can touch the span.
        const int begin =
            int(std::lower_bound(m_sx.begin(), m_sx.end(), spanBegin - 1) - m_sx.begin());
        const int end = int(std::lower_bound(m_sx.begin(), m_sx.end(), spanEnd) - m_sx.begin());
        for (int c = begin; c < end; ++c) {
            const int k = m_sx[c];
            const std::uint32_t left = k >= 0 ? m_blended[k + 1] : 0;
            const std::uint32_t right = k + 1 < size ? m_blended[k + 2] : 0;
            const std::uint32_t fx = std::uint32_t(m_fx[c]);
            const std::uint32_t cov16 = (left * (256 - fx) + right * fx) >> 8;
            out[c] = std::uint8_t((cov16 + 8) >> 4);
        }
        return {begin, end};
    }

    std::pair<int, int> hardRow(int r, std::uint8_t* out)
    {
        const double cx = m_x + 0.5 * m_w, cy = m_y + 0.5 * m_h;
        const double rx = 0.5 * m_w, ry = 0.5 * m_h;
        if (rx <= 0 || ry <= 0)
            return {0, 0};
        const float rmin = float(std::min(rx, ry));
        const double inner = std::max(0.0, 1 - 0.5 / rmin);
        const double outer = 1 + 0.5 / rmin;
        const int j = m_maskHeight - 1 - r;
        const double dy = (j + 0.5 - cy) / ry;
        const double dy2 = dy * dy;
        if (dy2 >= outer * outer)
            return {0, 0};
        const double outerHalf = std::sqrt(outer * outer - dy2) * rx;
        const int left = m_area.left();
        const int first = std::max(left, int(std::floor(cx - outerHalf - 0.5)));
        const int last = std::min(m_area.right(), int(std::ceil(cx + outerHalf - 0.5)));
        if (first > last)
            return {0, 0};
        int coreFirst = last + 1, coreLast = last;
        if (dy2 < inner * inner) {
            const double innerHalf = std::sqrt(inner * inner - dy2) * rx;
            coreFirst = std::max(first, int(std::ceil(cx - innerHalf - 0.5)));
            coreLast = std::min(last, int(std::floor(cx + innerHalf - 0.5)));
        }
        for (int i = first; i <= last; ++i) {
            if (i >= coreFirst && i <= coreLast) {
                out[i - left] = 255;
                continue;
            }
            const float dx = float((i + 0.5 - cx) / rx);
            const float d = std::sqrt(dx * dx + float(dy2));
            const float cov = std::clamp((1.0f - d) * rmin + 0.5f, 0.0f, 1.0f);
            out[i - left] = std::uint8_t(cov * 255.0f + 0.5f);
        }
        return {first - left, last - left + 1};
    }

    const BrushStamp* m_stamp;
    QRect m_area;
    int m_maskHeight;
    double m_x, m_y, m_w, m_h;
    std::vector<int> m_sx, m_fx;
    std::vector<std::uint16_t> m_blended;
};

// A colour factor (0..1) that falls from 1 at squared distance `inner` to 0
// at `outer`, linearly in the squared distance: the same ends as a ramp in
// the distance, no square root, and a shape no stroke can tell apart.
struct SquaredRamp {
    float inner, outer, scale;

    SquaredRamp(float innerDistance, float outerDistance)
        : inner(innerDistance * innerDistance), outer(outerDistance * outerDistance),
          scale(outer > inner ? 1 / (outer - inner) : 0.0f)
    {
    }
    float operator()(float squared) const
    {
        if (scale == 0)
            return squared <= inner ? 1.0f : 0.0f;
        return std::clamp((outer - squared) * scale, 0.0f, 1.0f);
    }
};

inline float squaredDistance(std::int16_t L, std::int16_t a, std::int16_t b, LabColour c)
{
    const float dL = float(L - c.L), da = float(a - c.a), db = float(b - c.b);
    return dL * dL + da * da + db * db;
}

} // namespace

QRect drawColourStamp(const AlphaPlane& mask, const ColourCache& colours, const BrushStamp* stamp,
                      double x, double y, double width, double height, std::uint8_t alpha,
                      const ColourStampColours& reach, const QRect& rows)
{
    if (colours.width() != mask.width || colours.height() != mask.height)
        return {};
    QRect area = stampArea(mask, x, y, width, height);
    if (!rows.isNull())
        area &= QRect(area.left(), rows.top(), area.width(), rows.height());
    if (area.isEmpty())
        return {};

    const ColourRamp ramp = ColourRamp::forBrush(reach.tolerance);
    const SquaredRamp sampled(float(ramp.inner), float(ramp.outer));
    // Protection holds wherever the brush could reach from the protected
    // colour itself, and fades out by 1.5 tolerances.
    const SquaredRamp guarded(float(ramp.outer), float(ramp.inner) * 1.5f);
    const LabColour sample = reach.sample;
    const LabColour kept = reach.protectedColour.value_or(LabColour());

    StampCoverage geometry(stamp, area, mask.height, x, y, width, height);
    const int columns = area.width();
    std::vector<std::uint8_t> coverage(std::size_t(columns), 0);
    std::vector<float> factor(std::size_t(columns), 0.0f);
    const std::uint32_t a = alpha;
    for (int r = area.top(); r <= area.bottom(); ++r) {
        const auto [begin, end] = geometry.row(r, coverage.data());
        if (begin >= end)
            continue;
        const std::int16_t* L = colours.lightnessRow(r) + area.left();
        const std::int16_t* A = colours.aRow(r) + area.left();
        const std::int16_t* B = colours.bRow(r) + area.left();
        for (int c = begin; c < end; ++c)
            factor[c] = sampled(squaredDistance(L[c], A[c], B[c], sample));
        if (reach.protectedColour) {
            for (int c = begin; c < end; ++c)
                factor[c] *= 1 - guarded(squaredDistance(L[c], A[c], B[c], kept));
        }
        std::uint8_t* out = mask.row(r) + area.left();
        for (int c = begin; c < end; ++c) {
            const std::uint32_t f = std::uint32_t(factor[c] * 255 + 0.5f);
            const std::uint32_t cov = div255(coverage[c] * f);
            out[c] = std::uint8_t(div255(a * cov + out[c] * (255 - cov)));
        }
    }
    return area;
}

LabColour colourUnderStamp(const ColourCache& colours, double x, double y, double width,
                           double height)
{
    // Clamped before the conversion, so that a stamp far off the picture
    // samples its nearest edge.
    auto pixel = [](double v, int size) { return int(std::floor(std::clamp(v, 0.0, size - 0.5))); };
    const int column = pixel(x + 0.5 * width, colours.width());
    const int upRow = pixel(y + 0.5 * height, colours.height());
    return colours.medianAround(column, colours.height() - 1 - upRow);
}

QRect applyCoverage(const AlphaPlane& mask, const ColourCoverage& coverage, std::uint8_t alpha)
{
    const QImage& plane = coverage.plane;
    if (plane.width() != mask.width || plane.height() != mask.height ||
        plane.format() != QImage::Format_Alpha8)
        return {};
    const QRect area = coverage.bounds & QRect(0, 0, mask.width, mask.height);
    if (area.isEmpty())
        return {};
    const std::uint32_t a = alpha;
    const QImage& kept = coverage.kept;
    const bool keeps = kept.size() == plane.size() && kept.format() == QImage::Format_Alpha8;
    ParallelFor::run(area.height(), 128, [&](int begin, int end) {
        for (int r = area.top() + begin; r < area.top() + end; ++r) {
            const std::uint8_t* in = plane.constScanLine(r) + area.left();
            std::uint8_t* out = mask.row(r) + area.left();
            if (keeps) {
                const std::uint8_t* keep = kept.constScanLine(r) + area.left();
                for (int c = 0; c < area.width(); ++c) {
                    const std::uint32_t k = keep[c];
                    out[c] = std::uint8_t(div255(255 * k + out[c] * (255 - k)));
                }
            }
            for (int c = 0; c < area.width(); ++c) {
                const std::uint32_t cov = in[c];
                out[c] = std::uint8_t(div255(a * cov + out[c] * (255 - cov)));
            }
        }
    });
    return area;
}
