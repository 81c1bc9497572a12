#include "ImagingTestSupport.h"
#include "TestSupport.h"

#include "imaging/ImageAction.h"
#include "imaging/JpegCodec.h"
#include "imaging/PngCodec.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QImageReader>

#include <turbojpeg.h>

#include <thread>

using namespace imagingtest;

namespace {

QString pathIn(const QString& dir, const QString& name)
{
    return QDir(dir).filePath(name);
}

// A smooth picture that JPEG keeps close to the original.
QImage smoothPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 255 / width, y * 255 / height, 128));
    return image;
}

// `jpeg` with an Exif segment carrying `orientation` right after its start marker.
QByteArray withOrientation(const QByteArray& jpeg, int orientation)
{
    QByteArray tiff("MM\0*\0\0\0\x08", 8);
    tiff.append("\0\x01", 2);                   // one entry
    tiff.append("\x01\x12\0\x03\0\0\0\x01", 8); // orientation, SHORT, count 1
    tiff.append(char(0)).append(char(orientation)).append("\0\0", 2);
    tiff.append("\0\0\0\0", 4); // no next directory
    const QByteArray body = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray segment("\xff\xe1", 2);
    const int length = int(body.size()) + 2;
    segment.append(char(length >> 8)).append(char(length & 0xff)).append(body);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

// `jpeg` with an Exif segment that carries a whole small JPEG as its
// thumbnail, end marker included, as camera files do.
QByteArray withThumbnail(const QByteArray& jpeg, const QByteArray& thumbnail)
{
    const QByteArray body = QByteArray("Exif\0\0MM\0*\0\0\0\x08\0\0\0\0\0\0", 18) + thumbnail;
    QByteArray segment("\xff\xe1", 2);
    const int length = int(body.size()) + 2;
    segment.append(char(length >> 8)).append(char(length & 0xff)).append(body);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

bool near(QRgb a, QRgb b, int tolerance)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance &&
           std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= tolerance && qAlpha(a) == qAlpha(b);
}

} // namespace

TEST(ImageLoading, PngFileGivesAPictureOfItsPixelSize)
{
    const QString dir = testsupport::tempDir();
    const QImage image = coordinateImage(120, 70);
    ASSERT_TRUE(image.save(pathIn(dir, "a.png")));

    const Picture picture = ImageAction::imageFromURL(pathIn(dir, "a.png"));

    ASSERT_TRUE(picture.isValid());
    EXPECT_EQ(picture.size(), QSizeF(120, 70));
    EXPECT_EQ(picture.bestRepresentation(), image);
    EXPECT_EQ(ImageAction::lastLoadError(), QString());
}

TEST(ImageLoading, JpegDecodesAsQtsReaderDoes)
{
    const QString dir = testsupport::tempDir();
    const QImage image = smoothPicture(333, 171);
    writeFile(pathIn(dir, "a.jpg"), JpegCodec::encode(image, 90));
    QImageReader reader(pathIn(dir, "a.jpg"));
    const QImage byQt = reader.read().convertToFormat(QImage::Format_ARGB32_Premultiplied);

    const Picture picture = ImageAction::imageFromURL(pathIn(dir, "a.jpg"));

    ASSERT_TRUE(picture.isValid());
    EXPECT_EQ(picture.size(), QSizeF(333, 171));
    const QImage bitmap = picture.bestRepresentation();
    ASSERT_EQ(bitmap.format(), QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < 171; y += 7)
        for (int x = 0; x < 333; x += 5) {
            ASSERT_TRUE(near(bitmap.pixel(x, y), byQt.pixel(x, y), 1)) << x << "," << y;
            ASSERT_TRUE(near(bitmap.pixel(x, y), image.pixel(x, y), 8)) << x << "," << y;
        }
}

TEST(ImageLoading, CmykJpegGoesThroughQtsReader)
{
    const QString dir = testsupport::tempDir();
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

    const Picture picture = ImageAction::imageFromURL(pathIn(dir, "cmyk.jpg"));

    ASSERT_TRUE(picture.isValid()) << ImageAction::lastLoadError().toStdString();
    EXPECT_EQ(picture.size(), QSizeF(48, 32));
    EXPECT_EQ(picture.bestRepresentation().format(), QImage::Format_ARGB32_Premultiplied);
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
    EXPECT_TRUE(near(bitmap.pixel(inner), qRgb(255, 0, 0), 12)) << c.orientation;
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
    EXPECT_EQ(picture.representations()[1].format(), QImage::Format_ARGB32_Premultiplied);
}

TEST(ImageLoading, UnreadableFilesGiveNothingWithAReason)
{
    const QString dir = testsupport::tempDir();
    const QByteArray png = PngCodec::encode(smoothPicture(200, 100));
    const QByteArray jpeg = JpegCodec::encode(smoothPicture(200, 100), 90);
    const QByteArray tiff = multiPageTiff({filled(100, 50, qRgb(255, 0, 0))});
    const QByteArray camera = withThumbnail(jpeg, JpegCodec::encode(smoothPicture(16, 16), 80));
    const struct {
        const char* name;
        QByteArray bytes;
    } cases[] = {
        {"empty.png", QByteArray()},
        {"text.png", QByteArray("hello, this is not a picture\n")},
        {"noise.jpg", QByteArray(5000, '\x5a')},
        {"half.png", png.left(png.size() / 2)},
        {"header.png", png.left(33)},
        {"half.jpg", jpeg.left(jpeg.size() / 2)},
        {"header.jpg", jpeg.left(200)},
        {"thumbnail-half.jpg", camera.left(camera.size() - jpeg.size() / 2)},
        {"header.tif", tiff.left(16)},
    };
    for (const auto& c : cases) {
        writeFile(pathIn(dir, c.name), c.bytes);
        EXPECT_TRUE(ImageAction::imageFromURL(pathIn(dir, c.name)).isNull()) << c.name;
        EXPECT_FALSE(ImageAction::lastLoadError().isEmpty()) << c.name;
    }
    writeFile(pathIn(dir, "camera.jpg"), camera);
    EXPECT_EQ(ImageAction::imageFromURL(pathIn(dir, "camera.jpg")).size(), QSizeF(200, 100));
    EXPECT_TRUE(ImageAction::imageFromURL(pathIn(dir, "missing.png")).isNull());
    EXPECT_FALSE(ImageAction::lastLoadError().isEmpty());
    EXPECT_TRUE(ImageAction::imageFromURL(dir).isNull());
}

TEST(ImageLoading, OverLargeHeadersAreRefusedBeforeDecoding)
{
    const QString dir = testsupport::tempDir();
    QByteArray jpeg = JpegCodec::encode(smoothPicture(64, 64), 90);
    const qsizetype sof = jpeg.indexOf(QByteArray("\xff\xc0", 2));
    ASSERT_GT(sof, 0);
    jpeg[sof + 5] = jpeg[sof + 7] = char(0xea); // 60000 x 60000
    jpeg[sof + 6] = jpeg[sof + 8] = char(0x60);
    const struct {
        const char* name;
        QByteArray bytes;
    } cases[] = {
        {"bomb.png", greyPng(50000, 50000, 0, 10)},
        {"wide.png", greyPng(0x7fffffff, 1, 0, 0)},
        {"bomb.jpg", jpeg},
        {"bomb.tif", multiPageTiff({filled(2, 2, qRgb(1, 2, 3))}, QSize(50000, 50000))},
    };
    for (const auto& c : cases) {
        writeFile(pathIn(dir, c.name), c.bytes);
        EXPECT_TRUE(ImageAction::imageFromURL(pathIn(dir, c.name)).isNull()) << c.name;
        EXPECT_FALSE(ImageAction::lastLoadError().isEmpty()) << c.name;
    }
    EXPECT_TRUE(ImageAction::lastLoadError().contains("50000"));
}

TEST(ImageLoading, HundredMegapixelPicturesOpen)
{
    const QString dir = testsupport::tempDir();
    writeFile(pathIn(dir, "big.png"), greyPng(10000, 10000, 77, 10000));

    const Picture picture = ImageAction::imageFromURL(pathIn(dir, "big.png"));

    ASSERT_TRUE(picture.isValid()) << ImageAction::lastLoadError().toStdString();
    EXPECT_EQ(picture.size(), QSizeF(10000, 10000));
    EXPECT_EQ(picture.bestRepresentation().pixel(9999, 9999), qRgb(77, 77, 77));
}

TEST(ImageLoading, LargePicturesOpenThroughQtsReadersToo)
{
    // 8000 x 6000 pixels are 192 MB, above Qt's default allocation limit.
    const QString dir = testsupport::tempDir();
    writeFile(pathIn(dir, "big.tif"), greyTiff(8000, 6000, 90));

    const Picture picture = ImageAction::imageFromURL(pathIn(dir, "big.tif"));

    ASSERT_TRUE(picture.isValid()) << ImageAction::lastLoadError().toStdString();
    EXPECT_EQ(picture.size(), QSizeF(8000, 6000));
    EXPECT_EQ(picture.bestRepresentation().pixel(7999, 5999), qRgb(90, 90, 90));
}

TEST(ImageLoadingRetry, MissingFileIsRetriedForHalfToOneAndAHalfSeconds)
{
    const QString path = pathIn(testsupport::tempDir(), "never.png");
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(ImageAction::imageFromURL(path, false).isNull());
    EXPECT_LT(timer.elapsed(), 100);

    timer.restart();
    EXPECT_TRUE(ImageAction::imageFromURL(path, true).isNull());
    const qint64 elapsed = timer.elapsed();
    EXPECT_GE(elapsed, 500);
    EXPECT_LE(elapsed, 1500);
}

TEST(ImageLoadingRetry, FileFinishedDuringTheRetriesIsPickedUp)
{
    const QString dir = testsupport::tempDir();
    const QString path = pathIn(dir, "late.png");
    const QByteArray png = PngCodec::encode(coordinateImage(30, 20));
    // A writer that leaves a partial file first, as a dragging program does.
    writeFile(path, png.left(png.size() / 3));
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        writeFile(path, png);
    });

    const Picture picture = ImageAction::imageFromURL(path, true);
    writer.join();

    ASSERT_TRUE(picture.isValid());
    EXPECT_EQ(picture.size(), QSizeF(30, 20));
}
