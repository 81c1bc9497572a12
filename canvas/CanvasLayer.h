#pragma once

#include "canvas/ViewTransform.h"

#include <QElapsedTimer>
#include <QImage>
#include <QRectF>

#include <atomic>
#include <mutex>

// A plain model object standing for one layer of the canvas: an immutable
// content image (set from any thread), a hidden flag, a frame, and a transform
// with two values: the model value, set at once and read by everyone, and the
// presentation value that eases towards it and is what gets painted.
class CanvasLayer {
public:
    explicit CanvasLayer(QRectF frame = {}) : m_frame(frame) {}

    QRectF frame() const { return m_frame; }

    QImage content() const;
    void setContent(QImage content);

    bool isHidden() const { return m_hidden.load(); }
    void setHidden(bool hidden) { m_hidden = hidden; }

    // Main thread only from here on.
    ViewTransform transform() const { return m_model; }
    // Sets the model value; with a duration the presentation eases from where
    // it is now towards it along the ease-out curve, else it jumps.
    void setTransform(const ViewTransform& transform, double durationSeconds = 0);
    ViewTransform presentationTransform() const;
    bool isAnimating() const;
    void removeAllAnimations();

    // The ease-out timing curve: a cubic Bezier through (0, 0), (0, 0),
    // (0.58, 1), (1, 1), evaluated at time fraction t.
    static double easeOut(double t);

private:
    const QRectF m_frame;
    mutable std::mutex m_contentMutex;
    QImage m_content;
    std::atomic<bool> m_hidden{false};

    ViewTransform m_model;
    ViewTransform m_from;
    double m_duration = 0;
    QElapsedTimer m_clock;
};
