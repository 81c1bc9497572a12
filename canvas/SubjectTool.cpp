#include "canvas/SubjectTool.h"

#include "canvas/ColourTool.h"
#include "canvas/MaskDocument.h"
#include "canvas/SubjectWorker.h"
#include "imaging/ColourRegion.h"
#include "imaging/SubjectFinder.h"
#include "imaging/SubjectNetwork.h"
#include "platform/MainThread.h"
#include "platform/SystemLog.h"

#include <QObject>
#include <QPointer>

#include <cmath>

namespace {

// Progress reaches the main thread in steps of at least this much.
constexpr double progressStep = 0.02;

// 255 - plane, as an Alpha8 coverage of the whole plane.
QImage inverted(const QImage& alpha)
{
    QImage out(alpha.size(), QImage::Format_Alpha8);
    if (out.isNull())
        return out;
    for (int y = 0; y < alpha.height(); ++y) {
        const std::uint8_t* in = alpha.constScanLine(y);
        std::uint8_t* row = out.scanLine(y);
        for (int x = 0; x < alpha.width(); ++x)
            row[x] = std::uint8_t(255 - in[x]);
    }
    return out;
}

QString withoutModel(const QString& problem)
{
    if (problem == QLatin1String("not installed"))
        return QObject::tr("The subject model is not installed: see the README. Kept what the "
                           "picture's border suggests.");
    if (problem == QLatin1String("no clear subject"))
        return QObject::tr("No clear subject found: kept what the picture's border suggests. A "
                           "box round the subject does better.");
    return QObject::tr("The subject model could not be used (%1). Kept what the picture's border "
                       "suggests.")
        .arg(problem);
}

} // namespace

struct SubjectTool::Found {
    QImage alpha;        // Grayscale8, the mask's size: 255 kept
    QImage surroundings; // Alpha8: 255 - alpha
    QImage map;          // the network's probability at the mask's size, or null
    bool usedModel = false;
    QString modelProblem;
};

SubjectTool::SubjectTool(MaskDocument& document, QObject* context,
                         std::function<void(const QString&)> changed)
    : m_document(document), m_context(context), m_changed(std::move(changed)),
      m_worker(std::make_unique<SubjectWorker>()), m_modelPath(SubjectNetwork::findModel())
{
}

SubjectTool::~SubjectTool()
{
    if (m_boxCancelled)
        m_boxCancelled->store(true);
    m_worker.reset(); // cancels and joins: no job touches this object after
}

bool SubjectTool::busy() const
{
    return m_worker->busy();
}

void SubjectTool::waitUntilIdle()
{
    m_worker->waitUntilIdle();
}

bool SubjectTool::probabilityReady() const
{
    return m_state == State::Ready && m_found && m_found->usedModel;
}

void SubjectTool::report(const QString& status)
{
    if (m_changed)
        m_changed(status);
}

void SubjectTool::setPicture(const QImage& bitmap, QSize maskSize)
{
    ++m_picture;
    m_worker->cancelAll();
    if (m_boxCancelled)
        m_boxCancelled->store(true);
    m_box.reset();
    m_found.reset();
    m_pendingAlpha.reset();
    m_overlay = QImage();
    m_state = State::Idle;
    m_progress = 0;
    m_bitmap = bitmap;
    m_maskSize = maskSize;
    if (m_findsOnOpen && !bitmap.isNull() && !maskSize.isEmpty())
        startSubject();
    report({});
}

void SubjectTool::replaceBitmap(const QImage& bitmap)
{
    if (!bitmap.isNull())
        m_bitmap = bitmap;
}

void SubjectTool::prepare()
{
    if (m_state == State::Idle)
        startSubject();
}

void SubjectTool::startSubject()
{
    if (m_bitmap.isNull() || m_maskSize.isEmpty())
        return;
    m_state = State::Working;
    m_progress = 0;
    const std::uint64_t picture = m_picture;
    QPointer<QObject> context(m_context);
    m_worker->post([this, context, picture, bitmap = m_bitmap, maskSize = m_maskSize,
                    model = m_modelPath](const std::atomic<bool>& cancelled) {
        auto found = std::make_shared<Found>();
        double shown = 0;
        auto progress = [&](double done) {
            m_progress = done;
            if (done - shown < progressStep)
                return;
            shown = done;
            MainThread::async(context, [this, picture] {
                if (picture == m_picture)
                    report({});
            });
        };
        try {
            SubjectFinder::Subject subject =
                SubjectFinder::findSubject(bitmap, maskSize, model, &cancelled, progress);
            if (subject.cancelled || cancelled.load())
                return;
            found->alpha = subject.alpha;
            found->surroundings = inverted(subject.alpha);
            found->map = subject.map;
            found->usedModel = subject.usedModel;
            found->modelProblem = subject.modelProblem;
            if (!subject.modelProblem.isEmpty() && !model.isEmpty())
                SystemLog::log(QStringLiteral("subject model: %1").arg(subject.modelProblem));
        } catch (const std::exception& thrown) {
            found->modelProblem = QString::fromLocal8Bit(thrown.what());
            found->alpha = QImage();
        }
        // For the boxes queued behind this job, before the main thread has it.
        m_workerFound = found;
        m_workerPicture = picture;
        MainThread::async(context, [this, picture, found] { subjectArrived(picture, found); });
    });
    report({});
}

void SubjectTool::subjectArrived(std::uint64_t picture, std::shared_ptr<const Found> found)
{
    if (picture != m_picture)
        return; // a newer picture is shown
    m_found = found;
    m_progress = 1;
    if (found->alpha.isNull()) {
        m_state = State::Failed;
        m_pendingAlpha.reset();
        report(QObject::tr("The subject could not be found: %1").arg(found->modelProblem));
        return;
    }
    m_state = State::Ready;
    if (m_showing)
        m_overlay = ColourTool::tintedCoverage({found->alpha, found->alpha.rect(), {}}, m_tint);
    if (m_pendingAlpha) {
        const std::uint8_t alpha = *m_pendingAlpha;
        m_pendingAlpha.reset();
        commitSubject(alpha);
        return;
    }
    report({});
}

void SubjectTool::applySubject(std::uint8_t alpha)
{
    if (m_bitmap.isNull()) {
        report(QObject::tr("Open a picture first."));
        return;
    }
    if (m_state == State::Ready) {
        commitSubject(alpha);
        return;
    }
    m_pendingAlpha = alpha;
    if (m_state != State::Working)
        startSubject();
    report(QObject::tr("Finding the subject…"));
}

void SubjectTool::commitSubject(std::uint8_t alpha)
{
    const std::shared_ptr<const Found> found = m_found;
    m_document.applyCoverage(
        [found] {
            return ColourCoverage{found->surroundings, found->surroundings.rect(), {}};
        },
        alpha);
    QString status = alpha == 255 ? QObject::tr("Brought back everything around the subject")
                                  : QObject::tr("Kept the subject");
    if (!found->usedModel)
        status = withoutModel(found->modelProblem);
    report(status);
}

void SubjectTool::showSubject(bool on, QRgb tint)
{
    m_showing = on;
    m_tint = tint;
    m_overlay = QImage();
    if (on && m_found && !m_found->alpha.isNull())
        m_overlay = ColourTool::tintedCoverage({m_found->alpha, m_found->alpha.rect(), {}}, tint);
    else if (on)
        prepare();
    report({});
}

void SubjectTool::paintOverlay(QImage& frame, const QRect& area, const ViewTransform& t,
                               QSizeF pictureSize, QSize maskSize) const
{
    if (m_showing && !m_overlay.isNull() && m_overlay.size() == maskSize)
        ColourTool::paintTinted(frame, area, t, pictureSize, maskSize, m_overlay, m_overlay.rect());
}

// ---------------------------------------------------------------- the box

void SubjectTool::applyBox(QRect box, bool onlyInside, std::uint8_t alpha)
{
    box = box.normalized() & QRect(QPoint(0, 0), m_maskSize);
    if (m_bitmap.isNull() || box.width() < 2 || box.height() < 2) {
        report(QObject::tr("Drag a box round the object to keep."));
        return;
    }
    cancelBox();
    m_box = BoxJob{box, onlyInside, alpha, ++m_boxIds};
    m_boxCancelled = std::make_shared<std::atomic<bool>>(false);
    const std::uint64_t picture = m_picture, id = m_box->id;
    QPointer<QObject> context(m_context);
    // Behind a subject still being found: the box then has its map.
    std::shared_ptr<const Found> found = m_found;
    m_worker->post([this, context, picture, id, box, bitmap = m_bitmap, maskSize = m_maskSize,
                    found, flag = m_boxCancelled](const std::atomic<bool>& cancelled) {
        if (flag->load())
            return;
        std::shared_ptr<const Found> latest = found;
        if (!latest && m_workerPicture == picture)
            latest = m_workerFound;
        const QImage map = latest && latest->usedModel ? latest->map : QImage();
        SubjectFinder::Box result;
        try {
            result = SubjectFinder::findInBox(bitmap, maskSize, box, map, flag.get());
        } catch (const std::exception&) {
            result = {};
        }
        if (result.cancelled || cancelled.load() || flag->load())
            return;
        MainThread::async(context, [this, picture, id, result] {
            boxArrived(picture, id, result.area, result.alpha);
        });
    });
    report({});
}

void SubjectTool::cancelBox()
{
    if (m_boxCancelled)
        m_boxCancelled->store(true);
    m_box.reset();
    report({});
}

void SubjectTool::boxArrived(std::uint64_t picture, std::uint64_t id, QRect area,
                             const QImage& alpha)
{
    if (picture != m_picture || !m_box || m_box->id != id)
        return; // cancelled, or another box or picture since
    const BoxJob job = *m_box;
    m_box.reset();
    if (alpha.isNull() || area.isEmpty()) {
        report(QObject::tr("Found no object in the box."));
        return;
    }
    const QSize size = m_maskSize;
    m_document.applyCoverage(
        [size, area, alpha, onlyInside = job.onlyInside] {
            ColourCoverage coverage;
            coverage.plane = QImage(size, QImage::Format_Alpha8);
            coverage.kept = QImage(size, QImage::Format_Alpha8);
            if (coverage.plane.isNull() || coverage.kept.isNull())
                return ColourCoverage{};
            coverage.plane.fill(onlyInside ? 0 : 255);
            coverage.kept.fill(0);
            for (int y = 0; y < area.height(); ++y) {
                const std::uint8_t* in = alpha.constScanLine(y);
                std::uint8_t* cut = coverage.plane.scanLine(area.top() + y) + area.left();
                std::uint8_t* keep = coverage.kept.scanLine(area.top() + y) + area.left();
                for (int x = 0; x < area.width(); ++x) {
                    keep[x] = in[x];
                    cut[x] = std::uint8_t(255 - in[x]);
                }
            }
            coverage.bounds = onlyInside ? area : coverage.plane.rect();
            return coverage;
        },
        job.alpha);
    report(QObject::tr("Kept the object in the box"));
}
