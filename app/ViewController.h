#pragma once

#include "app/DragViewDelegate.h"
#include "app/Exporter.h"
#include "canvas/SessionOrphans.h"
#include "canvas/ZRImageCutViewDelegate.h"
#include "imaging/Picture.h"

#include <QDateTime>
#include <QMessageBox>
#include <QPointer>
#include <QStatusBar>
#include <QUrl>
#include <QVariantMap>
#include <QWidget>

#include <functional>
#include <memory>
#include <set>

class DragView;
class QFileDialog;
class QLabel;
class QPushButton;
class QSlider;
class QTimer;
class ZRImageCutView;
namespace Ui {
class ViewControllerForm;
}

// The window's content: connects the brush sliders, the preview, the undo and
// redo buttons and the open and save commands to the canvas, and loads the
// pictures that the drop zone or the open dialog deliver.
class ViewController : public QWidget, public DragViewDelegate, public ZRImageCutViewDelegate {
    Q_OBJECT

public:
    explicit ViewController(QWidget* parent = nullptr);
    ~ViewController() override;

    // Outlets.
    ZRImageCutView* viCut() const;
    QSlider* sldSize() const;
    QSlider* sldIntensivity() const;
    QSlider* sldSmooth() const;
    QLabel* ivBrushPreview() const;
    DragView* viDrag() const;
    QPushButton* btnUndoButton() const;
    QPushButton* btnRedoButton() const;
    QPushButton* btnSaveButton() const;

    // The name the save dialog proposes for a save at `when`.
    static QString proposedFileName(const QDateTime& when);
    // The address "more apps" opens.
    static QUrl moreAppsAddress();

    bool canSave() const;
    // Why a shown picture cannot be saved yet or at all (its whole version is
    // still being read or could not be, its cut is still being prepared);
    // empty when it can be, or when there is none.
    QString whyNotSaveable() const;
    // Cuts made since the picture was opened or last saved (undoing back to
    // that state counts as none).
    bool hasUnsavedCuts() const;
    // Runs `proceed` at once without unsaved cuts; else asks first whether to
    // save them (then goes on once the save succeeded), discard them (goes
    // on) or cancel (runs `cancelled`, if given).
    void confirmDiscardingCuts(std::function<void()> proceed, std::function<void()> cancelled = {});
    // Tests and tools: answer that question with `button` instead of asking
    // (QMessageBox::NoButton asks again). How often it was asked or answered.
    void setUnsavedCutsAnswerForTesting(QMessageBox::StandardButton button) { m_answerForTesting = button; }
    int unsavedCutsQuestions() const { return m_questions; }
    bool canUndo() const;
    bool canRedo() const;
    // The bar for messages; the controller also keeps the picture's size, the
    // zoom and the mask's resolution there.
    void setStatusBar(QStatusBar* bar);
    // The status bar's figures, as shown.
    QString pictureSizeText() const;
    QString zoomText() const;
    QString maskText() const;
    // The file the shown picture came from; empty for dropped data or none.
    QString picturePath() const { return m_picturePath; }

    // Where saves go unless the user picks another folder; tests set it.
    // A folder becomes it only once a save there has succeeded.
    void setSaveDirectory(const QString& directory) { m_saveDirectory = directory; }
    QString saveDirectory() const { return m_saveDirectory; }
    // Tests: skip the modal dialog and save to this path.
    void setSavePathForTesting(const QString& path) { m_savePathForTesting = path; }
    // Saves the cut-out to `path` as the Save dialog would with `options`.
    void saveTo(const QString& path, const Exporter::Options& options);
    // True while a save is being encoded and written.
    bool isSaving() const { return m_savesInFlight > 0; }
    // True while a picture is being read.
    bool isLoading() const { return !m_loadsInFlight.empty(); }
    // The open dialog's file patterns.
    static QStringList openPatterns();

    // Cuts left by editors that ended without closing their picture: looked
    // for in the background, then offered one after another, newest first,
    // until one is restored (the rest wait for the next start). `answer`
    // answers every offer without asking, for scripts.
    enum class RecoveryAnswer { Ask, Restore, Discard };
    void offerRecovery(RecoveryAnswer answer);

    // DragViewDelegate
    void draggingFilesComplete(const QList<QUrl>& urls, bool needsWait) override;
    // ZRImageCutViewDelegate
    void cutViewDidChangeHistoryState(ZRImageCutView* view) override;
    void cutViewDidChangeToolSettings(ZRImageCutView* view) override;
    void cutViewHistoryCouldNotBeWritten(ZRImageCutView* view, const QString& reason) override;
    void cutViewDidRefusePicture(ZRImageCutView* view, const QString& reason) override;
    void cutViewDidReportSubject(ZRImageCutView* view, const QString& status) override;

public slots:
    void sldSize_changed();
    void sldIntensivity_changed();
    void sldSmooth_changed();
    void openPicture();
    void btnSavePressed();
    void btnBack();
    void btnRedo();
    void getMoreApps();
    void updateBrushPreview();
    // The cut-out to the clipboard, as PNG data and as an image, alpha kept.
    void copy();
    // A picture from the clipboard (its data, or the files it names) opens
    // as if dropped.
    void paste();

signals:
    // Save, undo or redo may have become possible or impossible.
    void commandsChanged();
    // A save finished: `error` is empty on success.
    void saveFinished(const QString& path, const QString& error);
    // A file intake finished; `loaded` tells whether a picture was taken.
    void intakeFinished(bool loaded);
    // The cut-out is on the clipboard.
    void copied();
    // hasUnsavedCuts() may have changed.
    void unsavedCutsChanged();
    // The shown picture changed (a new one, or its file's name).
    void pictureChanged();
    // The recovery offers are over; `restored` tells whether a cut came back.
    void recoveryFinished(bool restored);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What one intake read, off the main thread.
    struct Intake {
        int generation = 0;
        Picture picture;
        QString name;    // the file the picture came from
        QString path;    // its path, unless it was dropped data
        QString warning; // the reader's warning for a damaged file it still read
        QString failedName;
        QString reason; // why the first file that failed was refused
    };

    void finishIntake(const Intake& intake);
    void showPreview(int generation, const QString& path, const Picture& preview);
    void viewDidLoad();
    void viewWillAppear();
    void viewDidAppear();
    // `notWhole` tells why it cannot be saved, for a reduced version.
    void takePicture(const Picture& picture, const QString& notWhole = {});
    // The controls follow a picture the canvas has just taken.
    void showTakenPicture(const Picture& picture);
    void offerOrphans(std::vector<SessionOrphans::Orphan> orphans, RecoveryAnswer answer);
    void restoreOrphan(const SessionOrphans::Orphan& orphan, RecoveryAnswer answer);
    void finishRestore(int generation, const SessionOrphans::Orphan& orphan, const Picture& picture,
                       RecoveryAnswer answer);
    void tell(const QString& title, const QString& text, RecoveryAnswer answer);
    // `picture` is the serial of the picture the save wrote, `revision` its
    // cut's revision then.
    void finishSave(int picture, qint64 revision, const QString& path, const QString& error,
                    const QString& note);
    // The name a file of ours is shown by: "Dropped picture" for our own
    // copies of dropped or pasted data, else the file's name.
    static QString shownName(const QString& path);
    void showStatus(const QString& text, int milliseconds = 6000);
    void updateValueLabels();
    // A slider's setting, written at its drag's end or after a short pause.
    void rememberLater(const QString& key, const QVariant& value);
    void writePendingSettings();
    void updateFigures();
    // The tool choice and the colour tools' controls (ViewControllerTools.cpp).
    void setupTools();
    void setupSubject();
    // The Subject button's text: its progress while the subject is looked for.
    void showSubjectState();
    void showToolSettings();

    std::unique_ptr<Ui::ViewControllerForm> m_ui;
    // The canvas's history revision last saved (or opened): -1 until the
    // new picture's first state is recorded, whose revision it then takes.
    qint64 m_savedRevision = 0;
    bool m_takeFirstRevision = false;
    // Counts the pictures shown: a save that ends after another picture
    // came says nothing about that one's cuts.
    int m_pictureSerial = 0;
    // Why the shown picture cannot be saved: set while only its reduced
    // version is shown, and kept if its whole version could not be read.
    QString m_notWhole;
    std::function<void()> m_afterSave;
    QMessageBox::StandardButton m_answerForTesting = QMessageBox::NoButton;
    int m_questions = 0;
    bool m_intakeConfirmed = false;
    QPointer<QStatusBar> m_statusBar;
    QPointer<QLabel> m_sizeFigure;
    QPointer<QLabel> m_zoomFigure;
    QPointer<QLabel> m_maskFigure;
    QString m_picturePath;
    QString m_saveDirectory;
    QString m_savePathForTesting;
    QPointer<QFileDialog> m_openDialog;
    int m_intakeGeneration = 0;
    int m_shownGeneration = 0;
    bool m_traceFirstFrame = false; // a new picture's first paint is still to be noted
    int m_previewGeneration = 0; // the intake whose reduced version is shown, while it decodes
    std::set<int> m_loadsInFlight;
    Intake m_waiting; // the newest picture read while a newer intake still loads
    int m_savesInFlight = 0;
    bool m_appeared = false;
    bool m_traceRestore = false; // trace the first frame with a restored cut
    QTimer* m_settingsPause = nullptr;
    QVariantMap m_pendingSettings;
};
