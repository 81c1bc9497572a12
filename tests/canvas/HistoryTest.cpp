#include "CanvasSupport.h"
#include "TestSupport.h"
#include "platform/SystemLog.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QStringList>

#include <thread>

using namespace canvastest;

namespace {

// Stroke number n cuts a small square of its own, so states can be told apart.
StampRect strokeSquare(int n)
{
    return {double(10 + (n % 20) * 14), double(10 + (n / 20) * 14), 10, 10};
}

int strokesVisible(const ZRImageCutView& view, int upTo)
{
    int count = 0;
    for (int n = 0; n < upTo; ++n) {
        const StampRect r = strokeSquare(n);
        if (maskAt(view, int(r.x + 5), int(r.y + 5)) == 0)
            ++count;
    }
    return count;
}

} // namespace

TEST(History, UndoAndRedoThroughTheCanvasRestoreAReducedMaskAndReportOnce)
{
    auto view = canvasWith(gradientPicture(4000, 3000)); // a 2000 x 1500 mask
    RecordingDelegate delegate;
    view->setDelegate(&delegate);
    view->setBrushAlphaValue(0);
    stroke(*view, {{0, 2900, 100, 100}}); // near the picture's upper-left corner
    view->waitUntilIdle();
    EXPECT_EQ(QImage(view->historyDirectory() + "1.his").size(), QSize(2000, 1500));
    EXPECT_EQ(delegate.historyReports, 1);

    view->prevHistoryState();
    view->waitUntilIdle();
    EXPECT_EQ(maskAt(*view, 25, 1475), 255);
    view->nextHistoryState();
    view->nextHistoryState(); // only one redo is possible
    view->waitUntilIdle();
    EXPECT_EQ(view->currentMask().size(), QSize(2000, 1500));
    EXPECT_EQ(maskAt(*view, 25, 1475), 0);
    EXPECT_EQ(view->historyCurrentState(), 1);
    EXPECT_EQ(delegate.historyReports, 3);
    view->setDelegate(nullptr);
}

TEST(History, UndoRequestsRacingStrokesKeepTheCountersConsistent)
{
    auto view = canvasWith(gradientPicture(300, 300));
    std::thread undoer([&] {
        for (int i = 0; i < 30; ++i) {
            view->prevHistoryState();
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    // Fewer strokes than the ring holds, so the first state stays reachable.
    for (int n = 0; n < 20; ++n) {
        stroke(*view, {strokeSquare(n)});
        if (n % 3 == 0)
            view->setBrushHardness(n % 2 ? 0.5f : 1.0f); // a new stamp while drains run
    }
    undoer.join();
    view->waitUntilIdle();
    const qint64 length = view->historyLength();
    const qint64 current = view->historyCurrentState();
    EXPECT_GE(length, 1);
    EXPECT_LE(length, 30);
    EXPECT_GE(current, 0);
    EXPECT_LT(current, length);
    // Walking back to the first state finds every snapshot on the way and
    // ends on the untouched mask.
    QStringList lines;
    SystemLog::setSink([&](const QString& line) { lines << line; });
    for (qint64 i = 0; i < current; ++i)
        view->prevHistoryState();
    view->waitUntilIdle();
    SystemLog::setSink({});
    EXPECT_EQ(view->historyCurrentState(), 0) << length << " " << current << " " << lines.join(",").toStdString();
    EXPECT_EQ(strokesVisible(*view, 20), 0);
}
