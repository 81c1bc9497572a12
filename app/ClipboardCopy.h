#pragma once

#include <QImage>
#include <QObject>
#include <QString>

#include <functional>

// Puts a cut-out on the clipboard as programs that paste pictures expect it:
// PNG data and Qt's image type, both with the alpha channel.
namespace ClipboardCopy {

// Composes the picture with `compose` and encodes it off the main thread,
// then fills the clipboard on the main thread and calls `done` there with ""
// (or the reason it could not) unless `context` is gone by then.
void copy(QObject* context, std::function<QImage()> compose, std::function<void(const QString& error)> done);

} // namespace ClipboardCopy
