#include "imaging/JpegCodec.h"

#include "imaging/ImageLimits.h"

#include <QBuffer>
#include <QImageReader>
#include <QTransform>

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace JpegCodec {
namespace {

struct HandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using Handle = std::unique_ptr<void, HandleDeleter>;

QString reason(tjhandle handle)
{
    return QString::fromUtf8(tjGetErrorStr2(handle));
}

quint16 read16(const uchar* p, bool bigEndian)
{
    return bigEndian ? quint16((p[0] << 8) | p[1]) : quint16((p[1] << 8) | p[0]);
}

quint32 read32(const uchar* p, bool bigEndian)
{
    return bigEndian ? (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3]
                     : (quint32(p[3]) << 24) | (quint32(p[2]) << 16) | (quint32(p[1]) << 8) | p[0];
}

// The orientation tag of a TIFF structure (the body of an Exif segment).
int orientationInTiff(const uchar* tiff, size_t size)
{
    if (size < 8)
        return 1;
    bool bigEndian;
    if (std::memcmp(tiff, "MM\0*", 4) == 0)
        bigEndian = true;
    else if (std::memcmp(tiff, "II*\0", 4) == 0)
        bigEndian = false;
    else
        return 1;
    const quint32 ifd = read32(tiff + 4, bigEndian);
    if (ifd > size - 2)
        return 1;
    const quint16 entries = read16(tiff + ifd, bigEndian);
    for (quint32 i = 0; i < entries; ++i) {
        const size_t at = size_t(ifd) + 2 + size_t(i) * 12;
        if (at + 12 > size)
            break;
        const uchar* entry = tiff + at;
        if (read16(entry, bigEndian) == 0x0112 && read16(entry + 2, bigEndian) == 3) {
            const int value = read16(entry + 8, bigEndian);
            return value >= 1 && value <= 8 ? value : 1;
        }
    }
    return 1;
}

QImage oriented(const QImage& image, int orientation)
{
    switch (orientation) {
    case 2:
        return image.mirrored(true, false);
    case 3:
        return image.mirrored(true, true);
    case 4:
        return image.mirrored(false, true);
    case 5:
        return image.transformed(QTransform().rotate(90)).mirrored(true, false);
    case 6:
        return image.transformed(QTransform().rotate(90));
    case 7:
        return image.transformed(QTransform().rotate(90)).mirrored(false, true);
    case 8:
        return image.transformed(QTransform().rotate(270));
    default:
        return image;
    }
}

// Walks the marker segments in front of the first scan, handing each one's
// marker and body to `visit` until it returns true. Returns the offset of
// the first scan's marker, or 0 when the file has none.
template <typename Visit> size_t walkSegments(const QByteArray& data, Visit visit)
{
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    const size_t size = size_t(data.size());
    size_t at = 2;
    while (at + 4 <= size && bytes[at] == 0xff) {
        const uchar marker = bytes[at + 1];
        if (marker == 0xff) {
            ++at;
            continue;
        }
        if (marker == 0xd8 || (marker >= 0xd0 && marker <= 0xd7) || marker == 0x01) {
            at += 2;
            continue;
        }
        if (marker == 0xda)
            return at;
        if (marker == 0xd9)
            return 0;
        const size_t length = (size_t(bytes[at + 2]) << 8) | bytes[at + 3];
        if (length < 2 || at + 2 + length > size)
            return 0;
        if (visit(marker, bytes + at + 4, length - 2))
            return 0;
        at += 2 + length;
    }
    return 0;
}

// A finished JPEG file holds an end-of-image marker after its first scan.
// Cameras and editors may append data after it, so everything from the scan
// on is searched; a thumbnail in the metadata, which has its own end marker,
// lies before the scan and does not count.
bool hasEndMarker(const QByteArray& data)
{
    const size_t scan = walkSegments(data, [](uchar, const uchar*, size_t) { return false; });
    if (scan == 0)
        return false;
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    for (qsizetype i = data.size() - 2; i > qsizetype(scan); --i)
        if (bytes[i] == 0xff && bytes[i + 1] == 0xd9)
            return true;
    return false;
}

QImage decodeWithQt(const QByteArray& data, QString* error)
{
    QByteArray copy = data;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    ImageLimits::raiseQtAllocationLimit();
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoTransform(true);
    QImage image;
    if (!reader.read(&image)) {
        *error = reader.errorString();
        return {};
    }
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

bool hasSignature(const QByteArray& data)
{
    return data.size() >= 3 && uchar(data[0]) == 0xff && uchar(data[1]) == 0xd8 &&
           uchar(data[2]) == 0xff;
}

int exifOrientation(const QByteArray& data)
{
    int orientation = 1;
    walkSegments(data, [&](uchar marker, const uchar* body, size_t size) {
        if (marker != 0xe1 || size <= 6 || std::memcmp(body, "Exif\0\0", 6) != 0)
            return false;
        orientation = orientationInTiff(body + 6, size - 6);
        return true;
    });
    return orientation;
}

QImage decode(const QByteArray& data, QString* error)
{
    Handle handle(tjInitDecompress());
    if (!handle) {
        *error = QStringLiteral("The JPEG decoder could not start.");
        return {};
    }
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    const unsigned long size = (unsigned long)data.size();
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle.get(), bytes, size, &width, &height, &subsampling,
                            &colourspace) != 0) {
        *error = reason(handle.get());
        return {};
    }
    if (!ImageLimits::fits(width, height)) {
        *error = ImageLimits::tooLarge(width, height);
        return {};
    }
    if (!hasEndMarker(data)) {
        *error = QStringLiteral("The JPEG file ends early; it may still be being written.");
        return {};
    }
    if (colourspace == TJCS_CMYK || colourspace == TJCS_YCCK)
        return decodeWithQt(data, error);

    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) {
        *error = QStringLiteral("There is not enough memory for a %1 x %2 picture.")
                     .arg(width)
                     .arg(height);
        return {};
    }
    // BGRA with alpha 255 is exactly Format_ARGB32_Premultiplied on a
    // little-endian machine. The scan limit refuses progressive files built
    // to take forever.
    if (tjDecompress2(handle.get(), bytes, size, image.bits(), width, int(image.bytesPerLine()),
                      height, TJPF_BGRA, TJFLAG_LIMITSCANS) != 0 &&
        tjGetErrorCode(handle.get()) != TJERR_WARNING) {
        *error = reason(handle.get());
        return {};
    }
    return oriented(image, exifOrientation(data));
}

QByteArray encode(const QImage& source, int quality)
{
    if (source.isNull())
        return {};
    QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    if (image.hasAlphaChannel()) {
        // Premultiplied colour over white is the colour plus the uncovered part.
        QImage flat(image.size(), QImage::Format_ARGB32_Premultiplied);
        if (flat.isNull())
            return {};
        for (int y = 0; y < image.height(); ++y) {
            const auto* in = reinterpret_cast<const quint32*>(image.constScanLine(y));
            auto* out = reinterpret_cast<quint32*>(flat.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const quint32 p = in[x];
                const quint32 cover = 255 - (p >> 24);
                const quint32 r = std::min(255u, ((p >> 16) & 0xff) + cover),
                              g = std::min(255u, ((p >> 8) & 0xff) + cover),
                              b = std::min(255u, (p & 0xff) + cover);
                out[x] = 0xff000000u | (r << 16) | (g << 8) | b;
            }
        }
        image = std::move(flat);
    }
    Handle handle(tjInitCompress());
    if (!handle)
        return {};
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int q = qBound(1, quality, 100);
    const int result =
        tjCompress2(handle.get(), image.constBits(), image.width(), int(image.bytesPerLine()),
                    image.height(), TJPF_BGRX, &buffer, &size, TJSAMP_420, q, 0);
    QByteArray file;
    if (result == 0)
        file = QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(size));
    tjFree(buffer);
    return file;
}

} // namespace JpegCodec
