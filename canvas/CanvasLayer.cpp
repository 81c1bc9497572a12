#include "canvas/CanvasLayer.h"

#include <algorithm>

QImage CanvasLayer::content() const
{
    std::lock_guard lock(m_contentMutex);
    return m_content;
}

void CanvasLayer::setContent(QImage content)
{
    QImage old;
    {
        std::lock_guard lock(m_contentMutex);
        old = std::exchange(m_content, std::move(content));
    }
    // `old` is released here, outside the lock.
}

void CanvasLayer::setTransform(const ViewTransform& transform, double durationSeconds)
{
    if (durationSeconds > 0) {
        m_from = presentationTransform();
        m_duration = durationSeconds;
        m_clock.start();
    } else {
        m_duration = 0;
    }
    m_model = transform;
}

ViewTransform CanvasLayer::presentationTransform() const
{
    if (!isAnimating())
        return m_model;
    const double t = std::clamp(m_clock.nsecsElapsed() / 1e9 / m_duration, 0.0, 1.0);
    const double k = easeOut(t);
    return {m_from.scale + (m_model.scale - m_from.scale) * k,
            m_from.tx + (m_model.tx - m_from.tx) * k, m_from.ty + (m_model.ty - m_from.ty) * k};
}

bool CanvasLayer::isAnimating() const
{
    return m_duration > 0 && m_clock.isValid() && m_clock.nsecsElapsed() / 1e9 < m_duration;
}

void CanvasLayer::removeAllAnimations()
{
    m_duration = 0;
}

double CanvasLayer::easeOut(double t)
{
    if (t <= 0)
        return 0;
    if (t >= 1)
        return 1;
    // x(u) = 3(1-u)u^2 * 0.58 + u^3, y(u) = 3(1-u)u^2 + u^3; solve x(u) = t.
    auto x = [](double u) { return 3 * (1 - u) * u * u * 0.58 + u * u * u; };
    double lo = 0, hi = 1, u = t;
    for (int i = 0; i < 40; ++i) {
        u = 0.5 * (lo + hi);
        if (x(u) < t)
            lo = u;
        else
            hi = u;
    }
    return 3 * (1 - u) * u * u + u * u * u;
}
