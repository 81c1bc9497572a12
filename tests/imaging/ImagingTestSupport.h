#pragma once

#include "TestSupport.h"
#include "imaging/ImageAction.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QString>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <vector>

namespace imagingtest {

// An opaque picture whose pixel at column x and y-up coordinate `up` names
// its own place: red = x, green = up, blue = 7. Checks can then tell exactly
// which source pixel landed where.
inline QImage coordinateImage(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    for (int row = 0; row < height; ++row) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(row));
        const int up = height - 1 - row;
        for (int x = 0; x < width; ++x)
            line[x] = qRgb(x & 255, up & 255, 7);
    }
    return image;
}

// The pixel at column x, y-up coordinate `up` of `image`.
inline QRgb atUp(const QImage& image, int x, int up)
{
    return reinterpret_cast<const QRgb*>(image.constScanLine(image.height() - 1 - up))[x];
}

// A smooth picture that JPEG keeps close to the original.
inline QImage smoothPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgb(x * 255 / width, y * 255 / height, 128);
    }
    return image;
}

inline QImage filled(int width, int height, QRgb colour)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(colour);
    return image;
}

using testsupport::encoded;
using testsupport::writeFile;

inline QString pathIn(const QString& dir, const QString& name)
{
    return dir + '/' + name;
}

// A file the readers must refuse, and words its reason must hold.
struct Refusal {
    const char* name;
    QByteArray bytes;
    const char* reason;
};

// Writes each file into a fresh folder and checks that it is refused, saying why.
inline void expectRefused(const std::vector<Refusal>& files)
{
    const QString dir = testsupport::tempDir();
    for (const Refusal& f : files) {
        writeFile(pathIn(dir, f.name), f.bytes);
        EXPECT_TRUE(ImageAction::imageFromURL(pathIn(dir, f.name)).isNull()) << f.name;
        EXPECT_TRUE(ImageAction::lastLoadError().contains(f.reason))
            << f.name << ": " << qPrintable(ImageAction::lastLoadError());
    }
}

// A little-endian TIFF of 8-bit RGB pages, each one strip of pixel data
// (compression 1: none, 32773: PackBits), so that tests can make files of
// any shape without a TIFF writer.
struct TiffPage {
    quint32 width, height, rows;
    QByteArray strip;
    quint32 compression = 1;
};

inline QByteArray tiffOf(const std::vector<TiffPage>& pages)
{
    QByteArray out("II*\0", 4);
    auto put16 = [&](quint32 v) { out.append(char(v & 0xff)).append(char((v >> 8) & 0xff)); };
    auto put32 = [&](quint32 v) {
        put16(v & 0xffff);
        put16(v >> 16);
    };
    qsizetype nextIfdLink = out.size();
    put32(0);
    for (const TiffPage& page : pages) {
        const quint32 pixels = quint32(out.size());
        out.append(page.strip);
        if (out.size() % 2)
            out.append('\0');
        const quint32 bits = quint32(out.size());
        put16(8);
        put16(8);
        put16(8);
        qToLittleEndian(quint32(out.size()), out.data() + nextIfdLink);
        const quint32 entries[][4] = {{256, 4, 1, page.width},
                                      {257, 4, 1, page.height},
                                      {258, 3, 3, bits},
                                      {259, 3, 1, page.compression},
                                      {262, 3, 1, 2},
                                      {273, 4, 1, pixels},
                                      {277, 3, 1, 3},
                                      {278, 4, 1, page.rows},
                                      {279, 4, 1, quint32(page.strip.size())}};
        put16(quint32(std::size(entries)));
        for (const auto& e : entries) {
            put16(e[0]);
            put16(e[1]);
            put32(e[2]);
            if (e[1] == 3 && e[2] == 1) {
                put16(e[3]);
                put16(0);
            } else {
                put32(e[3]);
            }
        }
        nextIfdLink = out.size();
        put32(0);
    }
    return out;
}

// Uncompressed pages, one per image; `claimed`, when given, replaces every
// page's width and height in its header.
inline QByteArray multiPageTiff(const std::vector<QImage>& pages, QSize claimed = {})
{
    std::vector<TiffPage> out;
    for (const QImage& page : pages) {
        const QImage rgb = page.convertToFormat(QImage::Format_RGB888);
        QByteArray strip;
        for (int y = 0; y < rgb.height(); ++y)
            strip.append(reinterpret_cast<const char*>(rgb.constScanLine(y)), rgb.width() * 3);
        out.push_back({quint32(claimed.isValid() ? claimed.width() : rgb.width()),
                       quint32(claimed.isValid() ? claimed.height() : rgb.height()),
                       quint32(rgb.height()), strip});
    }
    return tiffOf(out);
}

// One PackBits page of one grey value, so that even a 50-megapixel page is a
// small file; Qt reads TIFF through its own plugin.
inline QByteArray greyTiff(quint32 width, quint32 height, uchar value)
{
    QByteArray row;
    for (quint32 left = width * 3; left > 0;) {
        const quint32 run = std::min<quint32>(left, 128);
        row.append(char(1 - int(run))).append(char(value));
        left -= run;
    }
    return tiffOf({{width, height, height, row.repeated(qsizetype(height)), 32773}});
}

// One PNG chunk with its length and CRC.
inline QByteArray pngChunk(const char* type, const QByteArray& data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian(quint32(data.size()), chunk.data());
    chunk.append(type, 4).append(data);
    const quint32 crc = crc32(crc32(0, reinterpret_cast<const Bytef*>(type), 4),
                              reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size()));
    QByteArray tail(4, '\0');
    qToBigEndian(crc, tail.data());
    return chunk.append(tail);
}

// An 8-bit grey PNG of the given size whose pixels are all `value`, written
// row by row so that even a 100-megapixel file costs little memory; with
// `rowsWritten` below the height, the header claims more rows than the data
// holds (a decompression bomb's shape).
inline QByteArray greyPng(quint32 width, quint32 height, uchar value, quint32 rowsWritten)
{
    QByteArray header(13, '\0');
    qToBigEndian(width, header.data());
    qToBigEndian(height, header.data() + 4);
    header[8] = 8;
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png.append(pngChunk("IHDR", header));
    z_stream stream{};
    deflateInit(&stream, 1);
    std::vector<uchar> row(rowsWritten ? width + 1 : 1, value);
    row[0] = 0;
    QByteArray compressed;
    std::vector<uchar> out(1 << 20);
    for (quint32 y = 0; y < rowsWritten; ++y) {
        stream.next_in = row.data();
        stream.avail_in = uInt(row.size());
        const bool last = y + 1 == rowsWritten;
        do {
            stream.next_out = out.data();
            stream.avail_out = uInt(out.size());
            deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            compressed.append(reinterpret_cast<const char*>(out.data()),
                              qsizetype(out.size() - stream.avail_out));
        } while (stream.avail_out == 0 || (last && stream.avail_in > 0));
    }
    deflateEnd(&stream);
    png.append(pngChunk("IDAT", compressed));
    png.append(pngChunk("IEND", QByteArray()));
    return png;
}

// `png` with its last chunk (the end chunk our encoders write) removed.
inline QByteArray withoutEndChunk(const QByteArray& png)
{
    return png.left(png.size() - 12);
}

// `png` with one bit flipped in the CRC of its first chunk of `type`.
inline QByteArray withBrokenCrc(QByteArray png, const char* type)
{
    const qsizetype at = png.indexOf(QByteArray(type, 4));
    const quint32 length = qFromBigEndian<quint32>(png.constData() + at - 4);
    png[at + 4 + qsizetype(length)] = char(png[at + 4 + qsizetype(length)] ^ 1);
    return png;
}

// A GIF89a with a logical screen of `screen`, two colours and one frame per
// rectangle, each of colour 1, coded without compression (a clear code every
// two pixels keeps the codes at three bits), so its size follows its pixels.
inline QByteArray plainGif(QSize screen, const std::vector<QRect>& frames)
{
    QByteArray out("GIF89a");
    auto put16 = [&](int v) { out.append(char(v & 0xff)).append(char((v >> 8) & 0xff)); };
    put16(screen.width());
    put16(screen.height());
    out.append(char(0x80)).append('\0').append('\0');
    out.append("\0\0\0\xff\xff\xff", 6);
    for (const QRect& r : frames) {
        out.append(',');
        put16(r.x());
        put16(r.y());
        put16(r.width());
        put16(r.height());
        out.append('\0').append(char(2));
        QByteArray codes;
        quint32 bits = 0;
        int count = 0;
        auto code = [&](quint32 c) {
            bits |= c << count;
            for (count += 3; count >= 8; count -= 8, bits >>= 8)
                codes.append(char(bits & 0xff));
        };
        for (qint64 i = 0; i < qint64(r.width()) * r.height(); ++i) {
            if (i % 2 == 0)
                code(4);
            code(1);
        }
        code(5);
        if (count)
            codes.append(char(bits & 0xff));
        for (qsizetype at = 0; at < codes.size(); at += 255) {
            const QByteArray block = codes.mid(at, 255);
            out.append(char(block.size())).append(block);
        }
        out.append('\0');
    }
    return out.append(';');
}

} // namespace imagingtest
