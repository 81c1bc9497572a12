#include "app/ViewController.h"

#include "app/AppDelegate.h"
#include "app/ClipboardCopy.h"
#include "app/DragView.h"
#include "app/Exporter.h"
#include "app/RecentFiles.h"
#include "app/SaveFile.h"
#include "app/Trace.h"
#include "canvas/ZRImageCutView.h"
#include "imaging/ImageAction.h"
#include "platform/BackgroundPool.h"
#include "platform/MainThread.h"
#include "platform/Resources.h"
#include "ui_ViewController.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMimeData>
#include <QDragEnterEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMainWindow>
#include <QMessageBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>

#include <cstdio>

namespace {
// Settings remembered between runs.
const QString kBrushSize = QStringLiteral("brush/size");
const QString kBrushIntensity = QStringLiteral("brush/intensity");
const QString kBrushSoftness = QStringLiteral("brush/softness");
const QString kBlurredCopy = QStringLiteral("brush/blurredCopy");
const QString kPenPressure = QStringLiteral("brush/penPressure");
const QString kRefineEdges = QStringLiteral("brush/refineEdges");

} // namespace

ViewController::ViewController(QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::ViewControllerForm>())
{
    Resources::load();
    m_ui->setupUi(this);
    // The panel scrolls where the window is too short for all of it (at its
    // minimum height, say): nothing in it is squeezed or drawn over another.
    auto* scroller = new QScrollArea(this);
    scroller->setObjectName(QStringLiteral("panelScroller"));
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroller->setWidgetResizable(true);
    delete m_ui->rootLayout->replaceWidget(m_ui->panel, scroller);
    const int panelWidth = m_ui->panel->minimumWidth();
    m_ui->panel->setMaximumWidth(QWIDGETSIZE_MAX);
    scroller->setWidget(m_ui->panel);
    scroller->setFixedWidth(panelWidth + scroller->verticalScrollBar()->sizeHint().width());
    QPalette behind = scroller->palette();
    behind.setColor(QPalette::Window, m_ui->panel->backgroundColor());
    scroller->setPalette(behind);
    scroller->viewport()->setPalette(behind);
    scroller->viewport()->setAutoFillBackground(true);
    // What the interface description wires in the first design.
    m_ui->viCut->setDelegate(this);
    connect(m_ui->sldSize, &QSlider::valueChanged, this, &ViewController::sldSize_changed);
    connect(m_ui->sldIntensivity, &QSlider::valueChanged, this, &ViewController::sldIntensivity_changed);
    connect(m_ui->sldSmooth, &QSlider::valueChanged, this, &ViewController::sldSmooth_changed);
    // The brush is written once a drag ends or after a short pause, never at
    // every step: each write rewrites and syncs the settings file.
    m_settingsPause = new QTimer(this);
    m_settingsPause->setSingleShot(true);
    m_settingsPause->setInterval(600);
    connect(m_settingsPause, &QTimer::timeout, this, &ViewController::writePendingSettings);
    for (QSlider* slider : {m_ui->sldSize, m_ui->sldIntensivity, m_ui->sldSmooth, m_ui->sldTolerance})
        connect(slider, &QSlider::sliderReleased, this, &ViewController::writePendingSettings);
    connect(m_ui->btnUndo, &QPushButton::clicked, this, &ViewController::btnBack);
    connect(m_ui->btnRedo, &QPushButton::clicked, this, &ViewController::btnRedo);
    connect(m_ui->btnOpen, &QPushButton::clicked, this, &ViewController::openPicture);
    connect(m_ui->btnSave, &QPushButton::clicked, this, &ViewController::btnSavePressed);
    connect(m_ui->btnMoreApps, &QPushButton::clicked, this, &ViewController::getMoreApps);
    connect(m_ui->chkBlur, &QCheckBox::toggled, this, [this](bool on) {
        m_ui->viCut->setBlurOn(on);
        QSettings().setValue(kBlurredCopy, on);
    });
    connect(m_ui->chkRefine, &QCheckBox::toggled, this, [this](bool on) {
        m_ui->viCut->setRefinesEdges(on);
        QSettings().setValue(kRefineEdges, on);
    });
    connect(m_ui->chkPressure, &QCheckBox::toggled, this, [this](bool on) {
        m_ui->viCut->setUsesPenPressure(on);
        QSettings().setValue(kPenPressure, on);
    });
    m_ui->lblBrush->setStyleSheet(QStringLiteral("font-weight: 600; font-size: 15px; color: #e8ecf2;"));
    m_ui->lblHint->setStyleSheet(QStringLiteral("color: #8a94a3; font-size: 11px;"));
    m_ui->ivBrushPreview->setStyleSheet(
        QStringLiteral("background: #232934; border: 1px solid #313948; border-radius: 6px;"));
    m_ui->btnMoreApps->setStyleSheet(
        QStringLiteral("QPushButton { color: #7fb2ee; border: none; padding: 4px; }"
                       "QPushButton:hover { color: #a9cdf6; text-decoration: underline; }"));
    viewDidLoad();
}

ViewController::~ViewController()
{
    writePendingSettings(); // a pause that has not yet ended
    m_ui->viCut->setDelegate(nullptr);
    m_ui->viDrag->setDelegate(nullptr);
}

ZRImageCutView* ViewController::viCut() const { return m_ui->viCut; }
QSlider* ViewController::sldSize() const { return m_ui->sldSize; }
QSlider* ViewController::sldIntensivity() const { return m_ui->sldIntensivity; }
QSlider* ViewController::sldSmooth() const { return m_ui->sldSmooth; }
QLabel* ViewController::ivBrushPreview() const { return m_ui->ivBrushPreview; }
DragView* ViewController::viDrag() const { return m_ui->viDrag; }
QPushButton* ViewController::btnUndoButton() const { return m_ui->btnUndo; }
QPushButton* ViewController::btnRedoButton() const { return m_ui->btnRedo; }
QPushButton* ViewController::btnSaveButton() const { return m_ui->btnSave; }

// ---------------------------------------------------------------- life cycle

void ViewController::viewDidLoad()
{
    // The brush as the user left it.
    const QSettings settings;
    m_ui->sldSize->setValue(settings.value(kBrushSize, m_ui->sldSize->value()).toInt());
    m_ui->sldIntensivity->setValue(settings.value(kBrushIntensity, m_ui->sldIntensivity->value()).toInt());
    m_ui->sldSmooth->setValue(settings.value(kBrushSoftness, m_ui->sldSmooth->value()).toInt());
    m_ui->chkBlur->setChecked(settings.value(kBlurredCopy, false).toBool());
    m_ui->chkPressure->setChecked(settings.value(kPenPressure, true).toBool());
    m_ui->chkRefine->setChecked(settings.value(kRefineEdges, true).toBool());
    m_ui->viCut->setRefinesEdges(m_ui->chkRefine->isChecked());
    m_ui->viCut->setUsesPenPressure(m_ui->chkPressure->isChecked());
    setupTools();
    m_ui->viCut->setHidden(true);
    m_ui->viDrag->setDelegate(this);
    // The canvas lies over the drop zone once a picture is shown: it passes
    // drags on, so that a later drop replaces the picture.
    m_ui->viCut->setAcceptDrops(true);
    m_ui->viCut->installEventFilter(this);
    BackgroundPool::run([] {
        DragView::removeLeftoverDrops();
        SaveFile::removeLeftovers();
    });
}

bool ViewController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_ui->viCut)
        return QWidget::eventFilter(watched, event);
    DragView* zone = m_ui->viDrag;
    switch (event->type()) {
    case QEvent::Paint:
        // Every zoom, pan and new picture ends in a repaint.
        updateFigures();
        if (std::exchange(m_traceFirstFrame, false))
            QMetaObject::invokeMethod(
                this, [] { Trace::line(QStringLiteral("first frame painted")); }, Qt::QueuedConnection);
        if (m_traceRestore) {
            // Once this frame, the first with the restored cut, is painted.
            m_traceRestore = false;
            const QSizeF size = m_ui->viCut->image().size();
            QTimer::singleShot(0, this, [size] {
                Trace::line(QStringLiteral("restored %1 %2").arg(size.width()).arg(size.height()));
            });
        }
        return false;
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        const QPointF at = zone->mapFromGlobal(m_ui->viCut->mapToGlobal(drop->position()));
        std::unique_ptr<QDropEvent> passed;
        if (event->type() == QEvent::DragEnter)
            passed = std::make_unique<QDragEnterEvent>(at.toPoint(), drop->possibleActions(), drop->mimeData(),
                                                       drop->buttons(), drop->modifiers());
        else if (event->type() == QEvent::DragMove)
            passed = std::make_unique<QDragMoveEvent>(at.toPoint(), drop->possibleActions(), drop->mimeData(),
                                                      drop->buttons(), drop->modifiers());
        else
            passed = std::make_unique<QDropEvent>(at, drop->possibleActions(), drop->mimeData(),
                                                  drop->buttons(), drop->modifiers());
        // Straight to the drop zone: Qt hands a drag's later events to the
        // widget that took its entry, which is the canvas.
        static_cast<QObject*>(zone)->event(passed.get());
        drop->setDropAction(passed->dropAction());
        drop->setAccepted(passed->isAccepted());
        return true;
    }
    case QEvent::DragLeave: {
        QDragLeaveEvent leave;
        static_cast<QObject*>(zone)->event(&leave);
        return true;
    }
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void ViewController::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_appeared)
        return;
    m_appeared = true;
    viewWillAppear();
    // Once the layout has given the preview its size.
    QMetaObject::invokeMethod(this, [this] { viewDidAppear(); }, Qt::QueuedConnection);
}

void ViewController::viewWillAppear()
{
    auto* window = qobject_cast<QMainWindow*>(this->window());
    if (AppDelegate* delegate = AppDelegate::shared(); delegate && window)
        delegate->setMainWindow(window);
    this->window()->setWindowTitle(QStringLiteral("Veltrane PRO"));
}

void ViewController::viewDidAppear()
{
    sldSize_changed();
    sldIntensivity_changed();
    sldSmooth_changed();
}

// ---------------------------------------------------------------- brush

void ViewController::sldSize_changed()
{
    const float v = float(m_ui->sldSize->value());
    m_ui->viCut->setBrushDiameter(v);
    rememberLater(kBrushSize, m_ui->sldSize->value());
    updateValueLabels();
    updateBrushPreview();
}

void ViewController::sldIntensivity_changed()
{
    const float v = float(m_ui->sldIntensivity->value());
    m_ui->viCut->setBrushAlphaValue(v / 100.0f);
    rememberLater(kBrushIntensity, m_ui->sldIntensivity->value());
    updateValueLabels();
    updateBrushPreview();
}

void ViewController::sldSmooth_changed()
{
    const float v = float(m_ui->sldSmooth->value());
    m_ui->viCut->setBrushHardness(float(1.0 - double(v) / 100.0));
    rememberLater(kBrushSoftness, m_ui->sldSmooth->value());
    updateValueLabels();
    updateBrushPreview();
}

void ViewController::rememberLater(const QString& key, const QVariant& value)
{
    m_pendingSettings.insert(key, value);
    // While a slider is dragged its release writes; else a pause does.
    const bool dragged = m_ui->sldSize->isSliderDown() || m_ui->sldIntensivity->isSliderDown() ||
                         m_ui->sldSmooth->isSliderDown() || m_ui->sldTolerance->isSliderDown();
    if (dragged)
        m_settingsPause->stop();
    else
        m_settingsPause->start();
}

void ViewController::writePendingSettings()
{
    m_settingsPause->stop();
    if (m_pendingSettings.isEmpty())
        return;
    // One write for all of them, and none for values already stored.
    QSettings settings;
    for (auto it = m_pendingSettings.cbegin(); it != m_pendingSettings.cend(); ++it)
        if (settings.value(it.key()).toString() != it.value().toString())
            settings.setValue(it.key(), it.value());
    m_pendingSettings.clear();
}

void ViewController::updateValueLabels()
{
    m_ui->lblSizeValue->setText(QStringLiteral("%1 pt").arg(m_ui->sldSize->value()));
    m_ui->lblIntensityValue->setText(QStringLiteral("%1 %").arg(m_ui->sldIntensivity->value()));
    m_ui->lblSoftnessValue->setText(QStringLiteral("%1 %").arg(m_ui->sldSmooth->value()));
}

void ViewController::updateBrushPreview()
{
    const QRectF bounds = m_ui->ivBrushPreview->rect();
    const QSizeF size(bounds.width() - 20, bounds.height() - 20);
    const Picture preview = m_ui->viCut->getBrushPreviewWithSize(size);
    m_ui->ivBrushPreview->setPixmap(preview ? QPixmap::fromImage(preview.bestRepresentation())
                                            : QPixmap());
}

// ---------------------------------------------------------------- history

void ViewController::btnBack()
{
    m_ui->viCut->prevHistoryState();
}

void ViewController::btnRedo()
{
    m_ui->viCut->nextHistoryState();
}

void ViewController::cutViewDidChangeHistoryState(ZRImageCutView* view)
{
    if (m_takeFirstRevision && view->historyCurrentState() == 0 && view->historyLength() == 1) {
        m_takeFirstRevision = false;
        m_savedRevision = view->historyRevision();
    }
    emit unsavedCutsChanged();
    m_ui->btnUndo->setEnabled(view->historyCurrentState() != 0);
    m_ui->btnRedo->setEnabled(view->historyCurrentState() < view->historyLength() - 1);
    emit commandsChanged();
}

bool ViewController::canUndo() const
{
    return m_ui->btnUndo->isEnabled();
}

bool ViewController::canRedo() const
{
    return m_ui->btnRedo->isEnabled();
}

void ViewController::cutViewHistoryCouldNotBeWritten(ZRImageCutView*, const QString& reason)
{
    // Painting goes on; only the steps without a snapshot cannot be undone to.
    showStatus(tr("Undo steps cannot be kept: %1").arg(reason), 15000);
}

// ---------------------------------------------------------------- save

QString ViewController::proposedFileName(const QDateTime& when)
{
    return QStringLiteral("%1 - %2.png")
        .arg(QStringLiteral("Veltrane"), when.toString(QStringLiteral("dd-MM-yyyy HH:mm:ss")));
}

void ViewController::btnSavePressed()
{
    // With no picture there is nothing to write: an empty file would only
    // pretend to be a save. A picture that cannot be saved says why.
    if (!canSave()) {
        if (const QString why = whyNotSaveable(); !why.isEmpty())
            showStatus(why, 15000);
        return;
    }
    const QString name = proposedFileName(QDateTime::currentDateTime());
    QString path = m_savePathForTesting;
    Exporter::Options options = Exporter::rememberedOptions();
    if (path.isEmpty()) {
        QString directory = m_saveDirectory;
        if (directory.isEmpty())
            directory = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        if (directory.isEmpty() || !QDir(directory).exists())
            directory = QDir::homePath();
        if (!Exporter::choose(window(), directory, name, &path, &options))
            return;
    }
    saveTo(path, options);
}

void ViewController::saveTo(const QString& path, const Exporter::Options& options)
{
    if (!canSave())
        return;
    ++m_savesInFlight;
    // Each save has its own writer, so that its end is told with the picture
    // and the revision it wrote, whatever was opened or saved meanwhile.
    auto* exporter = new Exporter(this);
    connect(exporter, &Exporter::progressed, this, [this](const QString& at, int percent) {
        showStatus(tr("Saving %1… %2 %").arg(QFileInfo(at).fileName()).arg(percent), 0);
    });
    connect(exporter, &Exporter::finished, this,
            [this, exporter, picture = m_pictureSerial, revision = m_ui->viCut->historyRevision()](
                const QString& at, const QString& error, const QString& note) {
                exporter->deleteLater();
                finishSave(picture, revision, at, error, note);
            });
    showStatus(tr("Saving %1…").arg(QFileInfo(path).fileName()), 0);
    exporter->write(m_ui->viCut->resultComposer(options.keepColours), path, options);
}

// ---------------------------------------------------------------- clipboard

void ViewController::copy()
{
    if (!canSave()) {
        if (const QString why = whyNotSaveable(); !why.isEmpty())
            showStatus(why, 15000);
        return;
    }
    showStatus(tr("Copying the cut-out…"), 0);
    ClipboardCopy::copy(this, m_ui->viCut->resultTask(), [this](const QString& error) {
        if (!error.isEmpty()) {
            showStatus(tr("Could not copy the cut-out: %1").arg(error), 15000);
            return;
        }
        showStatus(tr("Copied the cut-out"));
        emit copied();
    });
}

void ViewController::finishSave(int picture, qint64 revision, const QString& path, const QString& error,
                                const QString& note)
{
    --m_savesInFlight;
    Trace::line(error.isEmpty() ? QStringLiteral("saved %1").arg(path)
                          : QStringLiteral("save failed %1: %2").arg(path, error));
    // A later picture's question is not this save's to answer.
    const bool samePicture = picture == m_pictureSerial;
    std::function<void()> afterSave = samePicture ? std::exchange(m_afterSave, {}) : nullptr;
    if (error.isEmpty()) {
        // Only a folder that took a save is offered again.
        m_saveDirectory = QFileInfo(path).absolutePath();
        if (samePicture) {
            m_savedRevision = revision;
            m_ui->viCut->markSessionSaved(revision);
            emit unsavedCutsChanged();
        }
        showStatus(note.isEmpty() ? tr("Saved %1").arg(QFileInfo(path).fileName())
                                  : tr("Saved %1. %2").arg(QFileInfo(path).fileName(), note),
                   note.isEmpty() ? 6000 : 15000);
    } else {
        showStatus(tr("Could not save %1").arg(QFileInfo(path).fileName()));
        if (m_savePathForTesting.isEmpty()) {
            QMessageBox::warning(window(), tr("Could not save"),
                                 tr("The cut-out could not be saved to\n%1\n\n%2")
                                     .arg(QDir::toNativeSeparators(path), error));
        }
    }
    emit saveFinished(path, error);
    if (error.isEmpty() && afterSave)
        afterSave();
}

void ViewController::setStatusBar(QStatusBar* bar)
{
    m_statusBar = bar;
    if (!bar)
        return;
    for (QPointer<QLabel>* figure : {&m_sizeFigure, &m_zoomFigure, &m_maskFigure}) {
        *figure = new QLabel(bar);
        (*figure)->setStyleSheet(QStringLiteral("color: #8a94a3; padding: 0 8px;"));
        bar->addPermanentWidget(*figure);
    }
    updateFigures();
}

QString ViewController::pictureSizeText() const
{
    const QSizeF size = m_ui->viCut->image().size();
    if (m_ui->viCut->image().isNull())
        return {};
    return tr("%1 × %2 px").arg(qint64(size.width())).arg(qint64(size.height()));
}

QString ViewController::zoomText() const
{
    const double scale = m_ui->viCut->viewTransform().scale;
    if (m_ui->viCut->image().isNull() || !(scale > 0))
        return {};
    return tr("Zoom %1 %").arg(scale * 100.0, 0, 'f', scale < 0.1 ? 1 : 0);
}

QString ViewController::maskText() const
{
    const QImage mask = m_ui->viCut->currentMask();
    if (m_ui->viCut->image().isNull() || mask.isNull())
        return {};
    return tr("Mask %1 × %2").arg(mask.width()).arg(mask.height());
}

void ViewController::updateFigures()
{
    const std::pair<QPointer<QLabel>, QString> figures[] = {
        {m_sizeFigure, pictureSizeText()}, {m_zoomFigure, zoomText()}, {m_maskFigure, maskText()}};
    for (const auto& [label, text] : figures) {
        if (label && label->text() != text) {
            label->setText(text);
            label->setVisible(!text.isEmpty());
        }
    }
}

void ViewController::showStatus(const QString& text, int milliseconds)
{
    if (!m_statusBar)
        return;
    if (text.isEmpty())
        m_statusBar->clearMessage();
    else
        m_statusBar->showMessage(text, milliseconds);
}

// ---------------------------------------------------------------- more apps

QUrl ViewController::moreAppsAddress()
{
    return QUrl(QStringLiteral("https://veltrane.org/apps"));
}

void ViewController::getMoreApps()
{
    QDesktopServices::openUrl(moreAppsAddress());
}
