#include "app/SaveFile.h"

#include "platform/CachesFolder.h"
#include "platform/SystemLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The system's words for an errno value (thread-safe).
QString reason(int error)
{
    char buffer[256];
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

bool writeFully(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(std::min<qint64>(size, qint64(1) << 30)));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

void closeQuietly(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

QString randomLetters(int count)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString text;
    for (int i = 0; i < count; ++i)
        text += QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters) - 1)]);
    return text;
}

} // namespace

SaveFile::SaveFile(const QString& path) : m_path(QFileInfo(path).absoluteFilePath())
{
    // A link is followed, as an editor saving "through" it expects.
    const QFileInfo info(path);
    if (info.isSymLink() && !info.symLinkTarget().isEmpty())
        m_path = info.symLinkTarget();
}

SaveFile::~SaveFile()
{
    if (!m_committed)
        discard();
}

QString SaveFile::recordFolder()
{
    return CachesFolder::path() + QStringLiteral("/Pelmora/saves");
}

bool SaveFile::fail(int error)
{
    if (m_error.isEmpty())
        m_error = reason(error);
    discard();
    return false;
}

bool SaveFile::open()
{
    if (m_fd >= 0)
        return true;
    if (!m_error.isEmpty())
        return false;
    if (QFileInfo(m_path).isDir())
        return fail(EISDIR);
    // The record first, naming the temporary before it exists: a save killed
    // at any moment leaves nothing unnamed.
    if (QDir().mkpath(recordFolder())) {
        const QString record = recordFolder() + QLatin1Char('/') + QString::number(::getpid()) +
                               QLatin1Char('-') + randomLetters(10);
        m_recordFd = ::open(QFile::encodeName(record).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (m_recordFd >= 0 && ::flock(m_recordFd, LOCK_EX) == 0)
            m_record = record;
        else
            closeQuietly(m_recordFd);
    }
    if (m_record.isEmpty())
        SystemLog::log(QStringLiteral("No record for the save to %1: a leftover would stay").arg(m_path));
    const QByteArray target = QFile::encodeName(m_path);
    for (int attempt = 0; attempt < 16 && m_fd < 0; ++attempt) {
        m_temporary = m_path + temporaryMark() + randomLetters(8);
        const QByteArray temporary = QFile::encodeName(m_temporary);
        if (m_recordFd >= 0 && (::ftruncate(m_recordFd, 0) != 0 ||
                                ::pwrite(m_recordFd, temporary.constData(), size_t(temporary.size()), 0) !=
                                    temporary.size())) {
            const int error = errno;
            m_temporary.clear();
            return fail(error);
        }
        m_fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST) {
            const int error = errno;
            m_temporary.clear();
            return fail(error);
        }
    }
    if (m_fd < 0) {
        m_temporary.clear();
        return fail(EEXIST);
    }
    // A file replaced keeps its permissions.
    struct stat old {};
    if (::stat(target.constData(), &old) == 0)
        (void)::fchmod(m_fd, old.st_mode & 07777);
    return true;
}

bool SaveFile::write(const char* data, qint64 size)
{
    if (m_fd < 0)
        return !m_error.isEmpty() ? false : fail(EBADF);
    if (!writeFully(m_fd, data, size))
        return fail(errno);
    return true;
}

bool SaveFile::commit()
{
    if (m_fd < 0)
        return !m_error.isEmpty() ? false : fail(EBADF);
    // A full disk may only show here, where the data reaches it.
    if (::fsync(m_fd) != 0)
        return fail(errno);
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0)
        return fail(errno);
    if (::rename(QFile::encodeName(m_temporary).constData(), QFile::encodeName(m_path).constData()) != 0)
        return fail(errno);
    m_committed = true;
    m_temporary.clear();
    // The rename itself, to the disk (best effort: not every file system can).
    const int folder = ::open(QFile::encodeName(QFileInfo(m_path).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    discard(); // only the record is left
    return true;
}

void SaveFile::abandonForTesting()
{
    // As the system leaves a killed editor's files: closed, lock released.
    closeQuietly(m_fd);
    closeQuietly(m_recordFd);
    m_temporary.clear();
    m_record.clear();
    m_committed = true;
}

void SaveFile::discard()
{
    closeQuietly(m_fd);
    if (!m_temporary.isEmpty())
        ::unlink(QFile::encodeName(m_temporary).constData());
    m_temporary.clear();
    if (!m_record.isEmpty())
        ::unlink(QFile::encodeName(m_record).constData());
    m_record.clear();
    closeQuietly(m_recordFd);
}

QString SaveFile::writeAll(const QString& path, const QByteArray& bytes)
{
    SaveFile file(path);
    if (!file.open() || !file.write(bytes) || !file.commit())
        return file.errorString();
    return {};
}

void SaveFile::removeLeftovers()
{
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-60);
    const QDir folder(recordFolder());
    for (const QFileInfo& entry : folder.entryInfoList(QDir::Files | QDir::Hidden)) {
        const QByteArray record = QFile::encodeName(entry.absoluteFilePath());
        int fd = ::open(record.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        // Locked: its editor is still saving.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        char buffer[4096];
        const ssize_t size = ::pread(fd, buffer, sizeof buffer, 0);
        // An empty record may be one being made right now; an old one is junk.
        if (size <= 0 && entry.lastModified().toUTC() >= before) {
            ::close(fd);
            continue;
        }
        const QString temporary = size > 0 ? QFile::decodeName(QByteArray(buffer, int(size))) : QString();
        // Only a file of the name our saves give, and only a plain file.
        struct stat status {};
        if (!temporary.isEmpty() && QFileInfo(temporary).fileName().contains(temporaryMark()) &&
            ::lstat(QFile::encodeName(temporary).constData(), &status) == 0 && S_ISREG(status.st_mode)) {
            if (::unlink(QFile::encodeName(temporary).constData()) == 0)
                SystemLog::log(QStringLiteral("Removed the leftover of a save cut short: %1").arg(temporary));
            else
                SystemLog::log(QStringLiteral("Could not remove the leftover %1").arg(temporary));
        }
        ::unlink(record.constData());
        ::close(fd);
    }
}
