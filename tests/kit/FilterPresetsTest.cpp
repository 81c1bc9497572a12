#include "kit/FilterPresets.h"
#include "TestSupport.h"
#include "kit/Autofilter.h"
#include "kit/ColorEffects.h"
#include "kit/ColorFilter.h"

#include <gtest/gtest.h>

#include <cstdlib>

using testsupport::colourNear;

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

QRgb straightAt(const FilterImage& image)
{
    return qUnpremultiply(at(image, 0, 0));
}

FilterImage applyNamed(const char* name, const FilterImage& image)
{
    auto filter = ColorFilter::filterWithName(QLatin1String(name));
    EXPECT_TRUE(filter) << name;
    return filter ? ImageResize::imageWithCIFilter(image, *filter) : FilterImage();
}

} // namespace

TEST(FilterPresets, PresetNumbersKeepExtentAlphaAndTransparencyAndOthersChangeNothing)
{
    QImage pixels(4, 1, QImage::Format_ARGB32);
    pixels.setPixel(0, 0, qRgba(0, 0, 0, 0));
    pixels.setPixel(1, 0, qRgba(200, 60, 30, 255));
    pixels.setPixel(2, 0, qRgba(20, 160, 220, 128));
    pixels.setPixel(3, 0, qRgba(255, 255, 255, 1));
    const FilterImage image(pixels, {-7, 3});
    for (int number = -1; number <= 13; ++number) {
        SCOPED_TRACE(number);
        const FilterImage out = ImageResize::filterNumber(image, number);
        EXPECT_EQ(out.extent(), image.extent());
        if (number < 1 || number > 12) {
            EXPECT_EQ(out.pixels(), image.pixels());
            continue;
        }
        EXPECT_EQ(at(out, 0, 0), 0u);
        for (int x = 1; x < 4; ++x) {
            const QRgb p = at(out, x, 0);
            EXPECT_EQ(qAlpha(p), qAlpha(at(image, x, 0)));
            EXPECT_LE(std::max({qRed(p), qGreen(p), qBlue(p)}), qAlpha(p)); // premultiplied
        }
    }
    // Each call makes a fresh filter: changing one must not change the next.
    Autofilter::filterIndexed(6)->setAngle(0);
    EXPECT_EQ(Autofilter::filterIndexed(6)->angle(), 1.5707964f);
}

TEST(FilterPresets, EffectsGiveTheirColours)
{
    const struct {
        const char* name;
        QRgb in;
        QRgb expected;
        int tolerance;
    } table[] = {
        {"CIColorInvert", qRgba(200, 100, 0, 128), qRgba(55, 155, 255, 128), 2},
        {"CISepiaTone", qRgb(255, 255, 255), qRgb(255, 255, 239), 1},
        {"CIColorMonochrome", qRgb(128, 128, 128), qRgb(153, 115, 77), 2},
        {"CIFalseColor", qRgb(0, 0, 0), qRgb(77, 0, 0), 1},
        {"CIFalseColor", qRgb(255, 255, 255), qRgb(255, 230, 204), 1},
        {"CIHueAdjust", qRgb(90, 140, 200), qRgb(90, 140, 200), 1}, // default angle 0
        {"CIPhotoEffectMono", qRgb(255, 255, 255), qRgb(255, 255, 255), 0},
        {"CIPhotoEffectTonal", qRgb(0, 0, 0), qRgb(20, 20, 20), 1},
    };
    for (const auto& row : table)
        EXPECT_TRUE(colourNear(straightAt(applyNamed(row.name, solid(row.in))), row.expected,
                               row.tolerance))
            << row.name;

    // A half turn of the hue gives the complement; greys lie on the axis.
    EXPECT_TRUE(colourNear(straightAt(ImageResize::filterNumber(solid(qRgb(255, 0, 0)), 7)),
                           qRgb(0, 170, 170), 1))
        << "half turn";
    EXPECT_TRUE(colourNear(straightAt(ImageResize::filterNumber(solid(qRgb(77, 77, 77)), 6)),
                           qRgb(77, 77, 77), 1))
        << "grey";
    // At intensity 0 the input comes through.
    auto sepia = ColorFilter::filterWithName("CISepiaTone");
    sepia->setIntensity(0);
    EXPECT_TRUE(
        colourNear(straightAt(ImageResize::imageWithCIFilter(solid(qRgb(40, 120, 200)), *sepia)),
                   qRgb(40, 120, 200), 1))
        << "intensity 0";
    // The photo greys have no colour left.
    for (const char* grey : {"CIPhotoEffectMono", "CIPhotoEffectTonal"}) {
        const QRgb out = straightAt(applyNamed(grey, solid(qRgb(180, 90, 60))));
        EXPECT_TRUE(qRed(out) == qGreen(out) && qGreen(out) == qBlue(out)) << grey;
    }
    // Cross-processing lifts the shadows towards blue.
    const QRgb shadow = straightAt(applyNamed("CIPhotoEffectProcess", solid(qRgb(0, 0, 0))));
    EXPECT_GT(qBlue(shadow), qRed(shadow));
}

TEST(ColorEffects, ToneCurvesPassThroughTheirPointsWithoutOvershoot)
{
    const auto curve = ColorEffects::toneCurve({{0, 0.1}, {0.2, 0.15}, {0.5, 0.9}, {1, 0.95}});
    EXPECT_EQ(curve[0], 26);
    EXPECT_EQ(curve[255], 242);
    for (int i = 1; i < 256; ++i) {
        EXPECT_GE(curve[i], curve[i - 1]) << i;
        EXPECT_LE(curve[i], 242) << i; // a plain cubic spline would bulge above 0.95
    }
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
    EXPECT_TRUE(colourNear(at(out, 3, 1), qRgba(127, 0, 128, 255), 1)) << "overlap";
    EXPECT_EQ(at(out, 0, 4), qRgb(255, 0, 0));
    EXPECT_EQ(at(out, 4, 4), 0u);
    EXPECT_EQ(ImageResize::composeWith(below, FilterImage()).pixels(), below.pixels());
}
