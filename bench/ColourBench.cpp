#include "Bench.h"
#include "canvas/BrushStamp.h"
#include "canvas/ColourStampDrawing.h"
#include "imaging/ColourCache.h"
#include "imaging/ColourRegion.h"

#include "canvas/CanvasLayer.h"
#include "canvas/ZRImageCutView.h"
#include "platform/SerialQueue.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>

#include <algorithm>
#include <cmath>
#include <thread>
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

// A 2000 x 1333 photo on a canvas at zoom 1, its colours made, with `tool`.
std::unique_ptr<ZRImageCutView> toolCanvas(CutTool tool)
{
    auto view = std::make_unique<ZRImageCutView>();
    view->resize(2200, 1500);
    view->setImage(Picture::fromImage(bench::photo(2000, 1333)));
    view->show();
    view->waitUntilIdle();
    view->imageLayer()->setTransform({1, 1100, 750});
    view->bluredLayer()->setTransform({1, 1100, 750});
    view->setImageFit(false);
    view->setTool(tool);
    QApplication::processEvents();
    return view;
}

void send(ZRImageCutView& view, QEvent::Type type, QPointF pos)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, pos, pos, view.mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&view, &event);
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

// The By colour tool on the canvas: from the press, through Qt's delivery, to
// the tinted overlay ready to paint; then each drag move's new tolerance to
// its overlay (the flood reaching ahead meanwhile, as between real moves).
VELTRANE_BENCH(colour_press_to_overlay_2000)
{
    auto view = toolCanvas(CutTool::Colour);
    ColourTool& tools = view->colourTool();
    const QPointF at(100 + seed.x(), 84 + seed.y()); // widget point over the seed
    std::vector<double> moves;
    for (int run = 0; run < 6; ++run) {
        QElapsedTimer timer;
        timer.start();
        send(*view, QEvent::MouseButtonPress, at);
        while (tools.overlayBounds().isEmpty())
            std::this_thread::sleep_for(std::chrono::microseconds(100)); // both cores free for the work
        ctx.record(milliseconds(timer));
        for (int step = 1; step <= 8; ++step) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::uint64_t made = tools.overlayCount();
            timer.restart();
            send(*view, QEvent::MouseMove, at + QPointF(12 * step, 12 * step));
            while (tools.overlayCount() == made)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            moves.push_back(milliseconds(timer));
        }
        send(*view, QEvent::MouseButtonRelease, at);
        view->waitUntilIdle();
        view->prevHistoryState();
        view->waitUntilIdle();
    }
    std::sort(moves.begin(), moves.end());
    ctx.report("colour_drag_step_2000_median_ms", moves[moves.size() / 2]);
    ctx.report("colour_drag_step_2000_worst_ms", moves.back());
}

// 2000 drag events of a 100-point background brush, continuous sampling,
// across a busy 2000 x 1333 photo at zoom 1, through Qt's delivery to the
// last stamp drawn; each handler timed on its own as well.
VELTRANE_BENCH(background_brush_events_2000)
{
    auto view = toolCanvas(CutTool::Background);
    view->setBrushDiameter(100);
    view->setBrushHardness(0.8f);
    double worstHandler = 0;
    const int events = 2000;
    for (int run = 0; run < 5; ++run) {
        const double y = 200 + run * 200;
        QElapsedTimer total;
        total.start();
        for (int i = 0; i < events; ++i) {
            const QEvent::Type type = i == 0 ? QEvent::MouseButtonPress
                                      : i == events - 1 ? QEvent::MouseButtonRelease
                                                        : QEvent::MouseMove;
            QElapsedTimer handler;
            handler.start();
            send(*view, type, QPointF(150 + 1900.0 * i / (events - 1), y + 80 * std::sin(i / 90.0)));
            worstHandler = std::max(worstHandler, milliseconds(handler));
        }
        view->serialQueue().waitUntilIdle();
        ctx.record(milliseconds(total));
        view->waitUntilIdle();
        QApplication::processEvents();
    }
    ctx.report("background_brush_events_2000_worst_handler_ms", worstHandler);
}
