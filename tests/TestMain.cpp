#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

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
