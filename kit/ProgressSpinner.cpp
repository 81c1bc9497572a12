#include "kit/ProgressSpinner.h"

#include <QPainter>
#include <QTimerEvent>

#include <algorithm>

namespace {

constexpr int kSpokes = 12;
constexpr int kFrameMilliseconds = 80;
constexpr int kMaximumDiameter = 32;

} // namespace

ProgressSpinner::ProgressSpinner(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void ProgressSpinner::startAnimation()
{
    m_animating = true;
    updateTimer();
}

void ProgressSpinner::stopAnimation()
{
    m_animating = false;
    updateTimer();
}

void ProgressSpinner::updateTimer()
{
    // A spinner nobody can see costs no timer ticks.
    if (m_animating && isVisible())
        m_timer.start(kFrameMilliseconds, this);
    else
        m_timer.stop();
}

void ProgressSpinner::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    updateTimer();
}

void ProgressSpinner::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    updateTimer();
}

void ProgressSpinner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    m_phase = (m_phase + 1) % kSpokes;
    update();
}

void ProgressSpinner::paintEvent(QPaintEvent*)
{
    if (!m_animating)
        return;
    const int diameter = std::min({width(), height(), kMaximumDiameter});
    if (diameter < 4)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(rect().center() + QPointF(0.5, 0.5));
    const qreal outer = diameter / 2.0;
    const qreal inner = outer * 0.45;
    QColor colour = palette().color(QPalette::WindowText);
    QPen pen(colour, std::max(1.5, diameter / 10.0), Qt::SolidLine, Qt::RoundCap);
    for (int spoke = 0; spoke < kSpokes; ++spoke) {
        // The spoke at the phase is opaque; those behind it fade out.
        const int age = (m_phase - spoke + kSpokes) % kSpokes;
        colour.setAlphaF(1.0f - 0.75f * static_cast<float>(age) / kSpokes);
        pen.setColor(colour);
        painter.setPen(pen);
        painter.save();
        painter.rotate(spoke * 360.0 / kSpokes);
        painter.drawLine(QPointF(0, -inner), QPointF(0, -outer));
        painter.restore();
    }
}
