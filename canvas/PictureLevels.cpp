#include "canvas/PictureLevels.h"

#include "canvas/Compositor.h"
#include "imaging/ColourCache.h"
#include "imaging/DiscBlur.h"
#include "platform/HandOff.h"
#include "platform/MainThread.h"

#include <QColorSpace>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace {

// The canvas's long background tasks (the blurred copy, the reduced levels)
// run on a pool of their own. Qt splits large fills and conversions over the
// global pool and waits for the pieces on the calling thread; with a blur of
// a big picture holding every global worker, each paint would wait for it.
QThreadPool& canvasPool()
{
    static QThreadPool* pool = [] {
        auto* made = new QThreadPool; // lives to the end of the process
        made->setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
        return made;
    }();
    return *pool;
}

// The halvings of `level` down to about 256 pixels on its shorter side; as
// far as they got when `stale` says a newer picture has come.
std::vector<QImage> halvings(QImage level, const std::function<bool()>& stale)
{
    std::vector<QImage> levels;
    while (level.width() > 256 && level.height() > 256 && !stale()) {
        level = Compositor::halve(level);
        levels.push_back(level);
    }
    return levels;
}

} // namespace

struct PictureLevels::Tasks {
    std::atomic<int> running{0};
    // Bumped by each new picture and by the owner's end.
    std::atomic<std::uint64_t> generation{0};
};

PictureLevels::PictureLevels(QObject* context, std::function<void()> halvingsArrived,
                             std::function<void(const QImage&)> blurArrived,
                             std::function<void(std::shared_ptr<const ColourCache>)> coloursArrived,
                             std::function<void(const QString&)> failed)
    : m_context(context), m_halvingsArrived(std::move(halvingsArrived)),
      m_blurArrived(std::move(blurArrived)), m_coloursArrived(std::move(coloursArrived)),
      m_failed(std::move(failed)),
      m_tasks(std::make_shared<Tasks>())
{
}

PictureLevels::~PictureLevels()
{
    ++m_tasks->generation;
}

namespace {

// The picture's bitmap in the formats the canvas draws from (premultiplied,
// or opaque RGB32), in the picture's own colours.
QImage ownBitmap(const Picture& picture)
{
    QImage image = picture.bestRepresentation();
    if (image.isNull())
        return image;
    switch (image.format()) {
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGB32:
        return image;
    default:
        return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                             : QImage::Format_RGB32);
    }
}

// The screen is taken to be sRGB: a picture tagged with another colour space
// (Adobe RGB, Display P3) is shown converted, so that its colours look as
// they were taken. What is saved keeps the picture's own pixels and profile.
bool shownConverted(const QImage& image)
{
    const QColorSpace space = image.colorSpace();
    return space.isValid() && space != QColorSpace(QColorSpace::SRgb);
}

QImage inSrgb(const QImage& image)
{
    return shownConverted(image) ? image.convertedToColorSpace(QColorSpace::SRgb) : image;
}

// Pictures up to this many pixels that the screen shows converted are
// converted whole as they open; larger ones only their halvings, band by
// band, and the full size when it is first painted (a 24-megapixel copy is
// 96 MB, and at the fitted view it is never seen).
constexpr qint64 kWholeConversionPixels = 8'000'000;

// The first halving of `base`, converted to sRGB a band of rows at a time,
// so that no full-size converted copy is held: the same pixels as halving
// the converted picture, since bands start on even rows.
QImage convertedHalving(const QImage& base, const std::function<bool()>& stale)
{
    constexpr int kBandRows = 256;
    QImage half;
    for (int y = 0; y < base.height() && !stale(); y += kBandRows) {
        const QImage band =
            Compositor::halve(inSrgb(base.copy(0, y, base.width(), std::min(kBandRows, base.height() - y))));
        if (half.isNull())
            half = QImage(band.width(), (base.height() + 1) / 2, band.format());
        if (band.isNull() || half.isNull())
            return {};
        for (int row = 0; row < band.height(); ++row)
            std::memcpy(half.scanLine(y / 2 + row), band.constScanLine(row), size_t(band.bytesPerLine()));
    }
    return stale() ? QImage() : half;
}

} // namespace

const QImage& PictureLevels::picture(double scale)
{
    const QImage& level = pick(m_picture, scale);
    if (m_fullUnconverted && !m_fullAsked && !m_picture.empty() && &level == &m_picture.front()) {
        m_fullAsked = true;
        start(m_source, [own = m_picture.front()](const Stale&, const Post&) -> Delivery {
            return [shown = inSrgb(own)](PictureLevels& self) {
                self.m_picture.front() = shown;
                self.m_fullUnconverted = false;
                self.m_halvingsArrived();
            };
        });
    }
    return level;
}

QImage PictureLevels::drawableBitmap(const Picture& picture)
{
    return ownBitmap(picture);
}

const QImage& PictureLevels::pick(const std::vector<QImage>& levels, double scale)
{
    static const QImage none;
    if (levels.empty())
        return none;
    int k = scale > 0 ? int(std::floor(std::log2(1.0 / scale))) : 0;
    k = std::clamp(k, 0, int(levels.size()) - 1);
    return levels[k];
}

bool PictureLevels::busy() const
{
    return m_tasks->running.load() > 0;
}

void PictureLevels::setPicture(const Picture& picture, const QImage& bitmap, QSize maskSize)
{
    ++m_tasks->generation;
    m_source = picture;
    m_picture = {bitmap};
    m_fullUnconverted = m_fullAsked = false;
    m_blur.clear();
    startColours(picture, bitmap, maskSize); // first: a click may wait for them
    // A reduced blurred copy of a picture shown in its own colours is blurred
    // from the halving the screen uses too, rather than halving it again.
    const bool blurFromHalvings =
        !bitmap.isNull() && !shownConverted(bitmap) && blurReduction(bitmap.size()) > 0;
    startHalvings(picture, bitmap, blurFromHalvings);
    if (!blurFromHalvings)
        startBlur(picture);
}

void PictureLevels::startHalvings(const Picture& picture, const QImage& base, bool withBlur)
{
    if (base.isNull())
        return;
    start(picture, [picture, base, withBlur](const Stale& stale, const Post& post) -> Delivery {
        // A picture in another colour space than the screen's is converted
        // here, off the main thread (half a second at 24 megapixels): until
        // it arrives the canvas shows the picture's own pixels.
        const bool converted = shownConverted(base);
        const bool halvable = base.width() > 256 && base.height() > 256;
        const bool wholeLater =
            converted && halvable && qint64(base.width()) * base.height() > kWholeConversionPixels;
        std::vector<QImage> levels;
        QImage shown = base;
        if (wholeLater) {
            const QImage half = convertedHalving(base, stale);
            if (!half.isNull()) {
                levels = halvings(half, stale);
                levels.insert(levels.begin(), half);
            }
        } else {
            if (converted)
                shown = inSrgb(base);
            levels = halvings(shown, stale);
        }
        post([converted, wholeLater, shown, levels](PictureLevels& self) {
            self.m_picture.resize(1);
            if (converted && !wholeLater)
                self.m_picture[0] = shown;
            self.m_fullUnconverted = wholeLater;
            self.m_picture.insert(self.m_picture.end(), levels.begin(), levels.end());
            self.m_halvingsArrived();
        });
        if (!withBlur || stale())
            return {};
        const int reduction = blurReduction(base.size());
        // A picture too narrow to halve that far is halved by the blur itself.
        const bool halved = int(levels.size()) >= reduction;
        return blurDelivery(picture, base.size(), halved ? levels[size_t(reduction - 1)] : base,
                            halved ? 0 : reduction, reduction, stale);
    });
}

void PictureLevels::startColours(const Picture& picture, const QImage& bitmap, QSize maskSize)
{
    if (bitmap.isNull() || maskSize.isEmpty())
        return;
    start(picture, [bitmap, maskSize](const Stale&, const Post&) -> Delivery {
        std::shared_ptr<const ColourCache> colours = ColourCache::build(bitmap, maskSize);
        return [colours = std::move(colours)](PictureLevels& self) { self.m_coloursArrived(colours); };
    });
}

int PictureLevels::blurReduction(QSize pictureSize)
{
    // The blurred picture is smooth at the scale of its radius: stored at a
    // half or a quarter of the size (the radius at least 16 pixels there) and
    // enlarged linearly, it stays within a level or two of the full-size blur
    // at a sixteenth of the memory. Small radii keep the full size, exactly.
    const double radius = blurRadius(pictureSize);
    return radius >= 64 ? 2 : radius >= 32 ? 1 : 0;
}

double PictureLevels::blurRadius(QSize pictureSize)
{
    return (pictureSize.width() + pictureSize.height()) / 200.0;
}

QImage PictureLevels::blurredCopy(const QImage& source, double radius, int halvings,
                                  const std::function<bool()>& stale)
{
    if (source.isNull())
        return {};
    QImage reduced = source;
    for (int k = 0; k < halvings && !stale(); ++k)
        reduced = Compositor::halve(reduced);
    if (stale() || reduced.isNull())
        return {};
    // The blur over the source's own extent: what the grown result holds
    // once cropped back to that extent. A blur for a picture no longer
    // shown stops within a band of rows.
    const QRect extent(QPoint(0, 0), reduced.size());
    return DiscBlur::blur(FilterImage(reduced, QPoint(0, 0)), radius / (1 << halvings), extent, stale)
        .pixels();
}

void PictureLevels::startBlur(const Picture& picture)
{
    start(picture, [picture](const Stale& stale, const Post&) -> Delivery {
        const QImage source = ownBitmap(picture);
        const int reduction = blurReduction(source.size());
        return blurDelivery(picture, source.size(), source, reduction, reduction, stale);
    });
}

PictureLevels::Delivery PictureLevels::blurDelivery(const Picture& picture, QSize bitmapSize,
                                                    const QImage& source, int toHalve,
                                                    int reduction, const Stale& stale)
{
    // Blurred in the picture's own colours, since the save shows it; its
    // levels on the screen are converted as the picture's are.
    // The radius in the source's pixels, before the halvings still to do.
    const double radius = blurRadius(bitmapSize) / (1 << (reduction - toHalve));
    QImage blurred = blurredCopy(source, radius, toHalve, stale);
    std::vector<QImage> levels;
    if (!blurred.isNull()) {
        blurred.setColorSpace(picture.bestRepresentation().colorSpace());
        const QImage shown = inSrgb(blurred);
        levels = halvings(shown, stale);
        levels.insert(levels.begin(), shown);
    }
    return [blurred, reduction, levels = std::move(levels)](PictureLevels& self) {
        self.m_blur = levels;
        self.m_blurReduction = reduction;
        self.m_blurArrived(blurred);
    };
}

void PictureLevels::start(const Picture& picture,
                          std::function<Delivery(const Stale&, const Post&)> work)
{
    auto tasks = m_tasks;
    QPointer<QObject> owner(m_context);
    ++tasks->running;
    const std::uint64_t generation = tasks->generation.load();
    canvasPool().start(handOff([this, owner, tasks, picture, generation, work = std::move(work)] {
        const Stale stale = [&tasks, generation] { return tasks->generation.load() != generation; };
        // `this` lives as long as the owner, and is touched only on the main thread.
        const Post post = [this, owner, picture](Delivery deliver) {
            MainThread::async([this, owner, picture, deliver = std::move(deliver)] {
                if (owner && m_source.isSameObject(picture) && deliver) // else a newer picture is on the canvas
                    deliver(*this);
            });
        };
        if (!stale()) {
            // Nothing a task meets (no memory for a huge picture, say) may end
            // the process: the failure is reported as the picture refused.
            Delivery deliver;
            std::optional<QString> failure;
            try {
                deliver = work(stale, post);
            } catch (const std::exception& thrown) {
                failure = QString::fromLocal8Bit(thrown.what());
            } catch (...) {
                failure = QStringLiteral("unknown failure");
            }
            if (failure) {
                MainThread::async([this, owner, picture, failure = *failure] {
                    if (owner && m_source.isSameObject(picture))
                        m_failed(failure);
                });
            } else {
                post(std::move(deliver));
            }
        }
        --tasks->running;
    }));
}
