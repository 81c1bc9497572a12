#include "imaging/ColourRegion.h"

#include "imaging/ColourCache.h"
#include "platform/ParallelFor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr std::uint16_t unreached = 0xffff;

// The flood's queue holds one bucket per unit of colour difference (a
// tolerance step), and bucket 0 for distance 0 alone, so that tolerance 0
// stays exact. Within a bucket the order is arbitrary, which can make a level
// up to one unit too large; finer buckets cost more than they tell (1/8 unit:
// a tenth slower on a busy picture, as the flood jumps about more).
constexpr int bucketShift = 7;
constexpr int bucketOf(int level)
{
    return level == 0 ? 0 : 1 + ((level - 1) >> bucketShift);
}
constexpr int bucketFloor(int bucket)
{
    return bucket == 0 ? 0 : ((bucket - 1) << bucketShift) + 1;
}
constexpr int bucketCount = bucketOf(ColourDistance::maxDistance) + 1;

// out[i] = sqrt(in[i]) rounded and capped at maxDistance, in the high half,
// and unreached in the low half. Eight at a time where the processor has
// SSE2: the compiler keeps std::sqrt scalar for errno's sake.
void cellsFromSquares(const float* in, std::uint32_t* out, int count)
{
    constexpr float cap = ColourDistance::maxDistance;
    int i = 0;
#if defined(__SSE2__)
    const __m128 half = _mm_set1_ps(0.5f), top = _mm_set1_ps(cap);
    const __m128i bias = _mm_set1_epi16(std::int16_t(-0x8000));
    const __m128i none = _mm_set1_epi16(std::int16_t(unreached));
    for (; i + 8 <= count; i += 8) {
        // Rounded and shifted into int16's range, packed, shifted back.
        auto root = [&](const float* p) {
            const __m128 r = _mm_min_ps(_mm_add_ps(_mm_sqrt_ps(_mm_loadu_ps(p)), half), top);
            return _mm_sub_epi32(_mm_cvttps_epi32(r), _mm_set1_epi32(0x8000));
        };
        const __m128i roots = _mm_xor_si128(_mm_packs_epi32(root(in + i), root(in + i + 4)), bias);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi16(none, roots));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4), _mm_unpackhi_epi16(none, roots));
    }
#endif
    for (; i < count; ++i)
        out[i] = std::uint32_t(std::min(std::sqrt(in[i]) + 0.5f, cap)) << 16 | unreached;
}

// The first and last columns of a row that are not 0, or {-1, -1}; eight
// bytes at a time, as most rows of a small region are all 0.
std::pair<int, int> nonZeroSpan(const std::uint8_t* row, int width)
{
    auto word = [&](int at) {
        std::uint64_t w;
        std::memcpy(&w, row + at, 8);
        return w;
    };
    int first = 0;
    while (first + 8 <= width && word(first) == 0)
        first += 8;
    while (first < width && row[first] == 0)
        ++first;
    if (first == width)
        return {-1, -1};
    int last = width;
    while (last - 8 > first && word(last - 8) == 0)
        last -= 8;
    --last;
    while (row[last] == 0)
        --last;
    return {first, last};
}

} // namespace

struct ColourRegion::Impl {
    std::shared_ptr<const ColourCache> colours;
    Extent extent = Extent::Contiguous;
    int width = 0;
    int height = 0;
    // Per pixel, the distance in the high half and the level (contiguous:
    // unreached until the flood gets there) in the low half, so the flood
    // finds both in one load. A one-pixel border, reached from the start,
    // spares the flood any edge test.
    int paddedWidth = 0;
    std::vector<std::uint32_t> cells;
    std::vector<std::vector<std::uint32_t>> buckets;
    int nextBucket = 0;           // the buckets before it are done
    std::size_t nextInBucket = 0; // and so are its pixels before this one

    std::size_t padded(int x, int y) const { return std::size_t(y + 1) * paddedWidth + x + 1; }
    void measure(LabColour seed, LabColour around);
    void prepareFlood(QPoint seed);
    void flood(int limit, std::size_t extra);
};

ColourRegion::ColourRegion() : d(std::make_unique<Impl>()) {}

ColourRegion::~ColourRegion() = default;

bool ColourRegion::isActive() const
{
    return d->colours != nullptr;
}

void ColourRegion::reset()
{
    d->colours.reset();
}

void ColourRegion::start(std::shared_ptr<const ColourCache> colours, QPoint seed, Extent extent)
{
    reset();
    if (!colours || seed.x() < 0 || seed.y() < 0 || seed.x() >= colours->width() ||
        seed.y() >= colours->height())
        return;
    d->colours = std::move(colours);
    d->extent = extent;
    d->width = d->colours->width();
    d->height = d->colours->height();
    d->paddedWidth = d->width + 2;
    d->cells.resize(std::size_t(d->paddedWidth) * (d->height + 2));
    std::fill_n(d->cells.begin(), d->paddedWidth, 0);
    std::fill_n(d->cells.end() - d->paddedWidth, d->paddedWidth, 0);
    for (int y = 0; y < d->height; ++y) {
        d->cells[d->padded(-1, y)] = 0;
        d->cells[d->padded(d->width, y)] = 0;
    }
    d->measure(d->colours->at(seed.x(), seed.y()), d->colours->medianAround(seed.x(), seed.y()));
    if (extent == Extent::Contiguous)
        d->prepareFlood(seed);
}

void ColourRegion::Impl::measure(LabColour seed, LabColour around)
{
    ParallelFor::run(height, 64, [&](int begin, int end) {
        std::vector<float> squared(std::size_t(width), 0.0f);
        for (int y = begin; y < end; ++y) {
            const std::int16_t* L = colours->lightnessRow(y);
            const std::int16_t* A = colours->aRow(y);
            const std::int16_t* B = colours->bRow(y);
            float* nearer = squared.data();
            for (int x = 0; x < width; ++x) {
                const float l1 = float(L[x] - seed.L), a1 = float(A[x] - seed.a),
                            b1 = float(B[x] - seed.b);
                const float l2 = float(L[x] - around.L), a2 = float(A[x] - around.a),
                            b2 = float(B[x] - around.b);
                nearer[x] =
                    std::min(l1 * l1 + a1 * a1 + b1 * b1, l2 * l2 + a2 * a2 + b2 * b2 + 1.0f);
            }
            cellsFromSquares(nearer, cells.data() + padded(0, y), width);
        }
    });
}

void ColourRegion::Impl::prepareFlood(QPoint seed)
{
    buckets.resize(bucketCount);
    for (auto& bucket : buckets)
        bucket.clear();
    const std::size_t at = padded(seed.x(), seed.y());
    const std::uint32_t distance = cells[at] >> 16;
    cells[at] = distance << 16 | distance;
    buckets[bucketOf(int(distance))].push_back(std::uint32_t(at));
    nextBucket = 0;
    nextInBucket = 0;
}

void ColourRegion::Impl::flood(int limit, std::size_t extra)
{
    std::uint32_t* const cell = cells.data();
    const std::ptrdiff_t step = paddedWidth;
    for (; nextBucket < bucketCount; ++nextBucket, nextInBucket = 0) {
        std::vector<std::uint32_t>& bucket = buckets[nextBucket];
        const bool needed = bucketFloor(nextBucket) <= limit;
        // Pixels reached from this bucket at its own level join it, so it
        // grows while it is read.
        for (; nextInBucket < bucket.size(); ++nextInBucket) {
            if (!needed && extra-- == 0)
                return;
            const std::uint32_t i = bucket[nextInBucket];
            const std::uint32_t here = cell[i] & 0xffff;
            for (const std::ptrdiff_t offset :
                 {-step, std::ptrdiff_t(-1), std::ptrdiff_t(1), step}) {
                const std::size_t n = std::size_t(i + offset);
                const std::uint32_t c = cell[n];
                if ((c & 0xffff) != unreached)
                    continue;
                // A pixel's level is fixed when it is first reached: nothing
                // later in the flood comes from a lower level.
                const std::uint32_t reached = std::max(here, c >> 16);
                cell[n] = (c & 0xffff0000) | reached;
                buckets[bucketOf(int(reached))].push_back(std::uint32_t(n));
            }
        }
        bucket.clear();
    }
}

bool ColourRegion::reachAhead(int pixels)
{
    if (!d->colours || d->extent != Extent::Contiguous)
        return false;
    if (pixels > 0)
        d->flood(-1, std::size_t(pixels));
    return d->nextBucket < bucketCount;
}

ColourCoverage ColourRegion::coverage(double tolerance, double softness)
{
    if (!d->colours)
        return {};
    const ColourRamp ramp = ColourRamp::forRegion(tolerance, softness);
    const bool contiguous = d->extent == Extent::Contiguous;
    if (contiguous)
        d->flood(std::max(0, ramp.outer - 1), 0);

    // unreached and every level from the ramp's end on are 0.
    std::vector<std::uint8_t> table(0x10000, 0);
    std::fill_n(table.begin(), std::min(ramp.inner + 1, int(unreached)), 255);
    for (int v = ramp.inner + 1; v < std::min(ramp.outer, int(unreached)); ++v)
        table[v] = ramp.coverage(v);

    ColourCoverage result;
    result.plane = QImage(d->width, d->height, QImage::Format_Alpha8);
    // Rows are reached through bits(): scanLine() would count a detach on
    // every call, from both threads.
    std::uint8_t* const bits = result.plane.bits();
    const std::ptrdiff_t bytesPerLine = result.plane.bytesPerLine();
    std::mutex boundsMutex;
    const int width = d->width;
    const std::uint8_t* const lookup = table.data();
    const int shift = contiguous ? 0 : 16;
    ParallelFor::run(d->height, 64, [&](int begin, int end) {
        QRect bounds;
        for (int y = begin; y < end; ++y) {
            const std::uint32_t* in = d->cells.data() + d->padded(0, y);
            std::uint8_t* out = bits + y * bytesPerLine;
            for (int x = 0; x < width; ++x)
                out[x] = lookup[(in[x] >> shift) & 0xffff];
            const auto [first, last] = nonZeroSpan(out, width);
            if (first >= 0)
                bounds |= QRect(first, y, last - first + 1, 1);
        }
        std::lock_guard lock(boundsMutex);
        result.bounds |= bounds;
    });
    return result;
}
