#pragma once

#include "canvas/EventBuffer.h"
#include "canvas/StampRect.h"
#include "canvas/ViewTransform.h"
#include "imaging/Picture.h"

#include <QCursor>
#include <QImage>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>

struct BrushStamp;
class CanvasLayer;
class MaskStore;
class QLockFile;
class QTimer;
class SerialQueue;
class ZRImageCutViewDelegate;

// The cut canvas: shows one picture through its transparency mask, turns
// strokes into brush stamps that its own serial queue draws into the mask,
// keeps the undo history on disk, fits, zooms and pans, and produces the
// finished picture.
//
// Threads: the main thread owns the widget, the layers' transforms and input;
// the serial queue ("serial que") owns the mask, mask creation and the history
// steps; one background task per picture computes the blurred copy. The event
// buffer is the one lock they share.
class ZRImageCutView : public QWidget {
    Q_OBJECT

public:
    explicit ZRImageCutView(QWidget* parent = nullptr);
    ~ZRImageCutView() override;

    // Delegate (not owned; clear it before the delegate goes away).
    ZRImageCutViewDelegate* delegate() const { return m_delegate; }
    void setDelegate(ZRImageCutViewDelegate* delegate) { m_delegate = delegate; }

    // Brush.
    float brushDiameter() const { return m_brushDiameter; }
    void setBrushDiameterSilent(float diameter);
    void setBrushDiameter(float diameter);
    float brushHardness() const { return m_brushHardness.load(); }
    void setBrushHardness(float hardness);
    float brushAlphaValue() const { return m_brushAlphaValue.load(); }
    void setBrushAlphaValue(float alpha) { m_brushAlphaValue = alpha; }
    void updateBrushMask();
    // A picture of w x h points showing the brush, for the controls beside it.
    Picture getBrushPreviewWithSize(QSizeF size) const;

    // Modes and flags.
    qint64 dragMode() const { return m_dragMode.load(); }
    void setDragMode(qint64 mode) { m_dragMode = mode; }
    bool blurMode() const { return m_blurMode; }
    void setBlurMode(bool mode) { m_blurMode = mode; }
    bool isBlurOn() const { return m_blurOn; }
    void setBlurOn(bool on);
    bool imageFit() const { return m_imageFit; }
    void setImageFit(bool fit) { m_imageFit = fit; }
    bool needsContectUpdate() const { return m_needsContectUpdate.load(); }
    void setNeedsContectUpdate(bool needs) { m_needsContectUpdate = needs; }
    float maskScale() const { return m_maskScale.load(); }

    // Picture, mask and result.
    const Picture& image() const { return m_image; }
    void setImage(const Picture& picture);
    void resetMask();
    Picture getResult() const;
    void updateMap();

    // Undo history.
    QString historyDirectory();
    qint64 historyLength() const { return m_historyLength.load(); }
    qint64 historyCurrentState() const { return m_historyCurrentState.load(); }
    qint64 historyFileIndex() const { return m_historyFileIndex.load(); }
    void clearHistory();
    void prevHistoryState();
    void nextHistoryState();

    // Layers (shared with the serial queue and the blur task).
    std::shared_ptr<CanvasLayer> imageLayer() const;
    std::shared_ptr<CanvasLayer> bluredLayer() const;
    std::shared_ptr<CanvasLayer> maskLayer() const;

    // Viewport.
    void correctImagePositionWithFiting(bool fitting);
    void limitDrag();
    // Pans by a swipe's deltas, as a drag would.
    void swipe(double deltaX, double deltaY);
    // A pinch: logged, nothing else.
    void magnify(double magnification);
    // The model transform of the picture (y-up canvas coordinates).
    ViewTransform viewTransform() const;

    // Cursor. updateCursor may be called from any thread.
    void updateCursor();
    QCursor brushCursor() const;
    // The cursor chosen last, for tests and tools.
    enum class CursorKind { Arrow, OpenHand, ClosedHand, Brush };
    CursorKind cursorKind() const { return m_cursorKind; }
    int cursorSize() const { return m_cursorSize; }

    // The stamps waiting for the drain, and the queue that drains them (tests and tools).
    EventBuffer& eventBuffer() { return m_eventBuffer; }
    SerialQueue& serialQueue() { return *m_serial; }
    // The mask as currently shown (Format_Alpha8, top row first), or null.
    QImage currentMask() const;

    // Tests and tools: returns when the serial queue, the blur task and the
    // main-thread calls they queued have all finished.
    void waitUntilIdle();
    // Whether an eased transform change is still running.
    bool isAnimating() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Levels;

    void setupView();
    void addEventHandler();
    void handleKey(QKeyEvent* event);

    // Serial queue only.
    void drain();
    void createNewMaskContext();
    void recordHistoryState();
    void historyStep(int direction);
    struct PendingStamp;
    PendingStamp pendingStamp(const StampRect& rect) const;
    void drawStamps(const std::vector<PendingStamp>& batch);

    void mouseDragged(QPointF widgetPos, QPointF delta);
    void mouseUp();
    // Ends the press in progress as its release does. Also used when a
    // release was lost (a grab taken by another client, a window hidden
    // mid-press): the next event without the button held ends the stroke, so
    // that it still becomes one undo step and the wheel works again.
    void endPress();
    void paintStamp(QPointF widgetPos);
    void setTransformOnLayers(const ViewTransform& t, double duration);
    void removeAllAnimations();
    void reportHistoryChanged();
    void startBlurTask(const Picture& picture);
    void buildLevels(const Picture& picture, const QImage& base);
    QRect widgetRectForMaskArea(const QRect& maskArea) const;
    QPointF toCanvas(QPointF widgetPos) const;
    std::shared_ptr<const BrushStamp> currentStamp() const;
    QSizeF pictureSize() const;
    void scheduleAnimationFrames();

    // Fields, in the order of the canvas's design.
    std::unique_ptr<SerialQueue> m_serial;
    EventBuffer m_eventBuffer;
    bool m_dragging = false;
    bool m_cutting = false;
    bool m_altPressed = false;
    bool m_commandPressed = false;
    float m_brushDiameter = 0;
    bool m_mouseIn = false;
    QString m_historyDirectory;
    mutable std::mutex m_brushMaskMutex;
    std::shared_ptr<const BrushStamp> m_brushMask;
    StampRect m_prevEventRect;
    bool m_blurMode = false;
    bool m_blurOn = false;
    bool m_imageFit = false;
    std::atomic<bool> m_needsContectUpdate{false};
    std::atomic<float> m_brushAlphaValue{0};
    std::atomic<float> m_brushHardness{0};
    std::atomic<float> m_maskScale{1};
    ZRImageCutViewDelegate* m_delegate = nullptr;
    Picture m_image;
    std::atomic<qint64> m_historyLength{0};
    std::atomic<qint64> m_historyCurrentState{0};
    std::atomic<qint64> m_dragMode{0};
    mutable std::mutex m_layersMutex;
    std::shared_ptr<CanvasLayer> m_imageLayer;
    std::shared_ptr<CanvasLayer> m_bluredLayer;
    std::shared_ptr<CanvasLayer> m_maskLayer;
    std::unique_ptr<MaskStore> m_bitmapContext;
    mutable std::mutex m_newContextImageMutex;
    QImage m_newContextImage;
    std::atomic<qint64> m_historyFileIndex{0};

    // Our own additions.
    mutable std::mutex m_pictureSizeMutex;
    QSizeF m_pictureSizeForQueue; // the picture size as the drain sees it
    std::unique_ptr<QLockFile> m_historyLock;
    std::unique_ptr<Levels> m_levels; // main thread
    QImage m_frame;
    QImage m_tile;
    QTimer* m_animationTimer = nullptr;
    bool m_pressActive = false;
    QPointF m_lastMousePos;
    CursorKind m_cursorKind = CursorKind::Arrow;
    int m_cursorSize = 0;
    std::uint64_t m_cursorObserver = 0;
    struct TaskCounters {
        std::atomic<int> blur{0};
        std::atomic<int> levels{0};
        // Bumped by each new picture and by the canvas's end: a task that has
        // not started yet for an older picture skips its work.
        std::atomic<std::uint64_t> generation{0};
    };
    // Shared with background tasks, which may outlive the canvas.
    std::shared_ptr<TaskCounters> m_tasks;
};
