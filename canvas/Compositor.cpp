#include "canvas/Compositor.h"

#include "platform/ParallelFor.h"
#include "platform/Resources.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace Compositor {
namespace {

// x * a / 255 per 8-bit channel, two channels at a time.
inline std::uint32_t byteMul(std::uint32_t x, std::uint32_t a)
{
    std::uint32_t t = (x & 0xff00ff) * a;
    t = (t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8;
    t &= 0xff00ff;
    x = ((x >> 8) & 0xff00ff) * a;
    x = (x + ((x >> 8) & 0xff00ff) + 0x800080);
    x &= 0xff00ff00;
    return x | t;
}

// Source over destination, premultiplied.
inline std::uint32_t over(std::uint32_t src, std::uint32_t dst)
{
    const std::uint32_t alpha = src >> 24;
    if (alpha == 255)
        return src;
    if (alpha == 0)
        return src + dst; // src may still carry light (additive pixels); usually 0
    return src + byteMul(dst, 255 - alpha);
}

// x / 255, rounded to nearest, for x up to 255 * 255.
inline std::uint32_t div255(std::uint32_t x)
{
    x += 128;
    return (x + (x >> 8)) >> 8;
}

// Straight 0xAARRGGBB to premultiplied, and back.
inline std::uint32_t premultiply(std::uint32_t p)
{
    const std::uint32_t a = p >> 24;
    return a == 255 ? p : (byteMul(p | 0xff000000u, a) & 0x00ffffffu) | (a << 24);
}

inline std::uint32_t unpremultiply(std::uint32_t p)
{
    const std::uint32_t a = p >> 24;
    if (a == 255 || a == 0)
        return a ? p : 0;
    auto channel = [a](std::uint32_t c) { return std::min<std::uint32_t>(255, (c * 255 + a / 2) / a); };
    return (a << 24) | (channel((p >> 16) & 0xff) << 16) | (channel((p >> 8) & 0xff) << 8) |
           channel(p & 0xff);
}

struct Sampling {
    // Per column of the area (only those inside the picture are filled).
    std::vector<int> pictureX, blurX, maskX, maskWeight;
    int first = 0, last = 0; // columns [first, last) lie on the picture
};

// Mask value at one column, from a row already interpolated vertically
// (0..255 * 256) and the column's weight.
inline std::uint32_t maskAt(const std::uint16_t* row, int x0, int weight)
{
    const std::uint32_t v = row[x0] * std::uint32_t(256 - weight) + row[x0 + 1] * std::uint32_t(weight);
    return (v + (1u << 15)) >> 16;
}

// Linear filtering between two mask rows; clamps at the mask's edges.
void interpolateMaskRow(const QImage& mask, double rowCoord, int from, int to, std::uint16_t* out)
{
    const int height = mask.height();
    const double fl = std::floor(rowCoord);
    const int r0 = std::clamp(int(fl), 0, height - 1);
    const int r1 = std::clamp(int(fl) + 1, 0, height - 1);
    const int w = int(std::lround((rowCoord - fl) * 256));
    const std::uint8_t* a = mask.constScanLine(r0);
    const std::uint8_t* b = mask.constScanLine(r1);
    for (int x = from; x <= to; ++x)
        out[x] = std::uint16_t(a[x] * (256 - w) + b[x] * w);
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
        for (int i = begin; i < end; ++i) {
            const int y = area.top() + i;
            auto* out = reinterpret_cast<std::uint32_t*>(frame.scanLine(y)) + area.left();
            const auto* tileRow = reinterpret_cast<const std::uint32_t*>(tile.constScanLine(y % tileH));
            // Backdrop first, anchored at the canvas's upper-left corner.
            if (layers.backdrop) {
                std::fill(out, out + area.width(), layers.backdrop);
            } else {
                for (int c = 0, tx = area.left() % tileW; c < area.width(); ++c) {
                    out[c] = tileRow[tx];
                    if (++tx == tileW)
                        tx = 0;
                }
            }
            if (!hasPicture || sampling.first >= sampling.last)
                continue;
            // Canvas y up at the pixel centre, then the picture row from the top.
            const double vy = canvasHeight - (y + 0.5);
            const double py = ph - ((vy - t.ty) / t.scale + ph / 2);
            if (py < 0 || py >= ph)
                continue;
            const QImage& pic = layers.picture;
            const auto* picRow = reinterpret_cast<const std::uint32_t*>(
                pic.constScanLine(std::min(pic.height() - 1, int(py * pic.height() / ph))));
            const std::uint32_t* blurRow = nullptr;
            if (!layers.blur.isNull())
                blurRow = reinterpret_cast<const std::uint32_t*>(layers.blur.constScanLine(
                    std::min(layers.blur.height() - 1, int(py * layers.blur.height() / ph))));
            const int from = sampling.maskX[sampling.first];
            const int to = std::min(layers.mask.width() - 1, sampling.maskX[sampling.last - 1] + 1);
            interpolateMaskRow(layers.mask, py * layers.mask.height() / ph - 0.5, from, to,
                               maskRow.data());
            maskRow[to + 1 < int(maskRow.size()) ? to + 1 : to] = maskRow[to];
            const std::uint32_t opaque = pic.format() == QImage::Format_RGB32 ? 0xff000000u : 0;
            auto picture = [&](int c) { return picRow[sampling.pictureX[c]] | opaque; };
            auto mask = [&](int c) { return maskAt(maskRow.data(), sampling.maskX[c], sampling.maskWeight[c]); };
            switch (layers.mode) {
            case ViewMode::Original:
                for (int c = sampling.first; c < sampling.last; ++c)
                    out[c] = over(picture(c), out[c]);
                continue;
            case ViewMode::Mask:
                for (int c = sampling.first; c < sampling.last; ++c)
                    out[c] = 0xff000000u | (mask(c) * 0x010101u);
                continue;
            case ViewMode::Overlay:
                // Half of the tint where cut entirely, less where partly.
                for (int c = sampling.first; c < sampling.last; ++c) {
                    const std::uint32_t k = (255 - mask(c) + 1) / 2;
                    const std::uint32_t base = over(picture(c), out[c]);
                    out[c] = k ? byteMul(base, 255 - k) + byteMul(layers.tint, k) : base;
                }
                continue;
            case ViewMode::CutOut:
                break;
            }
            for (int c = sampling.first; c < sampling.last; ++c) {
                const std::uint32_t m = mask(c);
                std::uint32_t under = out[c];
                if (blurRow)
                    under = over(blurRow[sampling.blurX[c]], under);
                const std::uint32_t p = picture(c);
                if (m == 255) {
                    out[c] = over(p, under);
                } else if (m == 0) {
                    out[c] = under;
                } else {
                    out[c] = over(byteMul(p, m), under);
                }
            }
        }
    };
    // Small repaints (a brush dab) are not worth a thread.
    ParallelFor::run(area.height(), std::max(16, 60000 / std::max(1, area.width())), rows);
}

QImage result(const QImage& picture, const QImage& blur, const QImage& mask, QSizeF pictureSize,
              QSize size, bool keepColours)
{
    if (size.isEmpty() || picture.isNull())
        return {};
    // Straight colour in and out: a premultiplied source can only give back
    // what it kept, and only an opaque one keeps everything.
    QImage source = picture;
    if (source.format() != QImage::Format_ARGB32 && source.format() != QImage::Format_RGB32)
        source = source.convertToFormat(source.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                 : QImage::Format_RGB32);
    QImage out(size, QImage::Format_ARGB32);
    if (out.isNull() || source.isNull())
        return {};
    const double pw = pictureSize.width();
    const double ph = pictureSize.height();
    const int n = size.width();
    std::vector<int> picX(n), blurX(n), maskX(n), maskW(n);
    const int mw = mask.isNull() ? 0 : mask.width();
    for (int x = 0; x < n; ++x) {
        const double px = x + 0.5;
        picX[x] = std::min(source.width() - 1, int(px * source.width() / pw));
        blurX[x] = blur.isNull() ? 0 : std::min(blur.width() - 1, int(px * blur.width() / pw));
        if (mw) {
            const double mx = std::clamp(px * mw / pw - 0.5, 0.0, double(mw - 1));
            maskX[x] = int(std::floor(mx));
            maskW[x] = int(std::lround((mx - maskX[x]) * 256));
        }
    }
    const std::uint32_t opaque = source.format() == QImage::Format_RGB32 ? 0xff000000u : 0;
    // What a pixel cut away entirely keeps of the picture: nothing, or its colour.
    const std::uint32_t keptUnderCut = keepColours ? 0x00ffffffu : 0;
    auto rows = [&](int begin, int end) {
        std::vector<std::uint16_t> maskRow(mw + 1);
        for (int y = begin; y < end; ++y) {
            auto* dst = reinterpret_cast<std::uint32_t*>(out.scanLine(y));
            const double py = y + 0.5;
            const auto* picRow = reinterpret_cast<const std::uint32_t*>(
                source.constScanLine(std::min(source.height() - 1, int(py * source.height() / ph))));
            const std::uint32_t* blurRow = nullptr;
            if (!blur.isNull())
                blurRow = reinterpret_cast<const std::uint32_t*>(
                    blur.constScanLine(std::min(blur.height() - 1, int(py * blur.height() / ph))));
            if (!mw) {
                // No mask: nothing of the picture is kept.
                for (int x = 0; x < n; ++x)
                    dst[x] = blurRow ? unpremultiply(blurRow[blurX[x]]) : picRow[picX[x]] & keptUnderCut;
                continue;
            }
            interpolateMaskRow(mask, py * mask.height() / ph - 0.5, 0, mw - 1, maskRow.data());
            maskRow[mw] = maskRow[mw - 1];
            for (int x = 0; x < n; ++x) {
                const std::uint32_t m = maskAt(maskRow.data(), maskX[x], maskW[x]);
                const std::uint32_t p = picRow[picX[x]] | opaque;
                // Kept whole: the picture's own pixel. Cut partly: its alpha
                // times the mask's, rounded, its colour unchanged.
                std::uint32_t src = p & keptUnderCut;
                if (m == 255) {
                    src = p;
                } else if (m != 0) {
                    const std::uint32_t alpha = div255((p >> 24) * m);
                    src = alpha ? (alpha << 24) | (p & 0xffffff) : p & keptUnderCut;
                }
                if (blurRow && (src >> 24) != 255)
                    src = unpremultiply(over(premultiply(src), blurRow[blurX[x]]));
                dst[x] = src;
            }
        }
    };
    ParallelFor::run(size.height(), 128, rows);
    return out;
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
