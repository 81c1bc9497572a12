#pragma once

#include "imaging/FilterImage.h"

#include <QColor>
#include <QString>
#include <QStringList>

#include <memory>

namespace ColorEffects {
struct ColorTransform;
}

// A colour filter object: one named effect, its settings and its input
// image, whose output is the input with the effect applied to every pixel
// (same extent). This is what the filter presets hand out; callers may change
// the settings before asking for the output.
class ColorFilter {
public:
    // The filter of that name (see names()), with its default settings, or
    // nothing for a name no effect has.
    static std::unique_ptr<ColorFilter> filterWithName(const QString& name);
    static QStringList names();

    const QString& name() const { return m_name; }

    // Back to the effect's default settings; the input image is kept.
    void setDefaults();

    // Hue rotation in radians ("CIHueAdjust"); default 0.
    float angle() const { return m_angle; }
    void setAngle(float radians) { m_angle = radians; }
    // How much of the effect is mixed in, 0..1 ("CISepiaTone",
    // "CIColorMonochrome"); default 1.
    float intensity() const { return m_intensity; }
    void setIntensity(float intensity) { m_intensity = intensity; }
    // The tint of "CIColorMonochrome"; default a light brown.
    QColor color() const { return m_color; }
    void setColor(QColor color) { m_color = color; }
    // The colours that black and white become in "CIFalseColor"; default dark
    // red and pale cream.
    QColor color0() const { return m_color0; }
    void setColor0(QColor color) { m_color0 = color; }
    QColor color1() const { return m_color1; }
    void setColor1(QColor color) { m_color1 = color; }

    const FilterImage& inputImage() const { return m_input; }
    void setInputImage(FilterImage image) { m_input = std::move(image); }

    // The input with the effect applied; nothing without an input.
    FilterImage outputImage() const;

private:
    enum class Effect {
        SepiaTone,
        ColorMonochrome,
        ColorInvert,
        HueAdjust,
        FalseColor,
        PhotoMono,
        PhotoTonal,
        PhotoTransfer,
        PhotoProcess,
        PhotoChrome,
        PhotoInstant,
    };

    ColorFilter(QString name, Effect effect);
    ColorEffects::ColorTransform transform() const;

    QString m_name;
    Effect m_effect;
    float m_angle = 0;
    float m_intensity = 1;
    QColor m_color;
    QColor m_color0;
    QColor m_color1;
    FilterImage m_input;
};
