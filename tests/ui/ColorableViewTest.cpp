#include "ui/ColorableView.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPalette>

namespace {

// A blue backdrop with the view covering it.
struct Scene {
    QWidget backdrop;
    ColorableView* view;

    Scene()
    {
        backdrop.resize(40, 40);
        QPalette palette;
        palette.setColor(QPalette::Window, QColor(0, 0, 255));
        backdrop.setPalette(palette);
        backdrop.setAutoFillBackground(true);
        view = new ColorableView(&backdrop);
        view->setGeometry(0, 0, 40, 40);
    }

    QColor centre()
    {
        QImage image(backdrop.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::black);
        backdrop.render(&image);
        return QColor::fromRgba(image.pixel(20, 20));
    }
};

} // namespace

TEST(ColorableView, PaintsItsColourWithAlphaOverWhatIsBehind)
{
    Scene scene;
    EXPECT_FALSE(scene.view->backgroundColor().isValid());
    EXPECT_EQ(scene.centre(), QColor(0, 0, 255)) << "no colour paints nothing";

    scene.view->setBackgroundColor(QColor(255, 0, 0));
    EXPECT_EQ(scene.centre(), QColor(255, 0, 0));

    scene.view->setBackgroundColor(QColor(255, 0, 0, 128));
    const QColor half = scene.centre();
    EXPECT_NEAR(half.red(), 128, 2);
    EXPECT_NEAR(half.blue(), 127, 2);
    EXPECT_EQ(half.green(), 0);
}
