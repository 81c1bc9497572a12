#include "ImagingTestSupport.h"

#include "imaging/ImageAction.h"
#include "imaging/PngCodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <random>
#include <set>

using namespace imagingtest;

namespace {

// Premultiplied pixels with every alpha, soft and hard edges and noise.
QImage transparentPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    std::mt19937 rng(7);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int a = (x + 3 * y) % 256;
            const int r = int(rng() % 256), g = (x * 7) % 256, b = (y * 5) % 256;
            line[x] = qPremultiply(qRgba(r, g, b, a));
        }
    }
    return image;
}

QImage readWithQt(const QByteArray& png)
{
    QImage image;
    image.loadFromData(png, "png");
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

int colourTypeOf(const QByteArray& png)
{
    return png.size() > 25 ? uchar(png[25]) : -1;
}

} // namespace

TEST(PngCodec, TransparencySurvivesARoundTripExactly)
{
    // Column c, row a holds colour c at alpha a, for every c <= a: every
    // premultiplied value comes back unchanged.
    QImage everyValue(256, 256, QImage::Format_ARGB32_Premultiplied);
    for (int a = 0; a < 256; ++a)
        for (int c = 0; c < 256; ++c)
            reinterpret_cast<quint32*>(everyValue.scanLine(a))[c] =
                c <= a ? qRgba(c, a - c, c / 2, a) : 0;
    for (const QImage& image : {transparentPicture(1, 1), transparentPicture(37, 23),
                                transparentPicture(1500, 1100), everyValue}) {
        const QByteArray png = PngCodec::encode(image);
        EXPECT_EQ(colourTypeOf(png), 6);
        EXPECT_EQ(PngCodec::decode(png).convertToFormat(image.format()), image) << image.width();
        // Another decoder (which checks every CRC and the stream checksum)
        // reads the same pixels: the parallel pieces form one valid stream.
        EXPECT_EQ(readWithQt(png), image) << image.width();
    }
    EXPECT_TRUE(PngCodec::encode(QImage()).isEmpty());
}

TEST(PngCodec, OpaquePicturesAreWrittenAsRgbButSavedCutOutsAlwaysCarryAlpha)
{
    const QImage image = coordinateImage(300, 200);

    const QByteArray plain = PngCodec::encode(image);
    const QByteArray saved = ImageAction::compressedPNGData(
        Picture::fromImage(image.convertToFormat(QImage::Format_RGB32)));

    EXPECT_EQ(colourTypeOf(plain), 2);
    EXPECT_EQ(readWithQt(plain), image);
    EXPECT_EQ(colourTypeOf(saved), 6);
    EXPECT_EQ(readWithQt(saved).convertToFormat(image.format()), image);
}

TEST(PngCodec, OtherFormatsAreConverted)
{
    QImage straight(3, 1, QImage::Format_ARGB32);
    straight.setPixel(0, 0, qRgba(255, 0, 0, 255));
    straight.setPixel(1, 0, qRgba(0, 255, 0, 100));
    straight.setPixel(2, 0, qRgba(0, 0, 0, 0));
    // Straight colour comes back exactly, even under alpha 100.
    EXPECT_EQ(PngCodec::decode(PngCodec::encode(straight)), straight);
    QImage grey(4, 2, QImage::Format_Grayscale8);
    grey.fill(90);
    EXPECT_EQ(PngCodec::decode(PngCodec::encode(grey)).pixel(3, 1), qRgb(90, 90, 90));
}

class PngCodecForeign : public testing::TestWithParam<QImage::Format> {};

TEST_P(PngCodecForeign, EveryKindOfFileDecodesAsQtDecodesIt)
{
    // Grey, RGB and RGBA files take the fast path; 16-bit and palette files
    // (with a transparent palette entry) the general one.
    QImage image = transparentPicture(301, 77).convertToFormat(GetParam());
    if (GetParam() == QImage::Format_Indexed8)
        image.setColor(0, qRgba(10, 20, 30, 0));
    const QByteArray bytes = encoded(image, "png");
    const QImage expected = readWithQt(bytes);

    const QImage decoded =
        PngCodec::decode(bytes).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage alpha = PngCodec::decodeAlpha(bytes);

    // 16-bit samples are cut to 8 bits, which Qt rounds: one step apart at most.
    const bool wide =
        GetParam() == QImage::Format_Grayscale16 || GetParam() == QImage::Format_RGBA64;
    const int tolerance = wide ? 1 : 0;
    ASSERT_EQ(decoded.size(), expected.size());
    ASSERT_EQ(alpha.size(), expected.size());
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x) {
            const QRgb got = reinterpret_cast<const QRgb*>(decoded.constScanLine(y))[x];
            const QRgb want = reinterpret_cast<const QRgb*>(expected.constScanLine(y))[x];
            for (int shift : {0, 8, 16, 24})
                ASSERT_LE(std::abs(int((got >> shift) & 0xff) - int((want >> shift) & 0xff)),
                          tolerance)
                    << x << "," << y;
            ASSERT_LE(std::abs(alpha.constScanLine(y)[x] - int(want >> 24)), tolerance);
        }
}

INSTANTIATE_TEST_SUITE_P(Formats, PngCodecForeign,
                         testing::Values(QImage::Format_Grayscale8, QImage::Format_RGB888,
                                         QImage::Format_RGB32, QImage::Format_ARGB32,
                                         QImage::Format_Grayscale16, QImage::Format_RGBA64,
                                         QImage::Format_Indexed8));

TEST(PngCodec, TheMaskReaderTakesOnlyWholeFiles)
{
    // The picture reader shows the rows of a short file; a mask snapshot must
    // be whole, on either decoding path.
    const QImage image = transparentPicture(50, 50);
    // 16 bits a channel takes the general decoder.
    const QByteArray files[] = {PngCodec::encode(image),
                                encoded(image.convertToFormat(QImage::Format_RGBA64), "png")};
    for (const QByteArray& png : files) {
        QByteArray scrambled = png;
        for (qsizetype i = 60; i < scrambled.size() - 40; i += 7)
            scrambled[i] = char(scrambled[i] ^ 0x5a);
        const QByteArray cases[] = {QByteArray(), QByteArray("not a picture at all"),
                                    png.left(png.size() / 2), png.left(40), scrambled};
        for (const QByteArray& data : cases) {
            EXPECT_TRUE(PngCodec::decodeAlpha(data).isNull());
            EXPECT_EQ(PngCodec::decode(data).isNull(), &data != &cases[2]) << &data - cases;
        }
    }
}

// Runs of 1 to 300 equal values (every way a run can split into matches),
// rows that repeat and rows of noise, each row with bytes to spare after it.
TEST(PngCodecAlpha, MaskSurvivesARoundTripFromStridedRows)
{
    const uchar byte = 0;
    EXPECT_TRUE(PngCodec::encodeAlpha(nullptr, 4, 4, 4).isEmpty());
    EXPECT_TRUE(PngCodec::encodeAlpha(&byte, 0, 1, 1).isEmpty());
    std::mt19937 rng(3);
    for (const QSize size : {QSize(1, 1), QSize(33, 17), QSize(700, 120), QSize(2000, 1500)}) {
        const int width = size.width(), stride = width + 13;
        std::vector<uchar> mask(size_t(stride) * size.height(), 0xee);
        for (int y = 0; y < size.height(); ++y) {
            uchar* row = mask.data() + size_t(y) * stride;
            if (y % 3 == 1) {
                std::memcpy(row, row - stride, size_t(width));
            } else if (y % 3 == 2) {
                for (int x = 0; x < width; ++x)
                    row[x] = uchar(rng());
            } else {
                for (int x = 0, run = 1 + y % 300; x < width; run = run % 300 + 1) {
                    const uchar value = uchar(rng());
                    for (int i = 0; i < run && x < width; ++i)
                        row[x++] = value;
                }
            }
        }

        const QByteArray png = PngCodec::encodeAlpha(mask.data(), width, size.height(), stride);

        EXPECT_EQ(colourTypeOf(png), 4);
        const QImage alpha = PngCodec::decodeAlpha(png);
        const QImage byQt = readWithQt(png); // an ordinary PNG: grey 0 with the mask as alpha
        ASSERT_EQ(alpha.size(), size);
        ASSERT_EQ(alpha.format(), QImage::Format_Alpha8);
        ASSERT_EQ(byQt.size(), size);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < width; ++x) {
                const uchar want = mask[size_t(y) * stride + x];
                ASSERT_EQ(alpha.constScanLine(y)[x], want) << x << "," << y;
                ASSERT_EQ(reinterpret_cast<const QRgb*>(byQt.constScanLine(y))[x], QRgb(want)
                                                                                       << 24);
            }
    }
}

namespace {

// The rows of `image` (Format_ARGB32) as the streamed encoder asks for them.
PngCodec::RowBands rowsOf(const QImage& image)
{
    return [&image](int y0, int y1, uchar* out, qsizetype stride) {
        for (int y = y0; y < y1; ++y)
            std::memcpy(out + (y - y0) * stride, image.constScanLine(y), size_t(image.width()) * 4);
    };
}

// The streamed file of `image`, empty on failure.
QByteArray streamed(const QImage& image, const PngCodec::RowBands& rows, const std::vector<int>& starts = {})
{
    QByteArray file;
    const bool ok = PngCodec::encodeStreamed(
        image.size(), rows,
        [&](const char* data, qsizetype n) {
            file.append(data, n);
            return true;
        },
        {}, {}, starts);
    return ok ? file : QByteArray();
}

} // namespace

// The streamed encoder: bands handed out to several threads come back, in
// order, as one file that every decoder reads as the picture; a sink that
// refuses stops it at once, at whichever band it refuses.
TEST(PngCodecStreamed, BandsMakeOneFileOfThePicturesPixels)
{
    for (QSize size : {QSize(1, 1), QSize(1, 700), QSize(700, 1), QSize(997, 1201)}) {
        const QImage image = transparentPicture(size.width(), size.height())
                                 .convertToFormat(QImage::Format_ARGB32);
        const PngCodec::RowBands rows = rowsOf(image);
        QByteArray file;
        int calls = 0;
        double lastProgress = 0;
        ASSERT_TRUE(PngCodec::encodeStreamed(
            size, rows,
            [&](const char* data, qsizetype n) {
                file.append(data, n);
                ++calls;
                return true;
            },
            [&](double done) { lastProgress = done; }));
        EXPECT_EQ(lastProgress, 1.0);
        EXPECT_EQ(colourTypeOf(file), 6);
        EXPECT_EQ(PngCodec::decode(file), image) << size.width();
        EXPECT_EQ(readWithQt(file), image.convertToFormat(QImage::Format_ARGB32_Premultiplied));

        for (int refuseAt : {1, 2, calls / 2, calls - 1}) {
            int seen = 0;
            EXPECT_FALSE(PngCodec::encodeStreamed(size, rows, [&](const char*, qsizetype) {
                return ++seen < refuseAt;
            })) << refuseAt;
            EXPECT_EQ(seen, refuseAt) << "no bytes after a refusal";
        }
    }
}

// Bands start where the source asks, a large one cut in two, and the file
// is the picture's all the same; starts that cannot be bands are ignored.
TEST(PngCodecStreamed, BandsStartWhereTheSourceComposesBest)
{
    const QSize size(1000, 1600); // about 520 rows to a piece of the encoder's
    const QImage image = transparentPicture(size.width(), size.height()).convertToFormat(QImage::Format_ARGB32);
    using Bands = std::set<std::pair<int, int>>;
    Bands asked;
    std::mutex mutex;
    auto encode = [&](const std::vector<int>& starts) {
        asked.clear();
        const QByteArray file = streamed(
            image,
            [&](int y0, int y1, uchar* out, qsizetype stride) {
                {
                    std::lock_guard lock(mutex);
                    asked.insert({y0, y1});
                }
                rowsOf(image)(y0, y1, out, stride);
            },
            starts);
        return PngCodec::decode(file);
    };
    EXPECT_EQ(encode({0, 100, 101, 1500}), image);
    EXPECT_EQ(asked, (Bands{{0, 100}, {100, 101}, {101, 800}, {800, 1500}, {1500, 1600}}));
    for (const std::vector<int>& unusable : {std::vector<int>{5, 10}, {0, 10, 10}, {0, 900, 400}, {0, 1600}}) {
        EXPECT_EQ(encode(unusable), image);
        EXPECT_EQ(asked.begin()->first, 0);
        EXPECT_EQ(asked.size(), 4u) << "pieces of the encoder's own size";
    }
}

// Each band is deflated with the matcher that packs it: a pattern that
// repeats every 37 pixels, shifted from row to row, has no runs to speak of
// under any filter, and only matching at a distance packs it; noise under a
// gradient packs either way. Both decode to the picture.
TEST(PngCodecStreamed, RepeatsAtADistanceArePackedToo)
{
    const QSize size(1200, 1800);
    QImage repeating(size, QImage::Format_ARGB32);
    QImage noisy(size, QImage::Format_ARGB32);
    std::mt19937 rng(5);
    std::vector<QRgb> tile(37);
    for (QRgb& p : tile)
        p = rng() | 0xff000000u;
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            reinterpret_cast<QRgb*>(repeating.scanLine(y))[x] = tile[size_t((x + y * y) % 37)];
            const int n = int(rng() % 7);
            reinterpret_cast<QRgb*>(noisy.scanLine(y))[x] = qRgb(x / 5 + n, y / 8 + n, 90 + n);
        }
    const qsizetype raw = qsizetype(size.width()) * size.height() * 4;
    for (const QImage* picture : {&repeating, &noisy}) {
        const QByteArray file = streamed(*picture, rowsOf(*picture));
        EXPECT_EQ(PngCodec::decode(file), *picture);
        EXPECT_LT(file.size(), picture == &repeating ? raw / 50 : raw / 2);
    }
}
