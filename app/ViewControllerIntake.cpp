// Pictures coming in: the open dialog, drops, the clipboard's pictures, and
// the question asked before unsaved cuts would be lost.
#include "app/ViewController.h"

#include "app/DragView.h"
#include "app/RecentFiles.h"
#include "app/Trace.h"
#include "canvas/ZRImageCutView.h"
#include "imaging/ImageAction.h"
#include "platform/BackgroundPool.h"
#include "platform/MainThread.h"
#include "ui_ViewController.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QStandardPaths>

namespace {

// Our own copy of dropped or pasted data, by its folder alone: the copy may
// already be gone once read.
bool inDropFolder(const QString& path)
{
    return QFileInfo(path).absoluteDir() == QDir(DragView::dropFolder());
}

} // namespace

// ---------------------------------------------------------------- open

void ViewController::openPicture()
{
    if (!MainThread::isCurrent()) {
        MainThread::sync([this] { openPicture(); });
        return;
    }
    // One dialog at a time; a second Open brings the first one forward.
    if (m_openDialog) {
        m_openDialog->raise();
        m_openDialog->activateWindow();
        return;
    }
    // A folder that does not exist would be taken as the name of the file to
    // open: start where the user keeps pictures, else at home.
    QString directory = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (directory.isEmpty() || !QFileInfo(directory).isDir())
        directory = QDir::homePath();
    auto* dialog = new QFileDialog(window(), tr("Open a picture"), directory);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setNameFilter(tr("Pictures (%1)").arg(openPatterns().join(QLatin1Char(' '))));
    connect(dialog, &QFileDialog::accepted, this, [this, dialog] {
        draggingFilesComplete(dialog->selectedUrls(), false);
    });
    // The window stays usable while the dialog is open.
    dialog->setWindowModality(Qt::NonModal);
    m_openDialog = dialog;
    dialog->show();
}

QStringList ViewController::openPatterns()
{
    // "tiff" covers the short ".tif" too, in either case.
    QStringList patterns;
    for (const char* type : {"png", "tiff", "tif", "jpg", "gif", "jpeg"}) {
        const QString suffix = QLatin1String(type);
        patterns << QStringLiteral("*.") + suffix << QStringLiteral("*.") + suffix.toUpper();
    }
    return patterns;
}

void ViewController::draggingFilesComplete(const QList<QUrl>& urls, bool needsWait)
{
    QStringList paths;
    for (const QUrl& url : urls)
        if (url.isLocalFile())
            paths << url.toLocalFile();
    // A drop that carries nothing to read changes nothing, not even a picture
    // that is still loading.
    if (paths.isEmpty()) {
        emit intakeFinished(false);
        return;
    }
    if (!m_intakeConfirmed && hasUnsavedCuts()) {
        confirmDiscardingCuts(
            [this, urls, needsWait] {
                m_intakeConfirmed = true;
                draggingFilesComplete(urls, needsWait);
                m_intakeConfirmed = false;
            },
            [this, paths, needsWait] {
                // Kept cuts: the new picture is not read, and our own copies
                // of dropped data go.
                if (needsWait) {
                    QStringList dropped;
                    for (const QString& path : paths)
                        if (DragView::isDroppedData(path))
                            dropped << path;
                    BackgroundPool::run([dropped] {
                        for (const QString& path : dropped)
                            QFile::remove(path);
                    });
                }
                emit intakeFinished(false);
            });
        return;
    }
    // Reading and redrawing a large photograph takes a few hundred
    // milliseconds (more with retries for files still being written): off the
    // main thread.
    const int generation = ++m_intakeGeneration;
    Trace::line(QStringLiteral("open requested %1").arg(paths.first()));
    m_loadsInFlight.insert(generation);
    showStatus(tr("Opening %1…").arg(shownName(paths.first())));
    QPointer<ViewController> self(this);
    // A large JPEG shows a reduced version of about the canvas's size first.
    const QWidget* stage = m_ui->viDrag;
    const int previewSide = int(std::max(stage->width(), stage->height()) * stage->devicePixelRatioF());
    BackgroundPool::run([self, paths, needsWait, generation, previewSide] {
        Intake intake;
        intake.generation = generation;
        for (const QString& path : paths) {
            auto preview = [self, generation, path](const Picture& reduced) {
                MainThread::async([self, generation, path, reduced] {
                    if (self)
                        self->showPreview(generation, path, reduced);
                });
            };
            const Picture picture = ImageAction::imageFromURL(path, needsWait, previewSide, preview);
            if (picture) {
                intake.picture = ImageAction::resize(picture, picture.size());
                intake.warning = ImageAction::lastLoadWarning();
                intake.name = shownName(path);
                if (!needsWait)
                    intake.path = QFileInfo(path).absoluteFilePath();
                break;
            }
            if (intake.failedName.isEmpty()) {
                intake.failedName = shownName(path);
                intake.reason = ImageAction::lastLoadError();
            }
        }
        // Our own copies of dropped picture data have served once read or refused.
        if (needsWait)
            for (const QString& path : paths)
                if (DragView::isDroppedData(path))
                    QFile::remove(path);
        MainThread::async([self, intake] {
            if (self)
                self->finishIntake(intake);
        });
    });
}

void ViewController::showPreview(int generation, const QString& path, const Picture& preview)
{
    // Only for the newest intake, and never over a newer picture.
    if (generation != m_intakeGeneration || generation <= m_shownGeneration)
        return;
    m_shownGeneration = generation;
    m_previewGeneration = generation;
    m_picturePath = inDropFolder(path) ? QString() : QFileInfo(path).absoluteFilePath();
    Trace::line(QStringLiteral("preview %1 %2 shown at %3 x %4")
                    .arg(preview.size().width())
                    .arg(preview.size().height())
                    .arg(preview.bestRepresentation().width())
                    .arg(preview.bestRepresentation().height()));
    takePicture(preview, tr("%1 is still being read: it can be saved once it is whole.")
                             .arg(shownName(path)));
}

void ViewController::finishIntake(const Intake& intake)
{
    m_loadsInFlight.erase(intake.generation);
    const bool loaded = intake.picture.isValid();
    if (intake.generation == m_previewGeneration) {
        // The whole picture takes the reduced one's place; strokes made
        // meanwhile stay, as the picture's size in points is the same.
        m_previewGeneration = 0;
        if (loaded) {
            m_ui->viCut->replacePicture(intake.picture);
            m_ui->viCut->setPictureSource(intake.path);
            if (!intake.path.isEmpty())
                RecentFiles::add(intake.path);
            Trace::line(QStringLiteral("completed %1 %2")
                            .arg(intake.picture.size().width())
                            .arg(intake.picture.size().height()));
            if (!intake.warning.isEmpty())
                showStatus(tr("%1 is damaged: %2").arg(intake.name, intake.warning), 15000);
            else
                showStatus(QString());
            m_notWhole.clear();
        } else {
            // Saving would write the reduced version blown up to full size.
            m_notWhole = tr("%1 could only be shown reduced (%2): it cannot be saved.")
                             .arg(intake.failedName, intake.reason);
            showStatus(m_notWhole, 15000);
        }
        emit commandsChanged();
        emit intakeFinished(loaded);
        return;
    }
    if (loaded) {
        // Kept until no newer intake is still loading: only the newest
        // picture is shown, and a newer intake that fails changes nothing.
        if (intake.generation > m_shownGeneration && intake.generation > m_waiting.generation)
            m_waiting = intake;
    } else if (intake.generation > m_shownGeneration) {
        const QString name = intake.failedName;
        showStatus(intake.reason.isEmpty()
                       ? tr("%1 is not a picture Veltrane can open.").arg(name)
                       : tr("%1 could not be opened: %2").arg(name, intake.reason),
                   15000);
    }
    const bool newerLoading =
        !m_loadsInFlight.empty() && *m_loadsInFlight.rbegin() > m_waiting.generation;
    if (m_waiting.picture.isValid() && !newerLoading) {
        const Intake shown = std::exchange(m_waiting, Intake{});
        m_shownGeneration = shown.generation;
        m_picturePath = shown.path;
        if (!shown.path.isEmpty())
            RecentFiles::add(shown.path);
        takePicture(shown.picture);
        m_ui->viCut->setPictureSource(shown.path);
        if (!shown.warning.isEmpty())
            showStatus(tr("%1 is damaged: %2").arg(shown.name, shown.warning), 15000);
        else if (shown.generation == m_intakeGeneration)
            showStatus(QString()); // a newer failure's reason stays up

    }
    emit intakeFinished(loaded);
}

void ViewController::takePicture(const Picture& picture, const QString& notWhole)
{
    m_notWhole = notWhole;
    m_ui->viCut->setImage(picture);
    // The picture as opened counts as saved: its first state, once recorded.
    m_takeFirstRevision = true;
    showTakenPicture(picture);
}

void ViewController::showTakenPicture(const Picture& picture)
{
    m_afterSave = {};
    ++m_pictureSerial;
    m_ui->viCut->setHidden(false);
    m_ui->viDrag->setHideAll(true);
    // Enabled with any picture: a press says why one cannot be saved yet.
    m_ui->btnSave->setEnabled(true);
    if (m_ui->chkBlur->isChecked())
        m_ui->viCut->setBlurOn(true); // a new picture's blurred copy starts hidden
    m_ui->viCut->setFocus();
    m_traceFirstFrame = true;
    updateFigures();
    emit pictureChanged();
    emit commandsChanged();
    Trace::line(QStringLiteral("opened %1 %2").arg(picture.size().width()).arg(picture.size().height()));
}

bool ViewController::canSave() const
{
    return !m_ui->viCut->image().isNull() && whyNotSaveable().isEmpty();
}

QString ViewController::whyNotSaveable() const
{
    if (m_ui->viCut->image().isNull())
        return {};
    // Not from the reduced version shown while the whole picture decodes,
    // nor after its whole version failed.
    if (!m_notWhole.isEmpty())
        return m_notWhole;
    // Nor before the picture's mask exists: that would be an empty cut.
    if (m_takeFirstRevision || m_ui->viCut->currentMask().isNull())
        return tr("The cut is still being prepared: save again in a moment.");
    return {};
}

QString ViewController::shownName(const QString& path)
{
    return inDropFolder(path) ? tr("Dropped picture") : QFileInfo(path).fileName();
}

void ViewController::cutViewDidRefusePicture(ZRImageCutView* view, const QString& reason)
{
    (void)view;
    // The canvas has emptied itself: the drop zone comes back, and the user
    // learns why the picture went.
    m_afterSave = {};
    m_notWhole.clear();
    m_picturePath.clear();
    m_ui->viCut->setHidden(true);
    m_ui->viDrag->setHideAll(false);
    m_ui->btnSave->setEnabled(false);
    const QString text = tr("The picture could not be kept open: %1").arg(reason);
    showStatus(text, 0);
    auto* box = new QMessageBox(QMessageBox::Warning, tr("Picture closed"), text, QMessageBox::Ok, window());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    emit pictureChanged();
    emit unsavedCutsChanged();
    emit commandsChanged();
}

bool ViewController::hasUnsavedCuts() const
{
    // Strokes, undos and redos still queued have not moved the revision yet.
    const ZRImageCutView* view = m_ui->viCut;
    return !view->image().isNull() &&
           (view->hasQueuedEdits() || (!m_takeFirstRevision && view->historyRevision() != m_savedRevision));
}

void ViewController::confirmDiscardingCuts(std::function<void()> proceed, std::function<void()> cancelled)
{
    if (!hasUnsavedCuts()) {
        proceed();
        return;
    }
    ++m_questions;
    auto answer = [this, proceed, cancelled](QMessageBox::StandardButton button) {
        if (button == QMessageBox::Discard) {
            proceed();
            return;
        }
        if (button == QMessageBox::Save) {
            m_afterSave = proceed;
            btnSavePressed();
            if (isSaving())
                return; // goes on once the save succeeds
            m_afterSave = {};
        }
        if (cancelled)
            cancelled();
    };
    if (m_answerForTesting != QMessageBox::NoButton) {
        answer(m_answerForTesting);
        return;
    }
    const QString name = m_picturePath.isEmpty() ? tr("this picture") : QFileInfo(m_picturePath).fileName();
    auto* box = new QMessageBox(QMessageBox::Warning, tr("Unsaved cuts"),
                                tr("The cuts made in %1 have not been saved.").arg(name),
                                QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, window());
    box->setInformativeText(tr("Save them before going on?"));
    box->setDefaultButton(QMessageBox::Save);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this,
            [box, answer](int) { answer(box->standardButton(box->clickedButton())); });
    box->open();
}

// ---------------------------------------------------------------- clipboard

void ViewController::paste()
{
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data) {
        showStatus(tr("The clipboard is empty."));
        return;
    }
    // Files first: as copied in a file manager, or their paths as text.
    QList<QUrl> files;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            files << url;
    if (files.isEmpty() && data->hasText()) {
        for (const QString& line : data->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QString entry = line.trimmed();
            const QUrl url = entry.startsWith(QLatin1String("file:")) ? QUrl(entry) : QUrl::fromLocalFile(entry);
            if (url.isLocalFile() && QDir::isAbsolutePath(url.toLocalFile()))
                files << url;
        }
    }
    if (!files.isEmpty()) {
        draggingFilesComplete(files, false);
        return;
    }
    const DragView::PictureData picture = DragView::pictureData(*data);
    if (picture.isEmpty()) {
        showStatus(tr("The clipboard holds no picture."));
        return;
    }
    QPointer<ViewController> self(this);
    BackgroundPool::run([self, picture] {
        const QString path = DragView::writePictureData(picture);
        MainThread::async([self, path] {
            if (!self)
                return;
            if (path.isEmpty())
                self->showStatus(tr("The clipboard's picture could not be kept for reading."), 15000);
            else
                self->draggingFilesComplete({QUrl::fromLocalFile(path)}, true);
        });
    });
}
