#pragma once

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class ResultComposer;

// Turns the finished cut-out into the bytes of a file: the formats the save
// offers, and the trimming of transparent borders. Pure functions of their
// arguments, for any thread.
namespace ExportWriter {

enum class Format { Png, WebP, Tiff };

// PNG always; WebP and TIFF where this system's image plugins can write them.
QList<Format> writableFormats();
// The save dialog's filter for a format, and the format a filter names.
QString filterFor(Format format);
Format formatForFilter(const QString& filter);
// The format a file name's extension names, if it names one.
std::optional<Format> formatForPath(const QString& path);
QString extension(Format format);

// The image as a file of the format, alpha kept: WebP lossless, TIFF with
// LZW compression. Empty, with the reason in `error`, on failure. `progress`
// hears the share done (0..1) where the encoder can tell.
QByteArray encode(const QImage& image, Format format, const std::function<void(double)>& progress,
                  QString* error);

// The smallest rectangle that holds every pixel of the composer's picture
// whose alpha is not 0 (what a trimmed save keeps), found band by band
// without composing the picture whole; empty when every pixel is cut.
QRect keptBounds(const ResultComposer& composer);

// The composer's picture within `crop`, composed band by band on every
// core, with its colour space; null when the crop misses it or memory
// cannot be had.
QImage composed(const ResultComposer& composer, const QRect& crop);

// The composer's picture (or its `crop`, when given) as an RGBA PNG handed to
// `sink` band by band as it is made (see PngCodec::encodeStreamed), with the
// picture's colour profile. False when the sink refused bytes or memory ran out.
bool writePng(const ResultComposer& composer, const std::function<void(double)>& progress,
              const std::function<bool(const char* data, qsizetype size)>& sink,
              const QRect& crop = {});

} // namespace ExportWriter
