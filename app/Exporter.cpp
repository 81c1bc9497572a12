#include "app/Exporter.h"

#include "platform/BackgroundPool.h"
#include "platform/MainThread.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QPointer>
#include <QSaveFile>
#include <QSettings>

#include <atomic>
#include <memory>

namespace {
const QString kFormat = QStringLiteral("export/format");
const QString kTrim = QStringLiteral("export/trim");
const QString kKeepColours = QStringLiteral("export/keepColours");
} // namespace

Exporter::Options Exporter::rememberedOptions()
{
    const QSettings settings;
    Options options;
    options.format = ExportWriter::formatForPath(QStringLiteral("x.") + settings.value(kFormat).toString())
                         .value_or(ExportWriter::Format::Png);
    if (!ExportWriter::writableFormats().contains(options.format))
        options.format = ExportWriter::Format::Png;
    options.trim = settings.value(kTrim, false).toBool();
    options.keepColours = settings.value(kKeepColours, false).toBool();
    return options;
}

void Exporter::remember(const Options& options)
{
    QSettings settings;
    settings.setValue(kFormat, ExportWriter::extension(options.format));
    settings.setValue(kTrim, options.trim);
    settings.setValue(kKeepColours, options.keepColours);
}

bool Exporter::choose(QWidget* parent, const QString& directory, const QString& name, QString* path,
                      Options* options)
{
    Options chosen = rememberedOptions();
    QFileDialog dialog(parent, QObject::tr("Save the cut-out"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // Our own dialog, so that the export choices can sit in it.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setDirectory(directory);
    QStringList filters;
    for (ExportWriter::Format format : ExportWriter::writableFormats())
        filters << ExportWriter::filterFor(format);
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(ExportWriter::filterFor(chosen.format));
    dialog.selectFile(QFileInfo(name).completeBaseName() + QLatin1Char('.') +
                      ExportWriter::extension(chosen.format));

    auto* trim = new QCheckBox(QObject::tr("Trim transparent borders"), &dialog);
    trim->setChecked(chosen.trim);
    auto* keep = new QCheckBox(QObject::tr("Keep colours under cut pixels"), &dialog);
    keep->setChecked(chosen.keepColours);
    keep->setToolTip(QObject::tr("Fully cut pixels keep the picture's colour, so that the cut can be "
                                 "refined later in another editor."));
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
        const int row = grid->rowCount();
        grid->addWidget(trim, row, 0, 1, grid->columnCount());
        grid->addWidget(keep, row + 1, 0, 1, grid->columnCount());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;

    QString file = dialog.selectedFiles().first();
    const ExportWriter::Format filtered = ExportWriter::formatForFilter(dialog.selectedNameFilter());
    // A name's own extension wins; a name without one takes the filter's.
    chosen.format = ExportWriter::formatForPath(file).value_or(filtered);
    if (!ExportWriter::formatForPath(file))
        file += QLatin1Char('.') + ExportWriter::extension(chosen.format);
    chosen.trim = trim->isChecked();
    chosen.keepColours = keep->isChecked();
    remember(chosen);
    *path = file;
    *options = chosen;
    return true;
}

void Exporter::write(std::function<ResultComposer()> compose, const QString& path,
                     const Options& options)
{
    QPointer<Exporter> self(this);
    BackgroundPool::run([self, compose = std::move(compose), path, options] {
        QString note;
        QString error;
        const ResultComposer composer = compose();
        // The bar moves in whole percents, each posted once.
        auto reported = std::make_shared<std::atomic<int>>(-1);
        auto progress = [self, path, reported](double done) {
            const int percent = int(done * 100);
            if (reported->exchange(percent) == percent)
                return;
            MainThread::async([self, path, percent] {
                if (self)
                    emit self->progressed(path, percent);
            });
        };
        if (composer.isNull()) {
            error = QObject::tr("The picture could not be composed.");
        } else if (options.format == ExportWriter::Format::Png && !options.trim) {
            // Written beside the target and renamed over it, so an existing
            // file is replaced whole or not at all.
            QSaveFile file(path);
            if (!file.open(QIODevice::WriteOnly)) {
                error = file.errorString();
            } else if (!ExportWriter::writePng(composer, progress, [&file](const char* data, qsizetype size) {
                           return file.write(data, size) == size;
                       })) {
                error = file.error() != QFileDevice::NoError
                            ? file.errorString()
                            : QObject::tr("The picture could not be encoded as PNG.");
                file.cancelWriting();
            } else if (!file.commit()) {
                error = file.errorString();
            }
        } else {
            const QImage picture = composer.image();
            QImage image = picture;
            if (options.trim) {
                bool allCut = false;
                image = ExportWriter::trimmed(picture, &allCut);
                if (allCut)
                    note = QObject::tr("The whole picture is cut away: saved as one transparent pixel.");
            }
            const QByteArray bytes = image.isNull()
                                         ? QByteArray()
                                         : ExportWriter::encode(image, options.format, progress, &error);
            if (image.isNull())
                error = QObject::tr("The picture could not be composed.");
            if (!bytes.isEmpty()) {
                QSaveFile file(path);
                if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
                    error = file.errorString();
            }
        }
        MainThread::async([self, path, error, note] {
            if (self)
                emit self->finished(path, error, note);
        });
    });
}
