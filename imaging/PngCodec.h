#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <functional>
#include <vector>

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

// Rows [y0, y1) of a picture as straight 0xAARRGGBB words (Format_ARGB32),
// row y at out + (y - y0) * stride. Called from several threads at once, each
// for its own band.
using RowBands = std::function<void(int y0, int y1, uchar* out, qsizetype stride)>;
// Takes the file's bytes in order; false stops the encoding.
using Sink = std::function<bool(const char* data, qsizetype size)>;

// An RGBA PNG of `size` whose rows come from `rows`, handed to `sink` as it
// is made: bands of rows are composed, filtered and compressed on every core
// and written in order, and only a few bands are held at any time. A non-empty
// `iccProfile` is written as the file's colour profile. False when the sink
// refused bytes or memory ran out; the sink has then seen a partial file.
// `bandStarts`, when given (0 first, increasing), is where the source
// composes bands most cheaply; bands then start there, a large one split.
bool encodeStreamed(QSize size, const RowBands& rows, const Sink& sink,
                    const Progress& progress = {}, const QByteArray& iccProfile = {},
                    const std::vector<int>& bandStarts = {});

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
