#include "canvas/StrokeDrain.h"

#include "canvas/BrushStamp.h"
#include "canvas/ColourStampDrawing.h"
#include "imaging/ColourRegion.h"
#include "platform/ParallelFor.h"
#include "ui/FitInBox.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int maskSide = 2000;
// At this hardness and above the drain draws the hard disc instead of the stamp.
constexpr double hardDiscHardness = 0.985;

} // namespace

struct StrokeDrain::PendingStamp {
    double x, y, width, height;              // mask pixels, y up
    std::shared_ptr<const BrushStamp> stamp; // null: the hard disc
    std::uint8_t alpha;
    std::shared_ptr<const ColourCache> colours; // null: an ordinary stamp
    ColourStampColours reach;
    bool skipped = false; // a background stamp before the colours are known
};

StrokeDrain::StrokeDrain(Publish publish, StrokeEnded strokeEnded)
    : m_publish(std::move(publish)), m_strokeEnded(std::move(strokeEnded))
{
}

StrokeDrain::~StrokeDrain() = default;

void StrokeDrain::updateStamp()
{
    const std::uint64_t ticket = m_stamp.ticket();
    m_stamp.install(ticket, BrushStamp::make(m_hardness.load(), m_maskScale.load()));
}

std::shared_ptr<const BrushStamp> StrokeDrain::currentStamp() const
{
    return m_stamp.current();
}

StrokeDrain::Brush StrokeDrain::brushNow() const
{
    Brush brush{m_hardness.load(), m_alpha.load(), nullptr};
    if (m_hasColourBrush.load()) {
        std::lock_guard lock(m_colourMutex);
        brush.colour = m_colourBrush;
    }
    return brush;
}

std::shared_ptr<const BrushStamp> StrokeDrain::stampFor(float hardness)
{
    std::shared_ptr<const BrushStamp> stamp = currentStamp();
    if (stamp && stamp->hardness == hardness)
        return stamp;
    // Kept for the rest of such stamps while the mask scale stays.
    const float scale = m_maskScale.load();
    if (!m_earlierStamp || m_earlierStamp->hardness != hardness || m_earlierScale != scale) {
        m_earlierStamp = BrushStamp::make(hardness, scale);
        m_earlierScale = scale;
    }
    return m_earlierStamp;
}

void StrokeDrain::setColourBrush(std::shared_ptr<const ColourBrush> brush)
{
    std::lock_guard lock(m_colourMutex);
    m_hasColourBrush = brush != nullptr;
    m_colourBrush = std::move(brush);
}

QSize StrokeDrain::maskSizeFor(QSizeF size)
{
    if (!(size.width() > 0) || !(size.height() > 0))
        return {};
    const QSizeF fitted = AspectFitSize(size, QSizeF(maskSide, maskSide));
    if (size.width() > fitted.width())
        size = fitted;
    return {std::max(1, int(size.width())), std::max(1, int(size.height()))};
}

std::uint64_t StrokeDrain::setPicture(QSizeF size)
{
    m_buffer.clear();
    std::lock_guard lock(m_pictureMutex);
    m_pictureSize = size;
    m_pendingSnapshot = QImage();
    return ++m_generation;
}

std::uint64_t StrokeDrain::generation() const
{
    std::lock_guard lock(m_pictureMutex);
    return m_generation;
}

bool StrokeDrain::offerSnapshot(std::uint64_t generation, const QImage& snapshot)
{
    std::lock_guard lock(m_pictureMutex);
    if (generation != m_generation)
        return false;
    m_pendingSnapshot = snapshot;
    m_needsNewMask = true;
    return true;
}

void StrokeDrain::run(std::uint64_t before, const Brush* brush)
{
    bool changed = false;
    if (m_needsNewMask.exchange(false)) {
        createNewMask();
        changed = true;
        m_mask.markChanged(QRect(0, 0, m_mask.width(), m_mask.height()));
    }
    if (m_mask.isNull())
        return;
    // Entries are taken one at a time, each stamp with the brush it was
    // input with (or, without one, the brush as it is when taken), and drawn
    // in batches: a batch ends at a marker or when the buffer is empty, and
    // the loop goes on with what arrived meanwhile, up to `before`.
    std::vector<PendingStamp> batch;
    for (;;) {
        const auto entry = m_buffer.takeFirst(before);
        if (entry && !entry->isEndOfStroke()) {
            batch.push_back(pendingStamp(*entry, brush ? *brush : brushNow()));
            continue;
        }
        if (!batch.empty()) {
            drawStamps(batch);
            batch.clear();
            changed = true;
        }
        if (!entry)
            break;
        m_strokeSample.reset();
        m_strokeEnded(); // a marker ends the drain
        break;
    }
    if (!changed)
        return;
    const QRect area = m_mask.changedArea();
    m_publish(m_mask.publish(), area);
}

StrokeDrain::PendingStamp StrokeDrain::pendingStamp(const StampRect& r, const Brush& settings)
{
    const double s = m_maskScale.load();
    const bool soft = double(settings.hardness) < hardDiscHardness;
    const float alpha = std::clamp(settings.alpha, 0.0f, 1.0f);
    PendingStamp p{r.x * s,
                   r.y * s,
                   r.width * s,
                   r.height * s,
                   soft ? stampFor(settings.hardness) : nullptr,
                   std::uint8_t(std::lround(alpha * 255)),
                   nullptr,
                   {},
                   false};
    const std::shared_ptr<const ColourBrush>& brush = settings.colour;
    if (!brush)
        return p;
    if (!brush->colours) {
        p.skipped = true; // the picture's colours are still being made
        return p;
    }
    // The sample is taken here, on the drain, never in the input handler.
    const ColourCache& colours = *brush->colours;
    if (brush->continuous || !m_strokeSample)
        m_strokeSample = colourUnderStamp(colours, p.x, p.y, p.width, p.height);
    p.colours = brush->colours;
    p.reach = {*m_strokeSample, brush->protectedColour, brush->tolerance};
    return p;
}

void StrokeDrain::drawStamps(const std::vector<PendingStamp>& batch)
{
    const AlphaPlane plane = m_mask.plane();
    QRect touched;
    qint64 work = 0;
    for (const PendingStamp& p : batch) {
        if (p.skipped)
            continue;
        const QRect area = stampArea(plane, p.x, p.y, p.width, p.height);
        touched |= area;
        work += qint64(area.width()) * area.height();
    }
    if (touched.isEmpty())
        return;
    m_mask.markChanged(touched);
    // Each thread draws every stamp of the batch, in order, over its own band
    // of rows: the same pixels as one thread drawing them one after another.
    const int bands = work > 400000 ? 2 : 1;
    ParallelFor::run(touched.height(), touched.height() / bands, [&](int begin, int end) {
        const QRect rows(0, touched.top() + begin, 1, end - begin);
        for (const PendingStamp& p : batch) {
            if (p.skipped)
                continue;
            if (p.colours)
                drawColourStamp(plane, *p.colours, p.stamp.get(), p.x, p.y, p.width, p.height,
                                p.alpha, p.reach, rows);
            else
                drawStamp(plane, p.stamp.get(), p.x, p.y, p.width, p.height, p.alpha, rows);
        }
    });
}

bool StrokeDrain::applyCoverage(const ColourCoverage& coverage, std::uint8_t alpha)
{
    if (m_mask.isNull() || coverage.plane.size() != maskSize())
        return false;
    const QRect changed = ::applyCoverage(m_mask.plane(), coverage, alpha);
    if (!changed.isEmpty()) {
        m_mask.markChanged(changed);
        const QRect area = m_mask.changedArea();
        m_publish(m_mask.publish(), area);
    }
    return true;
}

void StrokeDrain::createNewMask()
{
    QSizeF size;
    QImage snapshot;
    {
        std::lock_guard lock(m_pictureMutex);
        size = m_pictureSize;
        snapshot = std::exchange(m_pendingSnapshot, QImage());
    }
    m_mask.clear();
    const QSize mask = maskSizeFor(size);
    if (mask.isEmpty()) {
        m_maskSize = 0;
        return;
    }
    const QSizeF fitted = AspectFitSize(size, QSizeF(maskSide, maskSide));
    m_maskScale = size.width() > fitted.width() ? float(fitted.width() / size.width()) : 1.0f;
    // A picture less than a mask pixel high or wide still gets a row or column.
    m_mask.create(mask.width(), mask.height(), snapshot);
    // Published once whole: loadMask checks against it from the main thread.
    m_maskSize = std::uint64_t(m_mask.width()) << 32 | std::uint64_t(m_mask.height());
    updateStamp();
}
