#include "canvas/HistoryStore.h"
#include "platform/SystemLog.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>

#include <vector>

namespace {

// A 16 x 8 mask whose state n is told apart by the value of its first pixel.
struct Mask {
    explicit Mask(int n) : pixels(16 * 8, 255) { pixels[0] = std::uint8_t(n); }
    AlphaPlane plane() { return {pixels.data(), 16, 8, 16}; }
    std::vector<std::uint8_t> pixels;
};

int stateOf(const std::optional<QImage>& snapshot)
{
    return snapshot && !snapshot->isNull() ? snapshot->constScanLine(0)[0] : -1;
}

struct Counters {
    qint64 length, current, file;
    bool operator==(const Counters&) const = default;
};

Counters countersOf(const HistoryStore& store)
{
    return {store.length(), store.currentState(), store.fileIndex()};
}

void recordStates(HistoryStore& store, int from, int to)
{
    for (int n = from; n <= to; ++n) {
        Mask mask(n);
        store.record(mask.plane());
    }
}

} // namespace

TEST(HistoryStore, UndoRedoAndANewStateDroppingTheRedoStates)
{
    HistoryStore store;
    store.clear();
    EXPECT_EQ(countersOf(store), (Counters{0, -1, -1}));
    recordStates(store, 0, 3);
    EXPECT_EQ(countersOf(store), (Counters{4, 3, 3}));
    for (int k = 0; k <= 3; ++k)
        EXPECT_TRUE(QFile::exists(store.slotPath(k)));

    EXPECT_EQ(stateOf(store.step(-1)), 2);
    EXPECT_EQ(stateOf(store.step(-1)), 1);
    EXPECT_EQ(countersOf(store), (Counters{4, 1, 1}));
    EXPECT_EQ(stateOf(store.step(+1)), 2);
    EXPECT_EQ(stateOf(store.step(-1)), 1);

    recordStates(store, 7, 7);
    EXPECT_EQ(countersOf(store), (Counters{3, 2, 2}));
    EXPECT_FALSE(store.canRedo());
    EXPECT_FALSE(store.step(+1)); // nothing left to redo
    EXPECT_EQ(stateOf(store.step(-1)), 1);
    EXPECT_TRUE(store.canRedo());
    EXPECT_EQ(stateOf(store.step(+1)), 7);
    EXPECT_FALSE(store.step(+1)); // a second redo queued with the first does nothing
}

TEST(HistoryStore, TheRingKeepsThirtyStatesOfFortyOne)
{
    HistoryStore store;
    store.clear();
    recordStates(store, 0, 40);
    EXPECT_EQ(countersOf(store), (Counters{30, 29, 9}));
    for (int i = 0; i < 28; ++i)
        ASSERT_TRUE(store.step(-1));
    EXPECT_EQ(stateOf(store.step(-1)), 11);
    EXPECT_EQ(countersOf(store), (Counters{30, 0, 11}));
    EXPECT_FALSE(store.step(-1)); // a 30th undo does nothing
    EXPECT_EQ(countersOf(store), (Counters{30, 0, 11}));
}

TEST(HistoryStore, WithoutAMaskTheCountersMoveButNothingIsWritten)
{
    HistoryStore store;
    store.clear();
    store.record(AlphaPlane{});
    EXPECT_EQ(countersOf(store), (Counters{1, 0, -1}));
    EXPECT_FALSE(QFile::exists(store.slotPath(0)));
}

TEST(HistoryStore, SnapshotIsAPngOfTheMaskInTheAlphaChannelTopRowFirst)
{
    HistoryStore store;
    store.clear();
    std::vector<std::uint8_t> pixels(7 * 5);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = std::uint8_t(i * 7);
    store.record(AlphaPlane{pixels.data(), 7, 5, 7});
    QImage snapshot(store.slotPath(0), "PNG");
    ASSERT_EQ(snapshot.size(), QSize(7, 5));
    snapshot = snapshot.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            const QRgb p = snapshot.pixel(x, y);
            EXPECT_EQ(qAlpha(p), pixels[y * 7 + x]) << x << "," << y;
            EXPECT_EQ(qRed(p) | qGreen(p) | qBlue(p), 0);
        }
}

TEST(HistoryStore, AnUnreadableSlotChangesNothingAndAnUndecodableOneGivesANullSnapshot)
{
    HistoryStore store;
    store.clear();
    recordStates(store, 0, 2);
    QStringList lines;
    SystemLog::setSink([&](const QString& line) { lines << line; });
    QFile::remove(store.slotPath(1));
    EXPECT_FALSE(store.step(-1));
    EXPECT_EQ(lines, QStringList{"NO DATA PROVIDER"});
    EXPECT_EQ(countersOf(store), (Counters{3, 2, 2}));

    // A file that opens but is not a PNG still moves the counters: the mask
    // is then rebuilt whole.
    QFile file(store.slotPath(1));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a picture");
    file.close();
    const auto snapshot = store.step(-1);
    SystemLog::setSink({});
    ASSERT_TRUE(snapshot);
    EXPECT_TRUE(snapshot->isNull());
    EXPECT_EQ(countersOf(store), (Counters{3, 1, 1}));
    EXPECT_EQ(lines.size(), 1);
}

TEST(HistoryStore, TwoStoresNeverShareAFolder)
{
    HistoryStore first;
    HistoryStore second;
    ASSERT_NE(first.directory(), second.directory());
    first.clear();
    second.clear();
    recordStates(first, 0, 1);
    recordStates(second, 5, 5);
    EXPECT_EQ(stateOf(first.step(-1)), 0); // second's first state did not overwrite first's
}
