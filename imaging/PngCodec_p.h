#pragma once

#include "imaging/DecodeNotes.h"

#include <QByteArray>
#include <QImage>

// The file format's own constants, shared by the encoder and the decoder.
namespace PngFormat {

inline constexpr uchar kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
inline constexpr int kColourGrey = 0, kColourRgb = 2, kColourGreyAlpha = 4, kColourRgba = 6;

// Rows are compressed in independent pieces of about this many input bytes,
// so that both cores work on a large picture. Each piece restarts the deflate
// dictionary, which costs a few hundred bytes against megabytes of output.
inline constexpr qsizetype kPieceBytes = 2 * 1024 * 1024;
// Below this many rows' bytes the whole image is one piece on the calling thread.
inline constexpr qsizetype kParallelBytes = 1024 * 1024;

// A big-endian 32-bit number, as PNG writes every length and CRC.
inline void putU32(uchar* out, quint32 v)
{
    out[0] = uchar(v >> 24);
    out[1] = uchar(v >> 16);
    out[2] = uchar(v >> 8);
    out[3] = uchar(v);
}

} // namespace PngFormat

// PNG details shared with the file reader.
namespace PngCodec {

// True when `data` starts with the PNG signature.
bool hasSignature(const QByteArray& data);

// As decode(data), and more: a file whose image data ends early or breaks off
// after at least one whole row opens with the rest transparent and a warning;
// on failure notes->error holds the reason.
QImage decode(const QByteArray& data, DecodeNotes* notes);

// The encoder's row stages, shared by its whole-image and streamed forms.
namespace Detail {
// Appends one chunk at `out` (12 + length bytes), its data's CRC given or computed.
void writeChunk(uchar*& out, const char* type, const uchar* data, size_t length,
                const quint32* dataCrc = nullptr);
// Straight 0xAARRGGBB words to R, G, B, A bytes.
void rgbaRow(const quint32* in, uchar* out, int width);
// The five filters, None to Paeth.
inline constexpr int kFilterCount = 5;
// Adds each filter's cost on one row of 4-byte pixels (the sum of its bytes'
// magnitudes, read as signed) to `costs`; `scratch` holds n bytes.
void addFilterCosts(const uchar* cur, const uchar* prev, qsizetype n, uchar* scratch,
                    quint64 costs[kFilterCount]);
// The filter type byte and the row of 4-byte pixels filtered with it into
// `out` (n + 1 bytes).
void filterWith(int type, const uchar* cur, const uchar* prev, qsizetype n, uchar* out);
} // namespace Detail

} // namespace PngCodec
