// Scenarios run through build/veltrane-drive as a user of the tool would: a
// script on standard input, answers on standard output.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

namespace {

struct DriveRun {
    int exitCode = -1;
    QStringList out;
    QString err;
};

QProcessEnvironment driverEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), testsupport::tempDir());
    return env;
}

DriveRun drive(const QString& script)
{
    QProcess process;
    process.setProcessEnvironment(driverEnvironment());
    process.start(QStringLiteral(VELTRANE_BUILD_DIR "/veltrane-drive"), {});
    DriveRun run;
    if (!process.waitForStarted(10000)) {
        run.err = process.errorString();
        return run;
    }
    process.write(script.toUtf8());
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        run.err = QStringLiteral("timed out");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// The state lines of a run, parsed; a line that is not an object fails the test.
std::vector<QJsonObject> states(const DriveRun& run)
{
    std::vector<QJsonObject> all;
    for (const QString& line : run.out) {
        if (!line.startsWith('{'))
            continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        all.push_back(doc.object());
    }
    return all;
}

QString pictureFile(int width, int height)
{
    return testsupport::pictureFile(testsupport::tempDir(), "picture.png", {width, height});
}

} // namespace

TEST(Driver, AStrokeCutsAndAKeyUndoesIt)
{
    const QString picture = pictureFile(400, 300);
    const QString dir = testsupport::tempDir();
    // At scale 2 the stroke runs along picture row 150 (y up) from x 50 to 350.
    const DriveRun run = drive(QStringLiteral("open %1\nwait\nstroke 100 300 700 300 30\nwait\n"
                                              "mask %2/cut.png\nresult %2/result.png\n"
                                              "key ctrl+z\nwait\nstate\nmask %2/undone.png\n")
                                   .arg(picture, dir));
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const auto s = states(run);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0]["historyLength"].toInt(), 2);
    EXPECT_EQ(s[0]["historyCurrentState"].toInt(), 0);

    // Mask files keep rows top first: picture row 150 (y up) is file row 149.
    const QImage cut(dir + "/cut.png"), undone(dir + "/undone.png");
    ASSERT_EQ(cut.size(), QSize(400, 300));
    auto alpha = [](const QImage& mask, int x, int yUp) {
        return qAlpha(mask.pixel(x, mask.height() - 1 - yUp));
    };
    EXPECT_EQ(alpha(cut, 200, 150), 0);
    EXPECT_EQ(alpha(cut, 50, 150), 0);
    EXPECT_EQ(alpha(cut, 200, 170), 255); // beyond the 10-point brush
    EXPECT_EQ(alpha(cut, 380, 150), 255); // beyond the stroke's end
    EXPECT_EQ(alpha(undone, 200, 150), 255);
    const QImage result(dir + "/result.png");
    ASSERT_EQ(result.size(), QSize(400, 300));
    EXPECT_EQ(qAlpha(result.pixel(200, 149)), 0);
    EXPECT_EQ(result.pixel(10, 10), QImage(picture).pixel(10, 10));
}

// A box is worked on in the background: state tells so, wait waits for it,
// and it becomes one undo step; add keeps the cut outside the box.
TEST(Driver, BoxesAreOneStepEachAndStateTellsTheTools)
{
    const QString picture = pictureFile(400, 300);
    const QString dir = testsupport::tempDir();
    const DriveRun run = drive(QStringLiteral("open %1\nwait\nbox 200 150 600 450\nstate\nwait\nstate\n"
                                              "mask %2/boxed.png\nbox 20 20 60 60 add\nwait\nstate\n"
                                              "mask %2/added.png\n")
                                   .arg(picture, dir));
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const auto s = states(run);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0]["tool"].toString(), QStringLiteral("box"));
    EXPECT_TRUE(s[0]["boxing"].toBool());
    EXPECT_EQ(s[0]["subject"].toString(), QStringLiteral("idle"));
    EXPECT_FALSE(s[0]["subjectProbability"].toBool());
    EXPECT_FALSE(s[1]["boxing"].toBool());
    EXPECT_EQ(s[1]["historyLength"].toInt(), 2);
    EXPECT_EQ(s[2]["historyLength"].toInt(), 3);
    // At scale 2 the first box covers picture pixels 100..300 x 75..225:
    // everything outside it is cut.
    const QImage boxed(dir + "/boxed.png"), added(dir + "/added.png");
    ASSERT_EQ(boxed.size(), QSize(400, 300));
    EXPECT_EQ(qAlpha(boxed.pixel(50, 150)), 0);
    EXPECT_EQ(qAlpha(boxed.pixel(350, 30)), 0);
    // The second box (picture 10..30) changed nothing outside itself.
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 400; ++x) {
            if (x > 31 || y > 31) {
                ASSERT_EQ(added.pixel(x, y), boxed.pixel(x, y)) << x << "," << y;
            }
        }
    }
}

TEST(Driver, UnknownCommandsAndBadArgumentsStopWithStatusTwo)
{
    struct Case {
        const char* script;
        const char* error;
    };
    const Case cases[] = {
        {"state\nfrobnicate 1 2\nstate\n", "error: 2: unknown command: frobnicate"},
        {"diameter big\nstate\n", "error: 1: not a number: big"},
        {"\n# two lines skipped\nwheel 1 2\n", "error: 3: wheel takes 3 argument(s)"},
        {"hold super\n", "error: 1: unknown modifier: super"},
        {"blur maybe\n", "error: 1: blur takes on or off"},
        {"stroke 0 0 10 10 2.5\n", "error: 1: the move count must be a whole number, 0 or more"},
        {"box 1 2 3\n", "error: 1: box takes X1 Y1 X2 Y2 [add]"},
        {"box 1 2 3 4 plus\n", "error: 1: box takes X1 Y1 X2 Y2 [add]"},
        {"subjectonopen maybe\n", "error: 1: subjectonopen takes on or off"},
    };
    for (const Case& c : cases) {
        const DriveRun run = drive(QString::fromLatin1(c.script));
        EXPECT_EQ(run.exitCode, 2) << c.script;
        EXPECT_TRUE(run.err.contains(QLatin1String(c.error))) << run.err.toStdString();
        // Nothing after the bad line runs.
        EXPECT_LE(run.out.size(), 1) << c.script;
    }
}

// Each line is answered before the next arrives; comments and blank lines
// are skipped, and a picture opens with the fresh state reported.
TEST(Driver, AnswersEachLineBeforeTheNextArrives)
{
    QProcess process;
    process.setProcessEnvironment(driverEnvironment());
    process.start(QStringLiteral(VELTRANE_BUILD_DIR "/veltrane-drive"), {});
    ASSERT_TRUE(process.waitForStarted(10000));
    auto answer = [&](const QString& line) {
        process.write(line.toUtf8());
        EXPECT_TRUE(testsupport::waitFor([&] { return process.canReadLine(); }));
        return process.readLine().trimmed();
    };
    EXPECT_EQ(answer(QStringLiteral("# a comment\n\nopen %1\n").arg(pictureFile(400, 300))),
              QByteArray("opened 400 300"));
    const QJsonObject s = QJsonDocument::fromJson(answer("wait\nstate\n")).object();
    // 400 x 300 fitted into 800 x 600.
    const QJsonObject expected{
        {"maskWidth", 400}, {"maskHeight", 300}, {"historyLength", 1}, {"historyCurrentState", 0},
        {"imageFit", true}, {"scale", 2},        {"tx", 400},          {"ty", 300}};
    for (auto it = expected.begin(); it != expected.end(); ++it)
        EXPECT_EQ(s[it.key()], it.value()) << it.key().toStdString();
    const QString text =
        testsupport::writeFile(testsupport::tempDir() + "/notes.png", "not pixels");
    EXPECT_EQ(answer(QStringLiteral("open %1\n").arg(text)), QByteArray("not a picture"));
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitCode(), 0);
}

// A save right after open writes the picture through its own fresh mask,
// not the previous picture's or none (which wrote an all-cut file); with no
// picture it fails and says so.
TEST(Driver, SaveWaitsForTheCutAndRefusesWithoutAPicture)
{
    const QString first = testsupport::pictureFile(testsupport::tempDir(), "first.png", {600, 400});
    const QString picture = pictureFile(2400, 1600);
    const QString dir = testsupport::tempDir();
    const DriveRun run =
        drive(QStringLiteral("save %3/none.png\nopen %1\nwait\nopen %2\nsave %3/at-once.png\n")
                  .arg(first, picture, dir));
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    ASSERT_EQ(run.out.size(), 4) << run.out.join('|').toStdString();
    EXPECT_TRUE(run.out[0].startsWith("save failed: ")) << run.out[0].toStdString();
    EXPECT_FALSE(QFile::exists(dir + "/none.png"));
    EXPECT_EQ(run.out[3], "saved");
    const QImage saved(dir + "/at-once.png");
    ASSERT_EQ(saved.size(), QSize(2400, 1600));
    for (QPoint at : {QPoint(5, 5), QPoint(1200, 800), QPoint(2390, 1590)})
        EXPECT_EQ(saved.pixel(at), QImage(picture).pixel(at)) << at.x() << "," << at.y();
}
