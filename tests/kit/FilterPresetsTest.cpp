#include "kit/FilterPresets.h"
#include "kit/Autofilter.h"
#include "kit/ColorEffects.h"
#include "kit/ColorFilter.h"
#include "kit/PicturePresets.h"

#include <gtest/gtest.h>

#include <QColor>

#include <cstdlib>

namespace {

// A filter image of one straight (unpremultiplied) colour.
FilterImage solid(QRgb straight, QSize size = {3, 2}, QPoint origin = {0, 0})
{
    QImage pixels(size, QImage::Format_ARGB32);
    pixels.fill(straight);
    return FilterImage(pixels, origin);
}

// The pixel at image row `row`, column `column`, as premultiplied ARGB.
QRgb at(const FilterImage& image, int column, int row)
{
    return reinterpret_cast<const QRgb*>(image.pixels().constScanLine(row))[column];
}

QRgb straightAt(const FilterImage& image, int column = 0, int row = 0)
{
    return qUnpremultiply(at(image, column, row));
}

void expectNear(QRgb actual, QRgb expected, int tolerance, const char* what)
{
    SCOPED_TRACE(what);
    EXPECT_LE(std::abs(qRed(actual) - qRed(expected)), tolerance) << qRed(actual);
    EXPECT_LE(std::abs(qGreen(actual) - qGreen(expected)), tolerance) << qGreen(actual);
    EXPECT_LE(std::abs(qBlue(actual) - qBlue(expected)), tolerance) << qBlue(actual);
    EXPECT_EQ(qAlpha(actual), qAlpha(expected));
}

FilterImage applyNamed(const char* name, const FilterImage& image)
{
    auto filter = ColorFilter::filterWithName(QLatin1String(name));
    EXPECT_TRUE(filter) << name;
    return filter ? ImageResize::imageWithCIFilter(image, *filter) : FilterImage();
}

int saturationOf(QRgb colour)
{
    return std::max({qRed(colour), qGreen(colour), qBlue(colour)}) -
           std::min({qRed(colour), qGreen(colour), qBlue(colour)});
}

} // namespace

// Each call makes a fresh filter: changing one must not change the next.
TEST(Autofilter, HueFiltersAreNewOnEachCall)
{
    EXPECT_EQ(Autofilter::filterNames().size(), Autofilter::filtersCount());
    auto quarter = Autofilter::filterIndexed(6);
    quarter->setAngle(0);
    EXPECT_EQ(Autofilter::filterIndexed(6)->angle(), 1.5707964f);
    EXPECT_FALSE(Autofilter::filterIndexed(0));
    EXPECT_FALSE(Autofilter::filterIndexed(13));
}

TEST(FilterPresets, NumberWithoutPresetGivesTheImageUnchanged)
{
    const FilterImage image = solid(qRgba(200, 100, 50, 255), {4, 3}, {-2, 5});
    for (int number : {0, 13, -4}) {
        const FilterImage same = ImageResize::filterNumber(image, number);
        EXPECT_EQ(same.extent(), image.extent());
        EXPECT_EQ(same.pixels(), image.pixels());
    }
    EXPECT_TRUE(ImageResize::filterNumber(FilterImage(), 5).isNull());
}

TEST(FilterPresets, EveryPresetKeepsExtentAlphaAndTransparency)
{
    QImage pixels(4, 2, QImage::Format_ARGB32);
    pixels.setPixel(0, 0, qRgba(0, 0, 0, 0));
    pixels.setPixel(1, 0, qRgba(200, 60, 30, 255));
    pixels.setPixel(2, 0, qRgba(20, 160, 220, 128));
    pixels.setPixel(3, 0, qRgba(255, 255, 255, 1));
    for (int x = 0; x < 4; ++x)
        pixels.setPixel(x, 1, qRgba(90, 90, 90, 255));
    const FilterImage image(pixels, {-7, 3});
    for (int number = 1; number <= 12; ++number) {
        SCOPED_TRACE(number);
        const FilterImage out = ImageResize::filterNumber(image, number);
        ASSERT_FALSE(out.isNull());
        EXPECT_EQ(out.extent(), image.extent());
        EXPECT_EQ(at(out, 0, 0), 0u);
        for (int x = 1; x < 4; ++x) {
            EXPECT_EQ(qAlpha(at(out, x, 0)), qAlpha(at(image, x, 0)));
            // Premultiplied colour never exceeds its alpha.
            const QRgb p = at(out, x, 0);
            EXPECT_LE(std::max({qRed(p), qGreen(p), qBlue(p)}), qAlpha(p));
        }
    }
}

TEST(FilterPresets, SimpleEffectsGiveTheirColours)
{
    const struct {
        const char* name;
        QRgb in;
        QRgb expected;
        int tolerance;
    } table[] = {
        {"CIColorInvert", qRgb(10, 20, 30), qRgb(245, 235, 225), 0},
        {"CIColorInvert", qRgba(200, 100, 0, 128), qRgba(55, 155, 255, 128), 2},
        {"CISepiaTone", qRgb(255, 255, 255), qRgb(255, 255, 239), 1},
        {"CISepiaTone", qRgb(0, 0, 0), qRgb(0, 0, 0), 0},
        {"CIColorMonochrome", qRgb(0, 0, 0), qRgb(0, 0, 0), 0},
        {"CIColorMonochrome", qRgb(255, 255, 255), qRgb(255, 255, 255), 0},
        {"CIColorMonochrome", qRgb(128, 128, 128), qRgb(153, 115, 77), 2},
        {"CIFalseColor", qRgb(0, 0, 0), qRgb(77, 0, 0), 1},
        {"CIFalseColor", qRgb(255, 255, 255), qRgb(255, 230, 204), 1},
        {"CIHueAdjust", qRgb(90, 140, 200), qRgb(90, 140, 200), 1}, // default angle 0
        {"CIPhotoEffectMono", qRgb(0, 0, 0), qRgb(0, 0, 0), 0},
        {"CIPhotoEffectMono", qRgb(255, 255, 255), qRgb(255, 255, 255), 0},
        {"CIPhotoEffectTonal", qRgb(0, 0, 0), qRgb(20, 20, 20), 1},
    };
    for (const auto& row : table) {
        const FilterImage out = applyNamed(row.name, solid(row.in));
        expectNear(straightAt(out), row.expected, row.tolerance, row.name);
    }
}

TEST(FilterPresets, HueTurnsRotateAboutTheGreyAxis)
{
    const FilterImage red = solid(qRgb(255, 0, 0));
    // A half turn gives the complement; a quarter turn leaves red's hue range.
    expectNear(straightAt(ImageResize::filterNumber(red, 7)), qRgb(0, 170, 170), 1, "half");
    const QRgb quarter = straightAt(ImageResize::filterNumber(red, 6));
    EXPECT_GT(qGreen(quarter), qRed(quarter));
    EXPECT_GT(qRed(quarter), qBlue(quarter));
    // Greys lie on the axis and do not move.
    expectNear(straightAt(ImageResize::filterNumber(solid(qRgb(77, 77, 77)), 6)), qRgb(77, 77, 77),
               1, "grey");
    // A full turn is the identity.
    auto full = ColorFilter::filterWithName("CIHueAdjust");
    full->setAngle(2 * 3.14159265f);
    expectNear(straightAt(ImageResize::imageWithCIFilter(solid(qRgb(30, 140, 220)), *full)),
               qRgb(30, 140, 220), 1, "full");
}

TEST(FilterPresets, IntensityMixesTheEffectWithTheInput)
{
    const FilterImage image = solid(qRgb(40, 120, 200));
    for (const char* name : {"CISepiaTone", "CIColorMonochrome"}) {
        auto filter = ColorFilter::filterWithName(name);
        filter->setIntensity(0);
        expectNear(straightAt(ImageResize::imageWithCIFilter(image, *filter)), qRgb(40, 120, 200),
                   1, name);
    }
}

TEST(FilterPresets, PhotoLooksKeepTheirCharacter)
{
    const FilterImage colour = solid(qRgb(180, 90, 60));
    for (const char* grey : {"CIPhotoEffectMono", "CIPhotoEffectTonal"}) {
        const QRgb out = straightAt(applyNamed(grey, colour));
        EXPECT_EQ(saturationOf(out), 0) << grey;
    }
    const FilterImage muted = solid(qRgb(150, 120, 100));
    EXPECT_GT(saturationOf(straightAt(applyNamed("CIPhotoEffectChrome", muted))),
              saturationOf(qRgb(150, 120, 100)));
    const FilterImage midGrey = solid(qRgb(128, 128, 128));
    for (const char* warm : {"CIPhotoEffectTransfer", "CIPhotoEffectInstant"}) {
        const QRgb out = straightAt(applyNamed(warm, midGrey));
        EXPECT_GT(qRed(out), qBlue(out)) << warm;
    }
    // Cross-processing lifts the shadows towards blue and yellows the highlights.
    const QRgb shadow = straightAt(applyNamed("CIPhotoEffectProcess", solid(qRgb(0, 0, 0))));
    EXPECT_GT(qBlue(shadow), qRed(shadow));
    const QRgb highlight =
        straightAt(applyNamed("CIPhotoEffectProcess", solid(qRgb(255, 255, 255))));
    EXPECT_LT(qBlue(highlight), qRed(highlight));
}

TEST(ColorEffects, ToneCurvesPassThroughTheirPointsWithoutOvershoot)
{
    const auto curve = ColorEffects::toneCurve({{0, 0.1}, {0.2, 0.15}, {0.5, 0.9}, {1, 0.95}});
    EXPECT_EQ(curve[0], 26);
    EXPECT_EQ(curve[255], 242);
    for (int i = 1; i < 256; ++i)
        EXPECT_GE(curve[i], curve[i - 1]) << i;
    for (int i = 128; i < 256; ++i)
        EXPECT_LE(curve[i], 242) << i; // a plain cubic spline would bulge above 0.95 here

    const auto flat = ColorEffects::toneCurve({{0.25, 0.5}, {0.75, 0.5}});
    EXPECT_EQ(flat[0], 128);
    EXPECT_EQ(flat[255], 128);
}

TEST(FilterPresets, ComposingDifferentExtentsCoversTheirUnionUpsideUp)
{
    // Below: 4 x 4 opaque red at (0, 0). Above: 2 x 2 half-transparent blue
    // at (3, 3), reaching one pixel past the red's top-right corner.
    const FilterImage below = solid(qRgb(255, 0, 0), {4, 4}, {0, 0});
    const FilterImage above = solid(qRgba(0, 0, 255, 128), {2, 2}, {3, 3});
    const FilterImage out = ImageResize::composeWith(below, above);
    EXPECT_EQ(out.extent(), QRect(0, 0, 5, 5));
    // Image row 0 is the top edge (y = 4): only the blue reaches it.
    EXPECT_EQ(at(out, 0, 0), 0u);
    EXPECT_EQ(at(out, 4, 0), qRgba(0, 0, 128, 128));
    EXPECT_EQ(at(out, 3, 0), qRgba(0, 0, 128, 128));
    // Row 1, column 3: blue over red.
    expectNear(at(out, 3, 1), qRgba(127, 0, 128, 255), 1, "overlap");
    // Row 1, column 4: blue alone; rows below, red alone.
    EXPECT_EQ(at(out, 4, 1), qRgba(0, 0, 128, 128));
    EXPECT_EQ(at(out, 0, 4), qRgb(255, 0, 0));
    EXPECT_EQ(at(out, 4, 4), 0u);

    EXPECT_EQ(ImageResize::composeWith(below, FilterImage()).pixels(), below.pixels());
    EXPECT_EQ(ImageResize::composeWith(FilterImage(), above).extent(), above.extent());
    // An opaque image of the same extent simply replaces what is below.
    const FilterImage opaque = solid(qRgb(250, 5, 5), {4, 4});
    EXPECT_EQ(ImageResize::composeWith(below, opaque).pixels(), opaque.pixels());
}

TEST(PicturePresets, PresetsAndFiltersApplyToPictures)
{
    QImage bitmap(6, 4, QImage::Format_ARGB32_Premultiplied);
    bitmap.fill(qRgb(10, 20, 30));
    const Picture picture = Picture::fromImage(bitmap);

    const Picture inverted = ImageAction::filterNumber(picture, 5);
    ASSERT_TRUE(inverted.isValid());
    EXPECT_EQ(inverted.size(), QSizeF(6, 4));
    EXPECT_EQ(inverted.bestRepresentation().pixel(2, 1), qRgb(245, 235, 225));
    EXPECT_EQ(picture.bestRepresentation().pixel(2, 1), qRgb(10, 20, 30)); // source unchanged

    EXPECT_FALSE(ImageAction::filterNumber(Picture(), 5).isValid());
}
