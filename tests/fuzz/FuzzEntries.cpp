#include "FuzzEntries.h"

#include "imaging/DecodeNotes.h"
#include "imaging/ImageFile.h"
#include "imaging/ImageLimits.h"
#include "imaging/JpegCodec.h"
#include "imaging/PngCodec.h"
#include "imaging/PngCodec_p.h"

namespace fuzzentry {
namespace {

QByteArray bytesOf(const uint8_t* data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
}

// What every decoded picture must be: of a size the limits allow, in one of
// the formats the readers give, and where premultiplied or opaque made of
// valid pixels (no colour above its alpha, opaque where it must be), which
// memory the decoder never wrote seldom is.
const char* checkPicture(const QImage& image, bool opaque)
{
    const QImage::Format format = image.format();
    if (format != QImage::Format_ARGB32_Premultiplied && format != QImage::Format_ARGB32 &&
        format != QImage::Format_RGB32)
        return "a picture in another format";
    if (!ImageLimits::fits(image.width(), image.height()))
        return "a picture over the limits";
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const quint32*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const quint32 p = row[x], a = p >> 24;
            if (format == QImage::Format_ARGB32_Premultiplied &&
                (((p >> 16) & 0xff) > a || ((p >> 8) & 0xff) > a || (p & 0xff) > a))
                return "a pixel whose colour exceeds its alpha";
            if (opaque && a != 255 && format != QImage::Format_ARGB32)
                return "a pixel of an opaque format that is not opaque";
        }
    }
    return nullptr;
}

const char* checkNotes(const QImage& image, const DecodeNotes& notes)
{
    if (image.isNull())
        return notes.error.isEmpty() ? "a refusal without a reason" : nullptr;
    if (!notes.error.isEmpty())
        return "a picture with a reason for refusing it";
    if (notes.endsEarly && notes.warning.isEmpty())
        return "a picture in part without a warning";
    return nullptr;
}

} // namespace

const char* png(const uint8_t* data, size_t size)
{
    DecodeNotes notes;
    const QImage image = PngCodec::decode(bytesOf(data, size), &notes);
    if (const char* wrong = checkNotes(image, notes))
        return wrong;
    return image.isNull() ? nullptr : checkPicture(image, false);
}

const char* jpeg(const uint8_t* data, size_t size)
{
    DecodeNotes notes;
    const QImage image = JpegCodec::decode(bytesOf(data, size), &notes);
    if (const char* wrong = checkNotes(image, notes))
        return wrong;
    return image.isNull() ? nullptr : checkPicture(image, true);
}

const char* mask(const uint8_t* data, size_t size)
{
    const QImage alpha = PngCodec::decodeAlpha(bytesOf(data, size));
    if (alpha.isNull())
        return nullptr;
    if (alpha.format() != QImage::Format_Alpha8)
        return "a mask in another format";
    if (!ImageLimits::fits(alpha.width(), alpha.height()))
        return "a mask over the limits";
    return nullptr;
}

const char* frames(const uint8_t* data, size_t size)
{
    const ImageFile::Frames frames = ImageFile::readData(bytesOf(data, size));
    if (frames.images.isEmpty())
        return frames.error.isEmpty() ? "a refusal without a reason" : nullptr;
    qint64 total = 0;
    for (const QImage& image : frames.images) {
        if (const char* wrong = checkPicture(image, false))
            return wrong;
        total += qint64(image.width()) * image.height();
    }
    return total > ImageLimits::kMaxTotalPixels ? "frames over the total pixel limit" : nullptr;
}

} // namespace fuzzentry
