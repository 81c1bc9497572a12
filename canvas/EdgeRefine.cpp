#include "canvas/EdgeRefine.h"

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
namespace {

// ---- Pixel arithmetic, the same as the compositor's ------------------------

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

inline std::uint32_t over(std::uint32_t src, std::uint32_t dst)
{
    const std::uint32_t alpha = src >> 24;
    if (alpha == 255)
        return src;
    if (alpha == 0)
        return src + dst;
    return src + byteMul(dst, 255 - alpha);
}

inline std::uint32_t div255(std::uint32_t x)
{
    x += 128;
    return (x + (x >> 8)) >> 8;
}

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
    auto channel = [a](std::uint32_t c) {
        return std::min<std::uint32_t>(255, (c * 255 + a / 2) / a);
    };
    return (a << 24) | (channel((p >> 16) & 0xff) << 16) | (channel((p >> 8) & 0xff) << 8) |
           channel(p & 0xff);
}

enum class Colour { Opaque, Straight, Premultiplied };

// ---- Where picture pixels, mask pixels and cells meet ----------------------

// A cell is the set of picture pixels whose centre falls into one mask pixel.
struct Geometry {
    int width = 0, height = 0; // picture pixels produced
    int mw = 0, mh = 0;
    double pw = 0, ph = 0;
    // The stretched mask, sampled exactly as Compositor::result samples it.
    std::vector<int> maskX, maskWx, maskY0, maskY1, maskWy;
    // Each pixel's cell, and the first pixel of each cell (one entry more).
    std::vector<int> cellX, cellY, firstX, firstY;
    // Each pixel's place among the cell centres, for fields kept per cell.
    std::vector<int> lowX, highX, lowY, highY;
    std::vector<float> fracX, fracY;
    // The source pixel of each picture pixel (the picture may be another size).
    std::vector<int> sourceX, sourceY;
};

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

// ---- Box means over a small grid -------------------------------------------

// Replaces `data` (w x h) by its means over (2r+1)^2 windows clipped to the
// grid. The radii are a few cells, so direct sums cost little more than
// running ones, and they vectorise.
class BoxMean {
public:
    void prepare(int w, int h, int r)
    {
        m_w = w;
        m_h = h;
        m_r = r;
        auto inverse = [r](int n, std::vector<float>& out) {
            out.resize(size_t(n));
            for (int i = 0; i < n; ++i)
                out[size_t(i)] = 1.0f / float(std::min(i + r, n - 1) - std::max(i - r, 0) + 1);
        };
        inverse(w, m_inverseX);
        inverse(h, m_inverseY);
        m_rows.resize(size_t(w) * size_t(h));
        m_pad.assign(size_t(w + 2 * r), 0.0f);
    }

    void apply(float* data)
    {
        const int w = m_w, h = m_h, r = m_r;
        // Along rows, over a zero-padded copy.
        float* pad = m_pad.data();
        for (int y = 0; y < h; ++y) {
            std::copy(data + size_t(y) * size_t(w), data + size_t(y + 1) * size_t(w), pad + r);
            float* d = m_rows.data() + size_t(y) * size_t(w);
            for (int x = 0; x < w; ++x)
                d[x] = pad[x];
            for (int k = 1; k <= 2 * r; ++k)
                for (int x = 0; x < w; ++x)
                    d[x] += pad[x + k];
            for (int x = 0; x < w; ++x)
                d[x] *= m_inverseX[size_t(x)];
        }
        // Down columns, across the whole row at once. Direct sums (unlike
        // running ones) give every mean the same bits whichever grid (tile)
        // it was computed in.
        for (int y = 0; y < h; ++y) {
            const int from = std::max(0, y - r), to = std::min(h - 1, y + r);
            float* d = data + size_t(y) * size_t(w);
            const float* s = m_rows.data() + size_t(from) * size_t(w);
            for (int x = 0; x < w; ++x)
                d[x] = s[x];
            for (int yy = from + 1; yy <= to; ++yy) {
                s = m_rows.data() + size_t(yy) * size_t(w);
                for (int x = 0; x < w; ++x)
                    d[x] += s[x];
            }
            const float inverse = m_inverseY[size_t(y)];
            for (int x = 0; x < w; ++x)
                d[x] *= inverse;
        }
    }

private:
    int m_w = 0, m_h = 0, m_r = 0;
    std::vector<float> m_inverseX, m_inverseY, m_rows, m_pad;
};

// ---- The refinement of one tile of cells -----------------------------------

// What a band pixel needs, per cell: the averaged colour model (alpha =
// a.I + b, trusted by c) and the local foreground and background colours.
enum Field { kA = 0, kB = 3, kC = 4, kFg = 5, kBg = 8, kFields = 11 };
struct Fit {
    float v[kFields];
};

struct Job {
    const Geometry* g;
    const Parameters* prm;
    const QImage* source; // Format_RGB32, _ARGB32 or _ARGB32_Premultiplied
    Colour colour;
    const QImage* mask; // 8 bits per pixel
    QRect region;       // picture pixels produced
    // The output: pixel (x, y) of the region lives at bits + (y - top) * stride + (x - left) * 4.
    uchar* bits;
    qsizetype stride;
    bool premultipliedOut;
    const QImage* blur; // straight output only; may be null
    std::vector<int> blurX, blurY;
    // Cells whose 3 x 3 neighbourhood is not all 0 or all 255, over `mixedArea`.
    std::vector<std::uint8_t> mixed;
    QRect mixedArea;
    int tile;                // cells per tile side
    int cellReach;           // cells within which a band pixel of a mixed cell may lie
    std::vector<float> fade; // weight of the refinement at each distance from the partial pixels
    // The stretched mask over `knownArea`, when the caller has it (rows of knownArea.width()).
    const std::uint8_t* known = nullptr;
    QRect knownArea;
};

struct Scratch {
    std::vector<float> planes, rowFits;
    std::vector<std::uint32_t> sums;
    std::vector<Fit> fits;
    std::vector<std::uint8_t> stretched, rowDistance, distance;
    std::vector<std::uint16_t> maskRow;
    BoxMean box;
};

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

// The colour models and colour estimates of the cells around a tile, into
// s.fits over cells [f0x, f1x) x [f0y, f1y).
template <Colour colour>
void fitCells(const Job& job, int c0x, int c1x, int c0y, int c1y, Scratch& s, QRect& fitted)
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
        const std::uint8_t* maskRow = job.mask->constScanLine(e0y + j);
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
            const float r = float(c[0]) * scale, gr = float(c[1]) * scale, b = float(c[2]) * scale;
            const float m = float(maskRow[e0x + i]) * (1.0f / 255.0f);
            plane(I0)[k] = r;
            plane(I1)[k] = gr;
            plane(I2)[k] = b;
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

    // The fields band pixels interpolate: the tile's cells and one more around.
    const int f0x = std::max(0, c0x - 1), f1x = std::min(g.mw, c1x + 1);
    const int f0y = std::max(0, c0y - 1), f1y = std::min(g.mh, c1y + 1);
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
            const float own[3] = {plane(I0)[k], plane(I1)[k], plane(I2)[k]};
            const float wf = plane(WF)[k], wb = plane(WB)[k];
            for (int ch = 0; ch < 3; ++ch) {
                f->v[kFg + ch] = wf > 1e-6f ? plane(WF0 + ch)[k] / wf : own[ch];
                f->v[kBg + ch] = wb > 1e-6f ? plane(WB0 + ch)[k] / wb : own[ch];
            }
        }
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
            const float pm = float(stretched[x]) * (1.0f / 255.0f);
            const float* left =
                s.rowFits.data() + size_t(g.lowX[size_t(x)] - fitted.left()) * kFields;
            const float* right =
                s.rowFits.data() + size_t(g.highX[size_t(x)] - fitted.left()) * kFields;
            const float fx = g.fracX[size_t(x)];
            auto field = [&](int k) { return left[k] + fx * (right[k] - left[k]); };
            const std::uint32_t p = straightAt<colour>(src, g.sourceX[size_t(x)]);
            const float I[3] = {float((p >> 16) & 0xff) * (1.0f / 255.0f),
                                float((p >> 8) & 0xff) * (1.0f / 255.0f),
                                float(p & 0xff) * (1.0f / 255.0f)};
            float q = field(kA) * I[0] + field(kA + 1) * I[1] + field(kA + 2) * I[2] + field(kB);
            q = q < kSnap ? 0.0f : q > 1 - kSnap ? 1.0f : q;
            const std::uint32_t a8 = toByte(pm + job.fade[size_t(d)] * field(kC) * (q - pm));
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
                    rgb = (rgb << 8) | toByte(fg + al * (I[ch] - al * fg - (1 - al) * bg));
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
    const int T = job.tile;
    // The tile's cells, limited to those holding pixels of the region.
    const int rc0x = g.cellX[size_t(job.region.left())],
              rc1x = g.cellX[size_t(job.region.right())] + 1;
    const int rc0y = g.cellY[size_t(job.region.top())],
              rc1y = g.cellY[size_t(job.region.bottom())] + 1;
    const int c0x = std::max(rc0x, tileX * T), c1x = std::min(rc1x, (tileX + 1) * T);
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
    fitCells<colour>(job, c0x, c1x, c0y, c1y, s, fitted);
    refinePixels<colour>(job, around, pixels, fitted, s);
}

// Marks the cells of `area` whose 3 x 3 neighbourhood holds anything but 0
// or anything but 255: the only cells that can hold partial stretched pixels.
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

// Refines the band within `job.region`, tile by tile on all cores. False when cancelled.
bool refineBand(Job& job, const std::atomic<bool>* cancel)
{
    const Geometry& g = *job.g;
    const Parameters& prm = *job.prm;
    job.tile = std::clamp(int(std::lround(96 / prm.scale)), 16, 64);
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

    const int T = job.tile;
    const int tx0 = cells.left() / T, tx1 = cells.right() / T + 1;
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

QImage eightBitMask(const QImage& mask)
{
    if (mask.isNull() || mask.format() == QImage::Format_Alpha8 ||
        mask.format() == QImage::Format_Grayscale8)
        return mask;
    return mask.convertToFormat(QImage::Format_Alpha8);
}

} // namespace

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
    if (out.isNull() || mask8.isNull() || pictureSize.width() <= 0 || pictureSize.height() <= 0)
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
