#pragma once

// Between our QImages and OpenCV's matrices, for the sources that run the
// subject network and GrabCut. Internal: it names OpenCV's types, which stay
// out of every public header.

#include <QImage>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace CvImage {

// `image` as a premultiplied 32-bit picture (B, G, R, A bytes), so that a
// transparent pixel reads as black: the image itself when it is one already,
// else a converted copy. Null when it cannot be made.
inline QImage fourChannel(const QImage& image)
{
    switch (image.format()) {
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGB32:
        return image;
    default:
        return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }
}

// A matrix over the image's own pixels, no copy: the image must outlive it,
// and an image that is written through it must not be shared.
inline cv::Mat wrap(const QImage& image)
{
    int type = CV_8UC4;
    if (image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Alpha8)
        type = CV_8UC1;
    else if (image.format() == QImage::Format_RGB888)
        type = CV_8UC3;
    return cv::Mat(image.height(), image.width(), type, const_cast<uchar*>(image.constBits()),
                   std::size_t(image.bytesPerLine()));
}

// `source` resized to `size` one axis at a time: an area average along an
// axis that shrinks, bilinear along one that grows, so that a wide picture
// made square neither aliases across nor blocks along.
inline cv::Mat resized(const cv::Mat& source, cv::Size size)
{
    auto method = [](int from, int to) { return to < from ? cv::INTER_AREA : cv::INTER_LINEAR; };
    cv::Mat across, result;
    if (source.cols == size.width)
        across = source;
    else
        cv::resize(source, across, cv::Size(size.width, source.rows), 0, 0,
                   method(source.cols, size.width));
    if (across.rows == size.height)
        result = across.data == source.data ? across.clone() : across;
    else
        cv::resize(across, result, size, 0, 0, method(across.rows, size.height));
    return result;
}

} // namespace CvImage
