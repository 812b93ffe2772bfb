// Second-order perturbation (trova_second_order) at (n, nx) = (10, 4),
// (20, 8) and (40, 15): reduced systems of R = n nx (nx + 1) / 2 = 100, 720
// and 4800 unknowns, solved densely. Counters: R, the factorisation's rate
// (2/3 R^3 flops per call) and the process's peak resident set after the
// runs, in MB (the reduced matrix alone takes 8 R^2 bytes).
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

void BM_SecondOrder(benchmark::State& state) {
    const i64 n = state.range(0), nx = state.range(1);
    const Model m = make_model(n, nx);
    std::vector<f64> gxx((n - nx) * nx * nx), hxx(nx * nx * nx);
    for (auto _ : state) {
        const i64 st = trova_second_order(m.a.data(), m.b.data(), m.fxx.data(), m.gx.data(),
                                          m.hx.data(), n, nx, gxx.data(), hxx.data());
        if (st != 0) state.SkipWithError("trova_second_order failed");
        benchmark::DoNotOptimize(hxx.data());
    }
    const double R = static_cast<double>(n * nx * (nx + 1) / 2);
    state.counters["R"] = R;
    state.counters["GFLOPs"] = benchmark::Counter(2.0 / 3.0 * R * R * R * 1e-9,
                                                  benchmark::Counter::kIsIterationInvariantRate);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    state.counters["peak_MB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
}

BENCHMARK(BM_SecondOrder)->Args({10, 4})->Args({20, 8})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SecondOrder)->Args({40, 15})->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
