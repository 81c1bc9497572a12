#pragma once

#include <QByteArray>
#include <QtGlobal>

// A deflate encoder made for the canvas's masks, which are mostly one value
// with soft ramps at stroke edges. Rows are Up-filtered, runs of equal
// differences become back-references and everything goes into one block of
// the fixed Huffman code: no match search at all, so a 2000 x 2000 mask takes
// a few milliseconds where a general compressor takes tens.
namespace MaskDeflate {

// Appends to `out` the zlib stream of the image data of an 8-bit grey-plus-
// alpha PNG whose grey is 0 and whose alpha is `alpha` (rows `stride` bytes
// apart, top row first): header, one final fixed-code block, Adler-32.
void appendZlibStream(QByteArray& out, const uchar* alpha, int width, int height, qsizetype stride);

} // namespace MaskDeflate
