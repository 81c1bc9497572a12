#pragma once

#include <QImage>
#include <QRect>
#include <QSizeF>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

// The refined edge of the part of the picture on screen, for zooms where one
// mask pixel covers more than one screen pixel (EdgeRefine::refineRegion):
// made off the main thread after each stroke or view change, and kept for
// as long as the mask and the visible part stay the same. Until it arrives
// the canvas shows the stretched mask.
//
// Threads: used on the main thread; the refinement runs on the background
// pool and hands its result back to the main thread, where `arrived` runs.
class RefinedView {
public:
    explicit RefinedView(std::function<void()> arrived);
    ~RefinedView();
    RefinedView(const RefinedView&) = delete;
    RefinedView& operator=(const RefinedView&) = delete;

    // The picture through its refined mask (premultiplied, picture pixels)
    // over a region holding `visible`, and that region; null until made. A
    // mask of another version, or a part of the picture not covered, starts
    // the work for it (and drops a run for an older one).
    const QImage& lookup(const QImage& picture, const QImage& mask, std::uint64_t maskVersion,
                         QSizeF pictureSize, const QRect& visible, QRect* region);
    // Forgets what was made, as for a new picture.
    void clear();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::function<void()> m_arrived;
    QImage m_image;
    QRect m_region;
    std::uint64_t m_version = 0;
    QRect m_asked;
    std::uint64_t m_askedVersion = 0;
};
