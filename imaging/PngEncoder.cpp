// The PNG encoder: rows filtered adaptively and compressed in pieces on
// every core, joined into one valid stream.
#include "imaging/PngCodec.h"

#include "imaging/MaskDeflate.h"
#include "imaging/PngCodec_p.h"
#include "platform/ParallelFor.h"

#include <libdeflate.h>
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

quint32 crcOfChunk(const char* type, const uchar* data, size_t length, quint32 dataCrc = 0,
                   bool dataCrcGiven = false)
{
    const quint32 crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    if (dataCrcGiven)
        return crc32_combine(crc, dataCrc, z_off_t(length));
    // zlib answers a null buffer with its initial value, not the running CRC.
    return length ? crc32(crc, data, uInt(length)) : crc;
}

// Appends one chunk whose data CRC (over the data alone) may be known already.
void appendChunk(uchar*& out, const char* type, const uchar* data, size_t length,
                 const quint32* dataCrc = nullptr)
{
    putU32(out, quint32(length));
    std::memcpy(out + 4, type, 4);
    if (length)
        std::memcpy(out + 8, data, length);
    const quint32 crc = dataCrc ? crcOfChunk(type, nullptr, length, *dataCrc, true)
                                : crcOfChunk(type, data, length);
    putU32(out + 8 + length, crc);
    out += 12 + length;
}

// ---- Rows -------------------------------------------------------------------

// 1/a in 16.16 fixed point. With it, premultiplied -> straight -> premultiplied
// gives back every premultiplied value exactly.
const std::array<quint32, 256>& inverseAlpha()
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 a = 1; a < 256; ++a)
            t[a] = (255u * 65536u + a / 2) / a;
        return t;
    }();
    return table;
}

inline quint32 multiplyBy(quint32 c, quint32 a)
{
    const quint32 t = c * a + 128;
    return (t + (t >> 8)) >> 8;
}

// Premultiplied 0xAARRGGBB words to straight R, G, B, A bytes.
void unpremultiplyRow(const quint32* in, uchar* out, int width)
{
    const auto& inv = inverseAlpha();
    for (int x = 0; x < width; ++x) {
        const quint32 p = in[x];
        const quint32 a = p >> 24;
        quint32 r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
        if (a != 255) {
            const quint32 k = inv[a];
            r = std::min<quint32>(255, (r * k + 0x8000) >> 16);
            g = std::min<quint32>(255, (g * k + 0x8000) >> 16);
            b = std::min<quint32>(255, (b * k + 0x8000) >> 16);
        }
        out[4 * x] = uchar(r);
        out[4 * x + 1] = uchar(g);
        out[4 * x + 2] = uchar(b);
        out[4 * x + 3] = uchar(a);
    }
}

// Straight 0xAARRGGBB words to R, G, B, A bytes.
void straightRow(const quint32* in, uchar* out, int width)
{
    for (int x = 0; x < width; ++x) {
        const quint32 p = in[x];
        out[4 * x] = uchar(p >> 16);
        out[4 * x + 1] = uchar(p >> 8);
        out[4 * x + 2] = uchar(p);
        out[4 * x + 3] = uchar(p >> 24);
    }
}

// Opaque 0x..RRGGBB words to R, G, B, 255 bytes.
void opaqueRgbaRow(const quint32* in, uchar* out, int width)
{
    for (int x = 0; x < width; ++x) {
        const quint32 p = in[x];
        out[4 * x] = uchar(p >> 16);
        out[4 * x + 1] = uchar(p >> 8);
        out[4 * x + 2] = uchar(p);
        out[4 * x + 3] = 255;
    }
}

// Opaque 0x..RRGGBB words to R, G, B bytes.
void rgbRow(const quint32* in, uchar* out, int width)
{
    for (int x = 0; x < width; ++x) {
        const quint32 p = in[x];
        out[3 * x] = uchar(p >> 16);
        out[3 * x + 1] = uchar(p >> 8);
        out[3 * x + 2] = uchar(p);
    }
}



bool isOpaque(const QImage& image)
{
    if (!image.hasAlphaChannel())
        return true;
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const quint32*>(image.constScanLine(y));
        quint32 all = 0xff000000u;
        for (int x = 0; x < image.width(); ++x)
            all &= row[x];
        if (all < 0xff000000u)
            return false;
    }
    return true;
}

// ---- Filtering ----------------------------------------------------------------

inline uchar paeth(int a, int b, int c)
{
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc)
        return uchar(a);
    return uchar(pb <= pc ? b : c);
}

// A filtered byte read as signed: the usual measure of how well a filter
// predicted the row.
inline quint32 magnitude(uchar v)
{
    return quint32(std::abs(int(qint8(v))));
}

// Each filter is its own loop over the row with a constant pixel size, so
// that the compiler turns it into vector code; each returns its row's cost.
template <int Bpp> quint32 costOfNone(const uchar* cur, qsizetype n)
{
    quint32 sum = 0;
    for (qsizetype i = 0; i < n; ++i)
        sum += magnitude(cur[i]);
    return sum;
}

template <int Bpp> quint32 filterSub(const uchar* cur, qsizetype n, uchar* out)
{
    quint32 sum = 0;
    for (int i = 0; i < Bpp; ++i) {
        out[i] = cur[i];
        sum += magnitude(out[i]);
    }
    for (qsizetype i = Bpp; i < n; ++i) {
        const uchar v = uchar(cur[i] - cur[i - Bpp]);
        out[i] = v;
        sum += magnitude(v);
    }
    return sum;
}

template <int Bpp>
quint32 filterUpCost(const uchar* cur, const uchar* prev, qsizetype n, uchar* out)
{
    quint32 sum = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const uchar v = uchar(cur[i] - prev[i]);
        out[i] = v;
        sum += magnitude(v);
    }
    return sum;
}

template <int Bpp>
quint32 filterAverage(const uchar* cur, const uchar* prev, qsizetype n, uchar* out)
{
    quint32 sum = 0;
    for (int i = 0; i < Bpp; ++i) {
        out[i] = uchar(cur[i] - (prev[i] >> 1));
        sum += magnitude(out[i]);
    }
    for (qsizetype i = Bpp; i < n; ++i) {
        const uchar v = uchar(cur[i] - ((cur[i - Bpp] + prev[i]) >> 1));
        out[i] = v;
        sum += magnitude(v);
    }
    return sum;
}

template <int Bpp> quint32 filterPaeth(const uchar* cur, const uchar* prev, qsizetype n, uchar* out)
{
    quint32 sum = 0;
    for (int i = 0; i < Bpp; ++i) {
        out[i] = uchar(cur[i] - prev[i]);
        sum += magnitude(out[i]);
    }
    for (qsizetype i = Bpp; i < n; ++i) {
        const int a = cur[i - Bpp], b = prev[i], c = prev[i - Bpp];
        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
        const int predicted = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
        const uchar v = uchar(cur[i] - predicted);
        out[i] = v;
        sum += magnitude(v);
    }
    return sum;
}

// Filters one row with each of the five filters and keeps the one whose
// bytes, read as signed, have the smallest sum of magnitudes (the usual
// heuristic). `out` receives the filter type byte and the filtered row;
// `scratch` holds 4 * n bytes.
template <int Bpp>
void filterAdaptive(const uchar* cur, const uchar* prev, qsizetype n, uchar* out, uchar* scratch)
{
    const uchar* candidates[5] = {cur, scratch, scratch + n, scratch + 2 * n, scratch + 3 * n};
    const quint32 sums[5] = {
        costOfNone<Bpp>(cur, n),
        filterSub<Bpp>(cur, n, scratch),
        filterUpCost<Bpp>(cur, prev, n, scratch + n),
        filterAverage<Bpp>(cur, prev, n, scratch + 2 * n),
        filterPaeth<Bpp>(cur, prev, n, scratch + 3 * n),
    };
    int best = 0;
    for (int f = 1; f < 5; ++f)
        if (sums[f] < sums[best])
            best = f;
    out[0] = uchar(best);
    std::memcpy(out + 1, candidates[best], size_t(n));
}

void filterAdaptiveFor(int bpp, const uchar* cur, const uchar* prev, qsizetype n, uchar* out,
                       uchar* scratch)
{
    switch (bpp) {
    case 4:
        return filterAdaptive<4>(cur, prev, n, out, scratch);
    case 3:
        return filterAdaptive<3>(cur, prev, n, out, scratch);
    case 2:
        return filterAdaptive<2>(cur, prev, n, out, scratch);
    default:
        return filterAdaptive<1>(cur, prev, n, out, scratch);
    }
}

// ---- Encoding ------------------------------------------------------------------

struct EncodeJob {
    int width = 0;
    int height = 0;
    int colourType = kColourRgba;
    int bytesPerPixel = 4;
    int level = 6;
    // When positive, the longest hash chain zlib follows for a match (with
    // level 4's other settings); zero keeps the level's own.
    int maxChain = 0;
    // Writes row y, unfiltered, as PNG pixel bytes.
    std::function<void(int y, uchar* out)> rawRow;
    Progress progress;
};

struct Piece {
    std::unique_ptr<uchar[]> data;
    size_t size = 0;
    quint32 crc = 0;   // of the compressed bytes
    quint32 adler = 1; // of the filtered bytes
    qsizetype inputBytes = 0;
    bool ok = false;
};

void encodePiece(const EncodeJob& job, int y0, int y1, bool last, Piece& piece)
{
    const qsizetype rowBytes = qsizetype(job.width) * job.bytesPerPixel;
    std::vector<uchar> rows(size_t(rowBytes) * 2 + size_t(rowBytes + 1) + size_t(rowBytes) * 4);
    uchar* prev = rows.data();
    uchar* cur = prev + rowBytes;
    uchar* filtered = cur + rowBytes;
    uchar* scratch = filtered + rowBytes + 1;
    if (y0 > 0)
        job.rawRow(y0 - 1, prev);

    z_stream stream{};
    if (deflateInit2(&stream, job.level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return;
    if (job.maxChain > 0)
        deflateTune(&stream, 4, 4, 16, job.maxChain);
    piece.inputBytes = qsizetype(y1 - y0) * (rowBytes + 1);
    const size_t capacity = deflateBound(&stream, uLong(piece.inputBytes)) + 64;
    piece.data.reset(new (std::nothrow) uchar[capacity]);
    if (!piece.data) {
        deflateEnd(&stream);
        return;
    }
    stream.next_out = piece.data.get();
    stream.avail_out = uInt(capacity);

    bool ok = true;
    for (int y = y0; y < y1 && ok; ++y) {
        job.rawRow(y, cur);
        filterAdaptiveFor(job.bytesPerPixel, cur, prev, rowBytes, filtered, scratch);
        piece.adler = quint32(libdeflate_adler32(piece.adler, filtered, size_t(rowBytes + 1)));
        stream.next_in = filtered;
        stream.avail_in = uInt(rowBytes + 1);
        const bool lastRow = y + 1 == y1;
        const int flush = !lastRow ? Z_NO_FLUSH : (last ? Z_FINISH : Z_SYNC_FLUSH);
        const int result = deflate(&stream, flush);
        ok = result == (flush == Z_FINISH ? Z_STREAM_END : Z_OK) && stream.avail_in == 0;
        std::swap(prev, cur);
    }
    piece.size = capacity - stream.avail_out;
    deflateEnd(&stream);
    if (!ok)
        return;
    piece.crc = quint32(libdeflate_crc32(0, piece.data.get(), piece.size));
    piece.ok = true;
}

QByteArray encodeRows(const EncodeJob& job)
{
    if (job.width <= 0 || job.height <= 0)
        return {};
    const qsizetype rowBytes = qsizetype(job.width) * job.bytesPerPixel + 1;
    const qsizetype total = rowBytes * job.height;
    int rowsPerPiece = job.height;
    if (total > kParallelBytes)
        rowsPerPiece = int(std::clamp<qsizetype>(kPieceBytes / rowBytes, 1, job.height));
    const int pieceCount = (job.height + rowsPerPiece - 1) / rowsPerPiece;
    std::vector<Piece> pieces(static_cast<size_t>(pieceCount));
    std::mutex progressMutex;
    int piecesDone = 0;
    ParallelFor::run(pieceCount, [&](int i) {
        const int y0 = i * rowsPerPiece;
        const int y1 = std::min(job.height, y0 + rowsPerPiece);
        encodePiece(job, y0, y1, i + 1 == pieceCount, pieces[size_t(i)]);
        if (job.progress) {
            std::lock_guard lock(progressMutex);
            job.progress(double(++piecesDone) / pieceCount);
        }
    });

    quint32 adler = 1;
    size_t size = 8 + 25 + (12 + 2) + (12 + 4) + 12;
    for (const Piece& piece : pieces) {
        if (!piece.ok)
            return {};
        adler = adler32_combine(adler, piece.adler, z_off_t(piece.inputBytes));
        size += 12 + piece.size;
    }

    QByteArray file(qsizetype(size), Qt::Uninitialized);
    uchar* out = reinterpret_cast<uchar*>(file.data());
    std::memcpy(out, kSignature, 8);
    out += 8;
    uchar header[13];
    putU32(header, quint32(job.width));
    putU32(header + 4, quint32(job.height));
    header[8] = 8;
    header[9] = uchar(job.colourType);
    header[10] = header[11] = header[12] = 0;
    appendChunk(out, "IHDR", header, sizeof header);
    // The zlib header: 32 KB window, and a level hint that decoders ignore.
    const uchar zlibHeader[2] = {0x78, uchar(job.level <= 1 ? 0x01 : job.level < 6 ? 0x5e : 0x9c)};
    appendChunk(out, "IDAT", zlibHeader, 2);
    for (const Piece& piece : pieces)
        appendChunk(out, "IDAT", piece.data.get(), piece.size, &piece.crc);
    uchar trailer[4];
    putU32(trailer, adler);
    appendChunk(out, "IDAT", trailer, 4);
    appendChunk(out, "IEND", nullptr, 0);
    Q_ASSERT(out == reinterpret_cast<uchar*>(file.data()) + file.size());
    return file;
}

} // namespace

namespace Detail {

void writeChunk(uchar*& out, const char* type, const uchar* data, size_t length,
                const quint32* dataCrc)
{
    appendChunk(out, type, data, length, dataCrc);
}

void rgbaRow(const quint32* in, uchar* out, int width)
{
    straightRow(in, out, width);
}

void addFilterCosts(const uchar* cur, const uchar* prev, qsizetype n, uchar* scratch,
                    quint64 costs[kFilterCount])
{
    costs[0] += costOfNone<4>(cur, n);
    costs[1] += filterSub<4>(cur, n, scratch);
    costs[2] += filterUpCost<4>(cur, prev, n, scratch);
    costs[3] += filterAverage<4>(cur, prev, n, scratch);
    costs[4] += filterPaeth<4>(cur, prev, n, scratch);
}

void filterWith(int type, const uchar* cur, const uchar* prev, qsizetype n, uchar* out)
{
    out[0] = uchar(type);
    switch (type) {
    case 0:
        std::memcpy(out + 1, cur, size_t(n));
        break;
    case 1:
        filterSub<4>(cur, n, out + 1);
        break;
    case 2:
        filterUpCost<4>(cur, prev, n, out + 1);
        break;
    case 3:
        filterAverage<4>(cur, prev, n, out + 1);
        break;
    default:
        filterPaeth<4>(cur, prev, n, out + 1);
        break;
    }
}

} // namespace Detail

QByteArray encode(const QImage& source, Channels channels, const Progress& progress)
{
    if (source.isNull())
        return {};
    QImage image = source;
    const QImage::Format format = image.format();
    if (format != QImage::Format_ARGB32_Premultiplied && format != QImage::Format_ARGB32 &&
        format != QImage::Format_RGB32)
        image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                              : QImage::Format_RGB32);
    if (image.isNull())
        return {};

    EncodeJob job;
    job.progress = progress;
    job.width = image.width();
    job.height = image.height();
    // Measured on a 24-megapixel photograph against level 6: level 4 writes 7%
    // more in half the time; halving its match search to chains of 8 costs
    // another 1% and saves a further fifth. Level 2 would be 10% larger.
    job.level = 4;
    job.maxChain = 8;
    const int width = job.width;
    if (channels == Channels::RgbWhenOpaque && isOpaque(image)) {
        job.colourType = kColourRgb;
        job.bytesPerPixel = 3;
        job.rawRow = [&image, width](int y, uchar* out) {
            rgbRow(reinterpret_cast<const quint32*>(image.constScanLine(y)), out, width);
        };
    } else if (image.format() == QImage::Format_RGB32) {
        job.rawRow = [&image, width](int y, uchar* out) {
            opaqueRgbaRow(reinterpret_cast<const quint32*>(image.constScanLine(y)), out, width);
        };
    } else if (image.format() == QImage::Format_ARGB32_Premultiplied) {
        job.rawRow = [&image, width](int y, uchar* out) {
            unpremultiplyRow(reinterpret_cast<const quint32*>(image.constScanLine(y)), out, width);
        };
    } else {
        job.rawRow = [&image, width](int y, uchar* out) {
            straightRow(reinterpret_cast<const quint32*>(image.constScanLine(y)), out, width);
        };
    }
    return encodeRows(job);
}

QByteArray encodeAlpha(const uchar* alpha, int width, int height, qsizetype stride)
{
    if (!alpha || width <= 0 || height <= 0 || stride < width)
        return {};
    QByteArray file(8, Qt::Uninitialized);
    std::memcpy(file.data(), kSignature, 8);
    uchar header[13];
    putU32(header, quint32(width));
    putU32(header + 4, quint32(height));
    header[8] = 8;
    header[9] = kColourGreyAlpha;
    header[10] = header[11] = header[12] = 0;
    file.resize(8 + 25 + 8);
    uchar* out = reinterpret_cast<uchar*>(file.data()) + 8;
    appendChunk(out, "IHDR", header, sizeof header);
    // The IDAT's length and type go in front of the stream once its size is known.
    const qsizetype dataStart = file.size();
    MaskDeflate::appendZlibStream(file, alpha, width, height, stride);
    const size_t length = size_t(file.size() - dataStart);
    uchar* chunk = reinterpret_cast<uchar*>(file.data()) + dataStart - 8;
    putU32(chunk, quint32(length));
    std::memcpy(chunk + 4, "IDAT", 4);
    const quint32 crc = quint32(libdeflate_crc32(0, chunk + 4, length + 4));
    file.resize(file.size() + 12 + 12);
    uchar* tail = reinterpret_cast<uchar*>(file.data()) + dataStart + qsizetype(length);
    putU32(tail, crc);
    tail += 4;
    appendChunk(tail, "IEND", nullptr, 0);
    file.resize(dataStart + qsizetype(length) + 4 + 12);
    return file;
}

} // namespace PngCodec
