// The runner's success path must not touch the heap. This binary replaces
// malloc and its relatives with counting wrappers around glibc's allocator
// and counts what a run allocates once the OpenMP thread pool exists.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <vector>

#include "pipeline_builder.h"
#include "test_steps.h"
#include "trova_mc.h"
#include "trova_sim.h"

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
    trova_mc_runner_ctx& ctx = p.context();
    int status = -99;
    ASSERT_EQ(trova_mc_run(&ctx), 0);
    EXPECT_EQ(allocations_during(ctx, &status), 0);
    EXPECT_EQ(status, 0);
    for (i64 r = 0; r < n_rep; ++r) EXPECT_EQ(p.failure_step[static_cast<std::size_t>(r)], -1);
}

}  // namespace

#else

TEST(RunnerHeap, SkippedUnderSanitizers) { GTEST_SKIP() << "the sanitizer owns malloc"; }

#endif
