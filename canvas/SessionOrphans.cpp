#include "canvas/SessionOrphans.h"

#include "canvas/HistoryStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>

#include <algorithm>

namespace SessionOrphans {

QString Orphan::pictureFile() const
{
    return record.picture.path.isEmpty() ? folder + record.picture.copy : record.picture.path;
}

std::vector<Orphan> find(const QString& base)
{
    static const QRegularExpression historyName(QStringLiteral("^history(-[0-9]+)?$"));
    std::vector<Orphan> orphans;
    const auto entries = QDir(base).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink() || !historyName.match(entry.fileName()).hasMatch())
            continue;
        const QString folder = entry.absoluteFilePath() + QLatin1Char('/');
        // Read before locking, so that a saved or empty folder is never
        // locked, even for a moment, under an editor starting meanwhile.
        if (!SessionRecord::holdsUnsavedCut(folder))
            continue;
        auto lock = std::make_shared<QLockFile>(HistoryStore::lockPath(folder));
        lock->setStaleLockTime(0); // stale only when its process is gone
        if (!lock->tryLock(0))
            continue;
        // Again under the lock: its editor may have written it as it ended.
        const auto record = SessionRecord::read(folder);
        if (!record || record->saved || record->length < 1)
            continue;
        orphans.push_back({folder, *record, pictureState(folder, *record), std::move(lock)});
    }
    std::stable_sort(orphans.begin(), orphans.end(), [](const Orphan& a, const Orphan& b) {
        return a.record.written > b.record.written;
    });
    return orphans;
}

PictureState pictureState(const QString& folder, const SessionRecord::Contents& record)
{
    const SessionRecord::Picture& picture = record.picture;
    if (picture.path.isEmpty())
        return !picture.copy.isEmpty() && QFileInfo(folder + picture.copy).isFile()
                   ? PictureState::Unchanged
                   : PictureState::Vanished;
    const QFileInfo file(picture.path);
    if (!file.isFile())
        return PictureState::Vanished;
    if (file.size() != picture.bytes || file.lastModified().toMSecsSinceEpoch() != picture.modified)
        return PictureState::Changed;
    return PictureState::Unchanged;
}

void discard(const Orphan& orphan)
{
    QDir(orphan.folder).removeRecursively();
    if (orphan.lock)
        orphan.lock->unlock();
}

bool moveInto(const Orphan& orphan, const QString& folder)
{
    auto move = [&](const QString& name) {
        const QString from = orphan.folder + name;
        if (!QFileInfo::exists(from))
            return false;
        QFile::remove(folder + name);
        return QFile::rename(from, folder + name);
    };
    bool current = true;
    for (qint64 slot = 0; slot < HistoryStore::slotCount; ++slot) {
        const bool moved = move(QStringLiteral("%1.his").arg(slot));
        if (slot == orphan.record.fileIndex)
            current = moved;
    }
    if (!orphan.record.picture.copy.isEmpty())
        move(orphan.record.picture.copy);
    discard(orphan);
    return current;
}

} // namespace SessionOrphans
