// The refinement of the band, one tile of cells at a time (see EdgeRefine.cpp
// for how the band is refined).
#include "canvas/EdgeRefine_p.h"

#include "platform/ParallelFor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace EdgeRefine::Detail {
namespace {

template <Colour colour> inline std::uint32_t straightAt(const std::uint32_t* row, int x)
{
    const std::uint32_t p = row[x];
    if constexpr (colour == Colour::Opaque)
        return p | 0xff000000u;
    else if constexpr (colour == Colour::Straight)
        return p;
    else
        return unpremultiply(p);
}

// Rounds v * 255 to a byte, for v about 0..1.
inline std::uint32_t toByte(float v)
{
    return std::uint32_t(std::clamp(int(v * 255.0f + 0.5f), 0, 255));
}

// Solves (S + e I) a = v for the symmetric 3 x 3 matrix S (xx, xy, xz, yy, yz, zz).
inline void solve3(const float s[6], float e, const float v[3], float a[3])
{
    const float m00 = s[0] + e, m01 = s[1], m02 = s[2], m11 = s[3] + e, m12 = s[4], m22 = s[5] + e;
    const float c00 = m11 * m22 - m12 * m12;
    const float c01 = m02 * m12 - m01 * m22;
    const float c02 = m01 * m12 - m02 * m11;
    const float c11 = m00 * m22 - m02 * m02;
    const float c12 = m01 * m02 - m00 * m12;
    const float c22 = m00 * m11 - m01 * m01;
    const float det = m00 * c00 + m01 * c01 + m02 * c02;
    const float inv = det > 0 ? 1.0f / det : 0.0f;
    a[0] = (c00 * v[0] + c01 * v[1] + c02 * v[2]) * inv;
    a[1] = (c01 * v[0] + c11 * v[1] + c12 * v[2]) * inv;
    a[2] = (c02 * v[0] + c12 * v[1] + c22 * v[2]) * inv;
}

// Alpha models within this distance of 0 or 1 are taken as 0 or 1: the
// residue of the fit's regularisation and of the mask's 8-bit rounding.
constexpr float kSnap = 0.03f;

// Mask variance (alpha 0..1) below which a window's mask counts as flat
// (about 2.5 levels of spread): the stretched mask is kept there.
constexpr float kMaskSpread = 1e-4f;

// How sharply the cells' mean colour bends (its second difference across a
// cell, the largest channel, 0..1) where the picture has an edge: below the
// first, a smooth gradient whose 8-bit steps only round, the picture has no
// edge for the refinement to follow; from the second on, it has one.
constexpr float kNoBend = 3.0f / 255, kEdgeBend = 8.0f / 255;

// Whether a mixed cell lies within reach of cells [c0, c1).
bool nearMixed(const Job& job, int c0x, int c1x, int c0y, int c1y)
{
    const QRect& ma = job.mixedArea;
    const int x0 = std::max(ma.left(), c0x - job.cellReach);
    const int x1 = std::min(ma.right() + 1, c1x + job.cellReach);
    const int y0 = std::max(ma.top(), c0y - job.cellReach);
    const int y1 = std::min(ma.bottom() + 1, c1y + job.cellReach);
    for (int y = y0; y < y1; ++y) {
        const std::uint8_t* row = job.mixed.data() + size_t(y - ma.top()) * size_t(ma.width());
        for (int x = x0; x < x1; ++x)
            if (row[x - ma.left()])
                return true;
    }
    return false;
}

// The stretched mask over `around`, and for the pixels of `pixels` (inside
// it) the chessboard distance to the nearest partial pixel, capped at D + 1.
// False when no pixel of `around` is partial.
bool stretchAndMeasure(const Job& job, const QRect& around, const QRect& pixels, Scratch& s)
{
    const Geometry& g = *job.g;
    const int D = job.prm->widening;
    const int aw = around.width(), ah = around.height();
    s.stretched.resize(size_t(aw) * size_t(ah));
    s.rowDistance.resize(size_t(aw) * size_t(ah));
    const std::uint8_t far = std::uint8_t(D + 1);
    bool any = false;
    for (int y = 0; y < ah; ++y) {
        std::uint8_t* m = s.stretched.data() + size_t(y) * size_t(aw);
        const int py = around.top() + y;
        const QRect& known = job.knownArea;
        if (py >= known.top() && py <= known.bottom() && around.left() <= known.right() &&
            around.right() >= known.left()) {
            // Inside the region the stretched mask is at hand already.
            const int from = std::max(around.left(), known.left());
            const int to = std::min(around.right(), known.right());
            if (from > around.left())
                stretchedRow(g, *job.mask, py, around.left(), from - 1, s.maskRow, m);
            std::copy_n(job.known + size_t(py - known.top()) * size_t(known.width()) +
                            (from - known.left()),
                        to - from + 1, m + (from - around.left()));
            if (to < around.right())
                stretchedRow(g, *job.mask, py, to + 1, around.right(), s.maskRow,
                             m + (to + 1 - around.left()));
        } else {
            stretchedRow(g, *job.mask, py, around.left(), around.right(), s.maskRow, m);
        }
        // Along the row first: distance to the nearest partial pixel on either side.
        std::uint8_t* d = s.rowDistance.data() + size_t(y) * size_t(aw);
        int last = -1000;
        for (int x = 0; x < aw; ++x) {
            if (std::uint8_t(m[x] - 1) < 254)
                last = x;
            d[x] = std::uint8_t(std::min(int(far), x - last));
        }
        if (last < 0)
            continue;
        any = true;
        last = 1000000;
        for (int x = aw - 1; x >= 0; --x) {
            if (std::uint8_t(m[x] - 1) < 254)
                last = x;
            d[x] = std::uint8_t(std::min(int(d[x]), last - x));
        }
    }
    if (!any)
        return false;
    // Then the nearest over the rows within reach.
    const int pw = pixels.width(), dx = pixels.left() - around.left();
    s.distance.resize(size_t(pw) * size_t(pixels.height()));
    for (int y = pixels.top(); y <= pixels.bottom(); ++y) {
        std::uint8_t* out = s.distance.data() + size_t(y - pixels.top()) * size_t(pw);
        std::fill(out, out + pw, far);
        const int from = std::max(around.top(), y - D), to = std::min(around.bottom(), y + D);
        for (int yy = from; yy <= to; ++yy) {
            const std::uint8_t step = std::uint8_t(std::abs(yy - y));
            const std::uint8_t* d =
                s.rowDistance.data() + size_t(yy - around.top()) * size_t(aw) + dx;
            for (int x = 0; x < pw; ++x)
                out[x] = std::min(out[x], std::max(step, d[x]));
        }
    }
    return true;
}

// Into s.bends, for the cells of a w x h grid whose mean colours are the
// three planes from `means` on (`n` apart): how surely the picture has an
// edge within `reach` cells, 0 to 1. A linear model of alpha in the colours
// fits a smooth gradient as well as an edge, and across a cut over such a
// gradient it would add alpha to cut pixels and take it from kept ones; a
// gradient's means change evenly from cell to cell, an edge's bend. Cells on
// the grid's rim, which lack a neighbour, bend nowhere.
void edgeWeights(int w, int h, int reach, const float* means, size_t n, Scratch& s)
{
    s.bends.assign(size_t(w) * size_t(h), 0.0f);
    for (int y = 1; y + 1 < h; ++y)
        for (int x = 1; x + 1 < w; ++x) {
            const size_t k = size_t(y) * size_t(w) + size_t(x);
            float bend = 0;
            for (int ch = 0; ch < 3; ++ch) {
                const float* m = means + n * size_t(ch);
                bend = std::max({bend, std::abs(m[k - 1] - 2 * m[k] + m[k + 1]),
                                 std::abs(m[k - size_t(w)] - 2 * m[k] + m[k + size_t(w)])});
            }
            s.bends[k] = bend;
        }
    // The largest within reach: along rows, then down columns.
    s.bendRows.resize(s.bends.size());
    for (int y = 0; y < h; ++y) {
        const float* in = s.bends.data() + size_t(y) * size_t(w);
        float* out = s.bendRows.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x)
            out[x] = *std::max_element(in + std::max(0, x - reach), in + std::min(w, x + reach + 1));
    }
    for (int y = 0; y < h; ++y) {
        const int from = std::max(0, y - reach), to = std::min(h - 1, y + reach);
        float* out = s.bends.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x) {
            float most = 0;
            for (int yy = from; yy <= to; ++yy)
                most = std::max(most, s.bendRows[size_t(yy) * size_t(w) + size_t(x)]);
            out[x] = std::clamp((most - kNoBend) / (kEdgeBend - kNoBend), 0.0f, 1.0f);
        }
    }
}

// The colour models and colour estimates of the cells around a tile, into
// s.fits over cells [f0x, f1x) x [f0y, f1y). False, with nothing fitted, when
// the picture has no edge near any of those cells: every band pixel of the
// tile then keeps the stretched mask, as it stands in the output already.
template <Colour colour>
bool fitCells(const Job& job, int c0x, int c1x, int c0y, int c1y, Scratch& s, QRect& fitted)
{
    const Geometry& g = *job.g;
    const Parameters& prm = *job.prm;
    const int rm = prm.window, ra = prm.averaging, rf = prm.colourReach;
    // A margin wide enough for every window that reaches the tile's pixels.
    const int E = std::max(rf + 1, rm + ra + 1);
    const int e0x = std::max(0, c0x - E), e1x = std::min(g.mw, c1x + E);
    const int e0y = std::max(0, c0y - E), e1y = std::min(g.mh, c1y + E);
    const int ew = e1x - e0x, eh = e1y - e0y;
    const size_t n = size_t(ew) * size_t(eh);
    enum Plane {
        I0,
        I1,
        I2,
        I00,
        I01,
        I02,
        I11,
        I12,
        I22,
        M,
        I0M,
        I1M,
        I2M,
        MM, // regression inputs, then means
        A0,
        A1,
        A2,
        B,
        C, // models, then their averages
        WF,
        WF0,
        WF1,
        WF2,
        WB,
        WB0,
        WB1,
        WB2, // colour estimate, then means
        PlaneCount
    };
    s.planes.resize(n * PlaneCount);
    auto plane = [&](int k) { return s.planes.data() + n * size_t(k); };

    // Mean colour of every cell, from the picture's pixels.
    s.sums.assign(n * 4, 0);
    const int py0 = g.firstY[size_t(e0y)], py1 = g.firstY[size_t(e1y)];
    for (int y = py0; y < py1; ++y) {
        const auto* row =
            reinterpret_cast<const std::uint32_t*>(job.source->constScanLine(g.sourceY[size_t(y)]));
        std::uint32_t* c = s.sums.data() + size_t(g.cellY[size_t(y)] - e0y) * size_t(ew) * 4;
        for (int i = e0x; i < e1x; ++i, c += 4) {
            const int x0 = g.firstX[size_t(i)], x1 = g.firstX[size_t(i) + 1];
            if (x1 - x0 <= 256) {
                // Red and blue in the low 16-bit lanes, green in the third:
                // one add per pixel, no lane overflows within 257 pixels.
                std::uint64_t packed = 0;
                for (int x = x0; x < x1; ++x) {
                    const std::uint32_t p = straightAt<colour>(row, g.sourceX[size_t(x)]);
                    packed += (p & 0x00ff00ffu) | (std::uint64_t((p >> 8) & 0xff) << 32);
                }
                c[0] += std::uint32_t(packed >> 16) & 0xffff;
                c[1] += std::uint32_t(packed >> 32) & 0xffff;
                c[2] += std::uint32_t(packed) & 0xffff;
            } else {
                for (int x = x0; x < x1; ++x) {
                    const std::uint32_t p = straightAt<colour>(row, g.sourceX[size_t(x)]);
                    c[0] += (p >> 16) & 0xff;
                    c[1] += (p >> 8) & 0xff;
                    c[2] += p & 0xff;
                }
            }
            c[3] += std::uint32_t(x1 - x0);
        }
    }
    for (int j = 0; j < eh; ++j) {
        for (int i = 0; i < ew; ++i) {
            const size_t k = size_t(j) * size_t(ew) + size_t(i);
            std::uint32_t* c = s.sums.data() + k * 4;
            if (c[3] == 0) {
                // A cell narrower than a pixel: its nearest pixel stands for it.
                const int x = std::min(g.firstX[size_t(e0x + i)], g.width - 1);
                const int y = std::min(g.firstY[size_t(e0y + j)], g.height - 1);
                const auto* row = reinterpret_cast<const std::uint32_t*>(
                    job.source->constScanLine(g.sourceY[size_t(y)]));
                const std::uint32_t p = straightAt<colour>(row, g.sourceX[size_t(x)]);
                c[0] = (p >> 16) & 0xff;
                c[1] = (p >> 8) & 0xff;
                c[2] = p & 0xff;
                c[3] = 1;
            }
            const float scale = 1.0f / (255.0f * float(c[3]));
            plane(I0)[k] = float(c[0]) * scale;
            plane(I1)[k] = float(c[1]) * scale;
            plane(I2)[k] = float(c[2]) * scale;
        }
    }
    // The tile's pixels interpolate the fields of its cells and one more around.
    const int f0x = std::max(0, c0x - 1), f1x = std::min(g.mw, c1x + 1);
    const int f0y = std::max(0, c0y - 1), f1y = std::min(g.mh, c1y + 1);
    edgeWeights(ew, eh, rm, plane(I0), n, s);
    bool edge = false;
    for (int j = f0y; j < f1y && !edge; ++j) {
        const float* bends = s.bends.data() + size_t(j - e0y) * size_t(ew) - e0x;
        for (int i = f0x; i < f1x; ++i)
            edge |= bends[i] > 0;
    }
    if (!edge)
        return false;

    for (int j = 0; j < eh; ++j) {
        const std::uint8_t* maskRow = job.mask->constScanLine(e0y + j);
        for (int i = 0; i < ew; ++i) {
            const size_t k = size_t(j) * size_t(ew) + size_t(i);
            const float r = plane(I0)[k], gr = plane(I1)[k], b = plane(I2)[k];
            const float m = float(maskRow[e0x + i]) * (1.0f / 255.0f);
            plane(I00)[k] = r * r;
            plane(I01)[k] = r * gr;
            plane(I02)[k] = r * b;
            plane(I11)[k] = gr * gr;
            plane(I12)[k] = gr * b;
            plane(I22)[k] = b * b;
            plane(M)[k] = m;
            plane(I0M)[k] = r * m;
            plane(I1M)[k] = gr * m;
            plane(I2M)[k] = b * m;
            plane(MM)[k] = m * m;
            // Weights for the colour estimate: kept cells for the foreground,
            // cut ones for the background, partial ones little.
            const float wf = m * m * m * m, wb = (1 - m) * (1 - m) * (1 - m) * (1 - m);
            plane(WF)[k] = wf;
            plane(WF0)[k] = wf * r;
            plane(WF1)[k] = wf * gr;
            plane(WF2)[k] = wf * b;
            plane(WB)[k] = wb;
            plane(WB0)[k] = wb * r;
            plane(WB1)[k] = wb * gr;
            plane(WB2)[k] = wb * b;
        }
    }
    s.box.prepare(ew, eh, rm);
    for (int k = I0; k <= MM; ++k)
        s.box.apply(plane(k));
    const float eps = prm.epsilon;
    for (size_t k = 0; k < n; ++k) {
        const float mu[3] = {plane(I0)[k], plane(I1)[k], plane(I2)[k]};
        const float cov[6] = {plane(I00)[k] - mu[0] * mu[0], plane(I01)[k] - mu[0] * mu[1],
                              plane(I02)[k] - mu[0] * mu[2], plane(I11)[k] - mu[1] * mu[1],
                              plane(I12)[k] - mu[1] * mu[2], plane(I22)[k] - mu[2] * mu[2]};
        const float mean = plane(M)[k];
        const float cross[3] = {plane(I0M)[k] - mu[0] * mean, plane(I1M)[k] - mu[1] * mean,
                                plane(I2M)[k] - mu[2] * mean};
        float a[3];
        solve3(cov, eps, cross, a);
        plane(A0)[k] = a[0];
        plane(A1)[k] = a[1];
        plane(A2)[k] = a[2];
        plane(B)[k] = mean - a[0] * mu[0] - a[1] * mu[1] - a[2] * mu[2];
        // The share of the mask's variation over the window that the colours
        // explain: near 1 on an edge or strand, near 0 where the mask varies
        // over colours that say nothing (flat areas, noise).
        const float spread = std::max(0.0f, plane(MM)[k] - mean * mean);
        const float explained = a[0] * cross[0] + a[1] * cross[1] + a[2] * cross[2];
        plane(C)[k] = std::clamp(explained / (spread + kMaskSpread), 0.0f, 1.0f);
    }
    s.box.prepare(ew, eh, ra);
    for (int k = A0; k <= C; ++k)
        s.box.apply(plane(k));
    s.box.prepare(ew, eh, rf);
    for (int k = WF; k <= WB2; ++k)
        s.box.apply(plane(k));

    fitted = QRect(f0x, f0y, f1x - f0x, f1y - f0y);
    s.fits.resize(size_t(fitted.width()) * size_t(fitted.height()));
    Fit* f = s.fits.data();
    for (int j = f0y; j < f1y; ++j)
        for (int i = f0x; i < f1x; ++i, ++f) {
            const size_t k = size_t(j - e0y) * size_t(ew) + size_t(i - e0x);
            f->v[kA] = plane(A0)[k];
            f->v[kA + 1] = plane(A1)[k];
            f->v[kA + 2] = plane(A2)[k];
            f->v[kB] = plane(B)[k];
            f->v[kC] = plane(C)[k];
            f->v[kE] = s.bends[k];
            const float own[3] = {plane(I0)[k], plane(I1)[k], plane(I2)[k]};
            const float wf = plane(WF)[k], wb = plane(WB)[k];
            for (int ch = 0; ch < 3; ++ch) {
                f->v[kFg + ch] = wf > 1e-6f ? plane(WF0 + ch)[k] / wf : own[ch];
                f->v[kBg + ch] = wb > 1e-6f ? plane(WB0 + ch)[k] / wb : own[ch];
            }
        }
    return true;
}

// The band pixels of `pixels`, from the fitted cells.
template <Colour colour>
void refinePixels(const Job& job, const QRect& around, const QRect& pixels, const QRect& fitted,
                  Scratch& s)
{
    const Geometry& g = *job.g;
    const int D = job.prm->widening;
    const int aw = around.width(), fw = fitted.width();
    s.rowFits.resize(size_t(fw) * kFields);
    for (int y = pixels.top(); y <= pixels.bottom(); ++y) {
        const std::uint8_t* distance =
            s.distance.data() + size_t(y - pixels.top()) * size_t(pixels.width()) - pixels.left();
        int first = pixels.left();
        while (first <= pixels.right() && distance[first] > D)
            ++first;
        if (first > pixels.right())
            continue;
        const std::uint8_t* stretched =
            s.stretched.data() + size_t(y - around.top()) * size_t(aw) - around.left();
        const auto* src =
            reinterpret_cast<const std::uint32_t*>(job.source->constScanLine(g.sourceY[size_t(y)]));
        auto* out =
            reinterpret_cast<std::uint32_t*>(job.bits + (y - job.region.top()) * job.stride) -
            job.region.left();
        const std::uint32_t* blurRow = job.blur ? reinterpret_cast<const std::uint32_t*>(
                                                      job.blur->constScanLine(job.blurY[size_t(y)]))
                                                : nullptr;
        // The cell fields on this row, between the two cell rows around it.
        {
            const float* low = s.fits[size_t(g.lowY[size_t(y)] - fitted.top()) * size_t(fw)].v;
            const float* high = s.fits[size_t(g.highY[size_t(y)] - fitted.top()) * size_t(fw)].v;
            const float fy = g.fracY[size_t(y)];
            float* row = s.rowFits.data();
            for (int k = 0; k < fw * kFields; ++k)
                row[k] = low[k] + fy * (high[k] - low[k]);
        }
        for (int x = first; x <= pixels.right(); ++x) {
            const int d = distance[x];
            if (d > D)
                continue;
            const float* left =
                s.rowFits.data() + size_t(g.lowX[size_t(x)] - fitted.left()) * kFields;
            const float* right =
                s.rowFits.data() + size_t(g.highX[size_t(x)] - fitted.left()) * kFields;
            const float fx = g.fracX[size_t(x)];
            auto field = [&](int k) { return left[k] + fx * (right[k] - left[k]); };
            // No edge near: the stretched mask stands, as the output holds it.
            const float edge = field(kE);
            if (edge <= 0)
                continue;
            const float pm = float(stretched[x]) * (1.0f / 255.0f);
            const std::uint32_t p = straightAt<colour>(src, g.sourceX[size_t(x)]);
            const float I[3] = {float((p >> 16) & 0xff) * (1.0f / 255.0f),
                                float((p >> 8) & 0xff) * (1.0f / 255.0f),
                                float(p & 0xff) * (1.0f / 255.0f)};
            float q = field(kA) * I[0] + field(kA + 1) * I[1] + field(kA + 2) * I[2] + field(kB);
            q = q < kSnap ? 0.0f : q > 1 - kSnap ? 1.0f : q;
            const std::uint32_t a8 = toByte(pm + job.fade[size_t(d)] * field(kC) * edge * (q - pm));
            std::uint32_t straight = 0;
            if (a8 == 255) {
                straight = p;
            } else if (a8 != 0) {
                // Foreground colour: the local foreground estimate, corrected
                // so that the pixel's own colour is explained as this
                // foreground over the local background at this alpha.
                const float al = float(a8) * (1.0f / 255.0f);
                std::uint32_t rgb = 0;
                for (int ch = 0; ch < 3; ++ch) {
                    const float fg = field(kFg + ch), bg = field(kBg + ch);
                    const float estimate = fg + al * (I[ch] - al * fg - (1 - al) * bg);
                    rgb = (rgb << 8) | toByte(I[ch] + edge * (estimate - I[ch]));
                }
                const std::uint32_t outAlpha = div255((p >> 24) * a8);
                straight = outAlpha ? (outAlpha << 24) | rgb : 0;
            }
            if (job.premultipliedOut) {
                // A premultiplied source pixel kept whole stays as it was.
                out[x] = colour == Colour::Premultiplied && a8 == 255 ? src[g.sourceX[size_t(x)]]
                                                                      : premultiply(straight);
            } else {
                if (blurRow && (straight >> 24) != 255)
                    straight =
                        unpremultiply(over(premultiply(straight), blurRow[job.blurX[size_t(x)]]));
                out[x] = straight;
            }
        }
    }
}

template <Colour colour> void refineTile(const Job& job, int tileX, int tileY, Scratch& s)
{
    const Geometry& g = *job.g;
    const int T = job.tile, TW = job.tileWidth;
    // The tile's cells, limited to those holding pixels of the region.
    const int rc0x = g.cellX[size_t(job.region.left())],
              rc1x = g.cellX[size_t(job.region.right())] + 1;
    const int rc0y = g.cellY[size_t(job.region.top())],
              rc1y = g.cellY[size_t(job.region.bottom())] + 1;
    const int c0x = std::max(rc0x, tileX * TW), c1x = std::min(rc1x, (tileX + 1) * TW);
    const int c0y = std::max(rc0y, tileY * T), c1y = std::min(rc1y, (tileY + 1) * T);
    if (c0x >= c1x || c0y >= c1y || !nearMixed(job, c0x, c1x, c0y, c1y))
        return;
    const QRect pixels = QRect(QPoint(g.firstX[size_t(c0x)], g.firstY[size_t(c0y)]),
                               QPoint(g.firstX[size_t(c1x)] - 1, g.firstY[size_t(c1y)] - 1)) &
                         job.region;
    if (pixels.isEmpty())
        return;
    const int D = job.prm->widening;
    const QRect around = pixels.adjusted(-D, -D, D, D) & QRect(0, 0, g.width, g.height);
    if (!stretchAndMeasure(job, around, pixels, s))
        return;
    QRect fitted;
    if (!fitCells<colour>(job, c0x, c1x, c0y, c1y, s, fitted))
        return;
    refinePixels<colour>(job, around, pixels, fitted, s);
}

// Marks the cells of `area` whose 3 x 3 neighbourhood holds anything but 0
// or anything but 255: the only cells that can hold partial stretched pixels.
} // namespace

std::vector<std::uint8_t> mixedCells(const QImage& mask, const QRect& area)
{
    const int w = area.width(), mw = mask.width(), mh = mask.height();
    std::vector<std::uint8_t> mixed(size_t(w) * size_t(area.height()));
    ParallelFor::run(area.height(), 64, [&](int begin, int end) {
        std::vector<std::uint8_t> lo(static_cast<size_t>(mw)), hi(static_cast<size_t>(mw));
        for (int j = begin; j < end; ++j) {
            const int y = area.top() + j;
            const std::uint8_t* r0 = mask.constScanLine(std::max(0, y - 1));
            const std::uint8_t* r1 = mask.constScanLine(y);
            const std::uint8_t* r2 = mask.constScanLine(std::min(mh - 1, y + 1));
            const int x0 = std::max(0, area.left() - 1), x1 = std::min(mw - 1, area.right() + 1);
            for (int x = x0; x <= x1; ++x) {
                lo[size_t(x)] = std::min({r0[x], r1[x], r2[x]});
                hi[size_t(x)] = std::max({r0[x], r1[x], r2[x]});
            }
            std::uint8_t* out = mixed.data() + size_t(j) * size_t(w);
            for (int i = 0; i < w; ++i) {
                const int x = area.left() + i;
                const int a = std::max(0, x - 1), b = std::min(mw - 1, x + 1);
                const int l = std::min({lo[size_t(a)], lo[size_t(x)], lo[size_t(b)]});
                const int h = std::max({hi[size_t(a)], hi[size_t(x)], hi[size_t(b)]});
                out[i] = !(h == 0 || l == 255);
            }
        }
    });
    return mixed;
}

int tileRows(const Parameters& prm)
{
    return std::clamp(int(std::lround(96 / prm.scale)), 16, 64);
}

// Refines the band within `job.region`, tile by tile on all cores. False when cancelled.
bool refineBand(Job& job, const std::atomic<bool>* cancel)
{
    const Geometry& g = *job.g;
    const Parameters& prm = *job.prm;
    // Tiles twice as wide as high: the fit's margin costs less, and a row
    // of tiles still gives each core several.
    job.tile = tileRows(prm);
    job.tileWidth = 2 * job.tile;
    const double cellPixels = std::min(g.pw / g.mw, g.ph / g.mh);
    job.cellReach = int(std::ceil((prm.widening + 1) /
                                  (cellPixels >= 1 ? std::floor(cellPixels) : cellPixels))) +
                    1;
    job.fade.assign(size_t(prm.widening) + 2, 0.0f);
    for (int d = 0; d <= prm.widening; ++d)
        job.fade[size_t(d)] = d <= prm.fullReach ? 1.0f
                                                 : float(prm.widening + 1 - d) /
                                                       float(prm.widening + 1 - prm.fullReach);

    const QRect cells(
        QPoint(g.cellX[size_t(job.region.left())], g.cellY[size_t(job.region.top())]),
        QPoint(g.cellX[size_t(job.region.right())], g.cellY[size_t(job.region.bottom())]));
    job.mixedArea = cells.adjusted(-job.cellReach, -job.cellReach, job.cellReach, job.cellReach) &
                    QRect(0, 0, g.mw, g.mh);
    job.mixed = mixedCells(*job.mask, job.mixedArea);

    const int T = job.tile, TW = job.tileWidth;
    const int tx0 = cells.left() / TW, tx1 = cells.right() / TW + 1;
    const int ty0 = cells.top() / T, ty1 = cells.bottom() / T + 1;
    const int tilesX = tx1 - tx0, count = tilesX * (ty1 - ty0);
    // Band tiles are few and unevenly spread: each worker takes the next tile.
    std::atomic<int> next{0};
    std::atomic<bool> stopped{false};
    ParallelFor::run(ParallelFor::cores(), [&](int) {
        Scratch scratch;
        for (int t = next.fetch_add(1); t < count; t = next.fetch_add(1)) {
            if (cancel && cancel->load(std::memory_order_relaxed)) {
                stopped = true;
                return;
            }
            const int tx = tx0 + t % tilesX, ty = ty0 + t / tilesX;
            switch (job.colour) {
            case Colour::Opaque:
                refineTile<Colour::Opaque>(job, tx, ty, scratch);
                break;
            case Colour::Straight:
                refineTile<Colour::Straight>(job, tx, ty, scratch);
                break;
            case Colour::Premultiplied:
                refineTile<Colour::Premultiplied>(job, tx, ty, scratch);
                break;
            }
        }
    });
    return !stopped;
}

} // namespace EdgeRefine::Detail
