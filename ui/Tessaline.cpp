#include "ui/Tessaline.h"

#include <QFontInfo>
#include <QFontMetricsF>

namespace Tessaline {

QColor rgb(float r, float g, float b)
{
    return rgba(r, g, b, 1.0f);
}

QColor rgba(float r, float g, float b, float a)
{
    double red = r;
    double green = g;
    double blue = b;
    if (r > 1.0f || g > 1.0f || b > 1.0f) {
        red /= 255.0;
        green /= 255.0;
        blue /= 255.0;
    }
    return QColor::fromRgbF(float(red), float(green), float(blue), a);
}

QSizeF sizeWithFont(const QString& string, const QFont& font)
{
    if (string.isEmpty())
        return QSizeF(0, 0);
    const QFontMetricsF metrics(font);
    return metrics.size(Qt::TextSingleLine, string);
}

QFont fontWithSize(const QFont& font, float pointSize)
{
    QFont resized(font);
    if (pointSize > 0)
        resized.setPointSizeF(pointSize);
    return resized;
}

qreal pointSizeOf(const QFont& font)
{
    if (font.pointSizeF() > 0)
        return font.pointSizeF();
    return QFontInfo(font).pointSizeF();
}

namespace {

// The search stops at these sizes: below the smallest nothing is legible and
// the metrics stop shrinking (a box thinner than one pixel would otherwise
// never be met); above the largest the text would not be drawn anyway.
constexpr float smallestSize = 0.5f;
constexpr float largestSize = 4096.0f;

} // namespace

QFont fontForStringFitInSize(const QFont& font, const QString& string, QSizeF box)
{
    const qreal boxWidth = box.width();
    const qreal boxHeight = box.height();
    if (!(boxWidth > 0) || !(boxHeight > 0) || string.isEmpty())
        return font;

    const QSizeF at20 = sizeWithFont(string, fontWithSize(font, 20.0f));
    if (!(at20.width() > 0) || !(at20.height() > 0))
        return font;

    // Start where the binding dimension would just fit if the text scaled
    // linearly with the point size; the steps below correct for hinting.
    const qreal binding = at20.width() / boxWidth > at20.height() / boxHeight
                              ? boxWidth
                              : at20.width() * boxHeight / at20.height();
    float size = float(boxWidth / binding * 20.0);

    QSizeF measured = sizeWithFont(string, fontWithSize(font, size));
    while (measured.width() < boxWidth && measured.height() < boxHeight && size < largestSize) {
        size = float(double(size) * 1.11);
        measured = sizeWithFont(string, fontWithSize(font, size));
    }
    while ((measured.width() > boxWidth || measured.height() > boxHeight) && size > smallestSize) {
        size = float(double(size) * 0.97);
        measured = sizeWithFont(string, fontWithSize(font, size));
    }
    return fontWithSize(font, size);
}

} // namespace Tessaline
