#include "canvas/StrokeSpacing.h"

#include "canvas/EventBuffer.h"

#include <cmath>

namespace StrokeSpacing {

bool append(EventBuffer& buffer, StampRect& previous, const StampRect& stamp, float hardness)
{
    EventBuffer::Appender appender(buffer);
    if (!previous.isNull()) {
        const double dx = stamp.centerX() - previous.centerX();
        const double dy = stamp.centerY() - previous.centerY();
        const float dist = float(std::sqrt(dx * dx + dy * dy));
        const float step = float(stamp.width / 12.0 / double(hardness + 1.0f));
        if (step > dist)
            return false;
        if (double(dist) > 2.0 * double(step)) {
            const int n = int(dist / step);
            for (int i = 1; i < n; ++i) {
                appender.append({((n - i) * previous.x + i * stamp.x) / n,
                                 ((n - i) * previous.y + i * stamp.y) / n, stamp.width,
                                 stamp.height});
            }
        }
    }
    previous = stamp;
    appender.append(stamp);
    return true;
}

} // namespace StrokeSpacing
