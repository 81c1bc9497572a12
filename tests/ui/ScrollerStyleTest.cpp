#include "ui/ScrollerStyle.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QScrollBar>
#include <QStyleFactory>
#include <QStyleOptionSlider>

#include <memory>

namespace {

const QColor backdrop(255, 0, 255);

QImage render(QScrollBar& bar)
{
    QImage image(bar.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(backdrop);
    bar.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

QRect sliderRect(QScrollBar& bar)
{
    QStyleOptionSlider option;
    option.initFrom(&bar);
    option.subControls = QStyle::SC_All;
    option.orientation = bar.orientation();
    option.minimum = bar.minimum();
    option.maximum = bar.maximum();
    option.sliderPosition = bar.sliderPosition();
    option.sliderValue = bar.value();
    option.singleStep = bar.singleStep();
    option.pageStep = bar.pageStep();
    option.upsideDown = false;
    return bar.style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider,
                                       &bar);
}

int pixelsOtherThanBackdrop(const QImage& image, const QRect& area)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixel(x, y) != backdrop.rgb())
                ++count;
    return count;
}

void setUp(QScrollBar& bar, QStyle* style)
{
    bar.setStyle(style);
    bar.setRange(0, 100);
    bar.setPageStep(25);
    bar.setValue(0);
    bar.resize(16, 240);
}

} // namespace

TEST(ScrollerStyle, ScrollBarDrawsOnlyItsKnob)
{
    std::unique_ptr<QStyle> plain(QStyleFactory::create(QStringLiteral("Fusion")));
    ASSERT_TRUE(plain);
    ScrollerStyle style(QStyleFactory::create(QStringLiteral("Fusion")));

    // The plain style paints its groove below the knob; this is what goes away.
    QScrollBar reference(Qt::Vertical);
    setUp(reference, plain.get());
    const QRect referenceKnob = sliderRect(reference);
    const QImage referenceImage = render(reference);
    const QRect below(0, referenceKnob.bottom() + 4, 16, 40);
    ASSERT_GT(pixelsOtherThanBackdrop(referenceImage, below), 0);

    QScrollBar bar(Qt::Vertical);
    setUp(bar, &style);
    const QRect knob = sliderRect(bar);
    ASSERT_FALSE(knob.isEmpty());
    const QImage image = render(bar);

    // Everything outside the knob, groove and arrow areas alike, keeps the backdrop.
    const QRect outside[] = {QRect(0, 0, 16, knob.top()),
                             QRect(0, knob.bottom() + 1, 16, 240 - knob.bottom() - 1)};
    for (const QRect& area : outside)
        EXPECT_EQ(pixelsOtherThanBackdrop(image, area), 0);
    EXPECT_NE(image.pixel(knob.center()), backdrop.rgb());

    // With nothing to scroll there is no knob either.
    bar.setRange(0, 0);
    EXPECT_EQ(pixelsOtherThanBackdrop(render(bar), bar.rect()), 0);
}

