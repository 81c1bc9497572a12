#pragma once

#include "imaging/Picture.h"

#include <QImage>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class ColourCache;
class QObject;

// What the canvas paints a picture from: the picture at full size and its
// halvings down to about 256 pixels, and the blurred copy with its own
// halvings; and the picture's colours at the mask's size, for the colour
// tools. All but the full-size picture are made in the background for each
// new picture; until they arrive the full-size picture serves alone.
//
// Threads: every member is called on the main thread, which alone reads and
// replaces the levels. The work runs on a pool of the canvas's own (never the
// global one, whose workers Qt's threaded fills wait for in paint), and comes
// back through a queued main-thread call tied to the owner's context object.
// A task checks a generation counter that each new picture and the owner's
// end bump: one that has not started for an older picture skips its work, a
// blur under way stops within a band of rows, and a result for a picture no
// longer current is dropped. Tasks share that counter block, so they may
// outlive this object, and nothing waits for them. A task that throws reports
// the failure instead of ending the process.
class PictureLevels {
public:
    // halvingsArrived: the picture's halvings (and its sRGB version when it
    // needs one) are in. blurArrived: the blurred
    // copy of the current picture (reduced when large) is in, its halvings with it.
    // coloursArrived: the current picture's colour cache is in.
    // failed: a task for the current picture failed, for the reason given.
    PictureLevels(QObject* context, std::function<void()> halvingsArrived,
                  std::function<void(const QImage& blurred)> blurArrived,
                  std::function<void(std::shared_ptr<const ColourCache>)> coloursArrived,
                  std::function<void(const QString& reason)> failed);
    ~PictureLevels();
    PictureLevels(const PictureLevels&) = delete;
    PictureLevels& operator=(const PictureLevels&) = delete;

    // The bitmap the canvas paints and composites: premultiplied, or opaque
    // RGB32, in the picture's own colours. (The levels painted on the screen
    // are in sRGB: a picture tagged otherwise is converted in the background.)
    static QImage drawableBitmap(const Picture& picture);

    // Forgets the previous picture's levels and starts making this one's;
    // `bitmap` is drawableBitmap(picture), already made by the caller, and
    // `maskSize` the size of the colour cache.
    void setPicture(const Picture& picture, const QImage& bitmap, QSize maskSize);

    // The level to paint at `scale` screen pixels per picture point: the
    // smallest that still has at least one pixel per screen pixel. Null when
    // there is none (no picture, or no blurred copy yet). A large picture
    // shown converted to sRGB is converted at full size only when first
    // painted at that size: until then it shows its own pixels.
    const QImage& picture(double scale);
    // The blurred copy's levels start reduced (see blurReduction).
    const QImage& blur(double scale) const
    {
        return pick(m_blur, scale * (1 << m_blurReduction));
    }

    // How many times the blurred copy of a picture of this size is halved
    // before it is blurred and stored: 0 for small blur radii, which stay exact.
    static int blurReduction(QSize pictureSize);
    // The disc blur's radius for a picture, in its pixels.
    static double blurRadius(QSize pictureSize);
    // The blurred copy of `source` (a drawable bitmap) after `halvings`
    // halvings, blurred there by radius / 2^halvings: premultiplied, the
    // reduced size; null if `stale` turned true.
    static QImage blurredCopy(const QImage& source, double radius, int halvings,
                              const std::function<bool()>& stale = [] { return false; });

    // Tests and tools: whether a task of this object has yet to finish.
    bool busy() const;

private:
    struct Tasks;
    // Asked by a task whether a newer picture has come since it started.
    using Stale = std::function<bool()>;
    // What a task hands back, run on the main thread if its picture is current.
    using Delivery = std::function<void(PictureLevels&)>;
    // Hands back a first part of a task's work while the task goes on.
    using Post = std::function<void(Delivery)>;

    static const QImage& pick(const std::vector<QImage>& levels, double scale);
    // The halvings of `base`, and after them the blurred copy when it is
    // blurred from one of them (`withBlur`).
    void startHalvings(const Picture& picture, const QImage& base, bool withBlur);
    void startBlur(const Picture& picture);
    // The blurred copy of a picture whose bitmap is `bitmapSize`, from
    // `source` (that bitmap after some of the blur's `reduction` halvings,
    // `toHalve` still to do), as a delivery.
    static Delivery blurDelivery(const Picture& picture, QSize bitmapSize, const QImage& source,
                                 int toHalve, int reduction, const Stale& stale);
    void startColours(const Picture& picture, const QImage& bitmap, QSize maskSize);
    void start(const Picture& picture, std::function<Delivery(const Stale&, const Post&)> work);

    QObject* const m_context;
    const std::function<void()> m_halvingsArrived;
    const std::function<void(const QImage&)> m_blurArrived;
    const std::function<void(std::shared_ptr<const ColourCache>)> m_coloursArrived;
    const std::function<void(const QString&)> m_failed;
    Picture m_source;
    std::vector<QImage> m_picture; // [0] is full size, then halvings
    // [0] still holds the picture's own pixels where the screen wants them
    // converted, and whether their conversion has been asked for.
    bool m_fullUnconverted = false;
    bool m_fullAsked = false;
    std::vector<QImage> m_blur;    // same, for the blurred copy
    int m_blurReduction = 0;       // halvings before m_blur[0]
    std::shared_ptr<Tasks> m_tasks;
};
