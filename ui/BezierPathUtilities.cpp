#include "ui/BezierPathUtilities.h"

#include <QRectF>

#include <cmath>

namespace BezierPathUtilities {

QPainterPath bezierPathWithArcInCenter(QPointF centre, float radius, float fromAngle, float toAngle)
{
    // A counter-clockwise arc from A to B covers (B - A) modulo a full turn;
    // a difference of one or more whole turns is a full circle, none is nothing.
    const double difference = double(toAngle) - double(fromAngle);
    double sweep = std::fmod(difference, 360.0);
    if (sweep < 0)
        sweep += 360.0;
    if (sweep == 0 && difference != 0)
        sweep = 360.0;

    const double outer = radius;
    const double inner = radius * 0.5;
    const QRectF outerRect(centre.x() - outer, centre.y() - outer, 2 * outer, 2 * outer);
    const QRectF innerRect(centre.x() - inner, centre.y() - inner, 2 * inner, 2 * inner);

    QPainterPath path;
    path.arcMoveTo(outerRect, fromAngle);
    path.arcTo(outerRect, fromAngle, sweep);
    // arcTo joins the end of the outer arc to the start of the inner one with a line.
    path.arcTo(innerRect, fromAngle + sweep, -sweep);
    path.closeSubpath();
    return path;
}

} // namespace BezierPathUtilities
