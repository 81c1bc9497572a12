#pragma once

// Input as the window system delivers it, for the canvas's input tests.
#include "CanvasSupport.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointingDevice>
#include <QTabletEvent>
#include <QWheelEvent>
#include <QWindow>

#include <cmath>
#include <vector>

namespace canvastest {

// The modifiers held after the last key event, which pointer events carry as
// the window system's do. Each test starts with none.
inline Qt::KeyboardModifiers g_held;

inline std::unique_ptr<ZRImageCutView> shownCanvas(const Picture& picture)
{
    g_held = Qt::NoModifier;
    auto view = canvasWith(picture);
    view->show();
    QApplication::processEvents();
    return view;
}

inline void key(QWidget& widget, QEvent::Type type, int keyCode, quint32 scanCode,
         Qt::KeyboardModifiers modifiers)
{
    g_held = modifiers;
    QKeyEvent event(type, keyCode, modifiers, scanCode, 0, 0);
    QApplication::sendEvent(widget.windowHandle(), &event);
}

inline void holdCtrl(QWidget& widget, bool down)
{
    key(widget, down ? QEvent::KeyPress : QEvent::KeyRelease, Qt::Key_Control, 0,
        down ? Qt::ControlModifier : Qt::NoModifier);
}

inline void mouse(QWidget& widget, QEvent::Type type, QPointF pos, Qt::KeyboardModifiers modifiers = {})
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons buttons =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, pos, pos, widget.mapToGlobal(pos), button, buttons, modifiers | g_held);
    QApplication::sendEvent(&widget, &event);
}

// A wheel event of `deltaY`: five for one notch of 120 angle units.
inline void wheel(QWidget& widget, QPointF pos, double deltaY, Qt::MouseButtons buttons = {},
           Qt::KeyboardModifiers modifiers = {})
{
    QWheelEvent event(pos, widget.mapToGlobal(pos), QPoint(), QPoint(0, int(std::lround(deltaY * 24))),
                      buttons, modifiers | g_held, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&widget, &event);
}

// A pen event, then the mouse event Qt makes of it at the same place.
inline void pen(QWidget& widget, QEvent::Type type, QPointF pos, double pressure)
{
    static const QPointingDevice device(
        QStringLiteral("test pen"), 7002, QInputDevice::DeviceType::Stylus,
        QPointingDevice::PointerType::Pen,
        QInputDevice::Capability::Position | QInputDevice::Capability::Pressure, 1, 3);
    const bool press = type == QEvent::MouseButtonPress;
    QTabletEvent tablet(press ? QEvent::TabletPress : QEvent::TabletMove, &device, pos,
                        widget.mapToGlobal(pos), pressure, 0, 0, 0, 0, 0, Qt::NoModifier,
                        press ? Qt::LeftButton : Qt::NoButton, Qt::LeftButton);
    QApplication::sendEvent(&widget, &tablet);
    QMouseEvent mouse(type, pos, pos, widget.mapToGlobal(pos),
                      press ? Qt::LeftButton : Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&widget, &mouse);
}

inline int stamps(const std::vector<StampRect>& entries)
{
    int count = 0;
    for (const StampRect& r : entries)
        count += r.isEndOfStroke() ? 0 : 1;
    return count;
}


} // namespace canvastest
