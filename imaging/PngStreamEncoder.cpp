// The streamed PNG encoder: the picture is never whole in memory. Each band
// of rows is composed by the caller, filtered and deflated as an independent
// piece of one zlib stream, on whichever core is free; finished pieces go to
// the sink in order, each as its own IDAT chunk.
#include "imaging/PngCodec.h"

#include "imaging/PngCodec_p.h"
#include "platform/ParallelFor.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace PngCodec {

using namespace PngFormat;

namespace {

// One band's compressed bytes, waiting for its turn at the sink.
struct Piece {
    std::vector<uchar> data;
    size_t size = 0;
    quint32 adler = 1; // of the filtered bytes
    qsizetype inputBytes = 0;
    bool done = false;
    bool ok = false;
};

constexpr int kLevel = 4;

// The two ways a band is deflated. Run-length matching (distance 1 only)
// is the faster, and on photographs, whose filtered bytes repeat little
// beyond runs, it packs 2-8% smaller than lazy matching; lazy matching at
// level 4 finds the repeats of drawn or synthetic pictures, which it packs
// up to half the size. (zlib's own settings for the level: a reset puts
// them back, so tuned ones would hold for a worker's first band only.)
enum Matcher { kRuns, kLazy, kMatchers };

// What one worker keeps between its bands, so that each save touches its
// working memory once per core, not once per band.
struct Worker {
    std::vector<quint32> words;
    std::vector<uchar> rows, probeIn, probeOut;
    z_stream streams[kMatchers]{};
    bool ready[kMatchers]{};

    // The stream of `matcher`, reset for a new band; null when zlib has no memory for it.
    z_stream* fresh(int matcher)
    {
        z_stream& s = streams[matcher];
        if (!ready[matcher]) {
            if (deflateInit2(&s, kLevel, Z_DEFLATED, -15, 8, matcher == kRuns ? Z_RLE : Z_DEFAULT_STRATEGY) !=
                Z_OK)
                return nullptr;
            ready[matcher] = true;
        } else if (deflateReset(&s) != Z_OK) {
            return nullptr;
        }
        return &s;
    }

    ~Worker()
    {
        for (int m = 0; m < kMatchers; ++m)
            if (ready[m])
                deflateEnd(&streams[m]);
    }
};

// One filter a band, chosen from a few of its rows, since a band's rows
// agree on what predicts them. Against a filter chosen for each row, on
// 24-megapixel photographs: files 1-8% smaller, in a third less time, with
// the matcher chosen as below.
constexpr int kSampleRows = 8;

// The filter with the least cost (the sum of its bytes' magnitudes, read as
// signed) over a few rows spread through the band. The rows fall on every
// remainder modulo 8, since a JPEG's blocks make every eighth row unlike the
// one above it: sampled there alone, Sub looked best on a smooth photograph
// whose bands Paeth packs a quarter smaller.
int bandFilter(const quint32* words, int width, int rows, uchar* cur, uchar* prev, uchar* scratch)
{
    const qsizetype rowBytes = qsizetype(width) * 4;
    quint64 costs[Detail::kFilterCount] = {};
    const int samples = std::min(kSampleRows, rows - 1);
    for (int k = 0; k < samples; ++k) {
        const int y = std::min(rows - 1, 1 + int(qint64(rows - 1) * k / samples) + k);
        Detail::rgbaRow(words + size_t(y) * size_t(width), cur, width);
        Detail::rgbaRow(words + size_t(y - 1) * size_t(width), prev, width);
        Detail::addFilterCosts(cur, prev, rowBytes, scratch, costs);
    }
    return int(std::min_element(costs, costs + Detail::kFilterCount) - costs);
}

// The matcher that packs two of the band's rows, filtered with `filter`,
// the smaller; lazy matching only where it is clearly smaller, being slower.
int bandMatcher(const quint32* words, int width, int rows, int filter, Worker& w, uchar* cur,
                uchar* prev)
{
    const qsizetype rowBytes = qsizetype(width) * 4;
    w.probeIn.resize(size_t(rowBytes + 1) * 2);
    qsizetype length = 0;
    for (const int y : {rows / 3, 2 * rows / 3}) {
        if (length && y == rows / 3)
            break; // a band of a row or two: one probe row
        Detail::rgbaRow(words + size_t(y) * size_t(width), cur, width);
        if (y > 0)
            Detail::rgbaRow(words + size_t(y - 1) * size_t(width), prev, width);
        Detail::filterWith(y > 0 ? filter : std::min(filter, 1), cur, prev, rowBytes,
                           w.probeIn.data() + length);
        length += rowBytes + 1;
    }
    size_t sizes[kMatchers];
    for (int m = 0; m < kMatchers; ++m) {
        z_stream* s = w.fresh(m);
        if (!s)
            return kRuns;
        const size_t capacity = deflateBound(s, uLong(length));
        w.probeOut.resize(capacity);
        s->next_in = w.probeIn.data();
        s->avail_in = uInt(length);
        s->next_out = w.probeOut.data();
        s->avail_out = uInt(capacity);
        sizes[m] = deflate(s, Z_FINISH) == Z_STREAM_END ? capacity - s->avail_out : capacity;
    }
    return sizes[kLazy] * 10 < sizes[kRuns] * 9 ? kLazy : kRuns;
}

// Deflates all of the stream's input with `flush` into `out`, whose first
// (size - avail_out) bytes are written; grows `out` when it fills.
bool deflateInto(z_stream& stream, int flush, std::vector<uchar>& out)
{
    for (;;) {
        if (stream.avail_out == 0) {
            const size_t used = out.size();
            out.resize(used + used / 2 + 65536);
            stream.next_out = out.data() + used;
            stream.avail_out = uInt(out.size() - used);
        }
        const int result = deflate(&stream, flush);
        if (result == Z_STREAM_ERROR)
            return false;
        // Done when the input is taken and, for a flush, all of it is out
        // (zlib asks to be called again when the output space ran out).
        if (flush == Z_FINISH ? result == Z_STREAM_END
                              : stream.avail_in == 0 && (flush == Z_NO_FLUSH || stream.avail_out != 0))
            return true;
    }
}

void encodeBand(const RowBands& source, int width, int y0, int y1, bool last, Worker& w, Piece& piece)
{
    const qsizetype rowBytes = qsizetype(width) * 4;
    const int rows = y1 - y0;
    w.words.resize(size_t(width) * size_t(rows));
    source(y0, y1, reinterpret_cast<uchar*>(w.words.data()), rowBytes);
    w.rows.resize(size_t(rowBytes) * 3 + size_t(rowBytes + 1));
    uchar* prev = w.rows.data();
    uchar* cur = prev + rowBytes;
    uchar* scratch = cur + rowBytes;
    uchar* filtered = scratch + rowBytes;
    const int filter = bandFilter(w.words.data(), width, rows, cur, prev, scratch);
    z_stream* stream = w.fresh(bandMatcher(w.words.data(), width, rows, filter, w, cur, prev));
    if (!stream)
        return;

    piece.inputBytes = qsizetype(rows) * (rowBytes + 1);
    // Room for a third of the band to start with, which photographs need
    // at most; more as it fills.
    piece.data.resize(std::max(piece.data.size(), size_t(piece.inputBytes / 3) + 4096));
    stream->next_out = piece.data.data();
    stream->avail_out = uInt(piece.data.size());
    bool ok = true;
    for (int i = 0; i < rows && ok; ++i) {
        Detail::rgbaRow(w.words.data() + size_t(i) * size_t(width), cur, width);
        // The band's first row does without the row above, which another
        // band composes: Sub, or None where the band has no filter.
        Detail::filterWith(i > 0 ? filter : std::min(filter, 1), cur, prev, rowBytes, filtered);
        piece.adler = quint32(libdeflate_adler32(piece.adler, filtered, size_t(rowBytes + 1)));
        stream->next_in = filtered;
        stream->avail_in = uInt(rowBytes + 1);
        ok = deflateInto(*stream, i + 1 < rows ? Z_NO_FLUSH : (last ? Z_FINISH : Z_SYNC_FLUSH),
                         piece.data);
        std::swap(prev, cur);
    }
    piece.size = size_t(stream->next_out - piece.data.data());
    piece.ok = ok;
}

// The header chunks: IHDR, the colour profile if any, and the zlib header as
// the first IDAT.
QByteArray headerBytes(QSize size, const QByteArray& iccProfile)
{
    QByteArray profileChunk;
    if (!iccProfile.isEmpty()) {
        // "name\0", compression method 0, then the zlib-compressed profile.
        static const char kName[] = "ICC profile";
        uLongf packedSize = compressBound(uLong(iccProfile.size()));
        profileChunk.resize(qsizetype(sizeof kName) + 1 + qsizetype(packedSize));
        std::memcpy(profileChunk.data(), kName, sizeof kName);
        profileChunk[qsizetype(sizeof kName)] = 0;
        auto* packed = reinterpret_cast<Bytef*>(profileChunk.data()) + sizeof kName + 1;
        if (compress2(packed, &packedSize, reinterpret_cast<const Bytef*>(iccProfile.constData()),
                      uLong(iccProfile.size()), 9) != Z_OK)
            profileChunk.clear(); // a profile we cannot pack is left out, not half written
        else
            profileChunk.resize(qsizetype(sizeof kName) + 1 + qsizetype(packedSize));
    }
    QByteArray bytes(8 + 25 + (profileChunk.isEmpty() ? 0 : 12 + profileChunk.size()) + 14,
                     Qt::Uninitialized);
    uchar* out = reinterpret_cast<uchar*>(bytes.data());
    std::memcpy(out, kSignature, 8);
    out += 8;
    uchar header[13];
    putU32(header, quint32(size.width()));
    putU32(header + 4, quint32(size.height()));
    header[8] = 8;
    header[9] = uchar(kColourRgba);
    header[10] = header[11] = header[12] = 0;
    Detail::writeChunk(out, "IHDR", header, sizeof header);
    if (!profileChunk.isEmpty())
        Detail::writeChunk(out, "iCCP", reinterpret_cast<const uchar*>(profileChunk.constData()),
                           size_t(profileChunk.size()));
    const uchar zlibHeader[2] = {0x78, 0x5e};
    Detail::writeChunk(out, "IDAT", zlibHeader, 2);
    return bytes;
}

// The first row of every band and, last, the height: the source's starts
// where they are usable, each band split into pieces of about kPieceBytes;
// else pieces of kPieceBytes, or one band for a small picture.
std::vector<int> bandLimits(int height, qsizetype rowBytes, const std::vector<int>& starts)
{
    const int pieceRows = int(std::clamp<qsizetype>(kPieceBytes / rowBytes, 1, height));
    std::vector<int> given;
    const bool usable = !starts.empty() && starts.front() == 0 &&
                        std::adjacent_find(starts.begin(), starts.end(), std::greater_equal<>()) ==
                            starts.end() &&
                        starts.back() < height;
    if (usable)
        given = starts;
    else if (rowBytes * height > kParallelBytes)
        for (int y = 0; y < height; y += pieceRows)
            given.push_back(y);
    else
        given.push_back(0);
    given.push_back(height);
    std::vector<int> limits;
    for (size_t i = 0; i + 1 < given.size(); ++i) {
        // A band of more than two pieces' bytes is cut evenly: only a few
        // bands are held at once, and they must stay small.
        const int rows = given[i + 1] - given[i];
        const int parts = usable ? std::max(1, (rows + 2 * pieceRows - 1) / (2 * pieceRows)) : 1;
        for (int k = 0; k < parts; ++k)
            limits.push_back(given[i] + int(qint64(rows) * k / parts));
    }
    limits.push_back(height);
    return limits;
}

} // namespace

bool encodeStreamed(QSize size, const RowBands& rows, const Sink& sink, const Progress& progress,
                    const QByteArray& iccProfile, const std::vector<int>& bandStarts)
{
    if (size.isEmpty() || !rows || !sink)
        return false;
    const int width = size.width(), height = size.height();
    const QByteArray header = headerBytes(size, iccProfile);
    if (!sink(header.constData(), header.size()))
        return false;

    const std::vector<int> limits = bandLimits(height, qsizetype(width) * 4 + 1, bandStarts);
    const int bandCount = int(limits.size()) - 1;
    // Bands ahead of the sink: enough to keep every core busy while one
    // waits for an earlier band to finish.
    const int window = ParallelFor::cores() + 1;

    std::vector<Piece> pieces(static_cast<size_t>(bandCount));
    std::vector<std::vector<uchar>> spare; // output buffers of written bands, for reuse
    std::mutex mutex;
    std::condition_variable turn;
    int next = 0, written = 0;
    bool failed = false;
    quint32 adler = 1;

    auto work = [&](int) {
        Worker worker;
        for (;;) {
            int i;
            {
                std::unique_lock lock(mutex);
                if (failed || next >= bandCount)
                    return;
                i = next++;
                turn.wait(lock, [&] { return failed || i < written + window; });
                if (failed)
                    return;
                if (!spare.empty()) {
                    pieces[size_t(i)].data = std::move(spare.back());
                    spare.pop_back();
                }
            }
            Piece& piece = pieces[size_t(i)];
            const int y0 = limits[size_t(i)], y1 = limits[size_t(i) + 1];
            try {
                encodeBand(rows, width, y0, y1, i + 1 == bandCount, worker, piece);
            } catch (const std::bad_alloc&) {
                piece.ok = false;
            }
            std::unique_lock lock(mutex);
            piece.done = true;
            // Whoever completes the band the sink waits for writes every band
            // ready in order.
            while (!failed && written < bandCount && pieces[size_t(written)].done) {
                Piece& ready = pieces[size_t(written)];
                bool ok = ready.ok;
                if (ok) {
                    // Length and type, the data in place, then the CRC over type and data.
                    uchar before[8], after[4];
                    putU32(before, quint32(ready.size));
                    std::memcpy(before + 4, "IDAT", 4);
                    putU32(after, quint32(libdeflate_crc32(libdeflate_crc32(0, before + 4, 4),
                                                           ready.data.data(), ready.size)));
                    ok = sink(reinterpret_cast<const char*>(before), 8) &&
                         sink(reinterpret_cast<const char*>(ready.data.data()), qsizetype(ready.size)) &&
                         sink(reinterpret_cast<const char*>(after), 4);
                    adler = quint32(adler32_combine(adler, ready.adler, z_off_t(ready.inputBytes)));
                }
                spare.push_back(std::move(ready.data));
                ready.data = {};
                failed = !ok;
                ++written;
                if (progress && ok)
                    progress(double(written) / bandCount);
            }
            turn.notify_all();
        }
    };
    ParallelFor::run(std::min(bandCount, ParallelFor::cores()), work);
    if (failed || written != bandCount)
        return false;

    uchar tail[16 + 12];
    uchar* out = tail;
    uchar trailer[4];
    putU32(trailer, adler);
    Detail::writeChunk(out, "IDAT", trailer, 4);
    Detail::writeChunk(out, "IEND", nullptr, 0);
    return sink(reinterpret_cast<const char*>(tail), qsizetype(out - tail));
}

} // namespace PngCodec
