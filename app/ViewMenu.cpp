#include "app/ViewMenu.h"

#include "canvas/ZRImageCutView.h"

#include <QActionGroup>
#include <QColorDialog>
#include <QMenu>
#include <QSettings>

namespace ViewMenu {
namespace {

const QString kMode = QStringLiteral("view/mode");
const QString kBackdrop = QStringLiteral("view/backdrop");
const QString kTint = QStringLiteral("view/tint");

// "checker" or a colour name.
QColor backdropFromSetting(const QString& value)
{
    return value == QLatin1String("checker") ? QColor() : QColor(value);
}

} // namespace

void fill(QMenu* menu, ZRImageCutView* canvas, QWidget* parent)
{
    QSettings settings;
    using Mode = Compositor::ViewMode;
    auto* modes = new QActionGroup(menu);
    const struct {
        const char* text;
        Mode mode;
        const char* keys;
        const char* name;
    } entries[] = {{"&Cut-out", Mode::CutOut, "Ctrl+1", "cutout"},
                   {"&Overlay", Mode::Overlay, "Ctrl+2", "overlay"},
                   {"&Mask", Mode::Mask, "Ctrl+3", "mask"}};
    const QString savedMode = settings.value(kMode, QStringLiteral("cutout")).toString();
    for (const auto& entry : entries) {
        QAction* action = menu->addAction(QObject::tr(entry.text));
        action->setShortcut(QKeySequence(QString::fromLatin1(entry.keys)));
        action->setCheckable(true);
        modes->addAction(action);
        const Mode mode = entry.mode;
        const QString name = QString::fromLatin1(entry.name);
        QObject::connect(action, &QAction::triggered, canvas, [canvas, mode, name] {
            canvas->setViewMode(mode);
            QSettings().setValue(kMode, name);
        });
        if (name == savedMode) {
            action->setChecked(true);
            canvas->setViewMode(mode);
        }
    }
    QAction* hint = menu->addAction(QObject::tr("Hold O to see the original"));
    hint->setEnabled(false);
    menu->addSeparator();

    QMenu* backdrops = menu->addMenu(QObject::tr("&Backdrop"));
    auto* backdropGroup = new QActionGroup(backdrops);
    const QString savedBackdrop = settings.value(kBackdrop, QStringLiteral("checker")).toString();
    canvas->setBackdrop(backdropFromSetting(savedBackdrop));
    auto addBackdrop = [&](const QString& text, const QString& value) {
        QAction* action = backdrops->addAction(text);
        action->setCheckable(true);
        action->setChecked(value == savedBackdrop);
        backdropGroup->addAction(action);
        QObject::connect(action, &QAction::triggered, canvas, [canvas, value] {
            canvas->setBackdrop(backdropFromSetting(value));
            QSettings().setValue(kBackdrop, value);
        });
    };
    addBackdrop(QObject::tr("Checkerboard"), QStringLiteral("checker"));
    addBackdrop(QObject::tr("Black"), QStringLiteral("#000000"));
    addBackdrop(QObject::tr("White"), QStringLiteral("#ffffff"));
    QAction* custom = backdrops->addAction(QObject::tr("Colour…"));
    custom->setCheckable(true);
    backdropGroup->addAction(custom);
    const bool savedIsCustom = savedBackdrop != QLatin1String("checker") &&
                               savedBackdrop != QLatin1String("#000000") &&
                               savedBackdrop != QLatin1String("#ffffff");
    custom->setChecked(savedIsCustom);
    QObject::connect(custom, &QAction::triggered, canvas, [canvas, parent] {
        const QColor start = canvas->backdrop().isValid() ? canvas->backdrop() : QColor(Qt::gray);
        const QColor colour = QColorDialog::getColor(start, parent, QObject::tr("Backdrop colour"));
        if (!colour.isValid())
            return;
        canvas->setBackdrop(colour);
        QSettings().setValue(kBackdrop, colour.name());
    });

    canvas->setOverlayTint(QColor(settings.value(kTint, canvas->overlayTint().name()).toString()));
    QAction* tint = menu->addAction(QObject::tr("Overlay &colour…"));
    QObject::connect(tint, &QAction::triggered, canvas, [canvas, parent] {
        const QColor colour = QColorDialog::getColor(canvas->overlayTint(), parent, QObject::tr("Overlay colour"));
        if (!colour.isValid())
            return;
        canvas->setOverlayTint(colour);
        canvas->setViewMode(Compositor::ViewMode::Overlay);
        QSettings().setValue(kTint, colour.name());
    });
}

} // namespace ViewMenu
