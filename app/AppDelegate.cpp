#include "app/AppDelegate.h"

#include "app/ViewController.h"

#include <QMainWindow>
#include <QMetaObject>

namespace {
AppDelegate* g_shared = nullptr;
}

AppDelegate::AppDelegate(QObject* parent) : QObject(parent)
{
    if (!g_shared)
        g_shared = this;
    connect(this, &QObject::destroyed, [this] {
        if (g_shared == this)
            g_shared = nullptr;
    });
}

AppDelegate* AppDelegate::shared()
{
    return g_shared;
}

ViewController* AppDelegate::viewController() const
{
    if (!m_mainWindow)
        return nullptr;
    return qobject_cast<ViewController*>(m_mainWindow->centralWidget());
}

void AppDelegate::defer(void (ViewController::*action)())
{
    // The action runs on a later turn of the event loop, even from the main thread.
    ViewController* controller = viewController();
    if (!controller)
        return;
    QPointer<ViewController> target(controller);
    QMetaObject::invokeMethod(
        controller, [target, action] {
            if (target)
                (target.data()->*action)();
        },
        Qt::QueuedConnection);
}

void AppDelegate::reshowWindow()
{
    if (!m_mainWindow)
        return;
    if (m_mainWindow->isMinimized())
        m_mainWindow->showNormal();
    m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
}

void AppDelegate::open_menu()
{
    if (m_mainWindow && (!m_mainWindow->isVisible() || m_mainWindow->isMinimized()))
        reshowWindow();
    defer(&ViewController::openPicture);
}

void AppDelegate::save_menu()
{
    defer(&ViewController::btnSavePressed);
}

void AppDelegate::btnUndo()
{
    defer(&ViewController::btnBack);
}

void AppDelegate::btnRedo()
{
    defer(&ViewController::btnRedo);
}

bool AppDelegate::applicationShouldHandleReopen(bool)
{
    reshowWindow();
    return true;
}
