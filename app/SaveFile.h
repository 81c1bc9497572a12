#pragma once

#include <QByteArray>
#include <QString>

// A file replaced whole or not at all: written into a temporary file of ours
// beside the target, flushed to the disk and renamed over it. Failures carry
// the system's reason ("No space left on device").
//
// A save killed mid-way leaves its temporary file; each one in progress is
// noted in a small record under the caches folder, locked while its save
// runs, so that the next start can remove exactly the temporaries whose
// editor is gone and nothing else. Any thread; one object per save.
class SaveFile {
public:
    explicit SaveFile(const QString& path);
    // Discards the temporary file unless committed.
    ~SaveFile();
    SaveFile(const SaveFile&) = delete;
    SaveFile& operator=(const SaveFile&) = delete;

    // Creates the temporary file. False with the reason in errorString().
    bool open();
    // Appends to it; false (and every later call too) on failure.
    bool write(const char* data, qint64 size);
    bool write(const QByteArray& bytes) { return write(bytes.constData(), bytes.size()); }
    // Flushes it to the disk and renames it over the target.
    bool commit();
    QString errorString() const { return m_error; }
    // The temporary file, while there is one.
    QString temporaryPath() const { return m_temporary; }
    // Tests: leaves the temporary file and its record as a killed editor would.
    void abandonForTesting();

    // The whole of `bytes` to `path`; empty on success, else the reason.
    static QString writeAll(const QString& path, const QByteArray& bytes);

    // Removes the temporaries of saves whose editor ended mid-way, and their
    // records; those of running editors stay. At start, off the main thread.
    static void removeLeftovers();
    // Where the records of saves in progress are kept.
    static QString recordFolder();
    // The mark every temporary's name carries after the target's name.
    static QString temporaryMark() { return QStringLiteral(".veltrane-save-"); }

private:
    bool fail(int error);
    void discard();

    QString m_path;    // the target (its link's target, for a symbolic link)
    QString m_temporary;
    QString m_record;
    int m_fd = -1;
    int m_recordFd = -1;
    bool m_committed = false;
    QString m_error;
};
