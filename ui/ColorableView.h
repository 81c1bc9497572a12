#pragma once

#include <QColor>
#include <QWidget>

// A plain view painted in one background colour, alpha included, so a partly
// transparent colour shows what lies behind it. Without a colour (an invalid
// QColor, the default) it paints nothing. Setting the colour does not repaint:
// it shows at the view's next repaint.
class ColorableView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor backgroundColor READ backgroundColor WRITE setBackgroundColor RESET
                   resetBackgroundColor)

public:
    explicit ColorableView(QWidget* parent = nullptr);

    QColor backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(const QColor& color) { m_backgroundColor = color; }
    void resetBackgroundColor() { m_backgroundColor = QColor(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_backgroundColor;
};
