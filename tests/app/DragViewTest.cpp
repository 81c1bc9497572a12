#include "app/DragView.h"
#include "TestSupport.h"
#include "app/DragViewDelegate.h"
#include "platform/CachesFolder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QImage>
#include <QMimeData>

#include <vector>

using testsupport::colourNear;

namespace dragviewtest {

// A call with its URLs and its flag (needsWait, or newSession).
using Call = std::pair<QList<QUrl>, bool>;

class RecordingDelegate : public DragViewDelegate {
public:
    std::vector<Call> completed, performed;
    int exited = 0, cancelled = 0;
    void draggingFilesComplete(const QList<QUrl>& urls, bool wait) override
    {
        completed.push_back({urls, wait});
    }
    void draggingFilesPerform(const QList<QUrl>& urls, bool fresh) override
    {
        performed.push_back({urls, fresh});
    }
    void draggingFilesExited() override { ++exited; }
    void draggingFilesCancelled() override { ++cancelled; }
};

constexpr Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;

// An enter or a move that the view accepts as a copy.
template <typename Event = QDragEnterEvent>
void enter(QWidget& view, const QMimeData& data, QPoint at = QPoint(50, 50))
{
    Event event(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&view, &event);
    EXPECT_TRUE(event.isAccepted());
    EXPECT_EQ(event.dropAction(), Qt::CopyAction);
}

void move(QWidget& view, const QMimeData& data, QPoint at)
{
    enter<QDragMoveEvent>(view, data, at);
}

void leave(QWidget& view)
{
    QDragLeaveEvent event;
    QCoreApplication::sendEvent(&view, &event);
}

// Enters, moves once and drops; returns whether the drop was accepted.
bool drop(QWidget& view, const QMimeData& data)
{
    enter(view, data);
    move(view, data, QPoint(60, 60));
    QDropEvent event(QPointF(60, 60), actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&view, &event);
    return event.isAccepted() && event.dropAction() == Qt::CopyAction;
}

QByteArray pngBytes(QColor color)
{
    QImage image(3, 2, QImage::Format_ARGB32);
    image.fill(color);
    return testsupport::encoded(image, "png");
}

// Points the caches folder at a fresh temporary folder for each test.
class DropTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("XDG_CACHE_HOME", testsupport::tempDir().toUtf8());
        view.resize(400, 300);
        view.setDelegate(&delegate);
    }

    RecordingDelegate delegate;
    DragView view;
};

} // namespace dragviewtest

using namespace dragviewtest;

TEST_F(DropTest, LocalFilesAreHandedOverInOrderWithoutWaiting)
{
    const QList<QUrl> files = {QUrl::fromLocalFile(QStringLiteral("/pictures/b.png")),
                               QUrl::fromLocalFile(QStringLiteral("/pictures/a.jpg"))};
    QMimeData data;
    QList<QUrl> offered = files;
    offered.insert(1, QUrl(QStringLiteral("https://example.org/c.png")));
    data.setUrls(offered);
    data.setData(QStringLiteral("image/png"), pngBytes(Qt::red));

    view.setHideAll(true); // a hidden drop zone still takes drops
    EXPECT_TRUE(drop(view, data));
    ASSERT_EQ(delegate.completed.size(), 1u);
    EXPECT_EQ(delegate.completed[0].first, files);
    EXPECT_FALSE(delegate.completed[0].second);
    EXPECT_EQ(delegate.cancelled + delegate.exited, 0);
    EXPECT_FALSE(view.isHighlighted());
    // The movement report carries every URL of the drag, files or not.
    ASSERT_FALSE(delegate.performed.empty());
    EXPECT_EQ(delegate.performed[0].first, offered);
}

// Picture bytes, or an image without them, are saved in the caches folder,
// a file for each drop.
TEST_F(DropTest, PictureDataWithoutAFileIsSavedInTheCachesFolder)
{
    QImage image(5, 4, QImage::Format_ARGB32);
    image.fill(QColor(0, 0, 255, 128));
    QMimeData bytes, imageOnly;
    bytes.setData(QStringLiteral("text/plain"), "a picture");
    bytes.setData(QStringLiteral("image/png"), pngBytes(QColor(10, 200, 30)));
    imageOnly.setImageData(image);
    for (const QMimeData* data : {&bytes, &bytes, &imageOnly})
        EXPECT_TRUE(drop(view, *data));
    ASSERT_EQ(delegate.completed.size(), 3u);
    QStringList paths;
    for (const Call& call : delegate.completed) {
        EXPECT_TRUE(call.second);
        paths << call.first.value(0).toLocalFile();
        EXPECT_TRUE(paths.back().startsWith(QDir(CachesFolder::path()).absolutePath() + '/'));
        EXPECT_TRUE(paths.back().endsWith(QStringLiteral(".png")));
    }
    QFile file(paths[0]);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), bytes.data(QStringLiteral("image/png")));
    EXPECT_NE(paths[1], paths[0]);
    EXPECT_EQ(QImage(paths[2]).convertToFormat(QImage::Format_ARGB32), image);
}

TEST_F(DropTest, NothingUsableGivesAnEmptyListAndRefusesTheDrop)
{
    QMimeData text;
    text.setText(QStringLiteral("just words"));
    EXPECT_FALSE(drop(view, text));

    QMimeData remote;
    remote.setUrls({QUrl(QStringLiteral("https://example.org/picture.png"))});
    EXPECT_FALSE(drop(view, remote));

    ASSERT_EQ(delegate.completed.size(), 2u);
    for (const Call& call : delegate.completed) {
        EXPECT_TRUE(call.first.isEmpty());
        EXPECT_FALSE(call.second);
    }
    EXPECT_EQ(delegate.cancelled, 0);
    EXPECT_TRUE(QDir(CachesFolder::path()).isEmpty()) << "nothing written for nothing usable";
}

TEST_F(DropTest, ALeavingDragIsCancelledAndAStillOneReportedOnlyWhenItMovesOrIsNew)
{
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QStringLiteral("/pictures/a.png"))});
    enter(view, data, QPoint(10, 10));
    EXPECT_TRUE(view.isHighlighted());
    move(view, data, QPoint(10, 10));
    move(view, data, QPoint(10, 10));
    move(view, data, QPoint(12, 10));
    ASSERT_EQ(delegate.performed.size(), 2u);
    EXPECT_TRUE(delegate.performed[0].second);
    EXPECT_FALSE(delegate.performed[1].second);
    leave(view);
    EXPECT_FALSE(view.isHighlighted());
    EXPECT_EQ(delegate.exited, 1);
    EXPECT_EQ(delegate.cancelled, 1);
    EXPECT_TRUE(delegate.completed.empty());

    // A new drag at the very same spot is still news; one that drops is not cancelled.
    enter(view, data, QPoint(12, 10));
    move(view, data, QPoint(12, 10));
    ASSERT_EQ(delegate.performed.size(), 3u);
    EXPECT_TRUE(delegate.performed[2].second);
    ASSERT_TRUE(drop(view, data));
    EXPECT_EQ(delegate.cancelled, 1);
}

TEST(DragView, ADropWithoutADelegateIsSafe)
{
    DragView view;
    view.resize(400, 300);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QStringLiteral("/pictures/a.png"))});
    enter(view, data);
    leave(view);
    EXPECT_TRUE(drop(view, data));
}

// A view too small for a picture box draws no picture rather than a negative one.
TEST(DragViewLayout, TinyViewDrawsNoPicture)
{
    const DragView::Layout tiny = DragView::layoutFor(QSizeF(40, 40), QSizeF(100, 100), 5, 5);
    EXPECT_TRUE(tiny.pictureRect.isEmpty());
    EXPECT_FLOAT_EQ(tiny.ringRadius, 0);
}

// ---- Drawing ------------------------------------------------------------

namespace dragviewtest {

const QColor line(255, 0, 0);
const QColor highlight(0, 0, 255);

QImage render(DragView& view)
{
    return testsupport::render(view, 0xffffffffu);
}

// Counts the pixels of one colour along the top edge of the border, away
// from its rounded corners.
int borderPixels(const QImage& image, QColor color)
{
    int count = 0;
    for (int x = 40; x < image.width() - 40; ++x)
        if (image.pixel(x, 30) == color.rgb())
            ++count;
    return count;
}

} // namespace dragviewtest

TEST(DragViewDrawing, DashedBorderLightsUpDuringADragAndHideAllDrawsNothingAtAll)
{
    DragView view;
    view.resize(400, 300);
    view.setLineColor(line);
    view.setHighlightedColor(highlight);
    const QImage idle = render(view);
    const int span = 400 - 80;
    EXPECT_GT(borderPixels(idle, line), span / 3);
    EXPECT_GT(borderPixels(idle, Qt::white), span / 3) << "the border is dashed";

    QMimeData data;
    data.setText(QStringLiteral("x"));
    enter(view, data);
    const QImage lit = render(view);
    EXPECT_GT(borderPixels(lit, highlight), span / 3);
    EXPECT_EQ(borderPixels(lit, line), 0);

    view.setStrTitle(QStringLiteral("Drop a picture here"));
    QImage picture(100, 100, QImage::Format_ARGB32);
    picture.fill(Qt::green);
    view.setImage(Picture::fromImage(picture));
    view.setHideAll(true);
    QImage blank(lit.size(), lit.format());
    blank.fill(Qt::white);
    EXPECT_EQ(render(view), blank);
}

TEST(DragViewDrawing, ProgressRingFillsFromTheLeftOverTheTop)
{
    DragView view;
    view.resize(400, 300);
    QImage picture(100, 100, QImage::Format_ARGB32);
    picture.fill(Qt::black);
    view.setImage(Picture::fromImage(picture));
    view.setProgressMode(true);
    view.setProgress(0.5f);

    const DragView::Layout layout = view.currentLayout();
    const QPointF c = layout.ringCentre;
    const qreal r = layout.ringRadius * 0.75; // the middle of the ring
    const QImage image = render(view);
    const QRgb green = qRgb(51, 230, 51);
    const qreal d = r / std::sqrt(2.0);
    EXPECT_TRUE(colourNear(image.pixel(QPointF(c.x() - d, c.y() - d).toPoint()), green, 3));
    EXPECT_FALSE(colourNear(image.pixel(QPointF(c.x() + d, c.y() - d).toPoint()), green, 3));
    EXPECT_FALSE(colourNear(image.pixel(QPointF(c.x() - d, c.y() + d).toPoint()), green, 3));

    view.setProgress(1.0f);
    EXPECT_TRUE(colourNear(render(view).pixel(QPointF(c.x() + d, c.y() - d).toPoint()), green, 3));
}
