#include "platform/CachesFolder.h"

#include <QDir>
#include <QStandardPaths>

namespace CachesFolder {

QString path()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (dir.isEmpty())
        dir = QDir::homePath() + QStringLiteral("/.cache");
    return dir;
}

} // namespace CachesFolder
