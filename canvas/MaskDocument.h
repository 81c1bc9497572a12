#pragma once

#include "canvas/HistoryStore.h"
#include "canvas/SessionOrphans.h"
#include "canvas/SessionRecord.h"
#include "canvas/StrokeDrain.h"
#include "platform/SerialQueue.h"

#include <QFutureSynchronizer>

#include <QImage>
#include <QRect>
#include <QSizeF>
#include <QString>

#include <cstdint>
#include <array>
#include <deque>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

struct ColourCoverage;

// The mask's side of the canvas, without a widget: the stroke drain and the
// undo store, and the serial queue on which they meet. A stroke's end
// becomes a history state; an undo or redo step hands its snapshot to the
// drain for the picture it was asked for; a new picture queues its mask and
// a fresh history.
//
// Threads: this class owns the serial queue "serial que" and joins it at its
// end, after running what was queued before it began to close; what those
// tasks queue then is dropped, so that quitting never waits on a colour
// selection still reaching ahead. Every drain, every history step
// and every snapshot write runs there, one at a time in submission order, so
// the mask, the history folder and the counters' changes need no further
// lock. The operations below are called on the main thread (undo and redo
// from any thread); the reports come from the queue. Each is decided on the
// queue in the order it was asked, with the strokes input before it and
// none input after it (EventBuffer), so the same input gives the same mask
// and history whatever the timing. A queued task that
// throws is reported as a failure of the picture it was queued for, never
// ends the process.
//
// The session record beside the snapshots is written on the queue after
// every record, undo and redo, once the session has a picture. A picture
// without a file is kept as a PNG copy in the folder, encoded in the
// background; this class waits for that work at its end.
class MaskDocument {
public:
    struct Reports {
        StrokeDrain::Publish maskPublished;
        std::function<void()> historyChanged; // after each record, undo and redo
        std::function<void(std::uint64_t picture, const QString& reason)> failed;
        // A snapshot could not be written: told once, until one is written again.
        std::function<void(const QString& reason)> historyUnwritable;
    };

    explicit MaskDocument(Reports reports);
    ~MaskDocument();
    MaskDocument(const MaskDocument&) = delete;
    MaskDocument& operator=(const MaskDocument&) = delete;

    StrokeDrain& drain() { return m_drain; }
    const StrokeDrain& drain() const { return m_drain; }
    HistoryStore& history() { return m_history; }
    // An id of the current state's mask: each recorded state gets a new one,
    // and undo and redo come back to the id of the state they reach. Any thread.
    qint64 revision() const { return m_revision.load(); }
    const HistoryStore& history() const { return m_history; }
    SerialQueue& queue() { return m_queue; }

    // A new picture of `size` points: waiting stamps and snapshots dropped,
    // its mask and its first history state queued.
    void setPicture(QSizeF size);
    // Queues one drain of the stamps input so far.
    void updateMap();
    // Queues the drain that takes the end-of-stroke marker just appended.
    void endStroke();
    // Whether input that may change the cut (a stroke's end, an undo or
    // redo, a reset, a loaded mask, a colour selection applied) is still
    // queued: the history's counters and revision do not show it yet.
    // Any thread.
    bool hasQueuedEdits() const { return m_editsDone.load() != m_editsQueued.load(); }
    // The mask back to 255 everywhere, as one history state.
    void resetMask();
    // `mask` (Format_Alpha8, the mask's own size, top row first) becomes the
    // mask, as one history state. False, changing nothing, for another size.
    bool loadMask(const QImage& mask);
    // Queues `coverage`, which makes a plane of the mask's size on the queue;
    // it is blended into the mask with `alpha` as one history state, behind
    // the drains already waiting. A plane that does not fit the mask (a null
    // one: the selection was cancelled) changes and records nothing.
    void applyCoverage(std::function<ColourCoverage()> coverage, std::uint8_t alpha);
    // Queues other work of the canvas that must run in order with the mask's.
    void post(std::function<void()> task) { onQueue(std::move(task)); }
    // Queues `task`, which only reads, behind everything input so far: for
    // readers of the mask that input will make. Once the document closes it
    // is dropped, with what it holds, unrun.
    void whenDrawn(std::function<void()> task) const;
    // Counters reset now and again on the queue, the folder emptied there,
    // and the first state queued behind the drains already waiting.
    void clearHistory();
    // Queued always: whether a step is possible is decided on the queue,
    // after the strokes and steps asked for before it.
    void undo();
    void redo();

    // The session record, for the brush and the view the canvas notes.
    SessionRecord& session() { return m_session; }
    // The current picture came from `path` (empty for dropped or pasted
    // data: `picture`, its pixels, is then kept as a copy); its size in
    // points is `size`. From here on the session record is written.
    void setSessionPicture(const QString& path, QSizeF size, const QImage& picture);
    // The state of `revision` was saved: a session there is not offered.
    void markSessionSaved(qint64 revision);
    // The user closed the picture or discarded its cuts: the record goes.
    void endSession();
    // Like setPicture, but the mask, the history and the record come from
    // `orphan`, whose files move into our folder. `done` is told on the queue
    // whether the current state's snapshot came back.
    void restorePicture(QSizeF size, const SessionOrphans::Orphan& orphan,
                        std::function<void(bool)> done);
    // Tests and tools: returns when the queue has run everything queued so
    // far, and the kept copies being encoded are written.
    void waitUntilIdle();

private:
    // `edit`: the input may change the cut (hasQueuedEdits).
    enum class Edit { No, Yes };
    void onQueue(std::function<void()> task, Edit edit = Edit::No);
    // The same, with m_orderMutex held for an edit.
    void queueLocked(std::function<void()> task, Edit edit);
    void record();
    // What was input when a task was queued: the stamps so far and the brush
    // they were made with, and how many marks the task owns (see m_marks).
    struct Input {
        std::uint64_t before;
        StrokeDrain::Brush brush;
        int marks;
    };
    // A drain goes as far as it may; a barrier is work that strokes input
    // after it must not be drawn before (a step, a reset, a reader).
    enum class Order { Drain, Barrier };
    void onInput(std::function<void(const Input&)> task, Edit edit, Order order);
    // Draws the stamps waiting from `input` on, up to the next mark.
    void drainInput(const Input& input);
    void step(int direction, std::uint64_t picture, const Input& input);
    void writeSession();

    const Reports m_reports;
    StrokeDrain m_drain;
    HistoryStore m_history;
    SessionRecord m_session;
    qint64 m_savedRevision = 0;         // queue only
    QFutureSynchronizer<void> m_copies; // kept copies being encoded
    // The revision of each slot's state, and of the current one (queue writes).
    std::array<std::atomic<qint64>, HistoryStore::slotCount> m_slotRevisions{};
    std::atomic<qint64> m_revision{0};
    qint64 m_lastRevision = 0;
    bool m_historyWritable = true; // queue only: the last snapshot was written
    // Buffer positions (EventBuffer numbers) that stamps must not be drawn
    // across before the task owning each has run: where a barrier was
    // queued, and where the brush changed. In queue order; each task pops its
    // own when it starts. With none waiting, a drain takes all there is, as
    // a lagging queue needs.
    std::mutex m_orderMutex;
    std::deque<std::uint64_t> m_marks;
    std::uint64_t m_lastBefore = 0;  // under m_orderMutex
    StrokeDrain::Brush m_lastBrush;  // under m_orderMutex
    std::atomic<qint64> m_editsQueued{0}; // written under m_orderMutex
    std::atomic<qint64> m_editsDone{0};   // queue writes
    std::atomic<bool> m_closing{false};
    SerialQueue m_queue{"serial que"}; // last: joined before the rest goes
};
