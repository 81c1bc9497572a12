#pragma once

#include <Qt>

class QKeyEvent;

// The keys the canvas watches in every window of the application: Ctrl and
// Alt held as modifiers of the pointer (Ctrl swaps painting and panning, Alt
// turns the wheel into the brush size), and the shortcuts Ctrl+Z (undo),
// Ctrl+Shift+Z (redo) and Ctrl+I or Alt+I (invert the brush), and O held to
// show the picture without its cut; B, W, E and R choose the tool, S cuts
// what is not the subject, and Escape cancels a colour selection or a box. Shortcuts go by the physical key, the native
// scan code where the platform gives one (X11 keycodes), so that Z is Z on
// every keyboard layout.
// Main thread only.
class CanvasKeys {
public:
    enum class Action {
        None,
        ModifiersChanged,
        Undo,
        Redo,
        InvertBrush,
        ShowOriginal,
        HideOriginal,
        ToolBrush,
        ToolColour,
        ToolBackground,
        ToolBox,
        Subject,
        Cancel,
    };

    // Notes a key press or release seen at a window; what it asks of the canvas.
    Action handle(const QKeyEvent& event);
    // Takes Ctrl and Alt from the modifiers a pointer event carries: a release
    // can happen at another program's window (after Alt+Tab, or while a
    // dialog of ours had the keyboard) and never reach us. True when either
    // changed.
    bool sync(Qt::KeyboardModifiers modifiers);
    // Forgets both, as when the application loses the keyboard.
    bool forget() { return sync(Qt::NoModifier); }

    bool ctrl() const { return m_ctrl; }
    bool alt() const { return m_alt; }

private:
    bool m_ctrl = false;
    bool m_alt = false;
};
