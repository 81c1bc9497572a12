#include "ui/ColorableView.h"

#include <QPaintEvent>
#include <QPainter>

ColorableView::ColorableView(QWidget* parent) : QWidget(parent) {}

void ColorableView::paintEvent(QPaintEvent* event)
{
    if (!m_backgroundColor.isValid())
        return;
    QPainter painter(this);
    // Blend over what the parent painted rather than replacing it.
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.fillRect(event->rect(), m_backgroundColor);
}
