#pragma once

#include <QColorSpace>
#include <QImage>
#include <QSize>
#include <QSizeF>

#include <functional>
#include <memory>
#include <vector>

// The finished picture, composed band of rows by band of rows, so that a save
// can stream it into its encoder without ever holding it whole. Every band
// holds exactly the rows the whole picture would: Compositor::result() without
// refinement, EdgeRefine::result() with it (then fully cut pixels keep the
// picture's colour, if asked, only where no blurred copy shows).
//
// A value: copies share the prepared inputs. rows() reads them only, so any
// number of threads may compose different bands at once.
class ResultComposer {
public:
    enum class Refine { Off, Edges };
    enum class UnderCut { Dropped, KeptColours };

    ResultComposer() = default;
    // `picture` at `size` (or any size, sampled nearest), `blur` premultiplied
    // or null: one of the picture's size is used pixel for pixel, a smaller one
    // is enlarged with linear filtering. `mask` 8 bits a pixel, or null.
    ResultComposer(const QImage& picture, const QImage& blur, const QImage& mask, QSizeF pictureSize,
                   QSize size, Refine refine, UnderCut underCut);

    bool isNull() const { return !m_state; }
    QSize size() const;
    // The picture's colour space, which the finished picture keeps (invalid
    // for an untagged picture).
    QColorSpace colorSpace() const;

    // Rows [y0, y1) as Format_ARGB32 words (straight alpha), row y at
    // out + (y - y0) * stride. Any thread.
    void rows(int y0, int y1, uchar* out, qsizetype stride) const;

    // Where bands of rows best start (0 first, increasing), for a caller that
    // composes band by band: with refinement each band then holds whole rows
    // of its tiles, and no tile is fitted twice. Empty when any bands do.
    std::vector<int> bandStarts() const;

    // Calls `band(y0, y1)` for bands of rows that cover the picture, each core
    // taking the next: the bands of bandStarts(), or of 64 rows, small enough
    // to stay in the cache. Returns when all have returned.
    void forEachBand(const std::function<void(int y0, int y1)>& band) const;

    // The whole picture, composed on every core; null when there is none or
    // its memory cannot be had.
    QImage image() const;

private:
    struct State;
    std::shared_ptr<const State> m_state;
};
