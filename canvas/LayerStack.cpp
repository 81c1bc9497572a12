#include "canvas/LayerStack.h"

#include "canvas/Compositor.h"

void LayerStack::reset(QSizeF size, const QImage& bitmap)
{
    const double w = size.width(), h = size.height();
    auto blurred = std::make_shared<CanvasLayer>(QRectF(-w / 2, -h / 2, w, h));
    blurred->setHidden(true);
    auto picture = std::make_shared<CanvasLayer>(QRectF(-w / 2, -h / 2, w, h));
    picture->setContent(bitmap);
    auto mask = std::make_shared<CanvasLayer>(QRectF(0, 0, w, h));
    std::lock_guard lock(m_mutex);
    m_blurred = std::move(blurred);
    m_picture = std::move(picture);
    m_mask = std::move(mask);
}

std::shared_ptr<CanvasLayer> LayerStack::picture() const
{
    std::lock_guard lock(m_mutex);
    return m_picture;
}

std::shared_ptr<CanvasLayer> LayerStack::blurred() const
{
    std::lock_guard lock(m_mutex);
    return m_blurred;
}

std::shared_ptr<CanvasLayer> LayerStack::mask() const
{
    std::lock_guard lock(m_mutex);
    return m_mask;
}

QImage LayerStack::maskContent() const
{
    const auto layer = mask();
    return layer ? layer->content() : QImage();
}

ViewTransform LayerStack::transform() const
{
    const auto layer = picture();
    return layer ? layer->transform() : ViewTransform{};
}

void LayerStack::setTransform(const ViewTransform& transform, double durationSeconds)
{
    if (const auto layer = picture())
        layer->setTransform(transform, durationSeconds);
    if (const auto layer = blurred())
        layer->setTransform(transform, durationSeconds);
}

void LayerStack::removeAllAnimations()
{
    if (const auto layer = picture())
        layer->removeAllAnimations();
    if (const auto layer = blurred())
        layer->removeAllAnimations();
}

bool LayerStack::isAnimating() const
{
    const auto layer = picture();
    return layer && layer->isAnimating();
}
