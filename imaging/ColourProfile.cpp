#include "imaging/ColourProfile.h"

#include <zlib.h>

#include <cstring>
#include <map>

namespace ColourProfile {
namespace {

// No real profile comes near this; a larger claim is damage or an attack.
constexpr qsizetype kMaxProfileBytes = 4 * 1024 * 1024;

quint32 bigEndian(const uchar* p)
{
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
}

QByteArray inflated(const uchar* data, qsizetype size)
{
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return {};
    QByteArray out;
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = uInt(size);
    int result = Z_OK;
    while (result == Z_OK && out.size() < kMaxProfileBytes) {
        const qsizetype done = out.size();
        out.resize(done + 64 * 1024);
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + done);
        stream.avail_out = 64 * 1024;
        result = inflate(&stream, Z_NO_FLUSH);
        out.resize(done + 64 * 1024 - qsizetype(stream.avail_out));
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END ? out : QByteArray();
}

QColorSpace ofPng(const QByteArray& file)
{
    const auto* bytes = reinterpret_cast<const uchar*>(file.constData());
    const qsizetype size = file.size();
    bool grey = false;
    for (qsizetype at = 8; at + 12 <= size;) {
        const qsizetype length = bigEndian(bytes + at);
        const QByteArray type(reinterpret_cast<const char*>(bytes + at + 4), 4);
        const uchar* data = bytes + at + 8;
        if (length > size - at - 12 || type == "IDAT" || type == "IEND")
            break;
        if (type == "IHDR" && length >= 13)
            grey = data[9] == 0 || data[9] == 4; // grey, grey plus alpha
        if (grey)
            return {};
        if (type == "sRGB")
            return QColorSpace(QColorSpace::SRgb);
        if (type == "iCCP") {
            // A name of 1 to 79 bytes ended by 0, compression method 0, a zlib stream.
            const qsizetype end = QByteArray::fromRawData(reinterpret_cast<const char*>(data), length).indexOf('\0');
            if (end < 1 || end > 79 || end + 2 > length || data[end + 1] != 0)
                return {};
            return QColorSpace::fromIccProfile(inflated(data + end + 2, length - end - 2));
        }
        at += 12 + length;
    }
    return {};
}

QColorSpace ofJpeg(const QByteArray& file)
{
    const auto* bytes = reinterpret_cast<const uchar*>(file.constData());
    const qsizetype size = file.size();
    static const char kTag[] = "ICC_PROFILE"; // and its 0, then sequence number and count
    std::map<int, QByteArray> pieces;
    int count = 0;
    qsizetype at = 2;
    while (at + 4 <= size && bytes[at] == 0xff) {
        const uchar marker = bytes[at + 1];
        if (marker == 0xff) { // fill byte
            ++at;
            continue;
        }
        if (marker == 0xda || marker == 0xd9) // the image data or the end: no more headers
            break;
        const qsizetype length = (bytes[at + 2] << 8) | bytes[at + 3];
        if (length < 2 || at + 2 + length > size)
            break;
        const uchar* data = bytes + at + 4;
        const qsizetype dataLength = length - 2;
        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 &&
                           marker != 0xcc;
        if (frame && dataLength >= 6 && data[5] == 1)
            return {}; // one component: grey
        if (marker == 0xe2 && dataLength > 14 && std::memcmp(data, kTag, sizeof kTag) == 0) {
            const int sequence = data[12];
            count = data[13];
            pieces[sequence] =
                QByteArray(reinterpret_cast<const char*>(data + 14), dataLength - 14);
        }
        at += 2 + length;
    }
    if (pieces.empty() || int(pieces.size()) != count)
        return {};
    QByteArray profile;
    int expected = 1;
    for (const auto& [sequence, piece] : pieces) {
        if (sequence != expected++ || profile.size() + piece.size() > kMaxProfileBytes)
            return {};
        profile += piece;
    }
    return QColorSpace::fromIccProfile(profile);
}

} // namespace

QColorSpace ofFile(const QByteArray& data)
{
    if (data.startsWith("\x89PNG\r\n\x1a\n"))
        return ofPng(data);
    if (data.startsWith("\xff\xd8"))
        return ofJpeg(data);
    return {};
}

} // namespace ColourProfile
