#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// The common kinds of PNG file (8-bit grey, grey plus alpha, RGB or RGBA, not
// interlaced, no transparent-colour chunk) decoded with libdeflate, which
// inflates about twice as fast as zlib, straight into the picture's memory.
// Other files are left to the general decoder.
namespace PngFastDecoder {

enum class Result { Decoded, Failed, NotHandled };

// The file as Format_ARGB32_Premultiplied. On Failed, `error` says why.
Result decode(const QByteArray& data, QImage* image, QString* error);

// The file's alpha channel as Format_Alpha8 (255 where it has none).
Result decodeAlpha(const QByteArray& data, QImage* alpha, QString* error);

} // namespace PngFastDecoder
