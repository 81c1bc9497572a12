#include "imaging/PngFastDecoder.h"

#include <libdeflate.h>
#include <zlib.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace PngFastDecoder {
namespace {

using PngChunks::Layout;

int channelsOf(const Layout& layout)
{
    return int(layout.rowBytes / qsizetype(layout.width));
}

size_t rawSizeOf(const Layout& layout)
{
    return size_t(layout.rowBytes + 1) * layout.height;
}

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// zlib's inflate, which unlike libdeflate tells how far a broken stream got.
// Returns the bytes written to `raw`; `whole` when the stream ended cleanly
// with exactly the picture's data.
size_t inflateWithZlib(const Layout& layout, uchar* raw, bool* whole)
{
    const size_t rawSize = rawSizeOf(layout);
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return 0;
    stream.next_out = raw;
    stream.avail_out = uInt(rawSize);
    int result = Z_OK;
    for (const auto& [part, length] : layout.parts) {
        stream.next_in = const_cast<uchar*>(part);
        stream.avail_in = uInt(length);
        result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK || stream.avail_out == 0)
            break;
    }
    const size_t produced = rawSize - stream.avail_out;
    *whole = result == Z_STREAM_END && produced == rawSize;
    inflateEnd(&stream);
    return produced;
}

// Inflates the image stream into `raw` (rawSizeOf(layout) bytes) and returns
// how many whole rows it holds, filter type bytes included.
quint32 inflateRows(const Layout& layout, uchar* raw, bool* whole)
{
    const size_t rawSize = rawSizeOf(layout);
    *whole = false;
    if (!layout.endsEarly) {
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
        if (decompressor &&
            libdeflate_zlib_decompress(decompressor.get(), stream, layout.compressed, raw, rawSize,
                                       &produced) == LIBDEFLATE_SUCCESS &&
            produced == rawSize) {
            *whole = true;
            return layout.height;
        }
    }
    // libdeflate only says that the stream is not right; zlib says how far it is.
    const size_t produced = inflateWithZlib(layout, raw, whole);
    return quint32(produced / size_t(layout.rowBytes + 1));
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

// Unfilters the first `rows` rows of `raw` in order and hands each to
// `deliver(y, row)`, which may overwrite the raw bytes of rows up to and
// including y. Returns the rows delivered: fewer at an unknown filter type.
template <int Bpp, typename Deliver>
quint32 unfilterRows(const Layout& layout, const uchar* raw, quint32 rows, Deliver deliver)
{
    const qsizetype n = layout.rowBytes;
    std::vector<uchar> buffer(size_t(n) * 2, 0);
    uchar* prev = buffer.data();
    uchar* cur = prev + n;
    for (quint32 y = 0; y < rows; ++y) {
        const uchar* line = raw + size_t(y) * size_t(n + 1);
        if (!unfilterRow<Bpp>(line[0], line + 1, prev, cur, n))
            return y;
        deliver(y, cur);
        std::swap(prev, cur);
    }
    return rows;
}

// R, G, B (A) bytes, or grey (alpha), to straight 0xAARRGGBB words.
template <int Channels> void toWords(const uchar* in, quint32* out, quint32 width)
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
        out[x] = (a << 24) | (r << 16) | (g << 8) | b;
    }
}

template <int Channels>
quint32 convertRows(const Layout& layout, uchar* buffer, const uchar* raw, quint32 rows)
{
    const size_t pictureRow = size_t(layout.width) * 4;
    return unfilterRows<Channels>(layout, raw, rows, [&](quint32 y, const uchar* row) {
        toWords<Channels>(row, reinterpret_cast<quint32*>(buffer + y * pictureRow), layout.width);
    });
}

template <int Channels> quint32 alphaRows(const Layout& layout, const uchar* raw, QImage& alpha)
{
    return unfilterRows<Channels>(layout, raw, layout.height, [&](quint32 y, const uchar* row) {
        uchar* out = alpha.scanLine(int(y));
        if constexpr (Channels == 2 || Channels == 4) {
            for (quint32 x = 0; x < layout.width; ++x)
                out[x] = row[size_t(x) * Channels + Channels - 1];
        } else {
            std::memset(out, 255, layout.width);
        }
    });
}

QString noMemory(const Layout& layout)
{
    return QStringLiteral("There is not enough memory for a %1 x %2 picture.")
        .arg(layout.width)
        .arg(layout.height);
}

QString noRows(const Layout& layout)
{
    return layout.endsEarly
               ? QStringLiteral("The PNG file ends before the first row of its picture.")
               : QStringLiteral("The PNG file is damaged: not one row of its picture can be read.");
}

} // namespace

bool handles(const Layout& layout)
{
    return layout.depth == 8 && !layout.interlaced && !layout.transparency &&
           (layout.colourType == 0 || layout.colourType == 2 || layout.colourType == 4 ||
            layout.colourType == 6);
}

QImage decode(const Layout& layout, DecodeNotes* notes)
{
    // The stream is inflated into the end of the picture's own buffer and each
    // row is converted to its place as soon as it is unfiltered. A picture row
    // (4 bytes a pixel) never reaches the raw rows not yet read, because the
    // buffer has one spare byte per row for the filter type bytes.
    const size_t pictureRow = size_t(layout.width) * 4;
    const size_t bufferSize = pictureRow * layout.height + layout.height;
    auto* buffer = static_cast<uchar*>(std::malloc(bufferSize));
    if (!buffer) {
        notes->error = noMemory(layout);
        return {};
    }
    uchar* raw = buffer + bufferSize - rawSizeOf(layout);
    bool whole = false;
    const quint32 inflated = inflateRows(layout, raw, &whole);
    quint32 rows = 0;
    switch (channelsOf(layout)) {
    case 1:
        rows = convertRows<1>(layout, buffer, raw, inflated);
        break;
    case 2:
        rows = convertRows<2>(layout, buffer, raw, inflated);
        break;
    case 3:
        rows = convertRows<3>(layout, buffer, raw, inflated);
        break;
    default:
        rows = convertRows<4>(layout, buffer, raw, inflated);
        break;
    }
    if (rows == 0) {
        std::free(buffer);
        notes->error = noRows(layout);
        return {};
    }
    if (rows < layout.height) {
        std::memset(buffer + rows * pictureRow, 0, (layout.height - rows) * pictureRow);
        notes->endsEarly = layout.endsEarly;
        notes->warning =
            QStringLiteral(
                "The PNG file %1; only %2 of its %3 rows could be read, the rest is left "
                "transparent.")
                .arg(layout.endsEarly ? QStringLiteral("ends early") : QStringLiteral("is damaged"))
                .arg(rows)
                .arg(layout.height);
    }
    QImage image(
        buffer, int(layout.width), int(layout.height), qsizetype(pictureRow),
        // Straight alpha; opaque when the file has no alpha and every row was read.
        layout.colourType == 4 || layout.colourType == 6 || rows < layout.height ? QImage::Format_ARGB32
                                                                                : QImage::Format_RGB32,
        [](void* memory) { std::free(memory); }, buffer);
    if (image.isNull()) {
        // QImage takes the buffer only when it can hold the picture.
        std::free(buffer);
        notes->error = noMemory(layout);
        notes->warning.clear();
        return {};
    }
    return image;
}

QImage decodeAlpha(const Layout& layout, QString* error)
{
    std::unique_ptr<uchar[]> raw(new (std::nothrow) uchar[rawSizeOf(layout)]);
    QImage result(int(layout.width), int(layout.height), QImage::Format_Alpha8);
    if (!raw || result.isNull()) {
        *error = noMemory(layout);
        return {};
    }
    bool whole = false;
    if (inflateRows(layout, raw.get(), &whole) < layout.height) {
        *error = layout.endsEarly
                     ? QStringLiteral("The PNG file ends early.")
                     : QStringLiteral("The PNG file is damaged: its image data is incomplete.");
        return {};
    }
    quint32 rows = 0;
    switch (channelsOf(layout)) {
    case 1:
        rows = alphaRows<1>(layout, raw.get(), result);
        break;
    case 2:
        rows = alphaRows<2>(layout, raw.get(), result);
        break;
    case 3:
        rows = alphaRows<3>(layout, raw.get(), result);
        break;
    default:
        rows = alphaRows<4>(layout, raw.get(), result);
        break;
    }
    if (rows < layout.height) {
        *error = QStringLiteral("The PNG file is damaged: it uses an unknown filter.");
        return {};
    }
    return result;
}

} // namespace PngFastDecoder
