#pragma once

#include "canvas/ViewTransform.h"

#include <QPointF>
#include <QRect>
#include <QSizeF>

// The viewport's arithmetic: fitting, zooming about a point and keeping the
// picture within the canvas. Canvas coordinates are y up, origin lower-left.
namespace Viewport {

constexpr double maximumScale = 10;
constexpr double panMargin = 80;
constexpr double fitDuration = 0.1;
constexpr double zoomDuration = 0.1;
constexpr double boundsDuration = 0.2;

// The picture centred, touching the canvas on one axis, at most 10 times enlarged.
ViewTransform fit(QSizeF canvas, QSizeF picture);

// Whether the picture shown under `t` lies wholly inside the canvas.
bool wholePictureVisible(const ViewTransform& t, QSizeF canvas, QSizeF picture);

// The centre clamped so that a picture narrower than the canvas less the two
// margins keeps a margin from both edges, and a wider one leaves at most a
// margin uncovered at either edge. The scale is never changed.
ViewTransform limitDrag(const ViewTransform& t, QSizeF canvas, QSizeF picture);

// The zoom step factor of one wheel event: deltaY / 50 + 1, kept in 0.7..1.3.
float zoomFactor(double deltaY);

// `t` scaled by the factor (capped at the maximum scale) so that the picture
// point under `pointer` stays under it.
ViewTransform zoom(const ViewTransform& t, QPointF pointer, float factor, QSizeF picture);

// The widget pixels (y down, `widget` being the canvas's size) that show
// `maskArea` (top-first rows of a mask of `mask` pixels stretched over the
// picture) under `t`, padded by what linear filtering reaches. The whole
// widget when the picture, the mask or the area is empty.
QRect widgetRectForMaskArea(const ViewTransform& t, QSizeF picture, QSize mask,
                            const QRect& maskArea, QSize widget);

} // namespace Viewport
