#include "imaging/MaskDeflate.h"

#include <libdeflate.h>

#include <array>
#include <cstring>
#include <vector>

namespace MaskDeflate {
namespace {

struct Code {
    quint32 bits = 0; // already bit-reversed, ready for an LSB-first writer
    int length = 0;
};

quint32 reversed(quint32 code, int length)
{
    quint32 result = 0;
    for (int i = 0; i < length; ++i)
        result |= ((code >> i) & 1u) << (length - 1 - i);
    return result;
}

// The fixed literal/length code of deflate.
Code fixedCode(int symbol)
{
    if (symbol < 144)
        return {reversed(0x30 + symbol, 8), 8};
    if (symbol < 256)
        return {reversed(0x190 + symbol - 144, 9), 9};
    if (symbol < 280)
        return {reversed(symbol - 256, 7), 7};
    return {reversed(0xc0 + symbol - 280, 8), 8};
}

struct Tables {
    std::array<Code, 256> literal;
    // Match lengths 3..258: the length symbol's code followed by its extra bits.
    std::array<Code, 259> length;
    Code endOfBlock;
};

const Tables& tables()
{
    static const Tables t = [] {
        Tables made;
        for (int v = 0; v < 256; ++v)
            made.literal[size_t(v)] = fixedCode(v);
        made.endOfBlock = fixedCode(256);
        static const int base[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                     15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                     67, 83, 99, 115, 131, 163, 195, 227, 258};
        static const int extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        for (int length = 3; length <= 258; ++length) {
            int i = 28;
            while (base[i] > length)
                --i;
            const Code code = fixedCode(257 + i);
            made.length[size_t(length)] = {code.bits | (quint32(length - base[i]) << code.length),
                                           code.length + extra[i]};
        }
        return made;
    }();
    return t;
}

// Distance 2, code 1 of the fixed five-bit distance code, reversed.
constexpr Code kDistanceTwo{0b10000, 5};

class BitWriter {
public:
    explicit BitWriter(uchar* out) : m_out(out) {}

    void put(Code code) { put(code.bits, code.length); }
    void put(quint32 bits, int count)
    {
        m_bits |= quint64(bits) << m_count;
        m_count += count;
        if (m_count >= 32) {
            const quint32 word = quint32(m_bits);
            std::memcpy(m_out, &word, 4); // little-endian: low bits first
            m_out += 4;
            m_bits >>= 32;
            m_count -= 32;
        }
    }
    uchar* finish()
    {
        while (m_count > 0) {
            *m_out++ = uchar(m_bits);
            m_bits >>= 8;
            m_count -= 8;
        }
        return m_out;
    }

private:
    uchar* m_out;
    quint64 m_bits = 0;
    int m_count = 0;
};

// Length of the run of bytes equal to `value` starting at `from`, eight at a time.
int runLength(const uchar* bytes, int from, int end, uchar value)
{
    const quint64 pattern = 0x0101010101010101ull * value;
    int at = from;
    while (at + 8 <= end) {
        quint64 word;
        std::memcpy(&word, bytes + at, 8);
        const quint64 differs = word ^ pattern;
        if (differs)
            return at + (__builtin_ctzll(differs) >> 3) - from;
        at += 8;
    }
    while (at < end && bytes[at] == value)
        ++at;
    return at - from;
}

// Repeats of the two bytes just written, `count` bytes in all, as matches at
// distance 2 (a run of equal differences repeats the pair "0, d").
void putRepeats(BitWriter& writer, const Tables& t, int count, uchar d)
{
    int written = 0;
    while (count - written >= 3) {
        const int left = count - written;
        int length = left > 258 ? 258 : left;
        if (left > 258 && left - 258 < 3)
            length = left - 3;
        writer.put(t.length[size_t(length)]);
        writer.put(kDistanceTwo);
        written += length;
    }
    // Fewer than three bytes go as literals, continuing the pair's pattern.
    for (; written < count; ++written)
        writer.put(t.literal[written % 2 ? d : 0]);
}

} // namespace

void appendZlibStream(QByteArray& out, const uchar* alpha, int width, int height, qsizetype stride)
{
    const Tables& t = tables();
    const qsizetype rowBytes = 2 * qsizetype(width) + 1;
    // At most nine bits for each of a row's bytes, plus the framing.
    const qsizetype bound = (rowBytes * 9 / 8 + 2) * height + 16;
    const qsizetype start = out.size();
    out.resize(start + bound);
    uchar* const begin = reinterpret_cast<uchar*>(out.data()) + start;
    begin[0] = 0x78;
    begin[1] = 0x01;
    BitWriter writer(begin + 2);
    writer.put(0b011, 3); // the final block, fixed Huffman code

    std::vector<uchar> buffers(size_t(width) * 2 + size_t(rowBytes));
    uchar* const diff = buffers.data();
    uchar* const zeros = diff + width;
    uchar* const stream = zeros + width;
    std::memset(zeros, 0, size_t(width));
    quint32 adler = 1;
    for (int y = 0; y < height; ++y) {
        const uchar* cur = alpha + stride * y;
        const uchar* prev = y ? alpha + stride * (y - 1) : zeros;
        for (int x = 0; x < width; ++x)
            diff[x] = uchar(cur[x] - prev[x]);

        // The filtered row as the decoder will see it, for the checksum only.
        stream[0] = 2;
        for (int x = 0; x < width; ++x) {
            stream[1 + 2 * x] = 0;
            stream[2 + 2 * x] = diff[x];
        }
        adler = quint32(libdeflate_adler32(adler, stream, size_t(rowBytes)));

        writer.put(t.literal[2]); // the Up filter
        for (int x = 0; x < width;) {
            const uchar d = diff[x];
            const int run = runLength(diff, x, width, d);
            writer.put(t.literal[0]);
            writer.put(t.literal[d]);
            putRepeats(writer, t, 2 * (run - 1), d);
            x += run;
        }
    }
    writer.put(t.endOfBlock);
    uchar* end = writer.finish();
    for (int shift = 24; shift >= 0; shift -= 8)
        *end++ = uchar(adler >> shift);
    out.resize(start + (end - begin));
}

} // namespace MaskDeflate
