#include "InputSupport.h"
#include "TestSupport.h"
#include "canvas/CanvasLayer.h"
#include "canvas/Viewport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QTabletEvent>
#include <QTest>
#include <QWheelEvent>
#include <QWindow>

using namespace canvastest;


TEST(StrokeInput, AClickGivesOneStampAndOneMarkerAndALostReleaseStillEndsTheStroke)
{
    auto view = shownCanvas(gradientPicture(800, 600)); // fitted at scale 1
    RecordingDelegate delegate;
    view->setDelegate(&delegate);
    {
        QueuePause pause(*view);
        mouse(*view, QEvent::MouseButtonPress, {100, 500});
        mouse(*view, QEvent::MouseButtonRelease, {100, 500});
        // Pressed again, then the pointer moves on with the button up, the release never seen.
        mouse(*view, QEvent::MouseButtonPress, {300, 500});
        QMouseEvent move(QEvent::MouseMove, QPointF(320, 500), QPointF(320, 500),
                         view->mapToGlobal(QPointF(320, 500)), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(view.get(), &move);
        const auto entries = view->eventBuffer().entries();
        ASSERT_EQ(entries.size(), 4u);
        EXPECT_EQ(entries[0], (StampRect{90, 90, 20, 20})); // centred under the pointer, y up
        EXPECT_TRUE(entries[1].isEndOfStroke());
        EXPECT_TRUE(entries[3].isEndOfStroke());
        EXPECT_EQ(delegate.ends, 2);
        wheel(*view, {400, 300}, 5); // the wheel zooms again
        EXPECT_FALSE(view->imageFit());
    }
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), 3);
    EXPECT_EQ(maskAt(*view, 100, 100), 0);
    EXPECT_EQ(delegate.starts, 2);
    view->setDelegate(nullptr);
}

TEST(StrokeInput, SpacingDropsSmallMovesAndFillsFastOnesInPicturePoints)
{
    auto view = shownCanvas(gradientPicture(800, 600));
    view->setBrushDiameter(40); // step = 40 / 24 = 1.67 points at hardness 1
    QueuePause pause(*view);
    mouse(*view, QEvent::MouseButtonPress, {100, 300});
    mouse(*view, QEvent::MouseMove, {101, 300}); // 1 < step: nothing
    EXPECT_EQ(stamps(view->eventBuffer().entries()), 1);
    mouse(*view, QEvent::MouseMove, {102, 300}); // step <= 2 <= 2 step: the stamp alone
    EXPECT_EQ(stamps(view->eventBuffer().entries()), 2);
    mouse(*view, QEvent::MouseMove, {112, 300}); // 10 > 2 step: 6 - 1 fillers, then the stamp
    const auto entries = view->eventBuffer().entries();
    ASSERT_EQ(stamps(entries), 2 + 6);
    for (int i = 1; i <= 5; ++i)
        EXPECT_NEAR(entries[1 + i].x, 82 + 10.0 * i / 6, 1e-9);
    EXPECT_EQ(entries.back().x, 92);
    mouse(*view, QEvent::MouseButtonRelease, {112, 300});

    // At zoom 2 stamps are half the brush in picture points, and so is the step.
    auto zoomed = shownCanvas(gradientPicture(400, 300));
    ASSERT_FLOAT_EQ(float(zoomed->viewTransform().scale), 2.0f);
    zoomed->setBrushDiameter(40);
    QueuePause zoomedPause(*zoomed);
    mouse(*zoomed, QEvent::MouseButtonPress, {400, 300});
    mouse(*zoomed, QEvent::MouseMove, {401, 300}); // 0.5 points: below 20/24
    mouse(*zoomed, QEvent::MouseMove, {402, 300}); // 1 point: above
    const auto halved = zoomed->eventBuffer().entries();
    ASSERT_EQ(halved.size(), 2u);
    EXPECT_EQ(halved[0], (StampRect{190, 140, 20, 20}));
    EXPECT_DOUBLE_EQ(halved[1].x, 191);
    mouse(*zoomed, QEvent::MouseButtonRelease, {402, 300});
}

TEST(StrokeInput, CtrlAtThePressInvertsTheModeForTheWholePress)
{
    auto view = shownCanvas(gradientPicture(1600, 1200));
    view->setImageFit(false);
    QueuePause pause(*view);
    holdCtrl(*view, true);
    mouse(*view, QEvent::MouseButtonPress, {400, 300});
    holdCtrl(*view, false); // released during the press: still a pan
    mouse(*view, QEvent::MouseMove, {380, 320});
    mouse(*view, QEvent::MouseButtonRelease, {380, 320});
    EXPECT_EQ(view->eventBuffer().size(), 0u); // no stamp and no marker
    EXPECT_FALSE(view->imageFit());

    // With drag mode 1 a plain press pans and a Ctrl press paints.
    view->setDragMode(1);
    holdCtrl(*view, true);
    mouse(*view, QEvent::MouseButtonPress, {400, 300});
    mouse(*view, QEvent::MouseButtonRelease, {400, 300});
    holdCtrl(*view, false);
    EXPECT_EQ(view->eventBuffer().size(), 2u);
}

TEST(StrokeInput, WheelEventsDuringAPressHaveNoEffect)
{
    auto view = shownCanvas(gradientPicture(1600, 1200));
    const ViewTransform before = view->viewTransform();
    const float diameter = view->brushDiameter();
    mouse(*view, QEvent::MouseButtonPress, {400, 300});
    wheel(*view, {400, 300}, 3, Qt::LeftButton);
    mouse(*view, QEvent::MouseButtonRelease, {400, 300});
    EXPECT_EQ(view->viewTransform(), before);
    EXPECT_EQ(view->brushDiameter(), diameter);
    EXPECT_TRUE(view->imageFit());
}

TEST(StrokeInput, ShortcutsUndoRedoAndInvertByPhysicalKey)
{
    auto view = shownCanvas(gradientPicture(400, 300));
    stroke(*view, {{10, 10, 20, 20}});
    stroke(*view, {{60, 60, 20, 20}});
    view->waitUntilIdle();
    ASSERT_EQ(view->historyCurrentState(), 2);

    // The physical key decides, whatever the layout calls it (Z on a German keyboard is Y).
    const struct {
        int key;
        Qt::KeyboardModifiers modifiers;
        int state;
    } table[] = {{Qt::Key_Z, Qt::ControlModifier, 1},
                 {Qt::Key_Z, Qt::ControlModifier | Qt::AltModifier, 0},
                 {Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier, 1},
                 {Qt::Key_Z, Qt::NoModifier, 1}, // no Ctrl: nothing
                 {Qt::Key_Y, Qt::ControlModifier, 0}};
    for (const auto& row : table) {
        key(*view, QEvent::KeyPress, row.key, 52, row.modifiers);
        view->waitUntilIdle();
        EXPECT_EQ(view->historyCurrentState(), row.state);
    }

    view->setBrushAlphaValue(0.25f);
    key(*view, QEvent::KeyPress, Qt::Key_I, 31, Qt::ControlModifier);
    EXPECT_FLOAT_EQ(view->brushAlphaValue(), 0.75f);
    key(*view, QEvent::KeyPress, Qt::Key_I, 31, Qt::AltModifier);
    EXPECT_FLOAT_EQ(view->brushAlphaValue(), 0.25f);
    key(*view, QEvent::KeyPress, Qt::Key_I, 31, Qt::NoModifier);
    EXPECT_FLOAT_EQ(view->brushAlphaValue(), 0.25f);
}

// Shortcuts work while another window of the application is active, and the
// hook lets every key through to it.
TEST(StrokeInput, TheKeyHookWorksInOtherWindowsAndLetsEveryKeyThrough)
{
    struct KeyRecorder : QWidget {
        void keyPressEvent(QKeyEvent* event) override { keys << event->key(); }
        QList<int> keys;
    };
    auto view = shownCanvas(gradientPicture(400, 300));
    stroke(*view, {{10, 10, 20, 20}});
    view->waitUntilIdle();
    KeyRecorder other;
    other.setFocusPolicy(Qt::StrongFocus);
    other.show();
    other.activateWindow();
    other.setFocus();
    ASSERT_TRUE(testsupport::waitFor([&] { return QApplication::focusWidget() == &other; }));
    key(other, QEvent::KeyPress, Qt::Key_Z, 52, Qt::ControlModifier);
    key(other, QEvent::KeyPress, Qt::Key_I, 31, Qt::AltModifier);
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 0);
    EXPECT_EQ(other.keys, (QList<int>{Qt::Key_Z, Qt::Key_I}));
    key(other, QEvent::KeyPress, Qt::Key_Z, 52, Qt::ControlModifier | Qt::ShiftModifier);
    view->waitUntilIdle();
    EXPECT_EQ(view->historyCurrentState(), 1);

    // A text field (a dialog's file name, say) keeps undo, redo and the swap.
    QLineEdit field;
    field.show();
    field.activateWindow();
    field.setFocus();
    ASSERT_TRUE(testsupport::waitFor([&] { return QApplication::focusWidget() == &field; }));
    view->setBrushAlphaValue(0.25f);
    for (Qt::KeyboardModifiers modifiers : {Qt::KeyboardModifiers(Qt::ControlModifier),
                                            Qt::ControlModifier | Qt::ShiftModifier}) {
        key(field, QEvent::KeyPress, Qt::Key_Z, 52, modifiers);
        key(field, QEvent::KeyPress, Qt::Key_I, 31, Qt::ControlModifier);
        view->waitUntilIdle();
        EXPECT_EQ(view->historyCurrentState(), 1);
        EXPECT_FLOAT_EQ(view->brushAlphaValue(), 0.25f);
    }
}

TEST(PenPressure, PressureScalesTheStampAndFillersGoEvenlyBetweenSizes)
{
    auto view = shownCanvas(gradientPicture(800, 600)); // fitted at scale 1
    view->setBrushDiameter(40);
    {
        QueuePause pause(*view);
        pen(*view, QEvent::MouseButtonPress, {100, 300}, 0.5);
        pen(*view, QEvent::MouseMove, {200, 300}, 1.0);
        mouse(*view, QEvent::MouseButtonRelease, {200, 300});
        const auto entries = view->eventBuffer().entries();
        ASSERT_GT(entries.size(), 4u);
        EXPECT_DOUBLE_EQ(entries.front().width, 20); // half the diameter at half the pressure
        const StampRect last = entries[entries.size() - 2];
        EXPECT_DOUBLE_EQ(last.width, 40);
        EXPECT_DOUBLE_EQ(last.centerX(), 200);
        for (std::size_t i = 1; i + 1 < entries.size(); ++i)
            EXPECT_GE(entries[i].width, entries[i - 1].width); // the fillers grow evenly
        EXPECT_DOUBLE_EQ(entries[1].centerY(), entries.front().centerY());
    }
    view->waitUntilIdle();

    // A feather touch still paints at 30 %; with the switch off, at full size.
    for (bool on : {true, false}) {
        view->setUsesPenPressure(on);
        view->waitUntilIdle();
        QueuePause pause(*view);
        pen(*view, QEvent::MouseButtonPress, {400, 300}, 0.05);
        mouse(*view, QEvent::MouseButtonRelease, {400, 300});
        EXPECT_DOUBLE_EQ(view->eventBuffer().entries().front().width, on ? 12 : 40);
    }
    view->waitUntilIdle();
}

TEST(Viewport, FitZoomAndPanRules)
{
    // Fitting centres the picture and caps the scale at ten.
    const ViewTransform big = Viewport::fit({800, 600}, {4000, 3000});
    EXPECT_FLOAT_EQ(float(big.scale), 0.2f);
    EXPECT_EQ(big.tx, 400);
    EXPECT_EQ(big.ty, 300);
    EXPECT_EQ(Viewport::fit({800, 600}, {40, 30}).scale, 10);

    // Wheel steps scale within their limits.
    for (auto [notches, factor] :
         {std::pair{5, 1.1f}, {15, 1.3f}, {40, 1.3f}, {-15, 0.7f}, {-40, 0.7f}})
        EXPECT_FLOAT_EQ(Viewport::zoomFactor(notches), factor);
    const ViewTransform nine{9, 400, 300};
    EXPECT_DOUBLE_EQ(Viewport::zoom(nine, {400, 300}, 1.3f, {40, 30}).scale, 10);
    // The picture point under the pointer stays under it.
    const ViewTransform t{0.5, 400, 300};
    const QPointF pointer(100, 450);
    const QPointF q = t.inverted(pointer, {1000, 800});
    const ViewTransform zoomed = Viewport::zoom(t, pointer, 1.3f, {1000, 800});
    const QPointF back = zoomed.map(q, {1000, 800});
    EXPECT_NEAR(back.x(), 100, 1e-9);
    EXPECT_NEAR(back.y(), 450, 1e-9);

    // Pans are held within the margins. 2000 points wide shown in an 800-point canvas: -280 ..
    // 1080. 400 wide: 280 .. 520.
    const struct {
        double tx, width, expected;
    } table[] = {
        {5000, 2000, 1080}, {-5000, 2000, -280}, {500, 2000, 500}, {0, 400, 280}, {700, 400, 520}};
    for (const auto& row : table)
        EXPECT_EQ(Viewport::limitDrag({1, row.tx, 300}, {800, 600}, {row.width, 600}).tx,
                  row.expected);
}

TEST(Viewport, WheelZoomsAboutThePointerAndFitHoldsOnZoomOutAndResize)
{
    auto view = shownCanvas(gradientPicture(1600, 1200));
    // One notch of a plain wheel (120 angle units) zooms by 1.1.
    QWheelEvent notch(QPointF(200, 150), view->mapToGlobal(QPointF(200, 150)), QPoint(),
                      QPoint(0, 120), {}, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view.get(), &notch);
    EXPECT_FALSE(view->imageFit());
    EXPECT_NEAR(view->viewTransform().scale, 0.55, 1e-6);
    for (int i = 0; i < 10; ++i)
        wheel(*view, {200, 150}, 20);
    EXPECT_GT(view->viewTransform().scale, 1.0);
    for (int i = 0; i < 30; ++i)
        wheel(*view, {200, 150}, -20);
    EXPECT_TRUE(view->imageFit());
    EXPECT_EQ(view->viewTransform(), Viewport::fit({800, 600}, {1600, 1200}));

    // A fitted picture is fitted again, at once, when the canvas is resized.
    view->resize(400, 600);
    EXPECT_EQ(view->viewTransform(), Viewport::fit({400, 600}, {1600, 1200}));
    EXPECT_FALSE(view->isAnimating());
}

TEST(Viewport, AltWheelResizesTheBrushAndLeavesTheZoom)
{
    auto view = shownCanvas(gradientPicture(1600, 1200));
    const ViewTransform before = view->viewTransform();
    key(*view, QEvent::KeyPress, Qt::Key_Alt, 0, Qt::AltModifier);
    wheel(*view, {200, 150}, 3);
    EXPECT_EQ(view->brushDiameter(), 23);
    // A high-resolution wheel's eighths of a notch (15 angle units) add up
    // to whole points: eight of them are one notch, five points.
    for (int i = 0; i < 7; ++i)
        wheel(*view, {200, 150}, 0.625);
    EXPECT_EQ(view->brushDiameter(), 27);
    wheel(*view, {200, 150}, 0.625);
    EXPECT_EQ(view->brushDiameter(), 28);
    // A turn the other way is not eaten by what was left over.
    wheel(*view, {200, 150}, -1);
    EXPECT_EQ(view->brushDiameter(), 27);
    // X11 turns Alt+wheel into a sideways wheel; it still resizes the brush.
    QWheelEvent sideways(QPointF(200, 150), view->mapToGlobal(QPointF(200, 150)), QPoint(),
                         QPoint(-120, 0), {}, Qt::AltModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view.get(), &sideways);
    EXPECT_EQ(view->brushDiameter(), 22);
    // A touchpad's pixels: 15 are a notch's worth.
    QWheelEvent touchpad(QPointF(200, 150), view->mapToGlobal(QPointF(200, 150)), QPoint(0, 15),
                         QPoint(), {}, Qt::AltModifier, Qt::ScrollUpdate, false);
    QApplication::sendEvent(view.get(), &touchpad);
    EXPECT_EQ(view->brushDiameter(), 27);
    key(*view, QEvent::KeyRelease, Qt::Key_Alt, 0, Qt::NoModifier);
    EXPECT_EQ(view->viewTransform(), before);
}

TEST(Viewport, ModifiersReleasedElsewhereDoNotStick)
{
    auto view = shownCanvas(gradientPicture(1600, 1200));
    // Alt went down here and came up at another window (Alt+Tab): the next
    // wheel, which carries no Alt, zooms instead of resizing the brush.
    key(*view, QEvent::KeyPress, Qt::Key_Alt, 0, Qt::AltModifier);
    g_held = Qt::NoModifier; // the release went to the other window
    const float diameter = view->brushDiameter();
    wheel(*view, {200, 150}, 2);
    EXPECT_EQ(view->brushDiameter(), diameter);
    EXPECT_FALSE(view->imageFit());

    // Ctrl held when the application lost the keyboard: forgotten at once
    // (the cursor shows the brush again), and a plain press paints.
    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), view->mapToGlobal(QPointF(10, 10)));
    QApplication::sendEvent(view.get(), &enter);
    holdCtrl(*view, true);
    QEvent deactivate(QEvent::ApplicationDeactivate);
    QApplication::sendEvent(qApp, &deactivate);
    g_held = Qt::NoModifier;
    EXPECT_EQ(view->cursorKind(), ZRImageCutView::CursorKind::Brush);
    view->waitUntilIdle();
    QueuePause pause(*view);
    mouse(*view, QEvent::MouseButtonPress, {300, 300});
    mouse(*view, QEvent::MouseButtonRelease, {300, 300});
    EXPECT_EQ(stamps(view->eventBuffer().entries()), 1);
}

TEST(Viewport, SwipePansAndPinchOnlyLogs)
{
    auto view = shownCanvas(gradientPicture(1600, 1200));
    for (int i = 0; i < 6; ++i)
        wheel(*view, {400, 300}, 20); // zoomed in beyond the canvas
    view->waitUntilIdle();
    const ViewTransform before = view->viewTransform();
    QNativeGestureEvent swipe(Qt::SwipeNativeGesture, QPointingDevice::primaryPointingDevice(), 3,
                              QPointF(400, 300), QPointF(400, 300),
                              view->mapToGlobal(QPointF(400, 300)), 0, QPointF(-10, 5));
    QApplication::sendEvent(view.get(), &swipe);
    EXPECT_DOUBLE_EQ(view->viewTransform().tx, before.tx - 10);
    EXPECT_DOUBLE_EQ(view->viewTransform().ty, before.ty - 5);

    testsupport::LogCapture log;
    const ViewTransform unchanged = view->viewTransform();
    QNativeGestureEvent pinch(Qt::ZoomNativeGesture, QPointingDevice::primaryPointingDevice(), 2,
                              QPointF(400, 300), QPointF(400, 300),
                              view->mapToGlobal(QPointF(400, 300)), 0.3, QPointF());
    QApplication::sendEvent(view.get(), &pinch);
    ASSERT_EQ(log.lines.size(), 1);
    EXPECT_TRUE(log.lines[0].startsWith("magnifyWithEvent: "));
    EXPECT_EQ(view->viewTransform(), unchanged);
}

TEST(Viewport, EasedChangesSetTheModelAtOnceAndPansCancelThem)
{
    auto view = shownCanvas(gradientPicture(1600, 1200));
    const ViewTransform fitted = view->viewTransform();
    QElapsedTimer clock;
    clock.start();
    wheel(*view, {200, 150}, 10);
    const ViewTransform zoomed = view->viewTransform();
    EXPECT_NEAR(zoomed.scale, 0.6, 1e-6); // the model holds the target at once
    const ViewTransform shown = view->imageLayer()->presentationTransform();
    if (clock.elapsed() < 50) {
        EXPECT_TRUE(view->isAnimating());
        EXPECT_GE(shown.scale, fitted.scale);
        EXPECT_LT(shown.scale, zoomed.scale);
    }
    ASSERT_TRUE(testsupport::waitFor([&] { return !view->isAnimating(); }));
    EXPECT_GE(clock.elapsed(), 95); // 0.1 s
    EXPECT_EQ(view->imageLayer()->presentationTransform(), zoomed);
    EXPECT_EQ(view->bluredLayer()->presentationTransform(), zoomed);

    // A bounds correction eases over 0.2 s.
    view->imageLayer()->setTransform({zoomed.scale, 5000, zoomed.ty});
    view->bluredLayer()->setTransform({zoomed.scale, 5000, zoomed.ty});
    clock.restart();
    view->limitDrag();
    EXPECT_FLOAT_EQ(float(view->viewTransform().tx), float(80 + zoomed.scale * 1600 / 2));
    ASSERT_TRUE(testsupport::waitFor([&] { return !view->isAnimating(); }));
    EXPECT_GE(clock.elapsed(), 195);

    // A pan stops a running zoom where the model is.
    clock.restart();
    wheel(*view, {200, 150}, 10);
    if (clock.elapsed() < 50) {
        EXPECT_TRUE(view->isAnimating());
    }
    holdCtrl(*view, true);
    mouse(*view, QEvent::MouseButtonPress, {400, 300});
    EXPECT_FALSE(view->isAnimating());
    EXPECT_EQ(view->imageLayer()->presentationTransform(), view->viewTransform());
    mouse(*view, QEvent::MouseButtonRelease, {400, 300});
    holdCtrl(*view, false);
}

TEST(BrushCursor, SizeIsTheEvenDiameterPlusMargins)
{
    auto view = shownCanvas(gradientPicture(400, 300));
    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), view->mapToGlobal(QPointF(10, 10)));
    QApplication::sendEvent(view.get(), &enter);
    struct Case {
        float diameter;
        int side;
    };
    for (const Case c :
         {Case{20, 26}, Case{25, 30}, Case{41, 46}, Case{42, 48}, Case{43, 48}, Case{200, 206}}) {
        view->setBrushDiameter(c.diameter);
        EXPECT_EQ(view->cursorKind(), ZRImageCutView::CursorKind::Brush);
        EXPECT_EQ(view->cursorSize(), c.side) << c.diameter;
        EXPECT_EQ(view->brushCursor().hotSpot(), QPoint(c.side / 2, c.side / 2));
    }
    // A one-point white circle of the even diameter, 3 points in from the
    // edges, with a soft black shadow on both sides of the line.
    view->setBrushDiameter(21);
    const QImage ring =
        view->brushCursor().pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(ring.width(), 26);
    const int row = 13;
    EXPECT_EQ(ring.pixel(3, row), 0xffffffffu);
    EXPECT_EQ(ring.pixel(22, row), 0xffffffffu);
    for (int x : {1, 2, 4, 5, 20, 21, 23, 24}) {
        EXPECT_GT(qAlpha(ring.pixel(x, row)), 0) << x;
        EXPECT_EQ(qRed(ring.pixel(x, row)), 0) << x;
    }
    EXPECT_EQ(qAlpha(ring.pixel(13, row)), 0); // nothing in the middle below 42
    // From 42 on a cross marks the centre (41 has none); 43 draws as 42.
    auto image = [&](float d) {
        view->setBrushDiameter(d);
        return view->brushCursor().pixmap().toImage();
    };
    auto centre = [](const QImage& cursor) {
        int brightest = 0;
        for (int y = cursor.height() / 2 - 2; y <= cursor.height() / 2 + 1; ++y)
            for (int x = cursor.width() / 2 - 2; x <= cursor.width() / 2 + 1; ++x)
                brightest = std::max(brightest, qRed(cursor.pixel(x, y)));
        return brightest;
    };
    EXPECT_EQ(centre(image(41)), 0);
    EXPECT_GT(centre(image(42)), 200);
    EXPECT_EQ(image(43), image(42));
}

TEST(BrushCursor, ChoiceFollowsTheModeTheModifiersAndThePointer)
{
    auto view = shownCanvas(gradientPicture(1600, 1200));
    using Kind = ZRImageCutView::CursorKind;
    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), view->mapToGlobal(QPointF(10, 10)));
    QApplication::sendEvent(view.get(), &enter);
    EXPECT_EQ(view->cursorKind(), Kind::Brush);
    holdCtrl(*view, true);
    EXPECT_EQ(view->cursorKind(), Kind::OpenHand);
    mouse(*view, QEvent::MouseButtonPress, {400, 300}, Qt::ControlModifier);
    EXPECT_EQ(view->cursorKind(), Kind::ClosedHand);
    mouse(*view, QEvent::MouseButtonRelease, {400, 300}, Qt::ControlModifier);
    EXPECT_EQ(view->cursorKind(), Kind::OpenHand);
    holdCtrl(*view, false);
    EXPECT_EQ(view->cursorKind(), Kind::Brush);
    view->setDragMode(1);
    view->updateCursor();
    EXPECT_EQ(view->cursorKind(), Kind::OpenHand);
    holdCtrl(*view, true);
    EXPECT_EQ(view->cursorKind(), Kind::Brush);
    holdCtrl(*view, false);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(view.get(), &leave);
    EXPECT_EQ(view->cursorKind(), Kind::Arrow);
}

TEST(BrushCursor, UpdateFromAnotherThreadWaitsForTheMainThread)
{
    auto view = shownCanvas(gradientPicture(400, 300));
    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), view->mapToGlobal(QPointF(10, 10)));
    QApplication::sendEvent(view.get(), &enter);
    view->setDragMode(1);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        view->updateCursor();
        done = true;
    });
    EXPECT_TRUE(testsupport::waitFor([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(view->cursorKind(), ZRImageCutView::CursorKind::OpenHand);
}
