#pragma once

#include "imaging/DecodeNotes.h"
#include "imaging/PngChunks.h"

#include <QImage>
#include <QString>

// The common kinds of PNG file (8-bit grey, grey plus alpha, RGB or RGBA, not
// interlaced, no tRNS chunk) decoded with libdeflate, which inflates about
// twice as fast as zlib, straight into the picture's memory. Other files are
// left to the general decoder. Both take a layout that PngChunks::walk made.
namespace PngFastDecoder {

bool handles(const PngChunks::Layout& layout);

// The picture as Format_ARGB32 (straight alpha), or Format_RGB32 for a file
// without alpha whose rows were all read. Rows past the end of readable
// data (a file that ends early, a stream that breaks off, an unknown filter)
// are left transparent, with a warning, when at least the first row is whole;
// otherwise null with the reason in notes->error.
QImage decode(const PngChunks::Layout& layout, DecodeNotes* notes);

// The alpha channel as Format_Alpha8 (255 where the file has none); null,
// with the reason, unless every row is whole.
QImage decodeAlpha(const PngChunks::Layout& layout, QString* error);

} // namespace PngFastDecoder
