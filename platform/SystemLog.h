#pragma once

#include <QString>

#include <functional>

// The system log: one line on standard error per message. Tests can divert
// the lines to a sink of their own to check what was logged.
namespace SystemLog {

void log(const QString& line);

using Sink = std::function<void(const QString&)>;
// Replaces the destination of log lines; an empty sink restores standard error.
void setSink(Sink sink);

} // namespace SystemLog
