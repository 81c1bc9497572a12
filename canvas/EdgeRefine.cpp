#include "canvas/EdgeRefine.h"

#include "canvas/EdgeRefine_p.h"

#include "canvas/Compositor.h"
#include "platform/ParallelFor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

// How the band is refined
// -----------------------
// The mask is (or stands for) the true alpha averaged over each mask pixel's
// cell of s x s picture pixels. Locally, alpha is close to a linear function
// of the picture's colour (a foreground and a background colour mix along a
// line in colour space), and averaging over cells keeps such a relation: if
// alpha = a.I + b on every pixel of a window, then the mask value of each cell
// is a.Ibar + b, Ibar being the cell's mean colour. So a and b are fitted at
// mask resolution, as a guided filter with the cells' mean colours as guide
// and the mask as input (a regression over a window of cells, regularised by
// epsilon, O(1) per cell with box sums), averaged over the windows that cover a
// cell, interpolated to picture pixels and applied to each pixel's own colour.
// An edge between two colours then comes out as sharp as it is in the
// picture, a strand of one to three pixels as thin as it is, and the work at
// picture resolution is a few multiplications per band pixel.
//
// Where the colours do not explain the mask (a flat area, colours that barely
// vary, a soft brush stroke over texture unrelated to it) the stretched mask
// is kept: each model is trusted by the share of the mask's variance over its
// window that it explains (its R squared), 0 for a flat picture, so that
// there the result is the stretched mask exactly.
//
// Partly kept pixels get the foreground colour, not their own mixed one: the
// foreground and background colours around each cell are estimated as the
// means of the cells in a window, weighted by the mask to the fourth power
// (so mostly the fully kept cells) for the foreground and by its complement
// to the fourth power for the background; a pixel of alpha a and colour I then takes
// F = Fmean + a (I - a Fmean - (1 - a) Bmean), the local foreground corrected
// by the part of its own colour that the mix of the two means leaves
// unexplained. Low alpha leans on the neighbourhood's foreground, high alpha
// on the pixel's own colour, and over another background the cut-out shows
// no rim of the old one.

namespace EdgeRefine {
namespace Detail {

Geometry makeGeometry(QSize size, QSizeF pictureSize, QSize maskSize, QSize sourceSize)
{
    Geometry g;
    g.width = size.width();
    g.height = size.height();
    g.mw = maskSize.width();
    g.mh = maskSize.height();
    g.pw = pictureSize.width();
    g.ph = pictureSize.height();
    auto axis = [](int n, int cells, double extent, int sourceN, std::vector<int>& cell,
                   std::vector<int>& first, std::vector<int>& low, std::vector<int>& high,
                   std::vector<float>& frac, std::vector<int>& source) {
        cell.resize(size_t(n));
        low.resize(size_t(n));
        high.resize(size_t(n));
        frac.resize(size_t(n));
        source.resize(size_t(n));
        first.assign(size_t(cells) + 1, n);
        for (int i = n - 1; i >= 0; --i) {
            const double centre = i + 0.5;
            cell[size_t(i)] = std::clamp(int(centre * cells / extent), 0, cells - 1);
            first[size_t(cell[size_t(i)])] = i;
            const double m = std::clamp(centre * cells / extent - 0.5, 0.0, double(cells - 1));
            low[size_t(i)] = int(m);
            high[size_t(i)] = std::min(low[size_t(i)] + 1, cells - 1);
            frac[size_t(i)] = float(m - low[size_t(i)]);
            source[size_t(i)] = std::min(sourceN - 1, int(centre * sourceN / extent));
        }
        // Cells without a pixel of their own start where the next one does.
        for (int c = cells - 1; c >= 0; --c)
            first[size_t(c)] = std::min(first[size_t(c)], first[size_t(c) + 1]);
    };
    axis(g.width, g.mw, g.pw, sourceSize.width(), g.cellX, g.firstX, g.lowX, g.highX, g.fracX,
         g.sourceX);
    axis(g.height, g.mh, g.ph, sourceSize.height(), g.cellY, g.firstY, g.lowY, g.highY, g.fracY,
         g.sourceY);
    g.maskX.resize(size_t(g.width));
    g.maskWx.resize(size_t(g.width));
    for (int x = 0; x < g.width; ++x) {
        const double mx = std::clamp((x + 0.5) * g.mw / g.pw - 0.5, 0.0, double(g.mw - 1));
        g.maskX[size_t(x)] = int(std::floor(mx));
        g.maskWx[size_t(x)] = int(std::lround((mx - g.maskX[size_t(x)]) * 256));
    }
    g.maskY0.resize(size_t(g.height));
    g.maskY1.resize(size_t(g.height));
    g.maskWy.resize(size_t(g.height));
    for (int y = 0; y < g.height; ++y) {
        const double rowCoord = (y + 0.5) * g.mh / g.ph - 0.5;
        const double fl = std::floor(rowCoord);
        g.maskY0[size_t(y)] = std::clamp(int(fl), 0, g.mh - 1);
        g.maskY1[size_t(y)] = std::clamp(int(fl) + 1, 0, g.mh - 1);
        g.maskWy[size_t(y)] = int(std::lround((rowCoord - fl) * 256));
    }
    return g;
}

// The stretched mask on columns [from, to] of row y, as the compositor
// computes it: linear between two mask rows (16-bit), then between columns.
void stretchedRow(const Geometry& g, const QImage& mask, int y, int from, int to,
                  std::vector<std::uint16_t>& rowScratch, std::uint8_t* out)
{
    const int m0 = g.maskX[size_t(from)];
    const int m1 = std::min(g.mw - 1, g.maskX[size_t(to)] + 1);
    rowScratch.resize(size_t(g.mw) + 1);
    const std::uint8_t* a = mask.constScanLine(g.maskY0[size_t(y)]);
    const std::uint8_t* b = mask.constScanLine(g.maskY1[size_t(y)]);
    const int w = g.maskWy[size_t(y)];
    std::uint16_t* row = rowScratch.data();
    for (int x = m0; x <= m1; ++x)
        row[x] = std::uint16_t(a[x] * (256 - w) + b[x] * w);
    for (int x = from; x <= to; ++x) {
        const int x0 = g.maskX[size_t(x)];
        const int x1 = std::min(x0 + 1, g.mw - 1);
        const int wx = g.maskWx[size_t(x)];
        const std::uint32_t v = row[x0] * std::uint32_t(256 - wx) + row[x1] * std::uint32_t(wx);
        out[x - from] = std::uint8_t((v + (1u << 15)) >> 16);
    }
}

bool holdsFullSize(QSize maskSize, QSizeF pictureSize)
{
    return maskSize.width() >= std::floor(pictureSize.width()) &&
           maskSize.height() >= std::floor(pictureSize.height());
}

QImage eightBitMask(const QImage& mask)
{
    if (mask.isNull() || mask.format() == QImage::Format_Alpha8 ||
        mask.format() == QImage::Format_Grayscale8)
        return mask;
    return mask.convertToFormat(QImage::Format_Alpha8);
}

} // namespace Detail

using namespace Detail;

Parameters parameters(QSize maskSize, QSizeF pictureSize)
{
    Parameters p;
    // Colour differences of about 2.5 levels (per window, between cell means,
    // each the mean of s x s pixels) still steer the edge; below that the
    // model's slope shrinks, so sensor noise and JPEG artefacts do not.
    p.epsilon = 1e-4f;
    if (maskSize.isEmpty() || pictureSize.isEmpty())
        return p;
    const double sx = pictureSize.width() / maskSize.width();
    const double sy = pictureSize.height() / maskSize.height();
    p.scale = std::max(1.0, (sx + sy) / 2);
    // A mask painted to within a mask pixel may put the picture's edge up to
    // half a cell beyond the partial pixels: the refinement applies whole up
    // to there, then fades out over half a cell and a pixel more, so that no
    // seam shows where the band ends. (Capped for masks far smaller than the
    // picture, where a cell is a block of its own.)
    p.widening = std::min(64, int(std::ceil(p.scale)) + 1);
    p.fullReach = std::min(p.widening, int(std::ceil(p.scale / 2)));
    // A window of about 13 picture pixels across (15 at three pixels per cell),
    // but never fewer than 5 x 5 cells: the model has four unknowns. The
    // models are averaged over the windows that hold the pixel's own cell and
    // its neighbours (radius one less), the colours over a cell more.
    p.window = std::max(2, int(std::lround(6 / p.scale)));
    p.averaging = p.window - 1;
    p.colourReach = p.window + 1;
    return p;
}

QImage result(const QImage& picture, const QImage& blur, const QImage& mask, QSizeF pictureSize,
              QSize size)
{
    QImage source = picture;
    if (!source.isNull() && source.format() != QImage::Format_ARGB32 &&
        source.format() != QImage::Format_RGB32)
        source = source.convertToFormat(source.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                 : QImage::Format_RGB32);
    const QImage mask8 = eightBitMask(mask);
    QImage out = Compositor::result(source, blur, mask8, pictureSize, size);
    if (out.isNull() || mask8.isNull() || pictureSize.width() <= 0 || pictureSize.height() <= 0 ||
        holdsFullSize(mask8.size(), pictureSize))
        return out;

    const Parameters prm = parameters(mask8.size(), pictureSize);
    const Geometry g = makeGeometry(size, pictureSize, mask8.size(), source.size());
    Job job;
    job.g = &g;
    job.prm = &prm;
    job.source = &source;
    job.colour = source.format() == QImage::Format_RGB32 ? Colour::Opaque : Colour::Straight;
    job.mask = &mask8;
    job.region = QRect(QPoint(0, 0), size);
    job.bits = out.bits();
    job.stride = out.bytesPerLine();
    job.premultipliedOut = false;
    job.blur = blur.isNull() ? nullptr : &blur;
    if (job.blur) {
        job.blurX.resize(size_t(size.width()));
        job.blurY.resize(size_t(size.height()));
        for (int x = 0; x < size.width(); ++x)
            job.blurX[size_t(x)] =
                std::min(blur.width() - 1, int((x + 0.5) * blur.width() / pictureSize.width()));
        for (int y = 0; y < size.height(); ++y)
            job.blurY[size_t(y)] =
                std::min(blur.height() - 1, int((y + 0.5) * blur.height() / pictureSize.height()));
    }
    refineBand(job, nullptr);
    return out;
}

QImage refineRegion(const QImage& picture, const QImage& mask, QSizeF pictureSize, QSize size,
                    const QRect& region, const std::atomic<bool>* cancel)
{
    const QRect area = region & QRect(QPoint(0, 0), size);
    if (area.isEmpty() || picture.isNull() || pictureSize.width() <= 0 || pictureSize.height() <= 0)
        return {};
    QImage out(area.size(), QImage::Format_ARGB32_Premultiplied);
    if (out.isNull())
        return {};
    const QImage mask8 = eightBitMask(mask);
    if (mask8.isNull()) {
        out.fill(0); // no mask shows nothing of the picture
        return out;
    }
    QImage source = picture;
    if (source.format() != QImage::Format_ARGB32 && source.format() != QImage::Format_RGB32 &&
        source.format() != QImage::Format_ARGB32_Premultiplied)
        source = source.convertToFormat(
            source.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    const Colour colour = source.format() == QImage::Format_RGB32    ? Colour::Opaque
                          : source.format() == QImage::Format_ARGB32 ? Colour::Straight
                                                                     : Colour::Premultiplied;
    const Parameters prm = parameters(mask8.size(), pictureSize);
    const Geometry g = makeGeometry(size, pictureSize, mask8.size(), source.size());

    // The picture through the stretched mask, as the canvas paints it.
    uchar* bits = out.bits();
    const qsizetype stride = out.bytesPerLine();
    std::vector<std::uint8_t> stretched(size_t(area.width()) * size_t(area.height()));
    ParallelFor::run(area.height(), 64, [&](int begin, int end) {
        std::vector<std::uint16_t> maskRow;
        for (int i = begin; i < end; ++i) {
            const int y = area.top() + i;
            std::uint8_t* m = stretched.data() + size_t(i) * size_t(area.width());
            stretchedRow(g, mask8, y, area.left(), area.right(), maskRow, m);
            const auto* src =
                reinterpret_cast<const std::uint32_t*>(source.constScanLine(g.sourceY[size_t(y)]));
            auto* dst = reinterpret_cast<std::uint32_t*>(bits + i * stride);
            for (int c = 0; c < area.width(); ++c) {
                std::uint32_t p = src[g.sourceX[size_t(area.left() + c)]];
                p = colour == Colour::Opaque     ? p | 0xff000000u
                    : colour == Colour::Straight ? premultiply(p)
                                                 : p;
                const std::uint32_t a = m[c];
                dst[c] = a == 255 ? p : a == 0 ? 0 : byteMul(p, a);
            }
        }
    });

    if (holdsFullSize(mask8.size(), pictureSize))
        return out;
    Job job;
    job.g = &g;
    job.prm = &prm;
    job.source = &source;
    job.colour = colour;
    job.mask = &mask8;
    job.region = area;
    job.bits = bits;
    job.stride = stride;
    job.premultipliedOut = true;
    job.blur = nullptr;
    job.known = stretched.data();
    job.knownArea = area;
    if (!refineBand(job, cancel))
        return {};
    return out;
}

} // namespace EdgeRefine
