#pragma once

#include <QImage>
#include <QList>
#include <QString>

// Reads every bitmap of a picture file. PNG and JPEG, where the size of a
// photograph makes speed matter, go through our own decoders; GIF, TIFF and
// every other format Qt knows go through Qt's readers. Pictures above the
// size limit of ImageLimits are refused before their pixels are allocated.
namespace ImageFile {

struct Frames {
    // In file order, each in Format_ARGB32_Premultiplied; empty on failure.
    QList<QImage> images;
    // The reader's reason when `images` is empty.
    QString error;
};

Frames read(const QString& path);

} // namespace ImageFile
