#include "imaging/SubjectFinder.h"

#include "imaging/CvImage_p.h"
#include "imaging/SubjectCut.h"
#include "imaging/SubjectNetwork.h"

#include <algorithm>
#include <cmath>

namespace SubjectFinder {

namespace {

// The share of the progress that the network's pass takes.
constexpr double networkShare = 0.9;

// `map` (any size, Format_Grayscale8), the part `area` of it, sized to `size`.
QImage mapPart(const QImage& map, QRect area, QSize size)
{
    area &= map.rect();
    if (area.isEmpty() || size.isEmpty())
        return {};
    QImage out(size, QImage::Format_Grayscale8);
    if (out.isNull())
        return {};
    const cv::Mat part =
        CvImage::wrap(map)(cv::Rect(area.x(), area.y(), area.width(), area.height()));
    CvImage::resized(part, cv::Size(size.width(), size.height())).copyTo(CvImage::wrap(out));
    return out;
}

// Mask pixels to the picture's pixels: the mask is the picture scaled uniformly.
QRect toPicture(QRect maskArea, QSize maskSize, QSize pictureSize)
{
    const double sx = double(pictureSize.width()) / maskSize.width();
    const double sy = double(pictureSize.height()) / maskSize.height();
    const int left = int(std::floor(maskArea.left() * sx));
    const int top = int(std::floor(maskArea.top() * sy));
    const int right = int(std::ceil((maskArea.right() + 1) * sx));
    const int bottom = int(std::ceil((maskArea.bottom() + 1) * sy));
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)) &
           QRect(QPoint(0, 0), pictureSize);
}

} // namespace

Subject findSubject(const QImage& picture, QSize maskSize, const QString& modelPath,
                    const std::atomic<bool>* cancelled, const std::function<void(double)>& progress)
{
    Subject subject;
    auto stopped = [&] { return cancelled && cancelled->load(); };
    if (picture.isNull() || maskSize.isEmpty())
        return subject;
    if (modelPath.isEmpty()) {
        subject.modelProblem = QStringLiteral("not installed");
    } else {
        const SubjectNetwork::Result run = SubjectNetwork::run(
            modelPath, picture, SubjectNetwork::inputSide, cancelled, [&progress](double done) {
                if (progress)
                    progress(networkShare * done);
            });
        if (run.cancelled || stopped()) {
            subject.cancelled = true;
            return subject;
        }
        if (run.probability.isNull())
            subject.modelProblem = run.error;
        else
            subject.map = mapPart(run.probability, run.probability.rect(), maskSize);
    }
    if (stopped()) {
        subject.cancelled = true;
        return subject;
    }

    const QSize working = SubjectCut::workingSize(picture.size());
    const QImage reduced = SubjectCut::reduce(picture, picture.rect(), working);
    QImage labels;
    if (!subject.map.isNull())
        labels =
            SubjectCut::seedsFromProbability(mapPart(subject.map, subject.map.rect(), working));
    subject.usedModel = !labels.isNull();
    if (!subject.map.isNull() && labels.isNull())
        subject.modelProblem = QStringLiteral("no clear subject");
    if (labels.isNull())
        labels = SubjectCut::seedsFromBorder(working);
    if (!SubjectCut::grabCut(reduced, labels, SubjectCut::rounds, cancelled)) {
        subject.cancelled = stopped(); // else GrabCut failed: a null alpha keeps nothing
        return subject;
    }
    subject.alpha = SubjectCut::softAlpha(labels, subject.usedModel ? subject.map : QImage(),
                                          maskSize, SubjectCut::bandFor(maskSize));
    if (progress)
        progress(1.0);
    return subject;
}

Box findInBox(const QImage& picture, QSize maskSize, QRect box, const QImage& map,
              const std::atomic<bool>* cancelled)
{
    Box result;
    const QRect mask(QPoint(0, 0), maskSize);
    box = box.normalized() & mask;
    if (picture.isNull() || box.isEmpty())
        return result;
    // Context around the box: GrabCut learns the background's colours there.
    const int margin = std::max(8, std::max(box.width(), box.height()) / 8);
    const QRect area = box.adjusted(-margin, -margin, margin, margin) & mask;

    const QRect source = toPicture(area, maskSize, picture.size());
    const QSize working = SubjectCut::workingSize(source.size());
    const QImage reduced = SubjectCut::reduce(picture, source, working);
    if (reduced.isNull())
        return result;
    const double kx = double(working.width()) / area.width();
    const double ky = double(working.height()) / area.height();
    const QRect inside(QPoint(int(std::floor((box.left() - area.left()) * kx)),
                              int(std::floor((box.top() - area.top()) * ky))),
                       QPoint(int(std::ceil((box.right() + 1 - area.left()) * kx)) - 1,
                              int(std::ceil((box.bottom() + 1 - area.top()) * ky)) - 1));
    const QImage workingMap = map.size() == maskSize ? mapPart(map, area, working) : QImage();
    QImage labels = SubjectCut::seedsForBox(working, inside, workingMap);
    if (!SubjectCut::grabCut(reduced, labels, SubjectCut::rounds, cancelled)) {
        result.cancelled = cancelled && cancelled->load();
        return result;
    }
    // The box's own border is no edge of the object: the labels inside it
    // are carried outwards before the soft edge is made.
    const QRect within = inside & labels.rect();
    if (within.isEmpty())
        return result;
    cv::Mat carried;
    cv::copyMakeBorder(
        CvImage::wrap(labels)(cv::Rect(within.x(), within.y(), within.width(), within.height())),
        carried, within.top(), labels.height() - 1 - within.bottom(), within.left(),
        labels.width() - 1 - within.right(), cv::BORDER_REPLICATE);
    carried.copyTo(CvImage::wrap(labels));
    const QImage areaMap = map.size() == maskSize ? map.copy(area) : QImage();
    QImage alpha =
        SubjectCut::softAlpha(labels, areaMap, area.size(), SubjectCut::bandFor(maskSize));
    // Nothing outside the box is the object, whatever the margin's pixels say.
    result.alpha = alpha.copy(box.translated(-area.topLeft()));
    result.area = box;
    return result;
}

} // namespace SubjectFinder
