#include "Bench.h"
#include "platform/Allocator.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <map>
#include <random>
#include <vector>

namespace bench {

static std::map<std::string, CaseFn>& cases()
{
    static std::map<std::string, CaseFn> all;
    return all;
}

bool registerCase(const std::string& name, CaseFn fn)
{
    cases().emplace(name, std::move(fn));
    return true;
}

void Context::measure(const std::function<void()>& body, int runs, bool warmUp)
{
    if (warmUp)
        body();
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        body();
        record(timer.nsecsElapsed() / 1e6);
    }
}

void Context::record(double milliseconds)
{
    samples.push_back(milliseconds);
}

void Context::report(const std::string& name, double value)
{
    std::printf("%s %.3f\n", name.c_str(), value);
    std::fflush(stdout);
}

const QImage& photo(int width, int height, bool withAlpha)
{
    static std::map<std::tuple<int, int, bool>, QImage> made;
    auto key = std::make_tuple(width, height, withAlpha);
    auto it = made.find(key);
    if (it != made.end())
        return it->second;

    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> noise(-12, 12);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<quint32*>(image.scanLine(y));
        const double fy = double(y) / height;
        for (int x = 0; x < width; ++x) {
            const double fx = double(x) / width;
            // Smooth gradients, a few hard-edged shapes, and sensor-like noise.
            double r = 40 + 150 * fx + 30 * std::sin(fy * 9);
            double g = 60 + 120 * fy + 25 * std::cos(fx * 7);
            double b = 90 + 80 * (1 - fx) * fy;
            if (((x / 257) + (y / 199)) % 5 == 0) {
                r = 230 - r * 0.3;
                b = 40;
            }
            if ((x - width * 0.6) * (x - width * 0.6) + (y - height * 0.4) * (y - height * 0.4) <
                (height * 0.2) * (height * 0.2)) {
                g = 210;
                r *= 0.5;
            }
            const int n = noise(rng);
            auto clamp = [](double v) { return int(std::clamp(v, 0.0, 255.0)); };
            int a = 255;
            if (withAlpha) {
                if (x < width / 4)
                    a = clamp(255.0 * x / (width / 4.0));
                else if (y > height * 3 / 4 && x > width / 2)
                    a = 0;
            }
            const int rr = clamp(r + n) * a / 255, gg = clamp(g + n) * a / 255,
                      bb = clamp(b + n) * a / 255;
            row[x] = (quint32(a) << 24) | (quint32(rr) << 16) | (quint32(gg) << 8) | quint32(bb);
        }
    }
    return made.emplace(key, std::move(image)).first->second;
}

// The machine's memory speed: one 96 MB copy, best of five, in GB/s. Most
// of our figures move whole pictures through memory, so they are read
// against it.
double memcpyGigabytesPerSecond()
{
    constexpr std::size_t bytes = std::size_t(96) << 20;
    std::vector<char> from(bytes, 1), to(bytes, 0);
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        from[std::size_t(run) * 4096] = char(run);
        QElapsedTimer timer;
        timer.start();
        std::memcpy(to.data(), from.data(), bytes);
        best = std::min(best, timer.nsecsElapsed() / 1e9);
    }
    volatile char sink = to[4096];
    (void)sink;
    return double(bytes) / 1e9 / best;
}

} // namespace bench

int main(int argc, char** argv)
{
    Allocator::tuneForPictures();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string filter = argc > 1 ? argv[1] : "";
    std::printf("machine_memcpy_gbps %.2f\n", bench::memcpyGigabytesPerSecond());
    std::fflush(stdout);
    for (auto& [name, fn] : bench::cases()) {
        if (!filter.empty() && name.find(filter) == std::string::npos)
            continue;
        bench::Context ctx;
        fn(ctx);
        if (ctx.samples.empty())
            continue;
        std::sort(ctx.samples.begin(), ctx.samples.end());
        const double median = ctx.samples[ctx.samples.size() / 2];
        std::printf("%s %.2f\n", name.c_str(), median);
        std::fflush(stdout);
    }
    return 0;
}
