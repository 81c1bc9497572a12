#include "app/AppDelegate.h"
#include "app/Application.h"
#include "app/ViewController.h"
#include "app/WindowController.h"
#include "platform/Allocator.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QIcon>
#include <QTimer>
#include <QUrl>

#include <cstdio>

int main(int argc, char** argv)
{
    QElapsedTimer startTimer;
    startTimer.start();
    Allocator::tuneForPictures();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veltrane"));
    QApplication::setApplicationVersion(QStringLiteral(VELTRANE_VERSION));
    QApplication::setOrganizationName(QStringLiteral("Veltrane"));
    QApplication::setDesktopFileName(QStringLiteral("veltrane"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/veltrane.png")));
    QApplication::setQuitOnLastWindowClosed(true);
    // --help and --version answer and quit before any window exists.
    QCommandLineParser options;
    options.setApplicationDescription(
        QStringLiteral("Cuts pictures out: paint over a picture to make parts of it transparent, "
                       "and save it as a PNG whose alpha channel carries the cut."));
    options.addHelpOption();
    options.addVersionOption();
    options.addPositionalArgument(QStringLiteral("pictures"),
                                  QStringLiteral("Pictures to open; the first one that reads is shown."),
                                  QStringLiteral("[pictures...]"));
    options.process(app);
    Application::applyStyle(app);

    AppDelegate delegate;
    WindowController window;
    delegate.setMainWindow(&window);
    window.show();
    delegate.applicationDidFinishLaunching();
    if (qEnvironmentVariableIsSet("VELTRANE_REPORT_STARTUP"))
        std::fprintf(stderr, "window shown after %lld ms\n", static_cast<long long>(startTimer.elapsed()));

    // Pictures named on the command line open as if dropped: the first that
    // reads wins.
    QStringList paths;
    for (const QString& argument : options.positionalArguments())
        paths << QFileInfo(argument).absoluteFilePath();
    if (!paths.isEmpty()) {
        QList<QUrl> urls;
        for (const QString& path : paths)
            urls << QUrl::fromLocalFile(path);
        QTimer::singleShot(0, &window, [&window, urls] {
            if (ViewController* controller = window.viewController())
                controller->draggingFilesComplete(urls, false);
        });
    }
    const int status = app.exec();
    delegate.applicationWillTerminate();
    return status;
}
