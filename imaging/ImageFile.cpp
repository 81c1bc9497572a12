#include "imaging/ImageFile.h"

#include "imaging/DecodeNotes.h"
#include "imaging/ImageLimits.h"
#include "imaging/ColourProfile.h"
#include "imaging/JpegCodec.h"
#include "imaging/PngCodec_p.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ImageFile {
namespace {

enum class Kind { Png, Jpeg, Gif, Tiff, Bmp, Webp, Unknown };

// Enough of a file's start to tell its kind.
constexpr int kHeadBytes = 18;

Frames failure(QString reason)
{
    Frames frames;
    frames.error = std::move(reason);
    return frames;
}

bool webpReadable()
{
    static const bool readable = QImageReader::supportedImageFormats().contains("webp");
    return readable;
}

quint32 littleEndian32(const char* p)
{
    const auto* u = reinterpret_cast<const uchar*>(p);
    return quint32(u[0]) | (quint32(u[1]) << 8) | (quint32(u[2]) << 16) | (quint32(u[3]) << 24);
}

// What the content says, whatever the file is called.
Kind kindOf(const QByteArray& head)
{
    const auto startsWith = [&](const char* magic, int length, int at = 0) {
        return head.size() >= at + length && std::memcmp(head.constData() + at, magic, length) == 0;
    };
    if (PngCodec::hasSignature(head))
        return Kind::Png;
    if (JpegCodec::hasSignature(head))
        return Kind::Jpeg;
    if (startsWith("GIF87a", 6) || startsWith("GIF89a", 6))
        return Kind::Gif;
    if (startsWith("II*\0", 4) || startsWith("MM\0*", 4) || startsWith("II+\0", 4) ||
        startsWith("MM\0+", 4))
        return Kind::Tiff;
    if (startsWith("RIFF", 4) && startsWith("WEBP", 4, 8) && webpReadable())
        return Kind::Webp;
    // "BM" alone starts too many other files; the size of the header that
    // follows must be one that a BMP file has.
    if (startsWith("BM", 2) && head.size() >= 18) {
        const quint32 header = littleEndian32(head.constData() + 14);
        if (header == 12 || header == 40 || header == 52 || header == 56 || header == 64 ||
            header == 108 || header == 124)
            return Kind::Bmp;
    }
    return Kind::Unknown;
}

QString notAPicture()
{
    return QStringLiteral("The file is not a picture in a format Veltrane opens (PNG, JPEG, GIF, "
                          "TIFF, BMP%1).")
        .arg(webpReadable() ? QStringLiteral(" or WebP") : QString());
}

const char* qtFormat(Kind kind)
{
    switch (kind) {
    case Kind::Gif:
        return "gif";
    case Kind::Tiff:
        return "tiff";
    case Kind::Bmp:
        return "bmp";
    default:
        return "webp";
    }
}

qint64 pixelsPerByte(Kind kind)
{
    switch (kind) {
    case Kind::Gif:
        return ImageLimits::kGifPixelsPerByte;
    case Kind::Tiff:
        return ImageLimits::kTiffPixelsPerByte;
    case Kind::Bmp:
        return ImageLimits::kBmpPixelsPerByte;
    default:
        return ImageLimits::kWebpPixelsPerByte;
    }
}

// Straight alpha where the picture has any (premultiplying would lose colour
// under partial transparency), else opaque pixels.
QImage drawable(const QImage& image)
{
    const QImage::Format format = image.format();
    if (format == QImage::Format_ARGB32 || format == QImage::Format_RGB32 ||
        format == QImage::Format_ARGB32_Premultiplied)
        return image;
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
}

Frames readWithQt(QIODevice& device, Kind kind, qint64 fileBytes, const QByteArray& head)
{
    ImageLimits::raiseQtAllocationLimit();
    // The plugin for this kind alone: a file is never handed to any other.
    QImageReader reader(&device, qtFormat(kind));
    reader.setAutoDetectImageFormat(false);
    // TIFF files carry an orientation as JPEG files do.
    reader.setAutoTransform(true);
    const qint64 perByte = pixelsPerByte(kind);
    // Qt gives every GIF frame the size of the file's logical screen, while
    // announcing later frames at their own, smaller rectangle.
    QSize screen;
    if (kind == Kind::Gif && head.size() >= 10)
        screen =
            QSize(uchar(head[6]) | (uchar(head[7]) << 8), uchar(head[8]) | (uchar(head[9]) << 8));
    // Counting first also settles the TIFF handler on the first page; asking
    // for a page's size before that leaves it unable to read the file.
    const int count = std::clamp(reader.imageCount(), 1, ImageLimits::kMaxFrames);
    Frames frames;
    qint64 totalPixels = 0;
    // A later frame is kept only while all frames together stay inside the
    // limits, both absolute and in proportion to the file's size.
    const auto keeps = [&](qint64 pixels) {
        return totalPixels + pixels <= ImageLimits::kMaxTotalPixels &&
               !ImageLimits::outOfProportion(totalPixels + pixels, fileBytes, perByte);
    };
    // False when the frame must not be read or kept; the reason, if the
    // whole file is refused, in `refusal`.
    QString refusal;
    const auto admits = [&](int index, QSize size) {
        if (!ImageLimits::fits(size.width(), size.height())) {
            refusal = ImageLimits::tooLarge(size.width(), size.height());
            return false;
        }
        const qint64 pixels = qint64(size.width()) * size.height();
        if (index == 0 && ImageLimits::outOfProportion(pixels, fileBytes, perByte)) {
            refusal = ImageLimits::bomb(size.width(), size.height(), fileBytes);
            return false;
        }
        return index == 0 || keeps(pixels);
    };
    for (int index = 0; index < count; ++index) {
        // Paged formats (TIFF) must be moved on; animated ones (GIF) move on
        // by reading and refuse the jump, which leaves them where they are.
        if (index > 0 && reader.currentImageNumber() < index)
            reader.jumpToNextImage();
        QSize expected = reader.size();
        if (!screen.isEmpty())
            expected = expected.isEmpty() ? screen : expected.expandedTo(screen);
        if (!expected.isEmpty() && !admits(index, expected))
            break;
        QImage image;
        if (!reader.read(&image)) {
            if (frames.images.isEmpty())
                frames.error =
                    QStringLiteral("The %1 file could not be read: %2.")
                        .arg(QString::fromLatin1(qtFormat(kind)).toUpper(), reader.errorString());
            break;
        }
        if (!admits(index, image.size()))
            break;
        image = drawable(image);
        if (image.isNull())
            break;
        totalPixels += qint64(image.width()) * image.height();
        frames.images.append(image);
    }
    if (!refusal.isEmpty())
        return failure(refusal);
    if (frames.images.isEmpty() && frames.error.isEmpty())
        frames.error = QStringLiteral("The %1 file holds no picture that could be read.")
                           .arg(QString::fromLatin1(qtFormat(kind)).toUpper());
    return frames;
}

Frames decodeWhole(Kind kind, const QByteArray& data)
{
    DecodeNotes notes;
    QImage image =
        kind == Kind::Png ? PngCodec::decode(data, &notes) : JpegCodec::decode(data, &notes);
    if (image.isNull())
        return failure(notes.error);
    // Qt's own readers tag what they read; ours are told here.
    if (const QColorSpace space = ColourProfile::ofFile(data); space.isValid())
        image.setColorSpace(space);
    Frames frames;
    frames.images.append(image);
    frames.warning = notes.warning;
    frames.endsEarly = notes.endsEarly;
    return frames;
}

// The whole content of a device whose size was `expected` bytes, read in
// place; a file that has grown since is read on, up to the file size limit.
bool readAll(QIODevice& device, qint64 expected, QByteArray* data, QString* error)
{
    QByteArray bytes(expected, Qt::Uninitialized);
    qint64 got = 0;
    while (got < expected) {
        const qint64 n = device.read(bytes.data() + got, expected - got);
        if (n < 0) {
            *error = QStringLiteral("The file could not be read: %1.").arg(device.errorString());
            return false;
        }
        if (n == 0)
            break;
        got += n;
    }
    bytes.truncate(got);
    if (got == expected) {
        QByteArray chunk(1024 * 1024, Qt::Uninitialized);
        for (qint64 n; (n = device.read(chunk.data(), chunk.size())) > 0;) {
            if (bytes.size() + n > ImageLimits::kMaxFileBytes) {
                *error = ImageLimits::fileTooLarge(bytes.size() + n);
                return false;
            }
            bytes.append(chunk.constData(), n);
        }
    }
    *data = std::move(bytes);
    return true;
}

Frames readDevice(QIODevice& device, qint64 size, int previewSide = 0, const Preview& preview = {})
{
    if (size <= 0)
        return failure(QStringLiteral("The file is empty."));
    if (size > ImageLimits::kMaxFileBytes)
        return failure(ImageLimits::fileTooLarge(size));
    const QByteArray head = device.peek(kHeadBytes);
    const Kind kind = kindOf(head);
    switch (kind) {
    case Kind::Unknown:
        return failure(notAPicture());
    case Kind::Png:
    case Kind::Jpeg: {
        QByteArray data;
        QString error;
        if (!readAll(device, size, &data, &error))
            return failure(error);
        if (kind == Kind::Jpeg && preview) {
            QSize full;
            QImage reduced = JpegCodec::decodePreview(data, previewSide, &full);
            if (const QColorSpace space = ColourProfile::ofFile(data); space.isValid() && !reduced.isNull())
                reduced.setColorSpace(space);
            if (!reduced.isNull())
                preview(reduced, full);
        }
        return decodeWhole(kind, data);
    }
    default:
        return readWithQt(device, kind, size, head);
    }
}

QString cannotOpen(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("The file does not exist.");
    case EACCES:
    case EPERM:
        return QStringLiteral("You have no permission to read this file.");
    default:
        return QStringLiteral("The file could not be opened: %1.")
            .arg(QString::fromLocal8Bit(std::strerror(error)));
    }
}

} // namespace

Frames read(const QString& path)
{
    return read(path, 0, {});
}

Frames read(const QString& path, int previewSide, const Preview& preview)
{
    // Without O_NONBLOCK, opening a named pipe waits for a writer for ever.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return failure(cannotOpen(errno));
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const bool folder = S_ISDIR(status.st_mode);
        ::close(fd);
        return failure(folder ? QStringLiteral("This is a folder, not a picture file.")
                              : QStringLiteral("This is not an ordinary file (it is a pipe, a "
                                               "device or a socket), so it is not read."));
    }
    // O_NONBLOCK changes nothing for a regular file's reads.
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return failure(QStringLiteral("The file could not be opened: %1.").arg(file.errorString()));
    }
    return readDevice(file, qint64(status.st_size), previewSide, preview);
}

Frames readData(const QByteArray& data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    return readDevice(buffer, data.size());
}

} // namespace ImageFile
