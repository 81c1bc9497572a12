#pragma once

#include "canvas/ZRImageCutView.h"
#include "canvas/ZRImageCutViewDelegate.h"
#include "imaging/Picture.h"

#include <QImage>
#include <QStringList>

#include "platform/SerialQueue.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace canvastest {

// A picture of the given size in points, filled with a gradient so that its
// pixels differ.
inline Picture gradientPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = qRgb(x * 255 / std::max(1, width - 1), y * 255 / std::max(1, height - 1), 90);
    }
    return Picture::fromImage(image);
}

struct RecordingDelegate : ZRImageCutViewDelegate {
    void cutViewDidChangeHistoryState(ZRImageCutView*) override { ++historyReports; }
    void cutViewWillStartDraw(ZRImageCutView*) override { ++starts; }
    void cutViewDidEndDraw(ZRImageCutView*) override { ++ends; }
    void cutViewDidChangeBrushDiameter(ZRImageCutView*, float d) override
    {
        ++diameterReports;
        lastDiameter = d;
    }
    void cutViewHistoryCouldNotBeWritten(ZRImageCutView*, const QString& reason) override
    {
        historyFailures << reason;
    }
    int historyReports = 0, starts = 0, ends = 0, diameterReports = 0;
    float lastDiameter = 0;
    QStringList historyFailures;
};

// A canvas of 800 x 600 holding a picture, with every queued step finished.
inline std::unique_ptr<ZRImageCutView> canvasWith(const Picture& picture, QSize size = {800, 600})
{
    auto view = std::make_unique<ZRImageCutView>();
    view->resize(size);
    if (!picture.isNull())
        view->setImage(picture);
    view->waitUntilIdle();
    return view;
}

// Appends one stroke of the given stamps (picture points) and its marker.
inline void stroke(ZRImageCutView& view, std::initializer_list<StampRect> stamps)
{
    for (const StampRect& r : stamps)
        view.eventBuffer().append(r);
    view.eventBuffer().append(StampRect::endOfStroke());
    view.updateMap();
}

// Mask alpha at a mask pixel given y up.
inline int maskAt(const ZRImageCutView& view, int x, int yUp)
{
    const QImage mask = view.currentMask();
    return mask.constScanLine(mask.height() - 1 - yUp)[x];
}

// Holds the canvas's queue so that appended stamps can be read before a drain
// takes them. The waiting task shares the gate with the pause, so the pause
// may go away while the task is still waking up.
class QueuePause {
public:
    explicit QueuePause(ZRImageCutView& view) : m_gate(std::make_shared<Gate>())
    {
        view.serialQueue().async([gate = m_gate] {
            std::unique_lock lock(gate->mutex);
            gate->wake.wait(lock, [&] { return gate->released; });
        });
    }
    ~QueuePause() { release(); }
    void release()
    {
        {
            std::lock_guard lock(m_gate->mutex);
            m_gate->released = true;
        }
        m_gate->wake.notify_all();
    }

private:
    struct Gate {
        std::mutex mutex;
        std::condition_variable wake;
        bool released = false;
    };
    std::shared_ptr<Gate> m_gate;
};

} // namespace canvastest
