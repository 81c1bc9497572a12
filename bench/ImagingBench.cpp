#include "Bench.h"

#include "imaging/ImageAction.h"
#include "imaging/JpegCodec.h"
#include "imaging/PngCodec.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// ---- Reference PNG size: zlib level 6 over adaptively filtered rows --------

int costOf(const uchar* row, qsizetype n)
{
    int sum = 0;
    for (qsizetype i = 0; i < n; ++i)
        sum += row[i] < 128 ? row[i] : 256 - row[i];
    return sum;
}

uchar paethPredictor(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return uchar(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// The size of the image data a conventional encoder writes: each row takes the
// filter with the smallest sum of magnitudes, and one zlib stream at level 6
// compresses them all. Written plainly, once per run, as the yardstick.
qsizetype referenceCompressedSize(const QImage& picture)
{
    const QImage rgba = picture.convertToFormat(QImage::Format_RGBA8888);
    const int bpp = 4;
    const qsizetype n = qsizetype(rgba.width()) * bpp;
    std::vector<uchar> zeros(size_t(n), 0), candidates(size_t(5 * n)), out(size_t(n + 1));
    z_stream stream{};
    deflateInit2(&stream, 6, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    std::vector<uchar> sink(1 << 20);
    qsizetype total = 0;
    for (int y = 0; y < rgba.height(); ++y) {
        const uchar* cur = rgba.constScanLine(y);
        const uchar* prev = y ? rgba.constScanLine(y - 1) : zeros.data();
        for (qsizetype i = 0; i < n; ++i) {
            const int a = i >= bpp ? cur[i - bpp] : 0, b = prev[i],
                      c = i >= bpp ? prev[i - bpp] : 0;
            candidates[size_t(i)] = cur[i];
            candidates[size_t(n + i)] = uchar(cur[i] - a);
            candidates[size_t(2 * n + i)] = uchar(cur[i] - b);
            candidates[size_t(3 * n + i)] = uchar(cur[i] - ((a + b) >> 1));
            candidates[size_t(4 * n + i)] = uchar(cur[i] - paethPredictor(a, b, c));
        }
        int best = 0, bestCost = costOf(candidates.data(), n);
        for (int f = 1; f < 5; ++f) {
            const int c = costOf(candidates.data() + f * n, n);
            if (c < bestCost)
                best = f, bestCost = c;
        }
        out[0] = uchar(best);
        std::memcpy(out.data() + 1, candidates.data() + best * n, size_t(n));
        stream.next_in = out.data();
        stream.avail_in = uInt(out.size());
        const bool last = y + 1 == rgba.height();
        int result;
        do {
            stream.next_out = sink.data();
            stream.avail_out = uInt(sink.size());
            result = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            total += qsizetype(sink.size() - stream.avail_out);
        } while (stream.avail_out == 0 || (last && result != Z_STREAM_END));
    }
    deflateEnd(&stream);
    return total;
}

// The bytes of all IDAT chunks of a PNG file.
qsizetype compressedSizeOf(const QByteArray& png)
{
    qsizetype total = 0;
    for (qsizetype at = 8; at + 12 <= png.size();) {
        const auto* p = reinterpret_cast<const uchar*>(png.constData() + at);
        const qsizetype length = (qsizetype(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
        if (std::memcmp(p + 4, "IDAT", 4) == 0)
            total += length;
        at += 12 + length;
    }
    return total;
}

// A 2000 x 2000 canvas mask after some editing: kept (255) almost everywhere,
// with soft-edged strokes cut to 0 along a few lines.
const std::vector<uchar>& strokeMask()
{
    static const std::vector<uchar> mask = [] {
        const int size = 2000;
        std::vector<uchar> m(size_t(size) * size, 255);
        struct Stroke {
            double x0, y0, x1, y1, radius, softness;
        };
        const Stroke strokes[] = {{200, 300, 1700, 500, 60, 30},
                                  {400, 1500, 900, 600, 40, 40},
                                  {1200, 1800, 1800, 1200, 90, 20},
                                  {100, 1000, 1900, 1100, 25, 25},
                                  {1000, 200, 1050, 1900, 70, 35}};
        for (const Stroke& s : strokes) {
            const double dx = s.x1 - s.x0, dy = s.y1 - s.y0, len2 = dx * dx + dy * dy;
            const double reach = s.radius + s.softness;
            const int xa = int(std::max(0.0, std::min(s.x0, s.x1) - reach));
            const int xb = int(std::min(size - 1.0, std::max(s.x0, s.x1) + reach));
            const int ya = int(std::max(0.0, std::min(s.y0, s.y1) - reach));
            const int yb = int(std::min(size - 1.0, std::max(s.y0, s.y1) + reach));
            for (int y = ya; y <= yb; ++y)
                for (int x = xa; x <= xb; ++x) {
                    const double t =
                        std::clamp(((x - s.x0) * dx + (y - s.y0) * dy) / len2, 0.0, 1.0);
                    const double d = std::hypot(x - (s.x0 + t * dx), y - (s.y0 + t * dy));
                    const double keep = std::clamp((d - s.radius) / s.softness, 0.0, 1.0);
                    uchar& v = m[size_t(y) * size + x];
                    v = std::min(v, uchar(std::lround(keep * 255)));
                }
        }
        return m;
    }();
    return mask;
}

QString jpegPath()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString p = QDir(dir.path()).filePath("photo-24mp.jpg");
        QFile file(p);
        if (file.open(QIODevice::WriteOnly))
            file.write(JpegCodec::encode(bench::photo(6000, 4000), 90));
        return p;
    }();
    return path;
}

} // namespace

VELTRANE_BENCH(png_encode_24mp)
{
    const Picture picture = Picture::fromImage(bench::photo(6000, 4000, true));
    QByteArray png;
    ctx.measure([&] { png = ImageAction::compressedPNGData(picture); }, 5);
    const qsizetype reference = referenceCompressedSize(picture.bestRepresentation());
    ctx.report("png_size_ratio_24mp", double(compressedSizeOf(png)) / double(reference));
}

VELTRANE_BENCH(load_jpeg_24mp)
{
    const QString path = jpegPath();
    ctx.measure([&] {
        const Picture picture = ImageAction::imageFromURL(path);
        if (picture.size() != QSizeF(6000, 4000))
            std::fprintf(stderr, "load_jpeg_24mp: %s\n", qPrintable(ImageAction::lastLoadError()));
    });
}

VELTRANE_BENCH(intake_resize_24mp)
{
    const Picture picture = ImageAction::imageFromURL(jpegPath());
    ctx.measure([&] {
        const Picture redrawn = ImageAction::resize(picture, picture.size());
        if (!redrawn.isValid())
            std::fprintf(stderr, "intake_resize_24mp: nothing\n");
    });
}

VELTRANE_BENCH(png_alpha_encode_2000)
{
    const std::vector<uchar>& mask = strokeMask();
    QByteArray png;
    ctx.measure([&] { png = PngCodec::encodeAlpha(mask.data(), 2000, 2000, 2000); }, 21);
    ctx.report("png_alpha_size_kb_2000", png.size() / 1024.0);
}

VELTRANE_BENCH(png_alpha_decode_2000)
{
    const QByteArray png = PngCodec::encodeAlpha(strokeMask().data(), 2000, 2000, 2000);
    ctx.measure(
        [&] {
            if (PngCodec::decodeAlpha(png).isNull())
                std::fprintf(stderr, "png_alpha_decode_2000: nothing\n");
        },
        21);
}
