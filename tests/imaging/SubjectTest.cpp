#include "imaging/SubjectCut.h"
#include "imaging/SubjectFinder.h"
#include "imaging/SubjectNetwork.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <random>
#include <vector>

// Named, not anonymous: the test programs are unity builds.
namespace subjecttest {

using namespace SubjectCut;

// The stand-in network the test build makes: sigmoid(40 * mean of r, g, b).
const QString tinyModel = QStringLiteral(VELTRANE_BUILD_DIR "/tiny-subject.onnx");

QImage filled(int w, int h, QRgb colour, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(w, h, format);
    image.fill(colour);
    return image;
}

float normalised(int v)
{
    return (v - 128.0f) / 256.0f;
}

// Noisy `inside` on noisy `outside`: a disc of radius r at (cx, cy).
QImage discScene(int w, int h, double cx, double cy, double r, QRgb inside, QRgb outside)
{
    QImage image(w, h, QImage::Format_RGB32);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> noise(-12, 12);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const QRgb c = std::hypot(x + 0.5 - cx, y + 0.5 - cy) < r ? inside : outside;
            const int n = noise(rng);
            row[x] = qRgb(std::clamp(qRed(c) + n, 0, 255), std::clamp(qGreen(c) + n, 0, 255),
                          std::clamp(qBlue(c) + n, 0, 255));
        }
    }
    return image;
}

// Intersection over union of alpha >= 128 with the disc, in `alpha`'s pixels.
double discIoU(const QImage& alpha, double cx, double cy, double r)
{
    long both = 0, either = 0;
    for (int y = 0; y < alpha.height(); ++y)
        for (int x = 0; x < alpha.width(); ++x) {
            const bool kept = alpha.constScanLine(y)[x] >= 128;
            const bool disc = std::hypot(x + 0.5 - cx, y + 0.5 - cy) < r;
            both += kept && disc;
            either += kept || disc;
        }
    return either ? double(both) / either : 0;
}

// ---------------------------------------------------------------- the input

TEST(SubjectInput, ResizesNormalisesAndOrdersThePlanesExactly)
{
    // A uniform picture stays uniform at any side, as R, G, B planes.
    {
        const std::vector<float> t =
            SubjectNetwork::inputTensor(filled(5, 3, qRgb(10, 128, 250)), 4);
        ASSERT_EQ(t.size(), 3u * 16);
        for (int i = 0; i < 16; ++i) {
            EXPECT_EQ(t[i], normalised(10));
            EXPECT_EQ(t[16 + i], 0.0f);
            EXPECT_EQ(t[32 + i], normalised(250));
        }
    }
    // 2 x 2 blocks average by area, top row first: block (bx, by) has red
    // values 40 * (bx + 2 by) + {0, 4, 8, 12}, green 7 and blue 200.
    {
        QImage image(4, 4, QImage::Format_RGB32);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                image.setPixel(
                    x, y, qRgb(40 * (x / 2 + 2 * (y / 2)) + 4 * (x % 2 + 2 * (y % 2)), 7, 200));
        const std::vector<float> t = SubjectNetwork::inputTensor(image, 2);
        ASSERT_EQ(t.size(), 12u);
        for (int block = 0; block < 4; ++block) {
            EXPECT_EQ(t[block], normalised(40 * block + 6)) << block;
            EXPECT_EQ(t[4 + block], normalised(7));
            EXPECT_EQ(t[8 + block], normalised(200));
        }
    }
    // A wide picture: each axis on its own (columns averaged, rows kept).
    {
        QImage image(8, 2, QImage::Format_RGB32);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 8; ++x)
                image.setPixel(x, y, qRgb(y == 0 ? 10 * (x % 4) : 100, 0, 0));
        const std::vector<float> t = SubjectNetwork::inputTensor(image, 2);
        ASSERT_EQ(t.size(), 12u);
        EXPECT_EQ(t[0], normalised(15));
        EXPECT_EQ(t[1], normalised(15));
        EXPECT_EQ(t[2], normalised(100));
        EXPECT_EQ(t[3], normalised(100));
    }
    // Transparent pixels count as black; a null picture gives nothing.
    {
        const std::vector<float> t = SubjectNetwork::inputTensor(
            filled(3, 3, qRgba(255, 255, 255, 0), QImage::Format_ARGB32), 3);
        ASSERT_EQ(t.size(), 27u);
        for (float v : t)
            EXPECT_EQ(v, normalised(0));
        EXPECT_TRUE(SubjectNetwork::inputTensor(QImage(), 4).empty());
    }
}

// ---------------------------------------------------------------- seeds and alpha

TEST(SubjectSeeds, ProbabilityThresholdsJudgeTheForegroundAgainstThePeak)
{
    struct Case {
        int value, peak;
        Label expected;
    };
    // With a peak of 255 the shares are the values; with a timid peak of 100
    // half of it (50) is already probable foreground and 90 sure.
    const Case cases[] = {
        {0, 255, Background},           {5, 255, Background},
        {6, 255, ProbableBackground},   {127, 255, ProbableBackground},
        {128, 255, ProbableForeground}, {229, 255, ProbableForeground},
        {230, 255, Foreground},         {255, 255, Foreground},
        {5, 100, Background},           {49, 100, ProbableBackground},
        {50, 100, ProbableForeground},  {90, 100, Foreground},
    };
    for (const Case& c : cases) {
        QImage map = filled(2, 1, 0, QImage::Format_Grayscale8);
        map.scanLine(0)[0] = std::uint8_t(c.peak);
        map.scanLine(0)[1] = std::uint8_t(c.value);
        const QImage labels = seedsFromProbability(map);
        ASSERT_FALSE(labels.isNull());
        EXPECT_EQ(labels.constScanLine(0)[1], c.expected) << c.value << " of " << c.peak;
    }
    // A map whose peak stays under a fifth found nothing.
    EXPECT_TRUE(seedsFromProbability(filled(4, 4, 0, QImage::Format_Grayscale8)).isNull());
    QImage weak = filled(4, 4, 0, QImage::Format_Grayscale8);
    weak.scanLine(1)[1] = weakestPeak - 1;
    EXPECT_TRUE(seedsFromProbability(weak).isNull());
}

TEST(SubjectSeeds, BorderAndBoxSeedsLieWhereTheySay)
{
    // 100 x 60: the border band is 3 pixels (a twentieth of 60).
    const QImage border = seedsFromBorder({100, 60});
    const std::uint8_t* middle = border.constScanLine(30);
    EXPECT_EQ(middle[0], Background);
    EXPECT_EQ(middle[1], ProbableBackground);
    EXPECT_EQ(middle[2], ProbableBackground);
    EXPECT_EQ(middle[3], ProbableForeground);
    EXPECT_EQ(middle[50], ProbableForeground);
    EXPECT_EQ(border.constScanLine(0)[50], Background);

    // Outside the box background; inside probable foreground without a map.
    const QRect box(10, 5, 20, 10);
    const QImage plain = seedsForBox({40, 20}, box, QImage());
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x)
            ASSERT_EQ(plain.constScanLine(y)[x],
                      box.contains(x, y) ? ProbableForeground : Background)
                << x << "," << y;
    // With a map, judged against the peak inside the box, never sure background there.
    QImage map = filled(40, 20, 0, QImage::Format_Grayscale8);
    map.scanLine(8)[15] = 200; // the box's peak
    map.scanLine(8)[16] = 100; // half of it: probable foreground
    map.scanLine(2)[2] = 255;  // outside: not the box's peak
    const QImage seeded = seedsForBox({40, 20}, box, map);
    EXPECT_EQ(seeded.constScanLine(8)[15], Foreground);
    EXPECT_EQ(seeded.constScanLine(8)[16], ProbableForeground);
    EXPECT_EQ(seeded.constScanLine(8)[20], ProbableBackground);
    EXPECT_EQ(seeded.constScanLine(2)[2], Background);
}

TEST(SubjectAlpha, HardOutsideTheBandAndTheMeanWithTheMapInIt)
{
    // Left half kept; band 1 covers columns 4 and 5.
    QImage labels(10, 10, QImage::Format_Grayscale8);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            labels.scanLine(y)[x] = x < 5 ? (x % 2 ? Foreground : ProbableForeground)
                                          : (x % 2 ? Background : ProbableBackground);
    QImage map = filled(10, 10, 51, QImage::Format_Grayscale8);
    map.scanLine(0)[0] = 255; // the peak
    const QImage bare = softAlpha(labels, QImage(), {10, 10}, 1);
    const QImage soft = softAlpha(labels, map, {10, 10}, 1);
    for (int x = 0; x < 10; ++x) {
        EXPECT_EQ(bare.constScanLine(5)[x], x < 5 ? 255 : 0) << x;
        const int expected = x == 4   ? (255 + 51 + 1) / 2
                             : x == 5 ? (0 + 51 + 1) / 2
                             : x < 5  ? 255
                                      : 0;
        EXPECT_EQ(soft.constScanLine(5)[x], expected) << x;
    }
    // Grown to another size the labels keep their place.
    const QImage grown = softAlpha(labels, QImage(), {20, 20}, 1);
    EXPECT_EQ(grown.size(), QSize(20, 20));
    EXPECT_EQ(grown.constScanLine(10)[2], 255);
    EXPECT_EQ(grown.constScanLine(10)[17], 0);
}

TEST(SubjectGrabCut, FindsADiscFromTheBorderAndLeavesOneSidedLabelsAlone)
{
    const QImage scene = discScene(80, 60, 40, 30, 18, qRgb(220, 60, 40), qRgb(40, 90, 200));
    QImage labels = seedsFromBorder(scene.size());
    ASSERT_TRUE(grabCut(scene, labels));
    EXPECT_GT(discIoU(softAlpha(labels, QImage(), scene.size(), 0), 40, 30, 18), 0.95);

    QImage all = filled(80, 60, ProbableForeground, QImage::Format_Grayscale8);
    EXPECT_TRUE(grabCut(scene, all));
    EXPECT_EQ(all, filled(80, 60, ProbableForeground, QImage::Format_Grayscale8));

    QImage wrong = seedsFromBorder({10, 10});
    EXPECT_FALSE(grabCut(scene, wrong)); // another size

    std::atomic<bool> cancelled{true};
    QImage again = seedsFromBorder(scene.size());
    EXPECT_FALSE(grabCut(scene, again, rounds, &cancelled));

    // A flat picture (a dropped swatch, a studio backdrop) has nothing to
    // tell apart; without the grain GrabCut took 100 s over this one.
    QImage flatLabels = seedsFromBorder({640, 480});
    EXPECT_TRUE(grabCut(filled(640, 480, qRgb(30, 160, 90)), flatLabels));
}

// ---------------------------------------------------------------- the runner

TEST(SubjectNetworkRun, TheTinyModelLoadsRunsAndReportsItsCheckpoints)
{
    // Top half white, bottom half mid grey: 1 and exactly 0.5 through the stand-in.
    QImage picture = filled(64, 64, qRgb(255, 255, 255));
    for (int y = 32; y < 64; ++y)
        std::fill_n(reinterpret_cast<QRgb*>(picture.scanLine(y)), 64, qRgb(128, 128, 128));
    std::vector<double> progress;
    const SubjectNetwork::Result result = SubjectNetwork::run(
        tinyModel, picture, 32, nullptr, [&](double p) { progress.push_back(p); });
    ASSERT_TRUE(result.error.isEmpty()) << result.error.toStdString();
    ASSERT_EQ(result.probability.size(), QSize(32, 32));
    ASSERT_EQ(result.probability.format(), QImage::Format_Grayscale8);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            ASSERT_EQ(result.probability.constScanLine(y)[x], y < 16 ? 255 : 128) << x << "," << y;
    EXPECT_EQ(progress, (std::vector<double>{0.5, 1.0, 1.0}));
}

TEST(SubjectNetworkRun, CancelsAtACheckpointAndRefusesBrokenOrMissingModels)
{
    const QImage picture = filled(16, 16, qRgb(200, 200, 200));
    std::atomic<bool> cancelled{false};
    const SubjectNetwork::Result stopped =
        SubjectNetwork::run(tinyModel, picture, 32, &cancelled, [&](double) { cancelled = true; });
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_TRUE(stopped.probability.isNull());

    QTemporaryDir dir;
    const QString broken = dir.filePath(QStringLiteral("broken.onnx"));
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4096, '\x5a'));
    file.close();
    for (const QString& path : {broken, dir.filePath(QStringLiteral("missing.onnx"))}) {
        const SubjectNetwork::Result r = SubjectNetwork::run(path, picture, 32);
        EXPECT_FALSE(r.cancelled);
        EXPECT_TRUE(r.probability.isNull());
        EXPECT_FALSE(r.error.isEmpty()) << path.toStdString();
    }
}

// ---------------------------------------------------------------- the jobs

TEST(SubjectFinderJobs, SubjectWithAndWithoutAModelAndAnObjectInABox)
{
    // A bright disc on a dark ground: the stand-in marks the disc.
    const QImage scene = discScene(300, 200, 150, 100, 50, qRgb(235, 225, 200), qRgb(40, 60, 50));
    const QSize mask(150, 100);
    const SubjectFinder::Subject withModel = SubjectFinder::findSubject(scene, mask, tinyModel);
    EXPECT_TRUE(withModel.usedModel);
    EXPECT_EQ(withModel.map.size(), mask);
    EXPECT_GT(discIoU(withModel.alpha, 75, 50, 25), 0.95);

    const SubjectFinder::Subject without = SubjectFinder::findSubject(scene, mask, QString());
    EXPECT_FALSE(without.usedModel);
    EXPECT_EQ(without.modelProblem, QStringLiteral("not installed"));
    EXPECT_GT(discIoU(without.alpha, 75, 50, 25), 0.95);

    const SubjectFinder::Subject broken =
        SubjectFinder::findSubject(scene, mask, QStringLiteral("/nonexistent/subject.onnx"));
    EXPECT_FALSE(broken.usedModel);
    EXPECT_FALSE(broken.modelProblem.isEmpty());
    EXPECT_FALSE(broken.alpha.isNull());

    // Two discs; a box round the right one keeps it and nothing of the left.
    QImage two = discScene(300, 200, 80, 100, 40, qRgb(235, 225, 200), qRgb(40, 60, 50));
    const QImage right = discScene(300, 200, 220, 100, 40, qRgb(200, 40, 40), qRgb(40, 60, 50));
    for (int y = 0; y < 200; ++y)
        for (int x = 150; x < 300; ++x)
            two.setPixel(x, y, right.pixel(x, y));
    const SubjectFinder::Box box =
        SubjectFinder::findInBox(two, mask, QRect(85, 20, 50, 60), QImage());
    EXPECT_EQ(box.area, QRect(85, 20, 50, 60));
    QImage whole = filled(150, 100, 0, QImage::Format_Grayscale8);
    for (int y = 0; y < box.area.height(); ++y)
        std::copy_n(box.alpha.constScanLine(y), box.area.width(),
                    whole.scanLine(box.area.top() + y) + box.area.left());
    EXPECT_GT(discIoU(whole, 110, 50, 20), 0.9);
}

} // namespace subjecttest
