#pragma once

#include <QImage>
#include <QString>

#include <functional>
#include <string>

// A small benchmark harness: every case registers itself with a name; the
// program runs the cases whose name contains the filter argument and prints
// one line per case, "NAME MEDIAN_MS".
namespace bench {

class Context {
public:
    // Runs the body `runs` times (after one warm-up run unless told otherwise)
    // and records each duration; the case's line shows their median.
    void measure(const std::function<void()>& body, int runs = 7, bool warmUp = true);
    // Records a duration measured by the case itself, in milliseconds.
    void record(double milliseconds);
    // Prints an extra line "NAME VALUE" (a size ratio, a worst-case time...).
    void report(const std::string& name, double value);

    std::vector<double> samples;
};

using CaseFn = std::function<void(Context&)>;
bool registerCase(const std::string& name, CaseFn fn);

// Photographic test content, made once per run and cached: smooth gradients,
// fine noise and hard edges, so that neither compression nor blurs see a flat
// picture. Opaque unless `withAlpha`, which adds soft and hard transparent areas.
const QImage& photo(int width, int height, bool withAlpha = false);

} // namespace bench

#define VELTRANE_BENCH_CONCAT2(a, b) a##b
#define VELTRANE_BENCH_CONCAT(a, b) VELTRANE_BENCH_CONCAT2(a, b)
#define VELTRANE_BENCH(name)                                                                   \
    static void VELTRANE_BENCH_CONCAT(bench_fn_, name)(bench::Context&);                       \
    static const bool VELTRANE_BENCH_CONCAT(bench_reg_, name) =                                \
        bench::registerCase(#name, VELTRANE_BENCH_CONCAT(bench_fn_, name));                    \
    static void VELTRANE_BENCH_CONCAT(bench_fn_, name)(bench::Context & ctx)
