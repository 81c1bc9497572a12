#pragma once

class QString;
class ZRImageCutView;

// What the canvas reports to its owner. Every report is optional: the default
// bodies do nothing.
class ZRImageCutViewDelegate {
public:
    virtual ~ZRImageCutViewDelegate() = default;

    // After every snapshot record, undo step and redo step; main thread.
    virtual void cutViewDidChangeHistoryState(ZRImageCutView* view) { (void)view; }
    // Once at each press on a canvas with a picture, before the first stamp.
    virtual void cutViewWillStartDraw(ZRImageCutView* view) { (void)view; }
    // Once after each release has been handled.
    virtual void cutViewDidEndDraw(ZRImageCutView* view) { (void)view; }
    // After the tool, the tolerance (dragged with By colour) or the
    // protected colour changed at the canvas (keys, drags, Alt+click).
    virtual void cutViewDidChangeToolSettings(ZRImageCutView* view) { (void)view; }
    // The canvas could not take its picture (no memory for its mask, say)
    // and has emptied itself; main thread.
    virtual void cutViewDidRefusePicture(ZRImageCutView* view, const QString& reason)
    {
        (void)view;
        (void)reason;
    }
    // The Subject or Box tool changed what it shows (progress, ready, a box
    // done); `status`, when not empty, says what happened, for the status bar.
    virtual void cutViewDidReportSubject(ZRImageCutView* view, const QString& status)
    {
        (void)view;
        (void)status;
    }
    // After a diameter request, with the value as requested (before clamping).
    virtual void cutViewDidChangeBrushDiameter(ZRImageCutView* view, float diameter)
    {
        (void)view;
        (void)diameter;
    }
    // An undo snapshot could not be written (`reason`, the system's): the
    // states without one cannot be gone back to. Once, until a snapshot is
    // written again; main thread.
    virtual void cutViewHistoryCouldNotBeWritten(ZRImageCutView* view, const QString& reason)
    {
        (void)view;
        (void)reason;
    }
};
