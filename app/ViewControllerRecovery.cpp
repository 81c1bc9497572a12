// Bringing back the cuts of an editor that ended without closing its picture
// (a crash, a kill, a power cut): the offer at start-up and the restoration.
#include "app/ViewController.h"

#include "app/Trace.h"
#include "canvas/HistoryStore.h"
#include "canvas/ZRImageCutView.h"
#include "imaging/ImageAction.h"
#include "platform/BackgroundPool.h"
#include "platform/MainThread.h"
#include "platform/SystemLog.h"
#include "ui_ViewController.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <cmath>

using SessionOrphans::Orphan;
using SessionOrphans::PictureState;

namespace {

QString pictureName(const Orphan& orphan)
{
    const QString path = orphan.record.picture.path;
    return path.isEmpty() ? ViewController::tr("a dropped picture") : QFileInfo(path).fileName();
}

void discardInBackground(const Orphan& orphan)
{
    Trace::line(QStringLiteral("discarded session %1").arg(orphan.folder));
    BackgroundPool::run([orphan] { SessionOrphans::discard(orphan); });
}

} // namespace

void ViewController::offerRecovery(RecoveryAnswer answer)
{
    QPointer<ViewController> self(this);
    const QString base = HistoryStore::baseFolder();
    BackgroundPool::run([self, base, answer] {
        std::vector<Orphan> orphans = SessionOrphans::find(base);
        MainThread::async([self, orphans, answer] {
            if (self)
                self->offerOrphans(orphans, answer);
        });
    });
}

void ViewController::offerOrphans(std::vector<Orphan> orphans, RecoveryAnswer answer)
{
    if (orphans.empty()) {
        emit recoveryFinished(false);
        return;
    }
    const Orphan orphan = orphans.front();
    orphans.erase(orphans.begin());
    // Restoring one ends the offers: the others keep their cuts for the next
    // start, as this window shows one picture.
    auto answered = [this, orphan, orphans, answer](bool restore) {
        if (restore) {
            restoreOrphan(orphan, answer);
            return;
        }
        discardInBackground(orphan);
        offerOrphans(orphans, answer);
    };
    if (answer != RecoveryAnswer::Ask) {
        answered(answer == RecoveryAnswer::Restore);
        return;
    }
    const QString when = QLocale().toString(QDateTime::fromMSecsSinceEpoch(orphan.record.written),
                                            QLocale::ShortFormat);
    QString info = tr("Last cut at %1.").arg(when);
    if (orphan.picture == PictureState::Changed)
        info += QLatin1Char(' ') + tr("The picture has changed since: the cuts can be shown over "
                                      "it as it is now if its size is the same.");
    else if (orphan.picture == PictureState::Vanished)
        info += QLatin1Char(' ') + tr("The picture is no longer there.");
    auto* box = new QMessageBox(
        QMessageBox::Question, tr("Restore unsaved cuts?"),
        tr("Veltrane ended before the cuts in %1 were saved.").arg(pictureName(orphan)),
        QMessageBox::NoButton, window());
    box->setInformativeText(info);
    QPushButton* restore = box->addButton(tr("Restore"), QMessageBox::AcceptRole);
    QPushButton* discard = box->addButton(tr("Discard"), QMessageBox::DestructiveRole);
    box->setDefaultButton(restore);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box, restore, discard, answered] {
        if (box->clickedButton() == restore)
            answered(true);
        else if (box->clickedButton() == discard)
            answered(false);
        else
            emit recoveryFinished(false); // closed unanswered: asked again at the next start
    });
    box->open();
}

void ViewController::restoreOrphan(const Orphan& orphan, RecoveryAnswer answer)
{
    // An intake of its own: a picture the user opens meanwhile wins, and the
    // orphan then stays for the next start.
    const int generation = ++m_intakeGeneration;
    m_loadsInFlight.insert(generation);
    showStatus(tr("Restoring the cuts in %1…").arg(pictureName(orphan)), 0);
    QPointer<ViewController> self(this);
    BackgroundPool::run([self, orphan, generation, answer] {
        Picture picture;
        if (orphan.picture != PictureState::Vanished) {
            const Picture loaded = ImageAction::imageFromURL(orphan.pictureFile());
            if (loaded)
                picture = ImageAction::resize(loaded, loaded.size());
        }
        MainThread::async([self, orphan, picture, generation, answer] {
            if (self)
                self->finishRestore(generation, orphan, picture, answer);
        });
    });
}

void ViewController::finishRestore(int generation, const Orphan& orphan, const Picture& picture,
                                   RecoveryAnswer answer)
{
    m_loadsInFlight.erase(generation);
    if (generation != m_intakeGeneration) {
        emit recoveryFinished(false);
        return;
    }
    const QString name = pictureName(orphan);
    const QSizeF size = orphan.record.picture.size;
    if (!picture.isValid() || picture.size() != size) {
        // Nothing to show the cuts over: they go, and the user is told why.
        const QString reason =
            orphan.picture == PictureState::Vanished ? tr("the picture is no longer there")
            : !picture.isValid()
                ? tr("the picture can no longer be read")
                : tr("the picture is %1 × %2 pixels now, the cuts were made on %3 × %4")
                      .arg(picture.size().width())
                      .arg(picture.size().height())
                      .arg(size.width())
                      .arg(size.height());
        discardInBackground(orphan);
        tell(tr("Cuts discarded"),
             tr("The cuts in %1 could not be restored: %2. They have been discarded.")
                 .arg(name, reason),
             answer);
        emit recoveryFinished(false);
        return;
    }
    m_shownGeneration = generation;
    m_picturePath = orphan.record.picture.path;
    // The brush as it was; the sliders pass it on to the canvas.
    const SessionRecord::Brush& brush = orphan.record.brush;
    m_ui->sldSize->setValue(int(std::lround(brush.diameter)));
    m_ui->sldIntensivity->setValue(int(std::lround(brush.alpha * 100)));
    m_ui->sldSmooth->setValue(int(std::lround((1 - brush.hardness) * 100)));
    QPointer<ViewController> self(this);
    m_ui->viCut->restoreSession(picture, orphan, [self, name, answer](bool restored) {
        if (!self)
            return;
        if (restored) {
            self->showStatus(tr("Restored the cuts in %1").arg(name));
            self->m_traceRestore = true;
            self->m_ui->viCut->update();
        } else {
            self->tell(
                tr("Cuts not restored"),
                tr("The last cuts in %1 could not be read back; earlier steps may still be reached "
                   "with Undo.")
                    .arg(name),
                answer);
        }
        emit self->recoveryFinished(restored);
    });
    // The cuts that came back were never saved.
    m_takeFirstRevision = false;
    m_savedRevision = -1;
    m_notWhole.clear(); // read whole, anew
    showTakenPicture(picture);
    emit unsavedCutsChanged();
}

void ViewController::tell(const QString& title, const QString& text, RecoveryAnswer answer)
{
    SystemLog::log(text);
    showStatus(text, 15000);
    if (answer != RecoveryAnswer::Ask)
        return; // a script answered the offer: no dialog waits for it
    auto* box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok, window());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
