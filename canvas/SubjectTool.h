#pragma once

#include "canvas/ViewTransform.h"

#include <QImage>
#include <QRect>
#include <QRgb>
#include <QSize>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class MaskDocument;
class QObject;
class SubjectWorker;

// The Subject and Box tools' side of the canvas, without a widget: the
// subject found for the shown picture, the box being worked on, and how
// each becomes one step of the mask.
//
// Subject: each new picture starts finding its subject in the background
// (SubjectFinder: the network, then GrabCut) unless findsOnOpen is off; a
// click applies it at once when it is ready, else as soon as it is. The
// surroundings are blended towards the brush's intensity, as By colour's
// region is.
// Box: GrabCut inside a box of mask pixels, seeded by the subject's
// probability when it is there; the object is kept and everything else
// (inside the box only, or everywhere) blended towards the intensity.
//
// Threads: everything public is called on the main thread, and `changed`
// is called there after each change a user can see (progress, ready, a box
// done) with a status text when there is one to tell. The work runs on one
// low-priority thread of this object's own, one job at a time; a new picture
// cancels what runs for the old one (the network stops at its next
// checkpoint) and drops what it would have delivered.
class SubjectTool {
public:
    enum class State { Idle, Working, Ready, Failed };

    SubjectTool(MaskDocument& document, QObject* context,
                std::function<void(const QString& status)> changed);
    ~SubjectTool();
    SubjectTool(const SubjectTool&) = delete;
    SubjectTool& operator=(const SubjectTool&) = delete;

    // Whether a new picture starts finding its subject at once (else the
    // first click starts it).
    bool findsOnOpen() const { return m_findsOnOpen; }
    void setFindsOnOpen(bool on) { m_findsOnOpen = on; }
    // The model file used (empty: none installed, GrabCut alone). Tests and
    // tools may set another; by default SubjectNetwork::findModel().
    QString modelPath() const { return m_modelPath; }
    void setModelPath(const QString& path) { m_modelPath = path; }

    // A new picture: `bitmap` at full size, the mask of `maskSize`. Cancels
    // the old picture's work; null forgets the picture.
    void setPicture(const QImage& bitmap, QSize maskSize);
    // The same picture at a better resolution: later jobs read it.
    void replaceBitmap(const QImage& bitmap);

    State state() const { return m_state; }
    // 0..1 while working.
    double progress() const { return m_progress.load(); }
    // The subject is found and its network map is there (not GrabCut alone).
    bool probabilityReady() const;

    // Starts finding the subject if nothing has yet.
    void prepare();
    // Cuts what is not the subject, blending towards `alpha`, as one history
    // state: now if the subject is found, else once it is.
    void applySubject(std::uint8_t alpha);
    // A click that waits for the subject.
    bool applyPending() const { return m_pendingAlpha.has_value(); }
    // While the panel's button is held: the subject as the overlay's tint.
    void showSubject(bool on, QRgb tint);

    // Box: finds the object in `box` (mask pixels) and applies it as one
    // history state, keeping the rest of the cut outside the box when
    // `onlyInside`. One box at a time: a new one replaces a waiting one.
    void applyBox(QRect box, bool onlyInside, std::uint8_t alpha);
    void cancelBox();
    bool boxActive() const { return m_box.has_value(); }
    QRect boxArea() const { return m_box ? m_box->area : QRect(); }

    // Draws the subject's overlay while it is shown.
    void paintOverlay(QImage& frame, const QRect& area, const ViewTransform& t, QSizeF pictureSize,
                      QSize maskSize) const;

    // Tests and tools: whether a job runs or waits, and a way to wait for none.
    bool busy() const;
    void waitUntilIdle();

private:
    struct Found;
    struct BoxJob {
        QRect area;
        bool onlyInside = false;
        std::uint8_t alpha = 0;
        std::uint64_t id = 0;
    };

    void startSubject();
    void subjectArrived(std::uint64_t picture, std::shared_ptr<const Found> found);
    void boxArrived(std::uint64_t picture, std::uint64_t id, QRect area, const QImage& alpha);
    void commitSubject(std::uint8_t alpha);
    void report(const QString& status);

    MaskDocument& m_document;
    QObject* const m_context;
    const std::function<void(const QString&)> m_changed;
    std::unique_ptr<SubjectWorker> m_worker;

    // Main thread.
    bool m_findsOnOpen = true;
    QString m_modelPath;
    QImage m_bitmap;
    QSize m_maskSize;
    std::uint64_t m_picture = 0; // bumped by each new picture
    State m_state = State::Idle;
    std::shared_ptr<const Found> m_found;
    std::optional<std::uint8_t> m_pendingAlpha;
    std::optional<BoxJob> m_box;
    std::uint64_t m_boxIds = 0;
    std::shared_ptr<std::atomic<bool>> m_boxCancelled;
    bool m_showing = false;
    QRgb m_tint = 0;
    QImage m_overlay; // premultiplied tint of the subject, the mask's size

    // The worker's thread only: the newest subject found, for the boxes
    // queued behind its job.
    std::shared_ptr<const Found> m_workerFound;
    std::uint64_t m_workerPicture = 0;

    std::atomic<double> m_progress{0};
};
