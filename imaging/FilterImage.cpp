#include "imaging/FilterImage.h"

FilterImage::FilterImage(QImage pixels, QPoint origin)
{
    if (pixels.isNull())
        return;
    if (pixels.format() != QImage::Format_ARGB32_Premultiplied)
        pixels = pixels.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    m_extent = QRect(origin, pixels.size());
    m_pixels = std::move(pixels);
}
