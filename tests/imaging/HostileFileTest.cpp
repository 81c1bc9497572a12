#include "ImagingTestSupport.h"
#include "TestSupport.h"

#include "imaging/ImageAction.h"
#include "imaging/ImageLimits.h"
#include "imaging/JpegCodec.h"
#include "imaging/PngCodec.h"

#include <gtest/gtest.h>

#include <QImageWriter>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>

using namespace imagingtest;

namespace {

// `jpeg` claiming `width` x `height` in its frame header.
QByteArray claiming(QByteArray jpeg, int width, int height)
{
    const qsizetype sof = jpeg.indexOf(QByteArray("\xff\xc0", 2));
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xff);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xff);
    return jpeg;
}

// `jpeg` whose scan is cut after `scanBytes` bytes by a comment segment of
// `padding` bytes: the file is large, but its picture data is not.
QByteArray cutByComment(const QByteArray& jpeg, int scanBytes, int padding)
{
    const qsizetype scan = jpeg.indexOf(QByteArray("\xff\xda", 2));
    const qsizetype cut =
        scan + 2 + ((uchar(jpeg[scan + 2]) << 8) | uchar(jpeg[scan + 3])) + scanBytes;
    QByteArray out = jpeg.left(cut);
    for (int left = padding; left > 0; left -= 65533) {
        const int length = std::min(left, 65533) + 2;
        out.append("\xff\xfe", 2).append(char(length >> 8)).append(char(length & 0xff));
        out.append(QByteArray(length - 2, 'c'));
    }
    return out.append("\xff\xd9", 2);
}

} // namespace

TEST(HostileFiles, EveryRefusalSaysWhy)
{
    const QString dir = testsupport::tempDir();
    const QByteArray png = PngCodec::encode(smoothPicture(200, 100));
    const QByteArray jpeg = JpegCodec::encode(smoothPicture(200, 100), 90);
    const QByteArray tiff = multiPageTiff({filled(100, 50, qRgb(255, 0, 0))});
    expectRefused({
        {"empty.png", QByteArray(), "empty"},
        {"text.png", QByteArray("hello, this is not a picture\n"), "not a picture in a format"},
        {"noise.jpg", QByteArray(5000, '\x5a'), "not a picture in a format"},
        // Qt reads these kinds, the editor does not offer them.
        {"pixmap.png", QByteArray("P6\n2 2\n255\n") + QByteArray(12, '\x7f'),
         "not a picture in a format"},
        {"icon.png", encoded(filled(16, 16, qRgb(1, 2, 3)), "ico"), "not a picture in a format"},
        {"header.png", png.left(33), "ends before its image data"},
        {"header.jpg", jpeg.left(200), "JPEG file is damaged"},
        {"header.tif", tiff.left(16), "TIFF file"},
    });

    // Not files of pictures at all: a name that is not there, a folder, a
    // named pipe (whose opening waits for a writer unless told not to), and a
    // sparse file beyond the file size limit, refused without reading it.
    const QString pipe = pathIn(dir, "pipe.png");
    ASSERT_EQ(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const QString huge = pathIn(dir, "huge.png");
    writeFile(huge, png);
    ASSERT_TRUE(QFile::resize(huge, ImageLimits::kMaxFileBytes + 1));
    const struct {
        QString path;
        const char* reason;
    } places[] = {
        {pathIn(dir, "missing.png"), "does not exist"},
        {dir, "folder"},
        {pipe, "not an ordinary file"},
        {huge, "MB"},
    };
    for (const auto& p : places) {
        auto load = std::async(std::launch::async, [&] {
            const bool refused = ImageAction::imageFromURL(p.path).isNull();
            return std::make_pair(refused, ImageAction::lastLoadError());
        });
        if (load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << qPrintable(p.path) << " hangs";
            // Lets a reader that waits for a writer go.
            ::close(::open(QFile::encodeName(p.path).constData(), O_WRONLY | O_NONBLOCK));
        }
        const auto [refused, reason] = load.get();
        EXPECT_TRUE(refused) << qPrintable(p.path);
        EXPECT_TRUE(reason.contains(p.reason)) << qPrintable(p.path) << ": " << qPrintable(reason);
    }
}

TEST(HostileFiles, OutOfProportionPicturesAreRefusedWithTheirReason)
{
    const QByteArray smallJpeg = JpegCodec::encode(smoothPicture(16, 16), 90);
    const QByteArray largeJpeg = JpegCodec::encode(smoothPicture(64, 64), 90);
    expectRefused({
        // Inside the pixel limit, but wider than a picture can be held.
        {"wide.png", greyPng(quint32(1) << 26, 1, 0, 1), "wide or high"},
        {"huge.png", greyPng(50000, 50000, 0, 10), "megapixels"},
        {"huge.jpg", claiming(largeJpeg, 60000, 60000), "megapixels"},
        {"huge.tif", multiPageTiff({filled(2, 2, qRgb(1, 2, 3))}, QSize(50000, 50000)),
         "megapixels"},
        // Small files that claim large pictures: decompression bombs.
        {"sparse.png", greyPng(10000, 10000, 0, 1), "holds only"},
        {"claims.jpg", claiming(smallJpeg, 11585, 11585), "holds only"},
        {"screens.gif", plainGif(QSize(11000, 11000), {QRect(0, 0, 1, 1), QRect(0, 0, 1, 1)}),
         "holds only"},
        // Enough bytes for the size claimed, but the picture data stops
        // within the first rows and the rest is a comment.
        {"padded.jpg", cutByComment(claiming(smallJpeg, 11585, 11585), 4, 300000),
         "data ends after"},
    });
}

TEST(HostileFiles, GifFramesStopAtTheTotalPixelLimitBySizeRead)
{
    // Qt announces the later frames at their 1 x 1 rectangle but gives them
    // the whole 9500 x 9500 screen: three would pass the total pixel limit.
    // The first frame carries enough data not to be a bomb.
    const QString path = pathIn(testsupport::tempDir(), "frames.gif");
    writeFile(path, plainGif(QSize(9500, 9500),
                             {QRect(0, 0, 350, 350), QRect(0, 0, 1, 1), QRect(0, 0, 1, 1)}));

    const Picture picture = ImageAction::imageFromURL(path);

    ASSERT_TRUE(picture.isValid()) << qPrintable(ImageAction::lastLoadError());
    EXPECT_EQ(picture.representations().size(), 2);
}

TEST(HostileFiles, OfferedFormatsOpenByTheirContentWhateverTheirName)
{
    const QImage image = coordinateImage(40, 30);
    std::vector<std::pair<const char*, QByteArray>> files = {
        {"png", PngCodec::encode(image)},
        {"jpeg", JpegCodec::encode(image, 90)},
        {"gif", plainGif(QSize(40, 30), {QRect(0, 0, 40, 30)})},
        {"tiff", multiPageTiff({image})},
        {"bmp", encoded(image, "bmp")},
    };
    if (QImageWriter::supportedImageFormats().contains("webp"))
        files.emplace_back("webp", encoded(image, "webp"));
    const QString dir = testsupport::tempDir();
    for (const auto& [format, bytes] : files) {
        ASSERT_FALSE(bytes.isEmpty()) << format;
        const QString path = pathIn(dir, QStringLiteral("picture-%1.dat").arg(format));
        writeFile(path, bytes);
        EXPECT_EQ(ImageAction::imageFromURL(path).size(), QSizeF(40, 30))
            << format << ": " << qPrintable(ImageAction::lastLoadError());
    }
}
