// The runner's success path must not touch the heap. This binary replaces
// malloc and its relatives with counting wrappers around glibc's allocator
// and counts what a run allocates once the OpenMP thread pool exists.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <vector>

#include "_common/layout.h"
#include "pipeline_builder.h"
#include "test_steps.h"
#include "trova_mc.h"
#include "trova_kalman.h"
#include "trova_regression.h"
#include "trova_sim.h"
#include "trova_transforms.h"

#ifndef TROVA_SANITIZE

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
void note_allocation() {
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t n) {
    note_allocation();
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) {
    note_allocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) {
    note_allocation();
    return __libc_realloc(p, n);
}
void* aligned_alloc(std::size_t align, std::size_t n) {
    note_allocation();
    return __libc_memalign(align, n);
}
void* memalign(std::size_t align, std::size_t n) {
    note_allocation();
    return __libc_memalign(align, n);
}
int posix_memalign(void** out, std::size_t align, std::size_t n) {
    note_allocation();
    *out = __libc_memalign(align, n);
    return *out != nullptr ? 0 : 12;  // ENOMEM
}
}

namespace {

using trova_test::Lanes;
using trova_test::Pipeline;

long allocations_during(trova_mc_runner_ctx& ctx, int* status) {
    g_allocations = 0;
    g_counting = true;
    *status = trova_mc_run(&ctx);
    g_counting = false;
    return g_allocations.load();
}

// Runs once to create the thread pool, then counts the allocations of a
// second run, which must succeed for every replication.
void expect_successful_run_allocates_nothing(Pipeline& p, i64 n_rep) {
    trova_mc_runner_ctx& ctx = p.context();
    int status = -99;
    ASSERT_EQ(trova_mc_run(&ctx), 0);
    EXPECT_EQ(allocations_during(ctx, &status), 0);
    EXPECT_EQ(status, 0);
    for (i64 r = 0; r < n_rep; ++r) EXPECT_EQ(p.failure_step[static_cast<std::size_t>(r)], -1);
}

TEST(RunnerHeap, CountingWrapperSeesAllocations) {
    g_allocations = 0;
    g_counting = true;
    std::vector<double>* v = new std::vector<double>(100);
    g_counting = false;
    delete v;
    EXPECT_GE(g_allocations.load(), 2);
}

TEST(RunnerHeap, SuccessfulRunsAllocateNothing) {
    const i64 n_rep = 64, n = 8;
    std::vector<f64> data(static_cast<std::size_t>(n_rep * n));
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = 0.01 * static_cast<f64>(k);
    std::vector<i64> cols = {7, 6, 5, 4, 3, 2, 1, 0};
    trova_mc_payload_step_ctx pay{data.data(), n, 1};
    trova_test::ChurnCtx churn{n, 3};
    Pipeline p(n_rep, 2);
    p.add_step(trova_mc_payload_runner, &pay, Lanes{0, n, 0, 1});
    p.add_step(trova_test::churn_step, &churn, Lanes{n, n, 0, 0});
    p.bind(1, Pipeline::copy(0, 0, n, 0, 1, cols, 0, n));
    for (int profile : {0, 1}) {
        for (int fail_fast : {0, 1}) {
            trova_mc_runner_ctx& ctx = p.context(fail_fast, profile);
            int status = -99;
            ASSERT_EQ(trova_mc_run(&ctx), 0);  // warm-up: the thread pool is created here
            EXPECT_EQ(allocations_during(ctx, &status), 0)
                << "profile " << profile << " fail_fast " << fail_fast;
            EXPECT_EQ(status, 0);
            for (i64 r = 0; r < n_rep; ++r) EXPECT_EQ(p.failure_step[static_cast<std::size_t>(r)], -1);
        }
    }
}

// Shock draws and both simulation steps: the model blocks are filled with a
// small constant, the shocks come from a normal and a uniform entry.
TEST(RunnerHeap, SimulationStepsAllocateNothing) {
    const i64 n_rep = 32, T = 50, nx = 3, ny = 2, ne = 2;
    const std::vector<i64> cols = {0, 1}, col1 = {1};
    const std::vector<f64> factor = {1.0, 0.0, 0.5, 1.0};
    trova_mc_shock_entry e[2] = {};
    e[0].width = 2;
    e[0].columns = cols.data();
    e[0].factor = factor.data();
    e[0].key = 7;
    e[1].family = 1;
    e[1].width = 1;
    e[1].columns = col1.data();
    e[1].span = 1.0;
    e[1].key = 7;
    e[1].entry_idx = 1;
    const trova_mc_shock_plan plan{e, 2, T, ne, 1.0, 2};
    const i64 scratch = trova_mc_shock_scratch_size(&plan);
    const i64 size1 = trova_simulate_order1_arena_size(nx, ne, T, 0);
    const i64 size2 = trova_simulate_order2_arena_size(nx, nx + ny, ne, T, 0);
    trova_mc_simulate_order1_step_ctx c1{nullptr, T, nx, ne, 0, 0, &plan, size1};
    trova_mc_simulate_order2_step_ctx c2{nullptr, T, nx, ny, ne, 0, 0, &plan, size2};
    Pipeline p(n_rep, 2);
    p.add_step(trova_mc_simulate_order1_runner, &c1, Lanes{size1 + scratch, T * nx, 0, 1});
    p.add_step(trova_mc_simulate_order2_runner, &c2, Lanes{size2 + scratch, T * (nx + ny), 0, 1});
    p.bind(0, Pipeline::fill(0.1, 1, size1, 0, size1));
    p.bind(1, Pipeline::fill(0.1, 1, size2, 0, size2));
    expect_successful_run_allocates_nothing(p, n_rep);
}

// Observes the first variable, for the unscented filter.
void first_variable(const f64* vars, const f64*, f64* out) { out[0] = vars[0]; }

// Blocks laid out one after another as the library packs an input (with
// its gaps in a gap build), the gaps zero.
std::vector<f64> packed(std::initializer_list<std::vector<f64>> blocks) {
    trova::layout::Carver c;
    std::vector<i64> at;
    for (const std::vector<f64>& b : blocks) at.push_back(c.at(static_cast<i64>(b.size())));
    std::vector<f64> out(static_cast<std::size_t>(c.offset()), 0.0);
    std::size_t i = 0;
    for (const std::vector<f64>& b : blocks) std::copy(b.begin(), b.end(), out.begin() + at[i++]);
    return out;
}

// All three filters on packed inputs copied whole from static data.
TEST(RunnerHeap, FilterStepsAllocateNothing) {
    const i64 n_rep = 16, T = 30;
    std::vector<f64> y, obs;
    for (i64 t = 0; t < T; ++t) {
        y.push_back(0.1 * static_cast<f64>(t % 7));
        obs.push_back(1.0 + 0.05 * static_cast<f64>(t % 5));
    }
    const std::vector<f64> A = {0.5, 0.1, 0.0, 0.4}, B = {1.0, 0.5}, x0 = {0.0, 0.0}, P0 = {1.0, 0.0, 0.0, 1.0};
    // Linear filter, n = 2, m = 1, k = 1: A | B | C | d | Q | R | y | x0 | P0.
    const std::vector<f64> lin = packed({A, B, {1.0, 1.0}, {0.0}, {1.0}, {0.1}, y, x0, P0});
    // Extended filter on the same model: A | B | params | Q | R | y | x0 | P0.
    const std::vector<f64> ext = packed({A, B, {}, {1.0}, {0.1}, y, x0, P0});
    // Unscented filter, ns = 1, nc = 1, ne = 1, no = 1: hx | gx | bx | hxx |
    // gxx | hss | gss | steady_state | params | Q | R | obs | z0 | P0.
    const std::vector<f64> uns = packed({{0.6}, {0.3}, {1.0}, {0.1}, {0.05}, {0.01}, {0.02}, {1.0, 2.0}, {},
                                         {0.5}, {0.1}, obs, {0.0, 0.0}, {0.2, 0.0, 0.0, 0.2}});
    EXPECT_EQ(static_cast<i64>(lin.size()), trova_filter_linear_input_arena_size(2, 1, 1, T));
    EXPECT_EQ(static_cast<i64>(ext.size()), trova_filter_extended_input_arena_size(2, 1, 1, T, 0));
    EXPECT_EQ(static_cast<i64>(uns.size()), trova_filter_unscented_input_arena_size(1, 1, 1, 1, T, 0));
    const auto whole = [](const std::vector<f64>& src) { return Pipeline::whole(src, 0); };
    trova_mc_filter_linear_step_ctx kf{T, 2, 1, 1, 1, 0.0, 1};
    trova_mc_filter_extended_step_ctx ekf{
        [](const f64* x, const f64*, f64* out) { out[0] = x[0] + x[1]; },
        [](const f64*, const f64*, f64* out) { out[0] = out[1] = 1.0; }, T, 2, 1, 1, 0, 1, 0.0, 1};
    trova_mc_filter_unscented_step_ctx ukf{first_variable, T, 1, 1, 1, 1, 0, 0.5, 2.0, 0.0, 1, 0.0};
    Pipeline p(n_rep, 2);
    p.add_step(trova_mc_filter_linear_runner, &kf,
               Lanes{static_cast<i64>(lin.size()) + kf_arena_size(2, 1, 1).n_float,
                     trova_filter_linear_output_arena_size(2, 1, 1, T, 1), 0, 1});
    p.add_step(trova_mc_filter_extended_runner, &ekf,
               Lanes{static_cast<i64>(ext.size()) + ekf_arena_size(2, 1, 1).n_float,
                     trova_filter_extended_output_arena_size(2, 1, 1, T, 1), 0, 1});
    p.add_step(trova_mc_filter_unscented_runner, &ukf,
               Lanes{static_cast<i64>(uns.size()) + ukf_arena_size(1, 1, 1, 1).n_float,
                     trova_filter_unscented_output_arena_size(1, 1, 1, T), 0, 1});
    p.bind(0, whole(lin));
    p.bind(1, whole(ext));
    p.bind(2, whole(uns));
    expect_successful_run_allocates_nothing(p, n_rep);
}

// Regression fits, one per family, on the same static data.
TEST(RunnerHeap, RegressionStepsAllocateNothing) {
    const i64 n_rep = 8, n = 40, p = 3;
    std::vector<f64> data(static_cast<std::size_t>(n * (p + 1)));
    for (i64 i = 0; i < n; ++i) {
        const f64 t = static_cast<f64>(i);
        f64* row = data.data() + i * p;
        row[0] = 1.0;
        row[1] = std::sin(0.7 * t);
        row[2] = std::cos(1.3 * t) + 0.1 * t;
        data[static_cast<std::size_t>(n * p + i)] = 0.5 + row[1] - 0.2 * row[2] + 0.05 * std::sin(5.0 * t);
    }
    const f64 grid[2] = {0.1, 0.01};
    const trova_mc_ols_step_ctx ols{n, p, 1};
    const trova_mc_ridge_step_ctx ridge{n, p, 1, 0.1};
    const trova_mc_ridge_gs_step_ctx ridge_gs{grid, n, p, 2, 2, 1};
    const trova_mc_lasso_step_ctx lasso{n, p, 1, 10000, 1e-10, 0.01};
    const trova_mc_lasso_gs_step_ctx lasso_gs{grid, n, p, 2, 1, 20, 1e-12};
    const trova_mc_elastic_net_step_ctx en{n, p, 1, 10000, 1e-10, 0.01, 0.5};
    const trova_mc_elastic_net_gs_step_ctx en_gs{grid, n, p, 2, 2, 1, 10000, 1e-10, 0.5};
    Pipeline pl(n_rep, 2);
    // Each lane starts with X (n x p), then y (n).
    trova::layout::Carver lane;
    const i64 x_at = lane.at(n, p), y_at = lane.at(n);
    const auto add = [&](trova_mc_step_fn fn, const void* ctx, arena_size size) {
        const i64 s = pl.add_step(fn, ctx, Lanes{size.n_float, trova_mc_regression_output_offsets(p, 1, nullptr),
                                                 size.n_int, 1});
        pl.bind(s, Pipeline::whole(data.data(), n * p, x_at));
        pl.bind(s, Pipeline::whole(data.data() + n * p, n, y_at));
    };
    add(trova_mc_ols_runner, &ols, trova_mc_ols_work_arena_size(n, p));
    add(trova_mc_ridge_runner, &ridge, trova_mc_ridge_work_arena_size(n, p));
    add(trova_mc_ridge_gs_runner, &ridge_gs, trova_mc_ridge_gs_work_arena_size(n, p));
    add(trova_mc_lasso_runner, &lasso, trova_mc_lasso_work_arena_size(n, p));
    add(trova_mc_lasso_gs_runner, &lasso_gs, trova_mc_lasso_gs_work_arena_size(n, p, 1, 2, 20));
    add(trova_mc_elastic_net_runner, &en, trova_mc_elastic_net_work_arena_size(n, p));
    add(trova_mc_elastic_net_gs_runner, &en_gs, trova_mc_elastic_net_gs_work_arena_size(n, p, 1, 2));
    expect_successful_run_allocates_nothing(pl, n_rep);
}

// Column sums of the input, for the user-transform step.
i64 column_sums(f64* in, f64* out, i64 n_in, i64 p_in, i64, i64) {
    for (i64 c = 0; c < p_in; ++c) out[c] = 0.0;
    for (i64 r = 0; r < n_in; ++r)
        for (i64 c = 0; c < p_in; ++c) out[c] += in[r * p_in + c];
    return 0;
}

// Every transform step, including the user transform, on a 200 x 5 panel.
TEST(RunnerHeap, TransformStepsAllocateNothing) {
    const i64 n_rep = 16, n = 200, p = 5, w = 20;
    const trova_mc_standardize_step_ctx standardize{n, p, 1};
    const trova_mc_log_step_ctx log_ctx{n, p, 1.0};
    const trova_mc_log_diff_step_ctx log_diff{n, p, 1.0};
    const trova_mc_diff_step_ctx diff{n, p, 2};
    const trova_mc_rolling_mean_step_ctx rolling_mean{n, p, w};
    const trova_mc_rolling_var_step_ctx rolling_var{n, p, w, 1};
    const trova_mc_user_transform_step_ctx user{column_sums, n, p, 1, p};
    Pipeline pipe(n_rep, 2);
    pipe.add_step(trova_mc_standardize_runner, &standardize,
                  Lanes{trova_standardize_ax0_arena_size(n, p).n_float, n * p, 0, 1});
    pipe.add_step(trova_mc_log_runner, &log_ctx, Lanes{trova_log_arena_size(n, p).n_float, n * p, 0, 1});
    pipe.add_step(trova_mc_log_diff_runner, &log_diff,
                  Lanes{trova_log_diff_arena_size(n, p).n_float, (n - 1) * p, 0, 1});
    pipe.add_step(trova_mc_diff_runner, &diff, Lanes{trova_diff_arena_size(n, p, 2).n_float, (n - 2) * p, 0, 1});
    pipe.add_step(trova_mc_rolling_mean_runner, &rolling_mean,
                  Lanes{trova_rolling_mean_arena_size(n, p, w).n_float, (n - w + 1) * p, 0, 1});
    pipe.add_step(trova_mc_rolling_var_runner, &rolling_var,
                  Lanes{trova_rolling_var_arena_size(n, p, w).n_float, (n - w + 1) * p, 0, 1});
    pipe.add_step(trova_mc_rolling_std_runner, &rolling_var,
                  Lanes{trova_rolling_std_arena_size(n, p, w).n_float, (n - w + 1) * p, 0, 1});
    pipe.add_step(trova_mc_user_transform_runner, &user, Lanes{n * p, p, 0, 1});
    for (i64 s = 0; s < 8; ++s) pipe.bind(s, Pipeline::fill(1.5, n, p, 0, p));
    expect_successful_run_allocates_nothing(pipe, n_rep);
}

}  // namespace

#else

TEST(RunnerHeap, SkippedUnderSanitizers) { GTEST_SKIP() << "the sanitizer owns malloc"; }

#endif
