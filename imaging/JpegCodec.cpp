#include "imaging/JpegCodec.h"

#include "imaging/ImageLimits.h"

#include <QTransform>

#include <turbojpeg.h>

// jpeglib.h needs size_t and FILE declared first.
#include <cstddef>
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <vector>

namespace JpegCodec {
namespace {

struct HandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using Handle = std::unique_ptr<void, HandleDeleter>;

quint16 read16(const uchar* p, bool bigEndian)
{
    return bigEndian ? quint16((p[0] << 8) | p[1]) : quint16((p[1] << 8) | p[0]);
}

quint32 read32(const uchar* p, bool bigEndian)
{
    return bigEndian ? (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3]
                     : (quint32(p[3]) << 24) | (quint32(p[2]) << 16) | (quint32(p[1]) << 8) | p[0];
}

// The orientation tag of a TIFF structure (the body of an Exif segment).
int orientationInTiff(const uchar* tiff, size_t size)
{
    if (size < 8)
        return 1;
    bool bigEndian;
    if (std::memcmp(tiff, "MM\0*", 4) == 0)
        bigEndian = true;
    else if (std::memcmp(tiff, "II*\0", 4) == 0)
        bigEndian = false;
    else
        return 1;
    const quint32 ifd = read32(tiff + 4, bigEndian);
    if (ifd > size - 2)
        return 1;
    const quint16 entries = read16(tiff + ifd, bigEndian);
    for (quint32 i = 0; i < entries; ++i) {
        const size_t at = size_t(ifd) + 2 + size_t(i) * 12;
        if (at + 12 > size)
            break;
        const uchar* entry = tiff + at;
        if (read16(entry, bigEndian) == 0x0112 && read16(entry + 2, bigEndian) == 3) {
            const int value = read16(entry + 8, bigEndian);
            return value >= 1 && value <= 8 ? value : 1;
        }
    }
    return 1;
}

QImage oriented(const QImage& image, int orientation)
{
    switch (orientation) {
    case 2:
        return image.mirrored(true, false);
    case 3:
        return image.mirrored(true, true);
    case 4:
        return image.mirrored(false, true);
    case 5:
        return image.transformed(QTransform().rotate(90)).mirrored(true, false);
    case 6:
        return image.transformed(QTransform().rotate(90));
    case 7:
        return image.transformed(QTransform().rotate(90)).mirrored(false, true);
    case 8:
        return image.transformed(QTransform().rotate(270));
    default:
        return image;
    }
}

// Walks the marker segments in front of the first scan, handing each one's
// marker and body to `visit` until it returns true. Returns the offset of
// the first scan's marker, or 0 when the file has none.
template <typename Visit> size_t walkSegments(const QByteArray& data, Visit visit)
{
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    const size_t size = size_t(data.size());
    size_t at = 2;
    while (at + 4 <= size && bytes[at] == 0xff) {
        const uchar marker = bytes[at + 1];
        if (marker == 0xff) {
            ++at;
            continue;
        }
        if (marker == 0xd8 || (marker >= 0xd0 && marker <= 0xd7) || marker == 0x01) {
            at += 2;
            continue;
        }
        if (marker == 0xda)
            return at;
        if (marker == 0xd9)
            return 0;
        const size_t length = (size_t(bytes[at + 2]) << 8) | bytes[at + 3];
        if (length < 2 || at + 2 + length > size)
            return 0;
        if (visit(marker, bytes + at + 4, length - 2))
            return 0;
        at += 2 + length;
    }
    return 0;
}

// ---- Decoding through libjpeg's own interface ---------------------------------
//
// libjpeg reports fatal errors by calling error_exit, which must not return;
// it jumps back to decodeRows(). Everything with a destructor lives in the
// Session, outside the frames that the jump skips.

// A progressive file of more scans than this is refused: each scan goes over
// the whole picture, so a small file of thousands could take minutes.
constexpr int kMaxScans = 500;

struct Errors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    // The first warning that says pixels were lost or made up, and its code.
    char warning[JMSG_LENGTH_MAX];
    int warningCode;
    bool tooManyScans;
};

// Reads from memory. When the data runs out it hands libjpeg an end marker,
// as jpeg_mem_src does, so that what is missing decodes as mid grey (all
// coefficients zero).
struct Source {
    jpeg_source_mgr base;
    bool ranOut;
};

// Where the decoder stood when its scan data stopped: the data ran out, or a
// marker cut the scan short. Everything after is mid grey.
struct Stop {
    bool seen;
    int scan;
    unsigned iMcuRow;
};

struct Session {
    jpeg_decompress_struct info{};
    Errors errors{};
    Source source{};
    Stop stop{};
    jpeg_progress_mgr progress{};
    QImage image;
    std::vector<JSAMPROW> rows;
    QString failure;
};

Session& sessionOf(j_common_ptr info)
{
    return *static_cast<Session*>(info->client_data);
}

[[noreturn]] void onError(j_common_ptr info)
{
    std::longjmp(sessionOf(info).errors.jump, 1);
}

void noteStop(j_decompress_ptr info)
{
    Stop& stop = sessionOf(reinterpret_cast<j_common_ptr>(info)).stop;
    if (stop.seen)
        return;
    stop.seen = true;
    stop.scan = info->input_scan_number;
    stop.iMcuRow = info->input_iMCU_row;
}

void onMessage(j_common_ptr info, int level)
{
    if (level >= 0)
        return; // traces
    Errors& errors = sessionOf(info).errors;
    const int code = info->err->msg_code;
    if (code == JWRN_HIT_MARKER && info->is_decompressor)
        noteStop(reinterpret_cast<j_decompress_ptr>(info));
    // Unknown JFIF versions, odd colour transforms and broken colour
    // profiles change no pixel; running out of data is reported by Source.
    if (code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM || code == JWRN_BOGUS_ICC ||
        code == JWRN_JPEG_EOF || errors.warning[0])
        return;
    errors.warningCode = code;
    info->err->format_message(info, errors.warning);
}

void onProgress(j_common_ptr info)
{
    auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
    if (decompress->progressive_mode && decompress->input_scan_number > kMaxScans) {
        sessionOf(info).errors.tooManyScans = true;
        std::longjmp(sessionOf(info).errors.jump, 1);
    }
}

void initSource(j_decompress_ptr) {}
void termSource(j_decompress_ptr) {}

boolean fillInput(j_decompress_ptr info)
{
    static const JOCTET endMarker[2] = {0xff, JPEG_EOI};
    Source& source = sessionOf(reinterpret_cast<j_common_ptr>(info)).source;
    source.ranOut = true;
    noteStop(info);
    WARNMS(info, JWRN_JPEG_EOF);
    source.base.next_input_byte = endMarker;
    source.base.bytes_in_buffer = 2;
    return TRUE;
}

void skipInput(j_decompress_ptr info, long count)
{
    jpeg_source_mgr& source = *info->src;
    while (count > long(source.bytes_in_buffer)) {
        count -= long(source.bytes_in_buffer);
        fillInput(info);
    }
    if (count > 0) {
        source.next_input_byte += count;
        source.bytes_in_buffer -= size_t(count);
    }
}

// The picture rows that have at least some data of their own: all of them
// unless the scan data stopped during the first scan, which every later scan
// only refines.
unsigned rowsWithData(const Session& s)
{
    const jpeg_decompress_struct& info = s.info;
    if (!s.stop.seen || s.stop.scan > 1)
        return info.image_height;
    const unsigned rows = s.stop.iMcuRow * unsigned(info.max_v_samp_factor) * DCTSIZE;
    return std::min(rows, unsigned(info.image_height));
}

// Less than this part of the picture's rows is not worth showing: the file
// is damaged, or a few hundred bytes that claim a huge picture.
bool tooLittleData(const Session& s)
{
    return qint64(rowsWithData(s)) * 100 < qint64(s.info.image_height);
}

QString damaged(const QString& detail)
{
    return QStringLiteral("The JPEG file is damaged: %1.").arg(detail);
}

// Adobe's CMYK JPEGs store inverted inks, as Qt's reader assumes too.
void cmykToRgbInPlace(uchar* row, JDIMENSION width)
{
    auto* out = reinterpret_cast<quint32*>(row);
    for (JDIMENSION x = 0; x < width; ++x) {
        const quint32 c = row[4 * x], m = row[4 * x + 1], y = row[4 * x + 2], k = row[4 * x + 3];
        out[x] = 0xff000000u | ((k * c / 255) << 16) | ((k * m / 255) << 8) | (k * y / 255);
    }
}

// Every libjpeg call happens here; false with session.failure set, or with
// the jump taken, when no picture comes out. Only trivially destructible
// locals, since a jump skips their destructors.
bool decodeRows(Session& s, const QByteArray& data)
{
    jpeg_decompress_struct& info = s.info;
    info.client_data = &s;
    if (setjmp(s.errors.jump))
        return false;
    jpeg_create_decompress(&info);
    info.progress = &s.progress;
    s.progress.progress_monitor = onProgress;
    s.source.base.next_input_byte = reinterpret_cast<const JOCTET*>(data.constData());
    s.source.base.bytes_in_buffer = size_t(data.size());
    s.source.base.init_source = initSource;
    s.source.base.fill_input_buffer = fillInput;
    s.source.base.skip_input_data = skipInput;
    s.source.base.resync_to_restart = jpeg_resync_to_restart;
    s.source.base.term_source = termSource;
    info.src = &s.source.base;

    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
        s.failure = damaged(QStringLiteral("it holds no picture"));
        return false;
    }
    const JDIMENSION width = info.image_width, height = info.image_height;
    if (!ImageLimits::fits(width, height)) {
        s.failure = ImageLimits::tooLarge(width, height);
        return false;
    }
    const qint64 scanBytes = qint64(s.source.base.bytes_in_buffer);
    if (!info.arith_code && ImageLimits::outOfProportion(qint64(width) * height, scanBytes,
                                                         ImageLimits::kJpegPixelsPerByte)) {
        s.failure = ImageLimits::bomb(width, height, scanBytes);
        return false;
    }
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    info.dct_method = JDCT_ISLOW;

    s.image = QImage(int(width), int(height), QImage::Format_ARGB32_Premultiplied);
    if (s.image.isNull()) {
        s.failure = QStringLiteral("There is not enough memory for a %1 x %2 picture.")
                        .arg(width)
                        .arg(height);
        return false;
    }
    s.rows.resize(height);
    for (JDIMENSION y = 0; y < height; ++y)
        s.rows[y] = s.image.scanLine(int(y));

    // Files of several scans are read whole here; single-scan ones row by row below.
    jpeg_start_decompress(&info);
    if (info.output_width != width || info.output_height != height || info.output_components != 4) {
        s.failure = damaged(QStringLiteral("its layout cannot be decoded"));
        return false;
    }
    while (info.output_scanline < height) {
        if (tooLittleData(s))
            break;
        const JDIMENSION first = info.output_scanline;
        if (jpeg_read_scanlines(&info, s.rows.data() + first, height - first) == 0)
            break;
        if (cmyk)
            for (JDIMENSION y = first; y < info.output_scanline; ++y)
                cmykToRgbInPlace(s.rows[y], width);
    }
    if (tooLittleData(s)) {
        s.failure = damaged(QStringLiteral("its data ends after %1 of its %2 rows")
                                .arg(rowsWithData(s))
                                .arg(height));
        return false;
    }
    if (info.output_scanline < height) {
        s.failure = damaged(QStringLiteral("the decoder stopped early"));
        return false;
    }
    // Reads on to the end marker, which reports stray bytes after the scan.
    jpeg_finish_decompress(&info);
    return true;
}

} // namespace

bool hasSignature(const QByteArray& data)
{
    return data.size() >= 3 && uchar(data[0]) == 0xff && uchar(data[1]) == 0xd8 &&
           uchar(data[2]) == 0xff;
}

int exifOrientation(const QByteArray& data)
{
    int orientation = 1;
    walkSegments(data, [&](uchar marker, const uchar* body, size_t size) {
        if (marker != 0xe1 || size <= 6 || std::memcmp(body, "Exif\0\0", 6) != 0)
            return false;
        orientation = orientationInTiff(body + 6, size - 6);
        return true;
    });
    return orientation;
}

QImage decode(const QByteArray& data, DecodeNotes* notes)
{
    auto session = std::make_unique<Session>();
    Session& s = *session;
    s.info.err = jpeg_std_error(&s.errors.base);
    s.errors.base.error_exit = onError;
    s.errors.base.emit_message = onMessage;
    const bool decoded = decodeRows(s, data);
    if (!decoded) {
        if (s.errors.tooManyScans) {
            notes->error = damaged(QStringLiteral("it has more than %1 scans").arg(kMaxScans));
        } else if (!s.failure.isEmpty()) {
            notes->error = s.failure;
        } else {
            char message[JMSG_LENGTH_MAX];
            s.errors.base.format_message(reinterpret_cast<j_common_ptr>(&s.info), message);
            notes->error = damaged(QString::fromUtf8(message));
        }
    }
    jpeg_destroy_decompress(&s.info);
    if (!decoded)
        return {};
    if (s.source.ranOut) {
        notes->endsEarly = true;
        notes->warning =
            QStringLiteral("The JPEG file ends early; the part that is missing is shown grey.");
    } else if (s.errors.warning[0]) {
        notes->warning =
            QStringLiteral("The JPEG file is slightly damaged (%1); it is shown as far as it could "
                           "be read.")
                .arg(QString::fromUtf8(s.errors.warning));
    }
    return oriented(s.image, exifOrientation(data));
}

QImage decodePreview(const QByteArray& data, int longSide, QSize* fullSize)
{
    tjhandle handle = tjInitDecompress();
    if (!handle)
        return {};
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const unsigned long size = static_cast<unsigned long>(data.size());
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    QImage image;
    if (tjDecompressHeader3(handle, bytes, size, &width, &height, &subsampling, &colourspace) == 0 &&
        ImageLimits::fits(width, height) && colourspace != TJCS_CMYK && colourspace != TJCS_YCCK &&
        !ImageLimits::outOfProportion(qint64(width) * height, qint64(size), ImageLimits::kJpegPixelsPerByte)) {
        int denominator = 1;
        for (int d : {8, 4, 2}) {
            if (std::max(width, height) / d >= longSide) {
                denominator = d;
                break;
            }
        }
        if (denominator > 1) {
            const int w = (width + denominator - 1) / denominator;
            const int h = (height + denominator - 1) / denominator;
            image = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
            if (!image.isNull() &&
                tjDecompress2(handle, bytes, size, image.bits(), w, int(image.bytesPerLine()), h, TJPF_BGRA,
                              TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE) != 0)
                image = QImage(); // a damaged file waits for the whole decode and its reasons
        }
    }
    tjDestroy(handle);
    if (image.isNull())
        return {};
    const int orientation = exifOrientation(data);
    *fullSize = orientation >= 5 ? QSize(height, width) : QSize(width, height);
    return oriented(image, orientation);
}

QByteArray encode(const QImage& source, int quality)
{
    if (source.isNull())
        return {};
    QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    if (image.hasAlphaChannel()) {
        // Premultiplied colour over white is the colour plus the uncovered part.
        QImage flat(image.size(), QImage::Format_ARGB32_Premultiplied);
        if (flat.isNull())
            return {};
        for (int y = 0; y < image.height(); ++y) {
            const auto* in = reinterpret_cast<const quint32*>(image.constScanLine(y));
            auto* out = reinterpret_cast<quint32*>(flat.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const quint32 p = in[x];
                const quint32 cover = 255 - (p >> 24);
                const quint32 r = std::min(255u, ((p >> 16) & 0xff) + cover),
                              g = std::min(255u, ((p >> 8) & 0xff) + cover),
                              b = std::min(255u, (p & 0xff) + cover);
                out[x] = 0xff000000u | (r << 16) | (g << 8) | b;
            }
        }
        image = std::move(flat);
    }
    Handle handle(tjInitCompress());
    if (!handle)
        return {};
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int q = qBound(1, quality, 100);
    const int result =
        tjCompress2(handle.get(), image.constBits(), image.width(), int(image.bytesPerLine()),
                    image.height(), TJPF_BGRX, &buffer, &size, TJSAMP_420, q, 0);
    QByteArray file;
    if (result == 0)
        file = QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(size));
    tjFree(buffer);
    return file;
}

} // namespace JpegCodec
