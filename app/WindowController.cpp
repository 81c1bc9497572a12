#include "app/WindowController.h"

#include "app/AppDelegate.h"
#include "app/Exporter.h"
#include "app/RecentFiles.h"
#include "app/ViewController.h"
#include "app/ViewMenu.h"
#include "canvas/ZRImageCutView.h"
#include "platform/BackgroundPool.h"
#include "platform/MainThread.h"
#include "platform/Resources.h"
#include "platform/SystemLog.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QPointer>
#include <QUrl>
#include <QProxyStyle>
#include <QStyle>

WindowController::WindowController(QWidget* parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::MainWindow>())
{
    Resources::load();
    m_ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/icons/veltrane.png")));
    m_ui->actionImport->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
    m_ui->actionSaveTool->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    m_ui->actionOpen->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
    m_ui->actionSave->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));

    connect(m_ui->actionImport, &QAction::triggered, this, &WindowController::importAction);
    connect(m_ui->actionSaveTool, &QAction::triggered, this, &WindowController::saveAction);
    connect(m_ui->actionQuit, &QAction::triggered, qApp, &QApplication::closeAllWindows);
    auto delegate = [] { return AppDelegate::shared(); };
    connect(m_ui->actionOpen, &QAction::triggered, this, [delegate] {
        if (auto* d = delegate())
            d->open_menu();
    });
    connect(m_ui->actionSave, &QAction::triggered, this, [delegate] {
        if (auto* d = delegate())
            d->save_menu();
    });
    connect(m_ui->actionUndo, &QAction::triggered, this, [delegate] {
        if (auto* d = delegate())
            d->btnUndo();
    });
    connect(m_ui->actionRedo, &QAction::triggered, this, [delegate] {
        if (auto* d = delegate())
            d->btnRedo();
    });
    // Undo, redo and saving follow the picture and its history.
    if (ViewController* controller = viewController()) {
        controller->setStatusBar(m_ui->statusbar);
        connect(controller, &ViewController::commandsChanged, this, [this] {
            ViewController* c = viewController();
            // With any picture shown: one that cannot be saved yet says why.
            const bool shown = c->canSave() || !c->whyNotSaveable().isEmpty();
            m_ui->actionSave->setEnabled(shown);
            m_ui->actionSaveTool->setEnabled(shown);
            m_ui->actionUndo->setEnabled(c->canUndo());
            m_ui->actionRedo->setEnabled(c->canRedo());
        });
        emit controller->commandsChanged();
    }
    // Copy and paste, after undo and redo.
    m_ui->menuEdit->addSeparator();
    QAction* copy = m_ui->menuEdit->addAction(tr("&Copy the cut-out"));
    copy->setShortcut(QKeySequence::Copy);
    QAction* paste = m_ui->menuEdit->addAction(tr("&Paste a picture"));
    paste->setShortcut(QKeySequence::Paste);
    if (ViewController* controller = viewController()) {
        connect(copy, &QAction::triggered, controller, &ViewController::copy);
        connect(paste, &QAction::triggered, controller, &ViewController::paste);
        connect(controller, &ViewController::commandsChanged, copy,
                [copy, controller] {
                    copy->setEnabled(controller->canSave() || !controller->whyNotSaveable().isEmpty());
                });
        copy->setEnabled(controller->canSave());
    }

    // View, after Edit.
    if (ViewController* controller = viewController()) {
        QMenu* view = new QMenu(tr("&View"), this);
        m_ui->menubar->insertMenu(nullptr, view);
        ViewMenu::fill(view, controller->viCut(), this);
    }

    // The save's options, below Save: the desktop's own save dialog has no
    // room for them. Qt's own dialog shows them too; both remember.
    QMenu* saveOptions = new QMenu(tr("Save &Options"), this);
    const QList<QAction*> fileActions = m_ui->menuFile->actions();
    const qsizetype saveAt = fileActions.indexOf(m_ui->actionSave);
    m_ui->menuFile->insertMenu(fileActions.value(saveAt + 1), saveOptions);
    QAction* trim = saveOptions->addAction(tr("&Trim transparent borders"));
    QAction* keep = saveOptions->addAction(tr("&Keep colours under cut pixels"));
    for (QAction* option : {trim, keep})
        option->setCheckable(true);
    connect(saveOptions, &QMenu::aboutToShow, this, [trim, keep] {
        const Exporter::Options options = Exporter::rememberedOptions();
        trim->setChecked(options.trim);
        keep->setChecked(options.keepColours);
    });
    for (QAction* option : {trim, keep})
        connect(option, &QAction::triggered, this, [trim, keep] {
            Exporter::Options options = Exporter::rememberedOptions();
            options.trim = trim->isChecked();
            options.keepColours = keep->isChecked();
            Exporter::remember(options);
        });

    // Open Recent, below Open.
    m_recentMenu = new QMenu(tr("Open &Recent"), this);
    m_ui->menuFile->insertMenu(m_ui->actionSave, m_recentMenu);
    connect(m_recentMenu, &QMenu::aboutToShow, this, &WindowController::fillRecentMenu);
    if (ViewController* controller = viewController()) {
        connect(controller, &ViewController::pictureChanged, this, &WindowController::updateTitle);
        connect(controller, &ViewController::unsavedCutsChanged, this,
                [this, controller] { setWindowModified(controller->hasUnsavedCuts()); });
    }
    windowDidLoad();
}

WindowController::~WindowController() = default;

void WindowController::closeEvent(QCloseEvent* event)
{
    ViewController* controller = viewController();
    if (m_closeConfirmed || !controller || !controller->hasUnsavedCuts()) {
        // Closed with its cuts saved or discarded: nothing for a next start to restore.
        if (controller)
            controller->viCut()->endSession();
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    controller->confirmDiscardingCuts([this] {
        m_closeConfirmed = true;
        close();
    });
}

void WindowController::updateTitle()
{
    const ViewController* controller = viewController();
    const QString path = controller ? controller->picturePath() : QString();
    const bool shown = controller && !controller->viCut()->image().isNull();
    if (!shown) {
        setWindowTitle(QStringLiteral("Veltrane PRO"));
        return;
    }
    const QString name = path.isEmpty() ? tr("Dropped picture") : QFileInfo(path).fileName();
    setWindowTitle(tr("%1[*] — Veltrane PRO").arg(name));
    setWindowFilePath(path);
}

void WindowController::fillRecentMenu()
{
    m_recentMenu->clear();
    const QStringList entries = RecentFiles::list();
    for (const QString& path : entries) {
        QAction* action = m_recentMenu->addAction(QFileInfo(path).fileName());
        action->setToolTip(path);
        action->setStatusTip(QDir::toNativeSeparators(path));
        connect(action, &QAction::triggered, this, [this, path] {
            if (ViewController* controller = viewController())
                controller->draggingFilesComplete({QUrl::fromLocalFile(path)}, false);
        });
    }
    if (entries.isEmpty())
        m_recentMenu->addAction(tr("No recent pictures"))->setEnabled(false);
    // Files that are gone are pruned off the main thread; the menu follows
    // if it is still open.
    QPointer<WindowController> self(this);
    BackgroundPool::run([self, entries] {
        const QStringList gone = RecentFiles::missing(entries);
        if (gone.isEmpty())
            return;
        MainThread::async([self, gone] {
            RecentFiles::remove(gone);
            if (self && self->m_recentMenu->isVisible())
                self->fillRecentMenu();
        });
    });
}

ViewController* WindowController::viewController() const
{
    return qobject_cast<ViewController*>(centralWidget());
}

void WindowController::windowDidLoad()
{
    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    QStyle* look = style();
    if (auto* proxy = qobject_cast<QProxyStyle*>(look); proxy && proxy->baseStyle())
        look = proxy->baseStyle();
    SystemLog::log(QStringLiteral("%1").arg(
        QStringLiteral("appearance: %1, %2").arg(look->name(), dark ? "dark" : "light")));
}

void WindowController::importAction()
{
    if (ViewController* controller = viewController())
        controller->openPicture();
}

void WindowController::saveAction()
{
    if (ViewController* controller = viewController())
        controller->btnSavePressed();
}
