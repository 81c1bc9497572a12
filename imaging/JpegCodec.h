#pragma once

#include "imaging/DecodeNotes.h"

#include <QByteArray>
#include <QImage>
#include <QString>

// JPEG through libjpeg-turbo, several times faster than Qt's plugin on large
// photographs.
namespace JpegCodec {

// True when `data` starts like a JPEG file.
bool hasSignature(const QByteArray& data);

// The picture in Format_ARGB32_Premultiplied, turned upright as its EXIF
// orientation says (cameras store portrait photographs sideways and rely on
// viewers to turn them). A file whose data ends early or is slightly damaged
// opens as far as it can be read, the missing part mid grey, with a warning
// (and endsEarly when the data stopped short); one whose data ends within
// the first 1% of its rows, whose size is out of all proportion to its data,
// or that the decoder gives up on is refused. Null on failure, with the
// reason in notes->error.
QImage decode(const QByteArray& data, DecodeNotes* notes);

// A quick, reduced version of the picture for showing while the whole one
// decodes: decoded at 1/2, 1/4 or 1/8 of its size (the smallest whose long
// side still reaches `longSide`), upright, with the whole picture's upright
// size in `fullSize`. Null when no reduction helps or the file does not
// decode that way.
QImage decodePreview(const QByteArray& data, int longSide, QSize* fullSize);

// A baseline JPEG of `quality` 1..100 with the usual 4:2:0 chroma.
// Transparent areas are laid over white, since JPEG has no alpha channel.
// Empty on failure.
QByteArray encode(const QImage& image, int quality);

// The EXIF orientation (1..8) of a JPEG file, 1 when it has none.
int exifOrientation(const QByteArray& data);

} // namespace JpegCodec
