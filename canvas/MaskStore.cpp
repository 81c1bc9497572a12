#include "canvas/MaskStore.h"

#include <cstring>
#include <mutex>

struct MaskStore::Pool {
    struct Buffer {
        std::unique_ptr<std::uint8_t[]> pixels;
        QRect stale; // what this buffer lacks of the current mask
        bool inUse = false;
    };
    struct Lease {
        std::shared_ptr<Pool> pool;
        Buffer* buffer;
    };

    std::mutex mutex;
    std::vector<std::unique_ptr<Buffer>> buffers;

    static void release(void* info)
    {
        auto* lease = static_cast<Lease*>(info);
        {
            std::lock_guard lock(lease->pool->mutex);
            lease->buffer->inUse = false;
        }
        delete lease;
    }
};

MaskStore::MaskStore() = default;
MaskStore::~MaskStore() = default;

void MaskStore::create(int width, int height, const QImage& snapshot)
{
    m_width = std::max(0, width);
    m_height = std::max(0, height);
    m_pixels.assign(std::size_t(m_width) * m_height, 255);
    m_pool = std::make_shared<Pool>();
    m_changed = QRect(0, 0, m_width, m_height);
    if (isNull() || snapshot.isNull())
        return;

    QImage alpha = snapshot;
    if (alpha.size() != QSize(m_width, m_height)) {
        alpha = alpha.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                    .scaled(m_width, m_height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    if (alpha.format() != QImage::Format_Alpha8)
        alpha = alpha.convertToFormat(QImage::Format_Alpha8);
    if (alpha.size() != QSize(m_width, m_height))
        return; // a snapshot Qt cannot convert or scale: everything kept
    for (int y = 0; y < m_height; ++y)
        std::memcpy(m_pixels.data() + std::size_t(y) * m_width, alpha.constScanLine(y),
                    std::size_t(m_width));
}

void MaskStore::clear()
{
    m_width = m_height = 0;
    m_pixels.clear();
    m_pixels.shrink_to_fit();
    m_pool.reset();
    m_changed = QRect();
}

AlphaPlane MaskStore::plane()
{
    return AlphaPlane{m_pixels.data(), m_width, m_height, m_width};
}

void MaskStore::markChanged(const QRect& area)
{
    m_changed |= area;
}

QImage MaskStore::publish()
{
    if (isNull())
        return {};
    const QRect whole(0, 0, m_width, m_height);
    Pool::Buffer* target = nullptr;
    {
        std::lock_guard lock(m_pool->mutex);
        for (auto& buffer : m_pool->buffers) {
            buffer->stale |= m_changed;
            if (!target && !buffer->inUse)
                target = buffer.get();
        }
        if (!target) {
            auto buffer = std::make_unique<Pool::Buffer>();
            buffer->pixels.reset(new std::uint8_t[std::size_t(m_width) * m_height]);
            buffer->stale = whole;
            target = buffer.get();
            m_pool->buffers.push_back(std::move(buffer));
        }
        target->inUse = true;
    }
    m_changed = QRect();

    // The buffer is ours alone until its image is released: copy outside the lock.
    const QRect stale = target->stale & whole;
    for (int y = stale.top(); y <= stale.bottom(); ++y)
        std::memcpy(target->pixels.get() + std::size_t(y) * m_width + stale.left(),
                    m_pixels.data() + std::size_t(y) * m_width + stale.left(),
                    std::size_t(stale.width()));
    target->stale = QRect();

    auto* lease = new Pool::Lease{m_pool, target};
    // A read-only image: writing through a copy detaches instead of touching the pool.
    return QImage(static_cast<const uchar*>(target->pixels.get()), m_width, m_height, m_width, QImage::Format_Alpha8,
                  &Pool::release, lease);
}
