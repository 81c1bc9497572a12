#include "imaging/ImageFile.h"

#include "imaging/ImageLimits.h"
#include "imaging/JpegCodec.h"
#include "imaging/PngCodec_p.h"

#include <QFile>
#include <QImageReader>

#include <algorithm>

namespace ImageFile {
namespace {

Frames failure(QString reason)
{
    Frames frames;
    frames.error = std::move(reason);
    return frames;
}

QImage premultiplied(const QImage& image)
{
    return image.format() == QImage::Format_ARGB32_Premultiplied
               ? image
               : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

Frames readWithQt(QFile& file)
{
    ImageLimits::raiseQtAllocationLimit();
    QImageReader reader(&file);
    // TIFF files carry an orientation as JPEG files do.
    reader.setAutoTransform(true);
    // Counting first also settles the TIFF handler on the first page; asking
    // for a page's size before that leaves it unable to read the file.
    const int count = std::clamp(reader.imageCount(), 1, ImageLimits::kMaxFrames);
    Frames frames;
    qint64 totalPixels = 0;
    for (int index = 0; index < count; ++index) {
        // Paged formats (TIFF) must be moved on; animated ones (GIF) move on
        // by reading and refuse the jump, which leaves them where they are.
        if (index > 0 && reader.currentImageNumber() < index)
            reader.jumpToNextImage();
        const QSize announced = reader.size();
        if (announced.isValid() && !ImageLimits::fits(announced.width(), announced.height()))
            return failure(ImageLimits::tooLarge(announced.width(), announced.height()));
        if (announced.isValid() && totalPixels + qint64(announced.width()) * announced.height() >
                                       ImageLimits::kMaxTotalPixels)
            break;
        QImage image;
        if (!reader.read(&image)) {
            if (frames.images.isEmpty())
                frames.error = reader.errorString();
            break;
        }
        if (!ImageLimits::fits(image.width(), image.height()))
            return failure(ImageLimits::tooLarge(image.width(), image.height()));
        totalPixels += qint64(image.width()) * image.height();
        frames.images.append(premultiplied(image));
    }
    return frames;
}

} // namespace

Frames read(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failure(file.errorString());
    if (file.size() == 0)
        return failure(QStringLiteral("The file is empty."));

    const QByteArray head = file.peek(8);
    const bool png = PngCodec::hasSignature(head);
    const bool jpeg = JpegCodec::hasSignature(head);
    if (!png && !jpeg)
        return readWithQt(file);

    const QByteArray data = file.readAll();
    if (data.isEmpty())
        return failure(file.errorString());
    QString error;
    const QImage image = png ? PngCodec::decode(data, &error) : JpegCodec::decode(data, &error);
    if (image.isNull())
        return failure(error);
    Frames frames;
    frames.images.append(image);
    return frames;
}

} // namespace ImageFile
