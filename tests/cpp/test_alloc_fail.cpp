// Heap-exhaustion paths of the model-solution kernels. This binary replaces
// malloc and free with wrappers around glibc's allocator that can fail the
// n-th allocation of a call and count the blocks still live after it, so
// every failure point is visited and checked for a -1 status and no leak.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <vector>

#include "trova_model.h"
#include "trova_qz.h"

#ifndef TROVA_SANITIZE

namespace {
bool g_armed = false;
long g_fail_at = -1;  // index of the allocation to fail while armed
long g_count = 0;     // allocations requested while armed
long g_live = 0;      // blocks obtained while armed and not yet freed
std::vector<void*> g_blocks;
}  // namespace

extern "C" {
void* __libc_malloc(std::size_t);
void __libc_free(void*);

void* malloc(std::size_t n) {
    if (!g_armed) return __libc_malloc(n);
    g_armed = false;  // the bookkeeping below may allocate
    void* p = nullptr;
    if (g_count++ != g_fail_at) {
        p = __libc_malloc(n);
        ++g_live;
        g_blocks.push_back(p);
    }
    g_armed = true;
    return p;
}

void free(void* p) {
    if (p != nullptr && g_armed) {
        g_armed = false;
        for (auto& q : g_blocks)
            if (q == p) {
                q = nullptr;
                --g_live;
                break;
            }
        g_armed = true;
    }
    __libc_free(p);
}
}  // extern "C"

namespace {

// Runs call with allocation k failing, for k = 0, 1, ... until a run makes no
// failing request. Every run must leak nothing and return -1 when an
// allocation failed, 0 otherwise; check(k, failed) then inspects the outputs.
// Returns the number of runs.
long for_each_failure(const std::function<i64()>& call,
                      const std::function<void(long, bool)>& check) {
    g_blocks.reserve(1024);
    for (long k = 0; k < 200; ++k) {
        g_fail_at = k;
        g_count = 0;
        g_live = 0;
        g_blocks.clear();
        g_armed = true;
        const i64 status = call();
        g_armed = false;
        EXPECT_EQ(g_live, 0) << "blocks leaked with allocation " << k << " failing";
        const bool failed = g_count > k;
        EXPECT_EQ(status, failed ? -1 : 0) << "allocation " << k << " failing";
        check(k, failed);
        if (!failed) return k + 1;
    }
    ADD_FAILURE() << "the call kept allocating";
    return -1;
}

// f0 = fwd0 * cur1 - 0.5 cur0, f1 = fwd1 - cur0^2.
void two_var_model(const c128* fwd, const c128* cur, const c128*, c128* out) {
    out[0] = c128{fwd[0].re * cur[1].re - fwd[0].im * cur[1].im - 0.5 * cur[0].re,
                  fwd[0].re * cur[1].im + fwd[0].im * cur[1].re - 0.5 * cur[0].im};
    out[1] = c128{fwd[1].re - (cur[0].re * cur[0].re - cur[0].im * cur[0].im),
                  fwd[1].im - 2.0 * cur[0].re * cur[0].im};
}

class AllocFail : public ::testing::TestWithParam<int> {};

TEST_P(AllocFail, PreprocFailsCleanlyAtEveryAllocation) {
    const int log_linear = GetParam();
    const f64 ss[2] = {0.8, 1.2};
    const f64 par[1] = {0.0};
    std::vector<f64> a(4), b(4);
    const long runs = for_each_failure(
        [&] {
            std::fill(a.begin(), a.end(), -7.0);
            std::fill(b.begin(), b.end(), -7.0);
            return klein_preproc(two_var_model, ss, par, 2, 1, 2, log_linear, a.data(), b.data());
        },
        [&](long k, bool failed) {
            if (!failed) return;
            // A failure before or inside sweep 1 leaves b untouched; one
            // before any sweep leaves a untouched as well.
            if (k < 5) {
                for (f64 v : a) EXPECT_EQ(v, -7.0);
            }
            if (k < 5 + 2 * 2 * log_linear) {
                for (f64 v : b) EXPECT_EQ(v, -7.0);
            }
        });
    // Five work arrays, plus two per evaluation in logarithms (four evaluations).
    EXPECT_EQ(runs, 1 + 5 + (log_linear ? 2 * 4 : 0));
    // The successful run's values: a = df/dfwd, b = -df/dcur (times x_j in logs).
    const f64 s0 = log_linear ? ss[0] : 1.0, s1 = log_linear ? ss[1] : 1.0;
    if (!log_linear) {
        EXPECT_DOUBLE_EQ(a[0], ss[1]);
        EXPECT_DOUBLE_EQ(a[3], 1.0);
        EXPECT_DOUBLE_EQ(b[0], 0.5);
        EXPECT_DOUBLE_EQ(b[1], -ss[0]);
        EXPECT_DOUBLE_EQ(b[2], 2.0 * ss[0]);
    } else {
        const f64 f0 = ss[0] * ss[1] - 0.5 * ss[0], f1 = ss[1] - ss[0] * ss[0];
        EXPECT_NEAR(a[0], s0 * ss[1] / (1 + f0), 1e-14);
        EXPECT_NEAR(a[3], s1 / (1 + f1), 1e-14);
        EXPECT_NEAR(b[1], -s1 * ss[0] / (1 + f0), 1e-14);
        EXPECT_NEAR(b[2], s0 * 2.0 * ss[0] / (1 + f1), 1e-14);
    }
}

INSTANTIATE_TEST_SUITE_P(LevelsAndLogs, AllocFail, ::testing::Values(0, 1));

TEST(AllocFailPath, ResidualPathReportsItsOneAllocation) {
    const c128 x[4] = {{0.8, 0}, {1.2, 0}, {0.9, 0}, {1.1, 0}};
    const c128 par[1] = {{0, 0}};
    f64 res[4];
    const long runs = for_each_failure(
        [&] {
            std::fill(res, res + 4, -7.0);
            return trova_residual_path(two_var_model, x, x, par, 2, 2, 2, res);
        },
        [&](long, bool failed) {
            if (failed) {
                for (f64 v : res) EXPECT_EQ(v, -7.0);
            }
        });
    EXPECT_EQ(runs, 2);
    EXPECT_DOUBLE_EQ(res[0], 0.8 * 1.2 - 0.4);
    EXPECT_DOUBLE_EQ(res[1], 1.2 - 0.64);
}

}  // namespace

#endif  // TROVA_SANITIZE

#ifndef TROVA_SANITIZE
namespace {

// f = M x - c split between the periods (solution (0.8, 1.4)).
void linear_model(const c128* fwd, const c128* cur, const c128*, c128* out) {
    out[0] = c128{1.5 * fwd[0].re + 0.5 * cur[0].re + cur[1].re - 3.0,
                  1.5 * fwd[0].im + 0.5 * cur[0].im + cur[1].im};
    out[1] = c128{fwd[0].re + 2.0 * fwd[1].re + cur[1].re - 5.0,
                  fwd[0].im + 2.0 * fwd[1].im + cur[1].im};
}

TEST(AllocFailSteadyState, EveryAllocationFailsCleanly) {
    const f64 seed[2] = {5.0, -2.0};
    const f64 par[1] = {0.0};
    f64 ss[2];
    i64 iters;
    const long runs = for_each_failure(
        [&] {
            ss[0] = ss[1] = -7.0;
            iters = -7;
            return trova_steady_state_newton(linear_model, seed, par, 2, 1, 5, 1e-12, ss, &iters);
        },
        [&](long k, bool failed) {
            if (failed && k < 8) {  // its own work arrays: outputs untouched
                EXPECT_EQ(ss[0], -7.0);
                EXPECT_EQ(iters, -7);
            }
        });
    // Eight work arrays, five in the linearisation, and what the LU solve takes.
    EXPECT_GE(runs, 1 + 8 + 5 + 1);
    EXPECT_NEAR(ss[0], 0.8, 1e-14);
    EXPECT_NEAR(ss[1], 1.4, 1e-14);
}

void bc_linear(const bc256* fwd, const bc256* cur, const bc256*, bc256* out) {
    out[0] = bc256{c128{fwd[0].a.re + cur[0].a.re, fwd[0].a.im + cur[0].a.im},
                   c128{fwd[0].b.re + cur[0].b.re, fwd[0].b.im + cur[0].b.im}};
}

// One variable takes the all-pairs loop; four take the dependency pattern,
// the skipped pairs and the checks. Both allocate the same seven blocks.
TEST(AllocFailHessian, EveryAllocationFailsCleanly) {
    const f64 ss[4] = {1.0, 0.5, -0.5, 2.0};
    for (i64 n_var : {1, 4}) {
        const i64 m = 2 * n_var;
        std::vector<f64> H(m * m);
        const long runs = for_each_failure(
            [&] {
                std::fill(H.begin(), H.end(), -7.0);
                return trova_bicomplex_hessian(bc_linear, ss, nullptr, n_var, 0, 1, 1e-10, H.data());
            },
            [&](long, bool failed) {
                if (failed) {
                    for (f64 v : H) EXPECT_EQ(v, -7.0);
                }
            });
        EXPECT_EQ(runs, 1 + 7);
        for (f64 v : H) EXPECT_EQ(v, 0.0);
    }
}

// Second order on a small random model (n = 4, nx = 3: three states, so
// trova_second_order takes the structured path), and by the dense path: every failing allocation gives -1 and writes nothing,
// and the successful run's terms agree between the paths.
TEST(AllocFailSecondOrder, BothPathsFailCleanly) {
    const i64 n = 4, nx = 3, ny = 1, n2 = 8;
    std::vector<f64> a(n * n), b(n * n), fxx(n * n2 * n2), gx(ny * nx), hx(nx * nx);
    f64 x = 0.3;
    auto next = [&x]() { return x = std::fmod(x * 7.31 + 0.17, 2.0) - 1.0; };
    for (i64 i = 0; i < n * n; ++i) {
        a[i] = 0.3 * next() + (i % (n + 1) == 0 ? 2.0 : 0.0);
        b[i] = 0.3 * next() + (i % (n + 1) == 0 ? 2.0 : 0.0);
    }
    for (auto& v : fxx) v = next();
    for (auto& v : gx) v = next();
    for (auto& v : hx) v = 0.4 * next();
    std::vector<f64> g[2], h[2];
    for (int dense = 0; dense < 2; ++dense) {
        g[dense].assign(ny * nx * nx, 0.0);
        h[dense].assign(nx * nx * nx, 0.0);
        const long runs = for_each_failure(
            [&] {
                std::fill(g[dense].begin(), g[dense].end(), -7.0);
                std::fill(h[dense].begin(), h[dense].end(), -7.0);
                auto fn = dense ? trova_second_order_dense : trova_second_order;
                return fn(a.data(), b.data(), fxx.data(), gx.data(), hx.data(), n, nx,
                          g[dense].data(), h[dense].data());
            },
            [&](long, bool failed) {
                if (!failed) return;
                for (f64 v : g[dense]) EXPECT_EQ(v, -7.0);
                for (f64 v : h[dense]) EXPECT_EQ(v, -7.0);
            });
        // The structured path takes one carved block and its index array;
        // the dense one twelve work arrays, the reduced matrix and the LU's.
        if (dense)
            EXPECT_GE(runs, 1 + 13);
        else
            EXPECT_EQ(runs, 1 + 2);
    }
    for (std::size_t e = 0; e < h[0].size(); ++e) EXPECT_NEAR(h[0][e], h[1][e], 1e-12);
    for (std::size_t e = 0; e < g[0].size(); ++e) EXPECT_NEAR(g[0][e], g[1][e], 1e-12);
    EXPECT_GT(std::fabs(h[0][0]), 1e-6);
}

}  // namespace
#endif  // TROVA_SANITIZE
