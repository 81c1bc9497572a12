#pragma once

#include <QColor>
#include <QFont>
#include <QSizeF>
#include <QString>

// Small helpers of the application's own look: colours written as 0-255 or 0-1
// components, the one-line size of a string, and the largest font size at
// which a string fits a box. Every function returns a new value and leaves its
// arguments alone.
namespace Tessaline {

// Opaque colour; see rgba for how the components are read.
QColor rgb(float r, float g, float b);

// When any of r, g, b exceeds 1 all three are taken as 0-255 values and divided
// by 255; otherwise they are used as 0-1 values. Alpha is always 0-1. So
// rgb(1, 1, 1) is white while rgb(2, 1, 1) is (2/255, 1/255, 1/255).
QColor rgba(float r, float g, float b, float a);

// Width and height of the string set on one line in the font, in the units of
// the default paint device (logical pixels on screen).
QSizeF sizeWithFont(const QString& string, const QFont& font);

// The same font (family, weight, style) at the given point size.
QFont fontWithSize(const QFont& font, float pointSize);

// The font at the largest size, found by growing in steps of 1.11 and then
// shrinking in steps of 0.97, at which the string fits the box on one line.
// Returns the font unchanged for an empty string or an empty box.
QFont fontForStringFitInSize(const QFont& font, const QString& string, QSizeF box);

// The point size a font is drawn at, also for fonts given in pixels.
qreal pointSizeOf(const QFont& font);

} // namespace Tessaline
