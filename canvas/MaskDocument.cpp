#include "canvas/MaskDocument.h"

#include "imaging/ColourRegion.h"
#include "imaging/PngCodec.h"
#include "platform/SerialQueue.h"

#include <QFile>
#include <QtConcurrent>

MaskDocument::MaskDocument(Reports reports)
    : m_reports(std::move(reports)), m_drain(m_reports.maskPublished, [this] { record(); }),
      m_session(m_history.directory()) // the folder exists, and is locked, from the start
{
}

MaskDocument::~MaskDocument()
{
    // A kept copy still being encoded queues its last step: it goes first.
    // Then the queue, a member to its end, runs what is already queued (it
    // may touch the mask and the history) and is joined before the drain and
    // the store go. What those tasks queue from here on (an undo's redraw, a
    // selection reaching ahead) is dropped: quitting is not held up by it.
    m_copies.waitForFinished();
    m_closing = true;
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
    onInput([this](const Input& input) { drainInput(input); }, Edit::No, Order::Drain);
}

void MaskDocument::endStroke()
{
    onInput([this](const Input& input) { drainInput(input); }, Edit::Yes, Order::Drain);
}

void MaskDocument::resetMask()
{
    // On the queue, so that the strokes input before it are drawn first and
    // those after it over the fresh mask; a snapshot an undo left waiting
    // for the next drain is replaced by none.
    onInput(
        [this, picture = m_drain.generation()](const Input& input) {
            if (!m_drain.offerSnapshot(picture, QImage()))
                return;
            m_drain.run(input.before, &input.brush);
            record();
        },
        Edit::Yes, Order::Barrier);
}

bool MaskDocument::loadMask(const QImage& mask)
{
    if (mask.isNull() || mask.format() != QImage::Format_Alpha8 || mask.size() != m_drain.maskSize())
        return false;
    onInput(
        [this, mask, picture = m_drain.generation()](const Input& input) {
            if (m_drain.offerSnapshot(picture, mask))
                m_drain.run(input.before, &input.brush);
            record();
        },
        Edit::Yes, Order::Barrier);
    return true;
}

void MaskDocument::applyCoverage(std::function<ColourCoverage()> coverage, std::uint8_t alpha)
{
    onInput(
        [this, coverage = std::move(coverage), alpha](const Input& input) {
            // The strokes input before it go first, and only they.
            m_drain.run(input.before, &input.brush);
            if (m_drain.applyCoverage(coverage(), alpha))
                record();
        },
        Edit::Yes, Order::Barrier);
}

void MaskDocument::whenDrawn(std::function<void()> task) const
{
    auto* self = const_cast<MaskDocument*>(this);
    self->onInput(
        [self, task = std::move(task)](const Input& input) {
            self->m_drain.run(input.before, &input.brush); // what was input before it, no more
            task();
        },
        Edit::No, Order::Barrier);
}

void MaskDocument::clearHistory()
{
    // The folder is emptied on the queue, behind any snapshot write of the
    // previous picture that is still waiting there; the counters are reset
    // again there so that no step that ran meanwhile leaves its mark.
    m_history.resetCounters();
    onQueue([this] {
        m_history.clear();
        m_session.forget();
    });
    onQueue([this] { record(); }); // the picture as opened: nothing to save yet
}

void MaskDocument::undo()
{
    onInput([this, picture = m_drain.generation()](const Input& input) { step(-1, picture, input); },
            Edit::Yes, Order::Barrier);
}

void MaskDocument::redo()
{
    // Not judged here against counters that queued steps have yet to move:
    // after two quick undos, a redo must still find the state they left.
    onInput([this, picture = m_drain.generation()](const Input& input) { step(+1, picture, input); },
            Edit::Yes, Order::Barrier);
}

void MaskDocument::waitUntilIdle()
{
    m_copies.waitForFinished(); // their last step is queued
    m_queue.waitUntilIdle();
}

void MaskDocument::onInput(std::function<void(const Input&)> task, Edit edit, Order order)
{
    // Under the lock, so that the marks and the tasks that own them are in
    // one order, whatever thread asks.
    std::lock_guard lock(m_orderMutex);
    Input input{m_drain.buffer().appended(), m_drain.brushNow(), 0};
    const StrokeDrain::Brush& brush = input.brush;
    if (brush.hardness != m_lastBrush.hardness || brush.alpha != m_lastBrush.alpha ||
        brush.colour != m_lastBrush.colour) {
        // The stamps since the last task was queued are the first with this brush.
        m_marks.push_back(m_lastBefore);
        ++input.marks;
        m_lastBrush = brush;
    }
    if (order == Order::Barrier) {
        m_marks.push_back(input.before);
        ++input.marks;
    }
    m_lastBefore = input.before;
    queueLocked(
        [this, task = std::move(task), input] {
            {
                std::lock_guard lock(m_orderMutex);
                for (int i = 0; i < input.marks && !m_marks.empty(); ++i)
                    m_marks.pop_front();
            }
            task(input);
        },
        edit);
}

void MaskDocument::drainInput(const Input& input)
{
    // Up to the first mark of work queued after this drain: stamps input
    // since it was queued may be drawn now, with its brush, unless something
    // that must come between them (an undo, a reset, another brush) waits.
    // Barriers themselves draw only what came before them (nothing, but for
    // the mask they rebuild): a stroke they took would be recorded first.
    std::uint64_t before;
    {
        std::lock_guard lock(m_orderMutex);
        before = m_marks.empty() ? UINT64_MAX : std::max(input.before, m_marks.front());
    }
    m_drain.run(before, &input.brush);
}

void MaskDocument::onQueue(std::function<void()> task, Edit edit)
{
    if (edit == Edit::No) {
        queueLocked(std::move(task), edit);
        return;
    }
    std::lock_guard lock(m_orderMutex);
    queueLocked(std::move(task), edit);
}

void MaskDocument::queueLocked(std::function<void()> task, Edit edit)
{
    if (m_closing.load())
        return;
    // Edits are numbered in the order they are queued (undo and redo may be
    // asked from any thread; the caller holds the order lock for an edit),
    // so the last one run tells how far the queue is.
    const qint64 number = edit == Edit::Yes ? ++m_editsQueued : 0;
    // A task that throws (no memory for a picture's mask, say) must not end
    // the process: the picture it worked for is refused instead.
    m_queue.async([this, task = std::move(task), picture = m_drain.generation(), number] {
        try {
            task();
        } catch (const std::exception& failure) {
            m_reports.failed(picture, QString::fromLocal8Bit(failure.what()));
        } catch (...) {
            m_reports.failed(picture, QStringLiteral("unknown failure"));
        }
        if (number != 0)
            m_editsDone = number; // edits run in the order they were numbered
    });
}

void MaskDocument::record()
{
    const QString unwritten = m_history.record(m_drain.maskPlane());
    if (!unwritten.isEmpty() && m_historyWritable && m_reports.historyUnwritable)
        m_reports.historyUnwritable(unwritten);
    m_historyWritable = unwritten.isEmpty();
    const qint64 slot = m_history.fileIndex();
    m_revision = ++m_lastRevision;
    if (slot >= 0)
        m_slotRevisions[std::size_t(slot)] = m_lastRevision;
    // A picture as opened counts as saved: its first state is one.
    if (m_history.length() == 1 && m_history.currentState() == 0)
        m_savedRevision = m_lastRevision;
    writeSession();
    m_reports.historyChanged();
}

void MaskDocument::step(int direction, std::uint64_t picture, const Input& input)
{
    // A step asked for before a newer picture came leaves the new one alone;
    // so does its snapshot if the new picture comes while it decodes.
    if (picture != m_drain.generation())
        return;
    const std::optional<QImage> snapshot = m_history.step(direction, m_drain.maskSize());
    if (!snapshot || !m_drain.offerSnapshot(picture, *snapshot))
        return;
    m_revision = m_slotRevisions[std::size_t(m_history.fileIndex())].load();
    // The snapshot becomes the mask now, before anything queued after the
    // step; the strokes input before it were drawn by their own drains.
    m_drain.run(input.before, &input.brush);
    writeSession();
    m_reports.historyChanged();
}

void MaskDocument::writeSession()
{
    m_session.write(m_history.length(), m_history.currentState(), m_history.fileIndex(),
                    m_revision.load() == m_savedRevision);
}

void MaskDocument::setSessionPicture(const QString& path, QSizeF size, const QImage& picture)
{
    const std::uint64_t generation = m_drain.generation();
    SessionRecord::Picture info;
    info.path = path;
    info.size = size;
    onQueue([this, info, generation] {
        if (generation != m_drain.generation())
            return;
        m_session.setPicture(info);
        writeSession();
    });
    if (!path.isEmpty() || picture.isNull())
        return;
    // Encoding a 24-megapixel picture takes a few hundred milliseconds: in
    // the background. The record names the copy once it is whole; a copy
    // that comes after its picture was replaced or closed is deleted.
    const QString name = QStringLiteral("picture-%1.png").arg(generation);
    const QString file = m_history.directory() + name;
    m_copies.addFuture(QtConcurrent::run([this, picture, file, name, generation] {
        const QByteArray png = PngCodec::encode(picture);
        const bool written = !png.isEmpty() && SessionRecord::writeWhole(file, png);
        onQueue([this, file, name, generation, written] {
            if (!written || generation != m_drain.generation() || !m_session.hasPicture()) {
                QFile::remove(file);
                return;
            }
            m_session.setCopy(name);
            writeSession();
        });
    }));
}

void MaskDocument::markSessionSaved(qint64 revision)
{
    onQueue([this, revision] {
        m_savedRevision = revision;
        writeSession();
    });
}

void MaskDocument::endSession()
{
    onQueue([this] { m_session.remove(); });
}

void MaskDocument::restorePicture(QSizeF size, const SessionOrphans::Orphan& orphan,
                                  std::function<void(bool)> done)
{
    m_drain.setPicture(size);
    m_drain.setNeedsNewMask(true);
    updateMap(); // the fresh mask has the size the snapshots are checked against
    m_history.resetCounters();
    onInput([this, orphan, done, picture = m_drain.generation()](const Input& input) {
        if (picture != m_drain.generation()) {
            done(false); // a newer picture came first: the orphan stays as it is
            return;
        }
        m_history.clear();
        m_session.forget();
        const bool moved = SessionOrphans::moveInto(orphan, m_history.directory());
        const SessionRecord::Contents& r = orphan.record;
        m_history.adopt(r.length, r.current, r.fileIndex);
        // Fresh revisions for the states that came back; none of them counts
        // as saved.
        for (qint64 i = 0; i < r.length; ++i) {
            const qint64 slot = ((r.fileIndex - (r.current - i)) % HistoryStore::slotCount +
                                 HistoryStore::slotCount) %
                                HistoryStore::slotCount;
            m_slotRevisions[std::size_t(slot)] = ++m_lastRevision;
        }
        m_revision =
            r.fileIndex >= 0 ? m_slotRevisions[std::size_t(r.fileIndex)].load() : ++m_lastRevision;
        m_savedRevision = 0;
        const std::optional<QImage> snapshot =
            moved ? m_history.load(r.fileIndex, m_drain.maskSize()) : std::optional<QImage>();
        const bool restored =
            snapshot && !snapshot->isNull() && m_drain.offerSnapshot(picture, *snapshot);
        if (restored)
            m_drain.run(input.before, &input.brush);
        m_session.setPicture(r.picture); // the file as it is now, if it changed
        writeSession();
        m_reports.historyChanged();
        done(restored);
    }, Edit::No, Order::Barrier);
}
