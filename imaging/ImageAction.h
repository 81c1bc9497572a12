#pragma once

#include "imaging/FilterImage.h"
#include "imaging/Picture.h"

#include <QByteArray>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <functional>

// Operations on pictures. Each returns a new value and leaves its arguments
// unchanged; "nothing" is a null Picture, an empty QByteArray or a null QImage.
// All are reentrant and may run on any thread.
namespace ImageAction {

// The whole picture scaled to exactly `size` (high-quality interpolation).
// Where the size has a fractional part the drawn area is the rounded size.
// Logs "Invalid Image" and returns nothing for a picture that cannot be drawn.
Picture resize(const Picture& picture, QSizeF size);

// The source rectangle (rounded) of the picture, copied unscaled into a new
// picture of the rectangle's size.
Picture crop(const Picture& picture, QRectF rect);

// The picture scaled, aspect kept, to cover `size`, centred.
Picture cropToFill(const Picture& picture, QSizeF size);

// A mirrored copy: left to right when `horizontal`, else top to bottom.
Picture flipHorisontal(const Picture& picture, bool horizontal);

// The picture as a PNG file with an alpha channel (colour type 6, even where
// every pixel is opaque: programs that take the file expect the channel), at
// full pixel size; or nothing.
QByteArray compressedPNGData(const Picture& picture);
// As above, telling `progress` the share done (0..1) as it goes, from any thread.
QByteArray compressedPNGData(const Picture& picture, const std::function<void(double)>& progress);

// The picture as a JPEG file with the quality factor 0..1, or nothing.
QByteArray compressedJPEGData(const Picture& picture, float factor);

// Conversions between pictures, bitmaps and filter images.
FilterImage CIImage(const Picture& picture);
QImage CGImage(const Picture& picture);
Picture imageFromCGImageRef(const QImage& bitmap);
Picture imageWithCIImage(const FilterImage& image);

// Every bitmap of the file (all frames or pages), in a picture whose size in
// points is the largest width and the largest height over them; nothing for a
// missing, unreadable, non-picture or over-large file. A file whose data ends
// early or is slightly damaged gives the part that could be read (see
// lastLoadWarning).
Picture imageFromURL(const QString& path);

// As above; with `retry` a failed read is tried 10 more times after 50 to
// 150 ms pauses each, for files that another program is still writing. A
// file that ends early is retried the same way, and given in part (with its
// warning) only when no retry finds it whole.
Picture imageFromURL(const QString& path, bool retry);

// As above; a large JPEG's quick reduced version goes to `preview` first,
// as a picture of the whole picture's size in points (ImageFile::read).
Picture imageFromURL(const QString& path, bool retry, int previewSide,
                     const std::function<void(const Picture&)>& preview);

// Why the last imageFromURL on this thread returned nothing ("" after a success):
// the reader's own reason, for telling the user.
QString lastLoadError();

// What the last imageFromURL on this thread had to make up when it gave a
// picture read only in part (the missing part grey or transparent), for the
// status bar; "" when the picture was read whole or nothing came out.
QString lastLoadWarning();

} // namespace ImageAction
