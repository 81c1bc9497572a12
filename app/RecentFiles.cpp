#include "app/RecentFiles.h"

#include <QFileInfo>
#include <QSettings>

namespace RecentFiles {
namespace {
const QString kKey = QStringLiteral("recent/files");
}

QStringList list()
{
    return QSettings().value(kKey).toStringList().mid(0, kMaxEntries);
}

void add(const QString& path)
{
    QStringList entries = list();
    entries.removeAll(path);
    entries.prepend(path);
    QSettings().setValue(kKey, entries.mid(0, kMaxEntries));
}

void remove(const QStringList& paths)
{
    QStringList entries = list();
    for (const QString& path : paths)
        entries.removeAll(path);
    QSettings().setValue(kKey, entries);
}

QStringList missing(const QStringList& paths)
{
    QStringList gone;
    for (const QString& path : paths)
        if (!QFileInfo(path).isFile())
            gone << path;
    return gone;
}

} // namespace RecentFiles
