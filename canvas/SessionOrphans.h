#pragma once

#include "canvas/SessionRecord.h"

#include <QString>

#include <memory>
#include <vector>

class QLockFile;

// Sessions left behind by editors that ended without closing their picture:
// a history folder whose lock no running editor holds (the editor that took
// it is gone) and whose record holds a cut that was never saved. The lock is
// told stale by its process id: a live editor's lock is never taken, however
// old, so that a running editor's folder is never offered or emptied.
//
// Threads: any but the main one; everything here reads or moves files.
namespace SessionOrphans {

enum class PictureState { Unchanged, Changed, Vanished };

struct Orphan {
    QString folder; // the history folder, ending in a slash
    SessionRecord::Contents record;
    PictureState picture = PictureState::Vanished;
    // Held while the orphan is offered, restored or discarded, so that an
    // editor starting meanwhile neither offers nor takes it; released with
    // the last copy of the orphan.
    std::shared_ptr<QLockFile> lock;

    // The file to read the picture from: its own, or the copy we kept.
    QString pictureFile() const;
};

// Every orphan among the history folders in `base` (HistoryStore::baseFolder()),
// newest record first, each locked for the caller.
std::vector<Orphan> find(const QString& base);

// Whether the picture of `record` (in `folder`) is still the one it was cut on.
PictureState pictureState(const QString& folder, const SessionRecord::Contents& record);

// Deletes the orphan's folder and releases its lock. Never call it on a
// folder that is not locked for us.
void discard(const Orphan& orphan);

// Moves the orphan's snapshots and kept copy into `folder` (an emptied
// history folder of ours), then deletes what is left of its own folder and
// releases its lock. False if a snapshot the record counts on could not be
// moved (the files that did move stay where they went).
bool moveInto(const Orphan& orphan, const QString& folder);

} // namespace SessionOrphans
