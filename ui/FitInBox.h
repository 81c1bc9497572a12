#pragma once

#include <QSizeF>

// The largest size with the aspect ratio of `size` that fits `box`, scaling up
// as well as down. When the ratios are equal the height binds. The caller
// guards against empty sizes: a 0 x 0 size yields a NaN width.
QSizeF AspectFitSize(QSizeF size, QSizeF box);
