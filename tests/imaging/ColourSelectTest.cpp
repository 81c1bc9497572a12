#include "canvas/BrushStamp.h"
#include "canvas/ColourStampDrawing.h"
#include "imaging/ColourCache.h"
#include "imaging/ColourRegion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

// Named, not anonymous: the test programs are unity builds.
namespace colourselecttest {

constexpr QRgb blue = qRgb(40, 60, 200);
constexpr QRgb red = qRgb(200, 40, 40);

struct Mask {
    Mask(int w, int h, std::uint8_t fill) : pixels(std::size_t(w) * h, fill), width(w), height(h) {}
    AlphaPlane plane() { return {pixels.data(), width, height, width}; }
    std::uint8_t at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
    std::vector<std::uint8_t> pixels;
    int width, height;
};

// Blue with a red disc (anti-aliased) on the left and, on the right, a red
// ring around a blue island; every channel carries uniform noise of +-20.
struct Scene {
    static constexpr int width = 480, height = 320;
    static constexpr double discX = 160, discY = 160, discR = 100;
    static constexpr double ringX = 390, ringY = 160, ringOuter = 60, ringInner = 25;

    QImage picture{width, height, QImage::Format_ARGB32_Premultiplied};
    std::shared_ptr<const ColourCache> colours;

    // The share of pixel (x, y) inside the disc, from 8 x 8 samples.
    static double disc(int x, int y)
    {
        int inside = 0;
        for (int j = 0; j < 8; ++j)
            for (int i = 0; i < 8; ++i)
                inside += std::hypot(x + (i + 0.5) / 8 - discX, y + (j + 0.5) / 8 - discY) < discR;
        return inside / 64.0;
    }
    static bool ring(int x, int y)
    {
        const double r = std::hypot(x + 0.5 - ringX, y + 0.5 - ringY);
        return r >= ringInner && r < ringOuter;
    }

    Scene()
    {
        std::mt19937 rng(5);
        std::uniform_int_distribution<int> noise(-20, 20);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const double t = ring(x, y) ? 1 : disc(x, y);
                auto channel = [&](int from, int to) {
                    return std::clamp(int(std::lround(from + (to - from) * t)) + noise(rng), 0,
                                      255);
                };
                reinterpret_cast<QRgb*>(picture.scanLine(y))[x] =
                    qRgb(channel(qRed(blue), qRed(red)), channel(qGreen(blue), qGreen(red)),
                         channel(qBlue(blue), qBlue(red)));
            }
        colours = ColourCache::build(picture, picture.size());
    }
};

const Scene& scene()
{
    static const Scene s;
    return s;
}

// Cuts with a region selected from the background at (20, 20) and returns
// the mask left.
Mask cutBackground(ColourRegion::Extent extent, double tolerance, double softness)
{
    ColourRegion region;
    region.start(scene().colours, {20, 20}, extent);
    Mask mask(Scene::width, Scene::height, 255);
    applyCoverage(mask.plane(), region.coverage(tolerance, softness), 0);
    return mask;
}

TEST(ColourCache, LabValuesAndAreaReduction)
{
    // Reference CIELAB values of sRGB colours (D65).
    struct Known {
        QRgb rgb;
        double L, a, b;
    };
    for (const Known& k :
         {Known{qRgb(255, 255, 255), 100, 0, 0}, Known{qRgb(255, 0, 0), 53.24, 80.09, 67.20},
          Known{qRgb(0, 0, 255), 32.30, 79.19, -107.86}, Known{qRgb(128, 128, 128), 53.59, 0, 0}}) {
        const LabColour c = LabColour::fromRgb(k.rgb);
        EXPECT_NEAR(c.L / 128.0, k.L, 0.05) << std::hex << k.rgb;
        EXPECT_NEAR(c.a / 128.0, k.a, 0.05) << std::hex << k.rgb;
        EXPECT_NEAR(c.b / 128.0, k.b, 0.05) << std::hex << k.rgb;
        EXPECT_EQ(c.toRgb(), k.rgb);
    }

    // Black and white halves average in linear light: mid grey is 188, not 128.
    QImage checker(4, 2, QImage::Format_RGB32);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            checker.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    // A transparent pixel beside a red one leaves it red.
    QImage halfClear(2, 1, QImage::Format_ARGB32_Premultiplied);
    halfClear.setPixel(0, 0, red);
    halfClear.setPixel(1, 0, 0);
    // Three to one, with the last row cut short by the truncated height.
    QImage uniform(30, 20, QImage::Format_ARGB32);
    uniform.fill(blue);
    struct Case {
        QImage picture;
        QSize size;
        QRgb expected;
    };
    for (const Case& c : {Case{checker, {2, 1}, qRgb(188, 188, 188)}, Case{halfClear, {1, 1}, red},
                          Case{uniform, {10, 6}, blue}}) {
        const auto colours = ColourCache::build(c.picture, c.size);
        ASSERT_TRUE(colours);
        ASSERT_EQ(colours->size(), c.size);
        for (int y = 0; y < c.size.height(); ++y)
            for (int x = 0; x < c.size.width(); ++x)
                EXPECT_LE(
                    ColourDistance::between(colours->at(x, y), LabColour::fromRgb(c.expected)), 40)
                    << c.size.width() << "x" << c.size.height() << " at " << x << "," << y;
    }

    std::atomic<bool> cancelled{true};
    EXPECT_FALSE(ColourCache::build(uniform, {10, 6}, &cancelled));
    EXPECT_FALSE(ColourCache::build(QImage(), {10, 6}));
}

TEST(ColourRegion, CutsTheBackgroundAndKeepsTheDiscWithAnAntiAliasedRim)
{
    const Mask kept = cutBackground(ColourRegion::Extent::Contiguous, 45, 0);
    double intersection = 0, together = 0;
    int rim = 0;
    for (int y = 0; y < Scene::height; ++y)
        for (int x = 0; x < 300; ++x) { // the disc's side
            const double truth = Scene::disc(x, y), got = kept.at(x, y) / 255.0;
            intersection += std::min(truth, got);
            together += std::max(truth, got);
            const double fromRim =
                std::hypot(x + 0.5 - Scene::discX, y + 0.5 - Scene::discY) - Scene::discR;
            if (std::abs(fromRim) > 2)
                ASSERT_EQ(kept.at(x, y), fromRim < 0 ? 255 : 0) << x << "," << y;
            else
                rim += kept.at(x, y) > 0 && kept.at(x, y) < 255;
        }
    EXPECT_GE(intersection / together, 0.98);
    EXPECT_GE(rim, 40) << "a tenth of the rim should be partly kept";

    // The island inside the ring is blue but not connected to the press.
    EXPECT_EQ(kept.at(390, 160), 255);
    EXPECT_EQ(cutBackground(ColourRegion::Extent::Global, 45, 0).at(390, 160), 0);

    // A flood paused and resumed anywhere reaches the same levels.
    ColourRegion direct, stepped;
    direct.start(scene().colours, {20, 20}, ColourRegion::Extent::Contiguous);
    stepped.start(scene().colours, {20, 20}, ColourRegion::Extent::Contiguous);
    stepped.coverage(10, 0);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(stepped.reachAhead(997));
    EXPECT_EQ(stepped.coverage(45, 0).plane, direct.coverage(45, 0).plane);
    while (stepped.reachAhead(100000)) {
    }
    EXPECT_EQ(stepped.coverage(100, 0).bounds, QRect(0, 0, Scene::width, Scene::height));

    // Softness widens the ramp: more of the rim is partly kept.
    const Mask soft = cutBackground(ColourRegion::Extent::Contiguous, 45, 1);
    int softRim = 0, hardRim = 0;
    for (std::size_t i = 0; i < kept.pixels.size(); ++i) {
        hardRim += kept.pixels[i] > 0 && kept.pixels[i] < 255;
        softRim += soft.pixels[i] > 0 && soft.pixels[i] < 255;
    }
    EXPECT_GT(softRim, hardRim);
}

TEST(ColourRegion, DefaultToleranceTakesNoisyBackgroundsButNotOtherHues)
{
    // Backgrounds with +-20 of noise per channel, each with a subject of a
    // clearly different hue pasted in its middle.
    struct Case {
        QRgb background, subject;
    };
    for (const Case& c : {Case{qRgb(110, 165, 225), qRgb(220, 170, 140)}, // sky, skin
                          Case{qRgb(110, 165, 225), qRgb(60, 120, 50)},   // sky, foliage
                          Case{qRgb(200, 195, 185), qRgb(170, 40, 40)},   // wall, red coat
                          Case{qRgb(60, 58, 55), qRgb(200, 150, 40)}}) {  // dark wall, yellow
        QImage picture(200, 200, QImage::Format_RGB32);
        std::mt19937 rng(c.background);
        std::uniform_int_distribution<int> noise(-20, 20);
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 200; ++x) {
                const QRgb base =
                    (x >= 80 && x < 120 && y >= 80 && y < 120) ? c.subject : c.background;
                auto n = [&](int v) { return std::clamp(v + noise(rng), 0, 255); };
                picture.setPixel(x, y, qRgb(n(qRed(base)), n(qGreen(base)), n(qBlue(base))));
            }
        ColourRegion region;
        region.start(ColourCache::build(picture, picture.size()), {10, 10},
                     ColourRegion::Extent::Global);
        const ColourCoverage covered = region.coverage(32, 0);
        int whole = 0, background = 0;
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 200; ++x) {
                const int v = covered.plane.constScanLine(y)[x];
                if (x >= 80 && x < 120 && y >= 80 && y < 120) {
                    ASSERT_EQ(v, 0) << std::hex << c.subject;
                } else {
                    ++background;
                    whole += v == 255;
                }
            }
        EXPECT_GE(whole, background * 995 / 1000) << std::hex << c.background;
        EXPECT_EQ(covered.bounds, QRect(0, 0, 200, 200));
    }
}

TEST(ColourRegion, ToleranceZeroTakesExactlyThePressedColour)
{
    // Left and right areas of one colour, parted by a column one step bluer,
    // with one pixel of that other colour inside the left area.
    const QRgb colour = qRgb(90, 120, 150), bluer = qRgb(90, 120, 151);
    QImage picture(43, 10, QImage::Format_RGB32); // not a whole number of vector lanes
    picture.fill(colour);
    for (int y = 0; y < 10; ++y)
        picture.setPixel(20, y, bluer);
    picture.setPixel(5, 5, bluer);
    const auto colours = ColourCache::build(picture, picture.size());
    struct Case {
        ColourRegion::Extent extent;
        bool takesRight;
    };
    for (const Case& c : {Case{ColourRegion::Extent::Contiguous, false},
                          Case{ColourRegion::Extent::Global, true}}) {
        ColourRegion region;
        region.start(colours, {3, 3}, c.extent);
        const QImage plane = region.coverage(0, 1).plane;
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 43; ++x) {
                const bool taken = picture.pixel(x, y) == colour && (x < 20 || c.takesRight);
                ASSERT_EQ(plane.constScanLine(y)[x], taken ? 255 : 0) << x << "," << y;
            }
        // A higher tolerance re-thresholds the same selection.
        EXPECT_EQ(region.coverage(1, 0).bounds, QRect(0, 0, 43, 10));
    }
}

TEST(ColourStamp, DrawsWhatDrawStampDrawsWhenEveryColourIsWithinReach)
{
    QImage flat(64, 48, QImage::Format_RGB32);
    flat.fill(blue);
    const auto colours = ColourCache::build(flat, flat.size());
    const ColourStampColours reach{LabColour::fromRgb(blue), std::nullopt, 10};
    const auto soft = BrushStamp::make(0.4f, 1);
    struct Case {
        const BrushStamp* stamp;
        double x, y, size;
        std::uint8_t alpha;
    };
    // Stamps smaller than the 200-pixel profile, larger, and at its own size,
    // with their rims across the plane.
    for (const Case& c :
         {Case{soft.get(), 10.3, 7.6, 30, 0}, Case{soft.get(), -12.5, 30.2, 41.7, 90},
          Case{soft.get(), -120.3, -80.6, 150, 30}, Case{soft.get(), -200.5, -230.2, 280, 0},
          Case{soft.get(), -150.4, -120.7, 200, 0}, Case{nullptr, 20.25, 5.5, 23.3, 0},
          Case{nullptr, 50.1, -4.4, 17, 200}}) {
        Mask plain(64, 48, 255), coloured(64, 48, 255);
        const QRect rows(0, 10, 1, 20); // a band, as a drain split over threads draws
        for (const QRect& band : {QRect(), rows}) {
            EXPECT_EQ(drawStamp(plain.plane(), c.stamp, c.x, c.y, c.size, c.size, c.alpha, band),
                      drawColourStamp(coloured.plane(), *colours, c.stamp, c.x, c.y, c.size, c.size,
                                      c.alpha, reach, band));
            ASSERT_EQ(plain.pixels, coloured.pixels) << c.x << "," << c.y;
        }
    }
}

TEST(ColourStamp, CutsTheSampledColourAndSparesTheProtectedOne)
{
    const Scene& s = scene();
    const ColourStampColours byDefault{};
    // A stroke of 60-pixel stamps whose centres run through the blue 12
    // pixels off the disc's left rim, sampling at every stamp.
    Mask mask(Scene::width, Scene::height, 255);
    const double centreX = Scene::discX - Scene::discR - 12;
    for (double up = 100; up <= 220; up += 2.5) {
        const double x = centreX - 30, y = up - 30;
        ColourStampColours reach = byDefault;
        reach.sample = colourUnderStamp(*s.colours, x, y, 60, 60);
        drawColourStamp(mask.plane(), *s.colours, nullptr, x, y, 60, 60, 0, reach);
    }
    int blueCut = 0;
    for (int y = 130; y < 190; ++y)
        for (int x = 20; x < 110; ++x) {
            const double fromRim =
                std::hypot(x + 0.5 - Scene::discX, y + 0.5 - Scene::discY) - Scene::discR;
            if (fromRim < -1.5)
                ASSERT_EQ(mask.at(x, y), 255) << "red cut at " << x << "," << y;
            else if (fromRim > 1.5 && std::abs(x + 0.5 - centreX) < 25)
                blueCut += mask.at(x, y) == 0;
        }
    EXPECT_GT(blueCut, 1500);

    // A stamp sampled on the disc cuts red, unless red is protected; a
    // protected blue does not stop it either.
    const double x = Scene::discX - 20, y = Scene::height - Scene::discY - 20;
    struct Case {
        std::optional<QRgb> protectedColour;
        bool cutsRed;
    };
    for (const Case& c : {Case{std::nullopt, true}, Case{red, false}, Case{blue, true}}) {
        Mask stamped(Scene::width, Scene::height, 255);
        ColourStampColours reach = byDefault;
        reach.sample = colourUnderStamp(*s.colours, x, y, 40, 40);
        if (c.protectedColour)
            reach.protectedColour = LabColour::fromRgb(*c.protectedColour);
        drawColourStamp(stamped.plane(), *s.colours, nullptr, x, y, 40, 40, 0, reach);
        EXPECT_EQ(stamped.at(int(Scene::discX), int(Scene::discY)), c.cutsRed ? 0 : 255);
        if (!c.cutsRed) {
            EXPECT_EQ(stamped.pixels, Mask(Scene::width, Scene::height, 255).pixels);
        }
    }
}

} // namespace colourselecttest
