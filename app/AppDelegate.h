#pragma once

#include <QObject>
#include <QPointer>

class QMainWindow;
class ViewController;

// The application's delegate: carries the menu commands to the window's view
// controller one turn of the event loop later, shows the window again when
// asked, and lets the application quit with its last window.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(QObject* parent = nullptr);

    QMainWindow* mainWindow() const { return m_mainWindow; }
    void setMainWindow(QMainWindow* window) { m_mainWindow = window; }
    ViewController* viewController() const;

    // The process's delegate, or null before one exists.
    static AppDelegate* shared();

public slots:
    void open_menu();
    void save_menu();
    void btnUndo();
    void btnRedo();

public:
    void applicationDidFinishLaunching() {}
    void applicationWillTerminate() {}
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    bool applicationShouldHandleReopen(bool hasVisibleWindows);

private:
    void reshowWindow();
    void defer(void (ViewController::*action)());

    QPointer<QMainWindow> m_mainWindow;
};
