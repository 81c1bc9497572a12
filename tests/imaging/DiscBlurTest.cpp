#include "imaging/DiscBlur.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>

namespace {

// The blur computed the slow way: a sum over the disc for every pixel.
QImage referenceBlur(const QImage& in, double radius)
{
    QImage out(in.size(), QImage::Format_ARGB32_Premultiplied);
    const int reach = int(std::floor(radius));
    int area = 0;
    for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx)
            if (dx * dx + dy * dy <= radius * radius)
                ++area;
    for (int y = 0; y < in.height(); ++y)
        for (int x = 0; x < in.width(); ++x) {
            double sum[4] = {0, 0, 0, 0};
            for (int dy = -reach; dy <= reach; ++dy)
                for (int dx = -reach; dx <= reach; ++dx) {
                    if (dx * dx + dy * dy > radius * radius)
                        continue;
                    const int sx = x + dx, sy = y + dy;
                    if (sx < 0 || sy < 0 || sx >= in.width() || sy >= in.height())
                        continue;
                    const QRgb p = in.pixel(sx, sy);
                    sum[0] += qBlue(p);
                    sum[1] += qGreen(p);
                    sum[2] += qRed(p);
                    sum[3] += qAlpha(p);
                }
            auto c = [&](int i) { return int(std::min(255.0, sum[i] / area + 0.5)); };
            reinterpret_cast<QRgb*>(out.scanLine(y))[x] = qRgba(c(2), c(1), c(0), c(3));
        }
    return out;
}

} // namespace

TEST(DiscBlur, MatchesTheDirectSumOverTheDiscAcrossTileAndBandSeamsAndForAnyShape)
{
    // Wider than one tile of columns and taller than one band of rows, with
    // a last tile whose width is not a multiple of the register lanes; and
    // pictures far narrower or lower than the disc, one of them blurred on
    // its side.
    const struct {
        QSize size;
        std::initializer_list<double> radii;
    } cases[] = {{{301, 203}, {0.0, 1.0, 2.5, 7.3}}, {{3, 140}, {7.3, 30}}, {{140, 2}, {7.3, 30}}};
    std::mt19937 rng(7);
    for (const auto& c : cases) {
        QImage in(c.size, QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < in.height(); ++y)
            for (int x = 0; x < in.width(); ++x) {
                const int a = int(rng() % 256);
                reinterpret_cast<QRgb*>(in.scanLine(y))[x] =
                    qRgba(int(rng() % (a + 1)), int(rng() % (a + 1)), int(rng() % (a + 1)), a);
            }
        for (double radius : c.radii) {
            const QImage fast = DiscBlur::blur(in, radius);
            const QImage slow = referenceBlur(in, radius);
            for (int y = 0; y < in.height(); ++y)
                for (int x = 0; x < in.width(); ++x)
                    ASSERT_EQ(fast.pixel(x, y), slow.pixel(x, y))
                        << c.size.width() << "x" << c.size.height() << " r " << radius << " at " << x
                        << "," << y;
            // The grown extent's source part is the same.
            const FilterImage grown = DiscBlur::blur(FilterImage(in, QPoint(0, 0)), radius);
            const int g = int(std::ceil(radius));
            ASSERT_EQ(grown.extent(), QRect(QPoint(-g, -g), c.size + QSize(2 * g, 2 * g)));
            EXPECT_EQ(grown.pixels().copy(QRect(QPoint(g, g), c.size)), fast);
        }
    }
}

// Outside counts as transparent (as the direct sum above has it); the grown
// extent keeps the halo.
TEST(DiscBlur, TheGrownExtentKeepsTheHaloAndItsSourcePartIsTheDirectBlur)
{
    QImage in(20, 10, QImage::Format_RGB32);
    in.fill(Qt::white);
    const QImage out = DiscBlur::blur(in, 3);
    const FilterImage whole = DiscBlur::blur(FilterImage(in, QPoint(0, 0)), 3);
    EXPECT_EQ(whole.extent(), QRect(-3, -3, 26, 16));
    EXPECT_GT(qAlpha(whole.pixels().pixel(1, 5)), 0); // 2 px left of the source
    // Cropped back to the source extent, it is the same as the direct blur.
    const FilterImage region =
        DiscBlur::blur(FilterImage(in, QPoint(0, 0)), 3, QRect(0, 0, 20, 10));
    EXPECT_EQ(region.extent(), QRect(0, 0, 20, 10));
    EXPECT_EQ(region.pixels(), out);
}

TEST(DiscBlur, ACancelledBlurStopsAndGivesNothing)
{
    QImage grey(600, 400, QImage::Format_RGB32);
    grey.fill(Qt::gray);
    const FilterImage in(grey, QPoint(0, 0));
    std::atomic<int> asked{0};
    const FilterImage out = DiscBlur::blur(in, 10, in.extent(), [&] { return ++asked > 1; });
    EXPECT_TRUE(out.isNull());
    EXPECT_LE(asked.load(), 1 + 2 * 16); // at most one more look per tile once cancelled
    EXPECT_FALSE(DiscBlur::blur(in, 10, in.extent(), [] { return false; }).isNull());
    EXPECT_TRUE(DiscBlur::blur(grey, 10, [] { return true; }).isNull());
}
