#pragma once

#include <QPainterPath>
#include <QPointF>

// Path shapes that the drop zone draws with.
namespace BezierPathUtilities {

// The part of the ring between radius/2 and radius around the centre that lies
// between the two angles, going counter-clockwise from fromAngle to toAngle.
// Angles are in degrees from the positive x axis and counter-clockwise as seen
// on screen, so 90 is straight up although the widget's y axis points down.
// Equal angles give an empty segment.
QPainterPath bezierPathWithArcInCenter(QPointF centre, float radius, float fromAngle,
                                       float toAngle);

} // namespace BezierPathUtilities
