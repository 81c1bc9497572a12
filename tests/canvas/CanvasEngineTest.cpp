#include "CanvasSupport.h"
#include "TestSupport.h"
#include "canvas/CanvasLayer.h"
#include "canvas/PictureLevels.h"
#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QImage>

#include <thread>

using namespace canvastest;

TEST(CanvasEngine, DiameterIsClampedAndRoundedWhileTheDelegateHearsTheRequest)
{
    ZRImageCutView view;
    RecordingDelegate delegate;
    view.setDelegate(&delegate);
    for (auto [requested, stored] : {std::pair{5.0f, 10.0f},
                                     {250.0f, 200.0f},
                                     {20.5f, 21.0f},
                                     {20.4f, 20.0f},
                                     {-3.0f, 10.0f}}) {
        view.setBrushDiameter(requested);
        EXPECT_EQ(view.brushDiameter(), stored) << requested;
        EXPECT_EQ(delegate.lastDiameter, requested);
    }
    EXPECT_EQ(delegate.diameterReports, 5);
    // A value that rounds to the current one still reaches the delegate.
    view.setBrushDiameter(20.2f);
    EXPECT_EQ(delegate.diameterReports, 6);
    view.setDelegate(nullptr);
    view.setBrushDiameter(50); // no delegate: nothing to tell, nothing breaks
    // The cursor notification is harmless without a picture.
    NotificationCenter::defaultCenter().post("zr.cutView.needsCursorUpdate", nullptr);
    EXPECT_EQ(view.cursorKind(), ZRImageCutView::CursorKind::Arrow);
}

TEST(CanvasEngine, LoadingBuildsLayersAFullMaskAndTheFirstSnapshot)
{
    RecordingDelegate delegate;
    auto view = std::make_unique<ZRImageCutView>();
    view->setDelegate(&delegate);
    view->resize(800, 600);
    {
        QueuePause pause(*view); // so the cleared counters can be seen before the first record
        view->setImage(gradientPicture(800, 600));
        EXPECT_EQ(view->historyLength(), 0);
        EXPECT_EQ(view->historyCurrentState(), -1);
        EXPECT_EQ(view->historyFileIndex(), -1);
    }
    view->waitUntilIdle();

    EXPECT_EQ(view->currentMask().size(), QSize(800, 600));
    EXPECT_EQ(maskAt(*view, 400, 300), 255);
    EXPECT_EQ(view->historyCurrentState(), 0);
    EXPECT_TRUE(QFileInfo::exists(view->historyDirectory() + "0.his"));
    EXPECT_EQ(delegate.historyReports, 1);
    EXPECT_FALSE(view->bluredLayer()->content().isNull()); // the blur has arrived
    EXPECT_TRUE(view->bluredLayer()->isHidden());
    view->setDelegate(nullptr);
}

// A late blur of an earlier picture is discarded; with the blur switched on
// before loading, the new copy stays hidden until switched again.
TEST(CanvasEngine, LateBlurOfAnEarlierPictureIsDiscardedAndANewCopyStartsHidden)
{
    auto view = canvasWith(Picture());
    EXPECT_TRUE(view->getResult().isNull()); // no picture, no result
    view->setBlurOn(true);
    view->setImage(gradientPicture(1200, 900)); // its blur takes a while
    view->setImage(gradientPicture(200, 100));
    view->waitUntilIdle();
    const QImage blurred = view->bluredLayer()->content();
    ASSERT_FALSE(blurred.isNull());
    EXPECT_EQ(blurred.size(), QSize(200, 100));
    EXPECT_TRUE(view->isBlurOn());
    EXPECT_TRUE(view->bluredLayer()->isHidden());
    view->setBlurOn(true);
    EXPECT_FALSE(view->bluredLayer()->isHidden());
}

TEST(CanvasEngine, ResultHasThePicturesFullSizeAndIgnoresTheViewport)
{
    const Picture picture = gradientPicture(5000, 4000);
    auto view = canvasWith(picture);
    EXPECT_EQ(view->currentMask().size(), QSize(2000, 1600));

    const QImage source = picture.bestRepresentation();
    view->setBrushAlphaValue(0);
    stroke(*view, {{1000, 1000, 500, 500}});
    view->waitUntilIdle();
    const QImage atFit = view->getResult().bestRepresentation();
    ASSERT_EQ(atFit.size(), QSize(5000, 4000));
    EXPECT_EQ(qAlpha(atFit.pixel(1250, 4000 - 1250)), 0);
    EXPECT_EQ(atFit.pixel(100, 100), source.pixel(100, 100));

    view->swipe(-200, 150);
    view->setImageFit(false);
    const QImage moved = view->getResult().bestRepresentation();
    EXPECT_EQ(moved, atFit);
}

TEST(CanvasEngine, ResultUsesTheBlurredCopyWhereCutOnlyWhenShownAndReady)
{
    auto view = canvasWith(gradientPicture(300, 200));
    view->setBrushAlphaValue(0);
    stroke(*view, {{-100, -100, 600, 600}});
    view->waitUntilIdle();
    const QImage hidden = view->getResult().bestRepresentation();
    EXPECT_EQ(qAlpha(hidden.pixel(150, 100)), 0);

    view->setBlurOn(true);
    const QImage shown = view->getResult().bestRepresentation();
    const QImage blurred = view->bluredLayer()->content();
    EXPECT_EQ(shown.pixel(150, 100), blurred.pixel(150, 100));
    EXPECT_EQ(qAlpha(shown.pixel(150, 100)), 255);
}

TEST(CanvasEngine, ResetIsOneUndoableStep)
{
    auto view = canvasWith(gradientPicture(300, 200));
    stroke(*view, {{50, 50, 40, 40}});
    view->waitUntilIdle();
    EXPECT_EQ(maskAt(*view, 70, 70), 0);
    view->resetMask();
    view->waitUntilIdle();
    EXPECT_EQ(maskAt(*view, 70, 70), 255);
    EXPECT_EQ(view->historyLength(), 3);
    view->prevHistoryState();
    view->waitUntilIdle();
    EXPECT_EQ(maskAt(*view, 70, 70), 0);
    EXPECT_EQ(view->historyCurrentState(), 1);
}

TEST(CanvasEngine, AVeryWideOrTallPictureLoadsIsBlurredAndCanBeCut)
{
    // 400000 x 4: a stamp of 40000 x 40000 and a blur band of gigabytes
    // once ended the process from a worker thread; its blur then took a
    // minute, and 4 x 400000's did not finish (a disc of radius 2000 over
    // rows and columns that are not there).
    for (const bool wide : {true, false}) {
        const QSize size = wide ? QSize(400000, 4) : QSize(4, 400000);
        auto view = canvasWith(gradientPicture(size.width(), size.height()));
        ASSERT_EQ(view->currentMask().size(), wide ? QSize(2000, 1) : QSize(1, 2000));
        // Its blur radius is large: the blurred copy is kept at a quarter of the size.
        EXPECT_EQ(view->bluredLayer()->content().size(), wide ? QSize(100000, 1) : QSize(1, 100000));
        view->setBrushAlphaValue(0);
        view->setBrushHardness(0.5f);
        stroke(*view, {wide ? StampRect{500, -1000, 4000, 4000} : StampRect{-1000, 500, 4000, 4000}});
        view->waitUntilIdle();
        EXPECT_EQ(wide ? maskAt(*view, 10, 0) : maskAt(*view, 0, 10), 0);
        EXPECT_EQ(wide ? maskAt(*view, 1000, 0) : maskAt(*view, 0, 1000), 255);
        EXPECT_EQ(view->historyLength(), 2);
    }
}

// A blurred copy kept at half size is blurred from the halving the screen
// uses: the same bytes as halving and blurring the picture afresh.
TEST(CanvasEngine, AReducedBlurredCopyComesFromTheScreensHalving)
{
    const Picture picture = gradientPicture(3400, 3100);
    const QImage bitmap = PictureLevels::drawableBitmap(picture);
    ASSERT_EQ(PictureLevels::blurReduction(bitmap.size()), 1);
    auto view = canvasWith(picture);
    const QImage expected =
        PictureLevels::blurredCopy(bitmap, PictureLevels::blurRadius(bitmap.size()), 1);
    EXPECT_EQ(view->bluredLayer()->content(), expected);
}

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
    testsupport::LogCapture log;
    for (qint64 i = 0; i < current; ++i)
        view->prevHistoryState();
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 0)
        << length << " " << current << " " << log.lines.join(",").toStdString();
    EXPECT_EQ(strokesVisible(*view, 20), 0);
}

// What was input decides, in input order, whatever the queue's timing: the
// queue is held while the keys come, as a busy one would be.
TEST(History, UndoRedoAndStrokesAreDecidedInTheOrderTheyWereInput)
{
    auto view = canvasWith(gradientPicture(300, 300));
    for (int n = 0; n < 3; ++n)
        stroke(*view, {strokeSquare(n)});
    view->waitUntilIdle();
    {
        // Ctrl+Z, Ctrl+Z, Ctrl+Shift+Z: the redo finds the two undos' state.
        QueuePause pause(*view);
        EXPECT_TRUE(view->hasQueuedEdits() == false);
        view->prevHistoryState();
        view->prevHistoryState();
        view->nextHistoryState();
        EXPECT_TRUE(view->hasQueuedEdits());
    }
    view->waitUntilIdle();
    EXPECT_FALSE(view->hasQueuedEdits());
    EXPECT_EQ(view->historyCurrentState(), 2);
    EXPECT_EQ(strokesVisible(*view, 3), 2);

    // A stroke whose drains are still queued when an undo and the next
    // stroke come: the next stroke is drawn after the undo, not before it.
    {
        QueuePause pause(*view);
        view->eventBuffer().append(strokeSquare(5));
        view->updateMap();
        view->eventBuffer().append(StampRect::endOfStroke());
        view->updateMap();
        view->prevHistoryState();
        view->eventBuffer().append(strokeSquare(6));
        view->updateMap();
        view->eventBuffer().append(StampRect::endOfStroke());
        view->updateMap();
    }
    view->waitUntilIdle();
    EXPECT_EQ(maskAt(*view, int(strokeSquare(5).x + 5), int(strokeSquare(5).y + 5)), 255);
    EXPECT_EQ(maskAt(*view, int(strokeSquare(6).x + 5), int(strokeSquare(6).y + 5)), 0);
    EXPECT_EQ(view->historyLength(), 4);
    EXPECT_EQ(view->historyCurrentState(), 3);

    // A reset input after a stroke comes after it, and one before the next under it.
    {
        QueuePause pause(*view);
        stroke(*view, {strokeSquare(7)});
        view->resetMask();
        stroke(*view, {strokeSquare(8)});
    }
    view->waitUntilIdle();
    EXPECT_EQ(maskAt(*view, int(strokeSquare(7).x + 5), int(strokeSquare(7).y + 5)), 255);
    EXPECT_EQ(maskAt(*view, int(strokeSquare(8).x + 5), int(strokeSquare(8).y + 5)), 0);
    EXPECT_EQ(view->historyCurrentState(), 6);
    view->prevHistoryState(); // the reset's own state, without the stroke after it
    view->waitUntilIdle();
    EXPECT_EQ(maskAt(*view, int(strokeSquare(8).x + 5), int(strokeSquare(8).y + 5)), 255);
    EXPECT_EQ(strokesVisible(*view, 10), 0);
}

// A stroke is drawn with the brush it was input with, though the brush is
// changed (Ctrl+I, the sliders) before the queue gets to it.
TEST(History, AStrokeIsDrawnWithTheBrushItWasInputWith)
{
    auto view = canvasWith(gradientPicture(300, 300));
    {
        QueuePause pause(*view);
        view->setBrushHardness(0.3f);
        view->setBrushAlphaValue(0);
        stroke(*view, {{100, 100, 60, 60}});
        view->setBrushAlphaValue(1);
        view->setBrushHardness(1);
    }
    view->waitUntilIdle();
    EXPECT_EQ(maskAt(*view, 130, 130), 0);
    const int rim = maskAt(*view, 154, 130); // 0.8 of the radius out: soft there
    EXPECT_GT(rim, 0);
    EXPECT_LT(rim, 255);

    // Ctrl+I in the middle of a stroke: the stamps after it restore, though
    // the drain queued before it could have taken them.
    view->setBrushAlphaValue(0);
    stroke(*view, {{200, 200, 40, 40}});
    view->waitUntilIdle();
    {
        QueuePause pause(*view);
        view->eventBuffer().append({20, 200, 40, 40});
        view->updateMap();
        view->setBrushAlphaValue(1);
        view->eventBuffer().append({200, 200, 40, 40});
        view->updateMap();
        view->eventBuffer().append(StampRect::endOfStroke());
        view->updateMap();
    }
    view->waitUntilIdle();
    EXPECT_EQ(maskAt(*view, 40, 220), 0);
    EXPECT_EQ(maskAt(*view, 220, 220), 255);
}

// The result asked for right after a stroke (Save in the question a close
// asks) holds it, though the queue had not drawn it yet.
TEST(History, TheResultHoldsTheStrokesInputBeforeItWasAskedFor)
{
    auto view = canvasWith(gradientPicture(300, 300));
    std::function<QImage()> task;
    {
        QueuePause pause(*view);
        stroke(*view, {{100, 100, 40, 40}});
        task = view->resultTask();
    }
    EXPECT_EQ(qAlpha(task().pixel(120, 300 - 120)), 0);
}

// Closing the canvas while undo and redo steps, strokes and a colour
// selection reaching ahead are still queued finishes or drops them, and
// never posts to a queue that is going away.
TEST(History, ClosingWithWorkStillQueuedNeverCrashes)
{
    for (int round = 0; round < 3; ++round) {
        auto view = canvasWith(gradientPicture(2000, 2000));
        for (int n = 0; n < 3; ++n)
            stroke(*view, {strokeSquare(n)});
        view->waitUntilIdle();
        if (round == 2) {
            view->colourTool().setContiguous(true);
            view->colourTool().setTool(CutTool::Colour);
            view->colourTool().beginRegion(QPoint(1000, 1000), 0.5, qRgb(255, 0, 0));
            view->colourTool().dragRegion(80);
        }
        for (int i = 0; i < 3; ++i)
            view->prevHistoryState();
        view->nextHistoryState();
        if (round == 1)
            stroke(*view, {strokeSquare(9)});
        view.reset();
    }
}

// Snapshots that cannot be written are said once, with the reason, until one
// is written again; painting goes on, and undo never brings back a state
// from a slot that was not written for it.
TEST(History, UnwritableSnapshotsAreSaidOnceAndUndoStopsAtAStateWithoutOne)
{
    auto view = canvasWith(gradientPicture(300, 300));
    RecordingDelegate delegate;
    view->setDelegate(&delegate);
    const QString folder = view->historyDirectory();
    for (int slot : {1, 2})
        ASSERT_TRUE(QDir().mkpath(QStringLiteral("%1%2.his.part").arg(folder).arg(slot)));
    stroke(*view, {strokeSquare(0)});
    stroke(*view, {strokeSquare(1)});
    view->waitUntilIdle();
    EXPECT_EQ(strokesVisible(*view, 2), 2);
    ASSERT_EQ(delegate.historyFailures.size(), 1);
    EXPECT_FALSE(delegate.historyFailures[0].isEmpty());
    stroke(*view, {strokeSquare(2)}); // slot 3 is written
    view->waitUntilIdle();
    EXPECT_EQ(delegate.historyFailures.size(), 1);
    view->prevHistoryState(); // to state 2, which has no snapshot
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 3);
    EXPECT_EQ(strokesVisible(*view, 3), 3);
    for (int slot : {1, 2})
        QDir(QStringLiteral("%1%2.his.part").arg(folder).arg(slot)).removeRecursively();
    view->setDelegate(nullptr);
}
