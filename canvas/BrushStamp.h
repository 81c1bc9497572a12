#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// The brush stamp: a square soft disc of alpha values that the mask drain
// stretches onto each stamp rectangle as its coverage. Immutable once made;
// the canvas publishes a new one in one step when the hardness or the mask
// scale changes, and a drain keeps its own reference while it draws.
struct BrushStamp {
    int size = 0;                // S: pixels per side
    double radius = 0;           // R = D / 2, with D = 200 / maskScale
    float hardness = 1;
    std::vector<std::uint8_t> alpha; // S x S, row 0 on top
    // Per row, the columns [begin, end) where alpha is not 0, and those where
    // it is 255: the drawing loop skips the first's outside and fills the
    // second's inside without arithmetic.
    std::vector<int> spanBegin, spanEnd, coreBegin, coreEnd;

    const std::uint8_t* row(int y) const { return alpha.data() + std::size_t(y) * size; }

    // D = 200 / maskScale as a 32-bit float, at most maxSize, S = D truncated.
    // Alpha at distance rho from the centre (R, R), t = rho / R: 1 up to t =
    // hardness, then falling linearly to 0 at the rim, 0 beyond; sampled at
    // pixel centres.
    static std::shared_ptr<const BrushStamp> make(float hardness, float maskScale);

    // The stamp is stretched onto every stamp rectangle, so its size only sets
    // its resolution, and no stamp rectangle on a mask of at most 2000 x 2000
    // needs more than this. Without the cap a 100000-point-wide picture (mask
    // scale 0.02) would build a stamp of 10000 x 10000 at each hardness
    // change, on the main thread.
    static constexpr int maxSize = 1024;
};
