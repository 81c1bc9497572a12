#include "CanvasSupport.h"
#include "TestSupport.h"
#include "platform/SystemLog.h"

#include <gtest/gtest.h>

#include <QFile>
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

TEST(History, StrokesUndoAndANewStrokeDropTheRedoStates)
{
    auto view = canvasWith(gradientPicture(400, 300));
    for (int n = 0; n < 3; ++n)
        stroke(*view, {strokeSquare(n)});
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), 4);
    EXPECT_EQ(view->historyCurrentState(), 3);
    EXPECT_EQ(view->historyFileIndex(), 3);
    for (int k = 0; k <= 3; ++k)
        EXPECT_TRUE(QFile::exists(view->historyDirectory() + QString("%1.his").arg(k)));

    view->prevHistoryState();
    view->prevHistoryState();
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 1);
    EXPECT_EQ(view->historyFileIndex(), 1);
    EXPECT_EQ(strokesVisible(*view, 3), 1);

    stroke(*view, {strokeSquare(7)});
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 2);
    EXPECT_EQ(view->historyLength(), 3);
    EXPECT_EQ(view->historyFileIndex(), 2);
    view->nextHistoryState(); // nothing left to redo
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 2);
}

TEST(History, TheRingKeepsThirtyStatesOfFortyStrokes)
{
    auto view = canvasWith(gradientPicture(400, 300));
    for (int n = 0; n < 40; ++n)
        stroke(*view, {strokeSquare(n)});
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), 30);
    EXPECT_EQ(view->historyCurrentState(), 29);
    EXPECT_EQ(view->historyFileIndex(), 9);
    EXPECT_EQ(strokesVisible(*view, 40), 40);

    for (int i = 0; i < 29; ++i)
        view->prevHistoryState();
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 0);
    EXPECT_EQ(view->historyFileIndex(), 11);
    EXPECT_EQ(strokesVisible(*view, 40), 11); // the state after stroke 11

    view->prevHistoryState(); // a 30th undo does nothing
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 0);
    EXPECT_EQ(strokesVisible(*view, 40), 11);
}

TEST(History, RedoRequestsQueuedTogetherPerformOnlyThePossibleOne)
{
    auto view = canvasWith(gradientPicture(200, 200));
    RecordingDelegate delegate;
    view->setDelegate(&delegate);
    stroke(*view, {strokeSquare(0)});
    view->prevHistoryState();
    view->waitUntilIdle();
    const int reports = delegate.historyReports;
    view->nextHistoryState();
    view->nextHistoryState();
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 1);
    EXPECT_EQ(delegate.historyReports, reports + 1);
    view->setDelegate(nullptr);
}

TEST(History, AMissingSnapshotLogsAndChangesNothing)
{
    auto view = canvasWith(gradientPicture(200, 200));
    RecordingDelegate delegate;
    view->setDelegate(&delegate);
    stroke(*view, {strokeSquare(0)});
    view->waitUntilIdle();
    QFile::remove(view->historyDirectory() + "0.his");
    QStringList lines;
    SystemLog::setSink([&](const QString& line) { lines << line; });
    const int reports = delegate.historyReports;
    view->prevHistoryState();
    view->waitUntilIdle();
    SystemLog::setSink({});
    EXPECT_EQ(lines, QStringList{"NO DATA PROVIDER"});
    EXPECT_EQ(view->historyCurrentState(), 1);
    EXPECT_EQ(view->historyFileIndex(), 1);
    EXPECT_EQ(delegate.historyReports, reports);
    EXPECT_EQ(strokesVisible(*view, 1), 1);
    view->setDelegate(nullptr);
}

TEST(History, ASnapshotThatDoesNotDecodeRestoresTheWholePicture)
{
    auto view = canvasWith(gradientPicture(200, 200));
    stroke(*view, {strokeSquare(0)});
    stroke(*view, {strokeSquare(1)});
    view->waitUntilIdle();
    QFile file(view->historyDirectory() + "1.his");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("not a picture");
    file.close();
    view->prevHistoryState();
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 1);
    EXPECT_EQ(strokesVisible(*view, 2), 0);
}

TEST(History, SnapshotIsAPngOfTheMaskInTheAlphaChannelTopRowFirst)
{
    auto view = canvasWith(gradientPicture(4000, 3000)); // a reduced mask
    view->setBrushAlphaValue(0);
    stroke(*view, {{0, 2900, 100, 100}}); // near the picture's upper-left corner
    view->waitUntilIdle();
    QImage snapshot(view->historyDirectory() + "1.his", "PNG");
    ASSERT_FALSE(snapshot.isNull());
    ASSERT_EQ(snapshot.size(), QSize(2000, 1500));
    snapshot = snapshot.convertToFormat(QImage::Format_ARGB32);
    const QImage mask = view->currentMask();
    for (int y = 0; y < 1500; y += 7)
        for (int x = 0; x < 2000; x += 11) {
            const QRgb p = snapshot.pixel(x, y);
            ASSERT_EQ(qAlpha(p), mask.constScanLine(y)[x]) << x << "," << y;
            ASSERT_EQ(qRed(p) | qGreen(p) | qBlue(p), 0);
        }
    EXPECT_EQ(qAlpha(snapshot.pixel(25, 25)), 0);
    EXPECT_EQ(qAlpha(snapshot.pixel(25, 1475)), 255);

    // Undo and redo restore it at the reduced size.
    view->prevHistoryState();
    view->waitUntilIdle(); // redo is queued only when possible at the time of the call
    view->nextHistoryState();
    view->waitUntilIdle();
    EXPECT_EQ(view->currentMask().size(), QSize(2000, 1500));
    EXPECT_EQ(maskAt(*view, 25, 1475), 0);
}

TEST(History, TwoCanvasesNeverShareAFolder)
{
    ZRImageCutView first;
    ZRImageCutView second;
    EXPECT_NE(first.historyDirectory(), second.historyDirectory());
    auto a = canvasWith(gradientPicture(100, 100));
    auto b = canvasWith(gradientPicture(100, 100));
    stroke(*a, {strokeSquare(0)});
    a->waitUntilIdle();
    EXPECT_EQ(a->historyLength(), 2);
    EXPECT_EQ(b->historyLength(), 1);
    b->prevHistoryState();
    b->waitUntilIdle();
    EXPECT_EQ(strokesVisible(*a, 1), 1); // b's undo did not touch a's files
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
