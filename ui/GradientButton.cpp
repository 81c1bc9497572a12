#include "ui/GradientButton.h"

#include "ui/Tessaline.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

GradientButton::GradientButton(QWidget* parent) : QPushButton(parent)
{
    init2();
}

GradientButton::GradientButton(const QString& title, QWidget* parent) : QPushButton(title, parent)
{
    init2();
}

void GradientButton::init2()
{
    setTextColor(Qt::white);
    setActiveColor(Tessaline::rgb(53, 125, 210));
    setPressedColor(Tessaline::rgb(36, 80, 147));
    setBorderColor(Tessaline::rgb(31, 74, 122));
}

QColor GradientButton::read(const QColor& field) const
{
    std::lock_guard lock(m_colorLock);
    return field;
}

void GradientButton::write(QColor& field, const QColor& color)
{
    std::lock_guard lock(m_colorLock);
    field = color;
}

QColor GradientButton::textColor() const
{
    return read(m_textColor);
}
void GradientButton::setTextColor(const QColor& color)
{
    write(m_textColor, color);
}
QColor GradientButton::borderColor() const
{
    return read(m_borderColor);
}
void GradientButton::setBorderColor(const QColor& color)
{
    write(m_borderColor, color);
}
QColor GradientButton::activeColor() const
{
    return read(m_activeColor);
}
void GradientButton::setActiveColor(const QColor& color)
{
    write(m_activeColor, color);
}
QColor GradientButton::activeGradient() const
{
    return read(m_activeGradient);
}
void GradientButton::setActiveGradient(const QColor& color)
{
    write(m_activeGradient, color);
}
QColor GradientButton::pressedColor() const
{
    return read(m_pressedColor);
}
void GradientButton::setPressedColor(const QColor& color)
{
    write(m_pressedColor, color);
}
QColor GradientButton::pressedGradient() const
{
    return read(m_pressedGradient);
}
void GradientButton::setPressedGradient(const QColor& color)
{
    write(m_pressedGradient, color);
}

QFont GradientButton::titleFont() const
{
    const QFont own = font();
    const QSizeF box(width() - 8.0, height() - 8.0);
    const QFont fitted = Tessaline::fontForStringFitInSize(own, text(), box);
    return Tessaline::pointSizeOf(own) > Tessaline::pointSizeOf(fitted) ? fitted : own;
}

QSize GradientButton::sizeHint() const
{
    // Room for the title at the button's own font plus the 4-pixel margin the
    // fitting keeps on each side, and a little air so it does not shrink at once.
    const QSizeF title = Tessaline::sizeWithFont(text(), font());
    const QSize base = QPushButton::sizeHint();
    return QSize(qMax(base.width(), qCeil(title.width()) + 24),
                 qMax(base.height(), qCeil(title.height()) + 12));
}

void GradientButton::paintEvent(QPaintEvent*)
{
    // The whole button is drawn on every paint; a partial repaint clips to its
    // region, so outline and title always come from the full size.
    const qreal w = width();
    const qreal h = height();

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    // A button that cannot be pressed must not look as if it could.
    if (!isEnabled())
        painter.setOpacity(0.35);

    QPainterPath outline;
    outline.addRoundedRect(QRectF(1, 1, w - 2, h - 2), 4.0, 4.0);

    QColor start;
    QColor end;
    QColor border;
    QColor text;
    {
        std::lock_guard lock(m_colorLock);
        start = m_mouseIsDown ? m_pressedColor : m_activeColor;
        end = m_mouseIsDown ? m_pressedGradient : m_activeGradient;
        border = m_borderColor;
        text = m_textColor;
    }
    if (!end.isValid())
        end = start;

    // The outline is stroked first and the fill covers its inner half, so one
    // pixel of the 2-pixel line stays visible.
    if (border.isValid())
        painter.strokePath(outline, QPen(border, 2.0));

    // The start colour runs along the bottom edge and the end colour along the
    // top, as for a gradient at 90 degrees in y-up coordinates.
    if (start.isValid()) {
        const QRectF inside = outline.boundingRect();
        QLinearGradient gradient(inside.bottomLeft(), inside.topLeft());
        gradient.setColorAt(0.0, start);
        gradient.setColorAt(1.0, end);
        painter.fillPath(outline, gradient);
    }

    const QString title = QPushButton::text();
    if (title.isEmpty())
        return;
    const QFont font = titleFont();
    const QSizeF measured = Tessaline::sizeWithFont(title, font);
    // Centred, then 2 pixels lower: in y-up terms the text's origin moves 2
    // points toward smaller y.
    const QPointF topLeft(w * 0.5 - measured.width() * 0.5,
                          h * 0.5 - measured.height() * 0.5 + 2.0);
    painter.setFont(font);
    painter.setPen(text.isValid() ? text : palette().color(QPalette::ButtonText));
    painter.drawText(QRectF(topLeft, measured),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextDontClip, title);
}

void GradientButton::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_mouseIsDown = true;
        update();
    }
    QPushButton::mousePressEvent(event);
}

void GradientButton::hideEvent(QHideEvent* event)
{
    // A button hidden while held never sees the release.
    m_mouseIsDown = false;
    QPushButton::hideEvent(event);
}

void GradientButton::mouseReleaseEvent(QMouseEvent* event)
{
    // The base class sends clicked() only when released inside; the pressed
    // look ends with the press in either case.
    QPushButton::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && m_mouseIsDown) {
        m_mouseIsDown = false;
        update();
    }
}
