// Regression steps: one fit of each of the seven families at n = 200
// observations and p = 10 columns (intercept included), through the step
// function on a lane laid out by its sizer, as a pipeline replication runs
// it. BM_LassoGramCD times the coordinate-descent kernel alone on a Gram
// problem of p = 10 and 50 correlated columns. bench/peer_regression.py
// compares the lasso solvers with scikit-learn's in one process.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "trova.h"

namespace {

constexpr i64 kN = 200, kP = 10;

// X and y filled with standard normal draws of the stream of this seed.
void normal_draws(u64 seed, std::vector<f64>& X, std::vector<f64>& y) {
    trova_philox_state st;
    trova_philox_seed(&st, seed, 0, 0, 0);
    trova_philox_standard_normal_fill(&st, static_cast<i64>(X.size()), X.data());
    trova_philox_standard_normal_fill(&st, static_cast<i64>(y.size()), y.data());
}

struct Data {
    std::vector<f64> X, y;
    Data() : X(kN * kP), y(kN) {
        normal_draws(7, X, y);
        for (i64 r = 0; r < kN; ++r) {
            f64* row = X.data() + r * kP;
            row[0] = 1.0;
            for (i64 j = 2; j < kP; ++j) row[j] = 0.6 * row[1] + 0.8 * row[j];  // correlated columns
            y[r] = 0.5 + 1.5 * row[1] - row[2] + 0.5 * row[4] + 0.7 * y[r];
        }
    }
};

template <class Ctx>
void run(benchmark::State& state, trova_mc_step_fn fn, const Ctx& ctx, arena_size size) {
    static const Data data;
    std::vector<f64> lane(static_cast<std::size_t>(size.n_float));
    std::vector<i64> int_work(static_cast<std::size_t>(size.n_int) + 1), status(1);
    std::vector<f64> out(static_cast<std::size_t>(trova_mc_regression_output_offsets(kP, 1, nullptr)));
    for (auto _ : state) {
        // The bindings' copy of X and y is part of a replication's work.
        std::copy(data.X.begin(), data.X.end(), lane.begin());
        std::copy(data.y.begin(), data.y.end(), lane.begin() + kN * kP);
        if (fn(0, lane.data(), out.data(), int_work.data(), status.data(), &ctx) != 0)
            state.SkipWithError("fit failed");
        benchmark::DoNotOptimize(out.data());
    }
}

// The kernel alone: G = X'X/n, g = X'y/n of a centred n = 200 design whose
// columns share a common factor, penalty 0.05, tolerance 1e-9.
void BM_LassoGramCD(benchmark::State& state) {
    const i64 p = state.range(0);
    std::vector<f64> X(kN * p), y(kN), G(p * p, 0.0), g(p, 0.0), coef(p), Gcoef(p);
    normal_draws(11, X, y);
    for (i64 r = 0; r < kN; ++r) {
        f64* row = X.data() + r * p;
        for (i64 j = 1; j < p; ++j) row[j] = 0.6 * row[0] + 0.8 * row[j];
        for (i64 j = 0; j < p; j += 3) y[r] += row[j];
    }
    for (i64 j = 0; j < p; ++j) {
        f64 mean = 0.0;
        for (i64 r = 0; r < kN; ++r) mean += X[r * p + j];
        for (i64 r = 0; r < kN; ++r) X[r * p + j] -= mean / kN;
    }
    for (i64 r = 0; r < kN; ++r)
        for (i64 i = 0; i < p; ++i) {
            g[i] += X[r * p + i] * y[r] / kN;
            for (i64 j = 0; j < p; ++j) G[i * p + j] += X[r * p + i] * X[r * p + j] / kN;
        }
    for (auto _ : state) {
        if (trova_lasso_gram_cd(G.data(), g.data(), p, 0.05, 100000, 1e-9, coef.data(), Gcoef.data()) != 0)
            state.SkipWithError("no convergence");
        benchmark::DoNotOptimize(coef.data());
    }
}

const f64 kAlphas[8] = {1.0, 0.5, 0.2, 0.1, 0.05, 0.02, 0.01, 0.005};

void BM_Ols(benchmark::State& s) {
    run(s, trova_mc_ols_runner, trova_mc_ols_step_ctx{kN, kP, 1}, trova_mc_ols_work_arena_size(kN, kP));
}
void BM_Ridge(benchmark::State& s) {
    run(s, trova_mc_ridge_runner, trova_mc_ridge_step_ctx{kN, kP, 1, 0.1}, trova_mc_ridge_work_arena_size(kN, kP));
}
void BM_RidgeGrid8(benchmark::State& s) {
    run(s, trova_mc_ridge_gs_runner, trova_mc_ridge_gs_step_ctx{kAlphas, kN, kP, 8, REGRESSION_CRIT_BIC, 1},
        trova_mc_ridge_gs_work_arena_size(kN, kP));
}
void BM_Lasso(benchmark::State& s) {
    run(s, trova_mc_lasso_runner, trova_mc_lasso_step_ctx{kN, kP, 1, 10000, 1e-10, 0.05},
        trova_mc_lasso_work_arena_size(kN, kP));
}
void BM_LassoGrid8(benchmark::State& s) {
    run(s, trova_mc_lasso_gs_runner, trova_mc_lasso_gs_step_ctx{kAlphas, kN, kP, 8, 1, 100, 1e-12},
        trova_mc_lasso_gs_work_arena_size(kN, kP, 1, 8, 100));
}
void BM_ElasticNet(benchmark::State& s) {
    run(s, trova_mc_elastic_net_runner, trova_mc_elastic_net_step_ctx{kN, kP, 1, 10000, 1e-10, 0.05, 0.5},
        trova_mc_elastic_net_work_arena_size(kN, kP));
}
void BM_ElasticNetGrid8(benchmark::State& s) {
    run(s, trova_mc_elastic_net_gs_runner,
        trova_mc_elastic_net_gs_step_ctx{kAlphas, kN, kP, 8, REGRESSION_CRIT_BIC, 1, 10000, 1e-10, 0.5},
        trova_mc_elastic_net_gs_work_arena_size(kN, kP, 1, 8));
}
BENCHMARK(BM_Ols);
BENCHMARK(BM_Ridge);
BENCHMARK(BM_RidgeGrid8);
BENCHMARK(BM_Lasso);
BENCHMARK(BM_LassoGrid8);
BENCHMARK(BM_LassoGramCD)->Arg(10)->Arg(50);
BENCHMARK(BM_ElasticNet);
BENCHMARK(BM_ElasticNetGrid8);

}  // namespace

BENCHMARK_MAIN();
