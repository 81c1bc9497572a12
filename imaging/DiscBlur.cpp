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

// Widest tile of output columns one band works on at a time, and the memory
// one band's ring of prefix rows may take: together they bound what a blur
// needs beside its input and output, whatever the picture's shape.
constexpr int maxTileWidth = 4096;
constexpr qint64 ringBudget = qint64(32) << 20;
// A band checks for cancellation every this many rows.
constexpr int rowsPerCheck = 8;

// Blurs the input (premultiplied, width x height) into the output rectangle
// `out` given in input pixel coordinates (top-first rows), which may reach
// outside the input. Null when cancelled.
QImage blurInto(const QImage& input, double radius, const QRect& out, const Cancelled& cancelled)
{
    QImage result(out.size(), QImage::Format_ARGB32_Premultiplied);
    if (result.isNull() || out.isEmpty())
        return result;
    const int width = input.width();
    const int height = input.height();
    const int reach = radius > 0 ? int(std::floor(radius)) : 0;

    // Half-width of the disc's row at each vertical offset, and its area.
    std::vector<int> halfWidth(2 * reach + 1);
    std::uint32_t area = 0;
    for (int dy = -reach; dy <= reach; ++dy) {
        const double span = radius * radius - double(dy) * dy;
        const int w = span >= 0 ? std::min(reach, int(std::floor(std::sqrt(span) + 1e-9))) : -1;
        halfWidth[dy + reach] = w;
        area += std::uint32_t(2 * w + 1);
    }
    const float scale = 1.0f / float(area);

    // Only rows inside the input are held: those outside count as transparent.
    const int ringRows = std::min(2 * reach + 1, height);
    const qint64 bytesPerColumn = qint64(ringRows) * 4 * sizeof(std::uint32_t);
    int tile =
        int(std::clamp<qint64>(ringBudget / bytesPerColumn - 2 * reach - 2, 256, maxTileWidth));
    const int tiles = (out.width() + tile - 1) / tile;
    tile = (out.width() + tiles - 1) / tiles;
    const int stride = 4 * (tile + 2 * reach + 2);

    std::atomic<bool> stopped{false};
    auto band = [&](int begin, int end) {
        std::vector<std::uint32_t> ring(std::size_t(ringRows) * stride);
        std::vector<std::uint32_t> acc(std::size_t(4) * tile);
        // Ring slot of input row r (0 <= r < height).
        auto slot = [&](int inputRow) {
            return ring.data() + std::size_t(inputRow % ringRows) * stride;
        };
        for (int tileLeft = 0; tileLeft < out.width(); tileLeft += tile) {
            const int columns = std::min(tile, out.width() - tileLeft);
            // Prefix sums cover the tile's columns widened by the reach on both sides.
            const int left = out.left() + tileLeft - reach - 1; // input column of prefix index 0
            const int length = columns + 2 * reach + 2;
            auto prefixRow = [&](int inputRow) {
                std::uint32_t* sums = slot(inputRow);
                const auto* pixels =
                    reinterpret_cast<const std::uint8_t*>(input.constScanLine(inputRow));
                std::uint32_t b = 0, g = 0, r = 0, a = 0;
                sums[0] = sums[1] = sums[2] = sums[3] = 0;
                for (int k = 1; k < length; ++k) {
                    const int x = left + k - 1;
                    if (x >= 0 && x < width) {
                        const std::uint8_t* p = pixels + 4 * x;
                        b += p[0];
                        g += p[1];
                        r += p[2];
                        a += p[3];
                    }
                    std::uint32_t* s = sums + 4 * k;
                    s[0] = b;
                    s[1] = g;
                    s[2] = r;
                    s[3] = a;
                }
            };
            const int firstOut = out.top() + begin;
            for (int r = std::max(0, firstOut - reach); r < std::min(height, firstOut + reach); ++r)
                prefixRow(r);
            const int n4 = 4 * columns;
            for (int oy = begin; oy < end; ++oy) {
                if ((oy - begin) % rowsPerCheck == 0 && cancelled && cancelled()) {
                    stopped = true;
                    return;
                }
                const int y = out.top() + oy;
                if (y + reach >= 0 && y + reach < height)
                    prefixRow(y + reach);
                std::fill(acc.begin(), acc.begin() + n4, 0u);
                std::uint32_t* accp = acc.data();
                const int dyFirst = std::max(-reach, -y);
                const int dyLast = std::min(reach, height - 1 - y);
                for (int dy = dyFirst; dy <= dyLast; ++dy) {
                    const int w = halfWidth[dy + reach];
                    if (w < 0)
                        continue;
                    const std::uint32_t* sums = slot(y + dy);
                    // Prefix index k holds the sum of input columns left .. left + k - 1,
                    // and tile column c is input column left + reach + 1 + c, so its
                    // row of the disc, columns x - w .. x + w, is S[c + reach + 2 + w]
                    // less S[c + reach + 1 - w].
                    const std::uint32_t* hi = sums + 4 * (reach + w + 2);
                    const std::uint32_t* lo = sums + 4 * (reach + 1 - w);
                    for (int i = 0; i < n4; ++i)
                        accp[i] += hi[i] - lo[i];
                }
                auto* dst = reinterpret_cast<std::uint8_t*>(result.scanLine(oy)) + 4 * tileLeft;
                for (int i = 0; i < n4; ++i)
                    dst[i] = std::uint8_t(std::min(255.0f, float(accp[i]) * scale + 0.5f));
            }
        }
    };
    ParallelFor::run(out.height(), 64, band);
    if (stopped.load())
        return {};
    return result;
}

QImage premultiplied(const QImage& image)
{
    if (image.format() == QImage::Format_ARGB32_Premultiplied ||
        image.format() == QImage::Format_RGB32)
        return image;
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

QImage blur(const QImage& image, double radius)
{
    if (image.isNull())
        return {};
    const QImage input = premultiplied(image);
    return blurInto(input, radius, input.rect(), {});
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
    const QImage pixels = blurInto(premultiplied(image.pixels()), radius, out, cancelled);
    if (pixels.isNull())
        return {};
    return FilterImage(pixels, region.topLeft());
}

} // namespace DiscBlur
