#pragma once

#include "canvas/EventBuffer.h"
#include "canvas/MaskStore.h"
#include "canvas/StampSlot.h"
#include "imaging/ColourCache.h"

#include <QImage>
#include <QRect>
#include <QSizeF>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

struct ColourCoverage;

// The background brush: each stamp changes only the mask pixels whose colour
// lies within the tolerance (0..100) of a sample, the colour under the
// stamp's centre (continuous) or under the stroke's first stamp, and never
// those near the protected colour (drawColourStamp). `colours` must have the
// mask's size; a stamp drawn without it changes nothing.
struct ColourBrush {
    std::shared_ptr<const ColourCache> colours;
    double tolerance = 32;
    bool continuous = true;
    std::optional<LabColour> protectedColour;
};

// The way from stroke input to the mask on screen: the event buffer's stamp
// rectangles (picture points) become brush stamps drawn into the mask, and
// each drain that changed the mask publishes an immutable image of it.
//
// The rebuild rule: a drain that finds "needs a new mask" set takes the flag
// (a request made while it builds is kept for the next drain), then replaces
// the mask with one sized for the current picture (at most 2000 x 2000 and at
// least one pixel each way, the mask scale following), filled from a waiting
// snapshot or with 255 everywhere, and publishes it whole. A snapshot belongs
// to the picture it was decoded for: each picture has a generation, and one
// offered for an earlier generation is refused.
//
// Threads: run() and everything marked "drain only" belong to the owner's
// serial queue, which calls them one at a time; it alone touches the mask.
// Input appends to the buffer from the main thread; the buffer's own mutex is
// the one lock the two share, held only while one entry is taken. The brush
// settings and the rebuild flag are atomics any thread may set; the picture
// size, the generation and the waiting snapshot are handed over under their
// own mutex; the stamp goes through a StampSlot and each stamp drawn holds its
// own reference.
class StrokeDrain {
public:
    // Receives each published mask image (Format_Alpha8, top row first) and
    // the area the drain changed (top-first rows; the whole mask after a
    // rebuild). Called on the drain's thread.
    using Publish = std::function<void(const QImage& mask, const QRect& changed)>;
    // Called by the drain when it meets an end-of-stroke marker, before it
    // publishes: the owner records the stroke as one history state.
    using StrokeEnded = std::function<void()>;

    StrokeDrain(Publish publish, StrokeEnded strokeEnded);
    ~StrokeDrain();
    StrokeDrain(const StrokeDrain&) = delete;
    StrokeDrain& operator=(const StrokeDrain&) = delete;

    EventBuffer& buffer() { return m_buffer; }
    const EventBuffer& buffer() const { return m_buffer; }

    // Brush settings, for the stamps input from now on (brushNow()).
    float hardness() const { return m_hardness.load(); }
    void setHardness(float hardness) { m_hardness = hardness; }
    float alpha() const { return m_alpha.load(); }
    void setAlpha(float alpha) { m_alpha = alpha; }
    float maskScale() const { return m_maskScale.load(); }
    // Rebuilds the stamp from the hardness and the mask scale, on the caller's thread.
    void updateStamp();
    std::shared_ptr<const BrushStamp> currentStamp() const;
    // The background brush for the stamps taken from now on; null for the
    // ordinary brush. Any thread.
    void setColourBrush(std::shared_ptr<const ColourBrush> brush);

    // The brush as it is set now. A drain queued with it draws the stamps
    // input before it so, whatever the brush is set to by the time it runs
    // (an intensity swapped with Ctrl+I right after a stroke). Any thread.
    struct Brush {
        float hardness = 1;
        float alpha = 0;
        std::shared_ptr<const ColourBrush> colour;
    };
    Brush brushNow() const;

    // The mask's size for a picture of `size` points: at most 2000 x 2000,
    // at least one pixel each way.
    static QSize maskSizeFor(QSizeF size);

    // A new picture of `size` points: the stamps still waiting are dropped,
    // and so is a waiting snapshot; the next rebuild sizes the mask for it.
    // Does not ask for the rebuild itself. Returns the picture's generation.
    std::uint64_t setPicture(QSizeF size);
    std::uint64_t generation() const;
    bool needsNewMask() const { return m_needsNewMask.load(); }
    void setNeedsNewMask(bool needs) { m_needsNewMask = needs; }
    // A decoded snapshot (null: none, 255 everywhere) for the next rebuild of
    // the picture of `generation`, and the request for that rebuild. Refused,
    // asking nothing, when a newer picture has come meanwhile.
    bool offerSnapshot(std::uint64_t generation, const QImage& snapshot);

    // Drain only. Rebuilds the mask if asked to, then draws the waiting
    // stamps in order up to the first end-of-stroke marker (which it takes),
    // the end of the buffer or the entry numbered `before`
    // (EventBuffer::appended() when the drain was queued), with `brush`
    // (brushNow() then; the brush as it is when each stamp is taken without
    // one), and publishes if anything changed. Without a mask it draws
    // nothing and leaves the buffer as it is.
    void run(std::uint64_t before = UINT64_MAX, const Brush* brush = nullptr);
    // Drain only: blends `coverage` (a plane of the mask's size) into the
    // mask with `alpha` as one step and publishes. False, changing nothing,
    // when it does not fit the mask.
    bool applyCoverage(const ColourCoverage& coverage, std::uint8_t alpha);
    // Drain only: the mask as it is now (no data without a picture).
    AlphaPlane maskPlane() { return m_mask.plane(); }
    // Any thread: the mask's size as the last rebuild left it (0 x 0 without
    // a mask), never the empty size a rebuild passes through.
    QSize maskSize() const
    {
        const std::uint64_t size = m_maskSize.load();
        return {int(size >> 32), int(size & 0xffffffffu)};
    }

private:
    struct PendingStamp;
    PendingStamp pendingStamp(const StampRect& rect, const Brush& brush);
    // The stamp of `hardness` at the current mask scale: the installed one,
    // or one made for a brush that has changed since its stamps were input.
    std::shared_ptr<const BrushStamp> stampFor(float hardness);
    void drawStamps(const std::vector<PendingStamp>& batch);
    void createNewMask();

    const Publish m_publish;
    const StrokeEnded m_strokeEnded;
    EventBuffer m_buffer;
    MaskStore m_mask; // drain only

    std::atomic<float> m_hardness{1};
    std::atomic<float> m_alpha{0};
    std::atomic<float> m_maskScale{1};
    std::atomic<bool> m_needsNewMask{false};
    std::atomic<std::uint64_t> m_maskSize{0}; // width << 32 | height

    StampSlot m_stamp;
    mutable std::mutex m_colourMutex;
    std::shared_ptr<const ColourBrush> m_colourBrush;
    std::atomic<bool> m_hasColourBrush{false}; // the ordinary brush's stamps skip the mutex
    std::optional<LabColour> m_strokeSample; // drain only: the stroke's first colour
    std::shared_ptr<const BrushStamp> m_earlierStamp; // drain only: see stampFor
    float m_earlierScale = 0;

    mutable std::mutex m_pictureMutex;
    QSizeF m_pictureSize;
    std::uint64_t m_generation = 0;
    QImage m_pendingSnapshot;
};
