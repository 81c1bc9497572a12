#include "imaging/PngFastDecoder.h"

#include "imaging/ImageLimits.h"

#include <libdeflate.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace PngFastDecoder {
namespace {

constexpr uchar kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

quint32 getU32(const uchar* in)
{
    return (quint32(in[0]) << 24) | (quint32(in[1]) << 16) | (quint32(in[2]) << 8) | in[3];
}

struct Layout {
    quint32 width = 0;
    quint32 height = 0;
    int channels = 0;
    qsizetype rowBytes = 0; // unfiltered, without the filter type byte
    size_t rawSize = 0;     // the whole inflated stream
    std::vector<std::pair<const uchar*, size_t>> parts;
    size_t compressed = 0;
};

QString damaged()
{
    return QStringLiteral("The PNG file's image data is damaged.");
}

Result parse(const QByteArray& data, Layout* layout, QString* error)
{
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    const size_t size = size_t(data.size());
    if (size < 8 + 25 || std::memcmp(bytes, kSignature, 8) != 0 || getU32(bytes + 8) != 13 ||
        std::memcmp(bytes + 12, "IHDR", 4) != 0)
        return Result::NotHandled;
    const uchar* ihdr = bytes + 16;
    const int depth = ihdr[8], colour = ihdr[9];
    if (depth != 8 || ihdr[10] != 0 || ihdr[11] != 0 || ihdr[12] != 0)
        return Result::NotHandled;
    switch (colour) {
    case 0:
        layout->channels = 1;
        break;
    case 2:
        layout->channels = 3;
        break;
    case 4:
        layout->channels = 2;
        break;
    case 6:
        layout->channels = 4;
        break;
    default:
        return Result::NotHandled;
    }
    layout->width = getU32(ihdr);
    layout->height = getU32(ihdr + 4);
    if (!ImageLimits::fits(layout->width, layout->height)) {
        *error = ImageLimits::tooLarge(layout->width, layout->height);
        return Result::Failed;
    }
    layout->rowBytes = qsizetype(layout->width) * layout->channels;
    layout->rawSize = size_t(layout->rowBytes + 1) * layout->height;

    bool ended = false;
    for (size_t at = 8 + 25; at + 12 <= size && !ended;) {
        const size_t length = getU32(bytes + at);
        if (length > size - at - 12)
            break;
        const uchar* type = bytes + at + 4;
        if (std::memcmp(type, "IDAT", 4) == 0) {
            layout->parts.emplace_back(bytes + at + 8, length);
            layout->compressed += length;
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            // A transparent colour: the general decoder applies it.
            return Result::NotHandled;
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            ended = true;
        }
        at += 12 + length;
    }
    if (!ended || layout->parts.empty()) {
        *error = QStringLiteral("The PNG file is truncated.");
        return Result::Failed;
    }
    return Result::Decoded;
}

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// Inflates the whole image stream into `raw` (layout.rawSize bytes).
bool inflate(const Layout& layout, uchar* raw, QString* error)
{
    std::vector<uchar> joined;
    const uchar* stream = layout.parts.front().first;
    if (layout.parts.size() > 1) {
        joined.resize(layout.compressed);
        size_t at = 0;
        for (const auto& [part, length] : layout.parts) {
            std::memcpy(joined.data() + at, part, length);
            at += length;
        }
        stream = joined.data();
    }
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    size_t produced = 0;
    if (!decompressor) {
        *error = QStringLiteral("The PNG decoder could not start.");
        return false;
    }
    const libdeflate_result result = libdeflate_zlib_decompress(
        decompressor.get(), stream, layout.compressed, raw, layout.rawSize, &produced);
    if (result == LIBDEFLATE_SHORT_OUTPUT ||
        (result == LIBDEFLATE_SUCCESS && produced != layout.rawSize)) {
        *error = QStringLiteral("The PNG file holds less image data than its size needs.");
        return false;
    }
    if (result != LIBDEFLATE_SUCCESS) {
        *error = damaged();
        return false;
    }
    return true;
}

inline int paeth(int a, int b, int c)
{
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}

// Undoes one row's filter into `out`; `prev` is the previous unfiltered row
// (zeros above the first). False for an unknown filter type.
template <int Bpp>
bool unfilterRow(uchar type, const uchar* in, const uchar* prev, uchar* out, qsizetype n)
{
    switch (type) {
    case 0:
        std::memcpy(out, in, size_t(n));
        return true;
    case 1:
        for (int i = 0; i < Bpp; ++i)
            out[i] = in[i];
        for (qsizetype i = Bpp; i < n; ++i)
            out[i] = uchar(in[i] + out[i - Bpp]);
        return true;
    case 2:
        for (qsizetype i = 0; i < n; ++i)
            out[i] = uchar(in[i] + prev[i]);
        return true;
    case 3:
        for (int i = 0; i < Bpp; ++i)
            out[i] = uchar(in[i] + (prev[i] >> 1));
        for (qsizetype i = Bpp; i < n; ++i)
            out[i] = uchar(in[i] + ((out[i - Bpp] + prev[i]) >> 1));
        return true;
    case 4:
        for (int i = 0; i < Bpp; ++i)
            out[i] = uchar(in[i] + prev[i]);
        for (qsizetype i = Bpp; i < n; ++i)
            out[i] = uchar(in[i] + paeth(out[i - Bpp], prev[i], prev[i - Bpp]));
        return true;
    default:
        return false;
    }
}

// Unfilters every row of `raw` in order and hands each to `deliver(y, row)`.
// `deliver` may overwrite the raw bytes of rows up to and including y.
template <int Bpp, typename Deliver>
bool unfilterRows(const Layout& layout, const uchar* raw, Deliver deliver, QString* error)
{
    const qsizetype n = layout.rowBytes;
    std::vector<uchar> rows(size_t(n) * 2, 0);
    uchar* prev = rows.data();
    uchar* cur = prev + n;
    for (quint32 y = 0; y < layout.height; ++y) {
        const uchar* line = raw + size_t(y) * size_t(n + 1);
        if (!unfilterRow<Bpp>(line[0], line + 1, prev, cur, n)) {
            *error = QStringLiteral("The PNG file uses an unknown filter.");
            return false;
        }
        deliver(y, cur);
        std::swap(prev, cur);
    }
    return true;
}

inline quint32 multiplyBy(quint32 c, quint32 a)
{
    const quint32 t = c * a + 128;
    return (t + (t >> 8)) >> 8;
}

template <int Channels> void toPremultiplied(const uchar* in, quint32* out, quint32 width)
{
    for (quint32 x = 0; x < width; ++x) {
        const uchar* p = in + size_t(x) * Channels;
        quint32 r, g, b, a = 255;
        if constexpr (Channels <= 2) {
            r = g = b = p[0];
            if constexpr (Channels == 2)
                a = p[1];
        } else {
            r = p[0];
            g = p[1];
            b = p[2];
            if constexpr (Channels == 4)
                a = p[3];
        }
        if (a != 255) {
            r = multiplyBy(r, a);
            g = multiplyBy(g, a);
            b = multiplyBy(b, a);
        }
        out[x] = (a << 24) | (r << 16) | (g << 8) | b;
    }
}

template <int Channels>
bool decodeInto(const Layout& layout, uchar* buffer, size_t bufferSize, QString* error)
{
    // The stream is inflated into the end of the picture's own buffer and each
    // row is converted to its place as soon as it is unfiltered. A picture row
    // (4 bytes a pixel) never reaches the raw rows not yet read, because the
    // buffer has one spare byte per row for the filter type bytes.
    uchar* raw = buffer + bufferSize - layout.rawSize;
    if (!inflate(layout, raw, error))
        return false;
    const qsizetype pictureRow = qsizetype(layout.width) * 4;
    return unfilterRows<Channels>(
        layout, raw,
        [&](quint32 y, const uchar* row) {
            toPremultiplied<Channels>(row, reinterpret_cast<quint32*>(buffer + y * pictureRow),
                                      layout.width);
        },
        error);
}

template <int Channels>
bool alphaInto(const Layout& layout, const uchar* raw, QImage& alpha, QString* error)
{
    return unfilterRows<Channels>(
        layout, raw,
        [&](quint32 y, const uchar* row) {
            uchar* out = alpha.scanLine(int(y));
            if constexpr (Channels == 2 || Channels == 4) {
                for (quint32 x = 0; x < layout.width; ++x)
                    out[x] = row[size_t(x) * Channels + Channels - 1];
            } else {
                std::memset(out, 255, layout.width);
            }
        },
        error);
}

QString noMemory(const Layout& layout)
{
    return QStringLiteral("There is not enough memory for a %1 x %2 picture.")
        .arg(layout.width)
        .arg(layout.height);
}

} // namespace

Result decode(const QByteArray& data, QImage* image, QString* error)
{
    Layout layout;
    const Result parsed = parse(data, &layout, error);
    if (parsed != Result::Decoded)
        return parsed;
    const size_t bufferSize = size_t(layout.width) * 4 * layout.height + layout.height;
    auto* buffer = static_cast<uchar*>(std::malloc(bufferSize));
    if (!buffer) {
        *error = noMemory(layout);
        return Result::Failed;
    }
    bool ok = false;
    switch (layout.channels) {
    case 1:
        ok = decodeInto<1>(layout, buffer, bufferSize, error);
        break;
    case 2:
        ok = decodeInto<2>(layout, buffer, bufferSize, error);
        break;
    case 3:
        ok = decodeInto<3>(layout, buffer, bufferSize, error);
        break;
    default:
        ok = decodeInto<4>(layout, buffer, bufferSize, error);
        break;
    }
    if (!ok) {
        std::free(buffer);
        return Result::Failed;
    }
    *image = QImage(
        buffer, int(layout.width), int(layout.height), qsizetype(layout.width) * 4,
        QImage::Format_ARGB32_Premultiplied, [](void* memory) { std::free(memory); }, buffer);
    return Result::Decoded;
}

Result decodeAlpha(const QByteArray& data, QImage* alpha, QString* error)
{
    Layout layout;
    const Result parsed = parse(data, &layout, error);
    if (parsed != Result::Decoded)
        return parsed;
    std::unique_ptr<uchar[]> raw(new (std::nothrow) uchar[layout.rawSize]);
    QImage result(int(layout.width), int(layout.height), QImage::Format_Alpha8);
    if (!raw || result.isNull()) {
        *error = noMemory(layout);
        return Result::Failed;
    }
    if (!inflate(layout, raw.get(), error))
        return Result::Failed;
    bool ok = false;
    switch (layout.channels) {
    case 1:
        ok = alphaInto<1>(layout, raw.get(), result, error);
        break;
    case 2:
        ok = alphaInto<2>(layout, raw.get(), result, error);
        break;
    case 3:
        ok = alphaInto<3>(layout, raw.get(), result, error);
        break;
    default:
        ok = alphaInto<4>(layout, raw.get(), result, error);
        break;
    }
    if (!ok)
        return Result::Failed;
    *alpha = std::move(result);
    return Result::Decoded;
}

} // namespace PngFastDecoder
