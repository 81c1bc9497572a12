#include "ImagingTestSupport.h"
#include "TestSupport.h"

#include "imaging/ImageAction.h"
#include "imaging/JpegCodec.h"
#include "imaging/PngCodec.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <turbojpeg.h>

#include <thread>

using namespace imagingtest;

using testsupport::colourNear;

namespace {

// `jpeg` with an Exif segment of the given body right after its start marker.
QByteArray withExif(const QByteArray& jpeg, const QByteArray& tiff)
{
    const QByteArray body = QByteArray("Exif\0\0", 6) + tiff;
    const int length = int(body.size()) + 2;
    return jpeg.left(2) + QByteArray("\xff\xe1", 2) + char(length >> 8) + char(length & 0xff) +
           body + jpeg.mid(2);
}

// An Exif orientation: one entry, SHORT, count 1, no next directory.
QByteArray withOrientation(const QByteArray& jpeg, int orientation)
{
    return withExif(jpeg, QByteArray("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0", 19) +
                              char(orientation) + QByteArray(6, '\0'));
}

} // namespace

// An RGB and a CMYK JPEG decode as Qt's reader decodes them.
TEST(ImageLoading, JpegDecodesAsQtsReaderDoes)
{
    const QString dir = testsupport::tempDir();
    const QImage image = smoothPicture(333, 171);
    writeFile(pathIn(dir, "rgb.jpg"), JpegCodec::encode(image, 90));
    std::vector<uchar> cmyk(size_t(48) * 32 * 4, 0);
    for (size_t i = 0; i < cmyk.size(); i += 4)
        cmyk[i + 1] = 200;
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(handle, cmyk.data(), 48, 48 * 4, 32, TJPF_CMYK, &jpeg, &size, TJSAMP_444,
                          90, 0),
              0);
    writeFile(pathIn(dir, "cmyk.jpg"), QByteArray(reinterpret_cast<char*>(jpeg), qsizetype(size)));
    tjFree(jpeg);
    tjDestroy(handle);

    for (auto [name, expected] :
         {std::pair{"rgb.jpg", QSize(333, 171)}, {"cmyk.jpg", QSize(48, 32)}}) {
        const Picture picture = ImageAction::imageFromURL(pathIn(dir, name));
        ASSERT_TRUE(picture.isValid()) << name << ": " << qPrintable(ImageAction::lastLoadError());
        EXPECT_EQ(picture.size(), QSizeF(expected));
        const QImage bitmap = picture.bestRepresentation();
        ASSERT_EQ(bitmap.format(), QImage::Format_ARGB32_Premultiplied);
        const QImage byQt = QImage(pathIn(dir, name)).convertToFormat(bitmap.format());
        for (int y = 0; y < expected.height(); y += 7)
            for (int x = 0; x < expected.width(); x += 5)
                ASSERT_TRUE(colourNear(bitmap.pixel(x, y), byQt.pixel(x, y), 1))
                    << name << " " << x << "," << y;
    }
}

struct OrientationCase {
    int orientation;
    QSize size;
    // Where the stored picture's top-left (red) corner ends up.
    QPoint redCorner;
};

class ImageLoadingOrientation : public testing::TestWithParam<OrientationCase> {};

TEST_P(ImageLoadingOrientation, JpegIsTurnedUpright)
{
    const OrientationCase c = GetParam();
    // 40 x 20, a red block at the top left, the rest grey.
    QImage stored = filled(40, 20, qRgb(128, 128, 128));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            stored.setPixel(x, y, qRgb(255, 0, 0));
    const QString dir = testsupport::tempDir();
    const QString path = pathIn(dir, "o.jpg");
    writeFile(path, withOrientation(JpegCodec::encode(stored, 95), c.orientation));

    const Picture picture = ImageAction::imageFromURL(path);

    ASSERT_TRUE(picture.isValid());
    EXPECT_EQ(picture.size(), QSizeF(c.size));
    const QImage bitmap = picture.bestRepresentation();
    const QPoint inner(c.redCorner.x() ? c.redCorner.x() - 3 : 3,
                       c.redCorner.y() ? c.redCorner.y() - 3 : 3);
    EXPECT_TRUE(colourNear(bitmap.pixel(inner), qRgb(255, 0, 0), 12)) << c.orientation;
}

INSTANTIATE_TEST_SUITE_P(
    Exif, ImageLoadingOrientation,
    testing::Values(OrientationCase{1, {40, 20}, {0, 0}}, OrientationCase{2, {40, 20}, {39, 0}},
                    OrientationCase{3, {40, 20}, {39, 19}}, OrientationCase{4, {40, 20}, {0, 19}},
                    OrientationCase{5, {20, 40}, {0, 0}}, OrientationCase{6, {20, 40}, {19, 0}},
                    OrientationCase{7, {20, 40}, {19, 39}}, OrientationCase{8, {20, 40}, {0, 39}}));

TEST(ImageLoading, EveryPageOfAMultiPageFileIsKept)
{
    const QString dir = testsupport::tempDir();
    const QString path = pathIn(dir, "pages.tif");
    writeFile(path,
              multiPageTiff({filled(100, 50, qRgb(255, 0, 0)), filled(80, 60, qRgb(0, 0, 255))}));

    const Picture picture = ImageAction::imageFromURL(path);

    ASSERT_TRUE(picture.isValid()) << ImageAction::lastLoadError().toStdString();
    EXPECT_EQ(picture.size(), QSizeF(100, 60));
    ASSERT_EQ(picture.representations().size(), 2);
    EXPECT_EQ(picture.representations()[0].size(), QSize(100, 50));
    EXPECT_EQ(picture.representations()[1].size(), QSize(80, 60));
    EXPECT_EQ(picture.representations()[0].pixel(50, 25), qRgb(255, 0, 0));
    EXPECT_EQ(picture.representations()[1].pixel(40, 30), qRgb(0, 0, 255));
}

TEST(ImageLoading, LargePicturesOpenThroughOurReaderAndQtsAlike)
{
    // 8000 x 6000 pixels are 192 MB, above Qt's default allocation limit.
    const QString dir = testsupport::tempDir();
    writeFile(pathIn(dir, "big.png"), greyPng(10000, 10000, 77, 10000));
    writeFile(pathIn(dir, "big.tif"), greyTiff(8000, 6000, 90));
    for (auto [name, size, grey] : {std::tuple{"big.png", QSize(10000, 10000), 77},
                                    std::tuple{"big.tif", QSize(8000, 6000), 90}}) {
        const Picture picture = ImageAction::imageFromURL(pathIn(dir, name));
        ASSERT_TRUE(picture.isValid()) << name << ": " << qPrintable(ImageAction::lastLoadError());
        EXPECT_EQ(picture.size(), QSizeF(size));
        EXPECT_EQ(picture.bestRepresentation().pixel(size.width() - 1, size.height() - 1),
                  qRgb(grey, grey, grey));
    }
}

// A file that is not there, or stays short, is retried for half a second to
// a second and a half; the short one then opens in part.
TEST(ImageLoadingRetry, MissingOrShortFilesAreRetriedForHalfToOneAndAHalfSeconds)
{
    const QString dir = testsupport::tempDir();
    const QByteArray jpeg = JpegCodec::encode(smoothPicture(300, 200), 90);
    const QString missing = pathIn(dir, "never.png");
    const QString truncated = writeFile(pathIn(dir, "short.jpg"), jpeg.left(jpeg.size() / 2));
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(ImageAction::imageFromURL(missing, false).isNull());
    EXPECT_LT(timer.elapsed(), 100);
    for (const QString& path : {missing, truncated}) {
        timer.restart();
        const Picture picture = ImageAction::imageFromURL(path, true);
        EXPECT_GE(timer.elapsed(), 500);
        EXPECT_LE(timer.elapsed(), 1500);
        EXPECT_EQ(picture.isValid(), path == truncated);
    }
    EXPECT_TRUE(ImageAction::lastLoadWarning().contains("ends early"));
    EXPECT_EQ(ImageAction::lastLoadError(), QString());
}

TEST(ImageLoadingRetry, FileFinishedDuringTheRetriesIsPickedUpWhole)
{
    const QString dir = testsupport::tempDir();
    const QByteArray files[] = {PngCodec::encode(smoothPicture(300, 200)),
                                JpegCodec::encode(smoothPicture(300, 200), 90)};
    for (const QByteArray& file : files) {
        const QString path = pathIn(dir, "late");
        // A writer that leaves a partial file first, as a dragging program
        // does; the part already there opens, but the retries wait for more.
        writeFile(path, file.left(file.size() * 2 / 3));
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            writeFile(path, file);
        });

        const Picture picture = ImageAction::imageFromURL(path, true);
        writer.join();

        ASSERT_TRUE(picture.isValid());
        EXPECT_EQ(picture.size(), QSizeF(300, 200));
        EXPECT_EQ(ImageAction::lastLoadWarning(), QString());
    }
}

// ---- Files that other viewers show in part -------------------------------------

namespace {

QByteArray progressiveJpeg(const QImage& image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, rgb.constBits(), rgb.width(), int(rgb.bytesPerLine()), rgb.height(),
                TJPF_RGB, &jpeg, &size, TJSAMP_420, 90, TJFLAG_PROGRESSIVE);
    QByteArray file(reinterpret_cast<char*>(jpeg), qsizetype(size));
    tjFree(jpeg);
    tjDestroy(handle);
    return file;
}

} // namespace

TEST(ImageLoadingPartial, ShortOrSlightlyDamagedFilesOpenAsFarAsTheyGo)
{
    const QImage smooth = smoothPicture(320, 240);
    const QByteArray jpeg = JpegCodec::encode(smooth, 90);
    const QByteArray progressive = progressiveJpeg(smooth);
    const QByteArray fastPng = PngCodec::encode(smooth);
    const QImage palette = smoothPicture(320, 240).convertToFormat(QImage::Format_Indexed8);
    const QByteArray palettePng = encoded(palette, "png");
    // A whole small JPEG as the Exif thumbnail, end marker included, as camera files have.
    const QByteArray camera = withExif(jpeg, QByteArray("MM\0*\0\0\0\x08\0\0\0\0\0\0", 12) +
                                                 JpegCodec::encode(smoothPicture(16, 16), 80));
    // Stray bytes between two segments.
    QByteArray stray = jpeg;
    stray.insert(stray.indexOf("\xff\xda"), "\x12\x34\x56", 3);
    // What the bottom-right corner shows.
    enum Bottom { Own, Grey, Transparent, Unchecked };
    const struct {
        const char* name;
        QByteArray bytes;
        const char* warning; // "" for none
        Bottom bottom;
        const QImage& own;
    } cases[] = {
        {"half.jpg", jpeg.left(jpeg.size() / 2), "ends early", Grey, smooth},
        {"thumbnail-half.jpg", camera.left(camera.size() - jpeg.size() / 2), "ends early", Grey,
         smooth},
        // Cut in a later scan: every row has its coarse data.
        {"progressive-part.jpg", progressive.left(progressive.size() * 2 / 3), "ends early",
         Unchecked, smooth},
        {"stray-bytes.jpg", stray, "extraneous bytes", Own, smooth},
        {"half.png", fastPng.left(fastPng.size() / 2), "ends early", Transparent, smooth},
        {"half-palette.png", palettePng.left(palettePng.size() / 2), "ends early", Transparent,
         palette},
        {"no-end.png", withoutEndChunk(fastPng), "", Own, smooth},
        {"no-end-palette.png", withoutEndChunk(palettePng), "", Own, palette},
    };
    const QString dir = testsupport::tempDir();
    for (const auto& c : cases) {
        const QString path = pathIn(dir, c.name);
        writeFile(path, c.bytes);

        const Picture picture = ImageAction::imageFromURL(path);

        ASSERT_TRUE(picture.isValid())
            << c.name << ": " << qPrintable(ImageAction::lastLoadError());
        const QImage bitmap = picture.bestRepresentation();
        ASSERT_EQ(bitmap.size(), QSize(320, 240)) << c.name;
        const QString warning = ImageAction::lastLoadWarning();
        EXPECT_TRUE(*c.warning ? warning.contains(c.warning) : warning.isEmpty())
            << c.name << ": " << qPrintable(warning);
        // The top is the picture's own; a missing bottom is grey (JPEG) or
        // transparent (PNG), never memory the decoder did not write.
        EXPECT_TRUE(colourNear(bitmap.pixel(5, 5), c.own.pixel(5, 5), 12))
            << c.name << ": " << std::hex << bitmap.pixel(5, 5);
        const QRgb corner = bitmap.pixel(319, 239);
        if (c.bottom == Own) {
            EXPECT_TRUE(colourNear(corner, c.own.pixel(319, 239), 12))
                << c.name << ": " << std::hex << corner;
        } else if (c.bottom == Grey) {
            EXPECT_TRUE(colourNear(corner, qRgb(128, 128, 128), 1)) << c.name;
        } else if (c.bottom == Transparent) {
            EXPECT_EQ(corner, 0u) << c.name;
        }
    }
}

TEST(ImageLoadingPartial, FilesWithNothingToShowOrBadChecksumsAreRefused)
{
    const QImage smooth = smoothPicture(320, 240);
    const QByteArray fastPng = PngCodec::encode(smooth);
    // A palette picture takes the general PNG decoder.
    const QByteArray palettePng =
        encoded(smoothPicture(320, 240).convertToFormat(QImage::Format_Indexed8), "png");
    const QByteArray jpeg = JpegCodec::encode(smooth, 90);
    // Noise compresses so little that a part of its first row is not out of
    // proportion to the picture.
    QImage noise(320, 240, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            noise.setPixel(x, y, qRgb((x * 7919 + y * 104729) % 251, (x * y) % 253, (x ^ y) & 255));
    const QByteArray noisePng = PngCodec::encode(noise);
    const QByteArray noisePalettePng =
        encoded(noise.convertToFormat(QImage::Format_Indexed8), "png");
    // A progressive file that warns (stray bytes before its second scan) and
    // then fails for good (that scan's parameters are impossible).
    QByteArray warnsThenFails = progressiveJpeg(smooth);
    const qsizetype secondScan =
        warnsThenFails.indexOf("\xff\xda", warnsThenFails.indexOf("\xff\xda") + 2);
    const qsizetype parameters = secondScan + 4 + 1 + 2 * uchar(warnsThenFails[secondScan + 4]);
    warnsThenFails[parameters] = 0;      // Ss
    warnsThenFails[parameters + 1] = 63; // Se: DC and AC in one progressive scan
    warnsThenFails.insert(secondScan, "\x00\x00", 2);
    expectRefused({
        {"bad-crc.png", withBrokenCrc(fastPng, "IDAT"), "checksum"},
        {"bad-crc-palette.png", withBrokenCrc(palettePng, "IDAT"), "checksum"},
        {"bad-header-crc.png", withBrokenCrc(fastPng, "IHDR"), "header"},
        {"first-row.png", noisePng.left(noisePng.indexOf("IDAT") + 600), "first row"},
        {"first-row-palette.png", noisePalettePng.left(noisePalettePng.indexOf("IDAT") + 250),
         "first row"},
        {"warns-then-fails.jpg", warnsThenFails, "JPEG file is damaged"},
        {"first-rows.jpg", jpeg.left(jpeg.indexOf("\xff\xda") + 40), "holds only"},
    });
}
