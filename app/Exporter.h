#pragma once

#include "app/ExportWriter.h"
#include "canvas/ResultComposer.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QWidget;

// The save's dialog and its writing: asks where to and how (format, trimmed
// borders, colours kept under cut pixels; the choices are remembered), then
// trims, encodes and writes the cut-out on a background thread, reporting its
// progress and its end on the main thread. A file is replaced whole or not at
// all.
class Exporter : public QObject {
    Q_OBJECT

public:
    struct Options {
        ExportWriter::Format format = ExportWriter::Format::Png;
        bool trim = false;
        bool keepColours = false;
    };

    using QObject::QObject;

    // The choices of the last save (PNG, untrimmed, colours dropped at first).
    static Options rememberedOptions();
    static void remember(const Options& options);

    // Runs the save dialog in `directory` with `name` proposed: the
    // desktop's own where the platform offers one, else Qt's with the
    // options in it. False when the user cancels; else the chosen path and
    // options, which are remembered.
    static bool choose(QWidget* parent, const QString& directory, const QString& name, QString* path,
                       Options* options);

    // What a name typed in the save dialog becomes, with `filtered` the
    // dialog's chosen type: a name with one of our extensions keeps it and
    // takes its format; a name without an extension of a picture type gets
    // the filter's; a name whose extension is a picture type we do not
    // write (cut.jpg) stays as typed and is `foreign`: the user is asked.
    struct Naming {
        QString path;
        ExportWriter::Format format = ExportWriter::Format::Png;
        bool foreign = false;
    };
    static Naming nameFor(const QString& typed, ExportWriter::Format filtered);
    // The question for a foreign extension: the file as named, holding the
    // format; the name with the format's extension instead; or back.
    enum class ForeignAnswer { KeepName, UseExtension, Cancel };
    static ForeignAnswer askAboutForeignExtension(QWidget* parent, const Naming& naming);
    // Tests: answer that question without asking (nullopt asks again).
    static void setForeignAnswerForTesting(std::optional<ForeignAnswer> answer);

    // Composes the picture with `compose` (straight alpha, full size) and
    // writes it to `path`, all in the background. An untrimmed PNG streams
    // from the composer to the file band by band, never whole in memory.
    void write(std::function<ResultComposer()> compose, const QString& path, const Options& options);

signals:
    // Main thread; `percent` rises to 100 as the encoding goes on.
    void progressed(const QString& path, int percent);
    // Main thread; `error` is empty on success. `note` tells what the user
    // should know of a good save (an all-cut picture written as one pixel).
    void finished(const QString& path, const QString& error, const QString& note);
};
