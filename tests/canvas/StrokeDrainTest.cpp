#include "canvas/StrokeDrain.h"
#include "canvas/MaskDocument.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

// A drain run on the test's own thread, recording what it publishes.
struct Drain {
    Drain()
        : drain(
              [this](const QImage& mask, const QRect& changed) {
                  published.push_back({mask, changed});
              },
              [this] { ++strokes; })
    {
        drain.updateStamp();
    }

    // What setImage asks of the drain, and the drain that follows.
    void load(QSizeF size)
    {
        drain.setPicture(size);
        drain.setNeedsNewMask(true);
        drain.run();
    }
    void stroke(std::initializer_list<StampRect> stamps)
    {
        for (const StampRect& r : stamps)
            drain.buffer().append(r);
        drain.buffer().append(StampRect::endOfStroke());
        drain.run();
    }
    const QImage& mask() const { return published.back().mask; }
    // Mask alpha at a mask pixel given y up.
    int at(int x, int yUp) const { return mask().constScanLine(mask().height() - 1 - yUp)[x]; }

    struct Published {
        QImage mask;
        QRect changed;
    };
    std::vector<Published> published;
    int strokes = 0;
    StrokeDrain drain;
};

} // namespace

TEST(StrokeDrain, MaskSizeAndScaleFollowThePicture)
{
    struct Case {
        double w, h;
        int maskW, maskH;
        float scale;
    };
    for (const Case c :
         {Case{1500, 800, 1500, 800, 1.0f}, Case{2000, 2000, 2000, 2000, 1.0f},
          Case{3000, 3000, 2000, 2000, float(2000.0 / 3000.0)},
          Case{2001, 10, 2000, 9, float(2000.0 / 2001.0)}, Case{4000, 3000, 2000, 1500, 0.5f},
          Case{800, 3000, 533, 2000, float(533.3333333 / 800)},
          // Less than a mask pixel high or wide: one row, or one pixel.
          Case{400000, 4, 2000, 1, 0.005f}, Case{0.5, 0.5, 1, 1, 1.0f}}) {
        Drain d;
        d.load({c.w, c.h});
        ASSERT_EQ(d.published.size(), 1u) << c.w << "x" << c.h;
        EXPECT_EQ(d.mask().size(), QSize(c.maskW, c.maskH)) << c.w << "x" << c.h;
        EXPECT_EQ(d.published[0].changed, d.mask().rect());
        EXPECT_FLOAT_EQ(d.drain.maskScale(), c.scale) << c.w << "x" << c.h;
        EXPECT_EQ(d.at(c.maskW / 2, c.maskH / 2), 255);
    }
}

TEST(StrokeDrain, StampOnAReducedMaskChangesOnlyItsScaledRectangle)
{
    Drain d;
    d.load({4000, 3000});
    d.stroke({{100, 100, 40, 40}});
    ASSERT_EQ(d.mask().size(), QSize(2000, 1500));
    int changed = 0;
    for (int r = 0; r < d.mask().height(); ++r)
        for (int x = 0; x < d.mask().width(); ++x) {
            if (d.mask().constScanLine(r)[x] == 255)
                continue;
            ++changed;
            const int yUp = d.mask().height() - 1 - r;
            ASSERT_TRUE(x >= 50 && x < 70 && yUp >= 50 && yUp < 70) << x << "," << yUp;
        }
    EXPECT_GT(changed, 250);
    EXPECT_EQ(d.at(60, 60), 0);
    EXPECT_EQ(d.published.back().changed, QRect(50, 1500 - 70, 20, 20));
}

TEST(StrokeDrain, HardnessSwitchesToTheHardDiscAt0985)
{
    // A soft stamp leaves the rim partly kept; the hard disc cuts up to its edge.
    auto rimValue = [](float hardness) {
        Drain d;
        d.load({400, 400});
        d.drain.setHardness(hardness);
        d.drain.updateStamp();
        d.stroke({{100, 100, 200, 200}});
        return d.at(200 + 98, 200); // 98.5 from the centre
    };
    EXPECT_EQ(rimValue(0.985f), 0);
    EXPECT_EQ(rimValue(1.0f), 0);
    EXPECT_GT(rimValue(0.98f), 0);
}

TEST(StrokeDrain, StopsAtTheMarkerAndLeavesLaterStampsForTheNextDrain)
{
    Drain d;
    d.load({400, 300});
    d.drain.buffer().append({10, 10, 20, 20});
    d.drain.buffer().append(StampRect::endOfStroke());
    d.drain.buffer().append({200, 200, 20, 20});
    d.drain.run();
    EXPECT_EQ(d.at(20, 20), 0);
    EXPECT_EQ(d.at(210, 210), 255); // still waiting
    EXPECT_EQ(d.drain.buffer().size(), 1u);
    EXPECT_EQ(d.strokes, 1);

    d.drain.run();
    EXPECT_EQ(d.at(210, 210), 0);
    EXPECT_EQ(d.strokes, 1); // no marker, no stroke end

    // A drain that finds only a marker ends the stroke and publishes nothing.
    const std::size_t publishes = d.published.size();
    d.drain.buffer().append(StampRect::endOfStroke());
    d.drain.run();
    EXPECT_EQ(d.strokes, 2);
    EXPECT_EQ(d.published.size(), publishes);
}

TEST(StrokeDrain, StampsWithoutAPictureWaitAndANewPictureDropsThem)
{
    Drain d;
    d.drain.buffer().append({10, 10, 20, 20});
    d.drain.buffer().append(StampRect::endOfStroke());
    d.drain.run();
    EXPECT_EQ(d.drain.buffer().size(), 2u);
    EXPECT_TRUE(d.published.empty());
    EXPECT_EQ(d.strokes, 0);

    d.load({300, 200});
    EXPECT_EQ(d.drain.buffer().size(), 0u);
    EXPECT_EQ(d.at(20, 20), 255);
    EXPECT_EQ(d.strokes, 0);

    d.load({0, 200}); // a picture without pixels has no mask
    d.stroke({{10, 10, 20, 20}});
    EXPECT_EQ(d.published.size(), 1u);
    EXPECT_EQ(d.drain.buffer().size(), 2u);
}

TEST(StrokeDrain, ARebuildFillsTheMaskFromTheWaitingSnapshotOnce)
{
    Drain d;
    d.load({300, 200});
    QImage snapshot(300, 200, QImage::Format_Alpha8);
    snapshot.fill(0);
    snapshot.scanLine(0)[0] = 77; // the upper-left corner
    EXPECT_TRUE(d.drain.offerSnapshot(d.drain.generation(), snapshot));
    d.drain.run();
    EXPECT_EQ(d.at(0, 199), 77);
    EXPECT_EQ(d.at(150, 100), 0);
    d.drain.setNeedsNewMask(true); // taken by the rebuild above: now 255 everywhere
    d.drain.run();
    EXPECT_EQ(d.at(0, 199), 255);
    EXPECT_EQ(d.at(150, 100), 255);
}

TEST(StrokeDrain, ANewMaskAskedForWhileOneIsBuiltIsNotLost)
{
    // Scaling a snapshot onto a 2000 x 2000 mask takes a while; a new picture
    // that asks for its mask meanwhile must get it from the next drain.
    for (int delayMs : {1, 3, 8, 20}) {
        Drain d;
        d.load({2000, 2000});
        QImage snapshot(1000, 1000, QImage::Format_Alpha8);
        snapshot.fill(0);
        ASSERT_TRUE(d.drain.offerSnapshot(d.drain.generation(), snapshot));
        std::thread rebuild([&] { d.drain.run(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        d.drain.setPicture({300, 200});
        d.drain.setNeedsNewMask(true);
        rebuild.join();
        d.drain.run(); // the drain setImage queues after asking
        EXPECT_EQ(d.mask().size(), QSize(300, 200)) << delayMs;
    }
}

TEST(StrokeDrain, ASnapshotDecodedForAnEarlierPictureIsRefused)
{
    Drain d;
    d.load({300, 200});
    const std::uint64_t earlier = d.drain.generation();
    d.load({300, 200}); // a new picture while an undo step decodes
    QImage snapshot(300, 200, QImage::Format_Alpha8);
    snapshot.fill(0);
    EXPECT_FALSE(d.drain.offerSnapshot(earlier, snapshot));
    EXPECT_FALSE(d.drain.needsNewMask());
    d.drain.setNeedsNewMask(true); // say the new picture's own rebuild is still to come
    d.drain.run();
    EXPECT_EQ(d.at(150, 100), 255);
}

TEST(MaskDocument, ATaskThatThrowsIsReportedForItsPictureAndTheQueueGoesOn)
{
    // Thrown on the serial queue's thread, the exception used to end the process.
    std::atomic<int> publishes{0};
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, QString>> failures;
    MaskDocument document({[&](const QImage&, const QRect&) {
                               if (publishes++ == 0)
                                   throw std::bad_alloc();
                           },
                           [] {},
                           [&](std::uint64_t picture, const QString& reason) {
                               std::lock_guard lock(mutex);
                               failures.emplace_back(picture, reason);
                           },
                           {}});
    document.setPicture({300, 200});
    document.waitUntilIdle();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, document.drain().generation());
    EXPECT_EQ(failures[0].second, "std::bad_alloc");
    EXPECT_EQ(document.history().length(), 1); // the tasks behind it still ran
    document.drain().buffer().append({10, 10, 20, 20});
    document.updateMap();
    document.waitUntilIdle();
    EXPECT_EQ(publishes.load(), 2);
}
