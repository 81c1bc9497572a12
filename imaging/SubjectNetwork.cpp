#include "imaging/SubjectNetwork.h"

#include "imaging/CvImage_p.h"

#include <QFileInfo>
#include <QStandardPaths>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/dnn/layer.details.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>

#include <malloc.h>

namespace {

// OpenCV's own pool: two threads measured as fast as more on two cores, and
// they leave the main thread its share when the machine has more.
constexpr int networkThreads = 2;

// The layer type the converter gives its checkpoints.
const char* const checkpointType = "org.veltrane.Checkpoint";

struct Stopped : std::runtime_error {
    Stopped() : std::runtime_error("cancelled") {}
};

// What the checkpoints of the pass running on this thread report to.
struct PassState {
    const std::atomic<bool>* cancelled = nullptr;
    const std::function<void(double)>* progress = nullptr;
    int passed = 0;
    int total = 0;
};
thread_local PassState* t_pass = nullptr;

// An identity that the converter puts after poolings and resizes: the pass
// stops there once its picture is no longer wanted (the exception unwinds
// out of Net::forward), and counts its way through for the progress.
class Checkpoint : public cv::dnn::Layer {
public:
    explicit Checkpoint(const cv::dnn::LayerParams& params) { setParamsFrom(params); }
    static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params)
    {
        return cv::makePtr<Checkpoint>(params);
    }
    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, const int,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>&) const override
    {
        outputs = inputs;
        return false;
    }
    void forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                 cv::OutputArrayOfArrays) override
    {
        if (PassState* pass = t_pass) {
            if (pass->cancelled && pass->cancelled->load())
                throw Stopped();
            ++pass->passed;
            if (pass->progress && *pass->progress && pass->total > 0)
                (*pass->progress)(std::min(1.0, double(pass->passed) / pass->total));
        }
        std::vector<cv::Mat> in, out;
        inputs.getMatVector(in);
        outputs.getMatVector(out);
        in[0].copyTo(out[0]);
    }
};

void prepareOpenCv()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Failures reach the user through our own reports, with OpenCV's reason.
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
        cv::dnn::LayerFactory::registerLayer(checkpointType, Checkpoint::create);
    });
    cv::setNumThreads(networkThreads);
}

bool isCancelled(const std::atomic<bool>* cancelled)
{
    return cancelled && cancelled->load();
}

} // namespace

QString SubjectNetwork::modelFileName()
{
    return QStringLiteral("subject-%1.onnx").arg(inputSide);
}

QString SubjectNetwork::findModel()
{
    // GenericDataLocation is $XDG_DATA_HOME (or ~/.local/share) first, then
    // each of $XDG_DATA_DIRS (/usr/local/share, /usr/share).
    return QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                  QStringLiteral("veltrane/models/") + modelFileName());
}

std::vector<float> SubjectNetwork::inputTensor(const QImage& picture, int side)
{
    if (picture.isNull() || side <= 0)
        return {};
    QImage bitmap = CvImage::fourChannel(picture);
    if (bitmap.isNull())
        return {};
    const cv::Mat square = CvImage::resized(CvImage::wrap(bitmap), cv::Size(side, side));
    const std::size_t plane = std::size_t(side) * side;
    std::vector<float> tensor(plane * 3);
    float* r = tensor.data();
    float* g = r + plane;
    float* b = g + plane;
    for (int y = 0; y < side; ++y) {
        const std::uint8_t* row = square.ptr<std::uint8_t>(y);
        const std::size_t at = std::size_t(y) * side;
        for (int x = 0; x < side; ++x) {
            // B, G, R, A in memory: QImage's 32-bit formats on a little-endian machine.
            b[at + x] = (row[4 * x + 0] - 128.0f) / 256.0f;
            g[at + x] = (row[4 * x + 1] - 128.0f) / 256.0f;
            r[at + x] = (row[4 * x + 2] - 128.0f) / 256.0f;
        }
    }
    return tensor;
}

SubjectNetwork::Result SubjectNetwork::run(const QString& modelPath, const QImage& picture,
                                           int side, const std::atomic<bool>* cancelled,
                                           const std::function<void(double)>& progress)
{
    Result result;
    auto fail = [&result](const QString& why) {
        result.error = why;
        return result;
    };
    auto stop = [&result] {
        result.cancelled = true;
        return result;
    };
    if (isCancelled(cancelled))
        return stop();
    if (picture.isNull() || side <= 0)
        return fail(QStringLiteral("no picture"));
    if (!QFileInfo(modelPath).isFile())
        return fail(QStringLiteral("no model at %1").arg(modelPath));
    prepareOpenCv();

    std::vector<float> input = inputTensor(picture, side);
    if (input.empty())
        return fail(QStringLiteral("the picture could not be read"));
    if (isCancelled(cancelled))
        return stop();

    PassState pass;
    pass.cancelled = cancelled;
    pass.progress = &progress;
    cv::Mat output;
    // The allocator keeps freed memory for the next picture (Allocator), but
    // the network's most of a gigabyte is given back whenever a pass ends,
    // however it ends.
    struct GiveBack {
        ~GiveBack() { ::malloc_trim(0); }
    } giveBack;
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(modelPath.toStdString());
        if (net.empty())
            return fail(QStringLiteral("the model %1 holds no network").arg(modelPath));
        std::vector<cv::String> types;
        net.getLayerTypes(types);
        if (std::find(types.begin(), types.end(), cv::String(checkpointType)) != types.end())
            pass.total = net.getLayersCount(checkpointType);
        if (isCancelled(cancelled))
            return stop();
        const int shape[] = {1, 3, side, side};
        net.setInput(cv::Mat(4, shape, CV_32F, input.data()), "input");
        t_pass = &pass;
        output = net.forward("output");
        t_pass = nullptr;
    } catch (const Stopped&) {
        t_pass = nullptr;
        return stop();
    } catch (const cv::Exception& e) {
        t_pass = nullptr;
        return fail(QStringLiteral("the model %1 could not be run: %2")
                        .arg(modelPath, QString::fromStdString(e.err)));
    } catch (const std::exception& e) {
        t_pass = nullptr;
        return fail(QStringLiteral("the model %1 could not be run: %2")
                        .arg(modelPath, QString::fromLocal8Bit(e.what())));
    }
    if (isCancelled(cancelled))
        return stop();
    if (output.type() != CV_32F || output.dims != 4 || output.size[0] != 1 || output.size[1] != 1 ||
        output.size[2] != side || output.size[3] != side)
        return fail(QStringLiteral("the model %1 answers in another shape than 1 x 1 x %2 x %2")
                        .arg(modelPath)
                        .arg(side));

    QImage probability(side, side, QImage::Format_Grayscale8);
    if (probability.isNull())
        return fail(QStringLiteral("no memory for the subject's map"));
    const float* p = output.ptr<float>();
    for (int y = 0; y < side; ++y) {
        std::uint8_t* row = probability.scanLine(y);
        for (int x = 0; x < side; ++x) {
            const float v = p[std::size_t(y) * side + x];
            // NaN, from a broken model, reads as background.
            row[x] = v > 0 ? std::uint8_t(std::lround(std::min(v, 1.0f) * 255.0f)) : 0;
        }
    }
    if (progress)
        progress(1.0);
    result.probability = probability;
    return result;
}
