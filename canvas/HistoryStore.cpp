#include "canvas/HistoryStore.h"

#include "canvas/SessionRecord.h"
#include "imaging/PngCodec.h"
#include "platform/CachesFolder.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLockFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

// Empty when written, else the system's reason.
QString writeFileWhole(const QString& path, const QByteArray& bytes)
{
    // Written beside the target and renamed over it, so a slot is never half
    // old and half new. No fsync: snapshots are a convenience, not the user's file.
    const QString temporary = path + QStringLiteral(".part");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return file.errorString();
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    const QString error = file.errorString();
    file.close();
    if (!written) {
        QFile::remove(temporary);
        return error.isEmpty() ? QStringLiteral("the snapshot could not be written") : error;
    }
    if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        QFile::remove(temporary);
        return reason;
    }
    return {};
}

// Opens the file and reads the picture size from its PNG header: nothing when
// the file cannot be opened, an invalid size when it is not a PNG.
std::optional<QSize> pngSize(QFile& file)
{
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.peek(24);
    if (head.size() < 24 || !head.startsWith("\x89PNG\r\n\x1a\n") || head.mid(12, 4) != "IHDR")
        return QSize();
    auto word = [&](int at) {
        const auto* b = reinterpret_cast<const uchar*>(head.constData() + at);
        return qint64(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
    };
    if (word(16) > std::numeric_limits<int>::max() || word(20) > std::numeric_limits<int>::max())
        return QSize(0, 0);
    return QSize(int(word(16)), int(word(20)));
}

} // namespace

HistoryStore::HistoryStore() = default;
HistoryStore::~HistoryStore() = default;

QString HistoryStore::directory()
{
    if (!m_directory.isEmpty())
        return m_directory;
    // One folder per running editor: a second instance locks the next free
    // folder instead of overwriting the first one's snapshots.
    const QString base = baseFolder();
    QDir().mkpath(base);
    for (int n = 1; n <= 64 && m_directory.isEmpty(); ++n) {
        const QString folder =
            base + (n == 1 ? QStringLiteral("history/") : QStringLiteral("history-%1/").arg(n));
        // An editor that died holding this folder left a cut to bring back:
        // its lock is free now, but the folder is not ours to empty.
        if (SessionRecord::holdsUnsavedCut(folder))
            continue;
        auto lock = std::make_unique<QLockFile>(lockPath(folder));
        lock->setStaleLockTime(0);
        if (lock->tryLock(0)) {
            m_lock = std::move(lock);
            m_directory = folder;
        }
    }
    if (m_directory.isEmpty()) {
        // Locked too, so that no other editor takes it for an orphan.
        m_directory = base + QStringLiteral("history-%1/").arg(QCoreApplication::applicationPid());
        auto lock = std::make_unique<QLockFile>(lockPath(m_directory));
        lock->setStaleLockTime(0);
        if (lock->tryLock(0))
            m_lock = std::move(lock);
    }
    QDir().mkpath(m_directory);
    return m_directory;
}

QString HistoryStore::baseFolder()
{
    return CachesFolder::path() + QStringLiteral("/Pelmora/");
}

QString HistoryStore::lockPath(const QString& folder)
{
    QString path = folder;
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path + QStringLiteral(".lock");
}

QString HistoryStore::slotPath(qint64 slot)
{
    return directory() + QStringLiteral("%1.his").arg(slot);
}

void HistoryStore::resetCounters()
{
    m_length = 0;
    m_current = -1;
    m_fileIndex = -1;
}

void HistoryStore::clear()
{
    resetCounters();
    m_written.fill(false);
    QDir dir(directory());
    const auto entries =
        dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo& entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.absoluteFilePath()).removeRecursively();
        else
            QFile::remove(entry.absoluteFilePath());
    }
}

QString HistoryStore::record(const AlphaPlane& mask)
{
    qint64 length = m_length.load();
    qint64 current = m_current.load();
    if (current < length - 1) {
        current += 1;
        length = current + 1;
    } else if (length <= stateCount - 1) {
        current += 1;
        length += 1;
    }
    m_length = length;
    m_current = current;

    const qint64 f = m_fileIndex.load();
    const qint64 slot = f <= slotCount - 2 ? f + 1 : 0;
    if (!mask.data || mask.width <= 0 || mask.height <= 0)
        return {};
    // The slot moves even when the write fails, so that every other state
    // stays where the counters place it; the slot is marked as holding none.
    const QByteArray png = PngCodec::encodeAlpha(mask.data, mask.width, mask.height, mask.stride);
    const QString error = png.isEmpty() ? QStringLiteral("the snapshot could not be encoded")
                                        : writeFileWhole(slotPath(slot), png);
    m_written[std::size_t(slot)] = error.isEmpty();
    m_fileIndex = slot;
    return error;
}

std::optional<QImage> HistoryStore::step(int direction, QSize maskSize)
{
    const qint64 current = m_current.load();
    const qint64 f = m_fileIndex.load();
    qint64 slot;
    if (direction < 0) {
        if (current <= 0)
            return std::nullopt;
        slot = f >= 1 ? f - 1 : slotCount - 1;
    } else {
        if (current > m_length.load() - 2)
            return std::nullopt;
        slot = f <= slotCount - 2 ? f + 1 : 0;
    }
    std::optional<QImage> snapshot = load(slot, maskSize);
    if (snapshot) {
        m_fileIndex = slot;
        m_current = current + direction;
    }
    return snapshot;
}

std::optional<QImage> HistoryStore::load(qint64 slot, QSize maskSize)
{
    if (slot < 0 || slot >= slotCount || !m_written[std::size_t(slot)]) {
        SystemLog::log(QStringLiteral("NO DATA PROVIDER"));
        return std::nullopt;
    }
    QFile file(slotPath(slot));
    // Only this store writes the folder, so a snapshot of another size than
    // the mask was put there by something else: refused before it is decoded
    // (a 67108864 x 1 one takes 64 MB and cannot be scaled).
    const auto size = pngSize(file);
    if (!size || (size->isValid() && *size != maskSize)) {
        SystemLog::log(QStringLiteral("NO DATA PROVIDER"));
        return std::nullopt;
    }
    const QImage snapshot = PngCodec::decodeAlpha(file.readAll());
    return snapshot.size() == maskSize ? snapshot : QImage();
}

void HistoryStore::adopt(qint64 length, qint64 current, qint64 fileIndex)
{
    m_length = length;
    m_current = current;
    m_fileIndex = fileIndex;
    // The states' snapshots were put there: each slot the counters place one in.
    m_written.fill(false);
    for (qint64 i = 0; i < length && fileIndex >= 0; ++i)
        m_written[std::size_t(((fileIndex - (current - i)) % slotCount + slotCount) % slotCount)] = true;
}
