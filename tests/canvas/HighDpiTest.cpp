#include "CanvasSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QPixmap>
#include <QProcess>
#include <QProcessEnvironment>

#include <random>

using namespace canvastest;

namespace {

// A screen's device pixel ratio is fixed when the application starts: run
// the suite's high-DPI tests again in a process started with QT_SCALE_FACTOR=2.
bool rerunAtRatioTwo()
{
    if (qApp->devicePixelRatio() == 2)
        return false;

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=HighDpi.*")});
    EXPECT_TRUE(child.waitForFinished(600000));
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
    return true;
}

} // namespace

TEST(HighDpi, TheFrameAndTheBrushCursorAreDrawnInDevicePixels)
{
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer takes QProcess's spawn for a fork of this process and
    // ends it at its next thread.
    if (qApp->devicePixelRatio() != 2)
        GTEST_SKIP() << "runs in a process of its own, not under ThreadSanitizer";
#endif
    if (rerunAtRatioTwo())
        return;
    // Fine noise, fitted at half a device pixel per picture pixel.
    QImage noise(1200, 800, QImage::Format_RGB32);
    std::mt19937 rng(5);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, 0xff000000u | (rng() & 0xffffff));
    auto view = canvasWith(Picture::fromImage(noise), {300, 200});
    view->show();
    const QImage shown = view->grab().toImage();
    ASSERT_EQ(shown.size(), QSize(600, 400));
    // A frame upscaled from points repeats every pixel in pairs.
    int equal = 0, pairs = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x + 1 < shown.width(); ++x, ++pairs)
            equal += shown.pixel(x, y) == shown.pixel(x + 1, y);
    EXPECT_LT(equal, pairs / 10);

    // A one-point ring is two device pixels wide, with its shadow around it.
    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), view->mapToGlobal(QPointF(10, 10)));
    QApplication::sendEvent(view.get(), &enter);
    view->setBrushDiameter(21);
    EXPECT_EQ(view->cursorSize(), 26);
    const QPixmap cursor = view->brushCursor().pixmap();
    EXPECT_EQ(cursor.devicePixelRatio(), 2);
    const QImage ring = cursor.toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(ring.width(), 52);
    EXPECT_EQ(ring.pixel(5, 26), 0xffffffffu);
    EXPECT_EQ(ring.pixel(6, 26), 0xffffffffu);
    for (int x : {3, 4, 7, 8}) {
        EXPECT_EQ(qRed(ring.pixel(x, 26)), 0) << x;
        EXPECT_GT(qAlpha(ring.pixel(x, 26)), 0) << x;
    }
}
