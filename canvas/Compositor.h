#pragma once

#include "canvas/ViewTransform.h"

#include <QImage>
#include <QRect>
#include <QSizeF>

// What the canvas shows, as plain pixel functions: no widget, no painter.
namespace Compositor {

// The picture side of a frame. `picture` and `blur` may be reduced levels
// (any size; each is stretched over the picture's w x h points and sampled
// nearest); `blur` is null when the blurred copy is hidden or not ready;
// `mask` (Format_Alpha8, Wm x Hm) is stretched over the picture with linear
// filtering. A null mask shows nothing of the picture.
struct Layers {
    QImage picture; // Format_ARGB32_Premultiplied or Format_RGB32
    QImage blur;    // Format_ARGB32_Premultiplied, or null
    QImage mask;    // Format_Alpha8, or null
    QSizeF pictureSize;
};

// Paints `area` (widget coordinates, y down) of `frame`, which has the
// canvas's size: the backdrop `tile` repeated from the canvas's upper-left
// corner, then the blurred copy and the picture through its mask, both under
// the transform (y up, as the canvas's model uses it). Rows are split over
// cores for large areas. Every frame pixel in `area` ends up opaque.
void paintFrame(QImage& frame, const QRect& area, const QImage& tile, const Layers& layers,
                const ViewTransform& transform);

// The finished picture at `size` pixels (the picture's points truncated):
// the picture through its mask over the blurred copy (when given), in the
// picture's own coordinates, in Format_ARGB32 (straight alpha), 0 where cut
// away. Where the mask keeps a pixel whole it is the picture's own pixel, bit
// for bit (give a straight or opaque picture for that: a premultiplied one has
// already lost colour where it is translucent); where the mask cuts partly,
// alpha is the picture's alpha times the mask's, rounded, with the picture's
// colour.
QImage result(const QImage& picture, const QImage& blur, const QImage& mask, QSizeF pictureSize,
              QSize size);

// The backdrop that shows where the picture is cut away: the application's
// "tile.png", or a plain grey and white checkerboard without it, in device
// pixels at `ratio` (its pattern keeps its size in points).
QImage backdropTile(qreal ratio = 1);

// Halves a premultiplied image with a 2 x 2 box filter (odd sizes round up).
QImage halve(const QImage& image);

} // namespace Compositor
