#pragma once

#include <QImage>
#include <QString>

#include <atomic>
#include <functional>
#include <vector>

// The salient-object network that finds a picture's main subject: where it
// is installed, what it is fed and what it gives back. The network takes one
// square RGB picture of inputSide pixels a side and answers, for each of its
// pixels, the probability that it belongs to the subject.
//
// Plain code without a widget; run() may be called on any thread, one call
// at a time per thread. The model is read anew for each run and let go when
// it returns, so its memory (about 0.9 GB while it works) is held only then.
class SubjectNetwork {
public:
    // The side the installed model was converted for (make model's
    // SUBJECT_SIDE); its file is subject-<side>.onnx.
    static constexpr int inputSide = 768;

    // The model file: in the user's data folder ($XDG_DATA_HOME/veltrane/
    // models/, else ~/.local/share/...), then in the system's data folders
    // (/usr/share/veltrane/models/ for packagers). Empty when none is installed.
    static QString findModel();
    static QString modelFileName();

    // The network's input for `picture` (any format; transparent areas count
    // as black): the whole picture resized to side x side (an area average
    // where it shrinks, bilinear where it grows), as three planes R, G, B of
    // side * side floats, each value (v - 128) / 256. Empty for a null picture.
    static std::vector<float> inputTensor(const QImage& picture, int side);

    struct Result {
        // Format_Grayscale8, side x side, top row first: the probability
        // 0..1 as 0..255. Null when the run failed or was cancelled.
        QImage probability;
        bool cancelled = false;
        QString error; // why it failed, for the status bar and the log
    };

    // Reads the model at `modelPath` and runs it on `picture`. `cancelled`
    // is looked at between the stages and at each of the model's checkpoints
    // (a few hundred milliseconds apart); `progress` (0..1) is told as the
    // pass goes on. A model that cannot be read or answers in another shape
    // is a failure with the reason, never an exception.
    static Result run(const QString& modelPath, const QImage& picture, int side,
                      const std::atomic<bool>* cancelled = nullptr,
                      const std::function<void(double)>& progress = {});
};
