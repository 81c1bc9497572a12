#include "canvas/PictureLevels.h"

#include "canvas/Compositor.h"
#include "imaging/DiscBlur.h"
#include "platform/HandOff.h"
#include "platform/MainThread.h"

#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <cmath>

namespace {

// The canvas's long background tasks (the blurred copy, the reduced levels)
// run on a pool of their own. Qt splits large fills and conversions over the
// global pool and waits for the pieces on the calling thread; with a blur of
// a big picture holding every global worker, each paint would wait for it.
QThreadPool& canvasPool()
{
    static QThreadPool* pool = [] {
        auto* made = new QThreadPool; // lives to the end of the process
        made->setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
        return made;
    }();
    return *pool;
}

// The halvings of `level` down to about 256 pixels on its shorter side.
std::vector<QImage> halvings(QImage level)
{
    std::vector<QImage> levels;
    while (level.width() > 256 && level.height() > 256) {
        level = Compositor::halve(level);
        levels.push_back(level);
    }
    return levels;
}

} // namespace

struct PictureLevels::Tasks {
    std::atomic<int> blur{0};
    std::atomic<int> halvings{0};
    // Bumped by each new picture and by the owner's end.
    std::atomic<std::uint64_t> generation{0};
};

PictureLevels::PictureLevels(QObject* context, std::function<void()> halvingsArrived,
                             std::function<void(const QImage&)> blurArrived)
    : m_context(context), m_halvingsArrived(std::move(halvingsArrived)),
      m_blurArrived(std::move(blurArrived)), m_tasks(std::make_shared<Tasks>())
{
}

PictureLevels::~PictureLevels()
{
    ++m_tasks->generation;
}

QImage PictureLevels::drawableBitmap(const Picture& picture)
{
    QImage image = picture.bestRepresentation();
    if (image.isNull())
        return image;
    switch (image.format()) {
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGB32:
        return image;
    default:
        return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                             : QImage::Format_RGB32);
    }
}

const QImage& PictureLevels::pick(const std::vector<QImage>& levels, double scale)
{
    static const QImage none;
    if (levels.empty())
        return none;
    int k = scale > 0 ? int(std::floor(std::log2(1.0 / scale))) : 0;
    k = std::clamp(k, 0, int(levels.size()) - 1);
    return levels[k];
}

bool PictureLevels::busy() const
{
    return m_tasks->blur.load() > 0 || m_tasks->halvings.load() > 0;
}

void PictureLevels::setPicture(const Picture& picture, const QImage& bitmap)
{
    ++m_tasks->generation;
    m_source = picture;
    m_picture = {bitmap};
    m_blur.clear();
    startHalvings(picture, bitmap);
    startBlur(picture);
}

void PictureLevels::startHalvings(const Picture& picture, const QImage& base)
{
    if (base.isNull())
        return;
    auto tasks = m_tasks;
    QPointer<QObject> owner(m_context);
    ++tasks->halvings;
    const std::uint64_t generation = tasks->generation.load();
    canvasPool().start(handOff([this, owner, tasks, picture, base, generation] {
        if (tasks->generation.load() != generation) {
            --tasks->halvings; // a newer picture, or no owner any more
            return;
        }
        // `this` lives as long as the owner, and is touched only on the main thread.
        MainThread::async([this, owner, picture, levels = halvings(base)] {
            if (!owner || !m_source.isSameObject(picture))
                return;
            m_picture.resize(1);
            m_picture.insert(m_picture.end(), levels.begin(), levels.end());
            m_halvingsArrived();
        });
        --tasks->halvings;
    }));
}

void PictureLevels::startBlur(const Picture& picture)
{
    auto tasks = m_tasks;
    QPointer<QObject> owner(m_context);
    ++tasks->blur;
    const std::uint64_t generation = tasks->generation.load();
    canvasPool().start(handOff([this, owner, tasks, picture, generation] {
        if (tasks->generation.load() != generation) {
            --tasks->blur; // a newer picture, or no owner any more
            return;
        }
        const QImage source = drawableBitmap(picture);
        const QRect extent(QPoint(0, 0), source.size());
        const double radius = (extent.width() + extent.height()) / 200.0;
        // The blur over the source's own extent: what the grown result holds
        // once cropped back to that extent.
        QImage blurred;
        if (!source.isNull())
            blurred = DiscBlur::blur(FilterImage(source, QPoint(0, 0)), radius, extent).pixels();
        std::vector<QImage> levels;
        if (!blurred.isNull()) {
            levels = halvings(blurred);
            levels.insert(levels.begin(), blurred);
        }
        MainThread::async([this, owner, picture, blurred, levels = std::move(levels)] {
            if (!owner || !m_source.isSameObject(picture))
                return; // a newer picture is on the canvas
            m_blur = levels;
            m_blurArrived(blurred);
        });
        --tasks->blur;
    }));
}
