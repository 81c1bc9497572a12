#include "kit/Autofilter.h"

#include <numbers>

namespace Autofilter {

const QStringList& filterNames()
{
    static const QStringList names = {
        QStringLiteral("Original"), QStringLiteral("Sepia"),    QStringLiteral("Old Photo"),
        QStringLiteral("Mono"),     QStringLiteral("Instant"),  QStringLiteral("Shift"),
        QStringLiteral("Hue"),      QStringLiteral("Invert"),   QStringLiteral("Falce"),
        QStringLiteral("Tonal"),    QStringLiteral("Transfer"), QStringLiteral("Process"),
        QStringLiteral("Chrome"),
    };
    return names;
}

int filtersCount()
{
    return static_cast<int>(filterNames().size());
}

std::unique_ptr<ColorFilter> filterIndexed(int index)
{
    static const char* const kTable[] = {
        nullptr,
        "CIPhotoEffectTransfer",
        "CIPhotoEffectProcess",
        "CIPhotoEffectChrome",
        "CIPhotoEffectInstant",
        "CIColorInvert",
        "CIHueAdjust",
        "CIHueAdjust",
        "CIFalseColor",
        "CIPhotoEffectTonal",
        "CISepiaTone",
        "CIColorMonochrome",
        "CIPhotoEffectMono",
    };
    if (index <= 0 || index >= static_cast<int>(std::size(kTable)))
        return nullptr;
    auto filter = ColorFilter::filterWithName(QLatin1String(kTable[index]));
    if (index == 6 || index == 7) {
        // A quarter and a half turn, in single precision as the filter takes it.
        filter->setDefaults();
        filter->setAngle(index == 6 ? std::numbers::pi_v<float> / 2 : std::numbers::pi_v<float>);
    }
    return filter;
}

} // namespace Autofilter
