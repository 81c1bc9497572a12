#include "canvas/BrushImages.h"

#include "imaging/ImageAction.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <vector>

namespace BrushImages {

Picture preview(QSizeF size, float diameter, float hardness, float alpha)
{
    const double w = size.width();
    const double h = size.height();
    if (!(w > 0) || !(h > 0))
        return {};
    float d = diameter;
    const float a = alpha;
    if (double(d) > 1.95 * w)
        d = float(1.95 * w);

    QImage canvas(int(std::ceil(2 * w)), int(std::ceil(2 * h)),
                  QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(w, h);
    const double r = double(d) * 0.5;
    const int erase = int(1.0f - std::round(a));
    const QColor ink =
        QColor::fromRgbF(0.08235294371843338, 0.24313725531101227, 0.3843137323856354);

    if (erase == 1) {
        QPainterPath clip;
        clip.setFillRule(Qt::OddEvenFill);
        clip.addRoundedRect(QRectF(0, 0, 2 * w, 2 * h), 0.1 * 2 * w, 0.1 * 2 * h);
        clip.addEllipse(centre, r, r);
        painter.save();
        painter.setClipPath(clip);
        painter.fillRect(QRectF(0, 0, 2 * w, 2 * h), ink);
        painter.restore();
    }
    if (r > 0) {
        auto withAlpha = [&](double level) {
            QColor c = ink;
            c.setAlphaF(float(std::clamp(level, 0.0, 1.0)));
            return c;
        };
        QRadialGradient gradient(centre, r);
        gradient.setColorAt(0, withAlpha(a));
        gradient.setColorAt(std::clamp(double(hardness), 0.0, 1.0), withAlpha(a));
        gradient.setColorAt(1, withAlpha(erase));
        // No extension beyond the rim: paint the disc only.
        QPainterPath disc;
        disc.addEllipse(centre, r, r);
        painter.fillPath(disc, gradient);
    }
    painter.end();
    return ImageAction::resize(Picture(QSizeF(2 * w, 2 * h), {canvas}), QSizeF(w, h));
}

QImage cursor(float diameter, qreal ratio, CursorShape shape)
{
    if (shape == CursorShape::Colour)
        diameter = 15;
    const int r = int(std::lround(diameter));
    const int d = r - r % 2;
    const int margin = 3;
    const int side = 2 * margin + d;
    const int k = margin + d / 2;
    const int pixels = int(std::lround(side * ratio));

    // White shapes first, on a layer of their own, so that a soft black shadow
    // (blur radius 2) can be laid under them. Drawn in points onto device pixels.
    QImage shapes(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    shapes.setDevicePixelRatio(ratio);
    shapes.fill(Qt::transparent);
    {
        QPainter painter(&shapes);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(QPen(Qt::white, 1));
        painter.setBrush(Qt::NoBrush);
        if (shape == CursorShape::Colour) {
            // Arms from 3 to 7 points off the centre, and the square.
            const int c = k - 1;
            for (const int from : {-8, 4}) {
                painter.fillRect(QRectF(c + from, c, 4, 1), Qt::white);
                painter.fillRect(QRectF(c, c + from, 1, 4), Qt::white);
            }
            painter.fillRect(QRectF(c + 4, c + 4, 4, 4), Qt::white);
        } else {
            painter.drawEllipse(QRectF(margin, margin, d - 1, d - 1));
        }
        if (shape == CursorShape::Background) {
            const int c = k - 1;
            painter.fillRect(QRectF(c - 4, c, 9, 1), Qt::white);
            painter.fillRect(QRectF(c, c - 4, 1, 9), Qt::white);
        } else if (shape == CursorShape::Brush && r >= 42) {
            const float length = std::min(5.3f, float(d - 40) / 15.0f + 1.0f);
            const int centre = int(std::lround(k - 1));
            // The image is y-down; the bars are symmetric about the centre row.
            painter.fillRect(QRectF(k - length, side - centre - 1, 2 * length - 1, 1), Qt::white);
            painter.fillRect(QRectF(centre, side - (k - length) - (2 * length - 1), 1, 2 * length - 1),
                             Qt::white);
        }
    }
    // The shadow: twice the mean alpha over a square of 2 points around each
    // pixel (the part outside the image counting as transparent), summed one
    // direction at a time.
    const int reach = int(std::lround(2 * ratio));
    const int count = (2 * reach + 1) * (2 * reach + 1);
    std::vector<int> across(std::size_t(pixels) * pixels);
    for (int y = 0; y < pixels; ++y) {
        const auto* row = reinterpret_cast<const quint32*>(shapes.constScanLine(y));
        for (int x = 0; x < pixels; ++x) {
            int sum = 0;
            for (int sx = std::max(0, x - reach); sx <= std::min(pixels - 1, x + reach); ++sx)
                sum += qAlpha(row[sx]);
            across[std::size_t(y) * pixels + x] = sum;
        }
    }
    QImage shadow(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    shadow.setDevicePixelRatio(ratio);
    for (int y = 0; y < pixels; ++y) {
        auto* out = reinterpret_cast<quint32*>(shadow.scanLine(y));
        for (int x = 0; x < pixels; ++x) {
            int sum = 0;
            for (int sy = std::max(0, y - reach); sy <= std::min(pixels - 1, y + reach); ++sy)
                sum += across[std::size_t(sy) * pixels + x];
            out[x] = quint32(std::min(255, 2 * sum / count)) << 24;
        }
    }
    {
        QPainter painter(&shadow);
        painter.drawImage(QPointF(0, 0), shapes);
    }
    return shadow;
}

} // namespace BrushImages
