#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

#include <functional>

// Reads every bitmap of a picture file. Only the formats the editor offers are
// read, recognised by their content whatever the file's name: PNG and JPEG,
// where the size of a photograph makes speed matter, through our own
// decoders; GIF, TIFF, BMP and (where Qt has the plugin) WebP through Qt's
// readers, each through its own plugin alone. Only regular files are opened.
// Files and pictures above the limits of ImageLimits, and files whose
// announced picture is out of all proportion to their data, are refused
// before the picture's memory is taken.
namespace ImageFile {

struct Frames {
    // In file order, each in Format_ARGB32 (straight alpha), Format_RGB32 or
    // Format_ARGB32_Premultiplied (an opaque JPEG); empty on failure.
    QList<QImage> images;
    // Why `images` is empty: a sentence for the user.
    QString error;
    // Set when the picture was read only in part (the rest is filled in).
    QString warning;
    // The data stops short of the picture, as when its writer is not done.
    bool endsEarly = false;
};

Frames read(const QString& path);

// As read(path), and for a JPEG whose long side exceeds twice `previewSide`,
// `preview` is called first (on this thread) with a quickly decoded reduced
// version and the picture's size, before the whole picture is decoded.
using Preview = std::function<void(const QImage& preview, QSize fullSize)>;
Frames read(const QString& path, int previewSide, const Preview& preview);

// The same for a file's content already in memory.
Frames readData(const QByteArray& data);

} // namespace ImageFile
