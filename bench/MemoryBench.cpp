#include "Bench.h"
#include "imaging/JpegCodec.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <string>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

// The editor's whole-process peak memory for the everyday job, as a user's
// machine sees it: the driver opens a JPEG, paints one stroke, waits for the
// background work (the blurred copy among it) and saves the PNG. The figure
// is the child's peak resident size, from the kernel's own accounting.
namespace {

// Runs the driver on `script` headless; its peak resident size in MB, or a
// negative number when it did not run to the end.
double driverPeakMb(const QString& script)
{
    const QByteArray drive = (QCoreApplication::applicationDirPath() + "/veltrane-drive").toLocal8Bit();
    const QByteArray path = script.toLocal8Bit();
    char* argv[] = {const_cast<char*>(drive.constData()), const_cast<char*>(path.constData()), nullptr};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("QT_QPA_PLATFORM=", 0) != 0)
            env.emplace_back(*e);
    env.emplace_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, drive.constData(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss / 1024.0; // kilobytes on Linux
}

void peakCase(bench::Context& ctx, const std::string& name, int width, int height)
{
    QTemporaryDir dir;
    const QString photo = dir.filePath(QStringLiteral("photo.jpg"));
    {
        QFile file(photo);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(JpegCodec::encode(bench::photo(width, height), 90)) <= 0)
            return;
    }
    for (const char* blur : {"off", "on"}) {
        const QString script = dir.filePath(QStringLiteral("script.txt"));
        QFile file(script);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return;
        file.write(QStringLiteral("open %1\nwait\nblur %2\nstroke 300 300 700 500 20\nwait\nsave %3\n")
                       .arg(photo, QLatin1String(blur), dir.filePath(QStringLiteral("out.png")))
                       .toLocal8Bit());
        file.close();
        const double mb = driverPeakMb(script);
        if (std::string(blur) == "off")
            ctx.record(mb);
        ctx.report(name + "_blur_" + blur + "_peak_rss_mb", mb);
    }
}

} // namespace

// The case's own line is the peak without the blurred copy shown, in MB (not ms).
VELTRANE_BENCH(save_24mp_peak_rss_mb)
{
    peakCase(ctx, "save_24mp", 6000, 4000);
}

VELTRANE_BENCH(save_100mp_peak_rss_mb)
{
    peakCase(ctx, "save_100mp", 12240, 8160);
}
