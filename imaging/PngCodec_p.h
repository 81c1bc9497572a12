#pragma once

#include "imaging/DecodeNotes.h"

#include <QByteArray>
#include <QImage>

// PNG details shared with the file reader.
namespace PngCodec {

// True when `data` starts with the PNG signature.
bool hasSignature(const QByteArray& data);

// As decode(data), and more: a file whose image data ends early or breaks off
// after at least one whole row opens with the rest transparent and a warning;
// on failure notes->error holds the reason.
QImage decode(const QByteArray& data, DecodeNotes* notes);

} // namespace PngCodec
