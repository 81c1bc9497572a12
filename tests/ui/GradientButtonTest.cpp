#include "ui/GradientButton.h"
#include "ui/Tessaline.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include <cstdlib>
#include <thread>

namespace {

QImage render(QWidget& widget)
{
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

::testing::AssertionResult near(QRgb actual, QColor expected, int tolerance = 2)
{
    const QColor a = QColor::fromRgba(actual);
    if (std::abs(a.red() - expected.red()) <= tolerance &&
        std::abs(a.green() - expected.green()) <= tolerance &&
        std::abs(a.blue() - expected.blue()) <= tolerance && a.alpha() == expected.alpha())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "got " << a.red() << "," << a.green() << "," << a.blue() << "," << a.alpha()
           << " expected " << expected.red() << "," << expected.green() << "," << expected.blue()
           << "," << expected.alpha();
}

const QColor border(31, 74, 122);
const QColor active(53, 125, 210);
const QColor pressed(36, 80, 147);

} // namespace

TEST(GradientButton, FreshButtonHasTheHouseColours)
{
    GradientButton button;
    button.resize(100, 30);
    const QImage image = render(button);
    // One pixel of the 2-pixel outline shows outside the fill on every side;
    // without a gradient colour the fill is flat.
    for (QPoint at : {QPoint(0, 15), QPoint(99, 15), QPoint(50, 0), QPoint(50, 29)})
        EXPECT_TRUE(near(image.pixel(at), border));
    for (int y : {2, 15, 27})
        EXPECT_TRUE(near(image.pixel(50, y), active));
    // The rounded corner leaves the very corner pixel untouched.
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
}

TEST(GradientButton, GradientRunsFromTheStartColourAtTheBottomToTheEndColourAtTheTop)
{
    GradientButton button;
    button.resize(100, 30);
    const QColor end(250, 20, 10);
    button.setActiveGradient(end);
    const QImage image = render(button);
    EXPECT_TRUE(near(image.pixel(50, 28), active, 8));
    EXPECT_TRUE(near(image.pixel(50, 1), end, 8));
    const QColor middle = QColor::fromRgb(image.pixel(50, 15));
    EXPECT_NEAR(middle.red(), (active.red() + end.red()) / 2, 10);
    EXPECT_NEAR(middle.blue(), (active.blue() + end.blue()) / 2, 10);
}

TEST(GradientButton, PressedColoursLastFromPressToReleaseWherever)
{
    GradientButton button;
    button.resize(100, 30);
    button.setPressedGradient(QColor(0, 200, 0));
    button.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&button));
    QSignalSpy clicked(&button, &QAbstractButton::clicked);

    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, QPoint(50, 15));
    EXPECT_TRUE(button.mouseIsDown());
    QImage image = render(button);
    EXPECT_TRUE(near(image.pixel(50, 28), pressed, 8));
    EXPECT_TRUE(near(image.pixel(50, 1), QColor(0, 200, 0), 8));

    // Moving out keeps the pressed look; releasing outside sends no click.
    QTest::mouseMove(&button, QPoint(300, 300));
    EXPECT_TRUE(button.mouseIsDown());
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, QPoint(300, 300));
    EXPECT_FALSE(button.mouseIsDown());
    EXPECT_EQ(clicked.count(), 0);
    image = render(button);
    EXPECT_TRUE(near(image.pixel(50, 15), active));

    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, QPoint(50, 15));
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_FALSE(button.mouseIsDown());
}

TEST(GradientButton, TitleIsDrawnInTheTitleColour)
{
    GradientButton button(QStringLiteral("MMMM"));
    button.resize(120, 40);
    button.setTitleColor(QColor(0, 255, 0));
    const QImage image = render(button);
    int green = 0;
    int rowSum = 0;
    int rows = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = QColor::fromRgb(image.pixel(x, y));
            if (c.green() > 200 && c.red() < 80 && c.blue() < 120) {
                ++green;
                rowSum += y;
                ++rows;
            }
        }
    }
    ASSERT_GT(green, 10);
    // Centred, nudged down: the ink's middle sits at or just below the centre.
    const double inkMiddle = double(rowSum) / rows;
    EXPECT_GT(inkMiddle, 19.0);
    EXPECT_LT(inkMiddle, 25.0);
}

TEST(GradientButton, TitleShrinksToFitButNeverGrows)
{
    QFont font = QApplication::font();
    font.setPointSizeF(13);

    GradientButton narrow(QStringLiteral("Save the finished picture as PNG"));
    narrow.setFont(font);
    narrow.resize(90, 30);
    EXPECT_LT(narrow.titleFont().pointSizeF(), 13);

    GradientButton wide(QStringLiteral("OK"));
    wide.setFont(font);
    wide.resize(400, 200);
    EXPECT_EQ(wide.titleFont().pointSizeF(), 13);

    GradientButton untitled;
    untitled.setFont(font);
    untitled.resize(100, 30);
    EXPECT_EQ(untitled.titleFont(), font);
}

TEST(GradientButton, ColoursCanBeReadWhileAnotherThreadSetsThem)
{
    GradientButton button;
    const QColor a(1, 2, 3);
    const QColor b(200, 100, 50);
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            button.setActiveGradient(i % 2 ? a : b);
    });
    for (int i = 0; i < 2000; ++i) {
        const QColor seen = button.activeGradient();
        EXPECT_TRUE(!seen.isValid() || seen == a || seen == b);
    }
    writer.join();
}
