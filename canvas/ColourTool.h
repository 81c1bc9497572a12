#pragma once

#include "canvas/ViewTransform.h"
#include "imaging/ColourCache.h"

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QRgb>
#include <QSizeF>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class ColourRegion;
class MaskDocument;
struct ColourCoverage;

// What a press on the canvas does: paint with the brush, select a region of
// similar colour, or paint with the background brush, which changes only
// the colours near the one it samples.
// Box selects the object inside a dragged rectangle (SubjectTool).
enum class CutTool { Brush, Colour, Background, Box };

// The colour-aware tools' side of the canvas, without a widget: the settings
// they share (tolerance, contiguous, sampling, the protected colour), the
// picture's colour cache, the By colour tool's region selection and the
// tinted overlay that shows it while the button is down.
//
// Threads: everything public is called on the main thread. The settings reach
// the drain as an immutable ColourBrush (StrokeDrain::setColourBrush). The
// region selection lives on the mask document's serial queue: the press,
// each tolerance change and the commit are queued there in order, so a
// drag's many moves cost one threshold pass each at most (a change asked
// while one is waiting replaces it), and between moves the flood reaches
// ahead in small steps. Each overlay made there is handed over under the
// overlay's mutex, and `overlayChanged` is called on the queue's thread.
class ColourTool {
public:
    ColourTool(MaskDocument& document, std::function<void()> overlayChanged);
    ~ColourTool();
    ColourTool(const ColourTool&) = delete;
    ColourTool& operator=(const ColourTool&) = delete;

    CutTool tool() const { return m_tool; }
    void setTool(CutTool tool);
    // 0..100: the colour difference in CIELAB units (ColourDistance).
    double tolerance() const { return m_tolerance; }
    void setTolerance(double tolerance);
    bool contiguous() const { return m_contiguous; }
    void setContiguous(bool on) { m_contiguous = on; }
    // The background brush samples under each stamp, or once at the press.
    bool samplesContinuously() const { return m_continuous; }
    void setSamplesContinuously(bool on);
    std::optional<LabColour> protectedColour() const { return m_protected; }
    void setProtectedColour(std::optional<LabColour> colour);

    // The picture's colours at the mask's size, null until they are made.
    std::shared_ptr<const ColourCache> colours() const { return m_colours; }
    void setColours(std::shared_ptr<const ColourCache> colours);
    // The colour at a mask pixel (top row first): the median around it, as
    // the tools sample; none without colours or off the mask.
    std::optional<LabColour> colourAt(QPoint maskPixel) const;

    // By colour: a press at `seed` (mask pixels, top row first) starts a
    // selection at the panel's tolerance, with the brush's softness (0..1)
    // and the overlay's tint; dragRegion changes its tolerance, commitRegion
    // blends it into the mask with `alpha` as one history state, and
    // cancelRegion drops it without one.
    void beginRegion(QPoint seed, double softness, QRgb tint);
    void dragRegion(double tolerance);
    void commitRegion(std::uint8_t alpha);
    void cancelRegion();
    bool regionActive() const { return m_regionActive; }
    // The tolerance the selection is at.
    double regionTolerance() const { return m_regionTolerance; }

    // Draws the newest overlay into `frame` (device pixels, the area given)
    // under the picture's transform `t`, for a mask of `maskSize`.
    void paintOverlay(QImage& frame, const QRect& area, const ViewTransform& t, QSizeF pictureSize,
                      QSize maskSize) const;
    // Tests and tools: the overlay's bounds (mask pixels), empty when none,
    // and a count of the overlays made so far.
    QRect overlayBounds() const;

    // An overlay: the tint at half strength where `coverage` takes, for its
    // bounds; and how an overlay of mask pixels `bounds` is drawn into a
    // frame. Shared with the Subject tool.
    static QImage tintedCoverage(const ColourCoverage& coverage, QRgb tint);
    static void paintTinted(QImage& frame, const QRect& area, const ViewTransform& t,
                            QSizeF pictureSize, QSize maskSize, const QImage& tinted,
                            const QRect& bounds);
    std::uint64_t overlayCount() const { return m_overlayCount.load(); }

private:
    struct Overlay {
        QImage tinted; // premultiplied, the bounds' size
        QRect bounds;
    };

    void pushBrush();
    void queueUpdate();
    void updateOnQueue();
    void reachAheadOnQueue(std::uint64_t selection);
    void setOverlay(Overlay overlay);

    MaskDocument& m_document;
    const std::function<void()> m_overlayChanged;

    // Main thread.
    CutTool m_tool = CutTool::Brush;
    double m_tolerance = 32;
    bool m_contiguous = true;
    bool m_continuous = true;
    std::optional<LabColour> m_protected;
    std::shared_ptr<const ColourCache> m_colours;
    bool m_regionActive = false;
    double m_regionTolerance = 32;

    // Handed to the queue.
    std::atomic<double> m_wantedTolerance{32};
    std::atomic<bool> m_updateQueued{false};
    std::atomic<std::uint64_t> m_selection{0}; // bumped by each press and cancel
    double m_softness = 0; // queue: the selection's
    QRgb m_tint = 0;       // queue: the selection's
    std::unique_ptr<ColourRegion> m_region; // queue only

    std::atomic<std::uint64_t> m_overlayCount{0};
    mutable std::mutex m_overlayMutex;
    Overlay m_overlay;
};
