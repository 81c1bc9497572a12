#include "imaging/SubjectCut.h"

#include "imaging/CvImage_p.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace SubjectCut {

namespace {

QImage labelPlane(QSize size, Label fill)
{
    QImage labels(size, QImage::Format_Grayscale8);
    if (!labels.isNull())
        labels.fill(fill);
    return labels;
}

// The map's value judged against `top`, its peak: 255 at the peak.
inline int share(int value, int top)
{
    return top > 0 ? std::min(255, (value * 255 + top / 2) / top) : 0;
}

} // namespace

QSize workingSize(QSize size, int pixels)
{
    if (size.isEmpty())
        return {};
    const double area = double(size.width()) * size.height();
    if (area <= pixels)
        return size;
    const double k = std::sqrt(pixels / area);
    return {std::max(1, int(size.width() * k)), std::max(1, int(size.height() * k))};
}

QImage reduce(const QImage& picture, QRect area, QSize size)
{
    area &= picture.rect();
    if (area.isEmpty() || size.isEmpty())
        return {};
    const QImage bitmap = CvImage::fourChannel(picture);
    if (bitmap.isNull())
        return {};
    const cv::Mat part =
        CvImage::wrap(bitmap)(cv::Rect(area.x(), area.y(), area.width(), area.height()));
    const cv::Mat sized = CvImage::resized(part, cv::Size(size.width(), size.height()));
    QImage out(size, QImage::Format_RGB32);
    if (out.isNull())
        return {};
    sized.copyTo(CvImage::wrap(out));
    return out;
}

int peak(const QImage& map, QRect area)
{
    area &= map.rect();
    int top = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const std::uint8_t* row = map.constScanLine(y);
        for (int x = area.left(); x <= area.right(); ++x)
            top = std::max(top, int(row[x]));
    }
    return top;
}

QImage seedsFromProbability(const QImage& map)
{
    const int top = peak(map, map.rect());
    if (map.isNull() || top < weakestPeak)
        return {};
    QImage labels = labelPlane(map.size(), ProbableBackground);
    if (labels.isNull())
        return {};
    for (int y = 0; y < map.height(); ++y) {
        const std::uint8_t* in = map.constScanLine(y);
        std::uint8_t* out = labels.scanLine(y);
        for (int x = 0; x < map.width(); ++x) {
            const int v = in[x], s = share(v, top);
            out[x] = v <= sureBackground        ? Background
                     : s >= sureForegroundShare ? Foreground
                     : s >= probableShare       ? ProbableForeground
                                                : ProbableBackground;
        }
    }
    return labels;
}

QImage seedsFromBorder(QSize size)
{
    QImage labels = labelPlane(size, ProbableForeground);
    if (labels.isNull())
        return {};
    const int border = std::max(1, std::min(size.width(), size.height()) / 20);
    for (int y = 0; y < size.height(); ++y) {
        std::uint8_t* out = labels.scanLine(y);
        for (int x = 0; x < size.width(); ++x) {
            const int edge = std::min({x, y, size.width() - 1 - x, size.height() - 1 - y});
            if (edge == 0)
                out[x] = Background;
            else if (edge < border)
                out[x] = ProbableBackground;
        }
    }
    return labels;
}

QImage seedsForBox(QSize size, QRect box, const QImage& map)
{
    QImage labels = labelPlane(size, Background);
    box &= labels.rect();
    if (labels.isNull() || box.isEmpty())
        return labels;
    const bool useMap = map.size() == size && peak(map, box) >= weakestPeak;
    const int top = useMap ? peak(map, box) : 0;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        std::uint8_t* out = labels.scanLine(y);
        const std::uint8_t* in = useMap ? map.constScanLine(y) : nullptr;
        for (int x = box.left(); x <= box.right(); ++x) {
            if (!in) {
                out[x] = ProbableForeground;
                continue;
            }
            const int s = share(in[x], top);
            out[x] = s >= sureForegroundShare ? Foreground
                     : s >= probableShare     ? ProbableForeground
                                              : ProbableBackground;
        }
    }
    return labels;
}

namespace {

// GrabCut's colour models are Gaussians: over a flat area (a uniform
// backdrop, clipped highlights) their variance nearly vanishes, the data
// terms grow huge and the graph cut all but stalls (a uniform 640 x 480
// picture took 100 s). A fixed grain of +-grain levels, like a camera's
// noise, keeps every variance at a few levels and costs the cut nothing.
constexpr int grain = 5;

void addGrain(cv::Mat& colours)
{
    std::uint32_t state = 0x9e3779b9u;
    for (int y = 0; y < colours.rows; ++y) {
        std::uint8_t* row = colours.ptr<std::uint8_t>(y);
        for (int i = 0; i < colours.cols * 3; ++i) {
            state = state * 1664525u + 1013904223u;
            const int v = row[i] + int((state >> 24) % (2 * grain + 1)) - grain;
            row[i] = std::uint8_t(std::clamp(v, 0, 255));
        }
    }
}

// GrabCut itself, at the labels' size; the caller has checked the sizes.
bool grabCutAtSize(const QImage& picture, QImage& labels, int rounds,
                   const std::atomic<bool>* cancelled)
{
    // GrabCut models both sides' colours: with either side empty there is
    // nothing to tell apart, and OpenCV would refuse.
    bool background = false, foreground = false;
    for (int y = 0; y < labels.height() && !(background && foreground); ++y) {
        const std::uint8_t* row = labels.constScanLine(y);
        for (int x = 0; x < labels.width(); ++x) {
            const bool fg = row[x] == Foreground || row[x] == ProbableForeground;
            foreground |= fg;
            background |= !fg;
        }
    }
    if (!background || !foreground)
        return !(cancelled && cancelled->load());
    try {
        const QImage bitmap = CvImage::fourChannel(picture);
        cv::Mat colours;
        cv::cvtColor(CvImage::wrap(bitmap), colours, cv::COLOR_BGRA2BGR);
        addGrain(colours);
        labels.detach();
        cv::Mat mask = CvImage::wrap(labels);
        cv::Mat backgroundModel, foregroundModel;
        for (int round = 0; round < rounds; ++round) {
            if (cancelled && cancelled->load())
                return false;
            cv::grabCut(colours, mask, cv::Rect(), backgroundModel, foregroundModel, 1,
                        round == 0 ? cv::GC_INIT_WITH_MASK : cv::GC_EVAL);
        }
    } catch (const cv::Exception&) {
        return false;
    }
    return !(cancelled && cancelled->load());
}

} // namespace

bool grabCut(const QImage& picture, QImage& labels, int rounds, const std::atomic<bool>* cancelled)
{
    if (picture.size() != labels.size() || labels.format() != QImage::Format_Grayscale8 ||
        picture.isNull())
        return false;
    const QSize coarse = workingSize(labels.size(), coarsePixels);
    if (coarse == labels.size())
        return grabCutAtSize(picture, labels, rounds, cancelled);

    // Coarse to fine (see coarsePixels): the full size decides only a band
    // along the coarse answer, a few of its pixels wide.
    const cv::Size small(coarse.width(), coarse.height());
    QImage smallPicture(coarse, QImage::Format_RGB32);
    QImage smallLabels(coarse, QImage::Format_Grayscale8);
    if (smallPicture.isNull() || smallLabels.isNull())
        return false;
    const QImage bitmap = CvImage::fourChannel(picture);
    cv::resize(CvImage::wrap(bitmap), CvImage::wrap(smallPicture), small, 0, 0, cv::INTER_AREA);
    cv::resize(CvImage::wrap(labels), CvImage::wrap(smallLabels), small, 0, 0, cv::INTER_NEAREST);
    if (!grabCutAtSize(smallPicture, smallLabels, rounds, cancelled))
        return false;

    QImage hard(coarse, QImage::Format_Grayscale8);
    for (int y = 0; y < coarse.height(); ++y) {
        const std::uint8_t* in = smallLabels.constScanLine(y);
        std::uint8_t* out = hard.scanLine(y);
        for (int x = 0; x < coarse.width(); ++x)
            out[x] = (in[x] == Foreground || in[x] == ProbableForeground) ? 255 : 0;
    }
    cv::Mat grown, wide, narrow;
    cv::resize(CvImage::wrap(hard), grown, cv::Size(labels.width(), labels.height()), 0, 0,
               cv::INTER_LINEAR);
    const int band = 2 + int(std::ceil(double(labels.width()) / coarse.width()));
    const cv::Mat kernel =
        cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * band + 1, 2 * band + 1));
    cv::dilate(grown, wide, kernel);
    cv::erode(grown, narrow, kernel);
    labels.detach();
    for (int y = 0; y < labels.height(); ++y) {
        std::uint8_t* out = labels.scanLine(y);
        const std::uint8_t* g = grown.ptr<std::uint8_t>(y);
        const std::uint8_t* high = wide.ptr<std::uint8_t>(y);
        const std::uint8_t* low = narrow.ptr<std::uint8_t>(y);
        for (int x = 0; x < labels.width(); ++x) {
            if (out[x] == Background || out[x] == Foreground)
                continue; // what the seeds were sure of stays
            if (low[x] >= 128)
                out[x] = Foreground;
            else if (high[x] < 128)
                out[x] = Background;
            else
                out[x] = g[x] >= 128 ? ProbableForeground : ProbableBackground;
        }
    }
    return grabCutAtSize(picture, labels, fineRounds, cancelled);
}

int bandFor(QSize size)
{
    return std::max(2, int(std::lround(std::max(size.width(), size.height()) / 400.0)));
}

QImage softAlpha(const QImage& labels, const QImage& map, QSize size, int band)
{
    if (labels.isNull() || size.isEmpty())
        return {};
    QImage hard(labels.size(), QImage::Format_Grayscale8);
    if (hard.isNull())
        return {};
    for (int y = 0; y < labels.height(); ++y) {
        const std::uint8_t* in = labels.constScanLine(y);
        std::uint8_t* out = hard.scanLine(y);
        for (int x = 0; x < labels.width(); ++x)
            out[x] = (in[x] == Foreground || in[x] == ProbableForeground) ? 255 : 0;
    }
    QImage alpha(size, QImage::Format_Grayscale8);
    if (alpha.isNull())
        return {};
    cv::Mat grown = CvImage::wrap(alpha);
    if (hard.size() == size)
        CvImage::wrap(hard).copyTo(grown);
    else
        cv::resize(CvImage::wrap(hard), grown, cv::Size(size.width(), size.height()), 0, 0,
                   cv::INTER_LINEAR);
    if (map.size() != size || band <= 0)
        return alpha;
    const int top = peak(map, map.rect());
    if (top < weakestPeak)
        return alpha;

    // The band: where the grown cut's neighbourhood holds both sides.
    cv::Mat wide, narrow;
    const cv::Mat kernel =
        cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * band + 1, 2 * band + 1));
    cv::dilate(grown, wide, kernel);
    cv::erode(grown, narrow, kernel);
    for (int y = 0; y < size.height(); ++y) {
        std::uint8_t* out = alpha.scanLine(y);
        const std::uint8_t* in = map.constScanLine(y);
        const std::uint8_t* high = wide.ptr<std::uint8_t>(y);
        const std::uint8_t* low = narrow.ptr<std::uint8_t>(y);
        for (int x = 0; x < size.width(); ++x) {
            if (high[x] != low[x])
                out[x] = std::uint8_t((out[x] + share(in[x], top) + 1) / 2);
        }
    }
    return alpha;
}

} // namespace SubjectCut
