#include "TestSupport.h"
#include "kit/ActionBlock.h"
#include "kit/ButtonBlocker.h"
#include "kit/MouseDownHandler.h"
#include "kit/ProgressSpinner.h"
#include "kit/ZRBlocker.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

using testsupport::waitFor;

namespace {

ZRBlocker* blockerOf(QWidget* view)
{
    return view->findChild<ZRBlocker*>(QString(), Qt::FindDirectChildrenOnly);
}

// A widget that records the mouse events it gets.
class Recorder : public QWidget {
public:
    using QWidget::QWidget;
    int presses = 0;
    int moves = 0;
    int releases = 0;
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

} // namespace

TEST(ZRBlocker, KeysHoldTheOverlayOfTheirOwnViewUntilTheLastIsReleased)
{
    QWidget view;
    QWidget other;
    view.resize(200, 100);
    view.show(); // a hidden widget defers its resize events until it is shown
    ActionBlock::blockWithoutProgress(&view, "a");
    ActionBlock::blockWithoutProgress(&view, "b");
    ActionBlock::blockWithoutProgress(&other, "a");
    ActionBlock::unblock(&other, "a");
    QPointer<ZRBlocker> blocker = blockerOf(&view);
    ASSERT_TRUE(blocker);
    EXPECT_EQ(blocker->blockers(), QStringList({"a", "b"}));
    view.resize(300, 120);
    EXPECT_EQ(blocker->progressIndicator()->geometry(), QRect(0, 0, 300, 120));

    ActionBlock::unblock(&view, "other"); // an unknown key changes nothing
    ActionBlock::unblock(&view, "a");
    EXPECT_EQ(blockerOf(&view), blocker.data());
    ActionBlock::unblock(&view, "b");
    EXPECT_EQ(blockerOf(&view), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(blocker.isNull()); // deleted, not leaked

    // One key blocked twice is freed by one release.
    ActionBlock::blockWithoutProgress(&view, "a");
    ActionBlock::blockWithoutProgress(&view, "a");
    ActionBlock::unblock(&view, "a");
    EXPECT_EQ(blockerOf(&view), nullptr);
    ActionBlock::unblock(&view, "a"); // no overlay: nothing happens

    // Without a parent the overlay stays with its owner, here the stack.
    ZRBlocker orphan;
    orphan.block("x");
    orphan.unblock("x");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(ZRBlocker, SwallowsClicksButLetsTypingReachTheFocusedControl)
{
    QWidget window;
    window.resize(240, 120);
    auto* button = new QPushButton("Go", &window);
    button->setGeometry(10, 10, 100, 30);
    auto* field = new QLineEdit(&window);
    field->setGeometry(10, 60, 200, 30);
    int clicks = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++clicks; });
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QWindow* handle = window.windowHandle();

    QTest::mouseClick(handle, Qt::LeftButton, {}, QPoint(50, 25));
    ASSERT_EQ(clicks, 1); // the click reaches the button while nothing blocks
    field->setFocus();

    ActionBlock::blockWithoutProgress(&window, "busy");
    QTest::mouseClick(handle, Qt::LeftButton, {}, QPoint(50, 25));
    QTest::mouseDClick(handle, Qt::LeftButton, {}, QPoint(50, 25));
    EXPECT_EQ(clicks, 1);
    QTest::keyClick(handle, Qt::Key_H);
    QTest::keyClick(handle, Qt::Key_I);
    EXPECT_EQ(field->text(), "hi");
    EXPECT_TRUE(field->hasFocus());

    ActionBlock::unblock(&window, "busy");
    QTest::mouseClick(handle, Qt::LeftButton, {}, QPoint(50, 25));
    EXPECT_EQ(clicks, 2);
}

TEST(ButtonBlocker, KeysCountPerButtonAndTheFoundStateComesBack)
{
    QPushButton first("one");
    QPushButton second("two");
    ButtonBlocker::blockWith(&first, "a");
    ButtonBlocker::blockWith(&first, "a");
    ButtonBlocker::blockWith(&first, "b");
    ButtonBlocker::blockWith(&second, "a");
    EXPECT_EQ(ButtonBlocker::blockKeys(&first), QStringList({"a", "a", "b"}));
    ButtonBlocker::unblockWith(&first, "a"); // both "a" entries go
    EXPECT_FALSE(first.isEnabled());
    ButtonBlocker::unblockWith(&first, "b");
    EXPECT_TRUE(first.isEnabled());
    EXPECT_FALSE(second.isEnabled()); // its own "a" still holds it

    // A disabled button stays disabled; a stray unblock enables nothing.
    QPushButton disabled("off");
    disabled.setEnabled(false);
    ButtonBlocker::blockWith(&disabled, "a");
    ButtonBlocker::unblockWith(&disabled, "a");
    EXPECT_FALSE(disabled.isEnabled());
    ButtonBlocker::unblockWith(&disabled, "a");
    EXPECT_FALSE(disabled.isEnabled());

    // The button's own flag is saved, not the one it inherits from its parent.
    QWidget panel;
    auto* inside = new QPushButton("in panel", &panel);
    panel.setEnabled(false);
    ButtonBlocker::blockWith(inside, "a");
    ButtonBlocker::unblockWith(inside, "a");
    panel.setEnabled(true);
    EXPECT_TRUE(inside->isEnabled());
}

TEST(ActionBlock, LockMouseReturnsAtOnceWithNoButtonDown)
{
    Recorder view;
    view.resize(50, 50);
    ASSERT_FALSE(QGuiApplication::mouseButtons() & Qt::LeftButton);
    QElapsedTimer timer;
    timer.start();
    ActionBlock::lockMouse(&view);
    EXPECT_LT(timer.elapsed(), 100);
    EXPECT_EQ(view.moves + view.releases, 0);
}

TEST(ActionBlock, LockMouseFeedsDragsToTheViewUntilTheRelease)
{
    QWidget window;
    window.resize(200, 200);
    auto* view = new Recorder(&window);
    view->setGeometry(50, 50, 100, 100);
    auto* field = new QLineEdit(&window);
    field->setGeometry(0, 0, 40, 20);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    field->setFocus();
    QWindow* handle = window.windowHandle();

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
    EXPECT_TRUE(field->text().isEmpty());
    EXPECT_FALSE(QGuiApplication::mouseButtons() & Qt::LeftButton);
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

    // Points in the container; a press event is made for each look-up, as
    // events of one device share their point.
    const QPoint inside(50, 50), corner(5, 5), edge(100, 100); // corner: in bottom, not middle
    const struct {
        QWidget* from;
        QPoint at;
        QWidget* expected;
    } table[] = {{top, inside, middle},       {middle, inside, bottom}, {bottom, inside, container},
                 {top, corner, bottom},       {aside, edge, container}, // right and bottom edges are outside
                 {&window, inside, nullptr}};
    for (const auto& row : table) {
        const QMouseEvent press = pressAt(row.at + QPoint(20, 20));
        EXPECT_EQ(ActionBlock::nextViewForEvent(row.from, &press), row.expected) << &row - table;
    }

    QMouseEvent click = pressAt({20 + 50, 20 + 50});
    EXPECT_TRUE(ActionBlock::handleMouseDown(top, &click));
    EXPECT_EQ(bottom->handled, 1); // passed over the middle widget, which does not handle it
    QMouseEvent outside = pressAt({20 + 140, 20 + 10});
    EXPECT_FALSE(ActionBlock::handleMouseDown(top, &outside));
    EXPECT_EQ(bottom->handled, 1);
}
