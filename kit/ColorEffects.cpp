#include "kit/ColorEffects.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace ColorEffects {
namespace {

constexpr float kOne = 4096.0f; // fixed-point 1.0 of the matrix

// Rec. 709 luminance weights, the ones the display colours are made for.
constexpr float kLumaR = 0.2126f;
constexpr float kLumaG = 0.7152f;
constexpr float kLumaB = 0.0722f;

using Matrix = float[3][4];

std::array<std::uint8_t, 256> identityCurve()
{
    std::array<std::uint8_t, 256> curve{};
    for (int i = 0; i < 256; ++i)
        curve[i] = static_cast<std::uint8_t>(i);
    return curve;
}

std::int32_t amountFromUnit(float amount)
{
    return static_cast<std::int32_t>(std::lround(std::clamp(amount, 0.0f, 1.0f) * 256.0f));
}

// Every output channel becomes the luminance.
void lumaMatrix(Matrix& m)
{
    for (auto& row : m) {
        row[0] = kLumaR;
        row[1] = kLumaG;
        row[2] = kLumaB;
        row[3] = 0.0f;
    }
}

// Saturation scaled by `s` about the luminance: 0 is grey, 1 unchanged.
void saturationMatrix(Matrix& m, float s)
{
    const float luma[3] = {kLumaR, kLumaG, kLumaB};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col)
            m[row][col] = (1.0f - s) * luma[col] + (row == col ? s : 0.0f);
        m[row][3] = 0.0f;
    }
}

ColorTransform withCurves(const Matrix& m, std::array<std::uint8_t, 256> red,
                          std::array<std::uint8_t, 256> green, std::array<std::uint8_t, 256> blue)
{
    ColorTransform transform = fromMatrix(m);
    transform.curves = {red, green, blue};
    return transform;
}

float unit(int component)
{
    return static_cast<float>(component) / 255.0f;
}

// Reciprocals for unpremultiplying: 255 / alpha in 16.16 fixed point.
struct Reciprocals {
    std::array<std::uint32_t, 256> table{};
    Reciprocals()
    {
        for (int a = 1; a < 256; ++a)
            table[a] = static_cast<std::uint32_t>((255u * 65536u + a / 2) / a);
    }
};

const Reciprocals& reciprocals()
{
    static const Reciprocals instance;
    return instance;
}

inline std::uint32_t premultiply(std::uint32_t value, std::uint32_t alpha)
{
    const std::uint32_t x = value * alpha + 128;
    return (x + (x >> 8)) >> 8;
}

} // namespace

ColorTransform fromMatrix(const float (&matrix)[3][4], float amount)
{
    ColorTransform transform;
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col)
            transform.matrix[row][col] =
                static_cast<std::int32_t>(std::lround(matrix[row][col] * kOne));
        transform.matrix[row][3] =
            static_cast<std::int32_t>(std::lround(matrix[row][3] * 255.0f * kOne));
    }
    const auto identity = identityCurve();
    transform.curves = {identity, identity, identity};
    transform.amount = amountFromUnit(amount);
    return transform;
}

std::array<std::uint8_t, 256> toneCurve(std::initializer_list<QPointF> controlPoints)
{
    const std::vector<QPointF> p(controlPoints);
    const size_t n = p.size();
    std::array<std::uint8_t, 256> curve{};
    if (n == 0)
        return identityCurve();
    if (n == 1) {
        curve.fill(static_cast<std::uint8_t>(std::lround(std::clamp(p[0].y(), 0.0, 1.0) * 255.0)));
        return curve;
    }

    // Fritsch-Carlson tangents: secant averages, flattened at extrema and
    // scaled down wherever they would make a segment overshoot.
    std::vector<double> secant(n - 1);
    for (size_t i = 0; i + 1 < n; ++i)
        secant[i] = (p[i + 1].y() - p[i].y()) / (p[i + 1].x() - p[i].x());
    std::vector<double> tangent(n);
    tangent[0] = secant[0];
    tangent[n - 1] = secant[n - 2];
    for (size_t i = 1; i + 1 < n; ++i)
        tangent[i] = secant[i - 1] * secant[i] <= 0 ? 0.0 : (secant[i - 1] + secant[i]) / 2;
    for (size_t i = 0; i + 1 < n; ++i) {
        if (secant[i] == 0) {
            tangent[i] = tangent[i + 1] = 0;
            continue;
        }
        const double a = tangent[i] / secant[i];
        const double b = tangent[i + 1] / secant[i];
        const double length = std::hypot(a, b);
        if (length > 3) {
            tangent[i] = 3 / length * a * secant[i];
            tangent[i + 1] = 3 / length * b * secant[i];
        }
    }

    size_t segment = 0;
    for (int i = 0; i < 256; ++i) {
        const double x = i / 255.0;
        double y;
        if (x <= p[0].x()) {
            y = p[0].y();
        } else if (x >= p[n - 1].x()) {
            y = p[n - 1].y();
        } else {
            while (x > p[segment + 1].x())
                ++segment;
            const double h = p[segment + 1].x() - p[segment].x();
            const double t = (x - p[segment].x()) / h;
            const double t2 = t * t;
            const double t3 = t2 * t;
            y = (2 * t3 - 3 * t2 + 1) * p[segment].y() + (t3 - 2 * t2 + t) * h * tangent[segment] +
                (-2 * t3 + 3 * t2) * p[segment + 1].y() + (t3 - t2) * h * tangent[segment + 1];
        }
        curve[i] = static_cast<std::uint8_t>(std::lround(std::clamp(y, 0.0, 1.0) * 255.0));
    }
    return curve;
}

ColorTransform sepiaTone(float intensity)
{
    const Matrix m = {{0.393f, 0.769f, 0.189f, 0.0f},
                      {0.349f, 0.686f, 0.168f, 0.0f},
                      {0.272f, 0.534f, 0.131f, 0.0f}};
    return fromMatrix(m, intensity);
}

ColorTransform colorMonochrome(QColor color, float intensity)
{
    Matrix m;
    lumaMatrix(m);
    ColorTransform transform = fromMatrix(m, intensity);
    const float tint[3] = {static_cast<float>(color.redF()), static_cast<float>(color.greenF()),
                           static_cast<float>(color.blueF())};
    for (int channel = 0; channel < 3; ++channel) {
        for (int i = 0; i < 256; ++i) {
            const float grey = unit(i);
            const float c = tint[channel];
            const float v = grey < 0.5f ? 2 * grey * c : 1 - 2 * (1 - grey) * (1 - c);
            transform.curves[channel][i] = static_cast<std::uint8_t>(std::lround(v * 255.0f));
        }
    }
    return transform;
}

ColorTransform colorInvert()
{
    const Matrix m = {{-1, 0, 0, 1}, {0, -1, 0, 1}, {0, 0, -1, 1}};
    return fromMatrix(m);
}

ColorTransform hueAdjust(float angle)
{
    // Rodrigues' rotation about the unit grey axis u = (1, 1, 1) / sqrt(3):
    // R = cos I + sin [u]x + (1 - cos) u u^T.
    const double c = std::cos(static_cast<double>(angle));
    const double s = std::sin(static_cast<double>(angle)) / std::sqrt(3.0);
    const double k = (1 - c) / 3;
    const Matrix m = {
        {static_cast<float>(c + k), static_cast<float>(k - s), static_cast<float>(k + s), 0},
        {static_cast<float>(k + s), static_cast<float>(c + k), static_cast<float>(k - s), 0},
        {static_cast<float>(k - s), static_cast<float>(k + s), static_cast<float>(c + k), 0}};
    return fromMatrix(m);
}

ColorTransform falseColor(QColor color0, QColor color1)
{
    const float from[3] = {static_cast<float>(color0.redF()), static_cast<float>(color0.greenF()),
                           static_cast<float>(color0.blueF())};
    const float to[3] = {static_cast<float>(color1.redF()), static_cast<float>(color1.greenF()),
                         static_cast<float>(color1.blueF())};
    Matrix m;
    for (int row = 0; row < 3; ++row) {
        const float span = to[row] - from[row];
        m[row][0] = span * kLumaR;
        m[row][1] = span * kLumaG;
        m[row][2] = span * kLumaB;
        m[row][3] = from[row];
    }
    return fromMatrix(m);
}

// Black and white with a gentle S-curve: deeper shadows, brighter highlights.
ColorTransform photoEffectMono()
{
    Matrix m;
    lumaMatrix(m);
    const auto curve = toneCurve({{0, 0}, {0.25, 0.2}, {0.5, 0.5}, {0.75, 0.8}, {1, 1}});
    return withCurves(m, curve, curve, curve);
}

// Soft black and white: lifted blacks, dimmed whites, low contrast.
ColorTransform photoEffectTonal()
{
    Matrix m;
    lumaMatrix(m);
    const auto curve = toneCurve({{0, 0.08}, {0.25, 0.3}, {0.5, 0.52}, {0.75, 0.74}, {1, 0.95}});
    return withCurves(m, curve, curve, curve);
}

// Warm, slightly faded print: less saturation, reds lifted in the mid-tones,
// blues lifted in the shadows and held down in the highlights.
ColorTransform photoEffectTransfer()
{
    Matrix m;
    saturationMatrix(m, 0.85f);
    return withCurves(m, toneCurve({{0, 0.05}, {0.5, 0.58}, {1, 1}}),
                      toneCurve({{0, 0.03}, {0.5, 0.52}, {1, 0.97}}),
                      toneCurve({{0, 0.1}, {0.5, 0.45}, {1, 0.85}}));
}

// Cross-processed slide film: contrasty reds, cool lifted shadows and
// yellowish highlights from the held-down blue.
ColorTransform photoEffectProcess()
{
    Matrix m;
    saturationMatrix(m, 1.1f);
    return withCurves(m, toneCurve({{0, 0}, {0.25, 0.18}, {0.75, 0.85}, {1, 1}}),
                      toneCurve({{0, 0.04}, {0.5, 0.52}, {1, 0.96}}),
                      toneCurve({{0, 0.12}, {0.5, 0.5}, {1, 0.82}}));
}

// Vivid slide film: strong saturation and a contrast S-curve on every channel.
ColorTransform photoEffectChrome()
{
    Matrix m;
    saturationMatrix(m, 1.3f);
    const auto curve = toneCurve({{0, 0}, {0.25, 0.2}, {0.75, 0.82}, {1, 1}});
    return withCurves(m, curve, curve, curve);
}

// Instant-print look: muted colour, milky shadows and a warm yellow cast.
ColorTransform photoEffectInstant()
{
    Matrix m;
    saturationMatrix(m, 0.8f);
    return withCurves(m, toneCurve({{0, 0.1}, {0.5, 0.56}, {1, 0.98}}),
                      toneCurve({{0, 0.08}, {0.5, 0.52}, {1, 0.95}}),
                      toneCurve({{0, 0.12}, {0.5, 0.46}, {1, 0.85}}));
}

void applyRow(const ColorTransform& t, const std::uint32_t* source, std::uint32_t* destination,
              int count)
{
    const auto& recip = reciprocals().table;
    const auto& m = t.matrix;
    const std::int32_t amount = t.amount;
    for (int i = 0; i < count; ++i) {
        const std::uint32_t pixel = source[i];
        const std::uint32_t a = pixel >> 24;
        if (a == 0) {
            destination[i] = 0;
            continue;
        }
        std::int32_t in[3] = {static_cast<std::int32_t>((pixel >> 16) & 0xff),
                              static_cast<std::int32_t>((pixel >> 8) & 0xff),
                              static_cast<std::int32_t>(pixel & 0xff)};
        if (a != 255) {
            for (auto& c : in)
                c = std::min<std::int32_t>(
                    255, (static_cast<std::uint32_t>(c) * recip[a] + 32768) >> 16);
        }
        std::uint32_t out[3];
        for (int ch = 0; ch < 3; ++ch) {
            std::int32_t v =
                (m[ch][0] * in[0] + m[ch][1] * in[1] + m[ch][2] * in[2] + m[ch][3] + 2048) >> 12;
            v = t.curves[ch][std::clamp(v, 0, 255)];
            if (amount != 256)
                v = in[ch] + (((v - in[ch]) * amount) >> 8);
            out[ch] = static_cast<std::uint32_t>(v);
        }
        if (a != 255) {
            for (auto& c : out)
                c = premultiply(c, a);
        }
        destination[i] = (a << 24) | (out[0] << 16) | (out[1] << 8) | out[2];
    }
}

QImage apply(const ColorTransform& transform, const QImage& image)
{
    if (image.isNull())
        return {};
    const QImage source = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QImage result(source.size(), QImage::Format_ARGB32_Premultiplied);
    if (source.isNull() || result.isNull())
        return {};
    for (int y = 0; y < result.height(); ++y) {
        applyRow(transform, reinterpret_cast<const std::uint32_t*>(source.constScanLine(y)),
                 reinterpret_cast<std::uint32_t*>(result.scanLine(y)), result.width());
    }
    return result;
}

} // namespace ColorEffects
