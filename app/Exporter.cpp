#include "app/Exporter.h"

#include "app/SaveFile.h"
#include "platform/BackgroundPool.h"
#include "platform/MainThread.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QImageReader>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
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
    // The desktop's own dialog where there is one (the portal, GTK's or
    // KDE's): the options then come from the File menu, where they also are.
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
    Naming naming;
    for (;;) {
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return false;
        naming = nameFor(dialog.selectedFiles().first(),
                         ExportWriter::formatForFilter(dialog.selectedNameFilter()));
        if (!naming.foreign)
            break;
        const ForeignAnswer answer = askAboutForeignExtension(parent, naming);
        if (answer == ForeignAnswer::Cancel) {
            dialog.selectFile(QFileInfo(naming.path).fileName()); // back to the dialog, name kept
            continue;
        }
        if (answer == ForeignAnswer::UseExtension)
            naming.path = QFileInfo(naming.path).dir().filePath(QFileInfo(naming.path).completeBaseName() +
                                                                QLatin1Char('.') +
                                                                ExportWriter::extension(naming.format));
        break;
    }
    chosen.format = naming.format;
    chosen.trim = trim->isChecked();
    chosen.keepColours = keep->isChecked();
    remember(chosen);
    *path = naming.path;
    *options = chosen;
    return true;
}

Exporter::Naming Exporter::nameFor(const QString& typed, ExportWriter::Format filtered)
{
    Naming naming{typed, filtered, false};
    if (const auto own = ExportWriter::formatForPath(typed)) {
        naming.format = *own;
        return naming;
    }
    // Picture types another program may write; the readers we have know more.
    const QByteArray suffix = QFileInfo(typed).suffix().toLower().toLatin1();
    static const QList<QByteArray> others{"jpg", "jpeg", "jpe", "jfif", "gif", "bmp", "heic", "heif",
                                          "avif", "jxl", "jp2", "ico", "pdf", "svg", "psd", "xcf"};
    naming.foreign = !suffix.isEmpty() && (others.contains(suffix) ||
                                           QImageReader::supportedImageFormats().contains(suffix));
    if (!naming.foreign)
        naming.path += QLatin1Char('.') + ExportWriter::extension(filtered);
    return naming;
}

namespace {
std::optional<Exporter::ForeignAnswer> g_foreignAnswer;
} // namespace

void Exporter::setForeignAnswerForTesting(std::optional<ForeignAnswer> answer)
{
    g_foreignAnswer = answer;
}

Exporter::ForeignAnswer Exporter::askAboutForeignExtension(QWidget* parent, const Naming& naming)
{
    if (g_foreignAnswer)
        return *g_foreignAnswer;
    const QFileInfo file(naming.path);
    const QString type = ExportWriter::extension(naming.format).toUpper();
    const QString renamed = file.completeBaseName() + QLatin1Char('.') + ExportWriter::extension(naming.format);
    QMessageBox box(QMessageBox::Question, QObject::tr("Save the cut-out"),
                    QObject::tr("“%1” will be a %2 picture.").arg(file.fileName(), type), QMessageBox::NoButton,
                    parent);
    box.setInformativeText(QObject::tr("Veltrane writes PNG, WebP and TIFF, as only those keep the cut's "
                                       "transparency. A %1 named .%2 may not open everywhere.")
                               .arg(type, file.suffix()));
    QPushButton* rename = box.addButton(QObject::tr("Save as “%1”").arg(renamed), QMessageBox::AcceptRole);
    QPushButton* keep = box.addButton(QObject::tr("Keep “%1”").arg(file.fileName()), QMessageBox::DestructiveRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(rename);
    box.exec();
    if (box.clickedButton() == rename)
        return ForeignAnswer::UseExtension;
    if (box.clickedButton() == keep)
        return ForeignAnswer::KeepName;
    return ForeignAnswer::Cancel;
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
        } else if (options.format == ExportWriter::Format::Png) {
            // Trimmed: the kept rectangle is found band by band first, so the
            // picture is never composed whole.
            const QRect crop = options.trim ? ExportWriter::keptBounds(composer) : QRect();
            // Written beside the target and renamed over it, so an existing
            // file is replaced whole or not at all.
            SaveFile file(path);
            bool written = true;
            if (options.trim && crop.isEmpty()) {
                note = QObject::tr("The whole picture is cut away: saved as one transparent pixel.");
                QImage transparent(1, 1, QImage::Format_ARGB32);
                transparent.fill(0);
                const QByteArray bytes = ExportWriter::encode(transparent, options.format, progress, &error);
                if (!bytes.isEmpty())
                    error = SaveFile::writeAll(path, bytes);
            } else if (!file.open()) {
                error = file.errorString();
            } else if (!ExportWriter::writePng(
                           composer, progress,
                           [&file, &written](const char* data, qsizetype size) {
                               return written = file.write(data, size);
                           },
                           crop)) {
                // The file's own reason where the disk refused the bytes.
                error = !written ? file.errorString() : QObject::tr("The picture could not be encoded as PNG.");
            } else if (!file.commit()) {
                error = file.errorString();
            }
        } else {
            // Trimmed, only the kept rectangle is composed.
            QImage image;
            if (!options.trim) {
                image = composer.image();
            } else if (const QRect kept = ExportWriter::keptBounds(composer); !kept.isEmpty()) {
                image = ExportWriter::composed(composer, kept);
            } else {
                note = QObject::tr("The whole picture is cut away: saved as one transparent pixel.");
                image = QImage(1, 1, QImage::Format_ARGB32);
                image.fill(0);
            }
            const QByteArray bytes = image.isNull()
                                         ? QByteArray()
                                         : ExportWriter::encode(image, options.format, progress, &error);
            if (image.isNull())
                error = QObject::tr("The picture could not be composed.");
            if (!bytes.isEmpty())
                error = SaveFile::writeAll(path, bytes);
        }
        MainThread::async([self, path, error, note] {
            if (self)
                emit self->finished(path, error, note);
        });
    });
}
