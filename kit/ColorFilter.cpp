#include "kit/ColorFilter.h"

#include "kit/ColorEffects.h"

#include <iterator>
#include <utility>

namespace {

// The names the presets and their callers use, in the order of the Effect
// enumeration; the effects themselves are Veltrane's own (see ColorEffects).
constexpr const char* kEffectNames[] = {
    "CISepiaTone",          "CIColorMonochrome",   "CIColorInvert",        "CIHueAdjust",
    "CIFalseColor",         "CIPhotoEffectMono",   "CIPhotoEffectTonal",   "CIPhotoEffectTransfer",
    "CIPhotoEffectProcess", "CIPhotoEffectChrome", "CIPhotoEffectInstant",
};

} // namespace

std::unique_ptr<ColorFilter> ColorFilter::filterWithName(const QString& name)
{
    static_assert(std::size(kEffectNames) == static_cast<size_t>(Effect::PhotoInstant) + 1);
    for (size_t i = 0; i < std::size(kEffectNames); ++i) {
        if (name == QLatin1String(kEffectNames[i]))
            return std::unique_ptr<ColorFilter>(new ColorFilter(name, static_cast<Effect>(i)));
    }
    return nullptr;
}

QStringList ColorFilter::names()
{
    QStringList names;
    for (const char* name : kEffectNames)
        names.append(QString::fromLatin1(name));
    return names;
}

ColorFilter::ColorFilter(QString name, Effect effect) : m_name(std::move(name)), m_effect(effect)
{
    setDefaults();
}

void ColorFilter::setDefaults()
{
    m_angle = 0;
    m_intensity = 1;
    m_color = QColor::fromRgbF(0.6f, 0.45f, 0.3f);
    m_color0 = QColor::fromRgbF(0.3f, 0.0f, 0.0f);
    m_color1 = QColor::fromRgbF(1.0f, 0.9f, 0.8f);
}

ColorEffects::ColorTransform ColorFilter::transform() const
{
    switch (m_effect) {
    case Effect::SepiaTone:
        return ColorEffects::sepiaTone(m_intensity);
    case Effect::ColorMonochrome:
        return ColorEffects::colorMonochrome(m_color, m_intensity);
    case Effect::ColorInvert:
        return ColorEffects::colorInvert();
    case Effect::HueAdjust:
        return ColorEffects::hueAdjust(m_angle);
    case Effect::FalseColor:
        return ColorEffects::falseColor(m_color0, m_color1);
    case Effect::PhotoMono:
        return ColorEffects::photoEffectMono();
    case Effect::PhotoTonal:
        return ColorEffects::photoEffectTonal();
    case Effect::PhotoTransfer:
        return ColorEffects::photoEffectTransfer();
    case Effect::PhotoProcess:
        return ColorEffects::photoEffectProcess();
    case Effect::PhotoChrome:
        return ColorEffects::photoEffectChrome();
    case Effect::PhotoInstant:
        return ColorEffects::photoEffectInstant();
    }
    return {};
}

FilterImage ColorFilter::outputImage() const
{
    if (m_input.isNull())
        return {};
    return FilterImage(ColorEffects::apply(transform(), m_input.pixels()),
                       m_input.extent().topLeft());
}
