#include "Bench.h"
#include "canvas/MaskDocument.h"
#include "imaging/JpegCodec.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>

namespace {

// A document over a 6000 x 4000 picture (a 2000 x 1333 mask) at `path`,
// with its session record on and `strokes` soft strokes recorded.
std::unique_ptr<MaskDocument> cutDocument(const QString& path, int strokes)
{
    auto document = std::make_unique<MaskDocument>(MaskDocument::Reports{
        [](const QImage&, const QRect&) {}, [] {}, [](std::uint64_t, const QString&) {}, {}});
    document->drain().setHardness(0.5f);
    document->setPicture(QSizeF(6000, 4000));
    document->waitUntilIdle();
    document->setSessionPicture(path, QSizeF(6000, 4000), {});
    for (int s = 0; s < strokes; ++s) {
        for (int i = 0; i < 40; ++i)
            document->drain().buffer().append(
                {300.0 + s * 150 + i * 40, 500.0 + s * 90 + i * 30, 240, 240});
        document->drain().buffer().append({0, 0, -1, -1});
        document->updateMap();
    }
    document->waitUntilIdle();
    return document;
}

// Caches and settings of the case's own, for this process and the editors it starts.
struct OwnCaches {
    OwnCaches() : previous(qgetenv("XDG_CACHE_HOME"))
    {
        qputenv("XDG_CACHE_HOME", dir.path().toUtf8());
    }
    ~OwnCaches() { qputenv("XDG_CACHE_HOME", previous); }
    QTemporaryDir dir;
    QByteArray previous;
};

} // namespace

// What the session record adds to each history state on the serial queue:
// one write of the record (a save marks it through the same write).
VELTRANE_BENCH(session_record_2000)
{
    OwnCaches caches;
    QFile picture(caches.dir.filePath(QStringLiteral("photo.jpg")));
    picture.open(QIODevice::WriteOnly);
    picture.write("not read here");
    picture.close();
    auto document = cutDocument(picture.fileName(), 5);
    for (int run = 0; run < 200; ++run) {
        QElapsedTimer timer;
        timer.start();
        document->markSessionSaved(0);
        document->waitUntilIdle();
        ctx.record(timer.nsecsElapsed() / 1e6);
    }
}

// From starting build/veltrane --restore to the first frame painted with the
// restored cut of a 6000 x 4000 JPEG with 30 undo states, as the editor
// reports it. Each run restores the session the previous run left when it
// was killed.
VELTRANE_BENCH(restore_24mp)
{
    OwnCaches caches;
    const QString path = caches.dir.filePath(QStringLiteral("photo.jpg"));
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(JpegCodec::encode(bench::photo(6000, 4000), 90));
    }
    cutDocument(path, 30); // ends without closing: an orphan
    const QString editor = QCoreApplication::applicationDirPath() + QStringLiteral("/veltrane");
    const QRegularExpression shownAfter(QStringLiteral("window shown after (\\d+) ms"));
    std::vector<double> shown;
    for (int run = 0; run < 6; ++run) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VELTRANE_TRACE"), QStringLiteral("1"));
        env.insert(QStringLiteral("VELTRANE_REPORT_STARTUP"), QStringLiteral("1"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"),
                   caches.dir.filePath(QStringLiteral("config")));
        process.setProcessEnvironment(env);
        process.setReadChannel(QProcess::StandardError);
        QElapsedTimer timer;
        timer.start();
        process.start(editor, {QStringLiteral("--restore")});
        QByteArray log;
        while (!log.contains("restored ") && process.waitForReadyRead(20000))
            log += process.readAllStandardError();
        const double ms = timer.nsecsElapsed() / 1e6;
        process.kill(); // as a crash would: the next run restores what this one left
        process.waitForFinished();
        if (!log.contains("restored 6000 4000")) {
            std::fprintf(stderr, "restore_24mp: no restore in run %d:\n%s\n", run, log.constData());
            return;
        }
        if (run > 0) {
            ctx.record(ms);
            if (const auto match = shownAfter.match(QString::fromUtf8(log)); match.hasMatch())
                shown.push_back(match.captured(1).toDouble());
        }
    }
    std::sort(shown.begin(), shown.end());
    if (!shown.empty())
        ctx.report("restore_24mp_window_shown_ms", shown[shown.size() / 2]);
}
