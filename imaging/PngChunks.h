#pragma once

#include <QByteArray>
#include <QString>

#include <utility>
#include <vector>

// The chunk walk in front of both PNG decoders, so that a damaged file is
// judged the same whatever its kind: every critical chunk must pass its CRC
// (ancillary ones are skipped unchecked), a missing end chunk is tolerated,
// and a file that stops inside a chunk is walked as far as it goes, its last
// image data included. Whether the picture is whole is for the decoder to say.
namespace PngChunks {

struct Layout {
    quint32 width = 0;
    quint32 height = 0;
    int depth = 0;
    int colourType = 0;
    bool interlaced = false;
    // A tRNS chunk: a transparent colour or palette alpha.
    bool transparency = false;
    // Bytes of one unfiltered row of a non-interlaced file, without the
    // filter type byte.
    qsizetype rowBytes = 0;
    // The image data, in file order, and its length in all.
    std::vector<std::pair<const uchar*, size_t>> parts;
    size_t compressed = 0;
    // The file stops before its end chunk.
    bool endsEarly = false;
    // Where the image data chunk starts that the file stops inside; 0 when
    // it does not stop inside one.
    size_t cutChunk = 0;
};

bool hasSignature(const QByteArray& data);

// False, with a sentence for the user in `error`, for a file that is not a
// PNG, whose header or any critical chunk is damaged, whose picture is over
// the size limits or out of all proportion to its image data, or that holds
// no image data.
bool walk(const QByteArray& data, Layout* layout, QString* error);

} // namespace PngChunks
