#include "app/ExportWriter.h"

#include <gtest/gtest.h>

#include <QImageReader>

#include <cstdlib>

TEST(ExportWriter, TrimKeepsTheExactRectangleOfVisiblePixelsAndAnAllCutPictureIsOnePixel)
{
    QImage image(200, 120, QImage::Format_ARGB32);
    image.fill(0);
    image.setPixel(31, 17, qRgba(9, 8, 7, 1)); // one faint pixel counts
    image.setPixel(140, 90, qRgba(200, 100, 50, 255));
    bool allCut = true;
    const QImage island = ExportWriter::trimmed(image, &allCut);
    EXPECT_FALSE(allCut);
    EXPECT_EQ(island.size(), QSize(140 - 31 + 1, 90 - 17 + 1));
    EXPECT_EQ(island.pixel(0, 0), qRgba(9, 8, 7, 1));
    EXPECT_EQ(island.pixel(island.width() - 1, island.height() - 1), qRgba(200, 100, 50, 255));

    image.fill(0);
    const QImage none = ExportWriter::trimmed(image, &allCut);
    EXPECT_TRUE(allCut);
    EXPECT_EQ(none.size(), QSize(1, 1));
    EXPECT_EQ(qAlpha(none.pixel(0, 0)), 0);
}

TEST(ExportWriter, EveryOfferedFormatKeepsColourAndAlphaExactly)
{
    QImage image(64, 48, QImage::Format_ARGB32);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            image.setPixel(x, y, qRgba(x * 4, y * 5, 255 - x, (x * 7 + y) % 256));
    for (ExportWriter::Format format : ExportWriter::writableFormats()) {
        QString error;
        const QByteArray bytes = ExportWriter::encode(image, format, {}, &error);
        ASSERT_FALSE(bytes.isEmpty()) << error.toStdString();
        const QImage back = QImage::fromData(bytes).convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x) {
                const QRgb want = image.pixel(x, y), got = back.pixel(x, y);
                ASSERT_EQ(qAlpha(got), qAlpha(want)) << ExportWriter::extension(format).toStdString();
                // Qt's TIFF path goes through premultiplied pixels: colour is
                // exact where opaque and within that rounding elsewhere.
                const int slack = format == ExportWriter::Format::Tiff && qAlpha(want) < 255
                                      ? 255 / (2 * std::max(1, qAlpha(want))) + 1
                                      : 0;
                if (qAlpha(want) == 0)
                    continue; // colour under alpha 0 is the format's to drop
                for (int shift : {16, 8, 0})
                    ASSERT_LE(std::abs(int((got >> shift) & 0xff) - int((want >> shift) & 0xff)), slack)
                        << ExportWriter::extension(format).toStdString() << " " << x << "," << y;
            }
        EXPECT_EQ(ExportWriter::formatForPath("a." + ExportWriter::extension(format).toUpper()), format);
    }
    // This machine's plugins write both (the Makefile installs them).
    EXPECT_EQ(ExportWriter::writableFormats().size(), 3);
}
