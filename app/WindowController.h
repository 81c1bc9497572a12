#pragma once

#include <QMainWindow>

#include <memory>

class QMenu;
class ViewController;
namespace Ui {
class MainWindow;
}

// The main window: its menus, its toolbar and the view controller inside it.
// The toolbar's Import and Save reach the view controller at once; the menu
// commands go through the application delegate.
class WindowController : public QMainWindow {
    Q_OBJECT

public:
    explicit WindowController(QWidget* parent = nullptr);
    ~WindowController() override;

    ViewController* viewController() const;

public slots:
    void importAction();
    void saveAction();

protected:
    // With unsaved cuts, asks first (save, discard or stay).
    void closeEvent(QCloseEvent* event) override;

private:
    void windowDidLoad();
    void updateTitle();
    void fillRecentMenu();

    QMenu* m_recentMenu = nullptr;
    bool m_closeConfirmed = false;

    std::unique_ptr<Ui::MainWindow> m_ui;
};
