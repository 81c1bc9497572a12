#include "canvas/CanvasKeys.h"

#include <QKeyEvent>

namespace {

// X11 keycodes of the keys labelled Z and I on a US keyboard.
constexpr quint32 scanCodeZ = 52;
constexpr quint32 scanCodeI = 31;
// And O, held to see the picture without its cut.
constexpr quint32 scanCodeO = 32;
// The tools: B (brush), W (by colour), E (background brush).
constexpr quint32 scanCodeB = 56;
constexpr quint32 scanCodeW = 25;
constexpr quint32 scanCodeE = 26;
// R (box) and S (subject).
constexpr quint32 scanCodeR = 27;
constexpr quint32 scanCodeS = 39;

} // namespace

CanvasKeys::Action CanvasKeys::handle(const QKeyEvent& event)
{
    const bool press = event.type() == QEvent::KeyPress;
    const int key = event.key();
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    const bool modifierKey = key == Qt::Key_Control || key == Qt::Key_Alt || key == Qt::Key_Shift ||
                             key == Qt::Key_Meta || key == Qt::Key_AltGr;
    if (modifierKey) {
        // A modifier's own press or release may not yet show in the flags.
        m_ctrl = key == Qt::Key_Control ? press : bool(modifiers & Qt::ControlModifier);
        m_alt = key == Qt::Key_Alt ? press : bool(modifiers & Qt::AltModifier);
        return Action::ModifiersChanged;
    }
    const quint32 scanCode = event.nativeScanCode();
    const bool isO = scanCode ? scanCode == scanCodeO : key == Qt::Key_O;
    if (isO && !event.isAutoRepeat() && !(modifiers & (Qt::ControlModifier | Qt::AltModifier)))
        return press ? Action::ShowOriginal : Action::HideOriginal;
    if (!press)
        return Action::None;
    const bool isZ = scanCode ? scanCode == scanCodeZ : key == Qt::Key_Z;
    const bool isI = scanCode ? scanCode == scanCodeI : key == Qt::Key_I;
    const bool ctrl = modifiers & Qt::ControlModifier;
    if (isZ && ctrl)
        return (modifiers & Qt::ShiftModifier) ? Action::Redo : Action::Undo;
    if (isI && (ctrl || (modifiers & Qt::AltModifier)))
        return Action::InvertBrush;
    if (key == Qt::Key_Escape)
        return Action::Cancel;
    if (modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return Action::None;
    auto is = [&](quint32 code, int fallback) { return scanCode ? scanCode == code : key == fallback; };
    if (is(scanCodeB, Qt::Key_B))
        return Action::ToolBrush;
    if (is(scanCodeW, Qt::Key_W))
        return Action::ToolColour;
    if (is(scanCodeE, Qt::Key_E))
        return Action::ToolBackground;
    if (is(scanCodeR, Qt::Key_R))
        return Action::ToolBox;
    if (is(scanCodeS, Qt::Key_S) && !(modifiers & Qt::ShiftModifier))
        return Action::Subject;
    return Action::None;
}

bool CanvasKeys::sync(Qt::KeyboardModifiers modifiers)
{
    const bool ctrl = modifiers & Qt::ControlModifier;
    const bool alt = modifiers & Qt::AltModifier;
    const bool changed = ctrl != m_ctrl || alt != m_alt;
    m_ctrl = ctrl;
    m_alt = alt;
    return changed;
}
