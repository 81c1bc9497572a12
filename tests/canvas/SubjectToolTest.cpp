#include "canvas/SubjectTool.h"
#include "CanvasSupport.h"
#include "imaging/SubjectNetwork.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWindow>

#include <cmath>
#include <random>

using namespace canvastest;

// Named, not anonymous: the test programs are unity builds.
namespace subjecttooltest {

struct Disc {
    double x, y, r;
    bool contains(int px, int py) const { return std::hypot(px + 0.5 - x, py + 0.5 - y) < r; }
};

// A textured ground (grey-green noise and faint diagonal stripes) with
// textured discs on it, each of its own colour, shown at 900 x 600.
Picture scene(std::initializer_list<std::pair<Disc, QRgb>> discs)
{
    QImage image(900, 600, QImage::Format_RGB32);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> noise(-18, 18);
    for (int y = 0; y < 600; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < 900; ++x) {
            const int n = noise(rng);
            const int stripe = ((x + y) / 12) % 2 ? 10 : -10;
            QRgb c = qRgb(95 + stripe, 120 + stripe, 100);
            for (const auto& [disc, colour] : discs)
                if (disc.contains(x, y))
                    c = qRgb(qRed(colour) + ((x / 9 + y / 9) % 2 ? 15 : -15), qGreen(colour),
                             qBlue(colour));
            row[x] = qRgb(std::clamp(qRed(c) + n, 0, 255), std::clamp(qGreen(c) + n, 0, 255),
                          std::clamp(qBlue(c) + n, 0, 255));
        }
    }
    return Picture::fromImage(image);
}

const Disc mainDisc{430, 300, 190};
const Disc leftDisc{200, 300, 110};
const Disc rightDisc{700, 300, 110};

struct StatusDelegate : ZRImageCutViewDelegate {
    void cutViewDidReportSubject(ZRImageCutView*, const QString& status) override
    {
        if (!status.isEmpty())
            statuses << status;
    }
    QStringList statuses;
};

// A shown, active canvas at 900 x 600: widget points are picture pixels and
// mask pixels alike.
std::unique_ptr<ZRImageCutView> shownCanvas(const Picture& picture, StatusDelegate* delegate)
{
    auto view = std::make_unique<ZRImageCutView>();
    view->resize(900, 600);
    view->setDelegate(delegate);
    view->show();
    view->activateWindow();
    QApplication::processEvents();
    view->setImage(picture);
    view->waitUntilIdle();
    return view;
}

void key(ZRImageCutView& view, int keyCode, quint32 scanCode, Qt::KeyboardModifiers modifiers = {})
{
    for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent event(type, keyCode, modifiers, scanCode, 0, 0);
        QApplication::sendEvent(view.windowHandle(), &event);
    }
}

void drag(ZRImageCutView& view, QPointF from, QPointF to, Qt::KeyboardModifiers modifiers = {})
{
    auto send = [&](QEvent::Type type, QPointF pos, Qt::MouseButton button,
                    Qt::MouseButtons buttons) {
        QMouseEvent event(type, pos, pos, view.mapToGlobal(pos), button, buttons, modifiers);
        QApplication::sendEvent(&view, &event);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, (from + to) / 2, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

// Intersection over union of the kept mask (>= 128) with the disc.
double keptIoU(const QImage& mask, const Disc& disc)
{
    long both = 0, either = 0;
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x) {
            const bool kept = mask.constScanLine(y)[x] >= 128, in = disc.contains(x, y);
            both += kept && in;
            either += kept || in;
        }
    return either ? double(both) / either : 0;
}

// Whether `a` and `b` agree byte for byte outside `r`.
bool sameOutside(const QImage& a, const QImage& b, const QRect& r)
{
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (!r.contains(x, y) && a.constScanLine(y)[x] != b.constScanLine(y)[x])
                return false;
    return true;
}

// With the installed model (make test installs it): one network pass.
TEST(SubjectTool, TheKeySKeepsTheSubjectAsOneStepThatUndoesByteForByte)
{
    ASSERT_FALSE(SubjectNetwork::findModel().isEmpty())
        << "no subject model installed: make model installs it";
    StatusDelegate delegate;
    auto view = shownCanvas(scene({{mainDisc, qRgb(200, 120, 40)}}), &delegate);
    const QImage before = view->currentMask().copy();
    const qint64 length = view->historyLength();

    key(*view, Qt::Key_S, 39);
    EXPECT_TRUE(view->subjectTool().applyPending()); // nothing found on open: the click waits
    view->waitUntilIdle();
    EXPECT_TRUE(view->subjectTool().probabilityReady());
    EXPECT_EQ(view->historyLength(), length + 1);
    EXPECT_GE(keptIoU(view->currentMask(), mainDisc), 0.95);
    ASSERT_FALSE(delegate.statuses.isEmpty());
    EXPECT_EQ(delegate.statuses.last(), QStringLiteral("Kept the subject"));

    view->prevHistoryState();
    view->waitUntilIdle();
    EXPECT_EQ(view->currentMask(), before);
    view->setDelegate(nullptr);
}

TEST(SubjectTool, ANewPictureDropsTheOldOnesWorkAndItsWaitingClick)
{
    auto view = shownCanvas(scene({{mainDisc, qRgb(200, 120, 40)}}), nullptr);
    view->subjectTool().setFindsOnOpen(true);
    view->setImage(scene({{leftDisc, qRgb(40, 60, 220)}})); // its pass starts
    EXPECT_EQ(view->subjectTool().state(), SubjectTool::State::Working);
    view->applySubject(); // waits for that pass
    view->subjectTool().setFindsOnOpen(false);
    view->setImage(gradientPicture(900, 600)); // cancels it
    view->waitUntilIdle();
    EXPECT_EQ(view->subjectTool().state(), SubjectTool::State::Idle);
    EXPECT_FALSE(view->subjectTool().applyPending());
    EXPECT_EQ(view->historyLength(), 1);
    const QImage mask = view->currentMask();
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            ASSERT_EQ(mask.constScanLine(y)[x], 255) << x << "," << y;
}

TEST(SubjectTool, BoxesThroughEventsKeepTheirObjectShiftSparesTheRestEscapeCancels)
{
    auto view = shownCanvas(scene({{leftDisc, qRgb(40, 60, 220)}, {rightDisc, qRgb(210, 50, 50)}}),
                            nullptr);
    view->subjectTool().setModelPath(QString()); // boxes need no network
    key(*view, Qt::Key_R, 27);
    EXPECT_EQ(view->colourTool().tool(), CutTool::Box);

    // A box round the right disc: it stays, the left one goes.
    const qint64 length = view->historyLength();
    drag(*view, {570, 170}, {830, 430});
    EXPECT_TRUE(view->subjectTool().boxActive());
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), length + 1);
    EXPECT_GE(keptIoU(view->currentMask(), rightDisc), 0.9);
    EXPECT_EQ(view->currentMask().constScanLine(300)[200], 0);
    const QImage afterFirst = view->currentMask().copy();

    // Shift at the press: the left disc comes back, nothing outside its box changes.
    const QRect leftBox(QPoint(70, 170), QPoint(330, 430));
    drag(*view, leftBox.topLeft(), leftBox.bottomRight(), Qt::ShiftModifier);
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), length + 2);
    EXPECT_TRUE(sameOutside(view->currentMask(), afterFirst, leftBox.adjusted(-1, -1, 1, 1)));
    EXPECT_GE(keptIoU(view->currentMask().copy(leftBox), Disc{130, 130, 110}), 0.9);
    const QImage afterSecond = view->currentMask().copy();

    // Escape while the box is worked on: no step, nothing changed.
    drag(*view, {100, 100}, {500, 500});
    key(*view, Qt::Key_Escape, 9);
    EXPECT_FALSE(view->subjectTool().boxActive());
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), length + 2);
    EXPECT_EQ(view->currentMask(), afterSecond);
}

TEST(SubjectTool, WithoutTheModelSubjectStillCutsAndSaysWhy)
{
    StatusDelegate delegate;
    auto view = shownCanvas(scene({{mainDisc, qRgb(200, 120, 40)}}), &delegate);
    view->subjectTool().setModelPath(QString());
    view->applySubject();
    view->waitUntilIdle();
    EXPECT_EQ(view->historyLength(), 2);
    EXPECT_FALSE(view->subjectTool().probabilityReady());
    ASSERT_FALSE(delegate.statuses.isEmpty());
    EXPECT_TRUE(delegate.statuses.last().contains(QStringLiteral("not installed: see the README")));
    EXPECT_GE(keptIoU(view->currentMask(), mainDisc), 0.8);
    view->setDelegate(nullptr);
}

} // namespace subjecttooltest
