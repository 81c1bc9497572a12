#include "canvas/ZRImageCutView.h"

#include "canvas/BrushStamp.h"
#include "canvas/CanvasLayer.h"
#include "canvas/Compositor.h"
#include "canvas/MaskStore.h"
#include "canvas/StampDrawing.h"
#include "canvas/Viewport.h"
#include "canvas/ZRImageCutViewDelegate.h"
#include "imaging/DiscBlur.h"
#include "imaging/ImageAction.h"
#include "imaging/PngCodec.h"
#include "platform/CachesFolder.h"
#include "platform/HandOff.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/ParallelFor.h"
#include "platform/Resources.h"
#include "platform/SerialQueue.h"
#include "platform/SystemLog.h"
#include "ui/FitInBox.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLockFile>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QRadialGradient>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

namespace {

constexpr int maskSide = 2000;
constexpr int historySlots = 31;
constexpr qint64 historyStates = 30;
const char* const cursorNotification = "zr.cutView.needsCursorUpdate";

// X11 keycodes of the keys labelled Z and I on a US keyboard.
constexpr quint32 scanCodeZ = 52;
constexpr quint32 scanCodeI = 31;

// The bitmap the canvas paints and composites: premultiplied, or opaque RGB32.
QImage drawableBitmap(const Picture& picture)
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

QImage makeTile()
{
    Resources::load();
    QImage tile(QStringLiteral(":/tile.png"));
    if (tile.isNull()) {
        // A plain checkerboard keeps the canvas usable without the resource.
        tile = QImage(20, 20, QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 20; ++x)
                tile.setPixel(x, y, ((x / 10 + y / 10) % 2) ? 0xffd6d6d6 : 0xffffffff);
    }
    return tile.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

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

bool writeFileWhole(const QString& path, const QByteArray& bytes)
{
    // Written beside the target and renamed over it, so a slot is never half
    // old and half new. No fsync: snapshots are a convenience, not the user's file.
    const QString temporary = path + QStringLiteral(".part");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(bytes) == bytes.size();
    file.close();
    if (!written) {
        QFile::remove(temporary);
        return false;
    }
    return std::rename(QFile::encodeName(temporary).constData(),
                       QFile::encodeName(path).constData()) == 0;
}

} // namespace

struct ZRImageCutView::Levels {
    Picture source;
    std::vector<QImage> picture; // [0] is full size, then halvings
    std::vector<QImage> blur;    // same, for the blurred copy

    static const QImage& pick(const std::vector<QImage>& levels, double scale)
    {
        static const QImage none;
        if (levels.empty())
            return none;
        int k = scale > 0 ? int(std::floor(std::log2(1.0 / scale))) : 0;
        k = std::clamp(k, 0, int(levels.size()) - 1);
        return levels[k];
    }
};

struct ZRImageCutView::PendingStamp {
    double x, y, width, height; // mask pixels, y up
    std::shared_ptr<const BrushStamp> stamp; // null: the hard disc
    std::uint8_t alpha;
};

ZRImageCutView::ZRImageCutView(QWidget* parent)
    : QWidget(parent), m_bitmapContext(std::make_unique<MaskStore>()),
      m_levels(std::make_unique<Levels>()), m_tasks(std::make_shared<TaskCounters>())
{
    setupView();
    addEventHandler();
}

ZRImageCutView::~ZRImageCutView()
{
    ++m_tasks->generation;
    qApp->removeEventFilter(this);
    NotificationCenter::defaultCenter().removeObserver(m_cursorObserver);
    // Runs what is still queued (it may touch the mask and the history) and
    // joins the queue before any field goes away.
    m_serial.reset();
}

void ZRImageCutView::setupView()
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setFocusPolicy(Qt::ClickFocus);
    m_tile = makeTile();

    m_brushDiameter = 20;
    m_altPressed = false;
    m_maskScale = 1;
    auto* spare = new QWidget(this);
    spare->setGeometry(0, 0, 0, 0);
    historyDirectory();
    m_serial = std::make_unique<SerialQueue>("serial que");
    m_eventBuffer.clear();
    m_brushHardness = 1;
    m_dragMode = 0;
    m_cursorObserver = NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(cursorNotification), [this](const void*) { updateCursor(); });
    updateBrushMask();

    m_animationTimer = new QTimer(this);
    m_animationTimer->setInterval(16);
    connect(m_animationTimer, &QTimer::timeout, this, [this] {
        update();
        if (!isAnimating())
            m_animationTimer->stop();
    });
}

// ---------------------------------------------------------------- brush

void ZRImageCutView::setBrushDiameterSilent(float diameter)
{
    const float d = std::round(std::min(200.0f, std::max(10.0f, diameter)));
    if (d != m_brushDiameter)
        m_brushDiameter = d;
}

void ZRImageCutView::setBrushDiameter(float diameter)
{
    setBrushDiameterSilent(diameter);
    updateCursor();
    if (m_delegate)
        m_delegate->cutViewDidChangeBrushDiameter(this, diameter);
}

void ZRImageCutView::setBrushHardness(float hardness)
{
    m_brushHardness = hardness;
    updateBrushMask();
}

void ZRImageCutView::updateBrushMask()
{
    auto stamp = BrushStamp::make(m_brushHardness.load(), m_maskScale.load());
    std::shared_ptr<const BrushStamp> old;
    {
        std::lock_guard lock(m_brushMaskMutex);
        old = std::exchange(m_brushMask, std::move(stamp));
    }
}

std::shared_ptr<const BrushStamp> ZRImageCutView::currentStamp() const
{
    std::lock_guard lock(m_brushMaskMutex);
    return m_brushMask;
}

Picture ZRImageCutView::getBrushPreviewWithSize(QSizeF size) const
{
    const double w = size.width();
    const double h = size.height();
    if (!(w > 0) || !(h > 0))
        return {};
    const float hardness = brushHardness();
    float d = brushDiameter();
    const float a = brushAlphaValue();
    if (double(d) > 1.95 * w)
        d = float(1.95 * w);

    QImage canvas(int(std::ceil(2 * w)), int(std::ceil(2 * h)), QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(w, h);
    const double r = double(d) * 0.5;
    const int erase = int(1.0f - std::round(a));
    const QColor ink = QColor::fromRgbF(0.08235294371843338, 0.24313725531101227, 0.3843137323856354);

    if (erase == 1) {
        QPainterPath clip;
        clip.setFillRule(Qt::OddEvenFill);
        clip.addRoundedRect(QRectF(0, 0, 2 * w, 2 * h), 0.1 * 2 * w, 0.1 * 2 * h);
        clip.addEllipse(centre, r, r);
        painter.save();
        painter.setClipPath(clip);
        painter.fillRect(QRectF(0, 0, 2 * w, 2 * h), ink);
        painter.restore();
    }
    if (r > 0) {
        auto withAlpha = [&](double alpha) {
            QColor c = ink;
            c.setAlphaF(float(std::clamp(alpha, 0.0, 1.0)));
            return c;
        };
        QRadialGradient gradient(centre, r);
        gradient.setColorAt(0, withAlpha(a));
        gradient.setColorAt(std::clamp(double(hardness), 0.0, 1.0), withAlpha(a));
        gradient.setColorAt(1, withAlpha(erase));
        // No extension beyond the rim: paint the disc only.
        QPainterPath disc;
        disc.addEllipse(centre, r, r);
        painter.fillPath(disc, gradient);
    }
    painter.end();
    return ImageAction::resize(Picture(QSizeF(2 * w, 2 * h), {canvas}), QSizeF(w, h));
}

// ---------------------------------------------------------------- layers

std::shared_ptr<CanvasLayer> ZRImageCutView::imageLayer() const
{
    std::lock_guard lock(m_layersMutex);
    return m_imageLayer;
}

std::shared_ptr<CanvasLayer> ZRImageCutView::bluredLayer() const
{
    std::lock_guard lock(m_layersMutex);
    return m_bluredLayer;
}

std::shared_ptr<CanvasLayer> ZRImageCutView::maskLayer() const
{
    std::lock_guard lock(m_layersMutex);
    return m_maskLayer;
}

QImage ZRImageCutView::currentMask() const
{
    const auto layer = maskLayer();
    return layer ? layer->content() : QImage();
}

void ZRImageCutView::setBlurOn(bool on)
{
    m_blurOn = on;
    if (const auto layer = bluredLayer())
        layer->setHidden(!on);
    update();
}

QSizeF ZRImageCutView::pictureSize() const
{
    std::lock_guard lock(m_pictureSizeMutex);
    return m_pictureSizeForQueue;
}

// ---------------------------------------------------------------- picture

void ZRImageCutView::setImage(const Picture& picture)
{
    m_eventBuffer.clear();

    m_image = picture;
    const QSizeF size = picture.size();
    {
        std::lock_guard lock(m_pictureSizeMutex);
        m_pictureSizeForQueue = size;
    }
    const double w = size.width(), h = size.height();
    const QImage bitmap = drawableBitmap(picture);

    auto blurred = std::make_shared<CanvasLayer>(QRectF(-w / 2, -h / 2, w, h));
    blurred->setHidden(true);
    auto pictureLayer = std::make_shared<CanvasLayer>(QRectF(-w / 2, -h / 2, w, h));
    pictureLayer->setContent(bitmap);
    auto mask = std::make_shared<CanvasLayer>(QRectF(0, 0, w, h));
    {
        std::lock_guard lock(m_layersMutex);
        m_bluredLayer = std::move(blurred);
        m_imageLayer = std::move(pictureLayer);
        m_maskLayer = std::move(mask);
    }
    {
        std::lock_guard lock(m_newContextImageMutex);
        m_newContextImage = QImage();
    }

    m_needsContectUpdate = true;
    updateMap();
    clearHistory();

    m_imageFit = true;
    correctImagePositionWithFiting(true);
    removeAllAnimations(); // a new picture appears fitted, not eased in from nowhere

    ++m_tasks->generation;
    *m_levels = Levels{picture, {bitmap}, {}};
    buildLevels(picture, bitmap);
    startBlurTask(picture);
    updateCursor();
    update();
}

void ZRImageCutView::buildLevels(const Picture& picture, const QImage& base)
{
    if (base.isNull())
        return;
    auto tasks = m_tasks;
    QPointer<ZRImageCutView> self(this);
    ++tasks->levels;
    const std::uint64_t generation = tasks->generation.load();
    canvasPool().start(handOff([tasks, self, picture, base, generation] {
        if (tasks->generation.load() != generation) {
            --tasks->levels; // a newer picture, or no canvas any more
            return;
        }
        std::vector<QImage> levels;
        QImage level = base;
        while (level.width() > 256 && level.height() > 256) {
            level = Compositor::halve(level);
            levels.push_back(level);
        }
        MainThread::async([self, picture, levels = std::move(levels)] {
            if (!self || !self->m_levels->source.isSameObject(picture))
                return;
            auto& mine = self->m_levels->picture;
            mine.resize(1);
            mine.insert(mine.end(), levels.begin(), levels.end());
            self->update();
        });
        --tasks->levels;
    }));
}

void ZRImageCutView::startBlurTask(const Picture& picture)
{
    auto tasks = m_tasks;
    QPointer<ZRImageCutView> self(this);
    ++tasks->blur;
    const std::uint64_t generation = tasks->generation.load();
    canvasPool().start(handOff([tasks, self, picture, generation] {
        if (tasks->generation.load() != generation) {
            --tasks->blur; // a newer picture, or no canvas any more
            return;
        }
        const QImage source = drawableBitmap(picture);
        const QRect extent(QPoint(0, 0), source.size());
        const double radius = (extent.width() + extent.height()) / 200.0;
        // The blur over the source's own extent: what the grown result holds
        // once cropped back to that extent.
        QImage blurred;
        if (!source.isNull())
            blurred = DiscBlur::blur(FilterImage(source, QPoint(0, 0)), radius, extent).pixels();
        std::vector<QImage> levels;
        if (!blurred.isNull()) {
            levels.push_back(blurred);
            QImage level = blurred;
            while (level.width() > 256 && level.height() > 256) {
                level = Compositor::halve(level);
                levels.push_back(level);
            }
        }
        MainThread::async([self, picture, blurred, levels = std::move(levels)] {
            if (!self || !self->m_image.isSameObject(picture))
                return; // a newer picture is on the canvas
            if (const auto layer = self->bluredLayer())
                layer->setContent(blurred);
            self->m_levels->blur = levels;
            self->update();
        });
        --tasks->blur;
    }));
}

void ZRImageCutView::resetMask()
{
    m_needsContectUpdate = true;
    updateMap();
    m_serial->async([this] { recordHistoryState(); });
}

Picture ZRImageCutView::getResult() const
{
    const QSizeF size = m_image.size();
    const QSize pixels(int(size.width()), int(size.height()));
    const auto pictureLayer = imageLayer();
    if (pixels.isEmpty() || !pictureLayer)
        return {};
    QImage blur;
    if (const auto layer = bluredLayer(); layer && !layer->isHidden())
        blur = layer->content();
    const QImage out = Compositor::result(pictureLayer->content(), blur, currentMask(), size, pixels);
    if (out.isNull())
        return {};
    return ImageAction::imageFromCGImageRef(out);
}

// ---------------------------------------------------------------- mask drain

void ZRImageCutView::updateMap()
{
    m_serial->async([this] { drain(); });
}

void ZRImageCutView::drain()
{
    bool changed = false;
    if (m_needsContectUpdate.load()) {
        createNewMaskContext();
        m_needsContectUpdate = false;
        changed = true;
        m_bitmapContext->markChanged(QRect(0, 0, m_bitmapContext->width(), m_bitmapContext->height()));
    }
    if (m_bitmapContext->isNull())
        return;
    // Entries are taken one at a time, each stamp with the brush as it is
    // when taken, and drawn in batches: a batch ends at a marker or when the
    // buffer is empty, and the loop goes on with what arrived meanwhile.
    std::vector<PendingStamp> batch;
    for (;;) {
        const auto entry = m_eventBuffer.takeFirst();
        if (entry && !entry->isEndOfStroke()) {
            batch.push_back(pendingStamp(*entry));
            continue;
        }
        if (!batch.empty()) {
            drawStamps(batch);
            batch.clear();
            changed = true;
        }
        if (!entry)
            break;
        recordHistoryState(); // a marker ends the drain
        break;
    }
    if (!changed)
        return;
    const QRect area = m_bitmapContext->changedArea();
    const QSize maskSize(m_bitmapContext->width(), m_bitmapContext->height());
    const QImage published = m_bitmapContext->publish();
    if (const auto layer = maskLayer())
        layer->setContent(published);
    MainThread::async(this, [this, area, maskSize] {
        // Repaint only what the strokes touched, unless the mask was rebuilt.
        if (area == QRect(QPoint(0, 0), maskSize))
            update();
        else
            update(widgetRectForMaskArea(area));
    });
}

ZRImageCutView::PendingStamp ZRImageCutView::pendingStamp(const StampRect& r) const
{
    const double s = m_maskScale.load();
    const bool soft = double(m_brushHardness.load()) < 0.985;
    const float alpha = std::clamp(m_brushAlphaValue.load(), 0.0f, 1.0f);
    return {r.x * s, r.y * s, r.width * s, r.height * s, soft ? currentStamp() : nullptr,
            std::uint8_t(std::lround(alpha * 255))};
}

void ZRImageCutView::drawStamps(const std::vector<PendingStamp>& batch)
{
    const AlphaPlane plane = m_bitmapContext->plane();
    QRect touched;
    qint64 work = 0;
    for (const PendingStamp& p : batch) {
        const QRect area = stampArea(plane, p.x, p.y, p.width, p.height);
        touched |= area;
        work += qint64(area.width()) * area.height();
    }
    if (touched.isEmpty())
        return;
    m_bitmapContext->markChanged(touched);
    // Each thread draws every stamp of the batch, in order, over its own band
    // of rows: the same pixels as one thread drawing them one after another.
    const int bands = work > 400000 ? 2 : 1;
    ParallelFor::run(touched.height(), touched.height() / bands, [&](int begin, int end) {
        const QRect rows(0, touched.top() + begin, 1, end - begin);
        for (const PendingStamp& p : batch)
            drawStamp(plane, p.stamp.get(), p.x, p.y, p.width, p.height, p.alpha, rows);
    });
}

void ZRImageCutView::createNewMaskContext()
{
    QSizeF size = pictureSize();
    m_bitmapContext->clear();
    if (!(size.width() > 0) || !(size.height() > 0))
        return;
    const QSizeF fitted = AspectFitSize(size, QSizeF(maskSide, maskSide));
    if (size.width() > fitted.width()) {
        m_maskScale = float(fitted.width() / size.width());
        size = fitted;
    } else {
        m_maskScale = 1;
    }
    QImage snapshot;
    {
        std::lock_guard lock(m_newContextImageMutex);
        snapshot = std::exchange(m_newContextImage, QImage());
    }
    m_bitmapContext->create(int(size.width()), int(size.height()), snapshot);
    updateBrushMask();
}

// ---------------------------------------------------------------- history

QString ZRImageCutView::historyDirectory()
{
    if (!m_historyDirectory.isEmpty())
        return m_historyDirectory;
    // One folder per running editor: a second instance locks the next free
    // folder instead of overwriting the first one's snapshots.
    const QString base = CachesFolder::path() + QStringLiteral("/Pelmora/");
    QDir().mkpath(base);
    for (int n = 1; n <= 64; ++n) {
        const QString name = n == 1 ? QStringLiteral("history") : QStringLiteral("history-%1").arg(n);
        auto lock = std::make_unique<QLockFile>(base + name + QStringLiteral(".lock"));
        lock->setStaleLockTime(0);
        if (lock->tryLock(0)) {
            m_historyLock = std::move(lock);
            m_historyDirectory = base + name + QStringLiteral("/");
            break;
        }
    }
    if (m_historyDirectory.isEmpty())
        m_historyDirectory =
            base + QStringLiteral("history-%1/").arg(QCoreApplication::applicationPid());
    QDir().mkpath(m_historyDirectory);
    return m_historyDirectory;
}

void ZRImageCutView::clearHistory()
{
    m_historyLength = 0;
    m_historyCurrentState = -1;
    m_historyFileIndex = -1;
    // The folder is emptied on the queue, behind any snapshot write of the
    // previous picture that is still waiting there; the counters are reset
    // again so that no step that ran meanwhile leaves its mark.
    const QString folder = historyDirectory();
    m_serial->async([this, folder] {
        m_historyLength = 0;
        m_historyCurrentState = -1;
        m_historyFileIndex = -1;
        QDir dir(folder);
        const auto entries = dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                               QDir::Hidden | QDir::System);
        for (const QFileInfo& entry : entries) {
            if (entry.isDir() && !entry.isSymLink())
                QDir(entry.absoluteFilePath()).removeRecursively();
            else
                QFile::remove(entry.absoluteFilePath());
        }
    });
    m_serial->async([this] { recordHistoryState(); });
}

void ZRImageCutView::recordHistoryState()
{
    qint64 length = m_historyLength.load();
    qint64 current = m_historyCurrentState.load();
    if (current < length - 1) {
        current += 1;
        length = current + 1;
    } else if (length <= historyStates - 1) {
        current += 1;
        length += 1;
    }
    m_historyLength = length;
    m_historyCurrentState = current;

    const qint64 f = m_historyFileIndex.load();
    const qint64 slot = f <= historySlots - 2 ? f + 1 : 0;
    if (!m_bitmapContext->isNull()) {
        const AlphaPlane plane = m_bitmapContext->plane();
        const QByteArray png = PngCodec::encodeAlpha(plane.data, plane.width, plane.height, plane.stride);
        writeFileWhole(historyDirectory() + QStringLiteral("%1.his").arg(slot), png);
        m_historyFileIndex = slot;
    }
    reportHistoryChanged();
}

void ZRImageCutView::prevHistoryState()
{
    m_serial->async([this] { historyStep(-1); });
}

void ZRImageCutView::nextHistoryState()
{
    if (m_historyCurrentState.load() <= m_historyLength.load() - 2)
        m_serial->async([this] { historyStep(+1); });
}

void ZRImageCutView::historyStep(int direction)
{
    const qint64 current = m_historyCurrentState.load();
    const qint64 f = m_historyFileIndex.load();
    qint64 slot;
    if (direction < 0) {
        if (current <= 0)
            return;
        slot = f >= 1 ? f - 1 : historySlots - 1;
    } else {
        if (current > m_historyLength.load() - 2)
            return;
        slot = f <= historySlots - 2 ? f + 1 : 0;
    }
    QFile file(historyDirectory() + QStringLiteral("%1.his").arg(slot));
    if (!file.open(QIODevice::ReadOnly)) {
        SystemLog::log(QStringLiteral("NO DATA PROVIDER"));
        return;
    }
    m_historyFileIndex = slot;
    m_historyCurrentState = current + direction;
    const QImage snapshot = PngCodec::decodeAlpha(file.readAll());
    {
        std::lock_guard lock(m_newContextImageMutex);
        m_newContextImage = snapshot;
    }
    m_needsContectUpdate = true;
    updateMap();
    reportHistoryChanged();
}

void ZRImageCutView::reportHistoryChanged()
{
    MainThread::async(this, [this] {
        if (m_delegate)
            m_delegate->cutViewDidChangeHistoryState(this);
    });
}

// ---------------------------------------------------------------- viewport

ViewTransform ZRImageCutView::viewTransform() const
{
    const auto layer = imageLayer();
    return layer ? layer->transform() : ViewTransform{};
}

void ZRImageCutView::setTransformOnLayers(const ViewTransform& t, double duration)
{
    if (const auto layer = imageLayer())
        layer->setTransform(t, duration);
    if (const auto layer = bluredLayer())
        layer->setTransform(t, duration);
    update();
    if (duration > 0)
        scheduleAnimationFrames();
}

void ZRImageCutView::removeAllAnimations()
{
    if (const auto layer = imageLayer())
        layer->removeAllAnimations();
    if (const auto layer = bluredLayer())
        layer->removeAllAnimations();
    update();
}

bool ZRImageCutView::isAnimating() const
{
    const auto layer = imageLayer();
    return layer && layer->isAnimating();
}

void ZRImageCutView::scheduleAnimationFrames()
{
    if (!m_animationTimer->isActive())
        m_animationTimer->start();
}

void ZRImageCutView::correctImagePositionWithFiting(bool fitting)
{
    const QSizeF canvas = size();
    const QSizeF picture = m_image.size();
    if (!m_imageFit && fitting) {
        if (Viewport::wholePictureVisible(viewTransform(), canvas, picture))
            m_imageFit = true;
    }
    if (m_imageFit) {
        setTransformOnLayers(Viewport::fit(canvas, picture), Viewport::fitDuration);
        return;
    }
    limitDrag();
}

void ZRImageCutView::limitDrag()
{
    const ViewTransform current = viewTransform();
    const ViewTransform limited = Viewport::limitDrag(current, size(), m_image.size());
    if (!(limited == current))
        setTransformOnLayers(limited, Viewport::boundsDuration);
}

void ZRImageCutView::swipe(double deltaX, double deltaY)
{
    m_imageFit = false;
    ViewTransform t = viewTransform();
    t.tx += deltaX;
    t.ty -= deltaY;
    setTransformOnLayers(t, 0);
    correctImagePositionWithFiting(false);
    removeAllAnimations();
}

void ZRImageCutView::magnify(double magnification)
{
    SystemLog::log(QStringLiteral("magnifyWithEvent: magnify %1").arg(magnification));
}

QRect ZRImageCutView::widgetRectForMaskArea(const QRect& area) const
{
    const auto layer = imageLayer();
    const QImage mask = currentMask();
    const QSizeF picture = m_image.size();
    if (!layer || mask.isNull() || area.isEmpty() || picture.isEmpty())
        return rect();
    const ViewTransform t = layer->presentationTransform();
    const double sx = picture.width() / mask.width();
    const double sy = picture.height() / mask.height();
    // Mask rows run from the top; picture points and the canvas run y up.
    const QPointF low = t.map({area.left() * sx, picture.height() - (area.bottom() + 1) * sy}, picture);
    const QPointF high = t.map({(area.right() + 1) * sx, picture.height() - area.top() * sy}, picture);
    const QRectF widget(QPointF(low.x(), height() - high.y()), QPointF(high.x(), height() - low.y()));
    // Linear filtering reaches one mask pixel further on each side.
    const double pad = std::max(2.0, t.scale * std::max(sx, sy) + 2);
    return widget.adjusted(-pad, -pad, pad, pad).toAlignedRect() & rect();
}

QPointF ZRImageCutView::toCanvas(QPointF widgetPos) const
{
    return {widgetPos.x(), height() - widgetPos.y()};
}

void ZRImageCutView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    correctImagePositionWithFiting(true);
    removeAllAnimations();
}

void ZRImageCutView::wheelEvent(QWheelEvent* event)
{
    event->accept();
    if (m_pressActive && !(event->buttons() & Qt::LeftButton))
        endPress(); // the release never came
    if (m_pressActive)
        return; // the press owns the pointer until the release
    QPoint angle = event->angleDelta();
    double deltaY;
    if (angle.y() != 0)
        deltaY = angle.y() / 120.0;
    else if (angle.x() != 0 && m_altPressed)
        deltaY = angle.x() / 120.0; // the window system turns Alt+wheel sideways
    else
        deltaY = event->pixelDelta().y() / 10.0;

    if (m_altPressed) {
        setBrushDiameter(brushDiameter() + float(deltaY));
        return;
    }
    m_imageFit = false;
    const ViewTransform zoomed = Viewport::zoom(viewTransform(), toCanvas(event->position()),
                                                Viewport::zoomFactor(deltaY), m_image.size());
    setTransformOnLayers(zoomed, Viewport::zoomDuration);
    correctImagePositionWithFiting(deltaY < 0);
}

bool ZRImageCutView::event(QEvent* event)
{
    if (event->type() == QEvent::NativeGesture) {
        auto* gesture = static_cast<QNativeGestureEvent*>(event);
        if (gesture->gestureType() == Qt::ZoomNativeGesture) {
            magnify(gesture->value());
            return true;
        }
        if (gesture->gestureType() == Qt::SwipeNativeGesture) {
            swipe(gesture->delta().x(), gesture->delta().y());
            return true;
        }
    }
    return QWidget::event(event);
}

// ---------------------------------------------------------------- stroke input

void ZRImageCutView::addEventHandler()
{
    qApp->installEventFilter(this);
}

bool ZRImageCutView::eventFilter(QObject* watched, QEvent* event)
{
    // Key events reach the application's filters once at their window and
    // again at each widget on their way; the window is where each is seen once.
    if ((event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
        watched->isWindowType())
        handleKey(static_cast<QKeyEvent*>(event));
    return false;
}

void ZRImageCutView::handleKey(QKeyEvent* event)
{
    const bool press = event->type() == QEvent::KeyPress;
    const int key = event->key();
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    const bool modifierKey = key == Qt::Key_Control || key == Qt::Key_Alt || key == Qt::Key_Shift ||
                             key == Qt::Key_Meta || key == Qt::Key_AltGr;
    if (modifierKey) {
        // A modifier's own press or release may not yet show in the flags.
        m_commandPressed = key == Qt::Key_Control ? press : bool(modifiers & Qt::ControlModifier);
        m_altPressed = key == Qt::Key_Alt ? press : bool(modifiers & Qt::AltModifier);
        updateCursor();
        return;
    }
    if (!press)
        return;
    const quint32 scanCode = event->nativeScanCode();
    const bool isZ = scanCode ? scanCode == scanCodeZ : key == Qt::Key_Z;
    const bool isI = scanCode ? scanCode == scanCodeI : key == Qt::Key_I;
    const bool command = modifiers & Qt::ControlModifier;
    if (isZ && command) {
        if (modifiers & Qt::ShiftModifier)
            nextHistoryState();
        else
            prevHistoryState();
    } else if (isI && (command || (modifiers & Qt::AltModifier))) {
        m_brushAlphaValue = 1.0f - m_brushAlphaValue.load();
    }
}

void ZRImageCutView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    if (m_pressActive)
        endPress(); // the release of the previous press was lost
    m_dragging = (m_dragMode.load() == 1) != m_commandPressed;
    m_cutting = !m_dragging;
    updateCursor();
    if (m_image.isNull())
        return;
    if (m_delegate)
        m_delegate->cutViewWillStartDraw(this);
    m_pressActive = true;
    m_lastMousePos = event->position();
    mouseDragged(event->position(), QPointF(0, 0));
}

void ZRImageCutView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_pressActive)
        return;
    if (!(event->buttons() & Qt::LeftButton)) {
        endPress(); // the release never came
        return;
    }
    const QPointF delta = event->position() - m_lastMousePos;
    m_lastMousePos = event->position();
    mouseDragged(event->position(), delta);
}

void ZRImageCutView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_pressActive)
        return;
    if (event->position() != m_lastMousePos) {
        const QPointF delta = event->position() - m_lastMousePos;
        m_lastMousePos = event->position();
        mouseDragged(event->position(), delta);
    }
    endPress();
}

void ZRImageCutView::endPress()
{
    mouseUp();
    m_pressActive = false;
    m_cutting = false;
    m_dragging = false;
    if (m_delegate)
        m_delegate->cutViewDidEndDraw(this);
    updateCursor();
}

void ZRImageCutView::mouseDragged(QPointF widgetPos, QPointF delta)
{
    if (m_cutting) {
        paintStamp(widgetPos);
    } else if (m_dragging) {
        m_imageFit = false;
        ViewTransform t = viewTransform();
        t.tx += delta.x();
        t.ty -= delta.y();
        setTransformOnLayers(t, 0);
        correctImagePositionWithFiting(false);
        removeAllAnimations();
    }
}

void ZRImageCutView::paintStamp(QPointF widgetPos)
{
    const double d = brushDiameter();
    const QPointF p = toCanvas(widgetPos);
    const QRectF view(p.x() - 0.5 * d, p.y() - 0.5 * d, d, d);
    const auto layer = imageLayer();
    const QRectF r = layer ? layer->transform().invertedRect(view, m_image.size()) : QRectF();
    const StampRect stamp{r.x(), r.y(), r.width(), r.height()};
    {
        EventBuffer::Appender buffer(m_eventBuffer);
        if (!m_prevEventRect.isNull()) {
            const double dx = stamp.centerX() - m_prevEventRect.centerX();
            const double dy = stamp.centerY() - m_prevEventRect.centerY();
            const float dist = float(std::sqrt(dx * dx + dy * dy));
            const float step = float(stamp.width / 12.0 / double(m_brushHardness.load() + 1.0f));
            if (step > dist)
                return;
            if (double(dist) > 2.0 * double(step)) {
                const int n = int(dist / step);
                for (int i = 1; i < n; ++i) {
                    buffer.append({((n - i) * m_prevEventRect.x + i * stamp.x) / n,
                                   ((n - i) * m_prevEventRect.y + i * stamp.y) / n, stamp.width,
                                   stamp.height});
                }
            }
        }
        m_prevEventRect = stamp;
        buffer.append(stamp);
    }
    updateMap();
}

void ZRImageCutView::mouseUp()
{
    m_prevEventRect = StampRect{};
    if (m_cutting) {
        m_eventBuffer.append(StampRect::endOfStroke());
        updateMap();
    }
    if (m_dragging)
        limitDrag();
}

// ---------------------------------------------------------------- cursor

void ZRImageCutView::enterEvent(QEnterEvent* event)
{
    QWidget::enterEvent(event);
    m_mouseIn = true;
    updateCursor();
}

void ZRImageCutView::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    m_mouseIn = false;
    updateCursor();
}

void ZRImageCutView::updateCursor()
{
    if (!MainThread::isCurrent()) {
        MainThread::sync([this] { updateCursor(); });
        return;
    }
    if (!m_mouseIn || m_image.isNull()) {
        m_cursorKind = CursorKind::Arrow;
        m_cursorSize = 0;
        setCursor(Qt::ArrowCursor);
    } else if (m_dragging) {
        m_cursorKind = CursorKind::ClosedHand;
        m_cursorSize = 0;
        setCursor(Qt::ClosedHandCursor);
    } else if (m_commandPressed == (m_dragMode.load() == 1)) {
        const QCursor cursor = brushCursor();
        m_cursorKind = CursorKind::Brush;
        m_cursorSize = cursor.pixmap().width();
        setCursor(cursor);
    } else {
        m_cursorKind = CursorKind::OpenHand;
        m_cursorSize = 0;
        setCursor(Qt::OpenHandCursor);
    }
}

QCursor ZRImageCutView::brushCursor() const
{
    const int r = int(std::lround(m_brushDiameter));
    const int d = r - r % 2;
    const int margin = 3;
    const int side = 2 * margin + d;
    const int k = margin + d / 2;

    // White shapes first, on a layer of their own, so that a soft black shadow
    // (blur radius 2) can be laid under them.
    QImage shapes(side, side, QImage::Format_ARGB32_Premultiplied);
    shapes.fill(Qt::transparent);
    {
        QPainter painter(&shapes);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(QPen(Qt::white, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QRectF(margin, margin, d - 1, d - 1));
        if (r >= 42) {
            const float length = std::min(5.3f, float(d - 40) / 15.0f + 1.0f);
            const int centre = int(std::lround(k - 1));
            // The image is y-down; the bars are symmetric about the centre row.
            painter.fillRect(QRectF(k - length, side - centre - 1, 2 * length - 1, 1), Qt::white);
            painter.fillRect(QRectF(centre, side - (k - length) - (2 * length - 1), 1, 2 * length - 1),
                             Qt::white);
        }
    }
    QImage shadow(side, side, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < side; ++y) {
        auto* out = reinterpret_cast<quint32*>(shadow.scanLine(y));
        for (int x = 0; x < side; ++x) {
            int sum = 0, count = 0;
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) {
                    const int sx = x + dx, sy = y + dy;
                    if (sx >= 0 && sy >= 0 && sx < side && sy < side)
                        sum += qAlpha(reinterpret_cast<const quint32*>(shapes.constScanLine(sy))[sx]);
                    ++count;
                }
            const int a = std::min(255, 2 * sum / count);
            out[x] = quint32(a) << 24;
        }
    }
    {
        QPainter painter(&shadow);
        painter.drawImage(0, 0, shapes);
    }
    return QCursor(QPixmap::fromImage(shadow), k, k);
}

// ---------------------------------------------------------------- painting

void ZRImageCutView::paintEvent(QPaintEvent* event)
{
    if (m_frame.size() != size())
        m_frame = QImage(size(), QImage::Format_ARGB32_Premultiplied);
    if (m_frame.isNull())
        return;
    const QRect area = event->rect() & rect();

    Compositor::Layers layers;
    ViewTransform t;
    if (const auto pictureLayer = imageLayer()) {
        t = pictureLayer->presentationTransform();
        layers.pictureSize = m_image.size();
        layers.picture = Levels::pick(m_levels->picture, t.scale);
        layers.mask = currentMask();
        if (const auto blurLayer = bluredLayer(); blurLayer && !blurLayer->isHidden())
            layers.blur = Levels::pick(m_levels->blur, t.scale);
    }
    Compositor::paintFrame(m_frame, area, m_tile, layers, t);

    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(area, m_frame, area);
    if (isAnimating())
        scheduleAnimationFrames();
}

// ---------------------------------------------------------------- tests

void ZRImageCutView::waitUntilIdle()
{
    for (int round = 0; round < 4; ++round) {
        m_serial->waitUntilIdle();
        while (m_tasks->blur.load() > 0 || m_tasks->levels.load() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        MainThread::flush();
    }
}
