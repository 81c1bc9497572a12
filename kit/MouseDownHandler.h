#pragma once

class QMouseEvent;

// Implemented by a widget class that wants clicks handed on to it by
// ActionBlock::handleMouseDown from a widget above it.
class MouseDownHandler {
public:
    virtual ~MouseDownHandler() = default;
    virtual void handleMouseDown(QMouseEvent* event) = 0;
};
