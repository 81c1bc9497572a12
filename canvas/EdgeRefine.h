#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QSizeF>

#include <atomic>

// Edge-aware upsampling of the canvas mask. The mask is at most 2000 pixels
// on its long side, so on a large picture every mask pixel covers several
// picture pixels and the stretched mask gives a soft, stair-stepped rim. In
// the band where the stretched mask is partial (widened by a few picture
// pixels) these functions take alpha from a local linear model of the mask in
// the picture's colours instead, and the colour of partly kept pixels from an
// estimate of the foreground, so that the cut-out shows no halo of its old
// background. Everywhere else they give exactly what the stretched mask gives,
// and so they do where no edge of the picture lies near (a cut across a
// smooth gradient comes out as cut) and wherever the mask holds the picture
// at full size.
//
// All functions are reentrant: they read their arguments only, may run on any
// thread (also on a background pool thread) and split the work over cores.
namespace EdgeRefine {

// The numbers the refinement derives from the mask's scale, in picture pixels
// unless said otherwise; given for callers that want to know which pixels the
// refinement may touch.
struct Parameters {
    double scale = 1;    // picture pixels per mask pixel, at least 1
    int widening = 2;    // the band reaches this far beyond the partial pixels
    int fullReach = 1;   // up to here the refined alpha applies whole; beyond, it fades out
    int window = 2;      // radius of the colour model's window, in mask pixels
    int averaging = 1;   // radius over which the models are averaged, in mask pixels
    int colourReach = 3; // radius of the foreground and background colour estimate, in mask pixels
    float epsilon = 1e-4f; // regularisation of the colour model (colour variance, channels 0..1)
};

Parameters parameters(QSize maskSize, QSizeF pictureSize);

// The finished picture, as Compositor::result() gives it (same arguments,
// Format_ARGB32 straight alpha, identical bytes outside the band), with the
// refined alpha and foreground colour in the band. With `blur`, the blurred
// copy shows under the refined alpha. A null mask or picture gives what
// Compositor::result() gives.
QImage result(const QImage& picture, const QImage& blur, const QImage& mask, QSizeF pictureSize,
              QSize size);

// The picture through its refined mask for `region` (picture pixels; clipped
// to `size`), at picture resolution: a region-sized Format_ARGB32_Premultiplied
// image to draw where the picture through the stretched mask would be drawn,
// over the blurred copy and the backdrop. Outside the band it is the picture
// times the stretched mask, as the canvas paints it. `picture` may be
// Format_RGB32, Format_ARGB32 or Format_ARGB32_Premultiplied (others are
// converted, which costs a full pass). Returns a null image when `cancel`
// turns true before it is done (checked between tiles), or when the region
// misses the picture. About 1920 x 1080 picture pixels take some tens of
// milliseconds on two cores: call it off the main thread.
QImage refineRegion(const QImage& picture, const QImage& mask, QSizeF pictureSize, QSize size,
                    const QRect& region, const std::atomic<bool>* cancel = nullptr);

} // namespace EdgeRefine
