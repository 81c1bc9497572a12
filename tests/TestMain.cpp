#include "TestSupport.h"

#include <gtest/gtest.h>

#include "platform/SystemLog.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <memory>
#include <vector>

namespace testsupport {

static std::vector<std::unique_ptr<QTemporaryDir>>& tempDirs()
{
    static std::vector<std::unique_ptr<QTemporaryDir>> dirs;
    return dirs;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeout.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

QString tempDir()
{
    tempDirs().push_back(std::make_unique<QTemporaryDir>());
    return tempDirs().back()->path();
}

QString writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qWarning("could not write %s", qPrintable(path));
    return path;
}

QString pictureFile(const QString& dir, const QString& name, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    std::uint32_t seed = 12345;
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            image.setPixel(x, y, qRgb(x % 256, (y + int(seed >> 28)) % 256, int(seed >> 24)));
        }
    const QString path = dir + "/" + name;
    if (!image.save(path))
        qWarning("could not write %s", qPrintable(path));
    return path;
}

QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

::testing::AssertionResult colourNear(QRgb actual, QRgb expected, int tolerance)
{
    for (int shift : {0, 8, 16, 24}) {
        const int off = std::abs(int((actual >> shift) & 0xff) - int((expected >> shift) & 0xff));
        if (off > (shift == 24 ? 0 : tolerance))
            return ::testing::AssertionFailure()
                   << std::hex << actual << " is not near " << expected;
    }
    return ::testing::AssertionSuccess();
}

QImage render(QWidget& widget, QRgb backdrop)
{
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(backdrop);
    widget.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

LogCapture::LogCapture()
{
    SystemLog::setSink([this](const QString& line) { lines.append(line); });
}

LogCapture::~LogCapture()
{
    SystemLog::setSink({});
}

} // namespace testsupport

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings the tests write stay with the run, whatever starts it.
    QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    testsupport::tempDirs().clear();
    return result;
}
