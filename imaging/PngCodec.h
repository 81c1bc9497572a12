#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <functional>

// Our own PNG encoder and decoder, far faster than Qt's for large pictures.
namespace PngCodec {

// Whether an opaque image is written without its alpha channel.
enum class Channels { RgbWhenOpaque, AlwaysRgba };

// Told the share of the work done (0..1) as an encoding goes on, from any of
// the threads doing it, one call at a time.
using Progress = std::function<void(double done)>;

// A full-size RGBA (or RGB when opaque, if `channels` allows) PNG of the
// image, alpha kept, with a file no more than a tenth larger than zlib level 6
// with adaptive filtering. Uses every core for large images. Empty on failure.
QByteArray encode(const QImage& image, Channels channels = Channels::RgbWhenOpaque,
                  const Progress& progress = {});

// A grey-plus-alpha PNG with grey 0 and `alpha` (width x height bytes, rows
// `stride` bytes apart, top row first) in the alpha channel. Written for
// speed: the undo snapshots of the canvas.
QByteArray encodeAlpha(const uchar* alpha, int width, int height, qsizetype stride);

// Decodes any PNG to Format_ARGB32 with straight alpha (Format_RGB32 for a
// whole file without alpha, on the fast path), so that no colour is lost
// under partial transparency; null on failure. A file
// whose image data ends early keeps the rows it has, the rest transparent.
QImage decode(const QByteArray& data);

// Decodes any PNG and returns its alpha channel as Format_Alpha8 (255
// everywhere for a PNG without alpha); null unless every row could be read.
QImage decodeAlpha(const QByteArray& data);

} // namespace PngCodec
