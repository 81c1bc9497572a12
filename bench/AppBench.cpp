#include "Bench.h"
#include "app/ViewController.h"
#include "canvas/ZRImageCutView.h"
#include "imaging/Picture.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

// From the save action's result to the file closed on disk, for a 6000 x 4000
// cut-out; the main thread must stay free meanwhile, which the worst gap
// between two turns of its event loop shows.
namespace {

// A 24-megapixel picture in a view controller; `halfCut` cuts its left half
// away, else 200 scattered dabs.
std::unique_ptr<ViewController> cutController(bool halfCut)
{
    auto controller = std::make_unique<ViewController>();
    controller->resize(1280, 800);
    ZRImageCutView* canvas = controller->viCut();
    canvas->setImage(Picture::fromImage(bench::photo(6000, 4000)));
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

void saveCase(bench::Context& ctx, const std::string& name, bool halfCut, bool keepColours)
{
    QTemporaryDir dir;
    auto controller = cutController(halfCut);
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
