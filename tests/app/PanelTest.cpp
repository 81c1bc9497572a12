// The window's panel as a user sees it: nothing overlaps, nothing is
// squashed or cut off, at the window's minimum size and at its default
// size, whichever tool is chosen; and the settings it remembers.
#include "TestSupport.h"
#include "app/AppDelegate.h"
#include "app/ViewController.h"
#include "app/WindowController.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFile>
#include <QApplication>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSlider>
#include <QToolButton>

using testsupport::waitFor;

namespace paneltest {

// Why a panel's widgets cannot all be seen and used; empty when they can.
QString panelFaults(QWidget& panel, QWidget& window)
{
    QStringList faults;
    std::vector<QWidget*> shown;
    for (QWidget* w : panel.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (w->isVisibleTo(&panel))
            shown.push_back(w);
    // The part of the panel the window shows, or can scroll to.
    auto* area = qobject_cast<QScrollArea*>(panel.parentWidget() ? panel.parentWidget()->parentWidget() : nullptr);
    const QRect reachable = area ? panel.rect()
                                 : panel.rect().intersected(QRect(panel.mapFrom(&window, QPoint(0, 0)),
                                                                  window.size()));
    if (area && area->verticalScrollBar()->maximum() < panel.height() - area->viewport()->height())
        faults << "the panel cannot be scrolled to its end";
    for (QWidget* w : shown) {
        const QString name = w->objectName();
        if (!reachable.contains(w->geometry()))
            faults << name + " lies outside the panel";
        if (w->height() < w->minimumSizeHint().height())
            faults << name + " is squashed";
        if (auto* label = qobject_cast<QLabel*>(w); label && label->wordWrap() &&
                                                    w->height() < label->heightForWidth(w->width()))
            faults << name + "'s text is cut off";
        if (qobject_cast<QAbstractButton*>(w) && w->width() < w->sizeHint().width())
            faults << name + " is clipped";
    }
    for (size_t i = 0; i < shown.size(); ++i)
        for (size_t j = i + 1; j < shown.size(); ++j)
            if (shown[i]->geometry().intersects(shown[j]->geometry()))
                faults << shown[i]->objectName() + " overlaps " + shown[j]->objectName();
    return faults.join("; ");
}

} // namespace paneltest

using namespace paneltest;

// The editor's window, shown.
class Panel : public testing::Test {
protected:
    Panel()
    {
        delegate.setMainWindow(&window);
        window.show();
    }

    AppDelegate delegate;
    WindowController window;
    ViewController* const c = window.viewController();
};

TEST_F(Panel, NothingOverlapsAtTheMinimumOrTheDefaultSizeWithAnyTool)
{
    auto* panel = c->findChild<QWidget*>("panel");
    ASSERT_NE(panel, nullptr);
    auto* scroller = c->findChild<QScrollArea*>("panelScroller");
    ASSERT_NE(scroller, nullptr);
    for (const QSize size : {window.minimumSize(), QSize(1280, 800)}) {
        for (const char* tool : {"btnToolBrush", "btnToolColour", "btnToolBackground", "btnToolBox"}) {
            window.resize(size);
            c->findChild<QToolButton*>(tool)->click();
            QApplication::sendPostedEvents();
            QApplication::processEvents();
            EXPECT_EQ(window.size(), size);
            EXPECT_EQ(panelFaults(*panel, window).toStdString(), "")
                << size.width() << " x " << size.height() << " " << tool << ", panel height " << panel->height()
                << ", needs " << panel->minimumSizeHint().height();
            // At the default size the whole panel shows without scrolling.
            if (size == QSize(1280, 800)) {
                EXPECT_EQ(scroller->verticalScrollBar()->maximum(), 0)
                    << tool << ": the panel needs " << panel->minimumSizeHint().height() << " of "
                    << scroller->viewport()->height();
            }
        }
    }
}

// Each write rewrites and syncs the settings file: a drag writes once, at its
// end, and steps by keys or the wheel once they pause.
TEST_F(Panel, ASliderWritesTheSettingsAtTheDragsEndOrAfterAPauseNotPerStep)
{
    ASSERT_TRUE(waitFor([&] { return !c->ivBrushPreview()->pixmap().isNull(); }));
    const QString file = QSettings().fileName();
    auto stored = [&] {
        QFile settings(file);
        return settings.open(QIODevice::ReadOnly) ? settings.readAll() : QByteArray();
    };
    QSlider* size = c->sldSize();
    size->setSliderDown(true);
    const QByteArray before = stored();
    for (int value = 50; value < 90; ++value) {
        size->setValue(value);
        QApplication::processEvents();
    }
    EXPECT_EQ(stored(), before);
    size->setSliderDown(false); // the release
    EXPECT_TRUE(stored().contains("size=89")) << stored().toStdString();

    size->setValue(120);
    size->setValue(121);
    EXPECT_FALSE(stored().contains("size=121"));
    EXPECT_TRUE(waitFor([&] { return stored().contains("size=121"); }));
}
