#pragma once

#include "kit/ColorFilter.h"

#include <QStringList>

#include <memory>

// The catalogue of ready-made colour effects, addressed by number, and a list
// of display names. The names and the effects are two separate tables: index
// 0 is "Original" and has no effect, and for most indices the name is not
// that of the effect at the same index, so a caller that shows names and
// applies effects chooses its own pairing.
namespace Autofilter {

// The 13 display names, from "Original"; the same list every time.
const QStringList& filterNames();

// The number of display names, 13.
int filtersCount();

// A new filter for the index (1 to 12), or nothing for any other index.
std::unique_ptr<ColorFilter> filterIndexed(int index);

} // namespace Autofilter
