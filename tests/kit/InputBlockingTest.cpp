#include "kit/ActionBlock.h"
#include "kit/ButtonBlocker.h"
#include "kit/MouseDownHandler.h"
#include "kit/ZRBlocker.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

namespace {

ZRBlocker* blockerOf(QWidget* view)
{
    return view->findChild<ZRBlocker*>(QString(), Qt::FindDirectChildrenOnly);
}

// A widget that records the mouse events it gets.
class Recorder : public QWidget {
public:
    using QWidget::QWidget;
    int presses = 0, moves = 0, releases = 0;
    QPoint lastMove;

protected:
    void mousePressEvent(QMouseEvent*) override { ++presses; }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        ++moves;
        lastMove = event->position().toPoint();
    }
    void mouseReleaseEvent(QMouseEvent*) override { ++releases; }
};

class Handler : public QWidget, public MouseDownHandler {
public:
    using QWidget::QWidget;
    int handled = 0;
    void handleMouseDown(QMouseEvent*) override { ++handled; }
};

// A press at a point given in the window's coordinates.
QMouseEvent pressAt(QPointF inWindow)
{
    return QMouseEvent(QEvent::MouseButtonPress, inWindow, inWindow, inWindow, Qt::LeftButton,
                       Qt::LeftButton, Qt::NoModifier);
}

// A shown, active window of 240 x 200 with a text field at its top left.
struct Window {
    Window()
    {
        widget.resize(240, 200);
        field = new QLineEdit(&widget);
        field->setGeometry(0, 0, 40, 20);
        widget.show();
        widget.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&widget));
        field->setFocus();
    }
    QWidget widget;
    QLineEdit* field;
};

} // namespace

TEST(ZRBlocker, KeysHoldTheOverlayOfTheirOwnViewUntilTheLastIsReleased)
{
    QWidget view;
    QWidget other;
    ActionBlock::blockWithoutProgress(&view, "a");
    ActionBlock::blockWithoutProgress(&view, "b");
    ActionBlock::blockWithoutProgress(&view, "b"); // one key blocked twice is freed by one release
    ActionBlock::blockWithoutProgress(&other, "a");
    ActionBlock::unblock(&other, "a");
    QPointer<ZRBlocker> blocker = blockerOf(&view);
    ASSERT_TRUE(blocker);
    ActionBlock::unblock(&view, "other"); // an unknown key changes nothing
    ActionBlock::unblock(&view, "a");
    EXPECT_EQ(blockerOf(&view), blocker.data());
    ActionBlock::unblock(&view, "b");
    EXPECT_EQ(blockerOf(&view), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(blocker.isNull()); // deleted, not leaked
}

TEST(ZRBlocker, SwallowsClicksButLetsTypingReachTheFocusedControl)
{
    Window window;
    auto* button = new QPushButton("Go", &window.widget);
    button->setGeometry(10, 60, 100, 30);
    button->show();
    int clicks = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++clicks; });
    QWindow* handle = window.widget.windowHandle();

    ActionBlock::blockWithoutProgress(&window.widget, "busy");
    QTest::mouseClick(handle, Qt::LeftButton, {}, QPoint(50, 75));
    QTest::keyClick(handle, Qt::Key_H);
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(window.field->text(), "h");
    ActionBlock::unblock(&window.widget, "busy");
    QTest::mouseClick(handle, Qt::LeftButton, {}, QPoint(50, 75));
    EXPECT_EQ(clicks, 1);
}

TEST(ButtonBlocker, KeysCountPerButtonAndTheButtonsOwnStateComesBack)
{
    QPushButton first("one");
    QPushButton second("two");
    ButtonBlocker::blockWith(&first, "a");
    ButtonBlocker::blockWith(&first, "a");
    ButtonBlocker::blockWith(&first, "b");
    ButtonBlocker::blockWith(&second, "a");
    ButtonBlocker::unblockWith(&first, "a"); // both "a" entries go
    EXPECT_FALSE(first.isEnabled());
    ButtonBlocker::unblockWith(&first, "b");
    EXPECT_TRUE(first.isEnabled());
    EXPECT_FALSE(second.isEnabled()); // its own "a" still holds it

    // The button's own flag is saved, not the one it inherits from its parent.
    QWidget panel;
    auto* inside = new QPushButton("in panel", &panel);
    panel.setEnabled(false);
    ButtonBlocker::blockWith(inside, "a");
    ButtonBlocker::unblockWith(inside, "a");
    panel.setEnabled(true);
    EXPECT_TRUE(inside->isEnabled());
}

TEST(ActionBlock, LockMouseFeedsDragsToTheViewUntilTheReleaseAndReturnsWithoutAPress)
{
    Recorder hidden; // no button down and no native window: returns at once
    ActionBlock::lockMouse(&hidden);
    EXPECT_EQ(hidden.moves + hidden.releases, 0);

    Window window;
    auto* view = new Recorder(&window.widget);
    view->setGeometry(50, 50, 100, 100);
    view->show();
    QWindow* handle = window.widget.windowHandle();
    QTest::mousePress(handle, Qt::LeftButton, {}, QPoint(60, 60));
    ASSERT_TRUE(QGuiApplication::mouseButtons() & Qt::LeftButton);
    const int pressesBefore = view->presses;
    QTimer::singleShot(0, [&] {
        QTest::mouseMove(handle, QPoint(70, 80));
        QTest::keyClick(handle, Qt::Key_X); // dropped while the mouse is locked
        QTest::mouseMove(handle, QPoint(90, 100));
        QTest::mouseRelease(handle, Qt::LeftButton, {}, QPoint(90, 100));
    });
    ActionBlock::lockMouse(view);
    EXPECT_GE(view->moves, 2);
    EXPECT_EQ(view->lastMove, QPoint(40, 50)); // in the view's own coordinates
    EXPECT_EQ(view->releases, 1);
    EXPECT_EQ(view->presses, pressesBefore);
    EXPECT_TRUE(window.field->text().isEmpty());
}

TEST(ActionBlock, NextViewIsTheNearestLowerSiblingUnderTheClickElseTheParent)
{
    QWidget window;
    window.resize(200, 200);
    auto* container = new QWidget(&window);
    container->setGeometry(20, 20, 160, 160);
    auto* bottom = new Handler(container);
    bottom->setGeometry(0, 0, 100, 100);
    auto* aside = new QWidget(container);
    aside->setGeometry(120, 120, 30, 30);
    auto* middle = new QWidget(container);
    middle->setGeometry(10, 10, 80, 80);
    auto* top = new QWidget(container);
    top->setGeometry(0, 0, 160, 160);

    // Points in the container; corner: in bottom, not middle; the right and
    // bottom edges are outside.
    const QPoint inside(50, 50), corner(5, 5), edge(100, 100);
    const struct {
        QWidget* from;
        QPoint at;
        QWidget* expected;
    } table[] = {{top, inside, middle}, {middle, inside, bottom}, {bottom, inside, container},
                 {top, corner, bottom}, {aside, edge, container}, {&window, inside, nullptr}};
    for (const auto& row : table) {
        const QMouseEvent press = pressAt(row.at + QPoint(20, 20));
        EXPECT_EQ(ActionBlock::nextViewForEvent(row.from, &press), row.expected) << &row - table;
    }
    QMouseEvent click = pressAt({20 + 50, 20 + 50});
    EXPECT_TRUE(ActionBlock::handleMouseDown(top, &click));
    EXPECT_EQ(bottom->handled, 1); // passed over the middle widget, which does not handle it
}
