#include "canvas/MaskDocument.h"

#include "imaging/ColourRegion.h"
#include "platform/SerialQueue.h"

MaskDocument::MaskDocument(Reports reports)
    : m_reports(std::move(reports)), m_drain(m_reports.maskPublished, [this] { record(); })
{
    m_history.directory(); // the folder exists, and is locked, from the start
    m_queue = std::make_unique<SerialQueue>("serial que");
}

MaskDocument::~MaskDocument()
{
    // Runs what is still queued (it may touch the mask and the history) and
    // joins the queue before the drain and the store go.
    m_queue.reset();
}

void MaskDocument::setPicture(QSizeF size)
{
    m_drain.setPicture(size);
    m_drain.setNeedsNewMask(true);
    updateMap();
    clearHistory();
}

void MaskDocument::updateMap()
{
    onQueue([this] { m_drain.run(); });
}

void MaskDocument::resetMask()
{
    m_drain.setNeedsNewMask(true);
    updateMap();
    onQueue([this] { record(); });
}

bool MaskDocument::loadMask(const QImage& mask)
{
    if (mask.isNull() || mask.format() != QImage::Format_Alpha8 || mask.size() != m_drain.maskSize())
        return false;
    onQueue([this, mask, picture = m_drain.generation()] {
        if (m_drain.offerSnapshot(picture, mask))
            m_drain.run();
        record();
    });
    return true;
}

void MaskDocument::applyCoverage(std::function<ColourCoverage()> coverage, std::uint8_t alpha)
{
    onQueue([this, coverage = std::move(coverage), alpha] {
        m_drain.run(); // strokes that came before it go first
        if (m_drain.applyCoverage(coverage(), alpha))
            record();
    });
}

void MaskDocument::clearHistory()
{
    // The folder is emptied on the queue, behind any snapshot write of the
    // previous picture that is still waiting there; the counters are reset
    // again there so that no step that ran meanwhile leaves its mark.
    m_history.resetCounters();
    onQueue([this] { m_history.clear(); });
    onQueue([this] { record(); });
}

void MaskDocument::undo()
{
    onQueue([this, picture = m_drain.generation()] { step(-1, picture); });
}

void MaskDocument::redo()
{
    if (m_history.canRedo())
        onQueue([this, picture = m_drain.generation()] { step(+1, picture); });
}

void MaskDocument::waitUntilIdle()
{
    m_queue->waitUntilIdle();
}

void MaskDocument::onQueue(std::function<void()> task)
{
    // A task that throws (no memory for a picture's mask, say) must not end
    // the process: the picture it worked for is refused instead.
    m_queue->async([this, task = std::move(task), picture = m_drain.generation()] {
        try {
            task();
        } catch (const std::exception& failure) {
            m_reports.failed(picture, QString::fromLocal8Bit(failure.what()));
        } catch (...) {
            m_reports.failed(picture, QStringLiteral("unknown failure"));
        }
    });
}

void MaskDocument::record()
{
    m_history.record(m_drain.maskPlane());
    const qint64 slot = m_history.fileIndex();
    m_revision = ++m_lastRevision;
    if (slot >= 0)
        m_slotRevisions[std::size_t(slot)] = m_lastRevision;
    m_reports.historyChanged();
}

void MaskDocument::step(int direction, std::uint64_t picture)
{
    // A step asked for before a newer picture came leaves the new one alone;
    // so does its snapshot if the new picture comes while it decodes.
    if (picture != m_drain.generation())
        return;
    const std::optional<QImage> snapshot = m_history.step(direction, m_drain.maskSize());
    if (!snapshot || !m_drain.offerSnapshot(picture, *snapshot))
        return;
    m_revision = m_slotRevisions[std::size_t(m_history.fileIndex())].load();
    updateMap();
    m_reports.historyChanged();
}
