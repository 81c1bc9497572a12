#include "canvas/HistoryStore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

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

std::optional<QImage> undo(HistoryStore& store)
{
    return store.step(-1, QSize(16, 8));
}

std::optional<QImage> redo(HistoryStore& store)
{
    return store.step(+1, QSize(16, 8));
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
    store.record(AlphaPlane{}); // without a mask the counters move, but nothing is written
    EXPECT_EQ(countersOf(store), (Counters{1, 0, -1}));
    EXPECT_FALSE(QFile::exists(store.slotPath(0)));
    store.clear();
    recordStates(store, 0, 3);
    EXPECT_EQ(countersOf(store), (Counters{4, 3, 3}));
    for (int k = 0; k <= 3; ++k)
        EXPECT_TRUE(QFile::exists(store.slotPath(k)));

    EXPECT_EQ(stateOf(undo(store)), 2);
    EXPECT_EQ(stateOf(undo(store)), 1);
    EXPECT_EQ(countersOf(store), (Counters{4, 1, 1}));
    EXPECT_EQ(stateOf(redo(store)), 2);
    EXPECT_EQ(stateOf(undo(store)), 1);

    recordStates(store, 7, 7);
    EXPECT_EQ(countersOf(store), (Counters{3, 2, 2}));
    EXPECT_FALSE(store.canRedo());
    EXPECT_FALSE(redo(store)); // nothing left to redo
    EXPECT_EQ(stateOf(undo(store)), 1);
    EXPECT_TRUE(store.canRedo());
    EXPECT_EQ(stateOf(redo(store)), 7);
    EXPECT_FALSE(redo(store)); // a second redo queued with the first does nothing
}

TEST(HistoryStore, TheRingKeepsThirtyStatesOfFortyOne)
{
    HistoryStore store;
    store.clear();
    recordStates(store, 0, 40);
    EXPECT_EQ(countersOf(store), (Counters{30, 29, 9}));
    for (int i = 0; i < 28; ++i)
        ASSERT_TRUE(undo(store));
    EXPECT_EQ(stateOf(undo(store)), 11);
    EXPECT_EQ(countersOf(store), (Counters{30, 0, 11}));
    EXPECT_FALSE(undo(store)); // a 30th undo does nothing
    EXPECT_EQ(countersOf(store), (Counters{30, 0, 11}));
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

// A slot that is missing or not the mask's size is refused and changes
// nothing; one that does not decode moves the counters and gives a null
// snapshot, from which the mask is rebuilt whole.
TEST(HistoryStore, ASlotThatIsMissingOrOfAnotherSizeIsRefusedAndOneThatDoesNotDecodeIsNull)
{
    QImage small(4, 4, QImage::Format_ARGB32);
    small.fill(Qt::transparent);
    const struct {
        QByteArray file; // empty: none
        bool refused;
    } cases[] = {
        {{}, true},
        // A header claiming 67108864 x 1 (64 MB to decode, and more than Qt
        // can scale) with nothing after it.
        {QByteArray("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\x04\0\0\0\0\0\0\x01\x08\x04\0\0\0", 29), true},
        {testsupport::encoded(small, "png"), true},
        {"not a picture", false},
    };
    for (const auto& c : cases) {
        HistoryStore store;
        store.clear();
        recordStates(store, 0, 2);
        QFile::remove(store.slotPath(1));
        if (!c.file.isEmpty())
            testsupport::writeFile(store.slotPath(1), c.file);
        testsupport::LogCapture log;
        const auto snapshot = undo(store);
        if (c.refused) {
            EXPECT_FALSE(snapshot) << &c - cases;
            EXPECT_EQ(log.lines, QStringList{"NO DATA PROVIDER"}) << &c - cases;
            EXPECT_EQ(countersOf(store), (Counters{3, 2, 2})) << &c - cases;
        } else {
            ASSERT_TRUE(snapshot);
            EXPECT_TRUE(snapshot->isNull());
            EXPECT_EQ(countersOf(store), (Counters{3, 1, 1}));
        }
    }
}

// A snapshot that cannot be written (a full or read-only folder; here a
// folder in the way, which stops root too) says why, and its slot, which
// still holds an older state's file, is never loaded for it.
TEST(HistoryStore, ASnapshotThatCannotBeWrittenSaysWhyAndItsSlotIsNeverLoaded)
{
    HistoryStore store;
    store.clear();
    recordStates(store, 0, 1);
    ASSERT_EQ(stateOf(undo(store)), 0);
    ASSERT_TRUE(QDir().mkpath(store.slotPath(1) + ".part"));
    Mask replacing(2);
    EXPECT_FALSE(store.record(replacing.plane()).isEmpty());
    EXPECT_EQ(countersOf(store), (Counters{2, 1, 1}));
    ASSERT_TRUE(QDir(store.slotPath(1) + ".part").removeRecursively());
    EXPECT_EQ(stateOf(undo(store)), 0);
    testsupport::LogCapture log;
    EXPECT_FALSE(redo(store)); // slot 1 holds state 1 of the dropped branch
    EXPECT_EQ(log.lines, QStringList{"NO DATA PROVIDER"});
    EXPECT_EQ(countersOf(store), (Counters{2, 0, 0}));
    // Written again, the slot is good again.
    Mask again(3);
    EXPECT_EQ(store.record(again.plane()), QString());
    EXPECT_EQ(stateOf(undo(store)), 0);
    EXPECT_EQ(stateOf(redo(store)), 3);
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
    EXPECT_EQ(stateOf(undo(first)), 0); // second's first state did not overwrite first's
}
