#pragma once

#include "canvas/CanvasKeys.h"
#include "canvas/ColourTool.h"
#include "canvas/Compositor.h"
#include "canvas/EventBuffer.h"
#include "canvas/LayerStack.h"
#include "canvas/MaskDocument.h"
#include "canvas/ResultComposer.h"
#include "canvas/StampRect.h"
#include "canvas/SubjectTool.h"
#include "canvas/ViewTransform.h"
#include "imaging/Picture.h"

#include <QColor>
#include <QCursor>
#include <QImage>
#include <QWidget>

#include <array>
#include <atomic>
#include <functional>
#include <memory>

class ColourTool;
class PictureLevels;
class QPainter;
class QTimer;
class RefinedView;
class SerialQueue;
class ZRImageCutViewDelegate;

// The cut canvas: shows one picture through its transparency mask, turns
// strokes into brush stamps that its own serial queue draws into the mask,
// keeps the undo history on disk, fits, zooms and pans, and produces the
// finished picture. The mask, its drain, its undo history and their queue
// (MaskDocument), the layers (LayerStack) and the background levels
// (PictureLevels) are rooms of their own; this class keeps the input, the
// viewport glue, painting and the cursor, and delegates the rest.
//
// Threads: the main thread owns the widget, input, the layers' transforms and
// the frame; MaskDocument, LayerStack and PictureLevels say what their queue
// and tasks own. Reports from the queue reach the widget through queued
// main-thread calls.
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
    float brushHardness() const { return m_document.drain().hardness(); }
    void setBrushHardness(float hardness);
    float brushAlphaValue() const { return m_document.drain().alpha(); }
    void setBrushAlphaValue(float alpha)
    {
        m_document.drain().setAlpha(alpha);
        noteSessionView();
    }
    void updateBrushMask();
    // A picture of w x h points showing the brush, for the controls beside it.
    Picture getBrushPreviewWithSize(QSizeF size) const;

    // The saved cut follows the picture's own edges where the mask is partial
    // (EdgeRefine); off, it is the mask stretched to the picture's size.
    bool refinesEdges() const { return m_refineEdges; }
    void setRefinesEdges(bool on) { m_refineEdges = on; }
    // Scripts: `mask` (grey or alpha, the mask's size) becomes the mask as
    // one undo step; false for another size.
    bool loadMask(const QImage& mask);

    // The tool a press uses, and the colour tools' settings (ColourTool).
    // Keys B, W and E choose Brush, By colour and Background brush.
    ColourTool& colourTool() { return *m_colourTool; }
    const ColourTool& colourTool() const { return *m_colourTool; }
    // Chooses the tool and updates the cursor.
    void setTool(CutTool tool);
    // The protected colour becomes the one at a widget point (none off the picture).
    void protectColourAt(QPointF widgetPos);
    // Subject (key S) and Box (key R, CutTool::Box): SubjectTool. applySubject
    // cuts what is not the subject with the brush's intensity, now or once
    // found; showSubject tints the subject while the panel's button is held.
    SubjectTool& subjectTool() { return *m_subjectTool; }
    const SubjectTool& subjectTool() const { return *m_subjectTool; }
    void applySubject();
    void showSubject(bool on);

    // A pen's pressure sets the stamp's diameter (pressure times the brush
    // size, at least 30 % of it) while this is on; a mouse paints at full size.
    bool usesPenPressure() const { return m_usePressure; }
    void setUsesPenPressure(bool on) { m_usePressure = on; }

    // Modes and flags.
    qint64 dragMode() const { return m_dragMode.load(); }
    void setDragMode(qint64 mode) { m_dragMode = mode; }
    bool blurMode() const { return m_blurMode; }
    void setBlurMode(bool mode) { m_blurMode = mode; }
    bool isBlurOn() const { return m_blurOn; }
    void setBlurOn(bool on);
    bool imageFit() const { return m_imageFit; }
    void setImageFit(bool fit) { m_imageFit = fit; }
    bool needsContectUpdate() const { return m_document.drain().needsNewMask(); }
    void setNeedsContectUpdate(bool needs) { m_document.drain().setNeedsNewMask(needs); }
    float maskScale() const { return m_document.drain().maskScale(); }

    // What the canvas shows (Compositor::ViewMode), the colour behind the
    // cut-out (invalid: the checkerboard) and the overlay's colour. Holding O
    // shows the picture without its cut whatever the mode.
    Compositor::ViewMode viewMode() const { return m_viewMode; }
    void setViewMode(Compositor::ViewMode mode);
    QColor backdrop() const { return m_backdrop; }
    void setBackdrop(const QColor& colour);
    QColor overlayTint() const { return m_tint; }
    void setOverlayTint(const QColor& colour);
    // The mode in effect: Original while O is held.
    Compositor::ViewMode shownMode() const { return m_showOriginal ? Compositor::ViewMode::Original : m_viewMode; }

    // Picture, mask and result.
    const Picture& image() const { return m_image; }
    void setImage(const Picture& picture);
    // The same picture at a better resolution, as when a quick reduced
    // version was shown while the whole one decoded: its size in points is
    // the same, so the mask, the history, the strokes and the view stay and
    // only what is drawn is made anew. Another size is taken as a new picture.
    void replacePicture(const Picture& picture);
    void resetMask() { m_document.resetMask(); }
    Picture getResult() const;
    // The finished picture's work: its inputs are taken here, on the main
    // thread, and the task composes them on any thread (a 24-megapixel
    // picture takes tens of milliseconds). The picture of trunc(size) pixels
    // in its own coordinates, whatever the view: the blurred copy where cut
    // away if it is shown, the picture through its mask, straight alpha;
    // `keepColours` keeps the picture's colour under fully cut pixels. The
    // task gives null without a picture. Strokes and steps input before the
    // call are in it: the task waits for the serial queue to draw them, so
    // run it off the main thread (getResult() waits there).
    std::function<QImage()> resultTask(bool keepColours = false) const;
    // The same, to be composed band by band (a save streams it to its file).
    std::function<ResultComposer()> resultComposer(bool keepColours = false) const;
    void updateMap() { m_document.updateMap(); }

    // Undo history.
    QString historyDirectory() { return m_document.history().directory(); }
    qint64 historyLength() const { return m_document.history().length(); }
    qint64 historyCurrentState() const { return m_document.history().currentState(); }
    qint64 historyFileIndex() const { return m_document.history().fileIndex(); }
    // An id of the current state's mask: each recorded state gets a new one,
    // and undo and redo come back to the id of the state they reach. Tells
    // whether the cut is still the one last saved.
    qint64 historyRevision() const { return m_document.revision(); }
    // Whether input that may change the cut is still queued (a stroke's end,
    // an undo, a reset...): the counters and the revision lag it meanwhile,
    // so a cut is unsaved while this holds.
    bool hasQueuedEdits() const { return m_document.hasQueuedEdits(); }
    void clearHistory() { m_document.clearHistory(); }
    void prevHistoryState() { m_document.undo(); }
    void nextHistoryState() { m_document.redo(); }

    // The session record that lets the next editor bring the cut back if
    // this one ends without closing the picture. Where the shown picture
    // came from: its file, or empty for dropped or pasted data, of which a
    // copy is then kept beside the snapshots. Until this is said for a new
    // picture, nothing is recorded for it.
    void setPictureSource(const QString& path);
    // The state of `revision` (historyRevision()) was saved.
    void markSessionSaved(qint64 revision) { m_document.markSessionSaved(revision); }
    // The picture was closed or its cuts discarded: nothing to bring back.
    void endSession() { m_document.endSession(); }
    // `picture` (the orphan's own, read anew) with the orphan's cut, its undo
    // states and its view. `done` is told on the main thread whether the
    // current state's cut came back.
    void restoreSession(const Picture& picture, const SessionOrphans::Orphan& orphan,
                        std::function<void(bool restored)> done);

    // Layers (shared with the serial queue and the blur task).
    std::shared_ptr<CanvasLayer> imageLayer() const { return m_layers.picture(); }
    std::shared_ptr<CanvasLayer> bluredLayer() const { return m_layers.blurred(); }
    std::shared_ptr<CanvasLayer> maskLayer() const { return m_layers.mask(); }

    // Viewport.
    void correctImagePositionWithFiting(bool fitting);
    void limitDrag();
    // Pans by a swipe's deltas, as a drag would.
    void swipe(double deltaX, double deltaY);
    // A pinch: logged, nothing else.
    void magnify(double magnification);
    // The model transform of the picture (y-up canvas coordinates).
    ViewTransform viewTransform() const { return m_layers.transform(); }

    // Cursor. updateCursor may be called from any thread.
    void updateCursor();
    QCursor brushCursor() const;
    // The cursor chosen last, for tests and tools.
    enum class CursorKind { Arrow, OpenHand, ClosedHand, Brush, Colour, BackgroundBrush, Box };
    CursorKind cursorKind() const { return m_cursorKind; }
    int cursorSize() const { return m_cursorSize; }

    // The stamps waiting for the drain, and the queue that drains them (tests and tools).
    EventBuffer& eventBuffer() { return m_document.drain().buffer(); }
    SerialQueue& serialQueue() { return m_document.queue(); }
    // The mask as currently shown (Format_Alpha8, top row first), or null.
    QImage currentMask() const { return m_layers.maskContent(); }

    // Tests and tools: returns when the serial queue, the blur task and the
    // main-thread calls they queued have all finished.
    void waitUntilIdle();
    // Whether an eased transform change is still running.
    bool isAnimating() const { return m_layers.isAnimating(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    // Notes the pen's pressure and lets Qt turn the event into mouse input.
    void tabletEvent(QTabletEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setupView();
    void addEventHandler();
    // setImage, or with `orphan` its restoration.
    void takeImage(const Picture& picture, const SessionOrphans::Orphan* orphan,
                   std::function<void(bool)> restored);
    // The brush and the model transform to the session record.
    void noteSessionView();
    void handleKey(QKeyEvent* event);

    // Any thread: empties the canvas if the picture failed is still shown.
    void refusePicture(std::uint64_t picture, const QString& reason);
    // Serial queue only.
    void publishMask(const QImage& mask, const QRect& changed);

    void mouseDragged(QPointF widgetPos, QPointF delta);
    void mouseUp();
    // Ends the press in progress as its release does. Also used when a
    // release was lost (a grab taken by another client, a window hidden
    // mid-press): the next event without the button held ends the stroke, so
    // that it still becomes one undo step and the wheel works again.
    void endPress();
    // Ends the press in progress without a stamp, a marker or a pan's
    // correction, as when a new picture comes while the button is down: the
    // rest of that press does nothing.
    void abandonPress();
    void paintStamp(QPointF widgetPos);
    // The mask pixel (top row first) under a widget point; may lie off the mask.
    QPoint maskPixelAt(QPointF widgetPos) const;
    void reportToolSettings();
    void setTransformOnLayers(const ViewTransform& t, double duration);
    void removeAllAnimations();
    void reportHistoryChanged();
    QPointF toCanvas(QPointF widgetPos) const;
    void scheduleAnimationFrames();
    // The box being dragged (widget points), or the one being worked on.
    void paintBox(QPainter& painter);
    QRect boxInMask() const;
    void paintRefinedEdge(const QRect& area, const Compositor::Layers& layers,
                          const ViewTransform& t, std::uint64_t maskVersion);

    // Fields, in the order of the canvas's design.
    bool m_dragging = false;
    bool m_cutting = false;
    CanvasKeys m_keys; // Alt and Ctrl held, the shortcuts
    float m_brushDiameter = 0;
    bool m_mouseIn = false;
    Compositor::ViewMode m_viewMode = Compositor::ViewMode::CutOut;
    bool m_usePressure = true;
    bool m_refineEdges = true;
    qint64 m_refinedSource = 0; // the cache key of the pixels m_refined refines
    // The last pen event's pressure, for the mouse event Qt makes of it at
    // the same place; any other pointer event paints at full size.
    double m_pressure = 1;
    QPointF m_pressureAt;
    bool m_showOriginal = false;
    QColor m_backdrop;
    QColor m_tint = QColor(255, 59, 48);
    StampRect m_prevEventRect;
    bool m_blurMode = false;
    bool m_blurOn = false;
    bool m_imageFit = false;
    ZRImageCutViewDelegate* m_delegate = nullptr;
    Picture m_image;
    std::atomic<qint64> m_dragMode{0};
    LayerStack m_layers;

    // Our own additions.
    std::unique_ptr<PictureLevels> m_levels; // main thread
    std::unique_ptr<RefinedView> m_refined;  // main thread
    std::atomic<std::uint64_t> m_maskVersion{0}; // bumped by each published mask
    QImage m_frame;
    QImage m_tile;
    QTimer* m_animationTimer = nullptr;
    bool m_pressActive = false;
    QPointF m_lastMousePos;
    CursorKind m_cursorKind = CursorKind::Arrow;
    int m_cursorSize = 0;
    std::uint64_t m_cursorObserver = 0;
    std::unique_ptr<ColourTool> m_colourTool; // before the document: its queue is joined first
    QPointF m_regionPressAt;
    double m_wheelBrushRest = 0; // the part of a point the wheel has not yet added to the brush
    // A box being dragged: where it started and where the pointer is.
    bool m_boxDragging = false;
    bool m_boxOnlyInside = false;
    QPointF m_boxFrom, m_boxTo;
    QTimer* m_boxTimer = nullptr; // turns the progress mark while a box is worked on
    std::unique_ptr<SubjectTool> m_subjectTool; // reset first: its thread is joined

    // The serial queue, the drain with the mask and the brush, the history.
    // Last, so that its queue, which reaches the layers, is joined first.
    MaskDocument m_document;
};
