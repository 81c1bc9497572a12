#pragma once

#include <QString>

class QMouseEvent;
class QWidget;

// Input blocking on any widget: an overlay counted by keys, a modal
// mouse-tracking loop, and handing a click on to the widget underneath.
// Main thread only.
namespace ActionBlock {

// Blocks the widget for the key: sends it to the widget's first ZRBlocker
// child, creating one on top of the other children when there is none.
void blockWithoutProgress(QWidget* view, const QString& key);

// Releases the key on the widget's first ZRBlocker child, if any.
void unblock(QWidget* view, const QString& key);

// While the left mouse button is down, takes the events of the widget's
// window itself: drags go to the widget's mouse-move handler, key presses and
// wheel turns are dropped, and the release ends the loop and goes to the
// widget's mouse-release handler. Returns at once when the button is up.
void lockMouse(QWidget* view);

// The sibling below `view` (lower in the stacking order) whose geometry
// contains the event's position, the nearest first; else the parent. Nothing
// for a widget without a parent.
QWidget* nextViewForEvent(QWidget* view, const QMouseEvent* event);

// Hands the click on: to the next widget (nextViewForEvent) if it implements
// MouseDownHandler, else on from that widget, down and then up the hierarchy.
// Returns false when it reached a widget without a parent unhandled.
bool handleMouseDown(QWidget* view, QMouseEvent* event);

} // namespace ActionBlock
