#pragma once

#include "imaging/Picture.h"

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <atomic>

class DragViewDelegate;
class QMimeData;

// The window's drop zone. It invites the user to drop a picture: a dashed
// rounded border that lights up while a drag is over it, the picture (or a half
// ring showing progress) in the middle, a title and a description below it and
// an optional information text in the upper left. Drops of local files, and of
// picture data that is not a file, go to the delegate. With hideAll set the
// view draws nothing but still takes drops.
//
// Texts, progress and hideAll repaint when set; the picture, the colours and
// the delegate show or take effect at the next repaint or drag.
class DragView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool hideAll READ hideAll WRITE setHideAll)
    Q_PROPERTY(bool progressMode READ progressMode WRITE setProgressMode)
    Q_PROPERTY(float progress READ progress WRITE setProgress)
    Q_PROPERTY(QPixmap pixmap READ pixmap WRITE setPixmap)
    Q_PROPERTY(QColor lineColor READ lineColor WRITE setLineColor)
    Q_PROPERTY(QColor highlightedColor READ highlightedColor WRITE setHighlightedColor)
    Q_PROPERTY(QString strTitle READ strTitle WRITE setStrTitle)
    Q_PROPERTY(QString strDescription READ strDescription WRITE setStrDescription)
    Q_PROPERTY(QString strInfoText READ strInfoText WRITE setStrInfoText)

public:
    explicit DragView(QWidget* parent = nullptr);

    // Where everything goes for a view size, in widget coordinates (y down).
    struct Layout {
        QRectF border;         // the dashed rounded rectangle
        float titleSize = 0;   // pixel size of the title font
        float smallSize = 0;   // pixel size of the description and info font
        float textHeight = 0;  // title height + half the description height
        QSizeF pictureBox;     // the box the picture is fitted into
        QSizeF drawnSize;      // the picture's drawn size; (0, box height) without one
        QRectF pictureRect;    // where the picture goes; empty without one
        bool unscaled = false; // drawn at its own size: no interpolation
        QPointF ringCentre;    // the progress half ring, in the picture's place
        float ringRadius = 0;
        QRectF titleRect;       // the title hangs from the top edge, centred
        QRectF descriptionRect; // the description hangs from the top edge, centred
        QRectF infoRect;        // the information text hangs from the top edge, left
    };

    // The title's pixel size for a view: min(25, W / 25, H / 20).
    static float titleSizeFor(QSizeF view);

    // The layout for a view, a picture size (empty for no picture) and the
    // measured heights of the title and description texts.
    static Layout layoutFor(QSizeF view, QSizeF picture, qreal titleHeight,
                            qreal descriptionHeight);

    // The layout for the view as it is, with its texts measured in its fonts.
    Layout currentLayout() const;

    // The delegate is not owned: whoever sets it must outlive the view or set
    // it back to null first. Null sends the callbacks nowhere.
    DragViewDelegate* delegate() const { return m_delegate.load(); }
    void setDelegate(DragViewDelegate* delegate) { m_delegate.store(delegate); }

    bool hideAll() const { return m_hideAll; }
    void setHideAll(bool hide);
    bool progressMode() const { return m_progressMode; }
    void setProgressMode(bool on);
    // Not clamped: 0 fills nothing, 1 the whole half ring.
    float progress() const { return m_progress; }
    void setProgress(float progress);

    Picture image() const { return m_image; }
    void setImage(const Picture& image) { m_image = image; }
    // The picture as a pixmap, for interface descriptions.
    QPixmap pixmap() const;
    void setPixmap(const QPixmap& pixmap);

    QColor lineColor() const { return m_lineColor; }
    void setLineColor(const QColor& color) { m_lineColor = color; }
    QColor highlightedColor() const { return m_highlightedColor; }
    void setHighlightedColor(const QColor& color) { m_highlightedColor = color; }

    QString strTitle() const { return m_strTitle; }
    void setStrTitle(const QString& title);
    QString strDescription() const { return m_strDescription; }
    void setStrDescription(const QString& description);
    QString strInfoText() const { return m_strInfoText; }
    void setStrInfoText(const QString& infoText);

    // Picture data that is not a file (a picture dragged out of a browser or
    // a viewer, or on the clipboard): the raw bytes of the first picture type
    // the source offers, in its order of preference, else its image.
    struct PictureData {
        QByteArray bytes;
        QString suffix; // the bytes' file type
        QImage image;   // when there are no bytes
        bool isEmpty() const { return bytes.isEmpty() && image.isNull(); }
    };
    // Reads what the source offers: on the main thread, as the source may
    // answer only there.
    static PictureData pictureData(const QMimeData& data);
    // Writes the data into a new file of the drop folder (an image as PNG)
    // and returns its path, or "" after logging why it could not. Any thread.
    static QString writePictureData(const PictureData& picture);

    // The folder that dropped picture data is written into. Files there are
    // ours alone: the reader removes each once its picture is taken or refused.
    static QString dropFolder();
    // Whether `path` is a file of the drop folder (and so ours to remove).
    static bool isDroppedData(const QString& path);
    // Removes what earlier runs left in the drop folder: files older than a
    // minute, so that a drop another running editor is still reading stays.
    // Touches the disk: call it off the main thread.
    static void removeLeftoverDrops();

    // True while a drag is over the view (the border shows highlightedColor).
    bool isHighlighted() const { return m_mouseIn; }

    QSize sizeHint() const override { return QSize(400, 300); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void draggingUpdated(const QMimeData* data, QPointF screenPosition);
    void draggingEnded();
    QFont lightFont(qreal pixelSize) const;

    bool m_mouseIn = false;
    QPointF m_mousePosition;
    qint64 m_prevSessionNumber = 0;
    bool m_performed = false;
    // Our stand-in for the platform's drag sequence number: one per drag entry.
    qint64 m_sessionNumber = 0;

    bool m_hideAll = false;
    bool m_progressMode = false;
    float m_progress = 0;
    std::atomic<DragViewDelegate*> m_delegate{nullptr};
    Picture m_image;
    QColor m_lineColor;
    QColor m_highlightedColor;
    QString m_strTitle;
    QString m_strDescription;
    QString m_strInfoText;
};
