// Kalman filters over T = 200 periods.
//
// Linear filter at (n, m, k) = (4, 3, 3), (5, 2, 2), (8, 8, 8), (20, 4, 4), (50, 8, 8), and with
// more observables than states at (4, 12, 12), with the histories off
// (log-likelihood only) and on. "GFLOPs" counts the
// multiply-adds of the symmetric path per period, two flops each:
// A P (n^3), the lower half of (A P) A' (n^3 / 2), H P and S (m n^2 + m^2 n),
// the gain (m^2 n), and the regrouped Joseph update K (H P), M H', K R and
// the lower half of W K' (2.5 n^2 m + n m^2). bench/peer_kalman.py compares
// the same filter with statsmodels in one process.
// Unscented filter at (ns, nc, ne, no) = (6, 8, 3, 4) (the general loop) and at
// the DSGE study's (2, 2, 1, 3) (the fixed-size loop), histories off and on:
// time per period.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "bench_common.h"
#include "trova.h"

namespace {

constexpr i64 kT = 200;

// Deterministic pseudo-random values in [-0.5, 0.5).
struct Fill {
    u64 s = 0x9E3779B97F4A7C15ULL;
    f64 operator()() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<f64>(s >> 11) * 0x1.0p-53 - 0.5;
    }
};

void diagonal(std::vector<f64>& M, i64 n, f64 v) {
    for (i64 i = 0; i < n; ++i) M[static_cast<std::size_t>(i * n + i)] = v;
}

void BM_LinearFilter(benchmark::State& state) {
    const i64 n = state.range(0), m = state.range(1), k = m;
    const int history = static_cast<int>(state.range(2));
    Fill rnd;
    std::vector<f64> A(n * n), B(n * k), C(m * n), d(m), Q(k * k), R(m * m), y(kT * m), x0(n), P0(n * n);
    for (f64& v : A) v = 1.6 * rnd() / std::sqrt(static_cast<f64>(n));
    for (auto* v : {&B, &C, &d, &y, &x0})
        for (f64& e : *v) e = rnd();
    diagonal(Q, k, 1.0);
    diagonal(R, m, 0.5);
    diagonal(P0, n, 1.0);
    kf_inputs in{n,        m,        k,         kT,      A.data(),  B.data(), C.data(), d.data(), Q.data(),
                 R.data(), y.data(), x0.data(), P0.data(), 0,       0.0,       0,        history};
    std::vector<f64> xs(kT * n), Ps(kT * n * n), ys(kT * m), Ss(kT * m * m), ll(1);
    std::vector<f64> Ps2(Ps.size()), xs2(xs.size()), ys2(ys.size()), ys3(ys.size()), ys4(ys.size());
    const kf_outputs out{xs.data(),  xs2.data(), Ps.data(),  Ps2.data(), ys.data(), ys2.data(),
                         ys3.data(), ys4.data(), Ss.data(),  nullptr,    ll.data()};
    std::vector<f64> arena(static_cast<std::size_t>(kf_arena_size(n, m, k).n_float));
    for (auto _ : state) {
        if (kf_hot_loop(&in, arena.data(), &out) != 0) state.SkipWithError("filter failed");
        benchmark::DoNotOptimize(ll.data());
    }
    const double N = static_cast<double>(n), M = static_cast<double>(m);
    const double fma = 1.5 * N * N * N + M * N * N + M * M * N + M * M * N + 2.5 * N * N * M + N * M * M;
    trova_bench::report_periods(state, static_cast<double>(kT), 2.0 * fma);
    state.SetLabel(history ? "histories" : "loglik only");
}
BENCHMARK(BM_LinearFilter)
    ->Args({4, 3, 0})->Args({4, 3, 1})->Args({5, 2, 0})->Args({5, 2, 1})->Args({8, 8, 0})->Args({20, 4, 0})->Args({50, 8, 0})->Args({50, 8, 1})->Args({4, 12, 0})
    ->Unit(benchmark::kMicrosecond);

// y = the first no variables in levels (no = params[0]).
void first_variables(const f64* vars, const f64* params, f64* out) {
    for (int j = 0; j < static_cast<int>(params[0]); ++j) out[j] = vars[j];
}

void BM_UnscentedFilter(benchmark::State& state) {
    const i64 ns = state.range(0), nc = state.range(1), ne = state.range(2), no = state.range(3), nz = 2 * ns;
    const int history = static_cast<int>(state.range(4));
    Fill rnd;
    std::vector<f64> hx(ns * ns), gx(nc * ns), bx(ns * ne), hxx(ns * ns * ns), gxx(nc * ns * ns), hss(ns),
        gss(nc), ss(ns + nc), params(1), Q(ne * ne), R(no * no), obs(kT * no), z0(nz), P0(nz * nz);
    for (f64& v : hx) v = 1.2 * rnd() / std::sqrt(static_cast<f64>(ns));
    for (auto* v : {&gx, &bx, &ss, &obs})
        for (f64& e : *v) e = rnd();
    for (auto* v : {&hxx, &gxx, &hss, &gss})
        for (f64& e : *v) e = 0.1 * rnd();
    diagonal(Q, ne, 0.1);
    diagonal(R, no, 0.1);
    diagonal(P0, nz, 0.1);
    params[0] = static_cast<f64>(no);
    const ukf_inputs in{first_variables, hx.data(), gx.data(), bx.data(), hxx.data(), gxx.data(), hss.data(),
                        gss.data(), ss.data(), params.data(), Q.data(), R.data(), obs.data(), z0.data(),
                        P0.data(), kT, ns, nc, ne, no, 1, 0.5, 2.0, 0.0, 0.0, 1, history};
    std::vector<f64> ll(1), xs(kT * 4 * ns), vs(kT * 2 * (ns + nc)), Ps(kT * 2 * nz * nz), ys(kT * 4 * no),
        Ss(kT * no * no);
    const ukf_outputs out{xs.data(),          xs.data() + kT * ns, xs.data() + 2 * kT * ns, xs.data() + 3 * kT * ns,
                          vs.data(),          vs.data() + kT * (ns + nc), Ps.data(), Ps.data() + kT * nz * nz,
                          ys.data(),          ys.data() + kT * no, ys.data() + 2 * kT * no, ys.data() + 3 * kT * no,
                          Ss.data(),          ll.data()};
    std::vector<f64> arena(static_cast<std::size_t>(ukf_arena_size(ns, nc, ne, no).n_float));
    for (auto _ : state) {
        if (ukf_hot_loop(&in, arena.data(), &out) != 0) state.SkipWithError("filter failed");
        benchmark::DoNotOptimize(ll.data());
    }
    state.counters["per_period"] = benchmark::Counter(
        static_cast<double>(kT), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_UnscentedFilter)
    ->Args({6, 8, 3, 4, 0})->Args({2, 2, 1, 3, 0})->Args({2, 2, 1, 3, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
