#pragma once

#include "canvas/StampRect.h"

class EventBuffer;

// How the pointer's path during a stroke becomes stamps.
namespace StrokeSpacing {

// Appends the stroke's next stamp (picture points) to the buffer, given the
// stroke's previous stamp (null at its start). The step is width / 12 /
// (hardness + 1): a stamp closer than one step to the previous one is
// dropped, and one more than two steps away comes after evenly spaced filler
// stamps, whose sizes go evenly from the previous stamp's to this one's. All of it goes in under one hold of the buffer's lock. Returns
// whether anything was appended; `previous` then becomes `stamp`.
bool append(EventBuffer& buffer, StampRect& previous, const StampRect& stamp, float hardness);

} // namespace StrokeSpacing
