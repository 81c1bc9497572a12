#pragma once

#include <QString>

#include <chrono>
#include <cstdio>

namespace Trace {

// With VELTRANE_TRACE set, the editor notes what it opened and saved on
// standard error, so that end-to-end tests can follow it. With it set to
// "time", each line starts with the monotonic clock in milliseconds, so that
// the time from an open request to the first frame can be read off.
inline void line(const QString& text)
{
    static const QByteArray mode = qgetenv("VELTRANE_TRACE");
    static const bool enabled = qEnvironmentVariableIsSet("VELTRANE_TRACE");
    if (!enabled)
        return;
    if (mode == "time") {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        std::fprintf(stderr, "%.3f ", std::chrono::duration<double, std::milli>(now).count());
    }
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

} // namespace Trace
