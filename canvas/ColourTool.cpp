#include "canvas/ColourTool.h"

#include "canvas/MaskDocument.h"
#include "imaging/ColourRegion.h"

#include <QPainter>

#include <algorithm>

namespace {

// Pixels the flood goes on with per queued step between a drag's moves:
// about 3 ms, so a stroke or a move never waits long behind one.
constexpr int reachAheadPixels = 250000;

} // namespace

// The overlay: the tint at half strength where the region is taken,
// premultiplied, for the coverage's bounds.
QImage ColourTool::tintedCoverage(const ColourCoverage& coverage, QRgb tint)
{
    const QRect b = coverage.bounds;
    if (coverage.plane.isNull() || b.isEmpty())
        return {};
    QImage out(b.size(), QImage::Format_ARGB32_Premultiplied);
    if (out.isNull())
        return {};
    // Each coverage value's pixel, worked out once.
    std::uint32_t lookup[256];
    for (std::uint32_t c = 0; c < 256; ++c) {
        const std::uint32_t a = (c + 1) / 2; // half strength
        auto channel = [a](std::uint32_t v) { return (v * a + 127) / 255; };
        lookup[c] = a << 24 | channel(qRed(tint)) << 16 | channel(qGreen(tint)) << 8 |
                    channel(qBlue(tint));
    }
    for (int y = 0; y < b.height(); ++y) {
        const std::uint8_t* in = coverage.plane.constScanLine(b.top() + y) + b.left();
        auto* row = reinterpret_cast<std::uint32_t*>(out.scanLine(y));
        for (int x = 0; x < b.width(); ++x)
            row[x] = lookup[in[x]];
    }
    return out;
}

ColourTool::ColourTool(MaskDocument& document, std::function<void()> overlayChanged)
    : m_document(document), m_overlayChanged(std::move(overlayChanged)),
      m_region(std::make_unique<ColourRegion>())
{
}

ColourTool::~ColourTool() = default;

void ColourTool::setTool(CutTool tool)
{
    if (tool == m_tool)
        return;
    if (m_regionActive)
        cancelRegion();
    m_tool = tool;
    pushBrush();
}

void ColourTool::setTolerance(double tolerance)
{
    m_tolerance = std::clamp(tolerance, 0.0, 100.0);
    pushBrush();
}

void ColourTool::setSamplesContinuously(bool on)
{
    m_continuous = on;
    pushBrush();
}

void ColourTool::setProtectedColour(std::optional<LabColour> colour)
{
    m_protected = colour;
    pushBrush();
}

void ColourTool::setColours(std::shared_ptr<const ColourCache> colours)
{
    m_colours = std::move(colours);
    pushBrush();
}

std::optional<LabColour> ColourTool::colourAt(QPoint maskPixel) const
{
    if (!m_colours || maskPixel.x() < 0 || maskPixel.y() < 0 || maskPixel.x() >= m_colours->width() ||
        maskPixel.y() >= m_colours->height())
        return std::nullopt;
    return m_colours->medianAround(maskPixel.x(), maskPixel.y());
}

void ColourTool::pushBrush()
{
    if (m_tool != CutTool::Background) {
        m_document.drain().setColourBrush(nullptr);
        return;
    }
    auto brush = std::make_shared<ColourBrush>();
    brush->colours = m_colours;
    brush->tolerance = m_tolerance;
    brush->continuous = m_continuous;
    brush->protectedColour = m_protected;
    m_document.drain().setColourBrush(std::move(brush));
}

// ---------------------------------------------------------------- the region

void ColourTool::beginRegion(QPoint seed, double softness, QRgb tint)
{
    m_regionActive = true;
    m_regionTolerance = m_tolerance;
    m_wantedTolerance = m_tolerance;
    const std::uint64_t selection = ++m_selection;
    const auto extent = m_contiguous ? ColourRegion::Extent::Contiguous : ColourRegion::Extent::Global;
    m_document.post([this, colours = m_colours, seed, extent, softness, tint, selection] {
        if (selection != m_selection.load())
            return; // cancelled before it started
        m_softness = softness;
        m_tint = tint;
        m_region->start(colours, seed, extent);
        updateOnQueue();
    });
}

void ColourTool::dragRegion(double tolerance)
{
    if (!m_regionActive)
        return;
    m_regionTolerance = std::clamp(tolerance, 0.0, 100.0);
    m_wantedTolerance = m_regionTolerance;
    queueUpdate();
}

void ColourTool::queueUpdate()
{
    // One waiting update at a time: it reads the newest tolerance when it runs.
    if (m_updateQueued.exchange(true))
        return;
    m_document.post([this, selection = m_selection.load()] {
        m_updateQueued = false;
        if (selection == m_selection.load())
            updateOnQueue();
    });
}

void ColourTool::updateOnQueue()
{
    if (!m_region->isActive())
        return;
    const ColourCoverage coverage = m_region->coverage(m_wantedTolerance.load(), m_softness);
    setOverlay({tintedCoverage(coverage, m_tint), coverage.bounds});
    reachAheadOnQueue(m_selection.load());
}

void ColourTool::reachAheadOnQueue(std::uint64_t selection)
{
    // Between moves the flood goes on in steps, each queued behind whatever
    // came meanwhile, until it is through or the selection ends.
    m_document.post([this, selection] {
        if (selection != m_selection.load() || m_updateQueued.load() || !m_region->isActive())
            return;
        if (m_region->reachAhead(reachAheadPixels))
            reachAheadOnQueue(selection);
    });
}

void ColourTool::commitRegion(std::uint8_t alpha)
{
    if (!m_regionActive)
        return;
    m_regionActive = false;
    // Queued behind the press's start, so a click as quick as the events
    // come still selects; a later press starts a new selection after it.
    const double tolerance = m_regionTolerance;
    m_document.applyCoverage(
        [this, tolerance] {
            ColourCoverage coverage;
            if (m_region->isActive())
                coverage = m_region->coverage(tolerance, m_softness);
            m_region->reset();
            setOverlay({});
            return coverage;
        },
        alpha);
}

void ColourTool::cancelRegion()
{
    if (!m_regionActive)
        return;
    m_regionActive = false;
    ++m_selection;
    m_document.post([this] {
        m_region->reset();
        setOverlay({});
    });
}

// ---------------------------------------------------------------- the overlay

void ColourTool::setOverlay(Overlay overlay)
{
    {
        std::lock_guard lock(m_overlayMutex);
        if (overlay.bounds.isEmpty() && m_overlay.bounds.isEmpty())
            return;
        m_overlay = std::move(overlay);
    }
    ++m_overlayCount;
    m_overlayChanged();
}

QRect ColourTool::overlayBounds() const
{
    std::lock_guard lock(m_overlayMutex);
    return m_overlay.bounds;
}

void ColourTool::paintOverlay(QImage& frame, const QRect& area, const ViewTransform& t,
                              QSizeF pictureSize, QSize maskSize) const
{
    Overlay overlay;
    {
        std::lock_guard lock(m_overlayMutex);
        overlay = m_overlay; // shares the image
    }
    paintTinted(frame, area, t, pictureSize, maskSize, overlay.tinted, overlay.bounds);
}

void ColourTool::paintTinted(QImage& frame, const QRect& area, const ViewTransform& t,
                             QSizeF pictureSize, QSize maskSize, const QImage& tinted,
                             const QRect& b)
{
    if (tinted.isNull() || maskSize.isEmpty() || pictureSize.isEmpty() || !(t.scale > 0))
        return;
    // Mask pixels to frame pixels: the picture's transform, y flipped.
    const double sx = pictureSize.width() / maskSize.width();
    const double sy = pictureSize.height() / maskSize.height();
    const QPointF low = t.map({b.left() * sx, pictureSize.height() - (b.bottom() + 1) * sy}, pictureSize);
    const QPointF high = t.map({(b.right() + 1) * sx, pictureSize.height() - b.top() * sy}, pictureSize);
    const QRectF target(QPointF(low.x(), frame.height() - high.y()),
                        QPointF(high.x(), frame.height() - low.y()));
    QPainter painter(&frame);
    painter.setClipRect(area);
    painter.drawImage(target, tinted);
}
