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
