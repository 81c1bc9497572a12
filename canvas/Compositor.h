#pragma once

#include "canvas/ViewTransform.h"

#include <QImage>
#include <QRect>
#include <QSizeF>

#include <cstdint>

// What the canvas shows, as plain pixel functions: no widget, no painter.
namespace Compositor {

// The picture side of a frame. `picture` and `blur` may be reduced levels
// (any size; each is stretched over the picture's w x h points and sampled
// nearest); `blur` is null when the blurred copy is hidden or not ready;
// `mask` (Format_Alpha8, Wm x Hm) is stretched over the picture with linear
// filtering. A null mask shows nothing of the picture.
// How the picture is shown: through its cut (on the backdrop), whole with
// the cut areas tinted, the mask alone as grey (white kept), or whole.
enum class ViewMode { CutOut, Overlay, Mask, Original };

struct Layers {
    QImage picture; // Format_ARGB32_Premultiplied or Format_RGB32
    QImage blur;    // Format_ARGB32_Premultiplied, or null
    QImage mask;    // Format_Alpha8, or null
    QSizeF pictureSize;
    ViewMode mode = ViewMode::CutOut;
    // An opaque colour (0xffRRGGBB) shown behind the picture instead of the
    // tile; 0 keeps the tile.
    std::uint32_t backdrop = 0;
    // The overlay's colour (0xffRRGGBB), laid over cut areas at half strength.
    std::uint32_t tint = 0xffff3b30;
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
//
// With `keepColours`, a pixel cut away entirely keeps the picture's colour
// under its zero alpha, so that another editor can bring it back.
QImage result(const QImage& picture, const QImage& blur, const QImage& mask, QSizeF pictureSize,
              QSize size, bool keepColours = false);

// The backdrop that shows where the picture is cut away: the application's
// "tile.png", or a plain grey and white checkerboard without it, in device
// pixels at `ratio` (its pattern keeps its size in points).
QImage backdropTile(qreal ratio = 1);

// Halves a premultiplied image with a 2 x 2 box filter (odd sizes round up).
QImage halve(const QImage& image);

} // namespace Compositor
