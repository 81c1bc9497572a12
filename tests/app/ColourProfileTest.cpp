#include "TestSupport.h"
#include "app/ExportWriter.h"
#include "app/Exporter.h"
#include "canvas/CanvasLayer.h"
#include "canvas/ZRImageCutView.h"
#include "imaging/ColourProfile.h"
#include "imaging/ImageAction.h"
#include "imaging/PngCodec.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QColorSpace>
#include <QCoreApplication>
#include <QtEndian>
#include <QImageReader>
#include <QImageWriter>

#include <zlib.h>

using testsupport::tempDir;
using testsupport::waitFor;

namespace {

// A saturated picture, in blocks of 8 x 8 pixels: colour spaces differ most there.
QImage saturated(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgb(255 * (x / 8 + 1) * 8 / size.width(), 30,
                                      255 - 255 * (y / 8) * 8 / size.height()));
    return image;
}

// How often `colour` appears in the canvas as painted.
int shownCount(ZRImageCutView& canvas, QRgb colour)
{
    const QImage frame = canvas.grab().toImage().convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            count += (frame.pixel(x, y) | 0xff000000u) == (colour | 0xff000000u);
    return count;
}

QByteArray fileOf(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(95);
    return writer.write(image) ? bytes : QByteArray();
}

QColorSpace spaceOfFile(const QString& path)
{
    QImageReader reader(path);
    return reader.read().colorSpace();
}

// A grey-plus-alpha PNG that claims an RGB profile anyway.
QByteArray greyAlphaTagged()
{
    const uchar alpha[4] = {0, 80, 160, 255};
    QByteArray png = PngCodec::encodeAlpha(alpha, 2, 2, 2);
    const QByteArray profile = QColorSpace(QColorSpace::AdobeRgb).iccProfile();
    QByteArray packed(int(compressBound(uLong(profile.size()))), '\0');
    uLongf packedSize = uLongf(packed.size());
    compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
             reinterpret_cast<const Bytef*>(profile.constData()), uLong(profile.size()));
    QByteArray data = QByteArray("x") + '\0' + '\0' + packed.left(int(packedSize));
    QByteArray chunk(4, '\0');
    qToBigEndian(quint32(data.size()), chunk.data());
    chunk.append("iCCP").append(data);
    QByteArray crc(4, '\0');
    qToBigEndian(quint32(crc32(0, reinterpret_cast<const Bytef*>(chunk.constData() + 4), uInt(data.size() + 4))),
                 crc.data());
    png.insert(33, chunk + crc); // after the signature and IHDR
    return png;
}

} // namespace

// A photograph tagged Adobe RGB or Display P3 (PNG or JPEG) keeps its profile
// through every format the save writes, and the canvas shows it converted to
// sRGB; an untagged picture and a grey one stay untagged.
TEST(ColourProfile, APicturesProfileIsKeptInEverySaveAndItIsShownInSrgb)
{
    const QString dir = tempDir();
    struct Case {
        const char* name;
        QByteArray file;
        QColorSpace expected; // invalid: untagged
    };
    QImage adobe = saturated({64, 48});
    adobe.setColorSpace(QColorSpace::AdobeRgb);
    QImage p3 = saturated({64, 48});
    p3.setColorSpace(QColorSpace::DisplayP3);
    const Case cases[] = {
        {"adobe.png", fileOf(adobe, "png"), QColorSpace::AdobeRgb},
        {"p3.jpg", fileOf(p3, "jpeg"), QColorSpace::DisplayP3},
        {"plain.png", fileOf(saturated({64, 48}), "png"), {}},
        {"grey.png", greyAlphaTagged(), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.file.isEmpty());
        EXPECT_EQ(ColourProfile::ofFile(c.file), c.expected);
        const QString path = testsupport::writeFile(dir + "/" + c.name, c.file);
        const Picture picture = ImageAction::imageFromURL(path);
        ASSERT_TRUE(picture.isValid());
        ZRImageCutView canvas;
        canvas.resize(400, 300);
        canvas.setImage(picture);
        canvas.waitUntilIdle();

        // A saturated red block as the screen shows it: converted to sRGB
        // when the picture is tagged otherwise, else as it is.
        const QImage own = picture.bestRepresentation();
        const QRgb ownRed = own.pixel(60, 4);
        const QRgb srgbRed = own.convertedToColorSpace(QColorSpace::SRgb).pixel(60, 4);
        if (c.expected.isValid() && c.expected != QColorSpace(QColorSpace::SRgb)) {
            ASSERT_NE(srgbRed, ownRed);
            EXPECT_GT(shownCount(canvas, srgbRed), 0);
            EXPECT_EQ(shownCount(canvas, ownRed), 0);
        } else if (c.expected.isValid() || QString(c.name) != "grey.png") {
            EXPECT_GT(shownCount(canvas, ownRed), 0);
        }

        Exporter exporter;
        for (ExportWriter::Format format : ExportWriter::writableFormats()) {
            for (bool trim : {false, true}) {
                const QString out = dir + "/out-" + c.name + QString::number(trim) + "." +
                                    ExportWriter::extension(format);
                QString error = "not finished";
                auto connection = QObject::connect(&exporter, &Exporter::finished,
                                                   [&](const QString&, const QString& e, const QString&) { error = e; });
                exporter.write(canvas.resultComposer(), out, {format, trim, false});
                waitFor([&] { return error != "not finished"; });
                QObject::disconnect(connection);
                ASSERT_EQ(error, "") << out.toStdString();
                EXPECT_EQ(spaceOfFile(out), c.expected) << out.toStdString();
            }
        }
    }
}

// A large picture in another colour space is shown converted at every size:
// its reduced levels converted band by band as it opens, its full size when
// first painted at that size (until then its own pixels show there).
TEST(ColourProfile, ALargeTaggedPictureIsShownInSrgbReducedAndAtFullSize)
{
    QImage adobe(3600, 2600, QImage::Format_RGB32); // above the size converted whole at once
    for (int y = 0; y < adobe.height(); ++y)
        for (int x = 0; x < adobe.width(); ++x)
            adobe.setPixel(x, y, x < adobe.width() / 2 ? qRgb(250, 30, 20) : qRgb(20, 40, 240));
    adobe.setColorSpace(QColorSpace::AdobeRgb);
    const QRgb ownRed = adobe.pixel(0, 0);
    const QRgb srgbRed = adobe.copy(0, 0, 1, 1).convertedToColorSpace(QColorSpace::SRgb).pixel(0, 0);
    ASSERT_NE(srgbRed, ownRed);

    ZRImageCutView canvas;
    canvas.resize(400, 300);
    canvas.setImage(Picture::fromImage(adobe));
    canvas.waitUntilIdle();
    EXPECT_GT(shownCount(canvas, srgbRed), 0) << "fitted, from the converted halvings";
    EXPECT_EQ(shownCount(canvas, ownRed), 0);

    // At one screen pixel per picture pixel, over the red half.
    canvas.setImageFit(false);
    canvas.imageLayer()->setTransform({1, 1000, 0});
    canvas.bluredLayer()->setTransform({1, 1000, 0});
    shownCount(canvas, srgbRed); // the first paint at full size asks for its conversion
    canvas.waitUntilIdle();
    QCoreApplication::processEvents();
    EXPECT_GT(shownCount(canvas, srgbRed), 0) << "at full size";
    EXPECT_EQ(shownCount(canvas, ownRed), 0);
}
