#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// PNG details shared with the file reader.
namespace PngCodec {

// True when `data` starts with the PNG signature.
bool hasSignature(const QByteArray& data);

// As decode(data), and on failure `error` holds the decoder's reason.
QImage decode(const QByteArray& data, QString* error);

} // namespace PngCodec
