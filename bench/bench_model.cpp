// Model-solution kernels on the stochastic growth model: complex-step
// linearisations (both Jacobians), bicomplex-step Hessians and Newton steady
// states per second. items_per_second counts kernel calls.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "growth_model.h"
#include "trova_model.h"

namespace {

const f64 kPar[3] = {0.36, 0.99, 0.95};

std::vector<f64> steady_state() {
    const f64 k = std::pow(kPar[0] * kPar[1], 1.0 / (1.0 - kPar[0]));
    return {k, 0.0, (1.0 - kPar[0] * kPar[1]) * std::pow(k, kPar[0])};
}

void BM_Linearise(benchmark::State& state) {
    const auto ss = steady_state();
    const i64 log_linear = state.range(0);
    // In logs z = 0 has no logarithm; linearise at a positive productivity.
    std::vector<f64> x = ss;
    if (log_linear) x[1] = 0.1;
    f64 a[9], b[9];
    for (auto _ : state) {
        benchmark::DoNotOptimize(klein_preproc(growth_residual_c128, x.data(), kPar, 3, 3, 3,
                                               log_linear, a, b));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Linearise)->Arg(0)->Arg(1);

void BM_Hessian(benchmark::State& state) {
    const auto ss = steady_state();
    f64 H[3 * 36];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            trova_bicomplex_hessian(growth_residual_bc256, ss.data(), kPar, 3, 3, 3, 1e-20, H));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Hessian);

void BM_SteadyState(benchmark::State& state) {
    const auto ss0 = steady_state();
    const f64 seed[3] = {ss0[0] * 1.3, 0.05, ss0[2] * 0.8};
    f64 ss[3];
    i64 iters = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(trova_steady_state_newton(growth_residual_c128, seed, kPar, 3, 3, 50,
                                                           1e-13, ss, &iters));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["newton_updates"] = static_cast<double>(iters);
}
BENCHMARK(BM_SteadyState);

}  // namespace

BENCHMARK_MAIN();
