#include "imaging/ImageAction.h"

#include "imaging/ImageFile.h"
#include "imaging/ImageLimits.h"
#include "imaging/JpegCodec.h"
#include "imaging/PngCodec.h"
#include "platform/SystemLog.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

namespace ImageAction {
namespace {

thread_local QString t_lastLoadError;
thread_local QString t_lastLoadWarning;

// The one rounding of these operations: through single precision, halves away
// from zero.
int roundedF(double value)
{
    return int(std::roundf(float(value)));
}

QImage premultiplied(const QImage& image)
{
    return image.format() == QImage::Format_ARGB32_Premultiplied
               ? image
               : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Pictures are drawn one pixel per point; a fractional size is covered by
// whole pixels. Zero for a size that is not a positive, finite, drawable one.
QSize pixelSizeFor(QSizeF size)
{
    const double w = size.width(), h = size.height();
    if (!(w > 0 && h > 0 && std::isfinite(w) && std::isfinite(h)))
        return {};
    const double pw = std::ceil(w), ph = std::ceil(h);
    if (pw > double(ImageLimits::kMaxPixels) || ph > double(ImageLimits::kMaxPixels) ||
        !ImageLimits::fits(qint64(pw), qint64(ph)))
        return {};
    return QSize(int(pw), int(ph));
}

QImage transparentImage(QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (!image.isNull())
        image.fill(Qt::transparent);
    return image;
}

// The drawn area of a picture of `size` pixels whose drawing covers `drawn`
// (width, height) from its lower-left corner: `content`, which has `size`,
// is kept there and the rest is transparent.
QImage keepLowerLeft(const QImage& content, QSize drawn)
{
    const int w = std::min(drawn.width(), content.width());
    const int h = std::min(drawn.height(), content.height());
    if (w >= content.width() && h >= content.height())
        return content;
    QImage result = transparentImage(content.size());
    if (result.isNull() || w <= 0 || h <= 0)
        return result;
    const int top = content.height() - h;
    for (int y = top; y < content.height(); ++y)
        std::memcpy(result.scanLine(y), content.constScanLine(y), size_t(w) * 4);
    return result;
}

// `source` scaled to exactly `size` with area averaging when it shrinks.
QImage scaledTo(const QImage& source, QSize size)
{
    const QImage image = premultiplied(source);
    if (image.size() == size)
        return image;
    return premultiplied(image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

// The picture's best bitmap at one pixel per point, covering a fractional
// size with whole pixels as resize does, so that crops can work in points.
// Null when the picture's size cannot be drawn.
QImage atPointSize(const Picture& picture)
{
    const QSize pixels = pixelSizeFor(picture.size());
    if (pixels.isEmpty())
        return {};
    return scaledTo(picture.bestRepresentation(), pixels);
}

Picture invalid()
{
    SystemLog::log(QStringLiteral("Invalid Image"));
    return {};
}

} // namespace

Picture resize(const Picture& picture, QSizeF size)
{
    if (!picture.isValid())
        return invalid();
    const QSize pixels = pixelSizeFor(size);
    if (pixels.isEmpty())
        return invalid();
    const QImage best = picture.bestRepresentation();
    const QSize drawn(roundedF(size.width()), roundedF(size.height()));
    // Redrawing a bitmap at its own size changes no pixel: share it, in its
    // own format (a straight one keeps colours that premultiplying would lose).
    const QImage::Format format = best.format();
    if (best.size() == pixels && drawn == pixels &&
        (format == QImage::Format_ARGB32_Premultiplied || format == QImage::Format_ARGB32 ||
         format == QImage::Format_RGB32))
        return Picture(size, {best});
    const QImage scaled = scaledTo(best, pixels);
    if (scaled.isNull())
        return invalid();
    return Picture(size, {keepLowerLeft(scaled, drawn)});
}

Picture crop(const Picture& picture, QRectF rect)
{
    if (!picture.isValid())
        return invalid();
    const QSize pixels = pixelSizeFor(rect.size());
    if (pixels.isEmpty())
        return {};
    const int x = roundedF(rect.x()), y = roundedF(rect.y());
    const int w = std::min(roundedF(rect.width()), pixels.width());
    const int h = std::min(roundedF(rect.height()), pixels.height());
    const QImage source = atPointSize(picture);
    QImage result = transparentImage(pixels);
    if (result.isNull() || source.isNull())
        return {};
    // Target row r shows the source row whose y-up coordinate is
    // y + (pixels.height() - 1 - r); only the lower-left w x h are drawn.
    const int x0 = std::max(0, -x), x1 = std::min(w, source.width() - x);
    for (int up = 0; up < h && x1 > x0; ++up) {
        const int sourceRow = source.height() - 1 - (y + up);
        if (sourceRow < 0 || sourceRow >= source.height())
            continue;
        const int targetRow = pixels.height() - 1 - up;
        std::memcpy(result.scanLine(targetRow) + 4 * x0,
                    source.constScanLine(sourceRow) + 4 * (x + x0), size_t(x1 - x0) * 4);
    }
    return Picture(rect.size(), {result});
}

Picture cropToFill(const Picture& picture, QSizeF size)
{
    if (!picture.isValid())
        return invalid();
    const QSize pixels = pixelSizeFor(size);
    const QSizeF own = picture.size();
    if (pixels.isEmpty() || !(own.width() > 0 && own.height() > 0))
        return invalid();
    const QImage best = premultiplied(picture.bestRepresentation());
    // The scale that covers the target; the visible part is centred.
    const double scale = std::max(size.width() / own.width(), size.height() / own.height());
    const double visibleW = size.width() / scale, visibleH = size.height() / scale;
    const double perPointX = best.width() / own.width(), perPointY = best.height() / own.height();
    QRect visible(qRound((own.width() - visibleW) / 2 * perPointX),
                  qRound((own.height() - visibleH) / 2 * perPointY),
                  std::max(1, qRound(visibleW * perPointX)),
                  std::max(1, qRound(visibleH * perPointY)));
    visible = visible.intersected(best.rect());
    if (visible.isEmpty())
        return invalid();
    const QImage part = visible == best.rect() ? best : best.copy(visible);
    const QImage scaled = scaledTo(part, pixels);
    if (scaled.isNull())
        return invalid();
    const QSize drawn(roundedF(size.width()), roundedF(size.height()));
    return Picture(size, {keepLowerLeft(scaled, drawn)});
}

Picture flipHorisontal(const Picture& picture, bool horizontal)
{
    if (!picture.isValid())
        return invalid();
    QList<QImage> mirrored;
    for (const QImage& image : picture.representations())
        if (!image.isNull())
            mirrored.append(image.mirrored(horizontal, !horizontal));
    return Picture(picture.size(), mirrored);
}

QByteArray compressedPNGData(const Picture& picture)
{
    return compressedPNGData(picture, {});
}

QByteArray compressedPNGData(const Picture& picture, const std::function<void(double)>& progress)
{
    if (!picture.isValid())
        return {};
    return PngCodec::encode(picture.bestRepresentation(), PngCodec::Channels::AlwaysRgba, progress);
}

QByteArray compressedJPEGData(const Picture& picture, float factor)
{
    if (!picture.isValid() || !std::isfinite(factor))
        return {};
    return JpegCodec::encode(picture.bestRepresentation(), qRound(factor * 100.0f));
}

FilterImage CIImage(const Picture& picture)
{
    if (!picture.isValid())
        return {};
    return FilterImage(picture.bestRepresentation(), QPoint(0, 0));
}

QImage CGImage(const Picture& picture)
{
    for (const QImage& image : picture.representations())
        if (!image.isNull())
            return premultiplied(image);
    return {};
}

Picture imageFromCGImageRef(const QImage& bitmap)
{
    if (bitmap.isNull())
        return {};
    return Picture(QSizeF(bitmap.width(), bitmap.height()), {premultiplied(bitmap)});
}

Picture imageWithCIImage(const FilterImage& image)
{
    if (image.isNull())
        return Picture(QSizeF(0, 0), {});
    return Picture(QSizeF(image.extent().width(), image.extent().height()), {image.pixels()});
}

namespace {

// One read of the file; `endsEarly` when the picture came out only in part
// because its data stops short.
Picture load(const QString& path, bool* endsEarly, int previewSide = 0,
             const std::function<void(const Picture&)>& preview = {})
{
    ImageFile::Frames frames =
        preview ? ImageFile::read(path, previewSide,
                                  [&](const QImage& reduced, QSize full) {
                                      preview(Picture(QSizeF(full), {reduced}));
                                  })
                : ImageFile::read(path);
    int width = 0, height = 0;
    for (const QImage& image : frames.images) {
        width = std::max(width, image.width());
        height = std::max(height, image.height());
    }
    *endsEarly = false;
    if (frames.images.isEmpty() || width == 0 || height == 0) {
        t_lastLoadError =
            frames.error.isEmpty() ? QStringLiteral("The file holds no picture.") : frames.error;
        t_lastLoadWarning.clear();
        return {};
    }
    t_lastLoadError.clear();
    t_lastLoadWarning = frames.warning;
    *endsEarly = frames.endsEarly;
    return Picture(QSizeF(width, height), std::move(frames.images));
}

} // namespace

Picture imageFromURL(const QString& path)
{
    bool endsEarly = false;
    return load(path, &endsEarly);
}

Picture imageFromURL(const QString& path, bool retry)
{
    return imageFromURL(path, retry, 0, {});
}

Picture imageFromURL(const QString& path, bool retry, int previewSide,
                     const std::function<void(const Picture&)>& preview)
{
    bool endsEarly = false;
    Picture picture = load(path, &endsEarly, previewSide, preview);
    if (!retry || (picture && !endsEarly))
        return picture;
    // A file that ends early may still be being written: it is read again,
    // and shown in part only when the retries are over.
    Picture partial = picture;
    QString partialWarning = t_lastLoadWarning;
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> jitter(0, 99999);
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::this_thread::sleep_for(std::chrono::microseconds(50000 + jitter(random)));
        picture = load(path, &endsEarly);
        if (picture && !endsEarly)
            return picture;
        if (picture) {
            partial = picture;
            partialWarning = t_lastLoadWarning;
        }
    }
    if (partial) {
        t_lastLoadError.clear();
        t_lastLoadWarning = partialWarning;
    }
    return partial;
}

QString lastLoadError()
{
    return t_lastLoadError;
}

QString lastLoadWarning()
{
    return t_lastLoadWarning;
}

} // namespace ImageAction
