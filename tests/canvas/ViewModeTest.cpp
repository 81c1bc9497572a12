#include "canvas/Compositor.h"

#include <gtest/gtest.h>

namespace {

// A 4 x 1 picture shown at scale 1 in a 4 x 1 frame: red, opaque. Its mask
// keeps the first two pixels and cuts the last two.
struct Scene {
    Scene()
    {
        picture.fill(qRgb(200, 0, 0));
        tile.fill(qRgb(100, 100, 100));
        const uchar values[4] = {255, 255, 0, 0};
        for (int x = 0; x < 4; ++x)
            mask.scanLine(0)[x] = values[x];
        layers.picture = picture;
        layers.mask = mask;
        layers.pictureSize = QSizeF(4, 1);
    }
    QImage paint()
    {
        QImage frame(4, 1, QImage::Format_ARGB32_Premultiplied);
        Compositor::paintFrame(frame, frame.rect(), tile, layers, {1, 2, 0.5});
        return frame;
    }
    QImage picture{4, 1, QImage::Format_RGB32};
    QImage tile{8, 8, QImage::Format_RGB32};
    QImage mask{4, 1, QImage::Format_Alpha8};
    Compositor::Layers layers;
};

} // namespace

TEST(ViewModes, EachModeShowsWhatItNamesOnItsBackdrop)
{
    using Mode = Compositor::ViewMode;
    struct Case {
        Mode mode;
        std::uint32_t backdrop;
        QRgb kept, cut;
    } cases[] = {
        {Mode::CutOut, 0, qRgb(200, 0, 0), qRgb(100, 100, 100)},
        {Mode::CutOut, 0xff0000ffu, qRgb(200, 0, 0), qRgb(0, 0, 255)},
        {Mode::Mask, 0, qRgb(255, 255, 255), qRgb(0, 0, 0)},
        {Mode::Original, 0, qRgb(200, 0, 0), qRgb(200, 0, 0)},
        // Half the tint (blue here) over the picture where cut.
        {Mode::Overlay, 0, qRgb(200, 0, 0), qRgb(100, 0, 128)},
    };
    for (const Case& c : cases) {
        Scene scene;
        scene.layers.mode = c.mode;
        scene.layers.backdrop = c.backdrop;
        scene.layers.tint = 0xff0000ffu;
        const QImage frame = scene.paint();
        EXPECT_EQ(frame.pixel(0, 0), c.kept) << int(c.mode);
        EXPECT_EQ(frame.pixel(3, 0), c.cut) << int(c.mode);
    }
}
