#pragma once

#include <QImage>
#include <QRgb>
#include <QSize>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// A colour in CIELAB (D65 white, sRGB primaries), each component in fixed
// point with LabColour::scale steps per unit: L 0..12800, a and b about
// -14000..14000.
struct LabColour {
    static constexpr int scale = 128;

    std::int16_t L = 0;
    std::int16_t a = 0;
    std::int16_t b = 0;

    bool operator==(const LabColour&) const = default;

    // The CIELAB colour of an opaque sRGB colour (what the cache holds for a
    // pixel of that colour when it is not reduced), and back, rounded and
    // clipped to the sRGB cube (for a swatch).
    static LabColour fromRgb(QRgb rgb);
    QRgb toRgb() const;
};

// Colour distance is the CIE 1976 difference, the Euclidean distance in
// CIELAB, counted in LabColour::scale units per unit of difference and
// capped at maxDistance.
namespace ColourDistance {

constexpr int maxDistance = 0xfffe;

int between(LabColour x, LabColour y);

// The distance the tolerance (0..100) names: one unit of difference per
// step, so the default 32 is a difference of 32. Photographic noise of
// about +-20 per channel lies within about 30 of its colour's middle;
// a clearly different hue lies 45 and more away (blue sky and skin 60,
// sky and foliage 80, a grey wall and a red coat 78).
int forTolerance(double tolerance);

} // namespace ColourDistance

// How a colour distance becomes coverage: full up to `inner`, none from
// `outer`, linear between (in distance units). inner == outer is a hard
// threshold that still takes the distance `inner` itself, so tolerance 0
// takes exactly the reference colour.
struct ColourRamp {
    int inner = 0;
    int outer = 0;

    // The colour tool: full within the tolerance, fading out over a quarter
    // more for anti-aliasing, and over up to a whole tolerance more as the
    // softness (0..1) rises.
    static ColourRamp forRegion(double tolerance, double softness);
    // The background brush: full within the tolerance, fading out over a
    // quarter more. The brush's softness shapes its stamp instead: repeated
    // stamps would carry a wider colour ramp into the subject.
    static ColourRamp forBrush(double tolerance);

    // 0..255.
    std::uint8_t coverage(int distance) const;
};

// The picture's colours as the mask sees them: the picture reduced by area
// (in linear light, weighted by alpha) to the mask's size, in CIELAB.
// Immutable once built, so any thread may read it.
//
// Why CIELAB in fixed point: its Euclidean distance follows perceived
// difference well enough for a tolerance, and the costly part, the cube
// root, is a table lookup per component. Int16 planes keep the cache small
// (6 bytes a pixel, 16 MB at 2000 x 1333) and the distance loops vectorised.
class ColourCache {
public:
    // Reduces `picture` to `size` (the mask: the picture scaled uniformly,
    // truncated to whole pixels) on both cores. Any image format; the 32-bit
    // ones are read in place, others are converted first. Transparent pixels
    // do not tint their neighbours; wholly transparent areas read as black.
    // Null for a null picture or an empty size, or once `cancelled` is raised.
    // Cost: a 6000 x 4000 picture to 2000 x 1333 reads its 96 MB once, in
    // about 90 ms on two cores.
    static std::shared_ptr<const ColourCache> build(const QImage& picture, QSize size,
                                                    const std::atomic<bool>* cancelled = nullptr);

    int width() const { return m_width; }
    int height() const { return m_height; }
    QSize size() const { return {m_width, m_height}; }

    // Pixel (x, y), top row first; the caller keeps it inside the cache.
    LabColour at(int x, int y) const
    {
        const std::size_t i = std::size_t(y) * m_width + x;
        return {m_L[i], m_a[i], m_b[i]};
    }
    // The component-wise median of the pixels within `radius` of (x, y) (a
    // square, clipped to the cache): the colour of a noisy area without its
    // noise, and not pulled towards an edge that covers less than half of it.
    // (x, y) is clamped into the cache.
    LabColour medianAround(int x, int y, int radius = 2) const;

    const std::int16_t* lightnessRow(int y) const { return m_L.data() + std::size_t(y) * m_width; }
    const std::int16_t* aRow(int y) const { return m_a.data() + std::size_t(y) * m_width; }
    const std::int16_t* bRow(int y) const { return m_b.data() + std::size_t(y) * m_width; }

private:
    ColourCache(int width, int height);

    int m_width = 0;
    int m_height = 0;
    std::vector<std::int16_t> m_L, m_a, m_b;
};
