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

}  // namespace

#else

TEST(RunnerHeap, SkippedUnderSanitizers) { GTEST_SKIP() << "the sanitizer owns malloc"; }

#endif
