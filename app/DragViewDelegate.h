#pragma once

#include <QList>
#include <QUrl>

// What the drop zone (DragView) tells its owner about drags over it. All calls
// come on the main thread, inside the drag event that caused them.
class DragViewDelegate {
public:
    virtual ~DragViewDelegate() = default;

    // Exactly once per drop: the dropped local files in order with needsWait
    // false; or picture data that the drop zone wrote into new files in the
    // caches folder, with needsWait true (the receiver may retry reading them);
    // or an empty list and false when nothing usable was dropped.
    virtual void draggingFilesComplete(const QList<QUrl>& urls, bool needsWait) = 0;

    // A drag over the view moved, or a new drag began (newSession true), with
    // the URLs the drag carries. Not repeated while the drag is held still.
    virtual void draggingFilesPerform(const QList<QUrl>& urls, bool newSession)
    {
        Q_UNUSED(urls);
        Q_UNUSED(newSession);
    }

    // A drag left the view.
    virtual void draggingFilesExited() {}

    // A drag that entered the view ended without a drop on it.
    virtual void draggingFilesCancelled() {}
};
