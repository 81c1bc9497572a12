#pragma once

#include <QImage>
#include <QRect>
#include <QSize>

#include <atomic>
#include <cstdint>

// From the subject network's probability to a cut: the seeds that GrabCut
// starts from, GrabCut itself at a working size of about a megapixel, and the
// soft alpha at the mask's size. Plain functions over planes, no widget; any
// thread, each call on its own data.
//
// Planes are top row first: maps and alphas Format_Grayscale8 (0..255),
// labels Format_Grayscale8 holding a Label per pixel, pictures 32-bit.
namespace SubjectCut {

// GrabCut's labels, numbered as OpenCV numbers them.
enum Label : std::uint8_t {
    Background = 0,
    Foreground = 1,
    ProbableBackground = 2,
    ProbableForeground = 3,
};

// Where the probability map is trusted. The network is sure of the
// background (a few per cent) but often timid on a low-contrast subject (10
// to 50 % on a blurred leaf), so the foreground is judged against the map's
// own peak: sure at 90 % of it, probable from half of it. A map whose peak
// stays under 20 % found no subject at all.
constexpr int sureBackground = 5;        // absolute, 0..255
constexpr int sureForegroundShare = 230; // of the peak, in 255ths
constexpr int probableShare = 128;       // of the peak, in 255ths
constexpr int weakestPeak = 51;

// The pixels GrabCut works on at most, and its rounds. Its graph cut slows
// down sharply with the number of undecided pixels: measured here, a box of
// probable foreground over a megapixel took 24 s for one round, so the
// question is settled at coarsePixels first and the working size decides
// only a band along that answer.
constexpr int workingPixels = 500'000;
constexpr int rounds = 3;
constexpr int coarsePixels = 60'000;
constexpr int fineRounds = 1;

// `size` scaled down uniformly to at most `pixels` pixels (never up), each
// side at least one.
QSize workingSize(QSize size, int pixels = workingPixels);

// The part `area` of `picture` (any format; clipped to it) reduced or grown
// to `size`: an area average along an axis that shrinks, bilinear along one
// that grows. 32-bit; null when nothing of `area` lies in the picture.
QImage reduce(const QImage& picture, QRect area, QSize size);

// The largest value of `map` inside `area` (clipped), 0 for none.
int peak(const QImage& map, QRect area);

// Seeds from the probability map: sure background at or under
// sureBackground, sure foreground from sureForegroundShare of the peak,
// probable foreground from probableShare of it, probable background
// between. Null when the map's peak is under weakestPeak: no subject.
QImage seedsFromProbability(const QImage& map);
// Seeds without a map: the picture's outermost pixels sure background, a
// border of a twentieth of the shorter side probable background, the middle
// probable foreground.
QImage seedsFromBorder(QSize size);
// Seeds for a box (`box` in the plane's pixels): background outside it;
// inside, from `map` (the same size; may be null) judged against the peak
// inside the box as seedsFromProbability does, but never sure background,
// or all probable foreground when there is no map or its peak there is weak.
QImage seedsForBox(QSize size, QRect box, const QImage& map);

// GrabCut over `picture` (32-bit, the labels' size) from `labels`, which it
// refines in place: `rounds` rounds at up to coarsePixels, then, on a larger
// plane, fineRounds at its own size along the coarse answer's edge; labels
// the seeds were sure of never change. `cancelled` is looked at between rounds.
// Labels with no background or no foreground at all are left as they are (a
// cut that has nothing to tell apart). False when cancelled or when OpenCV
// failed; the labels then say nothing.
bool grabCut(const QImage& picture, QImage& labels, int rounds = SubjectCut::rounds,
             const std::atomic<bool>* cancelled = nullptr);

// The alpha of `size` (Format_Grayscale8, 255 kept) for `labels` (any size:
// foreground and probable foreground are kept), grown bilinearly; within
// `band` pixels of the boundary, when `map` (of `size`) is given, the mean
// of that and the map judged against its peak, so that hair and soft rims
// keep the network's softness.
QImage softAlpha(const QImage& labels, const QImage& map, QSize size, int band);
// The band for an alpha of `size`: a few pixels, more on a large mask.
int bandFor(QSize size);

} // namespace SubjectCut
