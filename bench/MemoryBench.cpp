#include "Bench.h"
#include "imaging/JpegCodec.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <string>

// The editor's whole-process peak memory for the everyday job, as a user's
// machine sees it: the driver opens a JPEG, paints one stroke, waits for the
// background work (the blurred copy among it) and saves the PNG. The figure
// is the driver's peak resident size, as /usr/bin/time reports it.
namespace {

// Runs the driver on `script` headless under /usr/bin/time, as the figure is
// taken by hand; its peak resident size in MB, or a negative number when it
// did not run to the end. (A child started straight from this process would
// report this process's own peak: the kernel carries a parent's high-water
// mark across the exec that follows a vfork.)
double driverPeakMb(const QString& script, const QString& report)
{
    const QString drive = QCoreApplication::applicationDirPath() + "/veltrane-drive";
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(QStringLiteral("/usr/bin/time"),
                  {QStringLiteral("-f"), QStringLiteral("%M"), QStringLiteral("-o"), report, drive, script});
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return -1;
    QFile file(report);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const double kilobytes = file.readAll().trimmed().split('\n').last().toDouble(&ok);
    return ok ? kilobytes / 1024 : -1;
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
        const double mb = driverPeakMb(script, dir.filePath(QStringLiteral("peak.txt")));
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
