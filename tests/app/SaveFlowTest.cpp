// The ways into and out of a save, and what the window tells about the
// picture it shows: late saves, pictures that cannot be saved yet, typed
// names, remembered folders, refused and dropped pictures.
#include "TestSupport.h"
#include "ShellSupport.h"
#include "canvas/CanvasSupport.h"
#include "app/AppDelegate.h"
#include "app/DragView.h"
#include "app/Exporter.h"
#include "app/SaveFile.h"
#include "app/ViewController.h"
#include "app/WindowController.h"
#include "canvas/ZRImageCutView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QImageWriter>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <cstring>
#include <random>
#include <sys/resource.h>

using testsupport::pictureFile;
using testsupport::tempDir;
using testsupport::waitFor;

namespace saveflowtest {

struct Window : apptest::Shell {
    bool intake(const QString& path, bool dropped = false)
    {
        return Shell::intake({QUrl::fromLocalFile(path)}, dropped);
    }
    bool open(const QString& path, bool dropped = false)
    {
        return load({QUrl::fromLocalFile(path)}, dropped);
    }
    void stroke(StampRect stamp) { Shell::stroke(stamp, 0); }

    ViewController* c = controller;
};

} // namespace saveflowtest

using namespace saveflowtest;

// A save that ends after the next picture came says nothing about that
// picture: no `*`, no question, and its session stays unsaved only if cut.
TEST(SaveFlow, ALateSaveMarksOnlyThePictureItSaved)
{
    const QString dir = tempDir();
    const QString big = pictureFile(dir, "big.png", {2400, 1600});
    const QString small = pictureFile(dir, "small.png", {40, 30});
    Window w;
    // Asked about the cuts while the save runs, the user discards them.
    w.c->setUnsavedCutsAnswerForTesting(QMessageBox::Discard);
    // The ordering this needs (the small picture shown before the large
    // save ends) is what a user meets; each try checks that it held.
    bool lateSaveSeen = false;
    for (int attempt = 0; attempt < 3 && !lateSaveSeen; ++attempt) {
        ASSERT_TRUE(w.open(big));
        w.stroke({100, 100, 300, 300});
        ASSERT_TRUE(w.c->hasUnsavedCuts());
        bool saved = false;
        auto connection = QObject::connect(w.c, &ViewController::saveFinished,
                                           [&](const QString&, const QString& error) {
                                               EXPECT_EQ(error, "");
                                               saved = true;
                                           });
        w.c->saveTo(dir + "/big-cut.png", {});
        ASSERT_TRUE(w.open(small));
        lateSaveSeen = !saved;
        ASSERT_TRUE(waitFor([&] { return saved; }, std::chrono::seconds(60)));
        QObject::disconnect(connection);
        QApplication::processEvents();
        EXPECT_FALSE(w.c->hasUnsavedCuts());
        EXPECT_FALSE(w.window.isWindowModified());
    }
    if (!lateSaveSeen)
        GTEST_SKIP() << "every save ended before the next picture came";
}

// Before the picture's mask exists a save would write an empty cut: it is
// refused with the reason, and goes through once the mask is there.
TEST(SaveFlow, NoSaveBeforeTheMaskExistsAndTheUserIsToldWhy)
{
    const QString dir = tempDir();
    Window w;
    bool finished = false;
    QObject::connect(w.c, &ViewController::saveFinished, [&] { finished = true; });
    w.c->setSavePathForTesting(dir + "/early.png");
    {
        canvastest::QueuePause hold(*w.c->viCut()); // the mask is not made yet
        ASSERT_TRUE(w.intake(pictureFile(dir, "p.png", {200, 150})));
        EXPECT_FALSE(w.c->canSave());
        EXPECT_FALSE(w.c->whyNotSaveable().isEmpty());
        EXPECT_TRUE(w.c->btnSaveButton()->isEnabled()); // pressing it tells why
        w.c->btnSavePressed();
        QApplication::processEvents();
        EXPECT_FALSE(finished);
        EXPECT_EQ(w.status(), w.c->whyNotSaveable());
    }
    w.c->viCut()->waitUntilIdle();
    ASSERT_TRUE(w.c->canSave());
    w.c->btnSavePressed();
    ASSERT_TRUE(waitFor([&] { return finished; }));
    const QImage saved(dir + "/early.png");
    ASSERT_EQ(saved.size(), QSize(200, 150));
    EXPECT_EQ(qAlpha(saved.pixel(100, 75)), 255);
}

// A folder is offered again only once a save there succeeded.
TEST(SaveFlow, AFolderIsRememberedOnlyAfterASaveThereSucceeded)
{
    const QString dir = tempDir();
    Window w;
    ASSERT_TRUE(w.open(pictureFile(dir, "p.png", {80, 60})));
    w.c->setSaveDirectory(dir);
    w.c->setSavePathForTesting(dir + "/unused.png"); // failures are not shown in a box
    for (const QString& bad : {QStringLiteral("/proc/veltrane-cut.png"), dir + "/missing/cut.png"}) {
        bool done = false;
        auto connection =
            QObject::connect(w.c, &ViewController::saveFinished, [&](const QString&, const QString& e) {
                EXPECT_NE(e, "");
                done = true;
            });
        w.c->saveTo(bad, {});
        ASSERT_TRUE(waitFor([&] { return done; }));
        QObject::disconnect(connection);
        EXPECT_EQ(w.c->saveDirectory(), dir) << bad.toStdString();
    }
    const QString elsewhere = tempDir();
    bool done = false;
    QObject::connect(w.c, &ViewController::saveFinished, [&] { done = true; });
    w.c->saveTo(elsewhere + "/cut.png", {});
    ASSERT_TRUE(waitFor([&] { return done; }));
    EXPECT_EQ(w.c->saveDirectory(), QFileInfo(elsewhere + "/cut.png").absolutePath());
}

// A picture the canvas had to give up is not dropped without a word.
TEST(SaveFlow, ARefusedPictureIsExplainedAndTheDropZoneReturns)
{
    const QString dir = tempDir();
    Window w;
    ASSERT_TRUE(w.open(pictureFile(dir, "p.png", {80, 60})));
    w.c->viCut()->setImage(Picture()); // as the canvas empties itself
    w.c->cutViewDidRefusePicture(w.c->viCut(), QStringLiteral("std::bad_alloc"));
    EXPECT_TRUE(w.status().contains("std::bad_alloc")) << w.status().toStdString();
    EXPECT_TRUE(w.c->viCut()->isHidden());
    EXPECT_FALSE(w.c->viDrag()->hideAll());
    EXPECT_FALSE(w.c->btnSaveButton()->isEnabled());
    EXPECT_EQ(w.window.windowTitle(), "Veltrane PRO");
    const auto boxes = w.window.findChildren<QMessageBox*>();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes.first()->text().contains("std::bad_alloc"));
    boxes.first()->close();
}

// Our own copies of dropped data are named "Dropped picture", in the title
// while a large one shows reduced and after, and in messages.
TEST(SaveFlow, DroppedDataIsNamedDroppedPictureNotByItsTemporaryFile)
{
    Window w;
    ASSERT_TRUE(QDir().mkpath(DragView::dropFolder()));
    const QString bad = testsupport::writeFile(DragView::dropFolder() + "/drop-xyzbad.svg", "<svg");
    EXPECT_FALSE(w.open(bad, true));
    EXPECT_TRUE(w.status().startsWith("Dropped picture ")) << w.status().toStdString();
    EXPECT_FALSE(w.status().contains("drop-")) << w.status().toStdString();

    // Large enough to be shown reduced first.
    QImage large(2600, 1800, QImage::Format_RGB32);
    for (int y = 0; y < large.height(); ++y)
        for (int x = 0; x < large.width(); ++x)
            large.setPixel(x, y, qRgb(x % 251, y % 241, (x + y) % 239));
    const QString jpeg = DragView::dropFolder() + "/drop-xyzbig.jpg";
    ASSERT_TRUE(large.save(jpeg, "JPEG", 85));
    QStringList titles;
    bool reducedSeen = false;
    QObject::connect(w.c, &ViewController::pictureChanged, [&] {
        titles << w.window.windowTitle();
        reducedSeen = reducedSeen || w.c->whyNotSaveable().contains("still being read");
    });
    ASSERT_TRUE(w.open(jpeg, true));
    EXPECT_TRUE(reducedSeen);
    titles << w.window.windowTitle();
    for (const QString& title : titles)
        EXPECT_TRUE(title.startsWith("Dropped picture")) << title.toStdString();
    EXPECT_FALSE(w.status().contains("drop-")) << w.status().toStdString();
}

TEST(SaveFlow, ATypedNameKeepsItsExtensionAndAForeignOneIsAskedAbout)
{
    using F = ExportWriter::Format;
    const struct {
        const char* typed;
        F filtered;
        const char* path;
        F format;
        bool foreign;
    } table[] = {
        {"/d/cut2.png", F::Png, "/d/cut2.png", F::Png, false},
        {"/d/cut2.TIF", F::Png, "/d/cut2.TIF", F::Tiff, false},
        {"/d/cut2.webp", F::Tiff, "/d/cut2.webp", F::WebP, false},
        {"/d/cut2", F::WebP, "/d/cut2.webp", F::WebP, false},
        {"/d/cut 1.5", F::Png, "/d/cut 1.5.png", F::Png, false}, // not a picture type
        {"/d/cut2.jpg", F::Png, "/d/cut2.jpg", F::Png, true},
        {"/d/cut2.JPEG", F::Tiff, "/d/cut2.JPEG", F::Tiff, true},
    };
    for (const auto& row : table) {
        const Exporter::Naming naming = Exporter::nameFor(row.typed, row.filtered);
        EXPECT_EQ(naming.path, row.path) << row.typed;
        EXPECT_EQ(naming.format, row.format) << row.typed;
        EXPECT_EQ(naming.foreign, row.foreign) << row.typed;
    }

    // Through the dialog: not forced to be Qt's own, and a foreign name is
    // asked about, then kept or given the format's extension as answered.
    const QString dir = tempDir();
    const struct {
        Exporter::ForeignAnswer answer;
        const char* typed;
        const char* chosen;
    } dialogs[] = {{Exporter::ForeignAnswer::KeepName, "cut2.jpg", "cut2.jpg"},
                   {Exporter::ForeignAnswer::UseExtension, "cut3.jpg", "cut3.png"}};
    for (const auto& row : dialogs) {
        Exporter::setForeignAnswerForTesting(row.answer);
        bool nativeAllowed = false;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            nativeAllowed = !dialog->testOption(QFileDialog::DontUseNativeDialog);
            dialog->selectNameFilter(ExportWriter::filterFor(ExportWriter::Format::Png));
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(row.typed);
            static_cast<QDialog*>(dialog)->accept();
        });
        QString path;
        Exporter::Options options;
        ASSERT_TRUE(Exporter::choose(nullptr, dir, "proposed.png", &path, &options));
        EXPECT_TRUE(nativeAllowed);
        EXPECT_EQ(QFileInfo(path).fileName(), row.chosen);
        EXPECT_EQ(options.format, ExportWriter::formatForPath(row.chosen).value_or(ExportWriter::Format::Png));
    }
    Exporter::setForeignAnswerForTesting(std::nullopt);
}

// A failed save says what the system said, and leaves the old file and no
// temporary behind.
TEST(SaveFile, AFailedWriteGivesTheSystemsReasonAndLeavesTheOldFile)
{
    const QString dir = tempDir();
    // Noise, so that its PNG is far larger than the limits below.
    QImage noise(300, 300, QImage::Format_ARGB32);
    std::mt19937 random(7);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, random() | 0xff000000u);
    auto check = [&](const QString& folder, const QString& expected) {
        const QString target = testsupport::writeFile(folder + "/cut.png", "the earlier save");
        Exporter exporter;
        QString error = "not finished";
        QObject::connect(&exporter, &Exporter::finished,
                         [&](const QString&, const QString& e, const QString&) { error = e; });
        exporter.write(
            [noise] {
                QImage kept(noise.size(), QImage::Format_Alpha8);
                kept.fill(255);
                return ResultComposer(noise, {}, kept, noise.size(), noise.size(), ResultComposer::Refine::Off,
                                      ResultComposer::UnderCut::Dropped);
            },
            target, {});
        ASSERT_TRUE(waitFor([&] { return error != "not finished"; }));
        EXPECT_EQ(error.toStdString(), expected.toStdString());
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::ReadOnly));
        EXPECT_EQ(old.readAll(), QByteArray("the earlier save"));
        EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 1);
    };
    // The file size limit: "File too large".
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    check(dir, QString::fromLocal8Bit(std::strerror(EFBIG)));
    setrlimit(RLIMIT_FSIZE, &saved);

    // A full disk, where this machine lets us mount a small one.
    const QString disk = tempDir();
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=128k", "tmpfs", disk}) == 0) {
        check(disk, "No space left on device");
        QProcess::execute("umount", {disk});
    }
}

// What a killed save left is removed at the next start: only the temporaries
// our saves named, and only those whose editor is gone.
TEST(SaveFile, LeftoversOfKilledSavesGoAndNothingElse)
{
    const QString dir = tempDir();
    SaveFile killed(dir + "/target.png");
    ASSERT_TRUE(killed.open());
    ASSERT_TRUE(killed.write("half a picture"));
    const QString leftover = killed.temporaryPath();
    killed.abandonForTesting();

    SaveFile running(dir + "/other.png");
    ASSERT_TRUE(running.open());
    const QString inProgress = running.temporaryPath();

    const QString lookalike =
        testsupport::writeFile(dir + "/target.png" + SaveFile::temporaryMark() + "users1", "x");
    const QString users = testsupport::writeFile(dir + "/target.png.AbCdEf", "x");
    // A record naming a file our saves never name.
    testsupport::writeFile(SaveFile::recordFolder() + "/1-forged", (dir + "/users.png").toUtf8());
    const QString named = testsupport::writeFile(dir + "/users.png", "x");

    ASSERT_TRUE(QFile::exists(leftover));
    SaveFile::removeLeftovers();
    EXPECT_FALSE(QFile::exists(leftover));
    for (const QString& kept : {inProgress, lookalike, users, named})
        EXPECT_TRUE(QFile::exists(kept)) << kept.toStdString();

    ASSERT_TRUE(running.write("a whole picture"));
    ASSERT_TRUE(running.commit());
    EXPECT_FALSE(QFile::exists(inProgress));
    EXPECT_TRUE(QDir(SaveFile::recordFolder()).entryList(QDir::Files).isEmpty());
    QFile saved(dir + "/other.png");
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("a whole picture"));
}
