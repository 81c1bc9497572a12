#pragma once

#include <QByteArray>
#include <QSizeF>
#include <QString>

#include <mutex>
#include <optional>

// What an editor that ended without closing its picture (a crash, a kill, a
// power cut) leaves for the next one to bring its cut back: which picture the
// undo snapshots beside it belong to, the ring's counters, the brush and the
// view. It is the file "session.json" in the history folder, replaced whole
// on every write, so that a reader finds the old record or the new one and
// never half of either. A folder without it holds nothing to bring back.
//
// Threads: the brush and the view are noted on the main thread as they
// change (a lock held for a copy); the picture, the writes and the removal
// belong to the owner's serial queue, in order with the snapshots that the
// record describes.
class SessionRecord {
public:
    static constexpr const char* fileName = "session.json";

    struct Picture {
        QString path;         // the picture's file; empty for dropped or pasted data
        QString copy;         // without a path: our copy's file name in the folder, once written
        qint64 bytes = -1;    // the file's size and modification time (ms since
        qint64 modified = -1; // the epoch) when the session took it
        QSizeF size;          // in points, which for a file are its pixels
    };
    struct Brush {
        double diameter = 20;
        double hardness = 1;
        double alpha = 0;
    };
    struct View {
        bool fit = true; // else the transform below
        double scale = 1;
        double tx = 0;
        double ty = 0;
    };
    struct Contents {
        Picture picture;
        qint64 length = 0;
        qint64 current = -1;
        qint64 fileIndex = -1;
        Brush brush;
        View view;
        bool saved = false; // the current state is the one last saved (or opened)
        qint64 written = 0; // ms since the epoch

        QByteArray toJson() const;
        // Nothing for a file that is not a record of ours or whose values are
        // out of range: it comes from disk, and names files we will move.
        static std::optional<Contents> fromJson(const QByteArray& json);
    };

    // `folder` is the history folder, ending in a slash.
    explicit SessionRecord(QString folder);

    const QString& folder() const { return m_folder; }
    QString path() const { return m_folder + QLatin1String(fileName); }

    // Main thread.
    void noteBrushAndView(const Brush& brush, const View& view);

    // Serial queue from here on.
    // The session's picture; until one is set the record is not written. The
    // file's size and modification time are read here when it has a path.
    void setPicture(const Picture& picture);
    void setCopy(const QString& fileName);
    // No picture: the folder was emptied for another one.
    void forget();
    bool hasPicture() const { return m_hasPicture; }
    // The record as it stands, with these counters; false if it could not be
    // written (or there is no picture).
    bool write(qint64 length, qint64 current, qint64 fileIndex, bool saved);
    // The record and the kept copy deleted: nothing is left to bring back.
    void remove();

    // Any thread.
    static std::optional<Contents> read(const QString& folder);
    // A folder whose record holds a cut that was never saved.
    static bool holdsUnsavedCut(const QString& folder);
    // Written beside `path` and renamed over it. No fsync: it would cost
    // milliseconds a stroke, and a rename never exposes a half-written file.
    static bool writeWhole(const QString& path, const QByteArray& bytes);

private:
    const QString m_folder;
    mutable std::mutex m_noteMutex;
    Brush m_brush;
    View m_view;
    Picture m_picture; // queue only
    bool m_hasPicture = false;
};
