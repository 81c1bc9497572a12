#include "canvas/EdgeRefine.h"
#include "CanvasSupport.h"
#include "TestSupport.h"
#include "canvas/Compositor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

namespace {

// Pictures 600 x 300 under a 200 x 100 mask: three picture pixels per mask pixel.
constexpr int kW = 600, kH = 300;

QImage picture(const std::function<QRgb(int x, int y)>& colour)
{
    QImage image(kW, kH, QImage::Format_RGB32);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            reinterpret_cast<QRgb*>(image.scanLine(y))[x] = colour(x, y);
    return image;
}

// The mask a user would paint for a known alpha: its mean over each mask pixel.
QImage averagedMask(const std::function<double(int x, int y)>& alpha)
{
    QImage mask(kW / 3, kH / 3, QImage::Format_Alpha8);
    for (int j = 0; j < mask.height(); ++j)
        for (int i = 0; i < mask.width(); ++i) {
            double sum = 0;
            for (int y = 3 * j; y < 3 * j + 3; ++y)
                for (int x = 3 * i; x < 3 * i + 3; ++x)
                    sum += alpha(x, y);
            mask.scanLine(j)[i] = uchar(std::lround(255 * sum / 9));
        }
    return mask;
}

QImage refined(const QImage& pic, const QImage& mask)
{
    return EdgeRefine::result(pic, {}, mask, QSizeF(kW, kH), QSize(kW, kH));
}

QImage stretched(const QImage& pic, const QImage& mask)
{
    return Compositor::result(pic, {}, mask, QSizeF(kW, kH), QSize(kW, kH));
}

int alphaAt(const QImage& image, int x, int y)
{
    return qAlpha(reinterpret_cast<const QRgb*>(image.constScanLine(y))[x]);
}

int partialInRow(const QImage& image, int y)
{
    int n = 0;
    for (int x = 0; x < image.width(); ++x)
        n += alphaAt(image, x, y) != 0 && alphaAt(image, x, y) != 255;
    return n;
}

const QRgb kFur = qRgb(200, 140, 60), kGrass = qRgb(40, 120, 70);

} // namespace

// A vertical edge between two flat colours, on a mask pixel's border, inside
// one, and through a picture pixel (which the picture itself shows mixed).
TEST(EdgeRefine, HardEdgeBetweenFlatColoursComesOutSharp)
{
    for (double edge : {300.0, 301.0, 302.5}) {
        auto alpha = [edge](int x, int) { return std::clamp(edge - x, 0.0, 1.0); };
        const QImage pic = picture([&](int x, int y) {
            const double a = alpha(x, y);
            auto mix = [a](int f, int b) { return int(std::lround(a * f + (1 - a) * b)); };
            return qRgb(mix(qRed(kFur), qRed(kGrass)), mix(qGreen(kFur), qGreen(kGrass)),
                        mix(qBlue(kFur), qBlue(kGrass)));
        });
        const QImage mask = averagedMask(alpha);
        const QImage before = stretched(pic, mask), after = refined(pic, mask);
        for (int y : {0, 150, 299}) {
            ASSERT_GE(partialInRow(before, y), 2) << edge;
            EXPECT_LE(partialInRow(after, y), 1) << edge << " row " << y;
            for (int x = 290; x < 310; ++x) {
                EXPECT_NEAR(alphaAt(after, x, y), 255 * alpha(x, y), 3) << edge << " at " << x;
                // A partly kept pixel has the fur's colour, not the picture's mix with grass.
                const QRgb p = reinterpret_cast<const QRgb*>(after.constScanLine(y))[x];
                if (qAlpha(p) > 0 && qAlpha(p) < 255) {
                    EXPECT_NEAR(qRed(p), qRed(kFur), 4) << edge << " at " << x;
                    EXPECT_NEAR(qGreen(p), qGreen(kFur), 4) << edge << " at " << x;
                }
            }
        }
    }
}

// A strand one picture pixel wide, at each place within its mask pixels,
// keeps its full alpha and its colour, and the grass beside it is cut; with
// the blurred copy shown, that copy fills in beside it.
TEST(EdgeRefine, OnePixelStrandIsKept)
{
    QImage blur(kW / 2, kH / 2, QImage::Format_ARGB32_Premultiplied);
    blur.fill(qRgb(90, 90, 250));
    for (int strand : {300, 301, 302}) {
        auto alpha = [strand](int x, int) { return x == strand ? 1.0 : 0.0; };
        const QImage pic = picture([&](int x, int) { return x == strand ? kFur : kGrass; });
        const QImage mask = averagedMask(alpha);
        const QImage after = refined(pic, mask);
        const QImage overBlur = EdgeRefine::result(pic, blur, mask, QSizeF(kW, kH), QSize(kW, kH));
        for (int y : {10, 150, 290}) {
            for (const QImage& out : {after, overBlur}) {
                const QRgb on = reinterpret_cast<const QRgb*>(out.constScanLine(y))[strand];
                EXPECT_GE(qAlpha(on), 240) << strand;
                EXPECT_NEAR(qRed(on), qRed(kFur), 8) << strand;
                EXPECT_NEAR(qGreen(on), qGreen(kFur), 8) << strand;
            }
            for (int x : {strand - 2, strand - 1, strand + 1, strand + 2}) {
                EXPECT_LE(alphaAt(after, x, y), 16) << strand << " beside at " << x;
                const QRgb beside = reinterpret_cast<const QRgb*>(overBlur.constScanLine(y))[x];
                EXPECT_EQ(qAlpha(beside), 255);
                EXPECT_GE(qBlue(beside), 230) << strand << " beside at " << x;
            }
        }
    }
}

// Where colours say nothing about the mask, the stretched mask stands: exactly
// on a flat picture, within a few levels under sensor-like noise.
TEST(EdgeRefine, PictureWithoutEdgesGivesTheStretchedMask)
{
    // A soft brush stroke, as painted: a 30-pixel wide ramp in the mask.
    QImage mask(kW / 3, kH / 3, QImage::Format_Alpha8);
    for (int j = 0; j < mask.height(); ++j)
        for (int i = 0; i < mask.width(); ++i)
            mask.scanLine(j)[i] =
                uchar(std::clamp(std::lround(std::hypot(i - 100, j - 50) * 8 - 200), 0L, 255L));
    std::mt19937 rng(5);
    const struct {
        int noise, tolerance;
    } cases[] = {{0, 0}, {6, 2}};
    for (const auto& c : cases) {
        std::uniform_int_distribution<int> n(-c.noise, c.noise);
        const QImage pic =
            picture([&](int, int) { return qRgb(120 + n(rng), 130 + n(rng), 140 + n(rng)); });
        const QImage before = stretched(pic, mask), after = refined(pic, mask);
        int worst = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                worst = std::max(worst, std::abs(alphaAt(after, x, y) - alphaAt(before, x, y)));
        EXPECT_LE(worst, c.tolerance) << "noise " << c.noise;
    }
}

// Away from the band (partial pixels of the stretched mask, widened), the
// result is today's to the byte; and the canvas's region of it is the same
// picture, premultiplied. Returns how many pixels lay outside the band.
int expectTodaysBytesOutsideBand(const QImage& pic, const QImage& blur, const QImage& mask,
                                 QSizeF pictureSize)
{
    const QSize pixels(int(pictureSize.width()), int(pictureSize.height()));
    QImage white(pic.size(), QImage::Format_RGB32);
    white.fill(Qt::white);
    const QImage alphaOnly = Compositor::result(white, {}, mask, pictureSize, pixels);
    const int widening = EdgeRefine::parameters(mask.size(), pictureSize).widening;
    const QImage before = Compositor::result(pic, blur, mask, pictureSize, pixels);
    const QImage after = EdgeRefine::result(pic, blur, mask, pictureSize, pixels);
    EXPECT_EQ(after.format(), QImage::Format_ARGB32);
    EXPECT_EQ(after.size(), pixels);
    // The band: partial stretched pixels, widened along rows, then along columns.
    const int w = pixels.width(), h = pixels.height();
    std::vector<int> rows(size_t(w) * size_t(h)), band(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int dx = -widening; dx <= widening; ++dx)
                if (x + dx >= 0 && x + dx < w && alphaAt(alphaOnly, x + dx, y) % 255 != 0) {
                    rows[size_t(y) * size_t(w) + size_t(x)] = 1;
                    break;
                }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int dy = std::max(0, y - widening); dy <= std::min(h - 1, y + widening); ++dy)
                band[size_t(y) * size_t(w) + size_t(x)] |= rows[size_t(dy) * size_t(w) + size_t(x)];
    int outside = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (!band[size_t(y) * size_t(w) + size_t(x)]) {
                ++outside;
                if (before.pixel(x, y) != after.pixel(x, y)) {
                    ADD_FAILURE() << "differs at " << x << "," << y;
                    return outside;
                }
            }
    if (blur.isNull() && pic.format() == QImage::Format_RGB32) {
        const QRect region = QRect(QPoint(), pixels)
                                 .adjusted(pixels.width() / 4, pixels.height() / 5,
                                           -pixels.width() / 5, -pixels.height() / 4);
        const QImage part = EdgeRefine::refineRegion(pic, mask, pictureSize, pixels, region);
        EXPECT_EQ(part, after.convertToFormat(QImage::Format_ARGB32_Premultiplied).copy(region));
    }
    return outside;
}

TEST(EdgeRefine, KeptAndCutAreasAreTodaysBytes)
{
    std::mt19937 rng(9);
    QImage pic(kW, kH, QImage::Format_ARGB32);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            reinterpret_cast<QRgb*>(pic.scanLine(y))[x] =
                qRgba(int(rng() % 256), int(rng() % 256), int(rng() % 256), x < 100 ? 128 : 255);
    QImage blur(kW / 4, kH / 4, QImage::Format_ARGB32_Premultiplied);
    blur.fill(qRgba(20, 40, 60, 255));
    // Cut on the right, a hard step at x = 200 and a soft one at x = 420.
    const QImage mask = averagedMask([](int x, int) {
        return x < 200 ? 1.0 : x < 420 ? 0.0 : std::clamp((x - 420) / 60.0, 0.0, 1.0);
    });
    for (const QImage& picture : {pic.convertToFormat(QImage::Format_RGB32), pic})
        for (const QImage& under : {QImage(), blur})
            EXPECT_GT(expectTodaysBytesOutsideBand(picture, under, mask, QSizeF(kW, kH)),
                      kW * kH * 3 / 4);
    const std::atomic<bool> cancelled{true};
    EXPECT_TRUE(EdgeRefine::refineRegion(pic, mask, QSizeF(kW, kH), QSize(kW, kH),
                                         QRect(0, 0, 50, 50), &cancelled)
                    .isNull());
}

// Pictures whose size is no multiple of the mask's, masks far smaller than
// the picture, and masks larger than it.
TEST(EdgeRefine, OddGeometriesKeepTodaysBytes)
{
    const struct {
        QSizeF picture;
        QSize mask;
    } cases[] = {{{301.6, 157.3}, {100, 52}}, {{300, 200}, {7, 5}}, {{90, 61}, {200, 133}}};
    std::mt19937 rng(3);
    for (const auto& c : cases) {
        QImage pic(c.picture.toSize() + QSize(1, 1), QImage::Format_RGB32);
        for (int y = 0; y < pic.height(); ++y)
            for (int x = 0; x < pic.width(); ++x)
                reinterpret_cast<QRgb*>(pic.scanLine(y))[x] =
                    qRgb(x % 7 * 30, y % 5 * 40, int(rng() % 256));
        // Kept but for the lower right corner, and one partial pixel.
        QImage mask(c.mask, QImage::Format_Alpha8);
        const int mw = mask.width(), mh = mask.height();
        for (int j = 0; j < mh; ++j)
            for (int i = 0; i < mw; ++i)
                mask.scanLine(j)[i] = 6 * i >= 4 * mw && 4 * j >= 2 * mh ? 0 : 255;
        mask.scanLine(mh / 4)[mw / 2] = 100;
        EXPECT_GT(expectTodaysBytesOutsideBand(pic, {}, mask, c.picture), 0) << c.picture.width();
    }
}

// Refinement brings a coarse mask to the picture's edges. Where the mask
// holds the picture at full size there is nothing to bring, and where no
// edge lies under a cut it adds no alpha to cut pixels and takes none from
// kept ones: a hard stroke across smooth gradients comes out as it was cut.
TEST(EdgeRefine, ACutWithNoEdgeUnderItComesOutAsCut)
{
    auto gradient = [](int w, int h) {
        QImage image(w, h, QImage::Format_RGB32);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                reinterpret_cast<QRgb*>(image.scanLine(y))[x] =
                    qRgb(x * 255 / (w - 1), y * 255 / (h - 1), 90);
        return image;
    };
    // A hard stroke, anti-aliased on its rim, across the picture: alpha
    // (0 cut) at picture pixel (x, y) for a picture of w x h.
    auto strokeAlpha = [](double x, double y, int w, int h) {
        const double d = std::abs((y - h * 0.45) - (x - w * 0.5) * 0.3) - h * 0.08;
        return std::clamp(d + 0.5, 0.0, 1.0);
    };
    const struct {
        QSize picture, mask;
        bool edges; // the picture has edges under the stroke
    } cases[] = {{{800, 600}, {800, 600}, false}, {{600, 300}, {200, 100}, false},
                 {{800, 600}, {800, 600}, true}};
    for (const auto& c : cases) {
        QImage pic = gradient(c.picture.width(), c.picture.height());
        if (c.edges)
            for (int y = 0; y < pic.height(); ++y)
                for (int x = 0; x < pic.width(); x += 16)
                    reinterpret_cast<QRgb*>(pic.scanLine(y))[x] = kFur;
        const double s = double(c.picture.width()) / c.mask.width();
        QImage mask(c.mask, QImage::Format_Alpha8);
        for (int j = 0; j < mask.height(); ++j)
            for (int i = 0; i < mask.width(); ++i) {
                double sum = 0;
                for (int k = 0; k < 9; ++k)
                    sum += strokeAlpha((i + (k % 3 + 0.5) / 3) * s, (j + (k / 3 + 0.5) / 3) * s,
                                       c.picture.width(), c.picture.height());
                mask.scanLine(j)[i] = uchar(std::lround(255 * sum / 9));
            }
        const QSizeF size(c.picture);
        const QImage on = EdgeRefine::result(pic, {}, mask, size, c.picture);
        const QImage off = Compositor::result(pic, {}, mask, size, c.picture);
        const bool fullSize = c.mask == c.picture;
        int added = 0, taken = 0, differ = 0;
        for (int y = 0; y < pic.height(); ++y)
            for (int x = 0; x < pic.width(); ++x) {
                const int a = alphaAt(on, x, y), b = alphaAt(off, x, y);
                added += b == 0 && a != 0;
                taken += b == 255 && a != 255;
                differ += a != b;
            }
        EXPECT_EQ(added, 0) << c.picture.width() << " " << c.edges;
        EXPECT_EQ(taken, 0) << c.picture.width() << " " << c.edges;
        if (fullSize) {
            EXPECT_EQ(differ, 0) << c.picture.width() << " " << c.edges;
            const QRect region(100, 100, 300, 200);
            EXPECT_EQ(EdgeRefine::refineRegion(pic, mask, size, c.picture, region),
                      off.convertToFormat(QImage::Format_ARGB32_Premultiplied).copy(region));
        }
    }
}

TEST(EdgeRefineOnTheCanvas, ALoadedMaskIsOneStepAndTheSwitchChoosesTheResult)
{
    auto view = canvastest::canvasWith(canvastest::gradientPicture(300, 200));
    view->waitUntilIdle();
    EXPECT_FALSE(view->loadMask(QImage(10, 10, QImage::Format_Alpha8))); // not the mask's size
    QImage mask(view->currentMask().size(), QImage::Format_Grayscale8);
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            mask.scanLine(y)[x] = x < 150 ? 255 : (x < 160 ? uchar(255 - (x - 150) * 25) : 0);
    const qint64 before = view->historyLength();
    ASSERT_TRUE(view->loadMask(mask));
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), before + 1);
    EXPECT_EQ(view->currentMask().constScanLine(5)[155], mask.constScanLine(5)[155]);

    const QImage picture = view->image().bestRepresentation();
    view->setRefinesEdges(false);
    EXPECT_EQ(view->getResult().bestRepresentation(),
              Compositor::result(picture, {}, view->currentMask(), {300, 200}, {300, 200}));
    view->setRefinesEdges(true);
    EXPECT_EQ(view->getResult().bestRepresentation(),
              EdgeRefine::result(picture, {}, view->currentMask(), {300, 200}, {300, 200}));
}

TEST(EdgeRefineOnTheCanvas, ZoomedInTheScreenShowsTheRefinedEdgeOnceMade)
{
    // Two flat colours meeting inside one mask pixel (two picture pixels a
    // mask pixel), the mask half kept there.
    QImage picture(4000, 100, QImage::Format_RGB32);
    const QRgb left = qRgb(200, 40, 40), right = qRgb(40, 40, 200);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 4000; ++x)
            picture.setPixel(x, y, x <= 2000 ? left : right);
    auto view = canvastest::canvasWith(Picture::fromImage(picture), {400, 100});
    view->show();
    view->waitUntilIdle();
    QImage mask(view->currentMask().size(), QImage::Format_Grayscale8);
    ASSERT_EQ(mask.width(), 2000);
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            mask.scanLine(y)[x] = x < 1000 ? 255 : (x == 1000 ? 128 : 0);
    ASSERT_TRUE(view->loadMask(mask));
    view->waitUntilIdle();
    // Four screen pixels a picture pixel, picture column 2000 at x 200..203.
    view->imageLayer()->setTransform({4, 200, 50});
    view->bluredLayer()->setTransform({4, 200, 50});

    view->setRefinesEdges(false);
    EXPECT_NE(view->grab().toImage().pixel(201, 50), left); // the stretched mask: partly cut
    view->setRefinesEdges(true);
    const bool refined = testsupport::waitFor(
        [&] { return view->grab().toImage().pixel(201, 50) == left; }, std::chrono::seconds(10));
    EXPECT_TRUE(refined) << "the edge pixel should show the kept colour whole";
    EXPECT_NE(view->grab().toImage().pixel(205, 50), right); // cut beyond the edge
}

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
