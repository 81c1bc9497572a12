#include "kit/ButtonBlocker.h"

#include <QAbstractButton>
#include <QPalette>
#include <QVariant>

namespace ButtonBlocker {
namespace {

constexpr const char* kBlockKeys = "zrBlockKeys";
constexpr const char* kSavedEnabled = "zrSavedEnabled";

// The button's own flag: isEnabled() is also false while a parent is
// disabled, and restoring that would leave the button disabled for good.
bool ownEnabledFlag(const QAbstractButton* button)
{
    return !button->testAttribute(Qt::WA_ForceDisabled);
}

} // namespace

QStringList blockKeys(QAbstractButton* button)
{
    if (!button)
        return {};
    const QVariant keys = button->property(kBlockKeys);
    if (!keys.isValid()) {
        button->setProperty(kBlockKeys, QStringList());
        return {};
    }
    return keys.toStringList();
}

void blockWith(QAbstractButton* button, const QString& key)
{
    if (!button)
        return;
    QStringList keys = blockKeys(button);
    if (keys.isEmpty()) {
        button->setProperty(kSavedEnabled, ownEnabledFlag(button));
        // The base class's setter: a button class that overrides its enabled
        // handling is not involved.
        button->QWidget::setEnabled(false);
    }
    keys.append(key);
    button->setProperty(kBlockKeys, keys);
}

void unblockWith(QAbstractButton* button, const QString& key)
{
    if (!button)
        return;
    QStringList keys = blockKeys(button);
    for (qsizetype i = keys.size() - 1; i >= 0; --i) {
        if (keys[i] == key)
            keys.removeAt(i);
    }
    button->setProperty(kBlockKeys, keys);
    if (!keys.isEmpty())
        return;
    const QVariant saved = button->property(kSavedEnabled);
    if (!saved.isValid())
        return; // never blocked: nothing to give back
    button->QWidget::setEnabled(saved.toBool());
    // Forget the state once it is given back, so that a stray unblock later
    // cannot overwrite whatever the button's owner has set since.
    button->setProperty(kSavedEnabled, QVariant());
}

void setTitleColor(QAbstractButton* button, const QColor& color)
{
    if (!button)
        return;
    QPalette palette = button->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        // Push buttons draw their title in ButtonText; check boxes and radio
        // buttons in WindowText.
        palette.setColor(group, QPalette::ButtonText, color);
        palette.setColor(group, QPalette::WindowText, color);
    }
    button->setPalette(palette);
}

} // namespace ButtonBlocker
