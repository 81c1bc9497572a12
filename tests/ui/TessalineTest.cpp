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
    for (QSizeF box : {QSizeF(0, 20), QSizeF(20, 0), QSizeF(-5, 20)})
        EXPECT_EQ(Tessaline::fontForStringFitInSize(font, QStringLiteral("abc"), box), font);
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
    // 90 degrees is up on screen (smaller y); the ring spans radii 20 to 40.
    const struct {
        float from, to;
        QPointF point;
        bool inside;
    } table[] = {
        {0, 180, {100, 70}, true},   {0, 180, {68, 98}, true},    {0, 180, {132, 98}, true},
        {0, 180, {100, 130}, false}, {0, 180, {100, 90}, false},  {0, 180, {100, 55}, false},
        {90, 180, {78, 78}, true},   {90, 180, {122, 78}, false}, {90, 180, {78, 122}, false},
        {180, 180, {100, 70}, false}, {180, 180, {70, 100}, false},
        {270, 180, {130, 100}, true}, {270, 180, {122, 122}, true}, {270, 180, {78, 78}, true},
        {270, 180, {78, 122}, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << row.from << " " << row.point.x() << "," << row.point.y());
        const QPainterPath ring =
            BezierPathUtilities::bezierPathWithArcInCenter({100, 100}, 40, row.from, row.to);
        EXPECT_EQ(ring.contains(row.point), row.inside);
    }
}
