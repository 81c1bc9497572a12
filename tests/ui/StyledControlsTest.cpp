#include "TestSupport.h"
#include "ui/BezierPathUtilities.h"
#include "ui/GradientButton.h"
#include "ui/ScrollerStyle.h"
#include "ui/Tessaline.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QStyleOptionButton>
#include <QImage>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTest>

#include <cstdlib>

namespace {

using testsupport::render;

using testsupport::colourNear;

const QRgb border = qRgb(31, 74, 122);
const QRgb active = qRgb(53, 125, 210);
const QRgb pressed = qRgb(36, 80, 147);

} // namespace

TEST(GradientButton, HouseColoursAndAGradientFromTheBottomToTheTop)
{
    GradientButton button;
    button.resize(100, 30);
    QImage image = render(button);
    // One pixel of the 2-pixel outline shows outside the fill on every side;
    // without a gradient colour the fill is flat.
    for (QPoint at : {QPoint(0, 15), QPoint(99, 15), QPoint(50, 0), QPoint(50, 29)})
        EXPECT_TRUE(colourNear(image.pixel(at), border, 2));
    for (int y : {2, 15, 27})
        EXPECT_TRUE(colourNear(image.pixel(50, y), active, 2));
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0); // the rounded corner

    const QColor end(250, 20, 10);
    button.setActiveGradient(end);
    image = render(button);
    EXPECT_TRUE(colourNear(image.pixel(50, 28), active, 8));
    EXPECT_TRUE(colourNear(image.pixel(50, 1), end.rgb(), 8));
    const QColor middle = QColor::fromRgb(image.pixel(50, 15));
    EXPECT_NEAR(middle.red(), (qRed(active) + end.red()) / 2, 10);
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
    EXPECT_TRUE(colourNear(image.pixel(50, 28), pressed, 8));
    EXPECT_TRUE(colourNear(image.pixel(50, 1), qRgb(0, 200, 0), 8));

    // Moving out keeps the pressed look; releasing outside sends no click.
    QTest::mouseMove(&button, QPoint(300, 300));
    EXPECT_TRUE(button.mouseIsDown());
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, QPoint(300, 300));
    EXPECT_FALSE(button.mouseIsDown());
    EXPECT_EQ(clicked.count(), 0);
    image = render(button);
    EXPECT_TRUE(colourNear(image.pixel(50, 15), active, 2));

    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, QPoint(50, 15));
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_FALSE(button.mouseIsDown());
}

TEST(GradientButton, TitleIsDrawnInItsColourCentredAndShrinksToFitButNeverGrows)
{
    GradientButton button(QStringLiteral("MMMM"));
    button.resize(120, 40);
    button.setTitleColor(QColor(0, 255, 0));
    const QImage image = render(button);
    int ink = 0, rowSum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = QColor::fromRgb(image.pixel(x, y));
            if (c.green() > 200 && c.red() < 80 && c.blue() < 120) {
                ++ink;
                rowSum += y;
            }
        }
    ASSERT_GT(ink, 10);
    // Centred, nudged down: the ink's middle sits at or just below the centre.
    EXPECT_GT(double(rowSum) / ink, 19.0);
    EXPECT_LT(double(rowSum) / ink, 25.0);

    QFont font = QApplication::font();
    font.setPointSizeF(13);
    for (auto [title, size, shrinks] :
         {std::tuple{"Save the finished picture as PNG", QSize(90, 30), true},
          std::tuple{"OK", QSize(400, 200), false}}) {
        GradientButton fitted(QString::fromLatin1(title));
        fitted.setFont(font);
        fitted.resize(size);
        EXPECT_EQ(fitted.titleFont().pointSizeF() < 13, shrinks) << title;
        EXPECT_LE(fitted.titleFont().pointSizeF(), 13) << title;
    }
}

// Fusion paints a groove and arrows; the style leaves only the knob: one
// run of painted rows, well inside the bar, and none with nothing to scroll.
TEST(ScrollerStyle, ScrollBarDrawsOnlyItsKnob)
{
    ScrollerStyle style(QStyleFactory::create(QStringLiteral("Fusion")));
    QScrollBar bar(Qt::Vertical);
    bar.setStyle(&style);
    bar.setRange(0, 100);
    bar.setPageStep(25);
    bar.resize(16, 240);
    const QRgb backdrop = qRgb(255, 0, 255);
    auto paintedRows = [&] {
        const QImage image = testsupport::render(bar, backdrop);
        QList<int> rows;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixel(x, y) != backdrop) {
                    rows << y;
                    break;
                }
        return rows;
    };
    const QList<int> rows = paintedRows();
    ASSERT_GT(rows.size(), 20);
    EXPECT_LT(rows.size(), 120);
    EXPECT_EQ(rows.last() - rows.first() + 1, rows.size()); // one run
    EXPECT_LT(rows.last(), 239);
    bar.setRange(0, 0);
    EXPECT_TRUE(paintedRows().isEmpty());
}

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
        {1, 1, 1, 1, 1, 1},
        {2, 1, 1, 2 / 255.0, 1 / 255.0, 1 / 255.0},
        {53, 125, 210, 53 / 255.0, 125 / 255.0, 210 / 255.0},
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
    // An empty box or string leaves the font alone.
    EXPECT_EQ(Tessaline::fontForStringFitInSize(font, title, QSizeF(-5, 20)), font);
    EXPECT_EQ(Tessaline::fontForStringFitInSize(font, QString(), QSizeF(100, 20)), font);
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

TEST(BezierPathUtilities, RingSegmentCoversTheAnglesCounterClockwiseOnScreen)
{
    // 90 degrees is up on screen (smaller y); the ring spans radii 20 to 40.
    const struct {
        float from, to;
        QPointF point;
        bool inside;
    } table[] = {
        {0, 180, {100, 70}, true},    {0, 180, {68, 98}, true},     {0, 180, {132, 98}, true},
        {0, 180, {100, 130}, false},  {0, 180, {100, 90}, false},   {0, 180, {100, 55}, false},
        {90, 180, {78, 78}, true},    {90, 180, {122, 78}, false},  {90, 180, {78, 122}, false},
        {180, 180, {100, 70}, false}, {180, 180, {70, 100}, false}, {270, 180, {130, 100}, true},
        {270, 180, {122, 122}, true}, {270, 180, {78, 78}, true},   {270, 180, {78, 122}, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message()
                     << row.from << " " << row.point.x() << "," << row.point.y());
        const QPainterPath ring =
            BezierPathUtilities::bezierPathWithArcInCenter({100, 100}, 40, row.from, row.to);
        EXPECT_EQ(ring.contains(row.point), row.inside);
    }
}

// On the dark panel an empty box must still read as a box, and a checked one
// as filled: Fusion drew a dark square and a bare tick.
TEST(ScrollerStyle, CheckBoxesStandOutOnADarkPanel)
{
    ScrollerStyle style(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette palette;
    const QColor panel(27, 31, 38), accent(53, 125, 210);
    palette.setColor(QPalette::Window, panel);
    palette.setColor(QPalette::WindowText, QColor(226, 231, 238));
    palette.setColor(QPalette::Base, QColor(24, 27, 33));
    palette.setColor(QPalette::Highlight, accent);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    QCheckBox box(QStringLiteral("Refine edges"));
    box.setStyle(&style);
    box.setPalette(palette);
    box.resize(box.sizeHint());
    QStyleOptionButton option;
    option.initFrom(&box);
    const QRect indicator = style.subElementRect(QStyle::SE_CheckBoxIndicator, &option, &box);
    auto brightest = [&](const QImage& image) {
        int best = 0;
        for (int y = indicator.top(); y <= indicator.bottom(); ++y)
            for (int x = indicator.left(); x <= indicator.right(); ++x)
                best = std::max(best, qGray(image.pixel(x, y)));
        return best;
    };
    const QImage empty = render(box, panel.rgb());
    EXPECT_GE(brightest(empty) - qGray(panel.rgb()), 80) << "the empty box's outline";
    box.setChecked(true);
    const QImage checked = render(box, panel.rgb());
    EXPECT_TRUE(colourNear(checked.pixel(indicator.center().x(), indicator.top() + 3), accent.rgb(), 12));
    EXPECT_EQ(brightest(checked), 255) << "the tick";
}
