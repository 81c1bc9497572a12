#include "canvas/ResultComposer.h"

#include "canvas/EdgeRefine_p.h"
#include "canvas/MaskSampling.h"
#include "canvas/PixelMath.h"
#include "platform/ParallelFor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

using namespace MaskSampling;
using namespace PixelMath;

struct ResultComposer::State {
    QImage picture; // as given: `source` may read its pixels in place
    QImage source;  // Format_ARGB32 or Format_RGB32
    QImage blur;   // premultiplied, or null
    QImage mask;   // 8 bits a pixel, or null
    QSizeF pictureSize;
    QSize size;
    Refine refine = Refine::Off;
    UnderCut underCut = UnderCut::Dropped;
    // Where each output column and row reads the picture and the mask.
    std::vector<int> picX, picY, maskX, maskW;
    // The blurred copy: pixel for pixel (nearest, as the canvas samples
    // levels) when it has the picture's size; else enlarged linearly from
    // columns blurX0 and blurX0 + 1 with weight blurWx (0..256).
    bool blurEnlarged = false;
    std::vector<int> blurX, blurY, blurWx;
    // The refinement's fixed numbers and sampling tables.
    EdgeRefine::Parameters parameters;
    EdgeRefine::Detail::Geometry geometry;
};

namespace {

// Where output pixel i (of n over `extent`) falls among `cells` samples: the
// left sample of the pair it lies between and its weight towards the right
// one, 0..256. Within half a sample of either end the end pair's line goes
// on (the weight leaves 0..256), so that a blur fading out at the picture's
// rim keeps its slope instead of flattening over the last samples.
void enlargeAxis(double centre, double cells, double extent, int count, int& low, int& weight)
{
    const double at = centre * cells / extent - 0.5;
    low = count < 2 ? 0 : std::clamp(int(std::floor(at)), 0, count - 2);
    weight = count < 2 ? 0 : int(std::lround((at - low) * 256));
}

// Row y of the blurred copy enlarged linearly to the output's width,
// premultiplied, into `out`; `column` is scratch.
void enlargedBlurRow(const QImage& blur, const std::vector<int>& x0, const std::vector<int>& wx,
                     double pictureHeight, int y, std::vector<std::int32_t>& column, std::uint32_t* out)
{
    const int bw = blur.width(), bh = blur.height();
    const int width = int(x0.size());
    column.resize(size_t(bw) * 4);
    int r0 = 0, wy = 0;
    enlargeAxis(y + 0.5, bh, pictureHeight, bh, r0, wy);
    const std::uint8_t* a = blur.constScanLine(r0);
    const std::uint8_t* b = blur.constScanLine(std::min(r0 + 1, bh - 1));
    for (int i = 0; i < bw * 4; ++i)
        column[size_t(i)] = a[i] * (256 - wy) + b[i] * wy;
    for (int x = 0; x < width; ++x) {
        const std::int32_t* l = column.data() + 4 * x0[size_t(x)];
        const std::int32_t* r = column.data() + 4 * std::min(x0[size_t(x)] + 1, bw - 1);
        const std::int64_t w = wx[size_t(x)];
        auto channel = [&](int k, std::int64_t top) {
            const std::int64_t v = (l[k] * (256 - w) + r[k] * w + (1 << 15)) >> 16;
            return std::uint32_t(std::clamp<std::int64_t>(v, 0, top));
        };
        // Beyond the samples the line may overshoot: keep a valid
        // premultiplied pixel (no channel above alpha).
        const std::uint32_t alpha = channel(3, 255);
        out[x] = (alpha << 24) | (channel(2, alpha) << 16) | (channel(1, alpha) << 8) | channel(0, alpha);
    }
}

// True when every pixel of a premultiplied image has alpha 255.
bool opaque(const QImage& premultiplied)
{
    for (int y = 0; y < premultiplied.height(); ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(premultiplied.constScanLine(y));
        std::uint32_t all = 0xff000000u;
        for (int x = 0; x < premultiplied.width(); ++x)
            all &= row[x];
        if (all != 0xff000000u)
            return false;
    }
    return true;
}

} // namespace

ResultComposer::ResultComposer(const QImage& picture, const QImage& blur, const QImage& mask,
                               QSizeF pictureSize, QSize size, Refine refine, UnderCut underCut)
{
    if (size.isEmpty() || picture.isNull() || pictureSize.isEmpty())
        return;
    auto state = std::make_shared<State>();
    // Straight colour in and out: a premultiplied source can only give back
    // what it kept, and only an opaque one keeps everything.
    state->picture = picture;
    state->source = picture;
    if (picture.format() == QImage::Format_ARGB32_Premultiplied && opaque(picture)) {
        // An opaque premultiplied picture (a decoded JPEG) is its own
        // straight colour: read in place rather than copied whole.
        state->source = QImage(picture.constBits(), picture.width(), picture.height(),
                               picture.bytesPerLine(), QImage::Format_RGB32);
    } else if (picture.format() != QImage::Format_ARGB32 && picture.format() != QImage::Format_RGB32)
        state->source = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                          : QImage::Format_RGB32);
    if (state->source.isNull())
        return;
    state->blur = blur;
    if (!blur.isNull() && blur.format() != QImage::Format_ARGB32_Premultiplied)
        state->blur = blur.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    state->mask = EdgeRefine::Detail::eightBitMask(mask);
    state->pictureSize = pictureSize;
    state->size = size;
    state->refine = state->mask.isNull() ? Refine::Off : refine;
    state->underCut = underCut;

    const QImage& source = state->source;
    const double pw = pictureSize.width(), ph = pictureSize.height();
    const int n = size.width(), h = size.height();
    const int mw = state->mask.isNull() ? 0 : state->mask.width();
    state->picX.resize(size_t(n));
    state->maskX.resize(size_t(n));
    state->maskW.resize(size_t(n));
    for (int x = 0; x < n; ++x) {
        const double px = x + 0.5;
        state->picX[size_t(x)] = std::min(source.width() - 1, int(px * source.width() / pw));
        if (mw) {
            const double mx = std::clamp(px * mw / pw - 0.5, 0.0, double(mw - 1));
            state->maskX[size_t(x)] = int(std::floor(mx));
            state->maskW[size_t(x)] = int(std::lround((mx - state->maskX[size_t(x)]) * 256));
        }
    }
    state->picY.resize(size_t(h));
    for (int y = 0; y < h; ++y)
        state->picY[size_t(y)] = std::min(source.height() - 1, int((y + 0.5) * source.height() / ph));

    if (const QImage& b = state->blur; !b.isNull()) {
        state->blurEnlarged = b.size() != size;
        state->blurX.resize(size_t(n));
        state->blurWx.resize(size_t(n));
        for (int x = 0; x < n; ++x) {
            if (state->blurEnlarged) {
                enlargeAxis(x + 0.5, b.width(), pw, b.width(), state->blurX[size_t(x)],
                            state->blurWx[size_t(x)]);
            } else {
                state->blurX[size_t(x)] = std::min(b.width() - 1, int((x + 0.5) * b.width() / pw));
            }
        }
        if (!state->blurEnlarged) {
            state->blurY.resize(size_t(h));
            for (int y = 0; y < h; ++y)
                state->blurY[size_t(y)] = std::min(b.height() - 1, int((y + 0.5) * b.height() / ph));
        }
    }
    if (state->refine == Refine::Edges) {
        state->parameters = EdgeRefine::parameters(state->mask.size(), pictureSize);
        state->geometry =
            EdgeRefine::Detail::makeGeometry(size, pictureSize, state->mask.size(), source.size());
    }
    m_state = std::move(state);
}

QSize ResultComposer::size() const
{
    return m_state ? m_state->size : QSize();
}

QColorSpace ResultComposer::colorSpace() const
{
    return m_state ? m_state->picture.colorSpace() : QColorSpace();
}

std::vector<int> ResultComposer::bandStarts() const
{
    if (!m_state || m_state->refine != Refine::Edges)
        return {};
    const EdgeRefine::Detail::Geometry& g = m_state->geometry;
    const int tile = EdgeRefine::Detail::tileRows(m_state->parameters);
    std::vector<int> starts;
    for (int cell = 0; cell < g.mh; cell += tile) {
        const int y = g.firstY[size_t(cell)];
        if (y < g.height && (starts.empty() || y > starts.back()))
            starts.push_back(y);
    }
    return starts;
}

void ResultComposer::rows(int y0, int y1, uchar* out, qsizetype stride) const
{
    if (!m_state)
        return;
    const State& s = *m_state;
    y0 = std::max(0, y0);
    y1 = std::min(s.size.height(), y1);
    if (y0 >= y1)
        return;
    const int n = s.size.width();
    const int mw = s.mask.isNull() ? 0 : s.mask.width();
    const bool blur = !s.blur.isNull();
    const std::uint32_t opaque = s.source.format() == QImage::Format_RGB32 ? 0xff000000u : 0;
    // What a pixel cut away entirely keeps of the picture: nothing, or its
    // colour. With refinement, colours are kept after it, and only without blur.
    const bool keepAfter = s.refine == Refine::Edges && s.underCut == UnderCut::KeptColours && !blur;
    const std::uint32_t keptUnderCut =
        s.refine == Refine::Off && s.underCut == UnderCut::KeptColours && !blur ? 0x00ffffffu : 0;
    std::vector<std::uint16_t> maskRow(size_t(mw) + 1);
    const int* picX = s.picX.data();
    // The picture through the mask; the blurred copy goes under it last,
    // once the refinement has had its say, a row at a time.
    for (int y = y0; y < y1; ++y) {
        auto* dst = reinterpret_cast<std::uint32_t*>(out + (y - y0) * stride);
        const auto* picRow =
            reinterpret_cast<const std::uint32_t*>(s.source.constScanLine(s.picY[size_t(y)]));
        if (!mw) {
            // No mask: nothing of the picture is kept.
            for (int x = 0; x < n; ++x)
                dst[x] = picRow[picX[x]] & keptUnderCut;
            continue;
        }
        interpolateMaskRow(s.mask, (y + 0.5) * s.mask.height() / s.pictureSize.height() - 0.5, 0,
                           mw - 1, maskRow.data());
        maskRow[size_t(mw)] = maskRow[size_t(mw) - 1];
        for (int x = 0; x < n; ++x) {
            const std::uint32_t m = maskAt(maskRow.data(), s.maskX[size_t(x)], s.maskW[size_t(x)]);
            const std::uint32_t p = picRow[picX[x]] | opaque;
            // Kept whole: the picture's own pixel. Cut partly: its alpha
            // times the mask's, rounded, its colour unchanged.
            std::uint32_t src = p & keptUnderCut;
            if (m == 255) {
                src = p;
            } else if (m != 0) {
                const std::uint32_t alpha = div255((p >> 24) * m);
                src = alpha ? (alpha << 24) | (p & 0xffffff) : p & keptUnderCut;
            }
            dst[x] = src;
        }
    }
    if (s.refine == Refine::Edges) {
        using namespace EdgeRefine::Detail;
        Job job;
        job.g = &s.geometry;
        job.prm = &s.parameters;
        job.source = &s.source;
        job.colour = s.source.format() == QImage::Format_RGB32 ? Colour::Opaque : Colour::Straight;
        job.mask = &s.mask;
        job.region = QRect(0, y0, n, y1 - y0);
        job.bits = out;
        job.stride = stride;
        job.premultipliedOut = false;
        job.blur = nullptr;
        refineBand(job, nullptr);
    }
    if (keepAfter) {
        for (int y = y0; y < y1; ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(out + (y - y0) * stride);
            const auto* pic =
                reinterpret_cast<const std::uint32_t*>(s.source.constScanLine(s.picY[size_t(y)]));
            for (int x = 0; x < n; ++x)
                if ((row[x] >> 24) == 0)
                    row[x] = pic[picX[x]] & 0x00ffffffu;
        }
    }
    if (!blur)
        return;
    // The blurred copy under every pixel not kept whole: pixel for pixel,
    // or enlarged linearly from a reduced copy.
    std::vector<std::uint32_t> enlarged(s.blurEnlarged ? size_t(n) : 0);
    std::vector<std::int32_t> column;
    for (int y = y0; y < y1; ++y) {
        auto* dst = reinterpret_cast<std::uint32_t*>(out + (y - y0) * stride);
        const std::uint32_t* blurRow = enlarged.data();
        const int* bx = nullptr;
        if (s.blurEnlarged)
            enlargedBlurRow(s.blur, s.blurX, s.blurWx, s.pictureSize.height(), y, column,
                            enlarged.data());
        else {
            blurRow = reinterpret_cast<const std::uint32_t*>(s.blur.constScanLine(s.blurY[size_t(y)]));
            bx = s.blurX.data();
        }
        for (int x = 0; x < n; ++x)
            if ((dst[x] >> 24) != 255)
                dst[x] = unpremultiply(over(premultiply(dst[x]), blurRow[bx ? bx[x] : x]));
    }
}

void ResultComposer::forEachBand(const std::function<void(int y0, int y1)>& band) const
{
    if (!m_state)
        return;
    // Bands small enough to stay in the cache between the passes of rows(),
    // and the refinement's own where it has them.
    const int height = m_state->size.height();
    std::vector<int> starts = bandStarts();
    if (starts.empty())
        for (int y = 0; y < height; y += 64)
            starts.push_back(y);
    starts.push_back(height);
    ParallelFor::run(int(starts.size()) - 1,
                     [&](int i) { band(starts[size_t(i)], starts[size_t(i) + 1]); });
}

QImage ResultComposer::image() const
{
    if (!m_state)
        return {};
    QImage out(m_state->size, QImage::Format_ARGB32);
    if (out.isNull())
        return {};
    out.setColorSpace(m_state->picture.colorSpace());
    uchar* bits = out.bits();
    const qsizetype stride = out.bytesPerLine();
    forEachBand([&](int y0, int y1) { rows(y0, y1, bits + y0 * stride, stride); });
    return out;
}
