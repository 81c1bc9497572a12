#include "imaging/PngCodec.h"

#include "imaging/ImageLimits.h"
#include "imaging/MaskDeflate.h"
#include "imaging/PngChunks.h"
#include "imaging/PngCodec_p.h"
#include "imaging/PngFastDecoder.h"
#include "platform/ParallelFor.h"

#include <libdeflate.h>
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace PngCodec {

using namespace PngFormat;

namespace {

// Straight R, G, B, A bytes to straight 0xAARRGGBB words, in place.
void straightWordsInPlace(uchar* row, int width)
{
    auto* words = reinterpret_cast<quint32*>(row);
    for (int x = 0; x < width; ++x) {
        const quint32 r = row[4 * x], g = row[4 * x + 1], b = row[4 * x + 2], a = row[4 * x + 3];
        words[x] = (a << 24) | (r << 16) | (g << 8) | b;
    }
}

// ---- Decoding ------------------------------------------------------------------

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

QString spngReason(int code)
{
    return QStringLiteral("The PNG file could not be read: %1.")
        .arg(QString::fromUtf8(spng_strerror(code)));
}

enum class Rows { All, AsManyAsThereAre };

// libspng reads a chunk only whole: a file that stops inside its image data
// is handed over with that chunk closed where the data stops.
QByteArray closedAtCut(const QByteArray& data, const PngChunks::Layout& layout)
{
    if (layout.cutChunk == 0)
        return data;
    const qsizetype start = qsizetype(layout.cutChunk);
    QByteArray closed = data.left(start);
    uchar length[4];
    putU32(length, quint32(data.size() - start - 8));
    closed.append(reinterpret_cast<const char*>(length), 4).append(data.mid(start + 4));
    uchar crc[4];
    putU32(crc, quint32(libdeflate_crc32(0, closed.constData() + start + 4,
                                         size_t(closed.size() - start - 4))));
    return closed.append(reinterpret_cast<const char*>(crc), 4);
}

// The kinds the fast decoder leaves (16-bit, palette, interlaced, tRNS),
// decoded row by row to straight RGBA bytes in a Format_ARGB32_Premultiplied-
// sized image; the caller converts the rows. With Rows::AsManyAsThereAre, the
// rows that a broken or short stream does not reach are left transparent.
QImage decodeStraightRgba(const QByteArray& data, const PngChunks::Layout& layout, Rows wanted,
                          DecodeNotes* notes)
{
    std::unique_ptr<spng_ctx, SpngDeleter> ctx(spng_ctx_new(0));
    if (!ctx) {
        notes->error = QStringLiteral("The PNG decoder could not start.");
        return {};
    }
    // Text and profile chunks are kept small so that a compressed chunk cannot
    // ask for gigabytes before the image itself is looked at. Critical chunks'
    // CRCs were checked by the walk; ancillary ones are not our concern.
    spng_set_chunk_limits(ctx.get(), 16 * 1024 * 1024, 64 * 1024 * 1024);
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    spng_set_crc_action(ctx.get(), SPNG_CRC_USE, SPNG_CRC_USE);
#else
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
#endif
    const QByteArray input = closedAtCut(data, layout);
    spng_set_png_buffer(ctx.get(), input.constData(), size_t(input.size()));
    QImage image(int(layout.width), int(layout.height), QImage::Format_ARGB32);
    if (image.isNull()) {
        notes->error = QStringLiteral("There is not enough memory for a %1 x %2 picture.")
                           .arg(layout.width)
                           .arg(layout.height);
        return {};
    }
    // Interlaced passes fill each row in several visits.
    if (layout.interlaced)
        image.fill(0);
    const size_t rowLength = size_t(layout.width) * 4;
    int code = spng_decode_image(ctx.get(), nullptr, 0, SPNG_FMT_RGBA8,
                                 SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
    quint32 rows = 0;
    while (code == 0) {
        spng_row_info row{};
        code = spng_get_row_info(ctx.get(), &row);
        if (code == 0 && row.row_num < layout.height)
            code = spng_decode_row(ctx.get(), image.scanLine(int(row.row_num)), rowLength);
        else if (code == 0)
            code = SPNG_EOVERFLOW;
        // The last row comes with the end of the image.
        if (code == 0 || code == SPNG_EOI)
            ++rows;
    }
    if (code == SPNG_EOI)
        return image;
    if (wanted == Rows::All || rows == 0) {
        notes->error =
            rows == 0 && layout.endsEarly
                ? QStringLiteral("The PNG file ends before the first row of its picture.")
                : spngReason(code);
        return {};
    }
    if (!layout.interlaced && rows < layout.height)
        std::memset(image.scanLine(int(rows)), 0, size_t(layout.height - rows) * rowLength);
    notes->endsEarly = layout.endsEarly;
    notes->warning =
        QStringLiteral("The PNG file %1; only part of its picture could be read, the rest is "
                       "left transparent.")
            .arg(layout.endsEarly ? QStringLiteral("ends early") : QStringLiteral("is damaged"));
    return image;
}

// Runs `rowFn(y)` over every row, on both cores when the image is large.
void forEachRow(int height, qsizetype rowBytes, const std::function<void(int)>& rowFn)
{
    if (qsizetype(height) * rowBytes <= kParallelBytes) {
        for (int y = 0; y < height; ++y)
            rowFn(y);
        return;
    }
    const int rowsPerBand = int(std::clamp<qsizetype>(kPieceBytes / rowBytes, 1, height));
    const int bands = (height + rowsPerBand - 1) / rowsPerBand;
    ParallelFor::run(bands, [&](int band) {
        const int end = std::min(height, (band + 1) * rowsPerBand);
        for (int y = band * rowsPerBand; y < end; ++y)
            rowFn(y);
    });
}

} // namespace

bool hasSignature(const QByteArray& data)
{
    return PngChunks::hasSignature(data);
}

QImage decode(const QByteArray& data, DecodeNotes* notes)
{
    PngChunks::Layout layout;
    if (!PngChunks::walk(data, &layout, &notes->error))
        return {};
    if (PngFastDecoder::handles(layout))
        return PngFastDecoder::decode(layout, notes);
    QImage image = decodeStraightRgba(data, layout, Rows::AsManyAsThereAre, notes);
    if (image.isNull())
        return {};
    const int width = image.width();
    forEachRow(image.height(), image.bytesPerLine(),
               [&](int y) { straightWordsInPlace(image.scanLine(y), width); });
    return image;
}

QImage decode(const QByteArray& data)
{
    DecodeNotes notes;
    return decode(data, &notes);
}

QImage decodeAlpha(const QByteArray& data)
{
    PngChunks::Layout layout;
    QString error;
    if (!PngChunks::walk(data, &layout, &error))
        return {};
    if (PngFastDecoder::handles(layout))
        return PngFastDecoder::decodeAlpha(layout, &error);
    DecodeNotes notes;
    const QImage rgba = decodeStraightRgba(data, layout, Rows::All, &notes);
    if (rgba.isNull())
        return {};
    QImage result(rgba.size(), QImage::Format_Alpha8);
    if (result.isNull())
        return {};
    const int width = rgba.width();
    forEachRow(rgba.height(), rgba.bytesPerLine(), [&](int y) {
        const uchar* in = rgba.constScanLine(y);
        uchar* out = result.scanLine(y);
        for (int x = 0; x < width; ++x)
            out[x] = in[4 * x + 3];
    });
    return result;
}

} // namespace PngCodec
