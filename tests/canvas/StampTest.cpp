#include "canvas/BrushStamp.h"
#include "canvas/StampDrawing.h"
#include "canvas/StampSlot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Plane {
    Plane(int w, int h, std::uint8_t fill) : pixels(std::size_t(w) * h, fill), width(w), height(h)
    {
    }
    AlphaPlane plane() { return {pixels.data(), width, height, width}; }
    // y up, as stamps are given
    std::uint8_t at(int x, int yUp) const
    {
        return pixels[std::size_t(height - 1 - yUp) * width + x];
    }
    std::vector<std::uint8_t> pixels;
    int width, height;
};

} // namespace

TEST(BrushStamp, SizeFollowsTheMaskScale)
{
    EXPECT_EQ(BrushStamp::make(1, 1)->size, 200);
    EXPECT_EQ(BrushStamp::make(1, 0.5f)->size, 400);
    // 200 / (2000/3000 as a float) rounds to exactly 300 in single precision.
    EXPECT_EQ(BrushStamp::make(1, 2000.0f / 3000.0f)->size, 300);
    EXPECT_EQ(BrushStamp::make(1, 0.3f)->size, 666);
    // It only sets the stamp's resolution: capped for pictures over ~10000
    // points, whose stamp would otherwise take seconds to build.
    EXPECT_EQ(BrushStamp::make(1, 0.1f)->size, 1024);
    const auto wide = BrushStamp::make(0.5f, 2000.0f / 400000);
    ASSERT_EQ(wide->size, 1024);
    EXPECT_EQ(wide->row(512)[512 + 200], 255);      // within half the radius
    EXPECT_NEAR(wide->row(512)[512 + 384], 128, 4); // half way down the ramp
    EXPECT_EQ(wide->row(0)[0], 0);
}

TEST(StampSlot, TheNewestSettingsWinWhicheverBuildFinishesLast)
{
    // A mask rebuild on the serial queue took its ticket first; a hardness
    // change on the main thread took the next one and finished first.
    StampSlot slot;
    const std::uint64_t rebuild = slot.ticket();
    const std::uint64_t hardnessChange = slot.ticket();
    const auto soft = BrushStamp::make(0.5f, 1);
    EXPECT_TRUE(slot.install(hardnessChange, soft));
    EXPECT_FALSE(slot.install(rebuild, BrushStamp::make(1, 1)));
    EXPECT_EQ(slot.current(), soft);
}

TEST(BrushStamp, SoftProfileIsFlatToTheHardnessThenLinearToTheRimAndHardnessOneIsADisc)
{
    // Along the centre row of a 200-pixel stamp, right of the centre (100, 100).
    const auto soft = BrushStamp::make(0.5f, 1);
    const std::uint8_t* row = soft->row(100);
    EXPECT_EQ(row[109], 255);
    EXPECT_EQ(row[149], 255);
    EXPECT_NEAR(row[175], 128, 4);
    EXPECT_LE(row[199], 3);        // 99.5 from the centre: the last step of the ramp
    EXPECT_EQ(soft->row(0)[0], 0); // the corner lies outside the disc

    const auto hard = BrushStamp::make(1, 1);
    EXPECT_EQ(hard->row(100)[199], 255); // 99.5 from the centre
    EXPECT_EQ(hard->row(30)[30], 255);   // 98.3 diagonally: inside
    EXPECT_EQ(hard->row(28)[28], 0);     // 101.1: outside
}

TEST(StampDrawing, HardStampCutsTheDiscAndLeavesTheRestWithinTheMask)
{
    Plane mask(100, 100, 255);
    const QRect touched = drawStamp(mask.plane(), nullptr, 30, 30, 40, 40, 0);
    EXPECT_EQ(mask.at(50, 50), 0);
    EXPECT_EQ(mask.at(35, 50), 0);   // 15 from the centre
    EXPECT_EQ(mask.at(30, 30), 255); // corner of the square: outside the disc
    EXPECT_EQ(mask.at(10, 10), 255);
    EXPECT_EQ(touched, QRect(30, 30, 40, 40));
    // Anti-aliased rim: partly covered pixels lie strictly between.
    const std::uint8_t rim = mask.at(50, 69);
    EXPECT_GT(rim, 0);
    EXPECT_LT(rim, 255);
    // Clipped at the mask's edges.
    Plane small(50, 50, 255);
    EXPECT_EQ(drawStamp(small.plane(), nullptr, -20, 30, 40, 40, 0), QRect(0, 0, 20, 20));
    EXPECT_EQ(small.at(0, 49), 0);
    EXPECT_TRUE(drawStamp(small.plane(), nullptr, 60, 60, 10, 10, 0).isEmpty());
}

TEST(StampDrawing, RestampingMovesTowardsTheNewIntensityInsteadOfBlending)
{
    Plane mask(100, 100, 255);
    drawStamp(mask.plane(), nullptr, 30, 30, 40, 40, 0);
    drawStamp(mask.plane(), nullptr, 30, 30, 40, 40, 128);
    EXPECT_EQ(mask.at(50, 50), 128);
    drawStamp(mask.plane(), nullptr, 30, 30, 40, 40, 128);
    EXPECT_EQ(mask.at(50, 50), 128); // never beyond the brush's own value
}

TEST(StampDrawing, SoftStampCopiesItsProfileAtItsOwnSizeAndStretchesOntoOthers)
{
    const auto stamp = BrushStamp::make(0.5f, 1);
    Plane mask(400, 400, 255);
    drawStamp(mask.plane(), stamp.get(), 100, 100, 200, 200, 0);
    // The stamp maps pixel for pixel: cov = stamp alpha, new = 255 - cov.
    for (int x : {100, 150, 176, 199, 230, 260, 299})
        EXPECT_EQ(mask.at(x, 200), 255 - stamp->row(100)[x - 100]) << x;
    EXPECT_EQ(mask.at(50, 50), 255);

    Plane half(200, 200, 255);
    drawStamp(half.plane(), stamp.get(), 50, 50, 100, 100, 0);
    EXPECT_EQ(half.at(100 + 20, 100), 0);         // within the flat core (25)
    EXPECT_NEAR(half.at(100 + 37, 100), 128, 12); // half way down the ramp
    EXPECT_EQ(half.at(100 + 51, 100), 255);       // beyond the rim
}

TEST(StampDrawing, Div255RoundsToNearest)
{
    for (std::uint32_t x = 0; x <= 255 * 255; x += 7)
        EXPECT_EQ(div255(x), std::uint32_t(std::lround(x / 255.0))) << x;
}
