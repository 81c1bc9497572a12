#pragma once

#include <QColor>
#include <QString>
#include <QStringList>

class QAbstractButton;

// Keeps a button disabled while any task holds it, counted by string keys
// (the same key may hold it several times), and gives it back the enabled
// state it had before. The key list and the saved state live on the button as
// dynamic properties. Main thread only.
namespace ButtonBlocker {

// The keys holding the button, created empty on first access.
QStringList blockKeys(QAbstractButton* button);

// Appends the key. The first key saves the button's own enabled flag and
// disables the button.
void blockWith(QAbstractButton* button, const QString& key);

// Removes every entry equal to the key; when none is left, restores the saved
// enabled flag. A button that was never blocked is left as it is.
void unblockWith(QAbstractButton* button, const QString& key);

// Draws the button's title in the colour; fonts and other settings are kept.
// A disabled button keeps the style's disabled text colour, so it still
// reads as disabled.
void setTitleColor(QAbstractButton* button, const QColor& color);

} // namespace ButtonBlocker
