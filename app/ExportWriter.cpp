#include "app/ExportWriter.h"

#include "canvas/ResultComposer.h"
#include "imaging/PngCodec.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFileInfo>
#include <QImageWriter>
#include <QObject>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace ExportWriter {
namespace {

// The profile a file carries for a colour space: none for an untagged picture.
QByteArray profileOf(const QColorSpace& space)
{
    return space.isValid() ? space.iccProfile() : QByteArray();
}

const char* writerName(Format format)
{
    switch (format) {
    case Format::WebP:
        return "webp";
    case Format::Tiff:
        return "tiff";
    case Format::Png:
        break;
    }
    return "png";
}

} // namespace

QList<Format> writableFormats()
{
    QList<Format> formats{Format::Png};
    const QList<QByteArray> writable = QImageWriter::supportedImageFormats();
    for (Format format : {Format::WebP, Format::Tiff})
        if (writable.contains(writerName(format)))
            formats << format;
    return formats;
}

QString filterFor(Format format)
{
    switch (format) {
    case Format::WebP:
        return QObject::tr("WebP picture, lossless (*.webp)");
    case Format::Tiff:
        return QObject::tr("TIFF picture (*.tif *.tiff)");
    case Format::Png:
        break;
    }
    return QObject::tr("PNG picture (*.png)");
}

Format formatForFilter(const QString& filter)
{
    for (Format format : {Format::WebP, Format::Tiff})
        if (filter == filterFor(format))
            return format;
    return Format::Png;
}

std::optional<Format> formatForPath(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("png"))
        return Format::Png;
    if (suffix == QLatin1String("webp"))
        return Format::WebP;
    if (suffix == QLatin1String("tif") || suffix == QLatin1String("tiff"))
        return Format::Tiff;
    return std::nullopt;
}

QString extension(Format format)
{
    return format == Format::Tiff ? QStringLiteral("tif") : QString::fromLatin1(writerName(format));
}

namespace {

// Widens `bounds` to the pixels of row y (straight 0xAARRGGBB words) whose
// alpha is not 0.
void addKept(const quint32* row, int width, int y, QRect& bounds)
{
    int first = 0;
    while (first < width && (row[first] >> 24) == 0)
        ++first;
    if (first == width)
        return;
    int last = width - 1;
    while ((row[last] >> 24) == 0)
        --last;
    bounds |= QRect(first, y, last - first + 1, 1);
}

// Rows [y0, y1) of `area` of the composer's picture: whole rows composed,
// the area's columns of them kept.
void croppedRows(const ResultComposer& composer, const QRect& area, int y0, int y1, uchar* out,
                 qsizetype stride)
{
    const int width = composer.size().width();
    std::vector<quint32> rows(size_t(width) * size_t(y1 - y0));
    composer.rows(area.top() + y0, area.top() + y1, reinterpret_cast<uchar*>(rows.data()),
                  qsizetype(width) * 4);
    for (int y = y0; y < y1; ++y)
        std::memcpy(out + (y - y0) * stride, rows.data() + size_t(y - y0) * size_t(width) + area.left(),
                    size_t(area.width()) * 4);
}

} // namespace

QRect keptBounds(const ResultComposer& composer)
{
    const int width = composer.size().width();
    std::mutex mutex;
    QRect bounds;
    composer.forEachBand([&](int y0, int y1) {
        std::vector<quint32> band(size_t(width) * size_t(y1 - y0));
        composer.rows(y0, y1, reinterpret_cast<uchar*>(band.data()), qsizetype(width) * 4);
        QRect found;
        for (int y = y0; y < y1; ++y)
            addKept(band.data() + size_t(y - y0) * size_t(width), width, y, found);
        const std::lock_guard lock(mutex);
        bounds |= found;
    });
    return bounds;
}

QByteArray encode(const QImage& image, Format format, const std::function<void(double)>& progress,
                  QString* error)
{
    if (image.isNull()) {
        if (error)
            *error = QObject::tr("There is no picture to write.");
        return {};
    }
    if (format == Format::Png) {
        const QImage straight = image.format() == QImage::Format_ARGB32
                                    ? image
                                    : image.convertToFormat(QImage::Format_ARGB32);
        QByteArray png;
        const bool ok = !straight.isNull() &&
                        PngCodec::encodeStreamed(
                            straight.size(),
                            [&straight](int y0, int y1, uchar* out, qsizetype stride) {
                                for (int y = y0; y < y1; ++y)
                                    std::memcpy(out + (y - y0) * stride, straight.constScanLine(y),
                                                size_t(straight.width()) * 4);
                            },
                            [&png](const char* data, qsizetype size) {
                                png.append(data, size);
                                return true;
                            },
                            progress, profileOf(image.colorSpace()));
        if (!ok) {
            png.clear();
            if (error)
                *error = QObject::tr("The picture could not be encoded as PNG.");
        }
        return png;
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, writerName(format));
    if (format == Format::WebP)
        writer.setQuality(100); // lossless
    else
        writer.setCompression(1); // LZW
    const QImage straight = image.format() == QImage::Format_ARGB32
                                ? image
                                : image.convertToFormat(QImage::Format_ARGB32);
    if (!writer.write(straight)) {
        if (error)
            *error = writer.errorString();
        return {};
    }
    if (progress)
        progress(1.0);
    return bytes;
}

bool writePng(const ResultComposer& composer, const std::function<void(double)>& progress,
              const std::function<bool(const char* data, qsizetype size)>& sink, const QRect& crop)
{
    const QRect whole(QPoint(0, 0), composer.size());
    const QRect area = crop.isNull() ? whole : crop & whole;
    if (composer.isNull() || area.isEmpty())
        return false;
    if (area == whole)
        return PngCodec::encodeStreamed(
            composer.size(),
            [&composer](int y0, int y1, uchar* out, qsizetype stride) { composer.rows(y0, y1, out, stride); },
            sink, progress, profileOf(composer.colorSpace()), composer.bandStarts());
    std::vector<int> starts{0};
    for (const int y : composer.bandStarts())
        if (y > area.top() && y <= area.bottom())
            starts.push_back(y - area.top());
    return PngCodec::encodeStreamed(
        area.size(),
        [&composer, area](int y0, int y1, uchar* out, qsizetype stride) {
            croppedRows(composer, area, y0, y1, out, stride);
        },
        sink, progress, profileOf(composer.colorSpace()), starts);
}

QImage composed(const ResultComposer& composer, const QRect& crop)
{
    const QRect area = crop & QRect(QPoint(0, 0), composer.size());
    if (composer.isNull() || area.isEmpty())
        return {};
    if (area.size() == composer.size())
        return composer.image();
    QImage out(area.size(), QImage::Format_ARGB32);
    if (out.isNull())
        return {};
    out.setColorSpace(composer.colorSpace());
    uchar* bits = out.bits();
    const qsizetype stride = out.bytesPerLine();
    composer.forEachBand([&](int y0, int y1) {
        // The composer's bands, where they meet the crop.
        const int from = std::max(y0, area.top()), to = std::min(y1, area.bottom() + 1);
        if (from < to)
            croppedRows(composer, area, from - area.top(), to - area.top(),
                        bits + (from - area.top()) * stride, stride);
    });
    return out;
}

} // namespace ExportWriter
