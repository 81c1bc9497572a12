#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// JPEG through libjpeg-turbo's own interface, several times faster than Qt's
// plugin on large photographs.
namespace JpegCodec {

// True when `data` starts like a JPEG file.
bool hasSignature(const QByteArray& data);

// The picture in Format_ARGB32_Premultiplied, turned upright as its EXIF
// orientation says (cameras store portrait photographs sideways and rely on
// viewers to turn them). A file that ends before its end marker is refused, so
// that a file still being written is not taken for a finished one. CMYK files,
// which libjpeg-turbo's interface cannot turn into RGB, go through Qt's reader.
// Null on failure, with the decoder's reason in `error`.
QImage decode(const QByteArray& data, QString* error);

// A baseline JPEG of `quality` 1..100 with the usual 4:2:0 chroma.
// Transparent areas are laid over white, since JPEG has no alpha channel.
// Empty on failure.
QByteArray encode(const QImage& image, int quality);

// The EXIF orientation (1..8) of a JPEG file, 1 when it has none.
int exifOrientation(const QByteArray& data);

} // namespace JpegCodec
