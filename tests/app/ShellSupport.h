#pragma once

// The editor's window as the app tests drive it: shown at 1280 x 800, its
// sliders pushed into the canvas, the subject not looked for on open.
#include "TestSupport.h"
#include "app/AppDelegate.h"
#include "app/Exporter.h"
#include "app/ViewController.h"
#include "app/WindowController.h"
#include "canvas/StampRect.h"
#include "canvas/ZRImageCutView.h"

#include <QCheckBox>
#include <QLabel>
#include <QStatusBar>
#include <QUrl>

#include <functional>

namespace apptest {

struct Shell {
    Shell()
    {
        delegate.setMainWindow(&window);
        window.resize(1280, 800);
        window.show();
        controller = window.viewController();
        // The sliders reach the canvas one turn after the window appears.
        testsupport::waitFor([&] { return !controller->ivBrushPreview()->pixmap().isNull(); });
        // The subject network is not what these tests are about: off, through the switch.
        controller->findChild<QCheckBox*>(QStringLiteral("chkSubjectOnOpen"))->setChecked(false);
    }
    ~Shell() { controller->viCut()->waitUntilIdle(); }

    // Starts an intake and returns once it has finished (the canvas not yet idle).
    bool intake(const QList<QUrl>& urls, bool dropped = false)
    {
        bool done = false, loaded = false;
        auto connection =
            QObject::connect(controller, &ViewController::intakeFinished, [&](bool ok) {
                done = true;
                loaded = ok;
            });
        controller->draggingFilesComplete(urls, dropped);
        testsupport::waitFor([&] { return done; });
        QObject::disconnect(connection);
        return loaded;
    }
    bool load(const QList<QUrl>& urls, bool dropped = false)
    {
        const bool loaded = intake(urls, dropped);
        controller->viCut()->waitUntilIdle();
        return loaded;
    }

    // Writes a picture file of the given size in `dir` and loads it.
    bool open(const QString& dir, const QString& name, QSize size)
    {
        return load({QUrl::fromLocalFile(testsupport::pictureFile(dir, name, size))});
    }

    // One stroke through the canvas's drain, at the given opacity if any.
    void stroke(StampRect stamp, float alpha = -1)
    {
        ZRImageCutView* canvas = controller->viCut();
        if (alpha >= 0)
            canvas->setBrushAlphaValue(alpha);
        canvas->eventBuffer().append(stamp);
        canvas->eventBuffer().append(StampRect::endOfStroke());
        canvas->updateMap();
        canvas->waitUntilIdle();
    }

    // Starts a save and returns its error once it has finished ("" for success).
    QString save(const std::function<void()>& start)
    {
        QString error = "not finished";
        auto connection = QObject::connect(controller, &ViewController::saveFinished,
                                           [&](const QString&, const QString& e) { error = e; });
        start();
        testsupport::waitFor([&] { return error != "not finished"; });
        QObject::disconnect(connection);
        return error;
    }
    QString saveTo(const QString& path, const Exporter::Options& options = {})
    {
        return save([&] { controller->saveTo(path, options); });
    }

    QString status() const { return window.statusBar()->currentMessage(); }

    AppDelegate delegate;
    WindowController window;
    ViewController* controller = nullptr;
};

} // namespace apptest
