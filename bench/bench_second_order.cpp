// Second-order perturbation: the structured solve (trova_second_order) and
// the dense reduced solve (trova_second_order_dense) side by side at
// (n, nx) = (2, 1), (4, 2), (10, 4), (20, 8), (40, 15) and (40, 20), the structured one alone
// at (60, 30) and (100, 50), where the dense system (R = n nx (nx + 1) / 2
// unknowns, 8 R^2 bytes: 6.5 GB and 130 GB) no longer fits. Counters: R and
// the process's peak resident set after the runs, in MB, inputs included.
// The structured runs are registered first, so their peaks are not those
// of the dense matrices. At (2, 1) and (4, 2) trova_second_order itself
// takes the dense path (one or two states, small systems).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <vector>

#include "trova.h"

namespace {

// A reproducible random model: entries uniform on (-1, 1), with the
// diagonals of a and b and the state transition scaled so the reduced
// system is well conditioned.
struct Model {
    std::vector<f64> a, b, fxx, gx, hx;
};

Model make_model(i64 n, i64 nx) {
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    auto u = [&s]() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<f64>(s >> 11) * 0x1.0p-52 - 1.0;
    };
    const i64 ny = n - nx;
    Model m;
    m.a.resize(n * n);
    m.b.resize(n * n);
    for (auto& v : m.a) v = 0.2 * u();
    for (auto& v : m.b) v = 0.2 * u();
    for (i64 i = 0; i < n; ++i) {
        m.a[i * n + i] += 2.0;
        m.b[i * n + i] += 2.0;
    }
    m.fxx.resize(n * 4 * n * n);
    for (i64 i = 0; i < n; ++i)
        for (i64 r = 0; r < 2 * n; ++r)
            for (i64 c = 0; c <= r; ++c)
                m.fxx[(i * 2 * n + r) * 2 * n + c] = m.fxx[(i * 2 * n + c) * 2 * n + r] = u();
    m.gx.resize(ny * nx);
    for (auto& v : m.gx) v = u();
    m.hx.resize(nx * nx);
    for (auto& v : m.hx) v = 0.5 * u() / static_cast<f64>(nx);
    return m;
}

using SecondOrderFn = i64 (*)(const f64*, const f64*, const f64*, const f64*, const f64*, i64,
                              i64, f64*, f64*);

void run(benchmark::State& state, SecondOrderFn fn) {
    const i64 n = state.range(0), nx = state.range(1);
    const Model m = make_model(n, nx);
    std::vector<f64> gxx((n - nx) * nx * nx), hxx(nx * nx * nx);
    for (auto _ : state) {
        const i64 st = fn(m.a.data(), m.b.data(), m.fxx.data(), m.gx.data(), m.hx.data(), n, nx,
                          gxx.data(), hxx.data());
        if (st != 0) state.SkipWithError("the second-order solve failed");
        benchmark::DoNotOptimize(hxx.data());
    }
    state.counters["R"] = static_cast<double>(n * nx * (nx + 1) / 2);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    state.counters["peak_MB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
}

void BM_SecondOrder(benchmark::State& state) { run(state, trova_second_order); }
void BM_SecondOrderDense(benchmark::State& state) { run(state, trova_second_order_dense); }

BENCHMARK(BM_SecondOrder)
    ->Args({2, 1})
    ->Args({4, 2})
    ->Args({10, 4})
    ->Args({20, 8})
    ->Args({40, 15})
    ->Args({40, 20})
    ->Args({60, 30})
    ->Args({100, 50})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SecondOrderDense)->Args({2, 1})->Args({4, 2})->Args({10, 4})->Args({20, 8})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SecondOrderDense)
    ->Args({40, 15})
    ->Args({40, 20})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
