// Rolling statistics over n = 10^5 rows of p = 4 series: input elements per
// second of the rolling mean, variance and standard deviation at windows of
// 5, 50, 500 and 5000 rows, on a stationary panel and (drift:1) on drifting
// random walks. A rolling statistic slides its running state by one row per
// output row, so the rate should not depend on the window.
#include <benchmark/benchmark.h>

#include <vector>

#include "trova.h"

namespace {

constexpr i64 kN = 100000, kP = 4;

// A level of 100 with a deterministic pseudo-random spread in [-0.5, 0.5).
std::vector<f64> panel() {
    std::vector<f64> x(static_cast<std::size_t>(kN * kP));
    u64 s = 0x9E3779B97F4A7C15ULL;
    for (f64& v : x) {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        v = 100.0 + static_cast<f64>(s >> 11) * 0x1.0p-53 - 0.5;
    }
    return x;
}

// A random walk with a trend, the walk's steps the panel's spread: the
// rolling statistics keep recomputing columns from their windows as the
// level moves away.
std::vector<f64> drifting_panel() {
    std::vector<f64> x = panel();
    for (i64 t = 1; t < kN; ++t)
        for (i64 c = 0; c < kP; ++c) x[t * kP + c] = x[(t - 1) * kP + c] + (x[t * kP + c] - 100.0) + 0.05;
    return x;
}

enum Kind { kMean, kVar, kStd };

void BM_Rolling(benchmark::State& state) {
    const Kind kind = static_cast<Kind>(state.range(0));
    const i64 window = state.range(1);
    const std::vector<f64> x = state.range(2) ? drifting_panel() : panel();
    // The kernels' scratch is what their sizers give beyond the input.
    const arena_size lane = kind == kMean ? trova_rolling_mean_arena_size(kN, kP, window)
                                          : trova_rolling_var_arena_size(kN, kP, window);
    std::vector<f64> scratch(static_cast<std::size_t>(lane.n_float - kN * kP));
    std::vector<f64> out(static_cast<std::size_t>((kN - window + 1) * kP));
    for (auto _ : state) {
        i64 status = 0;
        if (kind == kMean)
            status = trova_rolling_mean(x.data(), kN, kP, window, scratch.data(), out.data());
        else if (kind == kVar)
            status = trova_rolling_var(x.data(), kN, kP, window, 1, scratch.data(), out.data());
        else
            status = trova_rolling_std(x.data(), kN, kP, window, 1, scratch.data(), out.data());
        if (status != 0) state.SkipWithError("invalid dimensions");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kN * kP);
    state.SetLabel(kind == kMean ? "mean" : kind == kVar ? "var" : "std");
}
BENCHMARK(BM_Rolling)
    ->ArgsProduct({{kMean, kVar, kStd}, {5, 50, 500, 5000}, {0}})
    ->ArgsProduct({{kMean, kVar}, {5, 50, 500, 5000}, {1}})
    ->ArgNames({"kind", "window", "drift"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
