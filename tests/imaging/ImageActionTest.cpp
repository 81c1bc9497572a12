#include "imaging/ImageAction.h"
#include "ImagingTestSupport.h"
#include "imaging/ImageResize.h"

#include <gtest/gtest.h>

#include <QStringList>

using namespace imagingtest;

namespace {

using testsupport::LogCapture;

QImage onlyBitmap(const Picture& picture)
{
    EXPECT_EQ(picture.representations().size(), 1);
    return picture.bestRepresentation();
}

} // namespace

TEST(ImageActionResize, HalvingShowsTheWholePictureAveragedInBlocks)
{
    // Every 2 x 2 block has one colour, so a high-quality halving must give
    // back exactly the block colours, in place and the right way up.
    QImage source(400, 300, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x)
            source.setPixel(x, y, qRgb(x / 2, y / 2, 40));
    const Picture picture = Picture::fromImage(source);

    const Picture half = ImageAction::resize(picture, QSizeF(200, 150));

    EXPECT_EQ(half.size(), QSizeF(200, 150));
    const QImage bitmap = onlyBitmap(half);
    ASSERT_EQ(bitmap.size(), QSize(200, 150));
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 200; ++x)
            ASSERT_EQ(bitmap.pixel(x, y), qRgb(x, y, 40)) << x << "," << y;
    EXPECT_EQ(picture.bestRepresentation().pixel(399, 299), qRgb(199, 149, 40)); // untouched
}

struct StripCase {
    QSizeF size;
    QSize bitmap;
    int drawnColumns; // from the left
    int drawnRows;    // from the bottom
};

class ImageActionStrip : public testing::TestWithParam<StripCase> {};

TEST_P(ImageActionStrip, FractionalSizesLeaveTheRightAndTopStripsTransparent)
{
    const StripCase c = GetParam();
    const Picture picture = Picture::fromImage(filled(203, 101, qRgb(200, 10, 10)));

    const Picture resized = ImageAction::resize(picture, c.size);

    ASSERT_TRUE(resized.isValid());
    EXPECT_EQ(resized.size(), c.size);
    const QImage bitmap = onlyBitmap(resized);
    ASSERT_EQ(bitmap.size(), c.bitmap);
    for (int up = 0; up < bitmap.height(); ++up)
        for (int x = 0; x < bitmap.width(); ++x) {
            const bool drawn = x < c.drawnColumns && up < c.drawnRows;
            ASSERT_EQ(atUp(bitmap, x, up), drawn ? qRgb(200, 10, 10) : 0u) << x << "," << up;
        }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImageActionStrip,
                         testing::Values(StripCase{{100.5, 50.2}, {101, 51}, 101, 50},
                                         StripCase{{100.4, 50.6}, {101, 51}, 100, 51},
                                         StripCase{{100.0, 50.0}, {100, 50}, 100, 50},
                                         StripCase{{0.4, 3.0}, {1, 3}, 0, 3}));

TEST(ImageActionResize, RedrawsTheLargestBitmapOfAMultiBitmapPicture)
{
    const Picture picture(QSizeF(40, 30),
                          {filled(20, 15, qRgb(0, 0, 255)), filled(40, 30, qRgb(0, 255, 0))});

    const QImage bitmap = onlyBitmap(ImageAction::resize(picture, QSizeF(40, 30)));

    ASSERT_EQ(bitmap.size(), QSize(40, 30));
    EXPECT_EQ(bitmap.pixel(0, 0), qRgb(0, 255, 0));
    EXPECT_EQ(bitmap.pixel(39, 29), qRgb(0, 255, 0));
}

TEST(ImageActionResize, InvalidPicturesLogOnceAndGiveNothingFromEveryOperation)
{
    const Picture cases[] = {Picture(), Picture(QSizeF(10, 10), {}),
                             Picture(QSizeF(10, 10), {QImage()})};
    for (const Picture& picture : cases) {
        LogCapture log;
        EXPECT_TRUE(ImageAction::resize(picture, QSizeF(5, 5)).isNull());
        EXPECT_EQ(log.lines, QStringList{"Invalid Image"});
    }
    LogCapture log;
    EXPECT_TRUE(ImageAction::crop(Picture(), QRectF(0, 0, 5, 5)).isNull());
    EXPECT_TRUE(ImageAction::cropToFill(Picture(), QSizeF(5, 5)).isNull());
    EXPECT_TRUE(ImageAction::flipHorisontal(Picture(), true).isNull());
    EXPECT_TRUE(ImageAction::compressedPNGData(Picture()).isEmpty());
    EXPECT_TRUE(ImageAction::compressedJPEGData(Picture(), 0.8f).isEmpty());
    EXPECT_EQ(log.lines.size(), 3); // the encoders do not log
    EXPECT_TRUE(
        ImageAction::crop(Picture::fromImage(coordinateImage(4, 4)), QRectF(1, 1, 0, 3)).isNull());
    EXPECT_TRUE(ImageAction::imageFromCGImageRef(QImage()).isNull());
}

struct CropCase {
    QRectF rect;
    QSize bitmap;
};

class ImageActionCrop : public testing::TestWithParam<CropCase> {};

TEST_P(ImageActionCrop, CopiesTheRoundedSourceRectangleUnscaled)
{
    const CropCase c = GetParam();
    const QImage source = coordinateImage(40, 30);
    const Picture cropped = ImageAction::crop(Picture::fromImage(source), c.rect);

    ASSERT_TRUE(cropped.isValid());
    EXPECT_EQ(cropped.size(), c.rect.size());
    const QImage bitmap = onlyBitmap(cropped);
    ASSERT_EQ(bitmap.size(), c.bitmap);
    const int x0 = qRound(c.rect.x()), y0 = qRound(c.rect.y());
    const int w = std::min(qRound(c.rect.width()), bitmap.width());
    const int h = std::min(qRound(c.rect.height()), bitmap.height());
    for (int up = 0; up < bitmap.height(); ++up)
        for (int x = 0; x < bitmap.width(); ++x) {
            const int sx = x0 + x, sup = y0 + up;
            const bool inside = x < w && up < h && sx >= 0 && sx < 40 && sup >= 0 && sup < 30;
            ASSERT_EQ(atUp(bitmap, x, up), inside ? atUp(source, sx, sup) : 0u) << x << "," << up;
        }
}

INSTANTIATE_TEST_SUITE_P(Rects, ImageActionCrop,
                         testing::Values(CropCase{{5, 10, 20, 8}, {20, 8}},
                                         CropCase{{0, 0, 40, 30}, {40, 30}},
                                         CropCase{{-5, -4, 10, 10}, {10, 10}},
                                         CropCase{{35, 25, 10, 10}, {10, 10}},
                                         CropCase{{4.6, 2.4, 10.5, 6.2}, {11, 7}}));

TEST(ImageActionCrop, WorksInPointsOfAFractionalPicture)
{
    // A resize to 10.5 x 6.2 draws 11 x 6 pixels with a transparent top row;
    // cropping its lower-left 11 x 6 gives those pixels back unscaled.
    const Picture resized =
        ImageAction::resize(Picture::fromImage(filled(21, 12, qRgb(9, 99, 199))), {10.5, 6.2});

    const QImage bitmap = onlyBitmap(ImageAction::crop(resized, QRectF(0, 0, 11, 6)));

    ASSERT_EQ(bitmap.size(), QSize(11, 6));
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 11; ++x)
            ASSERT_EQ(bitmap.pixel(x, y), qRgb(9, 99, 199)) << x << "," << y;
}

TEST(ImageActionCropToFill, CoversTheTargetWithTheCentreKept)
{
    // A 40 x 20 picture: left quarter red, middle half green, right quarter
    // blue. Filling a square keeps the middle half, that is all green.
    QImage source = filled(40, 20, qRgb(0, 255, 0));
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 10; ++x) {
            source.setPixel(x, y, qRgb(255, 0, 0));
            source.setPixel(39 - x, y, qRgb(0, 0, 255));
        }

    const Picture square = ImageAction::cropToFill(Picture::fromImage(source), QSizeF(10, 10));
    const Picture wide = ImageAction::cropToFill(Picture::fromImage(source), QSizeF(80, 20));

    ASSERT_TRUE(square.isValid());
    const QImage bitmap = onlyBitmap(square);
    ASSERT_EQ(bitmap.size(), QSize(10, 10));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            ASSERT_EQ(bitmap.pixel(x, y), qRgb(0, 255, 0)) << x << "," << y;
    // A wider target scales by two and crops top and bottom: all three bands stay.
    const QImage wideBitmap = onlyBitmap(wide);
    ASSERT_EQ(wideBitmap.size(), QSize(80, 20));
    EXPECT_EQ(wideBitmap.pixel(2, 10), qRgb(255, 0, 0));
    EXPECT_EQ(wideBitmap.pixel(40, 10), qRgb(0, 255, 0));
    EXPECT_EQ(wideBitmap.pixel(77, 10), qRgb(0, 0, 255));
}

TEST(ImageActionFlip, MirrorsLeftRightOrTopBottom)
{
    const QImage source = coordinateImage(5, 3);
    const Picture picture = Picture::fromImage(source);

    const QImage horizontal = onlyBitmap(ImageAction::flipHorisontal(picture, true));
    const QImage vertical = onlyBitmap(ImageAction::flipHorisontal(picture, false));

    ASSERT_EQ(horizontal.size(), source.size());
    ASSERT_EQ(vertical.size(), source.size());
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(horizontal.pixel(x, y), source.pixel(4 - x, y));
            EXPECT_EQ(vertical.pixel(x, y), source.pixel(x, 2 - y));
        }
}

TEST(ImageActionConversions, StraightAlphaBitmapsArePremultiplied)
{
    QImage straight(2, 1, QImage::Format_ARGB32);
    straight.setPixel(0, 0, qRgba(200, 100, 50, 128));
    straight.setPixel(1, 0, qRgba(0, 0, 0, 0));

    const QImage bitmap = ImageAction::imageFromCGImageRef(straight).bestRepresentation();

    ASSERT_EQ(bitmap.format(), QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(reinterpret_cast<const quint32*>(bitmap.constScanLine(0))[0],
              qPremultiply(qRgba(200, 100, 50, 128)));
}

namespace filtercroptest {

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

struct FilterCropCase {
    QRect extent;
    QRectF rect;
    QRect expected;
};

class FilterImageCrop : public testing::TestWithParam<FilterCropCase> {};

} // namespace filtercroptest

using namespace filtercroptest;

TEST_P(FilterImageCrop, KeepsThePartInsideMovedToTheOrigin)
{
    const FilterCropCase c = GetParam();
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

INSTANTIATE_TEST_SUITE_P(
    Rects, FilterImageCrop,
    testing::Values(
        // A blurred image grown by 20 on every side, cut back to its source.
        FilterCropCase{{-20, -20, 140, 140}, {0, 0, 100, 100}, {0, 0, 100, 100}},
        FilterCropCase{{-20, -20, 140, 140}, {10, 10, 50, 50}, {0, 0, 50, 50}},
        // Rectangles reaching past the extent keep only the intersection.
        FilterCropCase{{0, 0, 100, 80}, {50, 40, 100, 100}, {0, 0, 50, 40}},
        FilterCropCase{{-20, -20, 140, 140}, {-30, -30, 40, 40}, {10, 10, 30, 30}},
        FilterCropCase{{5, 7, 10, 10}, {0, 0, 20, 20}, {5, 7, 10, 10}}));

TEST(FilterImageCropEdges, DisjointOrEmptyGivesNothing)
{
    const FilterImage image = coordinateFilterImage(QRect(0, 0, 10, 10));
    EXPECT_TRUE(ImageResize::crop(image, QRectF(20, 20, 5, 5)).isNull());
    EXPECT_TRUE(ImageResize::crop(image, QRectF(2, 2, 0, 5)).isNull());
    EXPECT_TRUE(ImageResize::crop(FilterImage(), QRectF(0, 0, 5, 5)).isNull());
}
