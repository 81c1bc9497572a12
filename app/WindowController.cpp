#include "app/WindowController.h"

#include "app/AppDelegate.h"
#include "app/ViewController.h"
#include "platform/Resources.h"
#include "platform/SystemLog.h"
#include "ui_MainWindow.h"

#include <QApplication>
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
            m_ui->actionSave->setEnabled(c->canSave());
            m_ui->actionSaveTool->setEnabled(c->canSave());
            m_ui->actionUndo->setEnabled(c->canUndo());
            m_ui->actionRedo->setEnabled(c->canRedo());
        });
        emit controller->commandsChanged();
    }
    windowDidLoad();
}

WindowController::~WindowController() = default;

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
