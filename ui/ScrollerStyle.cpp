#include "ui/ScrollerStyle.h"

#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionSlider>

ScrollerStyle::ScrollerStyle(QStyle* base) : QProxyStyle(base) {}

void ScrollerStyle::polish(QWidget* widget)
{
    // Hover events let the knob darken under the mouse.
    if (qobject_cast<QScrollBar*>(widget))
        widget->setAttribute(Qt::WA_Hover, true);
    QProxyStyle::polish(widget);
}

void ScrollerStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                  const QWidget* widget) const
{
    if (element != PE_IndicatorCheckBox) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const QPalette& palette = option->palette;
    const bool on = option->state & State_On;
    const bool partly = option->state & State_NoChange;
    const bool enabled = option->state & State_Enabled;
    const bool hover = enabled && (option->state & State_MouseOver);
    // The outline: the text's colour toned halfway down to the window's, so
    // an empty box reads on any panel; the accent colour when checked.
    const QColor text = palette.color(QPalette::WindowText), window = palette.color(QPalette::Window);
    auto mix = [](const QColor& a, const QColor& b, double share) {
        return QColor::fromRgbF(float(a.redF() * share + b.redF() * (1 - share)),
                                float(a.greenF() * share + b.greenF() * (1 - share)),
                                float(a.blueF() * share + b.blueF() * (1 - share)));
    };
    const QColor accent = palette.color(QPalette::Highlight);
    QColor edge = on || partly ? accent : mix(text, window, hover ? 0.75 : 0.55);
    QColor fill = on || partly ? accent : palette.color(QPalette::Base);
    QColor mark = palette.color(QPalette::HighlightedText);
    if (!enabled) {
        edge = mix(edge, window, 0.45);
        fill = mix(fill, window, 0.45);
        mark = mix(mark, window, 0.5);
    }
    const qreal side = qMin(option->rect.width(), option->rect.height()) - 2.0;
    const QRectF box(option->rect.x() + (option->rect.width() - side) / 2.0,
                     option->rect.y() + (option->rect.height() - side) / 2.0, side, side);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(edge, 1.5));
    painter->setBrush(fill);
    painter->drawRoundedRect(box.adjusted(0.75, 0.75, -0.75, -0.75), 3, 3);
    QPen pen(mark, qMax(1.5, side / 7.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    const auto at = [&](qreal x, qreal y) { return QPointF(box.x() + x * side, box.y() + y * side); };
    if (on) {
        const QPointF tick[] = {at(0.24, 0.52), at(0.42, 0.70), at(0.76, 0.30)};
        painter->drawPolyline(tick, 3);
    } else if (partly) {
        painter->drawLine(at(0.26, 0.5), at(0.74, 0.5));
    }
    painter->restore();
}

void ScrollerStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                       QPainter* painter, const QWidget* widget) const
{
    const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (control != CC_ScrollBar || !bar) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    // With nothing to scroll the knob would fill the whole bar; it stays hidden.
    if (bar->minimum == bar->maximum)
        return;

    // The knob keeps the position and length the base style gives it, so
    // dragging and paging behave exactly as before; only its look changes.
    const QRect slider = subControlRect(CC_ScrollBar, bar, SC_ScrollBarSlider, widget);
    if (slider.isEmpty())
        return;
    const bool horizontal = bar->orientation == Qt::Horizontal;
    const QRectF knob = QRectF(slider).adjusted(horizontal ? 1 : 2.5, horizontal ? 2.5 : 1,
                                                horizontal ? -1 : -2.5, horizontal ? -2.5 : -1);
    if (knob.width() <= 0 || knob.height() <= 0)
        return;

    const bool onKnob = bar->activeSubControls & SC_ScrollBarSlider;
    qreal opacity = 0.35;
    if (onKnob && (bar->state & State_Sunken))
        opacity = 0.6;
    else if (onKnob && (bar->state & State_MouseOver))
        opacity = 0.5;
    if (!(bar->state & State_Enabled))
        opacity = 0.2;
    QColor color = bar->palette.color(QPalette::WindowText);
    color.setAlphaF(float(opacity));

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(color);
    const qreal radius = qMin(knob.width(), knob.height()) / 2.0;
    painter->drawRoundedRect(knob, radius, radius);
    painter->restore();
}
