#include "imaging/PngChunks.h"

#include "imaging/ImageLimits.h"

#include <libdeflate.h>

#include <cstring>

namespace PngChunks {
namespace {

constexpr uchar kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

quint32 getU32(const uchar* in)
{
    return (quint32(in[0]) << 24) | (quint32(in[1]) << 16) | (quint32(in[2]) << 8) | in[3];
}

// The chunk at `chunk` (its length field) whose data has `length` bytes.
bool crcMatches(const uchar* chunk, size_t length)
{
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Mutated files almost never keep their CRCs; the fuzzer would not get
    // past this check to the decoders.
    if (chunk)
        return true;
#endif
    const quint32 crc = quint32(libdeflate_crc32(0, chunk + 4, length + 4));
    return crc == getU32(chunk + 8 + length);
}

int channelsOf(int colourType)
{
    switch (colourType) {
    case 0:
    case 3:
        return 1;
    case 2:
        return 3;
    case 4:
        return 2;
    case 6:
        return 4;
    default:
        return 0;
    }
}

bool validDepth(int colourType, int depth)
{
    switch (colourType) {
    case 0:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

QString damaged(const QString& detail)
{
    return QStringLiteral("The PNG file is damaged: %1.").arg(detail);
}

} // namespace

bool hasSignature(const QByteArray& data)
{
    return data.size() >= 8 && std::memcmp(data.constData(), kSignature, 8) == 0;
}

bool walk(const QByteArray& data, Layout* layout, QString* error)
{
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    const size_t size = size_t(data.size());
    if (!hasSignature(data)) {
        *error = QStringLiteral("The file is not a PNG file.");
        return false;
    }
    if (size < 8 + 25) {
        *error = QStringLiteral("The PNG file ends before its header is complete.");
        return false;
    }
    if (getU32(bytes + 8) != 13 || std::memcmp(bytes + 12, "IHDR", 4) != 0 ||
        !crcMatches(bytes + 8, 13)) {
        *error = damaged(QStringLiteral("its header is broken"));
        return false;
    }
    const uchar* ihdr = bytes + 16;
    layout->width = getU32(ihdr);
    layout->height = getU32(ihdr + 4);
    layout->depth = ihdr[8];
    layout->colourType = ihdr[9];
    layout->interlaced = ihdr[12] == 1;
    if (!validDepth(layout->colourType, layout->depth) || ihdr[10] != 0 || ihdr[11] != 0 ||
        ihdr[12] > 1) {
        *error = damaged(QStringLiteral("its header names a kind of PNG that does not exist"));
        return false;
    }
    if (!ImageLimits::fits(layout->width, layout->height)) {
        *error = ImageLimits::tooLarge(layout->width, layout->height);
        return false;
    }
    const qint64 bitsPerPixel = qint64(channelsOf(layout->colourType)) * layout->depth;
    layout->rowBytes = qsizetype((qint64(layout->width) * bitsPerPixel + 7) / 8);

    bool ended = false;
    size_t at = 8 + 25;
    while (!ended) {
        if (at + 8 > size)
            break;
        const size_t length = getU32(bytes + at);
        const uchar* type = bytes + at + 4;
        const bool isData = std::memcmp(type, "IDAT", 4) == 0;
        if (length > 0x7fffffffu) {
            *error = damaged(QStringLiteral("a chunk claims an impossible length"));
            return false;
        }
        if (length + 12 > size - at) {
            // The file stops inside this chunk; what it has of the image
            // data is used, unchecked, since its CRC is not there yet.
            if (isData && size > at + 8) {
                layout->parts.emplace_back(bytes + at + 8, size - at - 8);
                layout->compressed += size - at - 8;
                layout->cutChunk = at;
            }
            break;
        }
        const bool critical = (type[0] & 0x20) == 0;
        if (critical && !crcMatches(bytes + at, length)) {
            *error = damaged(QStringLiteral("a checksum does not match"));
            return false;
        }
        if (isData) {
            layout->parts.emplace_back(bytes + at + 8, length);
            layout->compressed += length;
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            ended = true;
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            layout->transparency = true;
        } else if (critical && std::memcmp(type, "PLTE", 4) != 0) {
            *error = damaged(QStringLiteral("it has a chunk that no PNG reader knows"));
            return false;
        }
        at += 12 + length;
    }
    layout->endsEarly = !ended;
    if (layout->parts.empty()) {
        *error = ended ? damaged(QStringLiteral("it holds no image data"))
                       : QStringLiteral("The PNG file ends before its image data.");
        return false;
    }
    // Filter type bytes and interlacing only add to this.
    const qint64 minimumInflated = qint64(layout->rowBytes) * layout->height;
    if (minimumInflated / ImageLimits::kPngMaxInflation > qint64(layout->compressed)) {
        *error = ImageLimits::bomb(layout->width, layout->height, qint64(layout->compressed));
        return false;
    }
    return true;
}

} // namespace PngChunks
