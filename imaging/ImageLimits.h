#pragma once

#include <QImageReader>
#include <QString>
#include <QtGlobal>

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

inline bool fits(qint64 width, qint64 height)
{
    return width > 0 && height > 0 && width <= kMaxPixels && height <= kMaxPixels &&
           width * height <= kMaxPixels;
}

// The user-facing reason for refusing a picture of this size.
inline QString tooLarge(qint64 width, qint64 height)
{
    return QStringLiteral("The picture is %1 x %2 pixels; pictures of up to %3 megapixels can be "
                          "opened.")
        .arg(width)
        .arg(height)
        .arg(kMaxPixels / 1000000);
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
