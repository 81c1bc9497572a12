#pragma once

#include <QPointF>
#include <QRectF>

#include <cmath>

// The viewport transform shared by the picture and its blurred copy: a uniform
// scale plus the canvas point (y up) at which the picture's centre is shown.
// A picture point q (y up, origin at its lower-left corner) of a w x h picture
// maps to (s (q.x - w/2) + tx, s (q.y - h/2) + ty).
struct ViewTransform {
    double scale = 0;
    double tx = 0;
    double ty = 0;

    bool operator==(const ViewTransform&) const = default;

    QPointF map(QPointF q, QSizeF picture) const
    {
        return {scale * (q.x() - picture.width() / 2) + tx,
                scale * (q.y() - picture.height() / 2) + ty};
    }
    // The inverse; all zero for a zero scale, as a degenerate transform gives.
    QPointF inverted(QPointF v, QSizeF picture) const
    {
        if (scale == 0)
            return {};
        return {(v.x() - tx) / scale + picture.width() / 2,
                (v.y() - ty) / scale + picture.height() / 2};
    }
    QRectF invertedRect(const QRectF& r, QSizeF picture) const
    {
        if (scale == 0)
            return {};
        const QPointF origin = inverted(r.topLeft(), picture);
        return {origin.x(), origin.y(), r.width() / scale, r.height() / scale};
    }
};
