#pragma once

#include <QString>

#include <chrono>
#include <functional>

namespace testsupport {

// Pumps the Qt event loop until the condition holds or the time is up.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A fresh temporary folder, removed when the test program ends.
QString tempDir();

} // namespace testsupport
