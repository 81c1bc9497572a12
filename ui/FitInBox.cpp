#include "ui/FitInBox.h"

QSizeF AspectFitSize(QSizeF size, QSizeF box)
{
    const double w = size.width();
    const double h = size.height();
    const double bw = box.width();
    const double bh = box.height();
    if (w / bw > h / bh)
        return QSizeF(bw, h * bw / w);
    return QSizeF(w * bh / h, bh);
}
