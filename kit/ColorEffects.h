#pragma once

#include <QColor>
#include <QImage>
#include <QPointF>

#include <array>
#include <cstdint>
#include <initializer_list>

// The colour effects behind the filter presets, as plain per-pixel functions.
// Every effect is one ColorTransform applied to straight (unpremultiplied)
// colour; alpha is kept, so transparent pixels stay transparent and the
// extent never changes.
namespace ColorEffects {

// out = mix(in, curve[clamp(matrix * in + offset)], amount), per channel, on
// 0..255 colour. The matrix and offset are fixed point (1.0 = 4096, offsets
// in 0..255 units of colour times 4096); the curves are 256-entry tables.
struct ColorTransform {
    std::array<std::array<std::int32_t, 4>, 3> matrix{}; // rows r, g, b; column 3 is the offset
    std::array<std::array<std::uint8_t, 256>, 3> curves{};
    std::int32_t amount = 256; // 256 is the effect alone, 0 the input alone
};

// A transform from a matrix in 0..1 colour units (with offsets), identity curves.
ColorTransform fromMatrix(const float (&matrix)[3][4], float amount = 1.0f);

// A 256-entry curve through the control points (x and y in 0..1, x strictly
// increasing), interpolated by a monotone cubic so it never overshoots.
std::array<std::uint8_t, 256> toneCurve(std::initializer_list<QPointF> points);

// Classic sepia matrix, mixed with the input by `intensity` (0..1).
ColorTransform sepiaTone(float intensity);
// Luminance tinted towards `color`: black stays black, white stays white and
// mid-grey becomes the colour (an overlay of the grey on the colour).
ColorTransform colorMonochrome(QColor color, float intensity);
ColorTransform colorInvert();
// Rotation of every colour about the grey axis by `angle` radians.
ColorTransform hueAdjust(float angle);
// Luminance mapped linearly from `color0` (black) to `color1` (white).
ColorTransform falseColor(QColor color0, QColor color1);

// Film-style looks: see the definitions for their curves.
ColorTransform photoEffectMono();
ColorTransform photoEffectTonal();
ColorTransform photoEffectTransfer();
ColorTransform photoEffectProcess();
ColorTransform photoEffectChrome();
ColorTransform photoEffectInstant();

// Applies the transform to `count` premultiplied ARGB32 pixels. `source` and
// `destination` may be the same row.
void applyRow(const ColorTransform& transform, const std::uint32_t* source,
              std::uint32_t* destination, int count);

// The transformed copy of a picture in any format, as ARGB32 premultiplied.
QImage apply(const ColorTransform& transform, const QImage& image);

} // namespace ColorEffects
