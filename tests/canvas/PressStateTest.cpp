// What a press leaves behind: nothing on an empty canvas, nothing on the next
// picture, and the input it queued counts before the queue has drawn it.
#include "InputSupport.h"

#include <gtest/gtest.h>

#include <QTest>

using namespace canvastest;

namespace {

bool wholeMaskKept(const ZRImageCutView& view)
{
    const QImage mask = view.currentMask();
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            if (mask.constScanLine(y)[x] != 255)
                return false;
    return !mask.isNull();
}

} // namespace

TEST(PressState, ANewPictureEndsThePressWithoutAStampOrAStep)
{
    auto view = shownCanvas(gradientPicture(800, 600));
    RecordingDelegate delegate;
    view->setDelegate(&delegate);
    mouse(*view, QEvent::MouseButtonPress, {100, 300});
    mouse(*view, QEvent::MouseMove, {200, 300});
    view->setImage(gradientPicture(800, 600)); // arrives mid-press
    EXPECT_EQ(delegate.ends, 1);
    mouse(*view, QEvent::MouseMove, {300, 300});
    mouse(*view, QEvent::MouseButtonRelease, {300, 300});
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), 1);
    EXPECT_TRUE(wholeMaskKept(*view));
    EXPECT_EQ(delegate.ends, 1);
    // The next press paints as usual.
    mouse(*view, QEvent::MouseButtonPress, {400, 300});
    mouse(*view, QEvent::MouseButtonRelease, {400, 300});
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), 2);
    view->setDelegate(nullptr);
}

TEST(PressState, ACtrlPressOnAnEmptyCanvasLeavesNoPan)
{
    auto view = shownCanvas(Picture());
    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), view->mapToGlobal(QPointF(10, 10)));
    QApplication::sendEvent(view.get(), &enter);
    holdCtrl(*view, true);
    mouse(*view, QEvent::MouseButtonPress, {400, 300});
    mouse(*view, QEvent::MouseButtonRelease, {400, 300});
    holdCtrl(*view, false);
    view->setImage(gradientPicture(800, 600));
    view->waitUntilIdle();
    mouse(*view, QEvent::MouseMove, {410, 300});
    EXPECT_EQ(view->cursorKind(), ZRImageCutView::CursorKind::Brush);
}

TEST(PressState, CtrlHeldAsThePointerEntersShowsTheHand)
{
    auto view = shownCanvas(gradientPicture(800, 600));
    // Through the window system, so that the application knows the key is down.
    QTest::keyPress(view->windowHandle(), Qt::Key_Control, Qt::ControlModifier);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(view.get(), &leave);
    // The canvas missed Ctrl's release and press elsewhere (another window had the keys).
    QEvent deactivate(QEvent::ApplicationDeactivate);
    QApplication::sendEvent(qApp, &deactivate);
    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), view->mapToGlobal(QPointF(10, 10)));
    QApplication::sendEvent(view.get(), &enter);
    EXPECT_EQ(view->cursorKind(), ZRImageCutView::CursorKind::OpenHand);
    QTest::keyRelease(view->windowHandle(), Qt::Key_Control, Qt::NoModifier);
    EXPECT_EQ(view->cursorKind(), ZRImageCutView::CursorKind::Brush);
}

// Strokes, undos and resets count as changes from the moment they are input,
// while the history's counters still lag them.
TEST(PressState, InputStillQueuedCountsAsAnEdit)
{
    auto view = shownCanvas(gradientPicture(800, 600));
    const struct {
        const char* name;
        std::function<void()> input;
    } table[] = {
        {"stroke",
         [&] {
             mouse(*view, QEvent::MouseButtonPress, {100, 300});
             mouse(*view, QEvent::MouseButtonRelease, {100, 300});
         }},
        {"undo", [&] { view->prevHistoryState(); }},
        {"redo", [&] { view->nextHistoryState(); }},
        {"reset", [&] { view->resetMask(); }},
        {"mask",
         [&] {
             QImage cut(view->currentMask().size(), QImage::Format_Grayscale8);
             cut.fill(0);
             view->loadMask(cut);
         }},
    };
    for (const auto& row : table) {
        const qint64 revision = view->historyRevision();
        {
            QueuePause pause(*view);
            row.input();
            EXPECT_TRUE(view->hasQueuedEdits()) << row.name;
            EXPECT_EQ(view->historyRevision(), revision) << row.name;
        }
        view->waitUntilIdle();
        EXPECT_FALSE(view->hasQueuedEdits()) << row.name;
    }
    // A new picture is no edit of the user's.
    view->setImage(gradientPicture(300, 200));
    EXPECT_FALSE(view->hasQueuedEdits());
    view->waitUntilIdle();
}
