#include "Bench.h"
#include "canvas/CanvasLayer.h"
#include "canvas/ZRImageCutView.h"
#include "imaging/DiscBlur.h"
#include "imaging/Picture.h"
#include "platform/MainThread.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QProcess>
#include <QProcessEnvironment>
#include <QWheelEvent>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>

namespace {

std::unique_ptr<ZRImageCutView> loadedCanvas(int width, int height, QSize canvasSize = {1920, 1080})
{
    auto view = std::make_unique<ZRImageCutView>();
    view->resize(canvasSize);
    view->setImage(Picture::fromImage(bench::photo(width, height)));
    view->waitUntilIdle();
    return view;
}

// `count` stamps `size` picture points wide scattered over a picture.
void scatter(ZRImageCutView& view, int count, double size, std::uint32_t seed,
             QSize picture = {2000, 2000})
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> x(-size / 2, picture.width() - size / 2);
    std::uniform_real_distribution<double> y(-size / 2, picture.height() - size / 2);
    for (int i = 0; i < count; ++i)
        view.eventBuffer().append({x(rng), y(rng), size, size});
}

// Drains of 1000 stamps of the largest brush (200 points): on a 2000 x 2000
// picture they are 200 mask pixels wide, on a 6000 x 4000 one 67.
void drainCase(bench::Context& ctx, float hardness, QSize picture = {2000, 2000})
{
    auto view = loadedCanvas(picture.width(), picture.height());
    view->setBrushHardness(hardness);
    std::uint32_t seed = 1;
    for (int run = 0; run < 6; ++run) {
        view->setBrushAlphaValue(run % 2 ? 1.0f : 0.0f);
        scatter(*view, 1000, 200, seed++, picture);
        QElapsedTimer timer;
        timer.start();
        view->updateMap();
        view->waitUntilIdle();
        if (run > 0)
            ctx.record(timer.nsecsElapsed() / 1e6);
    }
}

} // namespace

VELTRANE_BENCH(drain_soft_200px)
{
    drainCase(ctx, 0.5f);
}

VELTRANE_BENCH(drain_soft_24mp)
{
    drainCase(ctx, 0.5f, {6000, 4000});
}

VELTRANE_BENCH(drain_hard_200px)
{
    drainCase(ctx, 1.0f);
}

VELTRANE_BENCH(stamp_to_publish_2000)
{
    auto view = loadedCanvas(2000, 2000);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> where(0, 1960);
    for (int run = 0; run < 30; ++run) {
        const QImage before = view->currentMask();
        QElapsedTimer timer;
        timer.start();
        view->eventBuffer().append({where(rng), where(rng), 40, 40});
        view->updateMap();
        while (view->currentMask().constBits() == before.constBits())
            std::this_thread::yield();
        ctx.record(timer.nsecsElapsed() / 1e6);
        view->waitUntilIdle();
    }
}

namespace {
// A 2000 x 2000 canvas holding `count` soft strokes of 40 stamps each, every
// stroke one history state.
std::unique_ptr<ZRImageCutView> canvasWithSoftStrokes(int count, std::uint32_t seed)
{
    auto view = loadedCanvas(2000, 2000);
    view->setBrushHardness(0.5f);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> where(0, 1800);
    for (int s = 0; s < count; ++s) {
        const double x0 = where(rng), y0 = where(rng);
        for (int i = 0; i < 40; ++i)
            view->eventBuffer().append({x0 + i * 4, y0 + i * 3, 120, 120});
        view->eventBuffer().append({0, 0, -1, -1});
        view->updateMap();
    }
    view->waitUntilIdle();
    return view;
}
} // namespace

VELTRANE_BENCH(snapshot_write_2000)
{
    auto view = canvasWithSoftStrokes(30, 5);
    for (int run = 0; run < 9; ++run) {
        QElapsedTimer timer;
        timer.start();
        view->eventBuffer().append({0, 0, -1, -1});
        view->updateMap();
        view->waitUntilIdle();
        ctx.record(timer.nsecsElapsed() / 1e6);
    }
}

VELTRANE_BENCH(undo_2000)
{
    auto view = canvasWithSoftStrokes(12, 9);
    for (int run = 0; run < 10; ++run) {
        QElapsedTimer timer;
        timer.start();
        view->prevHistoryState();
        view->waitUntilIdle();
        ctx.record(timer.nsecsElapsed() / 1e6);
    }
}

VELTRANE_BENCH(blur_6mp)
{
    const FilterImage source(bench::photo(3000, 2000), QPoint(0, 0));
    ctx.measure([&] { DiscBlur::blur(source, 25, source.extent()); }, 5);
}

VELTRANE_BENCH(blur_24mp)
{
    const FilterImage source(bench::photo(6000, 4000), QPoint(0, 0));
    ctx.measure([&] { DiscBlur::blur(source, 50, source.extent()); }, 3);
}

namespace {
void frameCase(bench::Context& ctx, bool zoomToOne,
               Compositor::ViewMode mode = Compositor::ViewMode::CutOut)
{
    auto view = loadedCanvas(6000, 4000);
    view->setViewMode(mode);
    view->setBrushAlphaValue(0);
    for (int i = 0; i < 300; ++i)
        view->eventBuffer().append({1000.0 + i * 10, 1500.0 + i * 3, 300, 300});
    view->eventBuffer().append({0, 0, -1, -1});
    view->updateMap();
    view->show();
    view->waitUntilIdle();
    if (zoomToOne) {
        view->imageLayer()->setTransform({1, 960, 540});
        view->bluredLayer()->setTransform({1, 960, 540});
    }
    QApplication::processEvents();
    ctx.measure([&] { view->repaint(); }, 15);
}
} // namespace

VELTRANE_BENCH(frame_fit_24mp)
{
    frameCase(ctx, false);
}

VELTRANE_BENCH(frame_fit_24mp_overlay)
{
    frameCase(ctx, false, Compositor::ViewMode::Overlay);
}

VELTRANE_BENCH(frame_fit_24mp_mask)
{
    frameCase(ctx, false, Compositor::ViewMode::Mask);
}

// The same frame on a screen at a device pixel ratio of 2: 3840 x 2160 device
// pixels. A screen's ratio is fixed when the application starts, so the case
// runs in a bench process of its own started with QT_SCALE_FACTOR=2.
VELTRANE_BENCH(frame_fit_24mp_2x)
{
    if (qApp->devicePixelRatio() == 2) {
        frameCase(ctx, false);
        return;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("frame_fit_24mp_2x")});
    if (!child.waitForFinished(600000))
        return;
    for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2 && parts[0] == "frame_fit_24mp_2x")
            ctx.record(parts[1].toDouble());
    }
}

VELTRANE_BENCH(frame_zoom1_24mp)
{
    frameCase(ctx, true);
}

VELTRANE_BENCH(result_24mp)
{
    auto view = loadedCanvas(6000, 4000);
    view->setBrushAlphaValue(0);
    for (int i = 0; i < 200; ++i)
        view->eventBuffer().append({500.0 + i * 20, 800.0 + i * 5, 400, 400});
    view->eventBuffer().append({0, 0, -1, -1});
    view->updateMap();
    view->setBlurOn(true);
    view->waitUntilIdle();
    ctx.measure([&] { view->getResult(); }, 7);
}

namespace {

void sendMouse(ZRImageCutView& view, QEvent::Type type, QPointF pos)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, pos, pos, view.mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&view, &event);
}

} // namespace

// A burst of 1000 drag events (press, moves, release) of a 40-point brush
// across a 2000 x 2000 picture shown at zoom 1, from the press until the
// mask that holds the last stamp is published. Each event's handler is timed
// on its own as well: the main thread must stay free for the next event.
VELTRANE_BENCH(stroke_events_2000)
{
    auto view = loadedCanvas(2000, 2000, QSize(2200, 600));
    view->show();
    view->imageLayer()->setTransform({1, 1100, 300});
    view->bluredLayer()->setTransform({1, 1100, 300});
    view->setImageFit(false);
    view->setBrushDiameter(40);
    view->setBrushAlphaValue(0);
    QApplication::processEvents();
    double worstHandler = 0;
    const int events = 1000;
    for (int run = 0; run < 8; ++run) {
        const double y = 80 + run * 60; // widget rows, a fresh band of the mask each run
        const double x0 = 120, x1 = 2080;
        // Only the last stamp reaches 19 points beyond the stroke's end: its
        // predecessor is about 2 points behind it.
        // Picture x = widget x - 100; mask rows run from the top, widget row y
        // is mask row 700 + y.
        const int probeX = int(x1 - 100 + 19), probeRow = int(700 + y);
        if (view->currentMask().constScanLine(probeRow)[probeX] != 255) {
            std::fprintf(stderr, "stroke_events_2000: the probe is not on a fresh band\n");
            return;
        }
        QElapsedTimer total;
        total.start();
        for (int i = 0; i < events; ++i) {
            const QEvent::Type type = i == 0 ? QEvent::MouseButtonPress
                                      : i == events - 1 ? QEvent::MouseButtonRelease
                                                        : QEvent::MouseMove;
            const QPointF pos(x0 + (x1 - x0) * i / (events - 1), y);
            QElapsedTimer handler;
            handler.start();
            sendMouse(*view, type, pos);
            if (run > 0)
                worstHandler = std::max(worstHandler, handler.nsecsElapsed() / 1e6);
        }
        for (;;) {
            const QImage mask = view->currentMask();
            if (mask.constScanLine(probeRow)[probeX] < 128)
                break;
            std::this_thread::yield();
        }
        if (run > 0)
            ctx.record(total.nsecsElapsed() / 1e6);
        view->waitUntilIdle();
        QApplication::processEvents();
    }
    ctx.report("stroke_events_2000_worst_handler_ms", worstHandler);
}

// One wheel step of a deltaY of 1 (24 angle units, a fifth of a notch: the
// scales the figure has always visited) on a 6000 x 4000 picture, from the
// event to the end of the paint that follows it.
VELTRANE_BENCH(zoom_frame_24mp)
{
    auto view = loadedCanvas(6000, 4000);
    view->show();
    view->waitUntilIdle();
    QApplication::processEvents();
    const QPointF pointer(700, 400);
    for (int step = 0; step < 24; ++step) {
        // In for the first half, out again for the second: the scales visited
        // run from the fit to about 1.25 times it and back.
        const int notches = step < 12 ? 1 : -1;
        QElapsedTimer timer;
        timer.start();
        QWheelEvent event(pointer, view->mapToGlobal(pointer), QPoint(), QPoint(0, notches * 24),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view.get(), &event);
        view->repaint();
        if (step > 0)
            ctx.record(timer.nsecsElapsed() / 1e6);
        QApplication::processEvents();
    }
}

// The first frames after loading a 6000 x 4000 picture, while its blurred
// copy is still being made in the background: painting must not wait for it.
VELTRANE_BENCH(paint_while_blurring_24mp)
{
    auto view = std::make_unique<ZRImageCutView>();
    view->resize(1920, 1080);
    view->show();
    QApplication::processEvents();
    const Picture picture = Picture::fromImage(bench::photo(6000, 4000));
    for (int run = 0; run < 4; ++run) {
        view->setImage(picture);
        for (int frame = 0; frame < 5; ++frame) {
            QElapsedTimer timer;
            timer.start();
            view->repaint();
            ctx.record(timer.nsecsElapsed() / 1e6);
        }
        view->waitUntilIdle();
    }
    double worst = 0;
    for (double v : ctx.samples)
        worst = std::max(worst, v);
    ctx.report("paint_while_blurring_24mp_worst_ms", worst);
}
