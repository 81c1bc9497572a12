#pragma once

// The edge refinement's inner parts, shared by its two files: how picture
// pixels, mask pixels and cells meet, and the refinement of the band tile by
// tile. Not for use outside them.
#include "canvas/EdgeRefine.h"
#include "canvas/PixelMath.h"

#include <QImage>
#include <QRect>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

namespace EdgeRefine::Detail {

using namespace PixelMath;

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

Geometry makeGeometry(QSize size, QSizeF pictureSize, QSize maskSize, QSize sourceSize);
// The stretched mask on columns [from, to] of row y, as the compositor computes it.
void stretchedRow(const Geometry& g, const QImage& mask, int y, int from, int to,
                  std::vector<std::uint16_t>& rowScratch, std::uint8_t* out);

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
// a.I + b, trusted by c), the local foreground and background colours, and
// how surely the picture has an edge near the cell (e, 0 to 1).
enum Field { kA = 0, kB = 3, kC = 4, kFg = 5, kBg = 8, kE = 11, kFields = 12 };
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
    int tile;                // cells per tile, down (see tileRows)
    int tileWidth;           // cells per tile, across
    int cellReach;           // cells within which a band pixel of a mixed cell may lie
    std::vector<float> fade; // weight of the refinement at each distance from the partial pixels
    // The stretched mask over `knownArea`, when the caller has it (rows of knownArea.width()).
    const std::uint8_t* known = nullptr;
    QRect knownArea;
};

struct Scratch {
    std::vector<float> planes, rowFits, bends, bendRows;
    std::vector<std::uint32_t> sums;
    std::vector<Fit> fits;
    std::vector<std::uint8_t> stretched, rowDistance, distance;
    std::vector<std::uint16_t> maskRow;
    BoxMean box;
};

// The cells whose neighbourhood is mixed (not all 0 or all 255) over `area`.
std::vector<std::uint8_t> mixedCells(const QImage& mask, const QRect& area);
// Cells per tile, down: tiles lie on a grid of rows of this many cells from
// the mask's top. Each tile fits its cells with a margin of a few cells
// around, so a caller that refines a picture band by band wastes least with
// bands that hold whole rows of tiles.
int tileRows(const Parameters& prm);
// Refines the job's band, tile by tile on every core; false when cancelled.
bool refineBand(Job& job, const std::atomic<bool>* cancel);
// Whether every picture pixel has a mask pixel of its own: the mask is then
// the cut as painted, with no coarser edge to bring to the picture's.
bool holdsFullSize(QSize maskSize, QSizeF pictureSize);
// The mask as 8 bits a pixel.
QImage eightBitMask(const QImage& mask);

} // namespace EdgeRefine::Detail
