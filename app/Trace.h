#pragma once

#include <QString>

#include <cstdio>

namespace Trace {

// With VELTRANE_TRACE set, the editor notes what it opened and saved on
// standard error, so that end-to-end tests can follow it.
inline void line(const QString& text)
{
    static const bool enabled = qEnvironmentVariableIsSet("VELTRANE_TRACE");
    if (enabled) {
        std::fprintf(stderr, "%s\n", text.toUtf8().constData());
        std::fflush(stderr);
    }
}

} // namespace Trace
