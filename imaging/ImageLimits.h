#pragma once

#include <QImageReader>
#include <QString>
#include <QtGlobal>

#include <climits>
#include <mutex>

// The largest pictures Veltrane decodes. A 100-megapixel photograph must
// open; a file whose header claims more than this (a decompression bomb, or a
// picture no one could edit here) is refused before any pixel memory is taken.
namespace ImageLimits {

// 128 Mi pixels: 512 MB at four bytes a pixel.
constexpr qint64 kMaxPixels = qint64(128) * 1024 * 1024;
// All frames of one file together, so that a small file cannot ask for
// thousands of large frames.
constexpr qint64 kMaxTotalPixels = 2 * kMaxPixels;
// Frames past this count are not read.
constexpr int kMaxFrames = 1024;

// QImage computes a row's bits in an int, so a row may hold at most this many
// 32-bit pixels; a wider picture (a 67,108,864 x 1 grey PNG is inside the pixel
// limit) could be decoded but never shown.
constexpr qint64 kMaxSide = (qint64(INT_MAX) - 31) / 32;

// A file larger than this is refused before it is read. The largest picture we
// open, stored uncompressed at 16 bits a channel with alpha, takes 8 bytes a
// pixel; a little room is left for metadata. PNG and JPEG files are read whole
// into memory, so this also bounds what a read can take.
constexpr qint64 kMaxFileBytes = kMaxPixels * 8 + qint64(64) * 1024 * 1024;

inline bool fits(qint64 width, qint64 height)
{
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
           width * height <= kMaxPixels;
}

// The user-facing reason for refusing a picture of this size.
inline QString tooLarge(qint64 width, qint64 height)
{
    if (width <= 0 || height <= 0)
        return QStringLiteral("The file claims a picture of %1 x %2 pixels, which has none.")
            .arg(width)
            .arg(height);
    // Sides of up to 2^32 each: the product could overflow.
    if (width <= kMaxPixels / height)
        return QStringLiteral("The picture is %1 x %2 pixels; pictures can be at most %3 pixels "
                              "wide or high.")
            .arg(width)
            .arg(height)
            .arg(kMaxSide);
    return QStringLiteral("The picture is %1 x %2 pixels; pictures of up to %3 megapixels can be "
                          "opened.")
        .arg(width)
        .arg(height)
        .arg(kMaxPixels / 1000000);
}

// Decompression bombs: a file whose announced size is out of all proportion to
// its data is refused before the picture's memory is taken. Each figure is the
// most pixels one byte of the format's data can stand for, from how its coding
// works, so that no whole file is refused; a refused file either lacks most of
// its data or was built to exhaust memory.
//
// PNG: deflate turns one byte into at most 1032 (a 258-byte match in two 1-bit
// codes), and the PNG decoder compares its inflated size with that directly.
constexpr qint64 kPngMaxInflation = 1032;
// JPEG with Huffman coding: every 8 x 8 block of the first component costs at
// least one bit (a DC code in a progressive file's first scan; two codes in a
// sequential one), so one byte holds at most 8 x 64 = 512 pixels. Arithmetic
// coding has no such floor; such files are judged by the rows they decode.
constexpr qint64 kJpegPixelsPerByte = 512;
// GIF: an LZW code is 12 bits once the table is full and stands for at most
// 4096 pixels, about 2730 pixels a byte; rounded up.
constexpr qint64 kGifPixelsPerByte = 4096;
// BMP: run-length coding can skip up to 255 x 255 pixels with a 4-byte escape.
constexpr qint64 kBmpPixelsPerByte = 16384;
// TIFF: fax coding of a blank bilevel page takes about one bit a row; a
// 600 dpi blank page has some 32000 pixels a byte, so twice that.
constexpr qint64 kTiffPixelsPerByte = 65536;
// WebP: lossy coding skips blank 16 x 16 blocks with a fraction of a bit
// each; only a file that could not hold a single bit a block is refused.
constexpr qint64 kWebpPixelsPerByte = 262144;

inline bool outOfProportion(qint64 pixels, qint64 bytes, qint64 pixelsPerByte)
{
    return pixels / pixelsPerByte > bytes;
}

// The user-facing reason for refusing a decompression bomb.
inline QString bomb(qint64 width, qint64 height, qint64 bytes)
{
    return QStringLiteral("The file claims a picture of %1 x %2 pixels but holds only %3 bytes of "
                          "data; it is damaged or made to exhaust memory.")
        .arg(width)
        .arg(height)
        .arg(bytes);
}

// The user-facing reason for refusing a file of this many bytes.
inline QString fileTooLarge(qint64 bytes)
{
    return QStringLiteral("The file is %1 MB; picture files of up to %2 MB can be opened.")
        .arg(bytes / 1000000)
        .arg(kMaxFileBytes / 1000000);
}

// Qt refuses images above 128 MB by default, which a 50-megapixel photograph
// exceeds. Our own pixel limit is checked before Qt allocates where the size
// is known; Qt's byte limit stays as a second guard, loose enough for our
// limit at eight bytes a pixel (16-bit files decode to 64-bit pixels).
// Called before any use of QImageReader.
inline void raiseQtAllocationLimit()
{
    static std::once_flag once;
    std::call_once(once,
                   [] { QImageReader::setAllocationLimit(int(kMaxPixels * 8 / (1024 * 1024))); });
}

} // namespace ImageLimits
