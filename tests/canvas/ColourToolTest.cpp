#include "CanvasSupport.h"
#include "canvas/ColourTool.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QWindow>

#include <cmath>
#include <random>

using namespace canvastest;

// Named, not anonymous: the test programs are unity builds.
namespace colourtooltest {

// 400 x 300 points of noisy blue with a red disc of radius 60 at (200, 150),
// shown at twice its size: widget point (x, y) is picture pixel (x/2, y/2).
Picture discPicture()
{
    QImage image(400, 300, QImage::Format_RGB32);
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> noise(-15, 15);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x) {
            const bool red = std::hypot(x + 0.5 - 200, y + 0.5 - 150) < 60;
            const int n = noise(rng);
            image.setPixel(x, y, red ? qRgb(200 + n, 40 + n, 40 + n) : qRgb(40 + n, 70 + n, 200 + n));
        }
    return Picture::fromImage(image);
}

std::unique_ptr<ZRImageCutView> toolCanvas(CutTool tool)
{
    auto view = canvasWith(discPicture());
    view->show();
    view->activateWindow();
    QApplication::processEvents();
    view->setTool(tool);
    view->waitUntilIdle(); // the colour cache is in
    return view;
}

void mouse(ZRImageCutView& view, QEvent::Type type, QPointF pos, Qt::KeyboardModifiers modifiers = {})
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, pos, pos, view.mapToGlobal(pos), button, buttons, modifiers);
    QApplication::sendEvent(&view, &event);
}

void key(ZRImageCutView& view, int keyCode, quint32 scanCode)
{
    for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent event(type, keyCode, Qt::NoModifier, scanCode, 0, 0);
        QApplication::sendEvent(view.windowHandle(), &event);
    }
}

// Mask alpha at picture pixel (x, y), top row first.
int alphaAt(const ZRImageCutView& view, int x, int y)
{
    return view.currentMask().constScanLine(y)[x];
}


TEST(ColourTool, AClickCutsTheSimilarRegionAsOneStepWithItsOverlayShownWhileHeld)
{
    auto view = toolCanvas(CutTool::Colour);
    mouse(*view, QEvent::MouseButtonPress, {40, 40});
    view->waitUntilIdle();
    EXPECT_FALSE(view->colourTool().overlayBounds().isEmpty());
    EXPECT_EQ(view->historyLength(), 1); // nothing recorded while the button is down
    EXPECT_EQ(alphaAt(*view, 20, 20), 255);

    mouse(*view, QEvent::MouseButtonRelease, {40, 40});
    view->waitUntilIdle();
    EXPECT_TRUE(view->colourTool().overlayBounds().isEmpty());
    EXPECT_EQ(view->historyLength(), 2);
    EXPECT_EQ(alphaAt(*view, 20, 20), 0);
    EXPECT_EQ(alphaAt(*view, 390, 290), 0);
    EXPECT_EQ(alphaAt(*view, 200, 150), 255);
    EXPECT_EQ(alphaAt(*view, 200, 100), 255); // just inside the rim

    view->prevHistoryState();
    view->waitUntilIdle();
    EXPECT_EQ(alphaAt(*view, 20, 20), 255);
}

TEST(ColourTool, DraggingRaisesTheToleranceAndEscapeCancelsWithoutAStep)
{
    auto view = toolCanvas(CutTool::Colour);
    view->colourTool().setTolerance(10);
    mouse(*view, QEvent::MouseButtonPress, {40, 40});
    mouse(*view, QEvent::MouseMove, {140, 80});
    EXPECT_DOUBLE_EQ(view->colourTool().regionTolerance(), 10 + 0.25 * (100 + 40));
    EXPECT_DOUBLE_EQ(view->colourTool().tolerance(), 10); // the start value stays
    key(*view, Qt::Key_Escape, 9);
    mouse(*view, QEvent::MouseMove, {200, 200});
    mouse(*view, QEvent::MouseButtonRelease, {200, 200});
    view->waitUntilIdle();
    EXPECT_FALSE(view->colourTool().regionActive());
    EXPECT_TRUE(view->colourTool().overlayBounds().isEmpty());
    EXPECT_EQ(view->historyLength(), 1);
    EXPECT_EQ(alphaAt(*view, 20, 20), 255);
}

TEST(ColourTool, BackgroundBrushCutsBlueAcrossTheRimAndAltClickPicksTheProtectedColour)
{
    auto view = toolCanvas(CutTool::Background);
    view->setBrushDiameter(60);
    view->setBrushHardness(1);
    // Centred on blue up to x = 135 (picture pixels), the 30-pixel brush
    // reaches over the disc's left rim at 140.
    mouse(*view, QEvent::MouseButtonPress, {200, 300});
    for (int x = 210; x <= 270; x += 10)
        mouse(*view, QEvent::MouseMove, {double(x), 300});
    mouse(*view, QEvent::MouseButtonRelease, {270, 300});
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), 2);
    EXPECT_EQ(alphaAt(*view, 120, 150), 0);   // blue under the brush
    EXPECT_EQ(alphaAt(*view, 145, 150), 255); // red under the brush
    EXPECT_EQ(alphaAt(*view, 120, 200), 255); // blue beyond it

    // Alt+click picks the protected colour and is no stroke.
    mouse(*view, QEvent::MouseButtonPress, {400, 300}, Qt::AltModifier);
    mouse(*view, QEvent::MouseButtonRelease, {400, 300}, Qt::AltModifier);
    view->waitUntilIdle();
    EXPECT_TRUE(view->colourTool().protectedColour());
    EXPECT_EQ(view->historyLength(), 2);
}

TEST(ColourTool, KeysChooseTheToolUnlessATextFieldHasTheKeyboard)
{
    auto view = toolCanvas(CutTool::Brush);
    struct Case {
        int key;
        quint32 scanCode;
        CutTool tool;
    };
    for (const Case& c : {Case{Qt::Key_W, 25, CutTool::Colour}, Case{Qt::Key_E, 26, CutTool::Background},
                          Case{Qt::Key_B, 56, CutTool::Brush}}) {
        key(*view, c.key, c.scanCode);
        EXPECT_EQ(view->colourTool().tool(), c.tool);
    }
    QLineEdit field(view.get());
    field.show();
    field.setFocus();
    QApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), &field);
    key(*view, Qt::Key_W, 25);
    EXPECT_EQ(view->colourTool().tool(), CutTool::Brush);
}

} // namespace colourtooltest
