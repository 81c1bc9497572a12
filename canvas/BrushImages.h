#pragma once

#include "imaging/Picture.h"

#include <QImage>
#include <QSizeF>

// The pictures that show the brush outside the mask, as plain functions.
namespace BrushImages {

// The preview beside the brush controls: a picture of w x h points. A cutting
// brush (alpha below 0.5) shows as a dark rounded square with a round window
// of the brush; a keeping one as a dark soft disc on nothing. The disc is
// half the brush's diameter, at most 0.975 w across.
Picture preview(QSizeF size, float diameter, float hardness, float alpha);

// The pointer's image: a one-point white circle of the diameter rounded down
// to an even number, 3 points in from the edges, over a soft black shadow,
// with a small cross at the centre from diameter 42 on, in device pixels at
// `ratio` (its device pixel ratio is set). The hot spot is the centre,
// (side / 2, side / 2) in points.
// The background brush's circle always has its cross, a longer one that
// marks where it samples; the By colour tool's pointer is a 21-point cross
// with an open centre and a small square below right, the same size
// whatever the brush.
enum class CursorShape { Brush, Background, Colour };
QImage cursor(float diameter, qreal ratio = 1, CursorShape shape = CursorShape::Brush);

} // namespace BrushImages
