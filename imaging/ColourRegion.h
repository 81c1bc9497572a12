#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>

#include <memory>

class ColourCache;

// How far a colour selection coverage reaches: a Format_Alpha8 plane of the
// colour cache's size (the mask's), top row first, 255 where the region is
// taken wholly, and the bounding box of its pixels that are not 0 (empty
// when there are none).
// `kept`, when not null (Format_Alpha8, the plane's size), is brought back
// towards fully kept first, by its own coverage: the Box tool keeps the
// object it finds whatever the cut said there before.
struct ColourCoverage {
    QImage plane;
    QRect bounds;
    QImage kept;
};

// The region of colours similar to the one at a seed pixel, for any
// tolerance. start() measures every pixel once; coverage() then turns a
// tolerance into a plane in one pass over the pixels, so a drag that changes
// the tolerance never refills.
//
// A pixel's distance is to the nearer of two references: the seed pixel's
// own colour, and the median colour around it (ColourCache::medianAround),
// the latter one unit further so that tolerance 0 takes exactly the seed's
// colour. The median keeps a click on a noisy sky from depending on which
// grain of noise it hit.
//
// Contiguous: a pixel's level is the smallest, over 4-connected paths from the
// seed, of the largest distance along the path, so the region for a
// tolerance is the connected area within it (4-connected: a one-pixel
// diagonal line of another colour stops it). The levels are found by a
// flood that visits pixels in rising level, only as far as the tolerances
// asked so far need, and goes on from there when a larger one is asked.
// The coverage of a pixel is the ramp (ColourRamp::forRegion) of its level:
// the mean of the hard regions over the ramp's tolerances.
// Global: the same ramp of each pixel's own distance.
//
// Not synchronised: one thread at a time (the canvas's serial queue) uses an
// object; the work inside spreads over both cores. Keeps its buffers between
// selections.
class ColourRegion {
public:
    enum class Extent { Contiguous, Global };

    ColourRegion();
    ~ColourRegion();
    ColourRegion(const ColourRegion&) = delete;
    ColourRegion& operator=(const ColourRegion&) = delete;

    // A new selection from `seed` (cache pixels, top row first). A seed
    // outside the cache, or no cache, selects nothing.
    void start(std::shared_ptr<const ColourCache> colours, QPoint seed, Extent extent);
    // The coverage for a tolerance (0..100) and softness (0..1); a null plane
    // when the selection selects nothing (no start, or a seed off the cache).
    ColourCoverage coverage(double tolerance, double softness);
    // Contiguous: goes on with the flood for up to `pixels` more pixels
    // (250000 take about 3 ms), so that a larger tolerance later finds its
    // levels ready; true while some may be left. For the moments between a
    // drag's moves, after the coverage is out: once the flood is through,
    // any tolerance costs a threshold pass alone.
    bool reachAhead(int pixels);
    // Ends the selection and lets go of the cache; the buffers stay.
    void reset();

    bool isActive() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
