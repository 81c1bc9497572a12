#include "Bench.h"
#include "canvas/BrushStamp.h"
#include "canvas/ColourStampDrawing.h"
#include "imaging/ColourCache.h"
#include "imaging/ColourRegion.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

std::shared_ptr<const ColourCache> busyColours()
{
    static const auto colours = ColourCache::build(bench::photo(2000, 1333), {2000, 1333});
    return colours;
}

double share(const ColourCoverage& coverage)
{
    const QImage& plane = coverage.plane;
    double sum = 0;
    for (int y = 0; y < plane.height(); ++y)
        for (int x = 0; x < plane.width(); ++x)
            sum += plane.constScanLine(y)[x];
    return sum / 255 / (double(plane.width()) * plane.height());
}

double milliseconds(const QElapsedTimer& timer)
{
    return timer.nsecsElapsed() / 1e6;
}

// A seed in the picture's gradients, away from its shapes.
constexpr QPoint seed(400, 900);

} // namespace

// The cache built when a picture opens: a 6000 x 4000 picture to its mask's
// 2000 x 1333.
VELTRANE_BENCH(colour_cache_6000)
{
    const QImage& picture = bench::photo(6000, 4000);
    ctx.measure([&] { ColourCache::build(picture, {2000, 1333}); }, 5);
}

// A press: distances, the flood as far as the default tolerance needs, and
// the coverage plane. Then a drag: every tolerance change's re-threshold.
VELTRANE_BENCH(colour_region_2000)
{
    const auto colours = busyColours();
    ColourRegion region;
    ColourCoverage coverage;
    ctx.measure([&] {
        region.start(colours, seed, ColourRegion::Extent::Contiguous);
        coverage = region.coverage(32, 0);
    });
    ctx.report("colour_region_2000_share_taken", share(coverage));

    // A drag up to 60 and back down to 5, one tolerance step per move, the
    // flood reaching ahead after each.
    constexpr int ahead = 250000;
    std::vector<double> steps;
    double worst = 0;
    for (int run = 0; run < 3; ++run) {
        region.start(colours, seed, ColourRegion::Extent::Contiguous);
        region.coverage(32, 0);
        std::vector<int> tolerances;
        for (int t = 33; t <= 60; ++t)
            tolerances.push_back(t);
        for (int t = 59; t >= 5; --t)
            tolerances.push_back(t);
        for (int t : tolerances) {
            QElapsedTimer timer;
            timer.start();
            region.coverage(t, 0);
            region.reachAhead(ahead);
            steps.push_back(milliseconds(timer));
        }
        // The largest jump a drag can make, to 100 at once, at its end.
        QElapsedTimer timer;
        timer.start();
        coverage = region.coverage(100, 0);
        worst = std::max(worst, milliseconds(timer));
    }
    // The same jump straight after the press, before the flood got ahead:
    // the whole flood at once.
    double unprepared = 1e9;
    for (int run = 0; run < 3; ++run) {
        region.start(colours, seed, ColourRegion::Extent::Contiguous);
        region.coverage(32, 0);
        QElapsedTimer timer;
        timer.start();
        region.coverage(100, 0);
        unprepared = std::min(unprepared, milliseconds(timer));
    }
    std::sort(steps.begin(), steps.end());
    ctx.report("colour_region_2000_retolerance_median", steps[steps.size() / 2]);
    ctx.report("colour_region_2000_retolerance_max", steps.back());
    ctx.report("colour_region_2000_jump_to_100", worst);
    ctx.report("colour_region_2000_jump_to_100_after_press", unprepared);
    ctx.report("colour_region_2000_share_taken_at_100", share(coverage));
}

VELTRANE_BENCH(colour_global_2000)
{
    const auto colours = busyColours();
    ColourRegion region;
    ColourCoverage coverage;
    ctx.measure([&] {
        region.start(colours, seed, ColourRegion::Extent::Global);
        coverage = region.coverage(32, 0);
    });
    ctx.report("colour_global_2000_share_taken", share(coverage));
    std::vector<double> steps;
    for (int t = 5; t <= 60; ++t) {
        QElapsedTimer timer;
        timer.start();
        region.coverage(t, 0);
        steps.push_back(milliseconds(timer));
    }
    std::sort(steps.begin(), steps.end());
    ctx.report("colour_global_2000_retolerance_max", steps.back());
}

// 2000 background-brush stamps 100 mask pixels wide at the drain's spacing
// for hardness 1 (1/24 of the width), sampling under every stamp, drawn on
// one thread as the drain draws a batch; the plain brush alongside.
VELTRANE_BENCH(colour_stamp_100px)
{
    const auto colours = busyColours();
    std::vector<std::uint8_t> pixels(std::size_t(2000) * 1333, 255);
    const AlphaPlane mask{pixels.data(), 2000, 1333, 2000};
    const auto soft = BrushStamp::make(0.5f, 1);
    // A zigzag over the picture.
    std::vector<QPointF> centres;
    const double step = 100.0 / 24;
    for (int i = 0; i < 2000; ++i) {
        const double along = i * step;
        const double x = 100 + std::fmod(along, 1800);
        const double lane = std::floor(along / 1800);
        centres.emplace_back(x, 150 + lane * 120 + 40 * std::sin(along / 90));
    }
    auto stroke = [&](const BrushStamp* stamp, bool coloured) {
        for (const QPointF& c : centres) {
            const double x = c.x() - 50, y = c.y() - 50;
            if (coloured) {
                ColourStampColours reach;
                reach.sample = colourUnderStamp(*colours, x, y, 100, 100);
                drawColourStamp(mask, *colours, stamp, x, y, 100, 100, 0, reach);
            } else {
                drawStamp(mask, stamp, x, y, 100, 100, 0);
            }
        }
    };
    ctx.measure([&] { stroke(nullptr, true); }, 5);
    auto perStamp = [&](const BrushStamp* stamp, bool coloured) {
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            QElapsedTimer timer;
            timer.start();
            stroke(stamp, coloured);
            best = std::min(best, milliseconds(timer));
        }
        return best * 1000 / 2000;
    };
    ctx.report("colour_stamp_100px_hard_us_per_stamp", perStamp(nullptr, true));
    ctx.report("colour_stamp_100px_soft_us_per_stamp", perStamp(soft.get(), true));
    ctx.report("plain_stamp_100px_hard_us_per_stamp", perStamp(nullptr, false));
    ctx.report("plain_stamp_100px_soft_us_per_stamp", perStamp(soft.get(), false));
}
