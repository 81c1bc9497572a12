#include "canvas/RefinedView.h"

#include "canvas/EdgeRefine.h"
#include "platform/BackgroundPool.h"
#include "platform/MainThread.h"

#include <QPointer>

// What the background run shares with its owner, which may be gone by the
// time the run ends.
struct RefinedView::Shared {
    std::atomic<bool> cancel{false};
    std::atomic<bool> alive{true};
};

RefinedView::RefinedView(std::function<void()> arrived)
    : m_shared(std::make_shared<Shared>()), m_arrived(std::move(arrived))
{
}

RefinedView::~RefinedView()
{
    m_shared->cancel = true;
    m_shared->alive = false;
}

void RefinedView::clear()
{
    m_shared->cancel = true;
    m_shared = std::make_shared<Shared>();
    m_image = QImage();
    m_region = m_asked = QRect();
    m_version = m_askedVersion = 0;
}

const QImage& RefinedView::lookup(const QImage& picture, const QImage& mask, std::uint64_t maskVersion,
                                  QSizeF pictureSize, const QRect& visible, QRect* region)
{
    static const QImage none;
    if (m_version == maskVersion && !m_image.isNull() && m_region.contains(visible)) {
        *region = m_region;
        return m_image;
    }
    if (m_askedVersion == maskVersion && m_asked.contains(visible))
        return none; // on its way
    // A margin, so that small pans keep what was made.
    const QSize size(int(pictureSize.width()), int(pictureSize.height()));
    const QRect wanted = visible.adjusted(-visible.width() / 8, -visible.height() / 8, visible.width() / 8,
                                          visible.height() / 8) &
                         QRect(QPoint(0, 0), size);
    m_shared->cancel = true; // an older run gives way
    m_shared = std::make_shared<Shared>();
    m_asked = wanted;
    m_askedVersion = maskVersion;
    auto shared = m_shared;
    RefinedView* self = this;
    BackgroundPool::run([shared, self, picture, mask, pictureSize, size, wanted, maskVersion] {
        QImage refined = EdgeRefine::refineRegion(picture, mask, pictureSize, size, wanted, &shared->cancel);
        if (refined.isNull())
            return;
        MainThread::async([shared, self, refined, wanted, maskVersion] {
            if (!shared->alive || shared->cancel)
                return;
            self->m_image = refined;
            self->m_region = wanted;
            self->m_version = maskVersion;
            self->m_arrived();
        });
    });
    return none;
}
