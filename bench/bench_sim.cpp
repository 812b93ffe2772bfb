// Random fills and simulation steps.
//
// Fills: values per second of the Philox normal and uniform fills at 10^6
// values (bench/peer_rng.py compares them with NumPy in one process).
// Simulation: one step call over T = 1000 periods; "per_period" is the time
// per period, "GFLOPs" the rate of the recursion's multiply-adds (two flops
// each) and "of_peak" that rate over one core's fused multiply-add peak
// (bench_common.h).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "bench_common.h"
#include "trova.h"

namespace {

void BM_PhiloxFill(benchmark::State& state) {
    const i64 n = state.range(0);
    const bool uniform = state.range(1) != 0;
    std::vector<f64> out(static_cast<std::size_t>(n));
    trova_philox_state st;
    trova_philox_seed(&st, 1, 2, 3, 4);
    for (auto _ : state) {
        if (uniform)
            trova_philox_standard_uniform_fill(&st, n, out.data());
        else
            trova_philox_standard_normal_fill(&st, n, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.SetLabel(uniform ? "uniform" : "normal");
}
BENCHMARK(BM_PhiloxFill)->Args({1000000, 0})->Args({1000000, 1})->Unit(benchmark::kMillisecond);

void BM_PhiloxNextU64(benchmark::State& state) {
    trova_philox_state st;
    trova_philox_seed(&st, 1, 2, 3, 4);
    u64 acc = 0;
    for (auto _ : state) {
        for (int k = 0; k < 1024; ++k) acc += trova_philox_next_u64(&st);
    }
    benchmark::DoNotOptimize(acc);
    state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_PhiloxNextU64);

std::vector<f64> filled(i64 count, f64 scale, u64 seed) {
    std::vector<f64> v(static_cast<std::size_t>(count));
    trova_philox_state st;
    trova_philox_seed(&st, seed, 0, 0, 0);
    trova_philox_standard_normal_fill(&st, count, v.data());
    for (f64& x : v) x *= scale;
    return v;
}

// First order, n states, k shocks (the study's 7 and 5, on the small
// loop; 20 and 5, 60 and 10), T = 1000, no measurement.
void BM_SimulateOrder1Step(benchmark::State& state) {
    const i64 n = state.range(0), k = state.range(1), T = 1000;
    std::vector<f64> arena = filled(trova_simulate_order1_arena_size(n, k, T, 0), 1.0, 9);
    for (i64 j = 0; j < n * n; ++j) arena[static_cast<std::size_t>(j)] *= 0.9 / std::sqrt(2.0 * n);
    std::vector<f64> out(static_cast<std::size_t>(T * n));
    for (auto _ : state) {
        trova_simulate_order1_step(arena.data(), nullptr, T, n, k, 0, 0, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    trova_bench::report_periods(state, static_cast<double>(T), 2.0 * static_cast<double>(n * n + n * k));
}
BENCHMARK(BM_SimulateOrder1Step)->Args({7, 5})->Args({20, 5})->Args({60, 10});

// Pruned second order, nx states, ny controls (5 and 2 on the small loop;
// 6 and 10), 3 shocks, T = 1000, no measurement.
void BM_SimulateOrder2Step(benchmark::State& state) {
    const i64 nx = state.range(0), ny = state.range(1), ne = 3, T = 1000;
    std::vector<f64> arena = filled(trova_simulate_order2_arena_size(nx, nx + ny, ne, T, 0), 0.05, 10);
    std::vector<f64> out(static_cast<std::size_t>(T * (nx + ny)));
    for (auto _ : state) {
        trova_simulate_order2_step(arena.data(), nullptr, T, nx, ny, ne, 0, 0, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    // Multiply-adds per period: hx x1, bx eps, hx x2, hxx (x1 x1), gx x and
    // gxx (x1 x1), plus the two outer products (one multiply each).
    const double nx2 = static_cast<double>(nx * nx);
    const double fma = static_cast<double>(nx) * (2.0 * nx + ne + nx2) + static_cast<double>(ny) * (nx + nx2);
    trova_bench::report_periods(state, static_cast<double>(T), 2.0 * fma + 2.0 * nx2);
}
BENCHMARK(BM_SimulateOrder2Step)->Args({5, 2})->Args({6, 10});

}  // namespace

BENCHMARK_MAIN();
