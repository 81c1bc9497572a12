#include "canvas/Compositor.h"

#include "canvas/MaskSampling.h"
#include "canvas/PixelMath.h"
#include "canvas/ResultComposer.h"

#include "platform/ParallelFor.h"
#include "platform/Resources.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <vector>

namespace Compositor {
namespace {

using namespace MaskSampling;
using namespace PixelMath;


struct Sampling {
    // Per column of the area (only those inside the picture are filled).
    std::vector<int> pictureX, blurX, maskX, maskWeight;
    int first = 0, last = 0; // columns [first, last) lie on the picture
};

// out[c] = the picture's pixel for column c, kept whole by the mask, for c in
// [first, last): the pixel itself where it is opaque, else `under(c, p)`.
// The frame is written once and read next by the blit to the screen, so the
// aligned middle of the row goes around the cache (half the memory traffic
// on a 3840 x 2160 frame).
template <class Under>
void keptRow(std::uint32_t* out, const std::uint32_t* picRow, const int* pictureX,
             std::uint32_t opaque, int first, int last, const Under& under)
{
    auto one = [&](int c) {
        const std::uint32_t p = picRow[pictureX[c]] | opaque;
        return (p >> 24) == 255 ? p : under(c, p);
    };
    int c = first;
#if defined(__SSE2__)
    for (; c < last && (reinterpret_cast<std::uintptr_t>(out + c) & 15) != 0; ++c)
        out[c] = one(c);
    const __m128i alpha = _mm_set1_epi32(int(0xff000000));
    const __m128i orOpaque = _mm_set1_epi32(int(opaque));
    for (; c + 4 <= last; c += 4) {
        __m128i four =
            _mm_or_si128(_mm_set_epi32(int(picRow[pictureX[c + 3]]), int(picRow[pictureX[c + 2]]),
                                       int(picRow[pictureX[c + 1]]), int(picRow[pictureX[c]])),
                         orOpaque);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(four, alpha), alpha)) != 0xffff)
            four = _mm_set_epi32(int(one(c + 3)), int(one(c + 2)), int(one(c + 1)), int(one(c)));
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + c), four);
    }
#endif
    for (; c < last; ++c)
        out[c] = one(c);
}

// The first and the last column from `from` to `to` where either mask row that
// linear filtering reads at `rowCoord` is below 255 (first > last when none
// is): outside them every pixel sampled is kept whole.
std::pair<int, int> cutColumns(const QImage& mask, double rowCoord, int from, int to)
{
    const int height = mask.height();
    const int r0 = std::clamp(int(std::floor(rowCoord)), 0, height - 1);
    const int r1 = std::clamp(int(std::floor(rowCoord)) + 1, 0, height - 1);
    int lo = to + 1, hi = from - 1;
    for (int r : {r0, r1}) {
        const std::uint8_t* row = mask.constScanLine(r);
        int x = from;
        for (std::uint64_t eight; x + 8 <= std::min(lo, to + 1); x += 8) {
            std::memcpy(&eight, row + x, 8);
            if (eight != ~std::uint64_t(0))
                break;
        }
        while (x < lo && row[x] == 255)
            ++x;
        lo = std::min(lo, x);
        if (x > to)
            continue; // nothing cut in this row
        int y = to;
        for (std::uint64_t eight; y - 7 >= std::max(hi + 1, from); y -= 8) {
            std::memcpy(&eight, row + y - 7, 8);
            if (eight != ~std::uint64_t(0))
                break;
        }
        while (y > hi && y >= from && row[y] == 255)
            --y;
        hi = std::max(hi, y);
    }
    return {lo, hi};
}

} // namespace

void paintFrame(QImage& frame, const QRect& requested, const QImage& tile, const Layers& layers,
                const ViewTransform& t)
{
    const QRect area = requested & frame.rect();
    if (area.isEmpty())
        return;
    const int canvasHeight = frame.height();
    const double pw = layers.pictureSize.width();
    const double ph = layers.pictureSize.height();
    const bool hasPicture = !layers.picture.isNull() && !layers.mask.isNull() && t.scale > 0 &&
                            pw > 0 && ph > 0;

    Sampling sampling;
    if (hasPicture) {
        const int n = area.width();
        sampling.pictureX.resize(n);
        sampling.blurX.resize(n);
        sampling.maskX.resize(n);
        sampling.maskWeight.resize(n);
        sampling.first = n;
        sampling.last = 0;
        const int lw = layers.picture.width();
        const int bw = layers.blur.isNull() ? 0 : layers.blur.width();
        const int mw = layers.mask.width();
        for (int c = 0; c < n; ++c) {
            const double px = (area.left() + c + 0.5 - t.tx) / t.scale + pw / 2;
            if (px < 0 || px >= pw)
                continue;
            sampling.first = std::min(sampling.first, c);
            sampling.last = std::max(sampling.last, c + 1);
            sampling.pictureX[c] = std::min(lw - 1, int(px * lw / pw));
            sampling.blurX[c] = bw ? std::min(bw - 1, int(px * bw / pw)) : 0;
            const double mx = std::clamp(px * mw / pw - 0.5, 0.0, double(mw - 1));
            const double fl = std::floor(mx);
            sampling.maskX[c] = int(fl);
            sampling.maskWeight[c] = int(std::lround((mx - fl) * 256));
        }
    }

    const int tileW = tile.width();
    const int tileH = tile.height();

    auto rows = [&](int begin, int end) {
        std::vector<std::uint16_t> maskRow(hasPicture ? layers.mask.width() + 1 : 0);
        const std::uint32_t opaque =
            layers.picture.format() == QImage::Format_RGB32 ? 0xff000000 : 0;
        for (int i = begin; i < end; ++i) {
            const int y = area.top() + i;
            auto* out = reinterpret_cast<std::uint32_t*>(frame.scanLine(y)) + area.left();
            const auto* tileRow =
                reinterpret_cast<const std::uint32_t*>(tile.constScanLine(y % tileH));
            // The backdrop, anchored at the canvas's upper-left corner: the
            // tile, or the chosen colour.
            auto backdrop = [&](int c0, int c1) {
                if (layers.backdrop) {
                    std::fill(out + c0, out + c1, layers.backdrop);
                    return;
                }
                for (int c = c0, tx = (area.left() + c0) % tileW; c < c1; ++c) {
                    out[c] = tileRow[tx];
                    if (++tx == tileW)
                        tx = 0;
                }
            };
            auto backdropAt = [&](int c) {
                return layers.backdrop ? layers.backdrop : tileRow[(area.left() + c) % tileW];
            };
            // Canvas y up at the pixel centre, then the picture row from the top.
            const double vy = canvasHeight - (y + 0.5);
            const double py = ph - ((vy - t.ty) / t.scale + ph / 2);
            if (!hasPicture || sampling.first >= sampling.last || py < 0 || py >= ph) {
                backdrop(0, area.width());
                continue;
            }
            const QImage& pic = layers.picture;
            const auto* picRow = reinterpret_cast<const std::uint32_t*>(
                pic.constScanLine(std::min(pic.height() - 1, int(py * pic.height() / ph))));
            const int from = sampling.maskX[sampling.first];
            const int to = std::min(layers.mask.width() - 1, sampling.maskX[sampling.last - 1] + 1);
            const double maskRowCoord = py * layers.mask.height() / ph - 0.5;
            const std::uint32_t* blurRow = nullptr;
            if (!layers.blur.isNull())
                blurRow = reinterpret_cast<const std::uint32_t*>(layers.blur.constScanLine(
                    std::min(layers.blur.height() - 1, int(py * layers.blur.height() / ph))));
            if (layers.mode != ViewMode::CutOut) {
                backdrop(0, area.width());
                interpolateMaskRow(layers.mask, maskRowCoord, from, to, maskRow.data());
                maskRow[to + 1 < int(maskRow.size()) ? to + 1 : to] = maskRow[to];
                auto picture = [&](int c) { return picRow[sampling.pictureX[c]] | opaque; };
                auto mask = [&](int c) {
                    return maskAt(maskRow.data(), sampling.maskX[c], sampling.maskWeight[c]);
                };
                for (int c = sampling.first; c < sampling.last; ++c) {
                    switch (layers.mode) {
                    case ViewMode::Original:
                        out[c] = over(picture(c), out[c]);
                        break;
                    case ViewMode::Mask:
                        out[c] = 0xff000000u | (mask(c) * 0x010101u);
                        break;
                    default: {
                        // Half of the tint where cut entirely, less where partly.
                        const std::uint32_t k = (255 - mask(c) + 1) / 2;
                        const std::uint32_t base = over(picture(c), out[c]);
                        out[c] = k ? byteMul(base, 255 - k) + byteMul(layers.tint, k) : base;
                    }
                    }
                }
                continue;
            }
            // Columns whose mask taps are all 255 show the picture kept whole,
            // and only its translucent pixels let anything through: the
            // backdrop is drawn beside it and under the cut columns alone.
            const int* maskX = sampling.maskX.data();
            int slowFirst = sampling.last, slowLast = sampling.last;
            if (const auto [cutLo, cutHi] = cutColumns(layers.mask, maskRowCoord, from, to);
                cutLo <= cutHi) {
                slowFirst = int(std::partition_point(maskX + sampling.first, maskX + sampling.last,
                                                     [&](int x) { return x + 1 < cutLo; }) -
                                maskX);
                slowLast = int(std::partition_point(maskX + slowFirst, maskX + sampling.last,
                                                    [&](int x) { return x <= cutHi; }) -
                               maskX);
            }
            auto kept = [&](int c0, int c1) {
                keptRow(out, picRow, sampling.pictureX.data(), opaque, c0, c1,
                        [&](int c, std::uint32_t p) {
                            std::uint32_t below = backdropAt(c);
                            if (blurRow)
                                below = over(blurRow[sampling.blurX[c]], below);
                            return over(p, below);
                        });
            };
            backdrop(0, sampling.first);
            kept(sampling.first, slowFirst);
            if (slowFirst < slowLast) {
                backdrop(slowFirst, slowLast);
                const int cutFrom = maskX[slowFirst];
                const int cutTo = std::min(layers.mask.width() - 1, maskX[slowLast - 1] + 1);
                interpolateMaskRow(layers.mask, maskRowCoord, cutFrom, cutTo, maskRow.data());
                maskRow[cutTo + 1 < int(maskRow.size()) ? cutTo + 1 : cutTo] = maskRow[cutTo];
                for (int c = slowFirst; c < slowLast; ++c) {
                    const std::uint32_t m =
                        maskAt(maskRow.data(), maskX[c], sampling.maskWeight[c]);
                    std::uint32_t under = out[c];
                    if (blurRow)
                        under = over(blurRow[sampling.blurX[c]], under);
                    std::uint32_t p = picRow[sampling.pictureX[c]] | opaque;
                    if (m == 255) {
                        out[c] = over(p, under);
                    } else if (m == 0) {
                        out[c] = under;
                    } else {
                        out[c] = over(byteMul(p, m), under);
                    }
                }
            }
            kept(slowLast, sampling.last);
            backdrop(sampling.last, area.width());
        }
#if defined(__SSE2__)
        _mm_sfence(); // the streamed rows are seen by whoever reads the frame next
#endif
    };
    // Small repaints (a brush dab) are not worth a thread.
    ParallelFor::run(area.height(), std::max(16, 60000 / std::max(1, area.width())), rows);
}

QImage result(const QImage& picture, const QImage& blur, const QImage& mask, QSizeF pictureSize,
              QSize size, bool keepColours)
{
    return ResultComposer(picture, blur, mask, pictureSize, size, ResultComposer::Refine::Off,
                          keepColours ? ResultComposer::UnderCut::KeptColours
                                      : ResultComposer::UnderCut::Dropped)
        .image();
}

QImage backdropTile()
{
    Resources::load();
    QImage tile(QStringLiteral(":/tile.png"));
    if (tile.isNull()) {
        // A plain checkerboard keeps the canvas usable without the resource.
        tile = QImage(20, 20, QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 20; ++x)
                tile.setPixel(x, y, ((x / 10 + y / 10) % 2) ? 0xffd6d6d6 : 0xffffffff);
    }
    return tile.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage backdropTile(qreal ratio)
{
    Resources::load();
    QImage tile(QStringLiteral(":/tile.png"));
    if (tile.isNull()) {
        // A plain checkerboard keeps the canvas usable without the resource.
        tile = QImage(20, 20, QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 20; ++x)
                tile.setPixel(x, y, ((x / 10 + y / 10) % 2) ? 0xffd6d6d6 : 0xffffffff);
    }
    if (ratio != 1)
        tile = tile.scaled((QSizeF(tile.size()) * ratio).toSize(), Qt::IgnoreAspectRatio,
                           Qt::FastTransformation);
    return tile.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage halve(const QImage& image)
{
    const int w = std::max(1, (image.width() + 1) / 2);
    const int h = std::max(1, (image.height() + 1) / 2);
    QImage out(w, h, image.format() == QImage::Format_RGB32 ? QImage::Format_RGB32
                                                             : QImage::Format_ARGB32_Premultiplied);
    if (out.isNull())
        return out;
    const int sw = image.width();
    const int sh = image.height();
    auto rows = [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            const auto* a = reinterpret_cast<const std::uint8_t*>(image.constScanLine(std::min(2 * y, sh - 1)));
            const auto* b = reinterpret_cast<const std::uint8_t*>(image.constScanLine(std::min(2 * y + 1, sh - 1)));
            auto* d = reinterpret_cast<std::uint8_t*>(out.scanLine(y));
            for (int x = 0; x < w; ++x) {
                const int x0 = std::min(2 * x, sw - 1) * 4;
                const int x1 = std::min(2 * x + 1, sw - 1) * 4;
                for (int k = 0; k < 4; ++k)
                    d[4 * x + k] = std::uint8_t((a[x0 + k] + a[x1 + k] + b[x0 + k] + b[x1 + k] + 2) >> 2);
            }
        }
    };
    ParallelFor::run(h, 256, rows);
    return out;
}

} // namespace Compositor
