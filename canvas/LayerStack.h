#pragma once

#include "canvas/CanvasLayer.h"

#include <QImage>
#include <QSizeF>

#include <memory>
#include <mutex>

// The canvas's layers for one picture, bottom to top: the blurred copy
// (hidden until switched on), the picture, and the mask the picture is shown
// through. The blurred copy and the picture share one transform. A new
// picture replaces all three; before the first there are none.
//
// Threads: which layers are current is guarded by the stack's mutex, and
// every reader gets a reference that stays valid while it holds it. A layer's
// content may be set from any thread (the drain publishes the mask, the
// background installs the blur); transforms are the main thread's alone.
class LayerStack {
public:
    // New layers for a picture of `size` points showing `bitmap`.
    void reset(QSizeF size, const QImage& bitmap);

    std::shared_ptr<CanvasLayer> picture() const;
    std::shared_ptr<CanvasLayer> blurred() const;
    std::shared_ptr<CanvasLayer> mask() const;
    // The mask as currently shown, or null.
    QImage maskContent() const;

    // Main thread only from here on.
    // The model transform of the picture (zero before the first picture).
    ViewTransform transform() const;
    // Sets the picture's and the blurred copy's transform alike.
    void setTransform(const ViewTransform& transform, double durationSeconds);
    void removeAllAnimations();
    bool isAnimating() const;

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<CanvasLayer> m_blurred;
    std::shared_ptr<CanvasLayer> m_picture;
    std::shared_ptr<CanvasLayer> m_mask;
};
