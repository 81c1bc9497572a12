#include "platform/SystemLog.h"

#include <cstdio>
#include <mutex>

namespace SystemLog {
namespace {
std::mutex g_mutex;
Sink g_sink;
} // namespace

void log(const QString& line)
{
    std::lock_guard lock(g_mutex);
    if (g_sink) {
        g_sink(line);
        return;
    }
    const QByteArray bytes = line.toUtf8();
    std::fprintf(stderr, "veltrane: %s\n", bytes.constData());
    std::fflush(stderr);
}

void setSink(Sink sink)
{
    std::lock_guard lock(g_mutex);
    g_sink = std::move(sink);
}

} // namespace SystemLog
