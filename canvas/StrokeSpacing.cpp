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
            // Centres and sizes both go evenly from the previous stamp to
            // this one (the size changes with a pen's pressure).
            const int n = int(dist / step);
            for (int i = 1; i < n; ++i) {
                auto mix = [&](double from, double to) { return ((n - i) * from + i * to) / n; };
                const double w = mix(previous.width, stamp.width);
                const double h = mix(previous.height, stamp.height);
                appender.append({mix(previous.centerX(), stamp.centerX()) - w / 2,
                                 mix(previous.centerY(), stamp.centerY()) - h / 2, w, h});
            }
        }
    }
    previous = stamp;
    appender.append(stamp);
    return true;
}

} // namespace StrokeSpacing
