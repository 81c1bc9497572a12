// The session record beside the undo snapshots, and the orphans that editors
// which ended without closing their picture leave for the next one.
#include "TestSupport.h"
#include "canvas/MaskDocument.h"
#include "canvas/SessionOrphans.h"
#include "canvas/SessionRecord.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>

#include <atomic>
#include <mutex>
#include <thread>

using SessionOrphans::PictureState;

// Named, not anonymous: the test programs are unity builds.
namespace sessionrecoverytest {

// Each test has caches of its own: the orphans it makes are all it finds.
class SessionRecovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_previous = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", testsupport::tempDir().toUtf8());
    }
    void TearDown() override { qputenv("XDG_CACHE_HOME", m_previous); }

private:
    QByteArray m_previous;
};

const QSize maskSize(40, 30);

// The mask a document shows, as the drain last published it.
struct Shown {
    std::mutex mutex;
    QImage mask;
    QImage last()
    {
        std::lock_guard lock(mutex);
        return mask;
    }
};

std::unique_ptr<MaskDocument> document(Shown* shown = nullptr)
{
    return std::make_unique<MaskDocument>(
        MaskDocument::Reports{[shown](const QImage& mask, const QRect&) {
                                  if (shown) {
                                      std::lock_guard lock(shown->mutex);
                                      shown->mask = mask.copy();
                                  }
                              },
                              [] {}, [](std::uint64_t, const QString&) {}, {}});
}

// State n of a mask: 255 but for a diagonal of value n.
QImage maskOf(int n)
{
    QImage mask(maskSize, QImage::Format_Alpha8);
    mask.fill(255);
    for (int y = 0; y < maskSize.height(); ++y)
        mask.scanLine(y)[(y + n) % maskSize.width()] = uchar(n);
    return mask;
}

QByteArray bytes(const QImage& mask)
{
    QByteArray out;
    for (int y = 0; y < mask.height(); ++y)
        out.append(reinterpret_cast<const char*>(mask.constScanLine(y)), mask.width());
    return out;
}

QImage pictureImage()
{
    QImage image(maskSize, QImage::Format_RGB32);
    image.fill(qRgb(200, 120, 40));
    return image;
}

QString pictureFile()
{
    const QString path = testsupport::tempDir() + QStringLiteral("/photo.png");
    pictureImage().save(path);
    return path;
}

struct Left {
    QString folder;
    std::vector<QImage> masks; // state 0 first
};

// What an editor leaves that cut `states` strokes into the picture at `path`
// (or, without one, into dropped data) and ended without closing it: its
// lock goes with it, its folder and record stay.
Left orphanOf(const QString& path, int states)
{
    auto d = document();
    d->setPicture(QSizeF(maskSize));
    d->waitUntilIdle();
    d->setSessionPicture(path, QSizeF(maskSize), path.isEmpty() ? pictureImage() : QImage());
    Left left{d->history().directory(), {maskOf(255)}};
    for (int n = 1; n <= states; ++n) {
        d->loadMask(maskOf(n));
        left.masks.push_back(maskOf(n));
    }
    d->waitUntilIdle();
    return left;
}


TEST_F(SessionRecovery, RestoreBringsBackTheLastStateByteForByteAndEveryUndoStep)
{
    for (const bool kept : {false, true}) {
        SCOPED_TRACE(kept ? "a kept copy" : "a picture file");
        // 36 states: the ring keeps the last 30, states 6 to 35.
        const Left left = orphanOf(kept ? QString() : pictureFile(), 35);
        auto orphans = SessionOrphans::find(HistoryStore::baseFolder());
        ASSERT_EQ(orphans.size(), 1u);
        EXPECT_EQ(orphans[0].picture, PictureState::Unchanged);
        EXPECT_EQ(QImage(orphans[0].pictureFile()).convertToFormat(QImage::Format_RGB32),
                  pictureImage());

        Shown shown;
        auto restored = document(&shown);
        std::atomic<int> done{-1};
        restored->restorePicture(QSizeF(maskSize), orphans[0], [&](bool ok) { done = ok; });
        orphans.clear();
        restored->waitUntilIdle();
        ASSERT_EQ(done.load(), 1);
        EXPECT_EQ(bytes(shown.last()), bytes(left.masks[35]));
        EXPECT_FALSE(QDir(left.folder).exists()) << "the orphan's files moved into the new folder";
        const auto record = SessionRecord::read(restored->history().directory());
        ASSERT_TRUE(record);
        EXPECT_FALSE(record->saved);
        EXPECT_EQ(record->length, 30);
        if (kept) {
            EXPECT_TRUE(QFile::exists(restored->history().directory() + record->picture.copy));
        }

        for (int n = 34; n >= 6; --n) {
            restored->undo();
            restored->waitUntilIdle();
            ASSERT_EQ(bytes(shown.last()), bytes(left.masks[n])) << n;
        }
        restored->undo(); // the oldest kept state: nothing further back
        restored->waitUntilIdle();
        EXPECT_EQ(bytes(shown.last()), bytes(left.masks[6]));
        restored->endSession(); // closed: nothing left to offer
        restored->waitUntilIdle();
        restored.reset();
        EXPECT_TRUE(SessionOrphans::find(HistoryStore::baseFolder()).empty());
    }
}

TEST_F(SessionRecovery, OnlyAnEditorThatIsGoneLeavesAnOrphan)
{
    const QString path = pictureFile();
    auto alive = document();
    alive->setPicture(QSizeF(maskSize));
    alive->waitUntilIdle();
    alive->setSessionPicture(path, QSizeF(maskSize), {});
    alive->loadMask(maskOf(1));
    alive->waitUntilIdle();
    EXPECT_TRUE(SessionOrphans::find(HistoryStore::baseFolder()).empty())
        << "its editor still runs";

    // A later record in a folder whose lock names a process that is gone (no
    // QProcess: ThreadSanitizer ends the program at a fork).
    qint64 pid = 4194303;
    while (QFile::exists(QStringLiteral("/proc/%1").arg(pid)))
        --pid;
    const QString dead = HistoryStore::baseFolder() + QStringLiteral("history-7/");
    ASSERT_TRUE(QDir().mkpath(dead));
    QThread::msleep(5);
    SessionRecord later(dead);
    later.setPicture({path, {}, -1, -1, QSizeF(maskSize)});
    ASSERT_TRUE(later.write(2, 1, 1, false));
    QFile lock(HistoryStore::lockPath(dead));
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write(
        QStringLiteral("%1\nveltrane\n%2\n").arg(pid).arg(QSysInfo::machineHostName()).toUtf8());
    lock.close();
    {
        const auto orphans = SessionOrphans::find(HistoryStore::baseFolder());
        ASSERT_EQ(orphans.size(), 1u);
        EXPECT_EQ(orphans[0].folder, dead);
    }
    const QString aliveFolder = alive->history().directory();
    alive.reset();
    const auto orphans = SessionOrphans::find(HistoryStore::baseFolder());
    ASSERT_EQ(orphans.size(), 2u);
    EXPECT_EQ(orphans[0].folder, dead) << "the newest first";
    EXPECT_EQ(orphans[1].folder, aliveFolder);
}

TEST_F(SessionRecovery, AnOrphanSurvivesAnotherEditorOpeningAPicture)
{
    const Left left = orphanOf(pictureFile(), 3);
    auto other = document();
    other->setPicture(QSizeF(maskSize));
    other->waitUntilIdle();
    EXPECT_NE(other->history().directory(), left.folder);
    EXPECT_TRUE(QFile::exists(left.folder + SessionRecord::fileName));
    for (int slot = 0; slot <= 3; ++slot)
        EXPECT_TRUE(QFile::exists(left.folder + QStringLiteral("%1.his").arg(slot))) << slot;
}

TEST_F(SessionRecovery, AChangedOrVanishedPictureIsToldApart)
{
    const struct {
        const char* name;
        bool kept;
        std::function<void(const QString& file)> change;
        PictureState expected;
    } cases[] = {
        {"untouched", false, [](const QString&) {}, PictureState::Unchanged},
        {"touched", false,
         [](const QString& file) {
             QFile f(file);
             f.open(QIODevice::ReadWrite);
             f.setFileTime(QDateTime::currentDateTime().addSecs(60),
                           QFileDevice::FileModificationTime);
         },
         PictureState::Changed},
        {"rewritten", false,
         [](const QString& file) { QImage(10, 10, QImage::Format_RGB32).save(file); },
         PictureState::Changed},
        {"deleted", false, [](const QString& file) { QFile::remove(file); },
         PictureState::Vanished},
        {"copy kept", true, [](const QString&) {}, PictureState::Unchanged},
        {"copy lost", true, [](const QString& file) { QFile::remove(file); },
         PictureState::Vanished},
    };
    for (const auto& c : cases) {
        const QString folder = testsupport::tempDir() + QLatin1Char('/');
        SessionRecord record(folder);
        SessionRecord::Picture picture;
        picture.size = QSizeF(maskSize);
        QString file;
        if (c.kept) {
            picture.copy = QStringLiteral("picture-1.png");
            file = folder + picture.copy;
            pictureImage().save(file);
        } else {
            picture.path = file = pictureFile();
        }
        record.setPicture(picture);
        ASSERT_TRUE(record.write(2, 1, 1, false)) << c.name;
        c.change(file);
        const auto contents = SessionRecord::read(folder);
        ASSERT_TRUE(contents) << c.name;
        EXPECT_EQ(SessionOrphans::pictureState(folder, *contents), c.expected) << c.name;
    }
}

TEST_F(SessionRecovery, ARecordThatIsNotOursIsRefused)
{
    SessionRecord::Contents valid;
    valid.picture.path = QStringLiteral("/pictures/photo.png");
    valid.picture.size = QSizeF(400, 300);
    valid.length = 3;
    valid.current = 2;
    valid.fileIndex = 2;
    const QJsonObject json = QJsonDocument::fromJson(valid.toJson()).object();
    auto edited = [&](const char* part, const char* key, const QJsonValue& value) {
        QJsonObject out = json, inner = out[QLatin1String(part)].toObject();
        inner[QLatin1String(key)] = value;
        out[QLatin1String(part)] = inner;
        return QJsonDocument(out).toJson();
    };
    EXPECT_TRUE(SessionRecord::Contents::fromJson(valid.toJson()));
    // A copy's name that leads out of the folder would have us move the user's files.
    const QByteArray refused[] = {"not json",
                                  edited("picture", "copy", "../../photo.png"),
                                  edited("picture", "path", "photo.png"),
                                  edited("history", "length", 31),
                                  edited("history", "current", 3),
                                  edited("picture", "width", 0)};
    for (const QByteArray& bytes : refused)
        EXPECT_FALSE(SessionRecord::Contents::fromJson(bytes)) << bytes.constData();
}

TEST_F(SessionRecovery, AReaderNeverSeesHalfARecord)
{
    const QString folder = testsupport::tempDir() + QLatin1Char('/');
    SessionRecord record(folder);
    SessionRecord::Picture picture;
    picture.path = QStringLiteral("/pictures/") + QString(300, QLatin1Char('p'));
    picture.size = QSizeF(maskSize);
    record.setPicture(picture);
    ASSERT_TRUE(record.write(1, 0, 0, true));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (qint64 n = 0; !stop; ++n)
            record.write(1 + n % 30, n % 30, n % 31, false);
    });
    int halves = 0;
    for (int i = 0; i < 2000; ++i)
        if (!SessionRecord::read(folder))
            ++halves;
    stop = true;
    writer.join();
    EXPECT_EQ(halves, 0);
}

} // namespace sessionrecoverytest
