#include "app/DragView.h"

#include "app/DragViewDelegate.h"
#include "imaging/PngCodec.h"
#include "platform/CachesFolder.h"
#include "platform/SystemLog.h"
#include "ui/FitInBox.h"
#include "ui/BezierPathUtilities.h"
#include "ui/Tessaline.h"

#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QMimeData>
#include <QMimeDatabase>
#include <QPainter>
#include <QTemporaryFile>

#include <algorithm>

namespace {

// The grey of every text the drop zone draws.
const QColor textGrey = QColor::fromRgbF(0.4f, 0.4f, 0.4f, 1.0f);

// Writes the bytes into a new file of a unique name in the drop folder and
// returns its path, or an empty string after logging why it could not.
QString writeDroppedBytes(const QByteArray& bytes, const QString& suffix)
{
    const QString folder = DragView::dropFolder();
    if (!QDir().mkpath(folder)) {
        SystemLog::log(
            QStringLiteral("Could not create the folder %1 for a dropped picture").arg(folder));
        return QString();
    }
    QTemporaryFile file(folder + QStringLiteral("/drop-XXXXXX.") + suffix);
    file.setAutoRemove(false);
    if (!file.open()) {
        SystemLog::log(QStringLiteral("Could not save a dropped picture in %1: %2")
                           .arg(folder, file.errorString()));
        return QString();
    }
    const QString path = file.fileName();
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        SystemLog::log(QStringLiteral("Could not save a dropped picture to %1: %2")
                           .arg(path, file.errorString()));
        file.close();
        QFile::remove(path);
        return QString();
    }
    file.close();
    return path;
}

QList<QUrl> localFiles(const QMimeData& data)
{
    QList<QUrl> files;
    for (const QUrl& url : data.urls()) {
        if (url.isLocalFile())
            files.append(url);
    }
    return files;
}

void acceptCopy(QDragMoveEvent* event)
{
    if (event->possibleActions() & Qt::CopyAction)
        event->setDropAction(Qt::CopyAction);
    event->accept();
}

qreal textHeight(const QString& text, const QFont& font, const QPaintDevice* device)
{
    if (text.isEmpty())
        return 0;
    return QFontMetricsF(font, device).size(0, text).height();
}

} // namespace

DragView::DragView(QWidget* parent)
    : QWidget(parent), m_lineColor(Tessaline::rgb(150, 150, 150)),
      m_highlightedColor(Tessaline::rgb(53, 125, 210)), m_strTitle(QStringLiteral("")),
      m_strDescription(QStringLiteral(""))
{
    setAcceptDrops(true);
}

// Dropped picture data is kept beside the undo history, in a folder of its own.
DragView::PictureData DragView::pictureData(const QMimeData& data)
{
    PictureData picture;
    const QMimeDatabase types;
    for (const QString& format : data.formats()) {
        if (!format.startsWith(QStringLiteral("image/")))
            continue;
        picture.bytes = data.data(format);
        if (picture.bytes.isEmpty())
            continue;
        picture.suffix = types.mimeTypeForName(format).preferredSuffix();
        if (picture.suffix.isEmpty())
            picture.suffix = QStringLiteral("img");
        return picture;
    }
    picture.bytes.clear();
    if (data.hasImage())
        picture.image = qvariant_cast<QImage>(data.imageData());
    return picture;
}

QString DragView::writePictureData(const PictureData& picture)
{
    if (!picture.bytes.isEmpty())
        return writeDroppedBytes(picture.bytes, picture.suffix);
    if (picture.image.isNull())
        return QString();
    const QByteArray png = PngCodec::encode(picture.image);
    if (png.isEmpty()) {
        SystemLog::log(QStringLiteral("Could not encode a dropped picture as PNG"));
        return QString();
    }
    return writeDroppedBytes(png, QStringLiteral("png"));
}

QString DragView::dropFolder()
{
    return CachesFolder::path() + QStringLiteral("/Pelmora/drops");
}

bool DragView::isDroppedData(const QString& path)
{
    const QFileInfo file(path);
    return file.isFile() && file.absoluteDir() == QDir(dropFolder());
}

void DragView::removeLeftoverDrops()
{
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-60);
    const QDir folder(dropFolder());
    for (const QFileInfo& file : folder.entryInfoList(QDir::Files | QDir::Hidden)) {
        if (file.lastModified().toUTC() < before && !QFile::remove(file.absoluteFilePath()))
            SystemLog::log(QStringLiteral("Could not remove the old drop %1").arg(file.absoluteFilePath()));
    }
}

void DragView::setHideAll(bool hide)
{
    m_hideAll = hide;
    update();
}

void DragView::setProgressMode(bool on)
{
    m_progressMode = on;
    update();
}

void DragView::setProgress(float progress)
{
    m_progress = progress;
    update();
}

QPixmap DragView::pixmap() const
{
    return m_image.isValid() ? QPixmap::fromImage(m_image.bestRepresentation()) : QPixmap();
}

void DragView::setPixmap(const QPixmap& pixmap)
{
    // A pixmap made for a high-density screen keeps its size in points.
    const QImage image = pixmap.toImage();
    m_image = image.isNull() ? Picture() : Picture(QSizeF(image.deviceIndependentSize()), {image});
}

void DragView::setStrTitle(const QString& title)
{
    m_strTitle = title;
    update();
}

void DragView::setStrDescription(const QString& description)
{
    m_strDescription = description;
    update();
}

void DragView::setStrInfoText(const QString& infoText)
{
    m_strInfoText = infoText;
    update();
}

float DragView::titleSizeFor(QSizeF view)
{
    return float(std::min(25.0, std::min(view.width() / 25.0, view.height() / 20.0)));
}

DragView::Layout DragView::layoutFor(QSizeF view, QSizeF picture, qreal titleHeight,
                                     qreal descriptionHeight)
{
    // Worked out with y growing upward from the lower-left corner, as the
    // design is drawn, and turned into widget coordinates where stored.
    const qreal w = view.width();
    const qreal h = view.height();
    Layout layout;
    layout.border = QRectF(30, 30, w - 60, h - 60);
    layout.titleSize = titleSizeFor(view);
    layout.smallSize = layout.titleSize * 0.8f;
    layout.textHeight = float(titleHeight + 0.5 * descriptionHeight);
    const qreal th = layout.textHeight;

    layout.pictureBox = QSizeF(0.6 * w - 30, 0.6 * h - 30);
    const bool hasPicture = picture.width() > 0 && picture.height() > 0 &&
                            layout.pictureBox.width() > 0 && layout.pictureBox.height() > 0;
    if (hasPicture) {
        const QSizeF fitted = AspectFitSize(picture, layout.pictureBox);
        // Never enlarged: a picture narrower than its fitted width keeps its size.
        layout.drawnSize = picture.width() < fitted.width() ? picture : fitted;
        layout.unscaled = layout.drawnSize == picture;
    } else {
        layout.drawnSize = QSizeF(0, layout.pictureBox.height());
    }
    const qreal dw = layout.drawnSize.width();
    const qreal dh = layout.drawnSize.height();
    const qreal y0 = h / 2 - dh / 2;

    // The picture's lower edge stands TH above the base height y0.
    const qreal pictureBottom = h - (y0 + th);
    if (hasPicture)
        layout.pictureRect = QRectF(w / 2 - dw / 2, pictureBottom - dh, dw, dh);
    layout.ringCentre = QPointF(w / 2, pictureBottom);
    if (hasPicture) {
        layout.ringRadius = float(dw / 2);
    } else {
        // Without a picture the half ring fills the picture box.
        const qreal radius = std::min(layout.pictureBox.width() / 2, layout.pictureBox.height());
        layout.ringRadius = radius > 0 ? float(radius) : 0.0f;
    }

    // Texts hang from the top edge of their rectangles, which reach down to
    // the bottom of the view.
    const qreal titleTop = h - (y0 + th / 2);
    const qreal descriptionTop = h - (y0 - th / 2);
    layout.titleRect = QRectF(0, titleTop, w, std::max<qreal>(0, h - titleTop));
    layout.descriptionRect = QRectF(0, descriptionTop, w, std::max<qreal>(0, h - descriptionTop));
    layout.infoRect = QRectF(47, 40, w, std::max<qreal>(0, h - 40));
    return layout;
}

QFont DragView::lightFont(qreal pixelSize) const
{
    // Sizes are in widget pixels, as the geometry is; QFont wants points.
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setWeight(QFont::Light);
    font.setPointSizeF(pixelSize * 72.0 / logicalDpiY());
    return font;
}

DragView::Layout DragView::currentLayout() const
{
    const QSizeF view = size();
    const float titleSize = titleSizeFor(view);
    qreal titleHeight = 0;
    qreal descriptionHeight = 0;
    if (titleSize > 0) {
        titleHeight = textHeight(m_strTitle, lightFont(titleSize), this);
        descriptionHeight = textHeight(m_strDescription, lightFont(titleSize * 0.8f), this);
    }
    const QSizeF picture = m_image.isValid() ? m_image.size() : QSizeF();
    return layoutFor(view, picture, titleHeight, descriptionHeight);
}

void DragView::paintEvent(QPaintEvent*)
{
    if (m_hideAll || width() <= 0 || height() <= 0)
        return;
    const Layout layout = currentLayout();

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    // Dashes of 10 on and 10 off; Qt counts dash lengths in pen widths.
    QPen border(m_mouseIn ? m_highlightedColor : m_lineColor, 2.0);
    border.setDashPattern({5.0, 5.0});
    border.setCapStyle(Qt::FlatCap);
    painter.setPen(border);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(layout.border, 5.0, 5.0);

    if (!m_progressMode) {
        if (!layout.pictureRect.isEmpty() && m_image.isValid()) {
            painter.setRenderHint(QPainter::SmoothPixmapTransform, !layout.unscaled);
            painter.drawImage(layout.pictureRect, m_image.bestRepresentation());
        }
    } else if (layout.ringRadius > 0) {
        using BezierPathUtilities::bezierPathWithArcInCenter;
        const float from = (1.0f - m_progress) * 180.0f;
        painter.fillPath(bezierPathWithArcInCenter(layout.ringCentre, layout.ringRadius, from, 180),
                         Tessaline::rgb(0.2f, 0.9f, 0.2f));
        QColor outline = textGrey;
        outline.setAlphaF(0.4f);
        painter.strokePath(bezierPathWithArcInCenter(layout.ringCentre, layout.ringRadius, 0, 180),
                           QPen(outline, 2.0));
    }

    if (layout.titleSize <= 0)
        return;
    painter.setPen(textGrey);
    const int centred = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;
    painter.setFont(lightFont(layout.titleSize));
    painter.drawText(layout.titleRect, centred, m_strTitle);
    painter.setFont(lightFont(layout.smallSize));
    painter.drawText(layout.descriptionRect, centred, m_strDescription);
    if (!m_strInfoText.isEmpty())
        painter.drawText(layout.infoRect, Qt::AlignLeading | Qt::AlignTop | Qt::TextWordWrap,
                         m_strInfoText);
}

void DragView::dragEnterEvent(QDragEnterEvent* event)
{
    m_performed = false;
    m_mouseIn = true;
    ++m_sessionNumber;
    update();
    acceptCopy(event);
    // Qt follows an entry with a move at the same spot, which the filter in
    // draggingUpdated then drops; reporting here keeps the new drag's report
    // independent of that.
    draggingUpdated(event->mimeData(), mapToGlobal(event->position()));
}

void DragView::dragMoveEvent(QDragMoveEvent* event)
{
    acceptCopy(event);
    draggingUpdated(event->mimeData(), mapToGlobal(event->position()));
}

void DragView::draggingUpdated(const QMimeData* data, QPointF screenPosition)
{
    // The platform may repeat move events while the drag is held still; only
    // a real move or a new drag is reported.
    if (m_sessionNumber == m_prevSessionNumber && screenPosition == m_mousePosition)
        return;
    const qint64 previous = m_prevSessionNumber;
    m_mousePosition = screenPosition;
    m_prevSessionNumber = m_sessionNumber;
    if (DragViewDelegate* delegate = m_delegate.load())
        delegate->draggingFilesPerform(data ? data->urls() : QList<QUrl>(),
                                       m_sessionNumber != previous);
}

void DragView::dragLeaveEvent(QDragLeaveEvent* event)
{
    m_mouseIn = false;
    if (DragViewDelegate* delegate = m_delegate.load())
        delegate->draggingFilesExited();
    update();
    event->accept();
    // Qt tells a drop target nothing once the drag has left it, so leaving
    // (or the drag being given up over the view) is where its drag ends.
    draggingEnded();
}

void DragView::dropEvent(QDropEvent* event)
{
    m_performed = true;
    m_mouseIn = false;
    update();

    QList<QUrl> urls;
    bool needsWait = false;
    if (const QMimeData* data = event->mimeData()) {
        urls = localFiles(*data);
        if (urls.isEmpty()) {
            const QString saved = writePictureData(pictureData(*data));
            if (!saved.isEmpty()) {
                urls.append(QUrl::fromLocalFile(saved));
                needsWait = true;
            }
        }
    }

    if (urls.isEmpty()) {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
    } else {
        if (event->possibleActions() & Qt::CopyAction)
            event->setDropAction(Qt::CopyAction);
        event->accept();
    }
    if (DragViewDelegate* delegate = m_delegate.load())
        delegate->draggingFilesComplete(urls, needsWait);
    draggingEnded();
}

void DragView::draggingEnded()
{
    if (m_performed)
        return;
    if (DragViewDelegate* delegate = m_delegate.load())
        delegate->draggingFilesCancelled();
}
