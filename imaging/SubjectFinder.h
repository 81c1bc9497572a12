#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <atomic>
#include <functional>

// The two whole jobs of the Subject and Box tools, from a picture to an
// alpha at the mask's size: the network (SubjectNetwork), then GrabCut
// seeded from it (SubjectCut). Plain code, no widget, no thread of its own;
// the canvas runs them in the background, the benchmark and the tests
// directly.
namespace SubjectFinder {

struct Subject {
    // Format_Grayscale8 of the mask's size: 255 where the subject is kept.
    QImage alpha;
    // The network's probability at the mask's size; null without the model.
    QImage map;
    // The network was used (else GrabCut from the picture's border).
    bool usedModel = false;
    bool cancelled = false;
    // Why the model was not used: "not installed" (an empty model path),
    // "no clear subject" (its map's peak is weak), or why it failed.
    QString modelProblem;
};

// The picture's subject. `picture` is the picture at full size (any format),
// `maskSize` the mask's; `modelPath` empty means no model is installed.
// `progress` goes from 0 to 1: the network's pass takes most of it.
Subject findSubject(const QImage& picture, QSize maskSize, const QString& modelPath,
                    const std::atomic<bool>* cancelled = nullptr,
                    const std::function<void(double)>& progress = {});

struct Box {
    // Format_Grayscale8 of `area`'s size: 255 where the object is kept.
    QImage alpha;
    // Where the alpha lies, in mask pixels: the box clipped to the mask;
    // empty for a box off the mask.
    QRect area;
    bool cancelled = false;
};

// The object inside `box` (mask pixels), from GrabCut over the box and a
// margin around it, seeded by the box and by `map` (the subject's
// probability at the mask's size) when that is given.
Box findInBox(const QImage& picture, QSize maskSize, QRect box, const QImage& map,
              const std::atomic<bool>* cancelled = nullptr);

} // namespace SubjectFinder
