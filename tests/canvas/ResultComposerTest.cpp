#include "canvas/ResultComposer.h"

#include "canvas/Compositor.h"
#include "canvas/EdgeRefine.h"
#include "canvas/PictureLevels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

// A photograph's stand-in: soft gradients, noise, a hard-edged disc and a
// translucent corner, straight alpha.
QImage photoLike(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32);
    std::mt19937 rng(11);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const bool disc = std::hypot(x - w * 0.6, y - h * 0.4) < std::min(w, h) * 0.3;
            const int noise = int(rng() % 9) - 4;
            const int r = std::clamp((disc ? 200 : 40) + x * 60 / std::max(1, w) + noise, 0, 255);
            const int g = std::clamp((disc ? 60 : 150) + y * 80 / std::max(1, h) + noise, 0, 255);
            const int b = std::clamp(90 + noise, 0, 255);
            const int a = x < w / 8 && y < h / 8 ? 128 + (x + y) % 100 : 255;
            row[x] = qRgba(r, g, b, a);
        }
    }
    return image;
}

enum class Cut { None, Partly, Whole };

// A mask of about a third of the picture's size: a soft-edged hole, or all
// cut, or nothing cut.
QImage maskFor(QSize picture, Cut cut)
{
    QImage mask(std::max(1, (picture.width() + 2) / 3), std::max(1, (picture.height() + 2) / 3),
                QImage::Format_Alpha8);
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x) {
            const double d = std::hypot(x - mask.width() * 0.45, y - mask.height() * 0.55);
            const int soft = std::clamp(int((d - mask.width() * 0.2) * 40), 0, 255);
            mask.scanLine(y)[x] = uchar(cut == Cut::None ? 255 : cut == Cut::Whole ? 0 : soft);
        }
    return mask;
}

} // namespace

// Composed in bands of any height, the finished picture is the whole-image
// path's to the byte: plain and refined, with and without the blurred copy
// and the colours kept under the cut, for odd sizes, one row and one column.
TEST(ResultComposer, BandsGiveTheWholePicturesBytes)
{
    struct Case {
        QSize size;
        Cut cut;
    };
    const Case cases[] = {{{301, 203}, Cut::Partly}, {{1, 97}, Cut::Partly},  {{97, 1}, Cut::Partly},
                          {{160, 90}, Cut::Whole},   {{160, 90}, Cut::None}, {{2, 2}, Cut::Partly}};
    for (const Case& c : cases) {
        const QImage picture = photoLike(c.size.width(), c.size.height());
        const QImage mask = maskFor(c.size, c.cut);
        QImage blur = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        blur.fill(qPremultiply(qRgba(20, 90, 240, 200)));
        for (const QImage& b : {QImage(), blur}) {
            for (auto refine : {ResultComposer::Refine::Off, ResultComposer::Refine::Edges}) {
                for (auto under : {ResultComposer::UnderCut::Dropped, ResultComposer::UnderCut::KeptColours}) {
                    const bool keep = under == ResultComposer::UnderCut::KeptColours;
                    QImage whole;
                    if (refine == ResultComposer::Refine::Off) {
                        whole = Compositor::result(picture, b, mask, c.size, c.size, keep);
                    } else {
                        // The refined path as the save composed it before bands.
                        whole = EdgeRefine::result(picture, b, mask, c.size, c.size);
                        for (int y = 0; keep && b.isNull() && y < whole.height(); ++y)
                            for (int x = 0; x < whole.width(); ++x) {
                                QRgb& p = reinterpret_cast<QRgb*>(whole.scanLine(y))[x];
                                if (qAlpha(p) == 0)
                                    p = picture.pixel(x, y) & 0x00ffffffu;
                            }
                    }
                    const ResultComposer composer(picture, b, mask, c.size, c.size, refine, under);
                    ASSERT_EQ(composer.size(), c.size);
                    for (int band : {1, 7, 64}) {
                        QImage banded(c.size, QImage::Format_ARGB32);
                        banded.fill(0x12345678);
                        for (int y = 0; y < c.size.height(); y += band)
                            composer.rows(y, y + band, banded.scanLine(y), banded.bytesPerLine());
                        EXPECT_EQ(banded, whole) << c.size.width() << "x" << c.size.height() << " band "
                                                 << band << " blur " << !b.isNull() << " refine "
                                                 << int(refine) << " keep " << keep;
                    }
                    // The bands the composer proposes: whole rows of the refinement's tiles.
                    const std::vector<int> starts = composer.bandStarts();
                    ASSERT_EQ(starts.empty(), refine == ResultComposer::Refine::Off);
                    if (!starts.empty()) {
                        EXPECT_EQ(starts.front(), 0);
                        QImage banded(c.size, QImage::Format_ARGB32);
                        banded.fill(0x12345678);
                        for (size_t i = 0; i < starts.size(); ++i) {
                            const int end = i + 1 < starts.size() ? starts[i + 1] : c.size.height();
                            ASSERT_LT(starts[i], end);
                            composer.rows(starts[i], end, banded.scanLine(starts[i]), banded.bytesPerLine());
                        }
                        EXPECT_EQ(banded, whole) << c.size.width() << "x" << c.size.height();
                    }
                }
            }
        }
    }
}

// A blurred copy smaller than the picture is enlarged linearly: uniform
// stays uniform, and a ramp stays a ramp to within a level.
TEST(ResultComposer, AReducedBlurredCopyIsEnlargedLinearly)
{
    const QSize size(400, 300);
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(Qt::white);
    const QImage allCut = maskFor(size, Cut::Whole);
    QImage ramp(100, 75, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < ramp.height(); ++y)
        for (int x = 0; x < ramp.width(); ++x)
            reinterpret_cast<QRgb*>(ramp.scanLine(y))[x] = qRgb(2 * x, 3 * y, 100);
    const QImage out = ResultComposer(picture, ramp, allCut, size, size, ResultComposer::Refine::Off,
                                      ResultComposer::UnderCut::Dropped)
                           .image();
    int worst = 0;
    for (int y = 8; y < size.height() - 8; ++y)
        for (int x = 8; x < size.width() - 8; ++x) {
            const QRgb p = out.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(p) - int(std::lround(2 * ((x + 0.5) / 4 - 0.5)))),
                              std::abs(qGreen(p) - int(std::lround(3 * ((y + 0.5) / 4 - 0.5))))});
            ASSERT_EQ(qAlpha(p), 255);
        }
    EXPECT_LE(worst, 1);
}

// The blurred copy a large picture keeps, made at a half or a quarter of the
// size and enlarged, against the full-size blur of a photograph-like picture:
// within a level away from the picture's rim, and two at the rim (where the
// blur fades to transparent, its steepest), and the small radii stay exact.
TEST(ResultComposer, AReducedBlurredCopyStaysCloseToTheFullSizeOne)
{
    EXPECT_EQ(PictureLevels::blurReduction({600, 400}), 0);
    EXPECT_EQ(PictureLevels::blurReduction({6000, 4000}), 1);
    EXPECT_EQ(PictureLevels::blurReduction({12240, 8160}), 2);

    const QSize size(1200, 800);
    const QImage picture = photoLike(size.width(), size.height())
                               .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage allCut = maskFor(size, Cut::Whole);
    auto shown = [&](const QImage& blur) {
        return ResultComposer(picture, blur, allCut, size, size, ResultComposer::Refine::Off,
                              ResultComposer::UnderCut::Dropped)
            .image();
    };
    // Each reduction at the smallest radius that takes it.
    for (auto [halvings, radius] : {std::pair{1, 32.0}, std::pair{2, 64.0}}) {
        const QImage full = shown(PictureLevels::blurredCopy(picture, radius, 0));
        const QImage reduced = PictureLevels::blurredCopy(picture, radius, halvings);
        ASSERT_EQ(reduced.width(), size.width() >> halvings);
        const QImage out = shown(reduced);
        int worst = 0, worstInside = 0;
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x) {
                const QRgb a = full.pixel(x, y), b = out.pixel(x, y);
                // Compared as shown: premultiplied, over black.
                const QRgb pa = qPremultiply(a), pb = qPremultiply(b);
                const int d = std::max({std::abs(qRed(pa) - qRed(pb)), std::abs(qGreen(pa) - qGreen(pb)),
                                        std::abs(qBlue(pa) - qBlue(pb)), std::abs(qAlpha(pa) - qAlpha(pb))});
                worst = std::max(worst, d);
                if (x >= radius && y >= radius && x < size.width() - radius && y < size.height() - radius)
                    worstInside = std::max(worstInside, d);
            }
        std::printf("blur radius %.0f at 1/%d: worst %d levels, %d away from the rim\n", radius,
                    1 << halvings, worst, worstInside);
        EXPECT_LE(worstInside, 1) << halvings;
        EXPECT_LE(worst, 2) << halvings;
    }
}
