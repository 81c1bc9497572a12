#include "imaging/ColourCache.h"

#include "platform/ParallelFor.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// sRGB primaries to XYZ, each row divided by the D65 white's component, so
// that every row sums to 1 and white maps to t = (1, 1, 1).
constexpr float toX[3] = {0.4124564f / 0.95047f, 0.3575761f / 0.95047f, 0.1804375f / 0.95047f};
constexpr float toY[3] = {0.2126729f, 0.7151522f, 0.0721750f};
constexpr float toZ[3] = {0.0193339f / 1.08883f, 0.1191920f / 1.08883f, 0.9503041f / 1.08883f};

double labF(double t)
{
    constexpr double delta = 6.0 / 29.0;
    return t > delta * delta * delta ? std::cbrt(t) : t / (3 * delta * delta) + 4.0 / 29.0;
}

double labFInverse(double f)
{
    constexpr double delta = 6.0 / 29.0;
    return f > delta ? f * f * f : 3 * delta * delta * (f - 4.0 / 29.0);
}

double linearFromSrgb(double c)
{
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double srgbFromLinear(double c)
{
    return c <= 0.0031308 ? c * 12.92 : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
}

struct Tables {
    static constexpr int fSteps = 4096;
    std::array<float, 256> linear;
    // f(t) at t = i / fSteps, one extra entry for interpolating at t = 1.
    std::array<float, fSteps + 2> f;

    Tables()
    {
        for (int i = 0; i < 256; ++i)
            linear[i] = float(linearFromSrgb(i / 255.0));
        for (int i = 0; i < fSteps + 2; ++i)
            f[i] = float(labF(double(i) / fSteps));
    }

    // Linear interpolation between table entries: within 1e-5 of f, a
    // thousandth of a unit of L at worst.
    float lookupF(float t) const
    {
        const float u = std::clamp(t, 0.0f, 1.0f) * fSteps;
        const int i = int(u);
        const float w = u - float(i);
        return f[i] + (f[i + 1] - f[i]) * w;
    }

    LabColour lab(float r, float g, float b) const
    {
        const float fx = lookupF(toX[0] * r + toX[1] * g + toX[2] * b);
        const float fy = lookupF(toY[0] * r + toY[1] * g + toY[2] * b);
        const float fz = lookupF(toZ[0] * r + toZ[1] * g + toZ[2] * b);
        constexpr float s = LabColour::scale;
        // Rounded half away from zero, as lround would, without its call.
        auto round = [](float v) { return std::int16_t(v + (v < 0 ? -0.5f : 0.5f)); };
        return {round((116 * fy - 16) * s), round(500 * (fx - fy) * s), round(200 * (fy - fz) * s)};
    }
};

const Tables& tables()
{
    static const Tables t;
    return t;
}

// The source pixels each output column (or row) covers, with the share of
// the output pixel's area each one holds.
struct Taps {
    int perOutput = 0;
    std::vector<int> first;
    std::vector<int> count;
    std::vector<float> weight; // perOutput per output

    Taps(int outputs, int inputs, double inputPerOutput)
        : perOutput(int(std::ceil(inputPerOutput)) + 1), first(outputs), count(outputs),
          weight(std::size_t(outputs) * perOutput, 0.0f)
    {
        for (int o = 0; o < outputs; ++o) {
            const double from = std::min(o * inputPerOutput, double(inputs - 1));
            const double to = std::clamp((o + 1) * inputPerOutput, from, double(inputs));
            const int begin = int(std::floor(from));
            const int end = std::max(begin + 1, std::min(inputs, int(std::ceil(to))));
            first[o] = begin;
            count[o] = std::min(end - begin, perOutput);
            const double span = to - from;
            for (int j = 0; j < count[o]; ++j) {
                const double overlap = span > 0 ? std::min(to, double(begin + j + 1)) -
                                                      std::max(from, double(begin + j))
                                                : 1.0;
                weight[std::size_t(o) * perOutput + j] =
                    float(span > 0 ? std::max(0.0, overlap) / span : 1.0);
            }
        }
    }
};

enum class Pixels { Opaque, Straight, Premultiplied };

// One source row reduced horizontally: per output column, the weighted sums
// of alpha times linear red, green and blue, and of alpha.
template <Pixels kind> void reduceRow(const QRgb* source, const Taps& taps, float* out)
{
    const auto& linear = tables().linear;
    const int columns = int(taps.first.size());
    for (int o = 0; o < columns; ++o) {
        const QRgb* p = source + taps.first[o];
        const float* w = taps.weight.data() + std::size_t(o) * taps.perOutput;
        float r = 0, g = 0, b = 0, a = 0;
        for (int j = 0, n = taps.count[o]; j < n; ++j) {
            const QRgb c = p[j];
            const int alpha = kind == Pixels::Opaque ? 255 : qAlpha(c);
            if (alpha == 255) {
                r += w[j] * linear[qRed(c)];
                g += w[j] * linear[qGreen(c)];
                b += w[j] * linear[qBlue(c)];
                a += w[j];
            } else if (alpha > 0) {
                auto straight = [&](int v) {
                    return kind == Pixels::Premultiplied
                               ? std::min(255, (v * 255 + alpha / 2) / alpha)
                               : v;
                };
                const float wa = w[j] * float(alpha) * (1.0f / 255);
                r += wa * linear[straight(qRed(c))];
                g += wa * linear[straight(qGreen(c))];
                b += wa * linear[straight(qBlue(c))];
                a += wa;
            }
        }
        out[4 * o + 0] = r;
        out[4 * o + 1] = g;
        out[4 * o + 2] = b;
        out[4 * o + 3] = a;
    }
}

} // namespace

LabColour LabColour::fromRgb(QRgb rgb)
{
    // The cache's own conversion, so that an opaque picture at the mask's
    // size holds exactly these values.
    const Tables& t = tables();
    return t.lab(t.linear[qRed(rgb)], t.linear[qGreen(rgb)], t.linear[qBlue(rgb)]);
}

QRgb LabColour::toRgb() const
{
    const double fy = (L / double(scale) + 16) / 116;
    const double x = labFInverse(fy + a / double(scale) / 500) * 0.95047;
    const double y = labFInverse(fy);
    const double z = labFInverse(fy - b / double(scale) / 200) * 1.08883;
    auto channel = [](double c) {
        return int(
            std::lround(std::clamp(srgbFromLinear(std::clamp(c, 0.0, 1.0)), 0.0, 1.0) * 255));
    };
    return qRgb(channel(3.2404542 * x - 1.5371385 * y - 0.4985314 * z),
                channel(-0.9692660 * x + 1.8760108 * y + 0.0415560 * z),
                channel(0.0556434 * x - 0.2040259 * y + 1.0572252 * z));
}

namespace ColourDistance {

int between(LabColour x, LabColour y)
{
    const double dL = x.L - y.L, da = x.a - y.a, db = x.b - y.b;
    return int(std::min<double>(maxDistance, std::lround(std::sqrt(dL * dL + da * da + db * db))));
}

int forTolerance(double tolerance)
{
    return int(std::lround(std::clamp(tolerance, 0.0, 100.0) * LabColour::scale));
}

} // namespace ColourDistance

ColourRamp ColourRamp::forRegion(double tolerance, double softness)
{
    const int inner = ColourDistance::forTolerance(tolerance);
    const double widening = 0.25 + 0.75 * std::clamp(softness, 0.0, 1.0);
    return {inner, int(std::lround(inner * (1 + widening)))};
}

ColourRamp ColourRamp::forBrush(double tolerance)
{
    const int inner = ColourDistance::forTolerance(tolerance);
    return {inner, int(std::lround(inner * 1.25))};
}

std::uint8_t ColourRamp::coverage(int distance) const
{
    if (distance <= inner)
        return 255;
    if (distance >= outer)
        return 0;
    return std::uint8_t((std::int64_t(outer - distance) * 255 + (outer - inner) / 2) /
                        (outer - inner));
}

ColourCache::ColourCache(int width, int height)
    : m_width(width), m_height(height), m_L(std::size_t(width) * height), m_a(m_L.size()),
      m_b(m_L.size())
{
}

std::shared_ptr<const ColourCache> ColourCache::build(const QImage& picture, QSize size,
                                                      const std::atomic<bool>* cancelled)
{
    if (picture.isNull() || size.isEmpty())
        return nullptr;
    QImage source = picture;
    Pixels kind = Pixels::Premultiplied;
    switch (picture.format()) {
    case QImage::Format_RGB32:
        kind = Pixels::Opaque;
        break;
    case QImage::Format_ARGB32:
        kind = Pixels::Straight;
        break;
    case QImage::Format_ARGB32_Premultiplied:
        break;
    default:
        // Rare here (the readers hand over 32-bit pictures): one more pass.
        source = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        break;
    }

    // The mask is the picture scaled uniformly and truncated, so the side
    // that lost less to the truncation gives the scale.
    const int sourceWidth = source.width(), sourceHeight = source.height();
    const double scale =
        std::max(double(size.width()) / sourceWidth, double(size.height()) / sourceHeight);
    const Taps columns(size.width(), sourceWidth, 1 / scale);
    const Taps rows(size.height(), sourceHeight, 1 / scale);

    std::shared_ptr<ColourCache> cache(new ColourCache(size.width(), size.height()));
    const Tables& t = tables();
    const int width = size.width();
    constexpr int rowsPerJob = 16;
    const int jobs = (size.height() + rowsPerJob - 1) / rowsPerJob;
    // Low priority, as the blur: it is made while the first frames are painted.
    ParallelFor::runLowPriority(jobs, [&](int job) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            return;
        std::vector<float> reduced(std::size_t(width) * 4), sum(std::size_t(width) * 4);
        int reducedRow = -1; // the source row `reduced` holds
        const int end = std::min(size.height(), (job + 1) * rowsPerJob);
        for (int y = job * rowsPerJob; y < end; ++y) {
            std::fill(sum.begin(), sum.end(), 0.0f);
            const float* wy = rows.weight.data() + std::size_t(y) * rows.perOutput;
            for (int j = 0; j < rows.count[y]; ++j) {
                const int sy = rows.first[y] + j;
                if (sy != reducedRow) {
                    const auto* line = reinterpret_cast<const QRgb*>(source.constScanLine(sy));
                    switch (kind) {
                    case Pixels::Opaque:
                        reduceRow<Pixels::Opaque>(line, columns, reduced.data());
                        break;
                    case Pixels::Straight:
                        reduceRow<Pixels::Straight>(line, columns, reduced.data());
                        break;
                    case Pixels::Premultiplied:
                        reduceRow<Pixels::Premultiplied>(line, columns, reduced.data());
                        break;
                    }
                    reducedRow = sy;
                }
                for (std::size_t i = 0; i < sum.size(); ++i)
                    sum[i] += wy[j] * reduced[i];
            }
            const std::size_t at = std::size_t(y) * width;
            for (int x = 0; x < width; ++x) {
                const float* s = sum.data() + 4 * x;
                const float alpha = s[3];
                // Opaque areas sum to 1 but for rounding: no division there.
                const float k = alpha > 0.999f ? 1.0f : alpha > 0 ? 1 / alpha : 0.0f;
                const LabColour c = t.lab(s[0] * k, s[1] * k, s[2] * k);
                cache->m_L[at + x] = c.L;
                cache->m_a[at + x] = c.a;
                cache->m_b[at + x] = c.b;
            }
        }
    });
    if (cancelled && cancelled->load())
        return nullptr;
    return cache;
}

LabColour ColourCache::medianAround(int x, int y, int radius) const
{
    x = std::clamp(x, 0, m_width - 1);
    y = std::clamp(y, 0, m_height - 1);
    std::vector<std::int16_t> L, a, b;
    for (int j = std::max(0, y - radius); j <= std::min(m_height - 1, y + radius); ++j) {
        for (int i = std::max(0, x - radius); i <= std::min(m_width - 1, x + radius); ++i) {
            const LabColour c = at(i, j);
            L.push_back(c.L);
            a.push_back(c.a);
            b.push_back(c.b);
        }
    }
    auto median = [](std::vector<std::int16_t>& v) {
        auto mid = v.begin() + v.size() / 2;
        std::nth_element(v.begin(), mid, v.end());
        return *mid;
    };
    return {median(L), median(a), median(b)};
}
