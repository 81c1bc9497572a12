#include "Bench.h"

#include "canvas/Compositor.h"
#include "canvas/EdgeRefine.h"
#include "platform/ParallelFor.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

// The refined edge against a known truth: a synthetic 6000 x 4000 composite
// of a textured foreground (a wavy blob with hard edges, a soft zone on one
// side and some hundreds of strands one to three pixels wide) over a detailed
// background, with its exact alpha. The user's mask is that alpha averaged
// over the mask's pixels.
namespace {

constexpr int kWidth = 6000, kHeight = 4000;

inline std::uint32_t hash(std::uint32_t x, std::uint32_t y, std::uint32_t seed)
{
    std::uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return h;
}

inline float unit(std::uint32_t h)
{
    return float(h >> 8) * (1.0f / 16777216.0f);
}

// Smooth value noise in [0, 1) with features about `scale` pixels apart.
float noise(float x, float y, float scale, std::uint32_t seed)
{
    const float fx = x / scale, fy = y / scale;
    const int ix = int(std::floor(fx)), iy = int(std::floor(fy));
    float tx = fx - float(ix), ty = fy - float(iy);
    tx = tx * tx * (3 - 2 * tx);
    ty = ty * ty * (3 - 2 * ty);
    auto at = [&](int i, int j) {
        return unit(hash(std::uint32_t(i + 4096), std::uint32_t(j + 4096), seed));
    };
    const float top = at(ix, iy) + tx * (at(ix + 1, iy) - at(ix, iy));
    const float bottom = at(ix, iy + 1) + tx * (at(ix + 1, iy + 1) - at(ix, iy + 1));
    return top + ty * (bottom - top);
}

struct Rgb {
    float r, g, b;
};

// Foliage, stones and thin lines: every scale has detail.
Rgb background(int x, int y)
{
    const float fx = float(x), fy = float(y);
    const float n1 = noise(fx, fy, 180, 1), n2 = noise(fx, fy, 23, 2), n3 = noise(fx, fy, 5, 3);
    const float fine = unit(hash(std::uint32_t(x), std::uint32_t(y), 4)) - 0.5f;
    Rgb c{30 + 50 * n1 + 40 * n2 + 20 * n3 + 18 * fine,
          70 + 70 * noise(fx, fy, 150, 6) + 45 * n2 + 18 * fine,
          60 + 90 * n1 + 30 * n3 + 18 * fine};
    if (noise(fx, fy, 40, 5) > 0.68f) { // sunlit leaves
        c.r += 90;
        c.g += 80;
        c.b -= 20;
    }
    if ((x + 2 * y) % 97 < 2 || (3 * x - y + 100000) % 131 < 1) { // twigs
        c.r *= 0.4f;
        c.g *= 0.4f;
        c.b *= 0.4f;
    }
    return c;
}

// Fur: warm, blotchy, with dark spots and fine grain.
Rgb foreground(int x, int y)
{
    const float fx = float(x), fy = float(y);
    const float n1 = noise(fx, fy, 64, 7), n2 = noise(fx, fy, 9, 8);
    const float fine = unit(hash(std::uint32_t(x), std::uint32_t(y), 10)) - 0.5f;
    Rgb c{165 + 55 * n1 + 30 * n2 + 16 * fine, 105 + 45 * n1 + 25 * n2 + 16 * fine,
          55 + 30 * n2 + 16 * fine};
    if (noise(fx, fy, 30, 9) > 0.72f) {
        c.r *= 0.55f;
        c.g *= 0.55f;
        c.b *= 0.6f;
    }
    return c;
}

inline float clampByte(float v)
{
    return std::clamp(std::round(v), 0.0f, 255.0f);
}

// The blob: a wavy disc, hard-edged but for a soft sector on its right.
constexpr double kCx = 3000, kCy = 2400, kRadius = 1300;

double blobAlpha(int x, int y)
{
    const double dx = x + 0.5 - kCx, dy = y + 0.5 - kCy;
    const double rho = std::hypot(dx, dy);
    const double t = std::atan2(dy, dx);
    const double r = kRadius * (1 + 0.07 * std::sin(3 * t + 0.5) + 0.04 * std::sin(7 * t + 1.3) +
                                0.015 * std::sin(23 * t));
    const double dr = kRadius * (0.21 * std::cos(3 * t + 0.5) + 0.28 * std::cos(7 * t + 1.3) +
                                 0.345 * std::cos(23 * t));
    const double distance =
        (rho - r) / std::sqrt(1 + (dr / std::max(rho, 1.0)) * (dr / std::max(rho, 1.0)));
    const double sector = std::abs(t - 0.2);
    const double soft = sector < 0.45 ? 0.5 * (1 + std::cos(std::numbers::pi * sector / 0.45)) : 0;
    const double width = 1 + 55 * soft;
    return std::clamp(0.5 - distance / width, 0.0, 1.0);
}

struct Scene {
    QImage picture;           // the composite, Format_RGB32
    std::vector<float> alpha; // true alpha
    // Truth over white, for pixels of alpha strictly between 0 and 1 (per row, by column).
    struct Partial {
        int x;
        Rgb white;
    };
    std::vector<std::vector<Partial>> partial;
    QImage mask; // true alpha averaged down to the mask's size
};

QImage averagedMask(const std::vector<float>& alpha, int width, int height, QSize maskSize)
{
    QImage mask(maskSize, QImage::Format_Alpha8);
    const double sx = double(width) / maskSize.width(), sy = double(height) / maskSize.height();
    ParallelFor::run(maskSize.height(), 32, [&](int begin, int end) {
        for (int j = begin; j < end; ++j) {
            uchar* out = mask.scanLine(j);
            const double y0 = j * sy, y1 = (j + 1) * sy;
            for (int i = 0; i < maskSize.width(); ++i) {
                const double x0 = i * sx, x1 = (i + 1) * sx;
                double sum = 0;
                for (int y = int(y0); y < std::min(height, int(std::ceil(y1))); ++y) {
                    const double wy = std::min(y1, y + 1.0) - std::max(y0, double(y));
                    for (int x = int(x0); x < std::min(width, int(std::ceil(x1))); ++x) {
                        const double wx = std::min(x1, x + 1.0) - std::max(x0, double(x));
                        sum += wx * wy * alpha[size_t(y) * size_t(width) + size_t(x)];
                    }
                }
                out[i] = uchar(std::lround(255 * sum / (sx * sy)));
            }
        }
    });
    return mask;
}

const Scene& scene()
{
    static const Scene made = [] {
        Scene s;
        const size_t n = size_t(kWidth) * kHeight;
        // Strands: rasterised one after another, each pixel keeping its
        // strongest coverage and that strand's colour.
        std::vector<float> strandAlpha(n, 0.0f);
        std::vector<std::uint16_t> strandOf(n, 0);
        std::vector<Rgb> strandColour(1);
        std::mt19937 rng(2024);
        std::uniform_real_distribution<double> u(0, 1);
        for (int k = 0; k < 260; ++k) {
            const double t = -std::numbers::pi + 0.35 + u(rng) * (std::numbers::pi - 0.7);
            const double r = kRadius * (1 + 0.07 * std::sin(3 * t + 0.5) +
                                        0.04 * std::sin(7 * t + 1.3) + 0.015 * std::sin(23 * t)) -
                             20;
            const double tilt = (u(rng) - 0.5) * 1.4;
            const double dirX = std::cos(t + tilt), dirY = std::sin(t + tilt);
            const double length = 120 + 530 * u(rng);
            const double amplitude = 3 + 27 * u(rng), wavelength = 80 + 220 * u(rng),
                         phase = 6.3 * u(rng);
            const double width = 1 + 2 * u(rng) * u(rng);
            const double shade = u(rng);
            strandColour.push_back(
                {float(110 + 110 * shade), float(65 + 95 * shade), float(30 + 60 * shade)});
            const std::uint16_t id = std::uint16_t(strandColour.size() - 1);
            const double reach = width / 2 + 0.5;
            for (double l = 0; l < length; l += 0.4) {
                const double wave =
                    amplitude * std::sin(2 * std::numbers::pi * l / wavelength + phase);
                const double px = kCx + r * std::cos(t) + l * dirX - wave * dirY;
                const double py = kCy + r * std::sin(t) + l * dirY + wave * dirX;
                for (int y = int(std::floor(py - reach)); y <= int(std::ceil(py + reach)); ++y)
                    for (int x = int(std::floor(px - reach)); x <= int(std::ceil(px + reach));
                         ++x) {
                        if (x < 0 || y < 0 || x >= kWidth || y >= kHeight)
                            continue;
                        const double d = std::hypot(x + 0.5 - px, y + 0.5 - py);
                        const float cover = float(std::clamp(reach - d, 0.0, 1.0));
                        const size_t at = size_t(y) * kWidth + size_t(x);
                        if (cover > strandAlpha[at]) {
                            strandAlpha[at] = cover;
                            strandOf[at] = id;
                        }
                    }
            }
        }
        s.picture = QImage(kWidth, kHeight, QImage::Format_RGB32);
        s.alpha.resize(n);
        s.partial.resize(kHeight);
        ParallelFor::run(kHeight, 16, [&](int begin, int end) {
            for (int y = begin; y < end; ++y) {
                auto* row = reinterpret_cast<std::uint32_t*>(s.picture.scanLine(y));
                for (int x = 0; x < kWidth; ++x) {
                    const size_t at = size_t(y) * kWidth + size_t(x);
                    const float ab = float(blobAlpha(x, y)), as = strandAlpha[at];
                    const Rgb bg = background(x, y), fg = foreground(x, y);
                    const Rgb sc = strandColour[strandOf[at]];
                    // Strand colours vary a little along their length.
                    const float grain = 12 * (noise(float(x), float(y), 7, 11) - 0.5f);
                    const Rgb fb{clampByte(fg.r), clampByte(fg.g), clampByte(fg.b)};
                    const Rgb fs{clampByte(sc.r + grain), clampByte(sc.g + grain),
                                 clampByte(sc.b + grain)};
                    const Rgb b{clampByte(bg.r), clampByte(bg.g), clampByte(bg.b)};
                    auto mix = [&](float under, float blob, float strand) {
                        return as * strand + (1 - as) * (ab * blob + (1 - ab) * under);
                    };
                    const Rgb c{mix(b.r, fb.r, fs.r), mix(b.g, fb.g, fs.g), mix(b.b, fb.b, fs.b)};
                    row[x] = 0xff000000u | (std::uint32_t(clampByte(c.r)) << 16) |
                             (std::uint32_t(clampByte(c.g)) << 8) | std::uint32_t(clampByte(c.b));
                    const float alpha = 1 - (1 - as) * (1 - ab);
                    s.alpha[at] = alpha;
                    if (alpha > 0 && alpha < 1)
                        s.partial[size_t(y)].push_back(
                            {x,
                             {mix(255, fb.r, fs.r), mix(255, fb.g, fs.g), mix(255, fb.b, fs.b)}});
                }
            }
        });
        s.mask = averagedMask(s.alpha, kWidth, kHeight, QSize(2000, 1333));
        return s;
    }();
    return made;
}

struct Scores {
    double sad = 0;    // sum of |alpha - true alpha|, alpha in 0..1
    double colour = 0; // mean |RGB difference| over white where true alpha > 0, weighted by it
};

Scores score(const QImage& out, const Scene& s)
{
    const int chunks = 64;
    std::vector<double> sad(chunks), colour(chunks), weight(chunks);
    ParallelFor::run(chunks, [&](int c) {
        for (int y = c * kHeight / chunks; y < (c + 1) * kHeight / chunks; ++y) {
            const auto* row = reinterpret_cast<const std::uint32_t*>(out.constScanLine(y));
            const auto* picture =
                reinterpret_cast<const std::uint32_t*>(s.picture.constScanLine(y));
            auto partial = s.partial[size_t(y)].begin();
            for (int x = 0; x < kWidth; ++x) {
                const float truth = s.alpha[size_t(y) * kWidth + size_t(x)];
                const std::uint32_t p = row[x];
                const float a = float(p >> 24) / 255.0f;
                sad[size_t(c)] += std::abs(a - truth);
                if (truth <= 0)
                    continue;
                Rgb white;
                if (truth >= 1) {
                    const std::uint32_t q = picture[x];
                    white = {float((q >> 16) & 0xff), float((q >> 8) & 0xff), float(q & 0xff)};
                } else {
                    while (partial->x != x)
                        ++partial;
                    white = partial->white;
                }
                auto over = [&](int shift) {
                    return a * float((p >> shift) & 0xff) + (1 - a) * 255;
                };
                colour[size_t(c)] += truth *
                                     (std::abs(over(16) - white.r) + std::abs(over(8) - white.g) +
                                      std::abs(over(0) - white.b)) /
                                     3;
                weight[size_t(c)] += truth;
            }
        }
    });
    Scores total;
    double w = 0;
    for (int c = 0; c < chunks; ++c) {
        total.sad += sad[size_t(c)];
        total.colour += colour[size_t(c)];
        w += weight[size_t(c)];
    }
    total.colour /= w;
    return total;
}

} // namespace

// SAD of the saved alpha against the truth, stretched and refined, in
// thousands (alpha 0..1, all 24 million pixels), their ratio (lower is
// better), and the colour error of each over white. The case's own line,
// named apart from the ratio's, is the time of one refined result.
VELTRANE_BENCH(edge_sad_ratio_refine)
{
    const Scene& s = scene();
    const QSizeF size(kWidth, kHeight);
    const QImage stretched = Compositor::result(s.picture, {}, s.mask, size, size.toSize());
    QElapsedTimer timer;
    timer.start();
    const QImage refined = EdgeRefine::result(s.picture, {}, s.mask, size, size.toSize());
    ctx.record(timer.nsecsElapsed() / 1e6);
    const Scores before = score(stretched, s), after = score(refined, s);
    ctx.report("edge_sad_stretched_k", before.sad / 1000);
    ctx.report("edge_sad_refined_k", after.sad / 1000);
    ctx.report("edge_sad_ratio", after.sad / before.sad);
    ctx.report("edge_colour_error_stretched", before.colour);
    ctx.report("edge_colour_error_refined", after.colour);
    if (!qEnvironmentVariableIsEmpty("VELTRANE_EDGE_DUMP")) {
        const QRect crop(2300, 850, 900, 600);
        stretched.copy(crop).save(qEnvironmentVariable("VELTRANE_EDGE_DUMP") + "-stretched.png");
        refined.copy(crop).save(qEnvironmentVariable("VELTRANE_EDGE_DUMP") + "-refined.png");
        s.picture.copy(crop).save(qEnvironmentVariable("VELTRANE_EDGE_DUMP") + "-picture.png");
    }
}

// The whole saved result with refinement, for the same 24-megapixel picture:
// a long, busy edge (the blob's rim and every strand).
VELTRANE_BENCH(refine_24mp)
{
    const Scene& s = scene();
    const QSizeF size(kWidth, kHeight);
    ctx.measure([&] { EdgeRefine::result(s.picture, {}, s.mask, size, size.toSize()); }, 5);
    // For comparison: the stretched result alone, and how much of the
    // picture the stretched mask leaves partial.
    QImage stretched;
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer timer;
        timer.start();
        stretched = Compositor::result(s.picture, {}, s.mask, size, size.toSize());
        best = std::min(best, timer.nsecsElapsed() / 1e6);
    }
    ctx.report("refine_24mp_stretched_only_ms", best);
    qint64 partial = 0;
    for (int y = 0; y < kHeight; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(stretched.constScanLine(y));
        for (int x = 0; x < kWidth; ++x)
            partial += (row[x] >> 24) != 0 && (row[x] >> 24) != 255;
    }
    ctx.report("refine_24mp_partial_share", double(partial) / (double(kWidth) * kHeight));
}

// The visible part of a 1920 x 1080 view at 1:1 over the strands.
VELTRANE_BENCH(refine_view_1080)
{
    const Scene& s = scene();
    const QSizeF size(kWidth, kHeight);
    const QRect region(2000, 500, 1920, 1080);
    ctx.measure([&] { EdgeRefine::refineRegion(s.picture, s.mask, size, size.toSize(), region); },
                9);
}
