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
    const QCommandLineOption restore(
        QStringLiteral("restore"),
        QStringLiteral("Restore the cuts of an editor that ended without closing "
                       "its picture, without asking."));
    const QCommandLineOption discard(
        QStringLiteral("discard"),
        QStringLiteral("Discard the cuts of editors that ended without closing "
                       "their picture, without asking."));
    options.addOption(restore);
    options.addOption(discard);
    options.addPositionalArgument(QStringLiteral("pictures"),
                                  QStringLiteral("Pictures to open; the first one that reads is shown."),
                                  QStringLiteral("[pictures...]"));
    options.process(app);
    if (options.isSet(restore) && options.isSet(discard)) {
        std::fprintf(stderr, "%s: --restore and --discard exclude each other\n", argv[0]);
        return 2;
    }
    Application::applyStyle(app);

    AppDelegate delegate;
    WindowController window;
    delegate.setMainWindow(&window);
    window.show();
    delegate.applicationDidFinishLaunching();
    if (qEnvironmentVariableIsSet("VELTRANE_REPORT_STARTUP"))
        std::fprintf(stderr, "window shown after %lld ms\n", static_cast<long long>(startTimer.elapsed()));

    // Cuts left by an editor that ended without closing its picture are
    // offered first. Pictures named on the command line open after that, as
    // if dropped: the first that reads wins.
    QStringList paths;
    for (const QString& argument : options.positionalArguments())
        paths << QFileInfo(argument).absoluteFilePath();
    if (ViewController* controller = window.viewController()) {
        QList<QUrl> urls;
        for (const QString& path : paths)
            urls << QUrl::fromLocalFile(path);
        if (!urls.isEmpty())
            QObject::connect(
                controller, &ViewController::recoveryFinished, controller,
                [controller, urls] { controller->draggingFilesComplete(urls, false); },
                Qt::SingleShotConnection);
        controller->offerRecovery(options.isSet(restore)   ? ViewController::RecoveryAnswer::Restore
                                  : options.isSet(discard) ? ViewController::RecoveryAnswer::Discard
                                                           : ViewController::RecoveryAnswer::Ask);
    }
    const int status = app.exec();
    delegate.applicationWillTerminate();
    return status;
}
