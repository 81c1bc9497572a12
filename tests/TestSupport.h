#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

class QWidget;

namespace testsupport {

// Pumps the Qt event loop until the condition holds or the time is up.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A fresh temporary folder, removed when the test program ends.
QString tempDir();

// Writes the bytes to the path and gives the path back.
QString writeFile(const QString& path, const QByteArray& bytes);

// A noisy opaque picture (so that its PNG is far larger than a few
// kilobytes) saved as a PNG at dir/name; gives the path.
QString pictureFile(const QString& dir, const QString& name, QSize size);

// The image in a file format Qt writes ("png", "bmp", ...).
QByteArray encoded(const QImage& image, const char* format);

// Whether each colour channel lies within `tolerance` of the expected one,
// with alpha equal.
::testing::AssertionResult colourNear(QRgb actual, QRgb expected, int tolerance);

// The widget drawn over a backdrop of one colour.
QImage render(QWidget& widget, QRgb backdrop = 0);

// Collects the log lines written while it lives.
struct LogCapture {
    LogCapture();
    ~LogCapture();
    QStringList lines;
};

} // namespace testsupport
