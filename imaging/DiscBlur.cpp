#include "imaging/DiscBlur.h"

#include "platform/ParallelFor.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace DiscBlur {
namespace {

// Output columns per tile. The prefix sums of one tile's rows, for the
// largest radius the canvas uses, stay within the processor's second-level
// cache, so the blur's time follows its arithmetic, not the memory's speed,
// and its working memory does not grow with the picture's width.
constexpr int kTileColumns = 256;
// Output rows per job: enough that filling the ring of prefix rows at a
// band's start (twice the reach) costs little beside the band itself.
constexpr int kBandRows = 96;
// Eight 32-bit lanes; on processors without 256-bit registers the compiler
// uses two 128-bit halves.
using Lanes = std::uint32_t __attribute__((vector_size(32)));

// The 256-bit values never cross a call (loadLanes is always inlined), so
// the warning about their calling convention does not concern them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
[[gnu::always_inline]] inline Lanes loadLanes(const std::uint32_t* p)
{
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// One output row of a tile: for every channel of every pixel, the sum over
// the disc's rows of hi - lo, scaled back to 0..255. Built twice, and the
// processor's best is chosen when the program starts, except under the
// sanitizers, whose runtimes are not ready when that choice is made.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define VELTRANE_PROCESSOR_CHOICE
#else
#define VELTRANE_PROCESSOR_CHOICE __attribute__((target_clones("avx2", "default")))
#endif
VELTRANE_PROCESSOR_CHOICE
void sumRow(const std::uint32_t* const* hi, const std::uint32_t* const* lo, int discRows, int n4,
            float scale, std::uint8_t* dst)
{
    int i0 = 0;
    // 32 channels at a time, their sums held in registers over the disc's rows.
    for (; i0 + 32 <= n4; i0 += 32) {
        Lanes a0 = {}, a1 = {}, a2 = {}, a3 = {};
        for (int d = 0; d < discRows; ++d) {
            const std::uint32_t* h = hi[d] + i0;
            const std::uint32_t* l = lo[d] + i0;
            a0 += loadLanes(h) - loadLanes(l);
            a1 += loadLanes(h + 8) - loadLanes(l + 8);
            a2 += loadLanes(h + 16) - loadLanes(l + 16);
            a3 += loadLanes(h + 24) - loadLanes(l + 24);
        }
        std::uint32_t acc[32];
        std::memcpy(acc, &a0, 32);
        std::memcpy(acc + 8, &a1, 32);
        std::memcpy(acc + 16, &a2, 32);
        std::memcpy(acc + 24, &a3, 32);
        for (int k = 0; k < 32; ++k)
            dst[i0 + k] = std::uint8_t(std::min(255.0f, float(acc[k]) * scale + 0.5f));
    }
    for (int i = i0; i < n4; ++i) {
        std::uint32_t acc = 0;
        for (int d = 0; d < discRows; ++d)
            acc += hi[d][i] - lo[d][i];
        dst[i] = std::uint8_t(std::min(255.0f, float(acc) * scale + 0.5f));
    }
}

#pragma GCC diagnostic pop

// Blurs the input (premultiplied, width x height) into the output rectangle
// `out` given in input pixel coordinates (top-first rows), which may reach
// outside the input. Null when `cancelled` was raised before it finished.
QImage blurInto(const QImage& input, double radius, const QRect& out, const Cancelled& cancelled)
{
    QImage result(out.size(), QImage::Format_ARGB32_Premultiplied);
    if (result.isNull())
        return result;
    const int width = input.width();
    const int height = input.height();
    const int reach = radius > 0 ? int(std::floor(radius)) : 0;

    // Half-width of the disc's row at each vertical offset, and its area.
    std::vector<int> halfWidth;
    std::vector<int> offsets; // the vertical offsets whose row is not empty
    std::uint32_t area = 0;
    for (int dy = -reach; dy <= reach; ++dy) {
        const double span = radius * radius - double(dy) * dy;
        const int w = span >= 0 ? std::min(reach, int(std::floor(std::sqrt(span) + 1e-9))) : -1;
        if (w < 0)
            continue;
        offsets.push_back(dy);
        halfWidth.push_back(w);
        area += std::uint32_t(2 * w + 1);
    }
    const float scale = 1.0f / float(area);
    const int discRows = int(offsets.size());

    const int tiles = (out.width() + kTileColumns - 1) / kTileColumns;
    const int bands = (out.height() + kBandRows - 1) / kBandRows;
    std::atomic<bool> stopped{false};

    auto job = [&](int index) {
        if (cancelled && cancelled()) {
            stopped.store(true, std::memory_order_relaxed);
            return;
        }
        const int band = index / tiles;
        const int tile = index % tiles;
        const int c0 = tile * kTileColumns;
        const int columns = std::min(kTileColumns, out.width() - c0);
        const int rowBegin = band * kBandRows;
        const int rowEnd = std::min(out.height(), rowBegin + kBandRows);

        // Prefix sums cover the tile's columns widened by the reach on both
        // sides, for the input rows within reach: rows outside the input add
        // nothing and are neither stored nor summed, so a picture far lower
        // than the disc costs its own rows, not the disc's.
        const int left = out.left() + c0 - reach - 1; // input column of prefix index 0
        const int length = columns + 2 * reach + 2;
        const int stride = 4 * length;
        const int ringRows = std::min(2 * reach + 1, height);
        thread_local std::vector<std::uint32_t> ring;
        ring.resize(std::size_t(ringRows) * stride);
        auto slot = [&](int inputRow) {
            return ring.data() + std::size_t(inputRow % ringRows) * stride;
        };
        auto prefixRow = [&](int inputRow) {
            if (inputRow < 0 || inputRow >= height)
                return;
            std::uint32_t* sums = slot(inputRow);
            const auto* pixels = reinterpret_cast<const std::uint8_t*>(input.constScanLine(inputRow));
            std::uint32_t b = 0, g = 0, r = 0, a = 0;
            sums[0] = sums[1] = sums[2] = sums[3] = 0;
            // Columns outside the input add nothing: only [from, to) is read.
            const int from = std::clamp(-left + 1, 1, length);
            const int to = std::clamp(width - left + 1, from, length);
            for (int k = 1; k < from; ++k)
                std::memset(sums + 4 * k, 0, 16);
            for (int k = from; k < to; ++k) {
                const std::uint8_t* p = pixels + 4 * (left + k - 1);
                b += p[0];
                g += p[1];
                r += p[2];
                a += p[3];
                std::uint32_t* s = sums + 4 * k;
                s[0] = b;
                s[1] = g;
                s[2] = r;
                s[3] = a;
            }
            for (int k = to; k < length; ++k) {
                std::uint32_t* s = sums + 4 * k;
                s[0] = b;
                s[1] = g;
                s[2] = r;
                s[3] = a;
            }
        };

        const int firstOut = out.top() + rowBegin;
        for (int r = std::max(0, firstOut - reach); r < std::min(height, firstOut + reach); ++r)
            prefixRow(r);
        std::vector<const std::uint32_t*> hi(discRows), lo(discRows);
        for (int oy = rowBegin; oy < rowEnd; ++oy) {
            const int y = out.top() + oy;
            prefixRow(y + reach);
            // Prefix index k holds the sum of input columns left .. left + k - 1,
            // and tile column c is input column left + reach + 1 + c, so its row
            // of the disc, columns x - w .. x + w, is S[c + reach + 2 + w] less
            // S[c + reach + 1 - w]. Only the disc's rows that meet the input.
            int rows = 0;
            for (int d = 0; d < discRows; ++d) {
                const int inputRow = y + offsets[d];
                if (inputRow < 0 || inputRow >= height)
                    continue;
                const std::uint32_t* sums = slot(inputRow);
                hi[rows] = sums + 4 * (reach + halfWidth[d] + 2);
                lo[rows] = sums + 4 * (reach + 1 - halfWidth[d]);
                ++rows;
            }
            auto* dst = reinterpret_cast<std::uint8_t*>(result.scanLine(oy)) + 4 * c0;
            sumRow(hi.data(), lo.data(), rows, 4 * columns, scale, dst);
        }
    };
    // Jobs run band by band, so that the tiles working at one time share
    // their input rows; at low priority, so that painting goes first.
    ParallelFor::runLowPriority(bands * tiles, job);
    if (stopped.load())
        return {};
    return result;
}

// The image with rows and columns swapped: pixel (x, y) goes to (y, x).
QImage transposed(const QImage& image)
{
    QImage out(image.height(), image.width(), image.format());
    if (out.isNull())
        return out;
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            reinterpret_cast<std::uint32_t*>(out.scanLine(x))[y] = row[x];
    }
    return out;
}

// The disc is the same turned a quarter, so the blur of the transposed input
// is the blur transposed. The rows cost the disc's height each, and the
// prefix sums the disc's width: an input far narrower than the disc and
// taller than wide (4 x 400000 under a disc of radius 2000) is blurred on
// its side, where rows outside it cost nothing.
QImage blurAnyShape(const QImage& input, double radius, const QRect& out, const Cancelled& cancelled)
{
    const int reach = radius > 0 ? int(std::floor(radius)) : 0;
    if (input.width() >= reach || input.height() <= input.width())
        return blurInto(input, radius, out, cancelled);
    const QImage turned = transposed(input);
    if (turned.isNull())
        return {};
    const QImage blurred =
        blurInto(turned, radius, QRect(out.y(), out.x(), out.height(), out.width()), cancelled);
    return blurred.isNull() ? blurred : transposed(blurred);
}

QImage premultiplied(const QImage& image)
{
    if (image.format() == QImage::Format_ARGB32_Premultiplied ||
        image.format() == QImage::Format_RGB32)
        return image;
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

QImage blur(const QImage& image, double radius, const Cancelled& cancelled)
{
    if (image.isNull())
        return {};
    const QImage input = premultiplied(image);
    return blurAnyShape(input, radius, input.rect(), cancelled);
}

FilterImage blur(const FilterImage& image, double radius)
{
    if (image.isNull())
        return {};
    const int grow = radius > 0 ? int(std::ceil(radius)) : 0;
    return blur(image, radius, image.extent().adjusted(-grow, -grow, grow, grow));
}

FilterImage blur(const FilterImage& image, double radius, const QRect& region,
                 const Cancelled& cancelled)
{
    if (image.isNull() || region.isEmpty())
        return {};
    // Extent coordinates are y-up; pixel rows run from the extent's top edge.
    const QRect extent = image.extent();
    const int top = (extent.y() + extent.height()) - (region.y() + region.height());
    const QRect out(region.x() - extent.x(), top, region.width(), region.height());
    const QImage pixels = blurAnyShape(premultiplied(image.pixels()), radius, out, cancelled);
    if (pixels.isNull())
        return {};
    return FilterImage(pixels, region.topLeft());
}

} // namespace DiscBlur
