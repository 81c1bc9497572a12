#include "ImagingTestSupport.h"

#include "imaging/ImageResize.h"

#include <gtest/gtest.h>

using namespace imagingtest;

namespace {

// A filter image with extent `extent` whose pixel at (x, y) in y-up
// coordinates is coordinateImage's colour for (x - origin, y - origin) of
// a fixed origin (-50, -50), so any crop can be checked against coordinates.
constexpr int kBase = -50;

FilterImage coordinateFilterImage(QRect extent)
{
    QImage pixels(extent.size(), QImage::Format_ARGB32_Premultiplied);
    for (int row = 0; row < extent.height(); ++row) {
        auto* line = reinterpret_cast<quint32*>(pixels.scanLine(row));
        const int y = extent.y() + extent.height() - 1 - row;
        for (int c = 0; c < extent.width(); ++c)
            line[c] = qRgb(extent.x() + c - kBase, y - kBase, 7);
    }
    return FilterImage(pixels, extent.topLeft());
}

struct CropCase {
    QRect extent;
    QRectF rect;
    QRect expected;
};

class FilterImageCrop : public testing::TestWithParam<CropCase> {};

} // namespace

TEST_P(FilterImageCrop, KeepsThePartInsideMovedToTheOrigin)
{
    const CropCase c = GetParam();
    const FilterImage image = coordinateFilterImage(c.extent);

    const FilterImage cropped = ImageResize::crop(image, c.rect);

    ASSERT_FALSE(cropped.isNull());
    EXPECT_EQ(cropped.extent(), c.expected);
    const QImage& pixels = cropped.pixels();
    ASSERT_EQ(pixels.size(), c.expected.size());
    for (int row = 0; row < pixels.height(); ++row)
        for (int col = 0; col < pixels.width(); ++col) {
            // Back to the source's coordinates: undo the move by the rect's origin.
            const int x = c.expected.x() + col + int(c.rect.x());
            const int y = c.expected.y() + c.expected.height() - 1 - row + int(c.rect.y());
            ASSERT_EQ(pixels.pixel(col, row), qRgb(x - kBase, y - kBase, 7)) << col << "," << row;
        }
    // The source is untouched.
    EXPECT_EQ(image.extent(), c.extent);
}

INSTANTIATE_TEST_SUITE_P(Rects, FilterImageCrop,
                         testing::Values(
                             // A blurred image grown by 20 on every side, cut back to its source.
                             CropCase{{-20, -20, 140, 140}, {0, 0, 100, 100}, {0, 0, 100, 100}},
                             CropCase{{-20, -20, 140, 140}, {10, 10, 50, 50}, {0, 0, 50, 50}},
                             // Rectangles reaching past the extent keep only the intersection.
                             CropCase{{0, 0, 100, 80}, {50, 40, 100, 100}, {0, 0, 50, 40}},
                             CropCase{{-20, -20, 140, 140}, {-30, -30, 40, 40}, {10, 10, 30, 30}},
                             CropCase{{5, 7, 10, 10}, {0, 0, 20, 20}, {5, 7, 10, 10}}));

TEST(FilterImageCropEdges, DisjointOrEmptyGivesNothing)
{
    const FilterImage image = coordinateFilterImage(QRect(0, 0, 10, 10));
    EXPECT_TRUE(ImageResize::crop(image, QRectF(20, 20, 5, 5)).isNull());
    EXPECT_TRUE(ImageResize::crop(image, QRectF(2, 2, 0, 5)).isNull());
    EXPECT_TRUE(ImageResize::crop(FilterImage(), QRectF(0, 0, 5, 5)).isNull());
}

TEST(FilterImageCropEdges, SharesTheSourceRowsUntilWrittenTo)
{
    const FilterImage image = coordinateFilterImage(QRect(-20, -20, 140, 140));

    FilterImage cropped = ImageResize::crop(image, QRectF(0, 0, 100, 100));

    // Row 0 of the crop is the source row for y = 99, column 20.
    EXPECT_EQ(cropped.pixels().constScanLine(0), image.pixels().constScanLine(20) + 20 * 4);
    QImage writable = cropped.pixels();
    writable.setPixel(0, 0, qRgb(1, 2, 3));
    EXPECT_EQ(image.pixels().pixel(20, 20), qRgb(20 - kBase - 20, 99 - kBase, 7));
}
