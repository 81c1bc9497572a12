#include "Bench.h"
#include "canvas/CanvasLayer.h"
#include "canvas/SubjectTool.h"
#include "canvas/ZRImageCutView.h"
#include "imaging/ImageAction.h"
#include "imaging/JpegCodec.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

QString subjectJpegPath()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString p = QDir(dir.path()).filePath("subject-24mp.jpg");
        QFile file(p);
        if (file.open(QIODevice::WriteOnly))
            file.write(JpegCodec::encode(bench::photo(6000, 4000), 90));
        return p;
    }();
    return path;
}

// The process's resident memory now, in megabytes.
double residentMegabytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// The highest resident memory seen while it lives, sampled every 10 ms.
class RssWatch {
public:
    RssWatch()
        : m_thread([this] {
              while (!m_stop.load()) {
                  const double now = residentMegabytes();
                  double seen = m_peak.load();
                  while (now > seen && !m_peak.compare_exchange_weak(seen, now)) {
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              }
          })
    {
    }
    ~RssWatch()
    {
        m_stop = true;
        m_thread.join();
    }
    double peak() const { return m_peak.load(); }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<double> m_peak{0};
    std::thread m_thread;
};

// Runs the event loop until the subject is found (or failed).
void waitForSubject(ZRImageCutView& view)
{
    while (view.subjectTool().state() == SubjectTool::State::Working) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

std::unique_ptr<ZRImageCutView> canvasOf(const QImage& image, bool findSubject)
{
    auto view = std::make_unique<ZRImageCutView>();
    view->resize(1920, 1080);
    view->show();
    QApplication::processEvents();
    view->subjectTool().setFindsOnOpen(findSubject);
    view->setImage(Picture::fromImage(image));
    view->waitUntilIdle();
    return view;
}

void send(ZRImageCutView& view, QEvent::Type type, QPointF pos)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons buttons =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, pos, pos, view.mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&view, &event);
}

// A box over most of the fitted picture, from its release to the cut painted.
void boxCase(bench::Context& ctx, int width, int height)
{
    auto view = canvasOf(bench::photo(width, height), false);
    view->setTool(CutTool::Box);
    // The picture is fitted and centred: a box over its middle 90 %.
    const double scale = view->viewTransform().scale;
    const QPointF centre(view->width() / 2.0, view->height() / 2.0);
    const QPointF half(0.45 * width * scale, 0.45 * height * scale);
    ctx.measure(
        [&] {
            send(*view, QEvent::MouseButtonPress, centre - half);
            send(*view, QEvent::MouseMove, centre + half);
            send(*view, QEvent::MouseButtonRelease, centre + half);
            view->waitUntilIdle();
            view->repaint();
        },
        3);
}

} // namespace

// From a 6000 x 4000 JPEG's open to its subject found (network and GrabCut),
// with the resident memory's peak meanwhile and what stays after.
VELTRANE_BENCH(subject_ready_24mp)
{
    const QString path = subjectJpegPath();
    auto view = std::make_unique<ZRImageCutView>();
    view->resize(1920, 1080);
    view->show();
    view->subjectTool().setFindsOnOpen(true);
    QApplication::processEvents();
    double peak = 0;
    for (int run = 0; run < 3; ++run) {
        RssWatch watch;
        QElapsedTimer timer;
        timer.start();
        view->setImage(ImageAction::imageFromURL(path));
        waitForSubject(*view);
        ctx.record(timer.nsecsElapsed() / 1e6);
        peak = std::max(peak, watch.peak());
        if (view->subjectTool().state() != SubjectTool::State::Ready ||
            !view->subjectTool().probabilityReady())
            std::fprintf(stderr,
                         "subject_ready_24mp: no subject from the model (is it installed?)\n");
        view->waitUntilIdle();
    }
    ctx.report("subject_peak_rss_mb", peak);
    ctx.report("subject_rss_after_mb", residentMegabytes());
}

// From the click, with the subject found, to the cut on screen: 2000 x 1333.
VELTRANE_BENCH(subject_apply_2000)
{
    auto view = canvasOf(bench::photo(2000, 1333), true);
    waitForSubject(*view);
    view->waitUntilIdle();
    ctx.measure([&] {
        view->applySubject();
        view->waitUntilIdle();
        view->repaint();
    });
}

VELTRANE_BENCH(box_1mp)
{
    boxCase(ctx, 1224, 816);
}

VELTRANE_BENCH(box_24mp)
{
    boxCase(ctx, 6000, 4000);
}

// Frames painted every 20 ms while a 24 MP picture's subject is found; the
// picture's own levels and blur are made before.
VELTRANE_BENCH(paint_while_segmenting_24mp)
{
    auto view = canvasOf(bench::photo(6000, 4000), false);
    view->subjectTool().prepare();
    while (view->subjectTool().state() == SubjectTool::State::Working) {
        QElapsedTimer timer;
        timer.start();
        view->repaint();
        ctx.record(timer.nsecsElapsed() / 1e6);
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(20);
    }
    double worst = 0;
    for (double v : ctx.samples)
        worst = std::max(worst, v);
    ctx.report("paint_while_segmenting_24mp_worst_ms", worst);
}
