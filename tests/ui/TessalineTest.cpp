#include "ui/Tessaline.h"
#include "ui/FitInBox.h"
#include "ui/BezierPathUtilities.h"

#include <gtest/gtest.h>

#include <QApplication>

namespace {

struct ColorCase {
    float r, g, b;
    double red, green, blue;
};

} // namespace

TEST(Tessaline, ComponentsAboveOneAreReadAsBytes)
{
    const ColorCase cases[] = {
        {0.5f, 0.5f, 0.5f, 0.5, 0.5, 0.5},
        {128, 128, 128, 128 / 255.0, 128 / 255.0, 128 / 255.0},
        {1, 1, 1, 1, 1, 1},
        {2, 1, 1, 2 / 255.0, 1 / 255.0, 1 / 255.0},
        {53, 125, 210, 53 / 255.0, 125 / 255.0, 210 / 255.0},
        {0.2f, 0.9f, 0.2f, 0.2, 0.9, 0.2},
    };
    for (const ColorCase& c : cases) {
        const QColor color = Tessaline::rgb(c.r, c.g, c.b);
        SCOPED_TRACE(testing::Message() << c.r << " " << c.g << " " << c.b);
        EXPECT_NEAR(color.redF(), c.red, 1e-4);
        EXPECT_NEAR(color.greenF(), c.green, 1e-4);
        EXPECT_NEAR(color.blueF(), c.blue, 1e-4);
        EXPECT_FLOAT_EQ(color.alphaF(), 1.0f);
    }
    // Alpha is never scaled, whatever the colour components are.
    const QColor halfRed = Tessaline::rgba(200, 0, 0, 0.5f);
    EXPECT_NEAR(halfRed.redF(), 200 / 255.0, 1e-4);
    EXPECT_NEAR(halfRed.alphaF(), 0.5, 1e-4);
}

TEST(Tessaline, FittedFontIsTheLargestSearchedSizeThatFits)
{
    QFont font = QApplication::font();
    font.setPointSizeF(12);
    const QString title = QStringLiteral("Remove the background");
    const QSizeF boxes[] = {{72, 22}, {300, 40}, {40, 200}, {1000, 12}, {60, 10}};
    for (const QSizeF box : boxes) {
        SCOPED_TRACE(testing::Message() << box.width() << " x " << box.height());
        const QFont fitted = Tessaline::fontForStringFitInSize(font, title, box);
        EXPECT_EQ(fitted.family(), font.family());
        const QSizeF size = Tessaline::sizeWithFont(title, fitted);
        EXPECT_LE(size.width(), box.width());
        EXPECT_LE(size.height(), box.height());
        // One shrinking step larger no longer fits: the search stopped at the edge.
        const QFont larger = Tessaline::fontWithSize(fitted, float(fitted.pointSizeF() / 0.97));
        const QSizeF largerSize = Tessaline::sizeWithFont(title, larger);
        EXPECT_TRUE(largerSize.width() > box.width() || largerSize.height() > box.height());
    }
}

TEST(Tessaline, FittingLeavesTheFontAloneForAnEmptyBoxOrString)
{
    QFont font = QApplication::font();
    font.setPointSizeF(11);
    EXPECT_EQ(Tessaline::fontForStringFitInSize(font, QStringLiteral("abc"), QSizeF(0, 20)), font);
    EXPECT_EQ(Tessaline::fontForStringFitInSize(font, QStringLiteral("abc"), QSizeF(20, 0)), font);
    EXPECT_EQ(Tessaline::fontForStringFitInSize(font, QStringLiteral("abc"), QSizeF(-5, 20)), font);
    EXPECT_EQ(Tessaline::fontForStringFitInSize(font, QString(), QSizeF(100, 20)), font);
}

TEST(AspectFit, FitsTheBoxKeepingTheRatio)
{
    struct Case {
        QSizeF size, box, expected;
    };
    const Case cases[] = {
        {{100, 100}, {210, 150}, {150, 150}},
        {{800, 400}, {210, 150}, {210, 105}},
        {{210, 150}, {210, 150}, {210, 150}}, // equal ratios: the height binds
        {{10, 5}, {100, 100}, {100, 50}},     // scales up too
        {{3000, 2000}, {2000, 2000}, {2000, 2000.0 * 2000 / 3000}},
    };
    for (const Case& c : cases) {
        const QSizeF fitted = AspectFitSize(c.size, c.box);
        EXPECT_DOUBLE_EQ(fitted.width(), c.expected.width());
        EXPECT_DOUBLE_EQ(fitted.height(), c.expected.height());
    }
}

TEST(BezierPathUtilities, RingSegmentCoversTheAnglesCounterClockwiseOnScreen)
{
    using BezierPathUtilities::bezierPathWithArcInCenter;
    const QPointF c(100, 100);
    // The upper half ring: 90 degrees is up on screen, which is smaller y.
    const QPainterPath upper = bezierPathWithArcInCenter(c, 40, 0, 180);
    EXPECT_TRUE(upper.contains(QPointF(100, 70)));
    EXPECT_TRUE(upper.contains(QPointF(68, 98)));
    EXPECT_TRUE(upper.contains(QPointF(132, 98)));
    EXPECT_FALSE(upper.contains(QPointF(100, 130)));
    EXPECT_FALSE(upper.contains(QPointF(100, 90))); // inside the inner radius
    EXPECT_FALSE(upper.contains(QPointF(100, 55))); // outside the outer radius

    // Half progress: the quarter from 90 to 180 degrees, upper left.
    const QPainterPath quarter = bezierPathWithArcInCenter(c, 40, 90, 180);
    EXPECT_TRUE(quarter.contains(QPointF(78, 78)));
    EXPECT_FALSE(quarter.contains(QPointF(122, 78)));
    EXPECT_FALSE(quarter.contains(QPointF(78, 122)));

    // No progress: nothing.
    const QPainterPath none = bezierPathWithArcInCenter(c, 40, 180, 180);
    EXPECT_FALSE(none.contains(QPointF(100, 70)));
    EXPECT_FALSE(none.contains(QPointF(70, 100)));

    // From 270 round to 180 is three quarters, all but the lower left.
    const QPainterPath wrapped = bezierPathWithArcInCenter(c, 40, 270, 180);
    EXPECT_TRUE(wrapped.contains(QPointF(130, 100)));
    EXPECT_TRUE(wrapped.contains(QPointF(122, 122)));
    EXPECT_TRUE(wrapped.contains(QPointF(78, 78)));
    EXPECT_FALSE(wrapped.contains(QPointF(78, 122)));
}
