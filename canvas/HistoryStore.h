#pragma once

#include "canvas/StampDrawing.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <array>
#include <atomic>
#include <memory>
#include <optional>

class QLockFile;

// The undo history on disk: up to 30 states of the mask, each a PNG snapshot
// ("0.his" to "30.his") in a folder of the store's own, written in a ring of
// 31 slots so that the slot the next write reuses holds the state that dropped
// out of reach at the previous one.
//
// Counters: length L (0 to 30), current state cur (0 to L - 1, -1 after a
// clear) and file index f (the slot of state cur, -1 after a clear). Whenever
// a state exists, state i lives in slot (f - (cur - i)) mod 31.
//
// Threads: record, step and clear are called by the owner's serial queue, one
// at a time, in order with the drains that draw the strokes; they are the only
// writers of the folder. The counters are atomics that any thread may read;
// resetCounters may also run on the owner's main thread, and the owner then
// queues clear() so that a step still running meanwhile leaves no mark. The
// folder is resolved, created and locked on the first call of directory(), on
// whatever thread makes it; the lock keeps a second running editor out of it.
class HistoryStore {
public:
    static constexpr int slotCount = 31;
    static constexpr qint64 stateCount = 30;

    HistoryStore();
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // "Pelmora/history/" under the caches folder, or the first of
    // "history-2/" to "history-64/" whose lock is free and that holds no
    // unsaved cut of an editor that ended without closing it (that one waits
    // to be restored), ending in a slash.
    QString directory();
    // The folder the history folders live in, and a history folder's lock.
    static QString baseFolder();
    static QString lockPath(const QString& folder);

    qint64 length() const { return m_length.load(); }
    qint64 currentState() const { return m_current.load(); }
    qint64 fileIndex() const { return m_fileIndex.load(); }
    // A redo is possible: cur <= L - 2.
    bool canRedo() const { return m_current.load() <= m_length.load() - 2; }

    // L = 0, cur = -1, f = -1.
    void resetCounters();
    // The counters reset and every entry of the folder deleted.
    void clear();
    // Makes `mask` a new state after the current one, dropping redo states
    // and, with 30 states, the oldest. Without a mask (null data) the counters
    // move but nothing is written and f stays. Returns why the snapshot could
    // not be written (a full or read-only caches folder), empty otherwise; the
    // state then has no snapshot, and its slot, whatever an earlier state
    // left in it, is never loaded for it.
    QString record(const AlphaPlane& mask);
    // An undo (direction -1) or redo (+1) step for a mask of `maskSize`.
    // Nothing when no step is possible. A slot that holds no snapshot written
    // for its state, cannot be opened, or whose snapshot is not of the mask's
    // size, logs "NO DATA PROVIDER" and changes nothing. Otherwise f and cur
    // move and the result is the slot's snapshot as Format_Alpha8, null when
    // the file does not decode.
    std::optional<QImage> step(int direction, QSize maskSize);
    // The snapshot of `slot`, checked as a step checks it, without moving anything.
    std::optional<QImage> load(qint64 slot, QSize maskSize);
    // Counters of a history whose snapshots were put in the folder from
    // elsewhere (a session brought back after a crash).
    void adopt(qint64 length, qint64 current, qint64 fileIndex);

    QString slotPath(qint64 slot);

private:
    QString m_directory;
    std::unique_ptr<QLockFile> m_lock;
    std::atomic<qint64> m_length{0};
    std::atomic<qint64> m_current{0};
    std::atomic<qint64> m_fileIndex{0};
    // Which slots hold the snapshot of the state the counters place there.
    std::array<bool, slotCount> m_written{};
};
