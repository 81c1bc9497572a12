#pragma once

#include "canvas/StampDrawing.h"

#include <QImage>
#include <QRect>

#include <memory>
#include <vector>

// The canvas's mask: an 8-bit alpha plane (top row first; 255 keeps a picture
// pixel, 0 cuts it away) that only the canvas's serial queue touches, and the
// immutable images of it that it publishes for painting.
//
// Publishing copies only what changed: published images live in a small pool
// of buffers, each knowing which area it lacks, and a buffer returns to the
// pool when the last copy of its image is released, whatever thread does that.
class MaskStore {
public:
    MaskStore();
    ~MaskStore();

    // A new mask of width x height, filled from `snapshot` (an image whose alpha
    // is stretched onto the mask) or, without one or when it cannot be
    // converted, with 255 everywhere.
    void create(int width, int height, const QImage& snapshot = QImage());
    void clear();

    bool isNull() const { return m_width == 0 || m_height == 0; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    AlphaPlane plane();
    const std::uint8_t* row(int y) const { return m_pixels.data() + std::size_t(y) * m_width; }

    // Notes pixels changed by drawing, in top-first row coordinates.
    void markChanged(const QRect& area);

    // What changed since the last publish (top-first rows).
    QRect changedArea() const { return m_changed; }

    // An immutable Format_Alpha8 image of the whole mask as it is now.
    QImage publish();

private:
    struct Pool;
    int m_width = 0;
    int m_height = 0;
    std::vector<std::uint8_t> m_pixels;
    QRect m_changed; // since the last publish
    std::shared_ptr<Pool> m_pool;
};
