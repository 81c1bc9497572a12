#include "app/ViewController.h"
#include "TestSupport.h"
#include "ShellSupport.h"
#include "app/AppDelegate.h"
#include "app/DragView.h"
#include "app/ExportWriter.h"
#include "app/RecentFiles.h"
#include "app/WindowController.h"
#include "canvas/ResultComposer.h"
#include "canvas/ZRImageCutView.h"
#include "imaging/ImageAction.h"
#include "imaging/PngCodec.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStatusBar>
#include <QToolButton>
#include <QUrl>

#include <csignal>
#include <future>
#include <cstdlib>
#include <sys/resource.h>

using testsupport::pictureFile;
using testsupport::tempDir;
using testsupport::waitFor;
using testsupport::writeFile;

namespace viewcontrollertest {

using apptest::Shell;

// A shown window with a folder of its own for the test's files.
class ViewControllerTest : public ::testing::Test {
protected:
    const QString dir = tempDir();
    Shell shell;
    ViewController* const c = shell.controller;
};

} // namespace viewcontrollertest

using namespace viewcontrollertest;

TEST_F(ViewControllerTest, HistoryStatesEnableTheButtons)
{
    ASSERT_TRUE(shell.open(dir, "a.png", {300, 200}));
    EXPECT_FALSE(c->btnUndoButton()->isEnabled()); // state 0 of 1
    EXPECT_FALSE(c->btnRedoButton()->isEnabled());
    ZRImageCutView* canvas = c->viCut();
    shell.stroke({10, 10, 20, 20});
    shell.stroke({60, 10, 20, 20});
    EXPECT_TRUE(c->btnUndoButton()->isEnabled()); // state 2 of 3
    EXPECT_FALSE(c->btnRedoButton()->isEnabled());
    c->btnBack();
    canvas->waitUntilIdle();
    EXPECT_TRUE(c->btnUndoButton()->isEnabled()); // state 1 of 3
    EXPECT_TRUE(c->btnRedoButton()->isEnabled());
    // The menu's undo reaches the same step one turn later.
    shell.delegate.btnUndo();
    EXPECT_EQ(canvas->historyCurrentState(), 1);
    waitFor([&] { return canvas->historyCurrentState() == 0; });
    canvas->waitUntilIdle();
    EXPECT_FALSE(c->btnUndoButton()->isEnabled());
}

TEST_F(ViewControllerTest, TheSubjectSwitchIsRememberedAndSubjectWithoutAPictureSaysSo)
{
    auto* onOpen = c->findChild<QCheckBox*>(QStringLiteral("chkSubjectOnOpen"));
    for (const bool on : {true, false}) {
        onOpen->setChecked(on);
        EXPECT_EQ(c->viCut()->subjectTool().findsOnOpen(), on);
        EXPECT_EQ(QSettings().value(QStringLiteral("tools/subjectOnOpen")).toBool(), on);
    }
    c->findChild<QToolButton*>(QStringLiteral("btnSubject"))->click();
    EXPECT_EQ(shell.window.statusBar()->currentMessage(), QStringLiteral("Open a picture first."));
    EXPECT_EQ(c->viCut()->historyLength(), 0);
}

TEST_F(ViewControllerTest, StartsEmptyThenIntakeTakesTheFirstPictureAndIgnoresWhatIsNotOne)
{
    EXPECT_TRUE(c->viCut()->isHidden());
    EXPECT_FALSE(c->btnUndoButton()->isEnabled());
    EXPECT_FALSE(c->btnRedoButton()->isEnabled());
    EXPECT_FALSE(c->canSave());
    c->sldSize()->setMinimum(0);
    c->sldSize()->setValue(5);
    EXPECT_EQ(c->viCut()->brushDiameter(), 10.0f); // the canvas clamps, not the controller
    // Saving without a picture writes nothing.
    c->setSavePathForTesting(dir + "/nothing.png");
    bool finished = false;
    QObject::connect(c, &ViewController::saveFinished, [&] { finished = true; });
    c->btnSavePressed();
    QApplication::processEvents();
    EXPECT_FALSE(finished);
    EXPECT_FALSE(QFile::exists(dir + "/nothing.png"));

    writeFile(dir + "/notes.txt", "not a picture at all");
    EXPECT_FALSE(shell.load({QUrl::fromLocalFile(dir + "/notes.txt")}));
    EXPECT_TRUE(c->viCut()->isHidden());
    EXPECT_FALSE(c->viDrag()->hideAll());
    const QString second = pictureFile(dir, "second.png", {320, 240});
    const QString third = pictureFile(dir, "third.png", {100, 100});
    EXPECT_TRUE(shell.load({QUrl::fromLocalFile(dir + "/notes.txt"), QUrl::fromLocalFile(second),
                            QUrl::fromLocalFile(third)}));
    EXPECT_FALSE(c->viCut()->isHidden());
    EXPECT_TRUE(c->viDrag()->hideAll());
    EXPECT_EQ(c->viCut()->image().size(), QSizeF(320, 240));
    EXPECT_TRUE(c->canSave());
    // A later drop replaces the picture; one that loads nothing changes nothing.
    EXPECT_TRUE(shell.load({QUrl::fromLocalFile(third)}));
    EXPECT_EQ(c->viCut()->image().size(), QSizeF(100, 100));
    EXPECT_TRUE(c->viDrag()->hideAll());
    EXPECT_FALSE(shell.load({}));
    EXPECT_EQ(c->viCut()->image().size(), QSizeF(100, 100));
}

TEST_F(ViewControllerTest, AFailedSaveIsReportedAndLeavesTheOldFileIntact)
{
    ASSERT_TRUE(shell.open(dir, "p.png", {600, 400}));
    // Nowhere to write: the folder is a file.
    c->setSavePathForTesting(dir + "/p.png/out.png");
    EXPECT_NE(shell.save([&] { c->btnSavePressed(); }), "");

    // A disk that fills up mid-write: the file size limit stands in for it.
    // The save streams band by band: wherever the disk fills, the old file
    // stays whole and nothing of the new one is left beside it.
    ASSERT_TRUE(shell.open(dir, "large.png", {1500, 1100}));
    c->setSavePathForTesting(dir + "/whole.png");
    ASSERT_EQ(shell.save([&] { c->btnSavePressed(); }), "");
    const qint64 whole = QFileInfo(dir + "/whole.png").size();
    const QString target = writeFile(dir + "/existing.png", "the user's earlier save");
    const QStringList before = QDir(dir).entryList(QDir::Files | QDir::Hidden);
    std::signal(SIGXFSZ, SIG_IGN);
    for (qint64 limit : {qint64(4096), whole / 3, whole * 2 / 3, whole - 64}) {
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = rlim_t(limit);
        setrlimit(RLIMIT_FSIZE, &small);
        c->setSavePathForTesting(target);
        const QString full = shell.save([&] { c->btnSavePressed(); });
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_NE(full, "") << limit;
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::ReadOnly));
        EXPECT_EQ(old.readAll(), QByteArray("the user's earlier save")) << limit;
        EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden), before) << limit;
    }
}

TEST_F(ViewControllerTest, AnIntakeThatLoadsNothingKeepsThePictureStillLoadingAndSaysWhy)
{
    writeFile(dir + "/notes.txt", "not a picture at all");
    ImageAction::imageFromURL(dir + "/notes.txt");
    const QString reason = ImageAction::lastLoadError();
    ASSERT_FALSE(reason.isEmpty());

    // Both intakes are under way before either result comes back.
    c->draggingFilesComplete({QUrl::fromLocalFile(pictureFile(dir, "photo.png", {640, 480}))},
                             false);
    c->draggingFilesComplete({QUrl::fromLocalFile(dir + "/notes.txt")}, false);
    c->draggingFilesComplete({}, false);
    ASSERT_TRUE(waitFor([&] { return !c->isLoading(); }));
    c->viCut()->waitUntilIdle();
    EXPECT_EQ(c->viCut()->image().size(), QSizeF(640, 480));
    EXPECT_TRUE(shell.window.statusBar()->currentMessage().contains(reason))
        << shell.window.statusBar()->currentMessage().toStdString();

    // The newest of two good pictures wins, whichever is read first.
    c->draggingFilesComplete({QUrl::fromLocalFile(pictureFile(dir, "big.png", {900, 700}))}, false);
    c->draggingFilesComplete({QUrl::fromLocalFile(pictureFile(dir, "small.png", {50, 40}))}, false);
    ASSERT_TRUE(waitFor([&] { return !c->isLoading(); }));
    c->viCut()->waitUntilIdle();
    EXPECT_EQ(c->viCut()->image().size(), QSizeF(50, 40));
}

TEST_F(ViewControllerTest, DroppedPictureDataIsRemovedOnceReadAndLeftoversAtStart)
{
    ASSERT_TRUE(QDir().mkpath(DragView::dropFolder()));
    const QString good = DragView::dropFolder() + "/drop-good.png";
    ASSERT_TRUE(QFile::copy(pictureFile(dir, "p.png", {60, 40}), good));
    const QString bad = writeFile(DragView::dropFolder() + "/drop-bad.png", "\x89PNG broken");
    const QString users = pictureFile(dir, "users.png", {30, 20});

    for (const QString& path : {good, bad, users}) {
        c->draggingFilesComplete({QUrl::fromLocalFile(path)}, true);
        ASSERT_TRUE(waitFor([&] { return !c->isLoading(); }));
    }
    EXPECT_FALSE(QFile::exists(good));
    EXPECT_FALSE(QFile::exists(bad));
    EXPECT_TRUE(QFile::exists(users)) << "only our own copies are removed";

    // What a crash left behind goes; a drop another editor is reading stays.
    const QString old = writeFile(DragView::dropFolder() + "/drop-old.png", "x");
    const QString fresh = writeFile(DragView::dropFolder() + "/drop-fresh.png", "x");
    QFile oldFile(old);
    ASSERT_TRUE(oldFile.open(QIODevice::ReadWrite));
    ASSERT_TRUE(oldFile.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                    QFileDevice::FileModificationTime));
    oldFile.close();
    DragView::removeLeftoverDrops();
    EXPECT_FALSE(QFile::exists(old));
    EXPECT_TRUE(QFile::exists(fresh));
}

TEST(ViewController, OpenDialogLeavesTheWindowUsableAndStartsInAFolderThatExists)
{
    const QString home = tempDir();
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", home.toUtf8()); // no Pictures folder in it
    Shell shell;
    shell.controller->openPicture();
    shell.controller->openPicture(); // brings the same dialog forward
    const auto dialogs = shell.window.findChildren<QFileDialog*>();
    qputenv("HOME", savedHome);
    ASSERT_EQ(dialogs.size(), 1);
    QFileDialog* dialog = dialogs.first();
    EXPECT_EQ(dialog->windowModality(), Qt::NonModal);
    EXPECT_EQ(QDir(dialog->directory()).canonicalPath(), QDir(home).canonicalPath());
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text(), "");
    const QString filter = dialog->nameFilters().join(' ');
    for (const char* pattern : {"*.tif", "*.TIF", "*.tiff", "*.jpeg", "*.PNG"})
        EXPECT_TRUE(filter.contains(QLatin1String(pattern))) << pattern;
    dialog->close();
}

TEST(ViewController, TheWindowNamesThePictureShowsItsFiguresAndRemembersTheBrushAndRecentFiles)
{
    const QString dir = tempDir();
    const QString path = pictureFile(dir, "named.png", {640, 480});
    {
        Shell shell;
        ViewController* c = shell.controller;
        EXPECT_EQ(shell.window.windowTitle(), "Veltrane PRO");
        EXPECT_TRUE(c->viDrag()->isVisible());
        ASSERT_TRUE(shell.load({QUrl::fromLocalFile(path)}));
        EXPECT_TRUE(shell.window.windowTitle().startsWith("named.png"))
            << shell.window.windowTitle().toStdString();
        c->viCut()->repaint();
        EXPECT_EQ(c->pictureSizeText(), "640 × 480 px");
        EXPECT_TRUE(c->zoomText().startsWith("Zoom ")) << c->zoomText().toStdString();
        EXPECT_EQ(c->maskText(), "Mask 640 × 480");
        EXPECT_EQ(RecentFiles::list().value(0), QFileInfo(path).absoluteFilePath());
        c->sldSize()->setValue(77);
        c->sldSmooth()->setValue(55);
    }
    Shell again;
    EXPECT_EQ(again.controller->sldSize()->value(), 77);
    EXPECT_EQ(again.controller->sldSmooth()->value(), 55);
    EXPECT_FLOAT_EQ(again.controller->viCut()->brushDiameter(), 77);

    // A file that has gone is pruned from the list.
    RecentFiles::add(dir + "/gone.png");
    EXPECT_EQ(RecentFiles::missing(RecentFiles::list()), QStringList{dir + "/gone.png"});
}

TEST_F(ViewControllerTest, CopyThenPasteRoundTripsTheCutOut)
{
    ASSERT_TRUE(shell.open(dir, "p.png", {300, 200}));
    shell.stroke({0, 0, 120, 90}, 0);
    const QImage cut =
        c->viCut()->getResult().bestRepresentation().convertToFormat(QImage::Format_ARGB32);

    bool copied = false;
    QObject::connect(c, &ViewController::copied, [&] { copied = true; });
    c->copy();
    ASSERT_TRUE(waitFor([&] { return copied; }));
    EXPECT_TRUE(QGuiApplication::clipboard()->mimeData()->hasFormat("image/png"));
    EXPECT_TRUE(QGuiApplication::clipboard()->mimeData()->hasImage());

    bool done = false;
    QObject::connect(c, &ViewController::intakeFinished, [&] { done = true; });
    c->viCut()->setImage(Picture()); // so that the pasted picture is seen arriving
    c->paste();
    ASSERT_TRUE(waitFor([&] { return done; }, std::chrono::seconds(10)));
    c->viCut()->waitUntilIdle();
    const QImage pasted =
        c->viCut()->image().bestRepresentation().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(pasted.size(), cut.size());
    for (int y = 0; y < cut.height(); y += 7)
        for (int x = 0; x < cut.width(); x += 7)
            ASSERT_EQ(pasted.pixel(x, y), cut.pixel(x, y)) << x << "," << y;
}

TEST_F(ViewControllerTest, UnsavedCutsAreAskedAboutOnASecondOpenAndOnQuitButNotAfterASave)
{
    auto cut = [&] {
        shell.stroke({10, 10, 40, 40});
        QApplication::processEvents();
    };
    const QString first = pictureFile(dir, "first.png", {200, 100});
    const QString second = pictureFile(dir, "second.png", {90, 60});
    ASSERT_TRUE(shell.load({QUrl::fromLocalFile(first)}));
    EXPECT_FALSE(c->hasUnsavedCuts());
    cut();
    ASSERT_TRUE(waitFor([&] { return c->hasUnsavedCuts(); }));
    EXPECT_TRUE(shell.window.isWindowModified());
    // Undoing back to the picture as opened leaves nothing unsaved.
    c->viCut()->prevHistoryState();
    ASSERT_TRUE(waitFor([&] { return !c->hasUnsavedCuts(); }));
    c->viCut()->nextHistoryState();
    ASSERT_TRUE(waitFor([&] { return c->hasUnsavedCuts(); }));

    c->setUnsavedCutsAnswerForTesting(QMessageBox::Cancel);
    EXPECT_FALSE(shell.load({QUrl::fromLocalFile(second)}));
    EXPECT_EQ(c->viCut()->image().size(), QSizeF(200, 100));
    EXPECT_FALSE(shell.window.close());
    EXPECT_EQ(c->unsavedCutsQuestions(), 2);

    // Save, then open the second picture: no question.
    c->setSavePathForTesting(dir + "/out.png");
    ASSERT_EQ(shell.save([&] { c->btnSavePressed(); }), "");
    EXPECT_FALSE(c->hasUnsavedCuts());
    EXPECT_FALSE(shell.window.isWindowModified());
    EXPECT_TRUE(shell.load({QUrl::fromLocalFile(second)}));
    EXPECT_EQ(c->unsavedCutsQuestions(), 2);

    // "Save" in the question saves first and then goes on.
    cut();
    ASSERT_TRUE(waitFor([&] { return c->hasUnsavedCuts(); }));
    c->setSavePathForTesting(dir + "/second-cut.png");
    c->setUnsavedCutsAnswerForTesting(QMessageBox::Save);
    ASSERT_TRUE(shell.load({QUrl::fromLocalFile(first)}));
    EXPECT_TRUE(QFile::exists(dir + "/second-cut.png"));
    EXPECT_EQ(c->viCut()->image().size(), QSizeF(200, 100));
    EXPECT_EQ(c->unsavedCutsQuestions(), 3);
}

// Cuts still queued count as unsaved (the history's counters lag them), and
// snapshots that cannot be written are said in the status bar.
TEST_F(ViewControllerTest, QueuedCutsAreUnsavedAndUnwritableHistoryIsSaid)
{
    ASSERT_TRUE(shell.open(dir, "a.png", {300, 200}));
    ZRImageCutView* canvas = c->viCut();
    auto gate = std::make_shared<std::promise<void>>();
    canvas->serialQueue().async([wait = gate->get_future().share()] { wait.wait(); });
    canvas->resetMask();
    EXPECT_TRUE(c->hasUnsavedCuts());
    c->setUnsavedCutsAnswerForTesting(QMessageBox::Cancel);
    EXPECT_FALSE(shell.window.close());
    EXPECT_EQ(c->unsavedCutsQuestions(), 1);
    gate->set_value();
    canvas->waitUntilIdle();
    EXPECT_TRUE(c->hasUnsavedCuts());

    ASSERT_TRUE(QDir().mkpath(canvas->historyDirectory() + "2.his.part"));
    shell.stroke({10, 10, 40, 40});
    QApplication::processEvents();
    EXPECT_TRUE(shell.window.statusBar()->currentMessage().contains("Undo steps cannot be kept"))
        << shell.window.statusBar()->currentMessage().toStdString();
    c->setUnsavedCutsAnswerForTesting(QMessageBox::Discard);
}

TEST_F(ViewControllerTest, SavedChoicesTrimAndKeepColoursUnderCutPixels)
{
    const QString source = pictureFile(dir, "p.png", {300, 200});
    ASSERT_TRUE(shell.load({QUrl::fromLocalFile(source)}));
    c->viCut()->setBrushHardness(1);
    // Everything cut but a block in the middle.
    shell.stroke({-400, -400, 1200, 1200}, 0);
    shell.stroke({100, 80, 60, 60}, 1);

    auto save = [&](const QString& name, const Exporter::Options& options) {
        EXPECT_EQ(shell.saveTo(dir + "/" + name, options), "");
        return QImage(dir + "/" + name).convertToFormat(QImage::Format_ARGB32);
    };
    const QImage picture = QImage(source).convertToFormat(QImage::Format_ARGB32);
    const QImage kept = save("kept.png", {ExportWriter::Format::Png, false, true});
    const QImage dropped = save("dropped.png", {ExportWriter::Format::Png, false, false});
    ASSERT_EQ(kept.size(), picture.size());
    EXPECT_EQ(qAlpha(kept.pixel(5, 5)), 0);
    EXPECT_EQ(kept.pixel(5, 5) & 0xffffff, picture.pixel(5, 5) & 0xffffff);
    EXPECT_EQ(dropped.pixel(5, 5), 0u);
    EXPECT_EQ(kept.pixel(130, 90), picture.pixel(130, 90));

    const QImage trimmed = save("trimmed.webp", {ExportWriter::Format::WebP, true, false});
    EXPECT_LT(trimmed.width(), 70);
    EXPECT_GT(trimmed.width(), 50);
    EXPECT_LT(trimmed.height(), 70);
}

TEST_F(ViewControllerTest, APictureWithItsOwnTransparencyComesBackUnchangedWhenNothingIsCut)
{
    // An RGBA file, and a grey+alpha one.
    QImage rgba(64, 40, QImage::Format_ARGB32);
    QByteArray alpha(64 * 40, 0);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x) {
            rgba.setPixel(x, y, qRgba(255 - x, x * 3, y * 6, (x * 4 + y) % 256));
            alpha[y * 64 + x] = char(255 - y * 6);
        }
    const QByteArray rgbaFile = testsupport::encoded(rgba, "png");
    const QByteArray greyFile =
        PngCodec::encodeAlpha(reinterpret_cast<const uchar*>(alpha.constData()), 64, 40, 64);
    for (const QByteArray& bytes : {rgbaFile, greyFile}) {
        ASSERT_TRUE(shell.load({QUrl::fromLocalFile(writeFile(dir + "/source.png", bytes))}));
        ASSERT_EQ(shell.saveTo(dir + "/back.png"), "");
        const QImage back = QImage(dir + "/back.png").convertToFormat(QImage::Format_ARGB32);
        const QImage want = QImage::fromData(bytes).convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(back.size(), want.size());
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 64; ++x)
                if (qAlpha(want.pixel(x, y)) > 0) {
                    ASSERT_EQ(back.pixel(x, y), want.pixel(x, y)) << x << "," << y;
                }
    }
}

// What a trimmed save keeps: the exact rectangle of pixels whose alpha is
// not 0 (one faint pixel counts), found band by band; none when all is cut.
// As a PNG it is streamed, and the file holds exactly that rectangle of the
// whole result, refined, with colours kept under the cut or not.
TEST(ExportWriter, ATrimKeepsTheExactRectangleOfVisiblePixels)
{
    auto composerOf = [](const QImage& picture, const QImage& mask, ResultComposer::Refine refine,
                         ResultComposer::UnderCut under) {
        return ResultComposer(picture, {}, mask, picture.size(), picture.size(), refine, under);
    };
    QImage image(200, 120, QImage::Format_ARGB32);
    image.fill(0);
    image.setPixel(31, 17, qRgba(9, 8, 7, 1));
    image.setPixel(140, 90, qRgba(200, 100, 50, 255));
    QImage kept(image.size(), QImage::Format_Alpha8);
    kept.fill(255);
    EXPECT_EQ(ExportWriter::keptBounds(
                  composerOf(image, kept, ResultComposer::Refine::Off, ResultComposer::UnderCut::Dropped)),
              QRect(QPoint(31, 17), QPoint(140, 90)));
    image.fill(0);
    EXPECT_TRUE(ExportWriter::keptBounds(composerOf(image, kept, ResultComposer::Refine::Off,
                                                    ResultComposer::UnderCut::KeptColours))
                    .isEmpty());

    const QSize size(301, 203);
    QImage picture(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            picture.setPixel(x, y, qRgba(x * 255 / size.width(), y, (x * y) % 256, 255));
    QImage mask(101, 68, QImage::Format_Alpha8);
    mask.fill(0);
    for (int y = 20; y < 50; ++y)
        for (int x = 30; x < 61; ++x)
            mask.scanLine(y)[x] = uchar(std::min(255, (x - 29) * 40));
    for (auto under : {ResultComposer::UnderCut::Dropped, ResultComposer::UnderCut::KeptColours}) {
        const ResultComposer composer = composerOf(picture, mask, ResultComposer::Refine::Edges, under);
        const QImage whole = composer.image();
        QRect expected;
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                if (qAlpha(whole.pixel(x, y)) != 0)
                    expected |= QRect(x, y, 1, 1);
        const QRect bounds = ExportWriter::keptBounds(composer);
        ASSERT_EQ(bounds, expected);
        EXPECT_LT(bounds.width(), size.width() / 2);
        EXPECT_EQ(ExportWriter::composed(composer, bounds), whole.copy(bounds));
        QByteArray file;
        ASSERT_TRUE(ExportWriter::writePng(
            composer, {},
            [&](const char* data, qsizetype n) {
                file.append(data, n);
                return true;
            },
            bounds));
        EXPECT_EQ(PngCodec::decode(file), whole.copy(bounds)) << int(under);
    }
}

TEST(ExportWriter, EveryOfferedFormatKeepsColourAndAlphaExactly)
{
    QImage image(64, 48, QImage::Format_ARGB32);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            image.setPixel(x, y, qRgba(x * 4, y * 5, 255 - x, (x * 7 + y) % 256));
    for (ExportWriter::Format format : ExportWriter::writableFormats()) {
        QString error;
        const QByteArray bytes = ExportWriter::encode(image, format, {}, &error);
        ASSERT_FALSE(bytes.isEmpty()) << error.toStdString();
        const QImage back = QImage::fromData(bytes).convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x) {
                const QRgb want = image.pixel(x, y), got = back.pixel(x, y);
                ASSERT_EQ(qAlpha(got), qAlpha(want))
                    << ExportWriter::extension(format).toStdString();
                // Qt's TIFF path goes through premultiplied pixels: colour is
                // exact where opaque and within that rounding elsewhere.
                const int slack = format == ExportWriter::Format::Tiff && qAlpha(want) < 255
                                      ? 255 / (2 * std::max(1, qAlpha(want))) + 1
                                      : 0;
                if (qAlpha(want) == 0)
                    continue; // colour under alpha 0 is the format's to drop
                for (int shift : {16, 8, 0})
                    ASSERT_LE(std::abs(int((got >> shift) & 0xff) - int((want >> shift) & 0xff)),
                              slack)
                        << ExportWriter::extension(format).toStdString() << " " << x << "," << y;
            }
        EXPECT_EQ(ExportWriter::formatForPath("a." + ExportWriter::extension(format).toUpper()),
                  format);
    }
    // This machine's plugins write both (the Makefile installs them).
    EXPECT_EQ(ExportWriter::writableFormats().size(), 3);
}
