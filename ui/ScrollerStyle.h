#pragma once

#include <QProxyStyle>

// Draws every scroll bar as a bare knob: no groove, no arrow buttons and no
// background, so whatever lies behind the scroll bar shows around the knob.
// Check boxes get a box that stands out on a dark panel: a light outline,
// filled with the accent colour and a white tick when checked. Everything
// else is left to the base style. Install it on the application
// (QApplication::setStyle(new ScrollerStyle)) to reach every scroll bar.
class ScrollerStyle : public QProxyStyle {
    Q_OBJECT

public:
    // Takes ownership of the base style; null means the application's default.
    explicit ScrollerStyle(QStyle* base = nullptr);

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget = nullptr) const override;
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
    void polish(QWidget* widget) override;
    using QProxyStyle::polish;
};
