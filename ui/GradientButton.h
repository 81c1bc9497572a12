#pragma once

#include <QColor>
#include <QPushButton>

#include <mutex>

// A push button in the application's own style: a rounded outline, a vertical
// two-colour gradient (or a flat colour) and a title that shrinks to fit. While
// the left mouse button is held on it, it draws with its pressed colours.
//
// Colours are read and written under a small lock, so a reader on another
// thread never sees half a write; the button itself draws on the main thread.
// Setting a colour does not repaint: the colour shows at the next repaint.
// An invalid QColor means "unset": a gradient end colour that is unset gives a
// flat fill, an unset text colour draws the title in the palette's button text.
class GradientButton : public QPushButton {
    Q_OBJECT
    Q_PROPERTY(QColor textColor READ textColor WRITE setTextColor)
    Q_PROPERTY(QColor borderColor READ borderColor WRITE setBorderColor)
    Q_PROPERTY(QColor activeColor READ activeColor WRITE setActiveColor)
    Q_PROPERTY(
        QColor activeGradient READ activeGradient WRITE setActiveGradient RESET resetActiveGradient)
    Q_PROPERTY(QColor pressedColor READ pressedColor WRITE setPressedColor)
    Q_PROPERTY(QColor pressedGradient READ pressedGradient WRITE setPressedGradient RESET
                   resetPressedGradient)

public:
    explicit GradientButton(QWidget* parent = nullptr);
    explicit GradientButton(const QString& title, QWidget* parent = nullptr);

    // True from a left-button press on the button until that button is released,
    // wherever the mouse is meanwhile.
    bool mouseIsDown() const { return m_mouseIsDown; }

    QColor textColor() const;
    void setTextColor(const QColor& color);
    // The same field as textColor.
    void setTitleColor(const QColor& color) { setTextColor(color); }

    QColor borderColor() const;
    void setBorderColor(const QColor& color);
    QColor activeColor() const;
    void setActiveColor(const QColor& color);
    QColor activeGradient() const;
    void setActiveGradient(const QColor& color);
    void resetActiveGradient() { setActiveGradient(QColor()); }
    QColor pressedColor() const;
    void setPressedColor(const QColor& color);
    QColor pressedGradient() const;
    void setPressedGradient(const QColor& color);
    void resetPressedGradient() { setPressedGradient(QColor()); }

    // The font the title is drawn in: the button's font, or a smaller size of it
    // when the title would not fit the button less 8 pixels each way.
    QFont titleFont() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void init2();
    QColor read(const QColor& field) const;
    void write(QColor& field, const QColor& color);

    bool m_mouseIsDown = false;

    mutable std::mutex m_colorLock;
    QColor m_textColor;
    QColor m_borderColor;
    QColor m_activeColor;
    QColor m_activeGradient;
    QColor m_pressedColor;
    QColor m_pressedGradient;
};
