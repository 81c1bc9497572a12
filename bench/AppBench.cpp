#include "Bench.h"
#include "app/ViewController.h"
#include "canvas/ZRImageCutView.h"
#include "imaging/JpegCodec.h"
#include "imaging/Picture.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

// From the save action's result to the file closed on disk, for a 6000 x 4000
// cut-out; the main thread must stay free meanwhile, which the worst gap
// between two turns of its event loop shows.
namespace {

// A smooth photograph's stand-in (a macro shot on a blurred background):
// broad soft gradients under a little sensor noise, no hard edges.
QImage smoothPhoto(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    std::uint32_t seed = 12345;
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = int((seed >> 24) % 5) - 2;
            const double u = double(x) / width, v = double(y) / height;
            const double d = std::hypot(u - 0.55, v - 0.45);
            const int r = int(90 + 110 * u * (1 - v) + 40 * std::cos(6 * d)) + noise;
            const int g = int(120 + 70 * v + 30 * std::sin(5 * u + 2 * v)) + noise;
            const int b = int(60 + 80 * d + 20 * std::cos(4 * v)) + noise;
            row[x] = qRgb(std::clamp(r, 0, 255), std::clamp(g, 0, 255), std::clamp(b, 0, 255));
        }
    }
    return image;
}

// A 24-megapixel picture in a view controller; `halfCut` cuts its left half
// away, else 200 scattered dabs.
std::unique_ptr<ViewController> cutController(bool halfCut, bool smooth = false)
{
    auto controller = std::make_unique<ViewController>();
    controller->resize(1280, 800);
    ZRImageCutView* canvas = controller->viCut();
    // The editor's setting looks for the subject as a picture opens: not while a save is timed.
    canvas->subjectTool().setFindsOnOpen(false);
    canvas->setImage(Picture::fromImage(smooth ? smoothPhoto(6000, 4000) : bench::photo(6000, 4000)));
    canvas->setBrushAlphaValue(0);
    if (halfCut) {
        canvas->setBrushHardness(1);
        for (int y = -2000; y < 6000; y += 400)
            canvas->eventBuffer().append({-3000, double(y), 6000, 6000});
    } else {
        for (int i = 0; i < 200; ++i)
            canvas->eventBuffer().append({500.0 + i * 20, 800.0 + i * 5, 400, 400});
    }
    canvas->eventBuffer().append({0, 0, -1, -1});
    canvas->updateMap();
    canvas->waitUntilIdle();
    return controller;
}

// Runs `start` and the event loop until `finished`; the time, and the
// longest the main thread went without turning its loop.
std::pair<double, double> timedOnMainThread(const std::function<void()>& start, const bool& finished)
{
    QElapsedTimer timer, gap;
    timer.start();
    start();
    double worst = timer.nsecsElapsed() / 1e6;
    gap.start();
    while (!finished) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        worst = std::max(worst, gap.nsecsElapsed() / 1e6);
        gap.restart();
    }
    return {timer.nsecsElapsed() / 1e6, worst};
}

void saveCase(bench::Context& ctx, const std::string& name, bool halfCut, bool keepColours,
              bool smooth = false)
{
    QTemporaryDir dir;
    auto controller = cutController(halfCut, smooth);
    bool finished = false;
    QObject::connect(controller.get(), &ViewController::saveFinished, [&] { finished = true; });
    double worstGap = 0;
    qint64 size = 0;
    for (int run = 0; run < 4; ++run) {
        const QString path = dir.filePath(QStringLiteral("save-%1.png").arg(run));
        finished = false;
        const auto [ms, gap] = timedOnMainThread(
            [&] { controller->saveTo(path, {ExportWriter::Format::Png, false, keepColours}); }, finished);
        if (run > 0) {
            ctx.record(ms);
            worstGap = std::max(worstGap, gap);
        }
        size = QFileInfo(path).size();
    }
    ctx.report(name + "_worst_main_thread_gap_ms", worstGap);
    ctx.report(name + "_file_mb", size / 1e6);
}

} // namespace

VELTRANE_BENCH(save_24mp)
{
    saveCase(ctx, "save_24mp", false, false);
}

VELTRANE_BENCH(save_24mp_smooth)
{
    saveCase(ctx, "save_24mp_smooth", false, false, true);
}

// Half the picture cut, with and without its colours kept under the cut.
VELTRANE_BENCH(save_24mp_keep_colours)
{
    {
        bench::Context plain;
        saveCase(plain, "save_24mp_half_cut", true, false);
    }
    saveCase(ctx, "save_24mp_keep_colours", true, true);
}

VELTRANE_BENCH(copy_24mp)
{
    auto controller = cutController(false);
    bool copied = false;
    QObject::connect(controller.get(), &ViewController::copied, [&] { copied = true; });
    double worstGap = 0;
    for (int run = 0; run < 4; ++run) {
        copied = false;
        const auto [ms, gap] = timedOnMainThread([&] { controller->copy(); }, copied);
        if (run > 0) {
            ctx.record(ms);
            worstGap = std::max(worstGap, gap);
        }
    }
    ctx.report("copy_24mp_worst_main_thread_gap_ms", worstGap);
}

// From starting build/veltrane to its window being shown, as the process
// reports it, plus the time to start the process itself.
VELTRANE_BENCH(window_shown)
{
    const QString editor = QCoreApplication::applicationDirPath() + QStringLiteral("/veltrane");
    for (int run = 0; run < 5; ++run) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VELTRANE_REPORT_STARTUP"), QStringLiteral("1"));
        if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setReadChannel(QProcess::StandardError);
        QElapsedTimer timer;
        timer.start();
        process.start(editor, {});
        QByteArray log;
        while (!log.contains("window shown") && process.waitForReadyRead(5000))
            log += process.readAllStandardError();
        if (log.contains("window shown"))
            ctx.record(timer.nsecsElapsed() / 1e6);
        process.kill();
        process.waitForFinished();
    }
}

// Opening a 6000 x 4000 JPEG: from the request to the first frame painted
// with the picture in it (its reduced version), and to the whole picture in
// place.
VELTRANE_BENCH(first_frame_jpeg_24mp)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("photo.jpg"));
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(JpegCodec::encode(bench::photo(6000, 4000), 90));
    }
    std::vector<double> whole;
    for (int run = 0; run < 5; ++run) {
        ViewController controller;
        controller.resize(1280, 800);
        controller.show();
        QCoreApplication::processEvents();
        ZRImageCutView* canvas = controller.viCut();
        bool painted = false, finished = false;
        QElapsedTimer timer;
        struct PaintWatch : QObject {
            ZRImageCutView* canvas;
            bool* painted;
            bool eventFilter(QObject*, QEvent* event) override
            {
                if (event->type() == QEvent::Paint && !canvas->image().isNull())
                    *painted = true;
                return false;
            }
        } watch;
        watch.canvas = canvas;
        watch.painted = &painted;
        canvas->installEventFilter(&watch);
        QObject::connect(&controller, &ViewController::intakeFinished, [&] { finished = true; });
        double first = 0;
        timer.start();
        controller.draggingFilesComplete({QUrl::fromLocalFile(path)}, false);
        while (!finished) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            if (painted && first == 0)
                first = timer.nsecsElapsed() / 1e6;
        }
        if (first == 0) // no reduced version: the first frame is the whole picture's
            while (!painted)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (first == 0)
            first = timer.nsecsElapsed() / 1e6;
        const double all = timer.nsecsElapsed() / 1e6;
        canvas->removeEventFilter(&watch);
        canvas->waitUntilIdle();
        if (run > 0) {
            ctx.record(first);
            whole.push_back(all);
        }
    }
    std::sort(whole.begin(), whole.end());
    ctx.report("open_jpeg_24mp", whole[whole.size() / 2]);
}
