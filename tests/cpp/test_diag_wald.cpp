// The three HAC Wald tests in arenas and pivot scratch of exactly the sizes
// their sizers report, each its own heap block, so that the sanitizer build
// catches any access past them; checked against a direct long-double
// evaluation of the moments, the kernel-weighted autocovariances and the
// quadratic form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

#include "_common/layout.h"
#include "trova.h"

namespace {

using ld = long double;
using Fn = int (*)(const f64*, const f64*, i64, i64, int, int, i64, f64*, i64*, f64*);
using Sizer = arena_size (*)(i64, i64);

constexpr i64 kN = 150, kQ = 3, kManual = 5;
constexpr int kMean = 0, kCovariance = 1, kSecondMoment = 2;
const Fn kTests[3] = {trova_wald_mean_hac, trova_wald_covariance_hac, trova_wald_second_moment_hac};
const Sizer kSizers[3] = {trova_wald_mean_hac_arena_size, trova_wald_covariance_hac_arena_size,
                          trova_wald_second_moment_hac_arena_size};

// g_t = 1 + 0.6 g_{t-1} + e_t, with a cross term so the columns correlate.
std::vector<f64> make_data() {
    std::vector<f64> e(kN * kQ), g(kN * kQ);
    trova_philox_state st;
    trova_philox_seed(&st, 7, 1, 0, 0);
    trova_philox_standard_normal_fill(&st, kN * kQ, e.data());
    for (i64 t = 0; t < kN; ++t)
        for (i64 j = 0; j < kQ; ++j) {
            const f64 prev = t > 0 ? g[(t - 1) * kQ + j] - 1.0 : 0.0;
            g[t * kQ + j] = 1.0 + 0.6 * prev + e[t * kQ + j] + (j > 0 ? 0.4 * e[t * kQ] : 0.0);
        }
    return g;
}

// x = j / (L + 1), formed in long double so that L may be the largest i64.
ld weight(int kernel, i64 j, i64 L) {
    const ld x = static_cast<ld>(j) / (static_cast<ld>(L) + 1), pi = 3.141592653589793238462643383279L;
    if (kernel == BARTLETT) return x <= 1 ? 1 - x : 0;
    if (kernel == PARZEN) return x <= 0.5L ? 1 - 6 * x * x + 6 * x * x * x : x <= 1 ? 2 * (1 - x) * (1 - x) * (1 - x) : 0;
    if (j == 0) return 1;
    const ld z = 6 * pi * x / 5;
    // Near 0 the closed form cancels even in long double; the series does not.
    if (z < 1e-3L) return 1 - z * z / 10 + z * z * z * z / 280;
    return 25 / (12 * pi * pi * x * x) * (std::sin(z) / z - std::cos(z));
}

// Moment series (n x p, centred in place) and its mean.
std::vector<ld> moment_series(int kind, const std::vector<f64>& g, i64* p, std::vector<ld>* mean) {
    std::vector<ld> gbar(kQ, 0), m;
    for (i64 t = 0; t < kN; ++t)
        for (i64 j = 0; j < kQ; ++j) gbar[j] += g[t * kQ + j] / static_cast<ld>(kN);
    for (i64 t = 0; t < kN; ++t) {
        if (kind == kMean) {
            for (i64 j = 0; j < kQ; ++j) m.push_back(g[t * kQ + j]);
            continue;
        }
        const ld shift = kind == kCovariance ? 1 : 0;
        for (i64 i = 0; i < kQ; ++i)
            for (i64 j = i; j < kQ; ++j)
                m.push_back((g[t * kQ + i] - shift * gbar[i]) * (g[t * kQ + j] - shift * gbar[j]));
    }
    *p = static_cast<i64>(m.size()) / kN;
    mean->assign(*p, 0);
    for (i64 t = 0; t < kN; ++t)
        for (i64 a = 0; a < *p; ++a) (*mean)[a] += m[t * *p + a] / static_cast<ld>(kN);
    for (i64 t = 0; t < kN; ++t)
        for (i64 a = 0; a < *p; ++a) m[t * *p + a] -= (*mean)[a];
    return m;
}

// n d' Omega^-1 d by Gauss-Jordan elimination with partial pivoting.
ld reference_stat(const std::vector<ld>& r, const std::vector<ld>& mean, const std::vector<ld>& target, i64 p,
                  int kernel, i64 L) {
    std::vector<ld> A(p * (p + 1), 0);
    for (i64 a = 0; a < p; ++a) {
        for (i64 b = 0; b < p; ++b)
            for (i64 j = 0; j <= L; ++j)
                for (i64 t = 0; t + j < kN; ++t) {
                    const ld w = weight(kernel, j, L) / static_cast<ld>(kN);
                    A[a * (p + 1) + b] += w * r[t * p + a] * r[(t + j) * p + b];
                    if (j > 0) A[a * (p + 1) + b] += w * r[(t + j) * p + a] * r[t * p + b];
                }
        A[a * (p + 1) + p] = mean[a] - target[a];
    }
    for (i64 c = 0; c < p; ++c) {
        i64 piv = c;
        for (i64 i = c + 1; i < p; ++i)
            if (std::fabs(A[i * (p + 1) + c]) > std::fabs(A[piv * (p + 1) + c])) piv = i;
        for (i64 k = 0; k <= p; ++k) std::swap(A[c * (p + 1) + k], A[piv * (p + 1) + k]);
        for (i64 i = 0; i < p; ++i) {
            if (i == c) continue;
            const ld f = A[i * (p + 1) + c] / A[c * (p + 1) + c];
            for (i64 k = c; k <= p; ++k) A[i * (p + 1) + k] -= f * A[c * (p + 1) + k];
        }
    }
    ld W = 0;
    for (i64 a = 0; a < p; ++a) W += (mean[a] - target[a]) * A[a * (p + 1) + p] / A[a * (p + 1) + a];
    return W * static_cast<ld>(kN);
}

class WaldTests : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(WaldTests, MatchDirectEvaluationInExactlySizedArenas) {
    const auto [kind, kernel, mode] = GetParam();
    const std::vector<f64> g = make_data();
    i64 p = 0;
    std::vector<ld> mean;
    std::vector<ld> r = moment_series(kind, g, &p, &mean);
    // Targets at 0.9 times the sample moments; the matrix tests take them as a
    // symmetric q x q matrix.
    std::vector<ld> target(p);
    std::vector<f64> target_vec(p), target_mat(kQ * kQ), rd(r.begin(), r.end()), ls(p);
    for (i64 a = 0; a < p; ++a) target_vec[a] = static_cast<f64>(target[a] = 0.9L * mean[a]);
    for (i64 i = 0, k = 0; i < kQ && kind != kMean; ++i)
        for (i64 j = i; j < kQ; ++j, ++k) target_mat[i * kQ + j] = target_mat[j * kQ + i] = target_vec[k];
    i64 L = kManual;
    if (mode == WALD_BW_WOOLDRIDGE || (mode == WALD_BW_AUTO && kernel == BARTLETT)) L = wooldridge_bandwidth(nullptr, kN);
    else if (mode != WALD_BW_MANUAL) L = andrews_bandwidth_matrix(rd.data(), kernel, kN, p, ls.data());
    const ld want = reference_stat(r, mean, target, p, kernel, L);

    const arena_size size = kSizers[kind](kN, kQ);
    std::vector<f64> arena(size.n_float);
    std::vector<i64> pivots(size.n_int);
    f64 W = -1.0;
    const f64* tgt = kind == kMean ? target_vec.data() : target_mat.data();
    ASSERT_EQ(kTests[kind](g.data(), tgt, kN, kQ, kernel, mode, kManual, arena.data(), pivots.data(), &W), 0);
    EXPECT_NEAR(W, static_cast<f64>(want), 1e-9 * static_cast<f64>(want)) << "bandwidth " << L;
    EXPECT_GT(W, 1.0);
}

INSTANTIATE_TEST_SUITE_P(AllKernelsAndModes, WaldTests,
                         ::testing::Combine(::testing::Values(kMean, kCovariance, kSecondMoment),
                                            ::testing::Values(BARTLETT, PARZEN, QS),
                                            ::testing::Values(WALD_BW_MANUAL, WALD_BW_WOOLDRIDGE, WALD_BW_ANDREWS,
                                                              WALD_BW_AUTO)));

// A centred MA(1) series of n rows and p columns with neighbouring columns
// mixed, so every lag and column pair of the long-run covariance matters.
std::vector<f64> ma_series(i64 n, i64 p) {
    std::vector<f64> e((n + 1) * p), r(n * p);
    trova_philox_state st;
    trova_philox_seed(&st, 11, static_cast<u64>(p), 0, 0);
    trova_philox_standard_normal_fill(&st, (n + 1) * p, e.data());
    std::vector<ld> mean(p, 0);
    for (i64 t = 0; t < n; ++t)
        for (i64 j = 0; j < p; ++j) {
            const f64* now = &e[(t + 1) * p];
            const f64* before = &e[t * p];
            r[t * p + j] = now[j] + 0.5 * before[j] + (j > 0 ? 0.3 * now[j - 1] : 0.0);
            mean[j] += r[t * p + j];
        }
    for (i64 t = 0; t < n; ++t)
        for (i64 j = 0; j < p; ++j) r[t * p + j] -= static_cast<f64>(mean[j] / static_cast<ld>(n));
    return r;
}

// The long-run covariance straight from its definition in long double (with
// the weights of kernel_weight, checked on their own elsewhere), lags
// up to min(L, n - 1), against the library's in exactly sized heap blocks:
// long bandwidths up to and past n - 1 and past a batch of 256 lag weights,
// several chunks of filtered rows with a partial last one, and series wider
// than the filter's stack buffer takes (128 columns), which go lag by lag.
TEST(HacEstimator, MatchesDirectSumForLongBandwidthsAndWideSeries) {
    struct Case {
        i64 n, p, L;
    };
    const Case cases[] = {{300, 4, 2},   {300, 4, 255},  {300, 4, 257},  {300, 4, 298},  {300, 4, 299},
                          {300, 4, 300}, {300, 1, 299},  {150, 33, 149}, {70, 128, 69},  {70, 129, 7},
                          {70, 129, 69}, {60, 200, 100}, {2, 3, 1},      {1, 3, 4}};
    for (const Case& c : cases) {
        const std::vector<f64> r = ma_series(c.n, c.p);
        const i64 L = c.L < c.n - 1 ? c.L : c.n - 1;
        for (const int kernel : {BARTLETT, PARZEN, QS}) {
            std::vector<ld> want(c.p * c.p, 0);
            ld scale = 0;
            for (i64 j = 0; j <= L; ++j) {
                // The library's own weights: its QS weight loses digits to the
                // cancellation in sin(z)/z - cos(z) at small lags of long bandwidths,
                // which is not what this test is about.
                const ld w = (j == 0 ? 1.0L : kernel_weight(j, L, kernel)) / static_cast<ld>(c.n);
                for (i64 t = 0; t + j < c.n; ++t)
                    for (i64 a = 0; a < c.p; ++a)
                        for (i64 b = 0; b < c.p; ++b) {
                            ld v = static_cast<ld>(r[t * c.p + a]) * r[(t + j) * c.p + b];
                            if (j > 0) v += static_cast<ld>(r[(t + j) * c.p + a]) * r[t * c.p + b];
                            want[a * c.p + b] += w * v;
                        }
            }
            for (i64 a = 0; a < c.p; ++a) scale = std::fmax(scale, std::fabs(want[a * c.p + a]));
            std::vector<f64> gamma(c.p * c.p), out(c.p * c.p);
            trova_hac_estimator_matmul(r.data(), kernel, c.L, c.n, c.p, gamma.data(), out.data());
            for (i64 a = 0; a < c.p; ++a)
                for (i64 b = 0; b < c.p; ++b) {
                    ASSERT_EQ(out[a * c.p + b], out[b * c.p + a]);
                    ASSERT_NEAR(out[a * c.p + b], static_cast<f64>(want[a * c.p + b]), 1e-12 * static_cast<f64>(scale))
                        << "n " << c.n << " p " << c.p << " L " << c.L << " kernel " << kernel << " at " << a
                        << ", " << b;
                }
        }
    }
}

// Ids outside the table, negative ones included, must never index it: under
// the sanitizers a read of KERNEL_SPECS out of bounds fails the test.
TEST(WaldTests, InvalidKernelIdsNeverReadTheTable) {
    const std::vector<f64> g = make_data();
    const std::vector<f64> target(kQ * kQ, 1.0);
    std::vector<f64> ls(kQ);
    for (const int bad : {-1, -2, 3, 4, -2147483647 - 1, 2147483647}) {
        EXPECT_EQ(andrews_bandwidth(g.data(), bad, kN), 1);
        EXPECT_EQ(andrews_bandwidth_matrix(g.data(), bad, kN, kQ, ls.data()), 1);
        EXPECT_EQ(kernel_weight(1, 4, bad), 0.0);
        for (int kind = 0; kind < 3; ++kind) {
            const arena_size size = kSizers[kind](kN, kQ);
            std::vector<f64> arena(size.n_float);
            std::vector<i64> pivots(size.n_int);
            f64 W = -1.0;
            EXPECT_EQ(kTests[kind](g.data(), target.data(), kN, kQ, bad, WALD_BW_ANDREWS, 0, arena.data(),
                                   pivots.data(), &W),
                      -7);
            EXPECT_EQ(W, -1.0);
        }
    }
}

// No moment column: -7 (it used to divide by zero), and the long-run
// covariance of no columns writes nothing.
TEST(WaldTests, NoMomentIsRefused) {
    const std::vector<f64> g = make_data(), target(1, 0.0);
    for (int kind = 0; kind < 3; ++kind) {
        const arena_size size = kSizers[kind](kN, 0);
        std::vector<f64> arena(size.n_float);
        std::vector<i64> pivots(size.n_int);
        f64 W = -1.0;
        EXPECT_EQ(kTests[kind](g.data(), target.data(), kN, 0, QS, WALD_BW_AUTO, 0, arena.data(), pivots.data(), &W),
                  -7);
        EXPECT_EQ(W, -1.0);
    }
    trova_hac_estimator_matmul(g.data(), BARTLETT, 4, kN, 0, nullptr, nullptr);
}

// At the largest bandwidth L + 1 does not fit in 64 bits (the sanitizer build
// traps the overflow); the weight is the kernel's at a = j / 2^63.
TEST(WaldTests, KernelWeightAtTheLargestBandwidth) {
    for (const i64 L : {INT64_MAX, INT64_MAX - 1})
        for (const i64 j : {i64{0}, i64{1}, i64{1} << 40, i64{1} << 62, (i64{3} << 61), INT64_MAX})
            for (const int kernel : {BARTLETT, PARZEN, QS})
                EXPECT_NEAR(kernel_weight(j, L, kernel), static_cast<f64>(weight(kernel, j, L)), 2e-15)
                    << "kernel " << kernel << ", j " << j;
}

// An indefinite, invertible Omega goes through the LU fallback in scratch of
// exactly p, p x p, p and p elements.
TEST(WaldTests, LuFallbackInExactScratch) {
    const i64 p = 3;
    const std::vector<f64> omega = {2.0, 1.0, 0.0, 1.0, -1.0, 0.5, 0.0, 0.5, 3.0};
    const std::vector<f64> mean = {1.0, 2.0, 3.0}, target = {0.5, 0.5, 0.5};
    std::vector<f64> dev(p), factor(p * p), solved(p);
    std::vector<i64> pivots(p);
    f64 W = 0.0;
    ASSERT_EQ(trova_wald_stat_from_mean_and_cov(mean.data(), target.data(), omega.data(), 10, p, dev.data(),
                                                factor.data(), pivots.data(), solved.data(), &W),
              0);
    // s = Omega^-1 d for d = (0.5, 1.5, 2.5) by substitution: 2x + y = 0.5,
    // x - y + 0.5z = 1.5, 0.5y + 3z = 2.5.
    const f64 y = (0.5 - 2.0 * (1.5 - 0.5 * (2.5 / 3.0))) / (1.0 + 2.0 * (1.0 + 0.5 * 0.5 / 3.0));
    const f64 x = (0.5 - y) / 2.0, z = (2.5 - 0.5 * y) / 3.0;
    EXPECT_NEAR(W, 10.0 * (0.5 * x + 1.5 * y + 2.5 * z), 1e-12);
}

// The step's context may come from C or Python with any int in its
// enumerated fields: the step reads them as ints (loading them as the
// enumerations is undefined, and the sanitizer build aborts on it) and the
// test refuses unknown kernels and bandwidth rules with -7.
TEST(WaldTests, StepTakesAnyIntInItsEnumeratedFields) {
    const std::vector<f64> g = make_data();
    const std::vector<f64> target(kQ * kQ, 0.0);
    for (const int bad : {-1, 4, 7, 2147483647}) {
        for (const int field : {0, 1}) {
            trova_mc_wald_test_ctx ctx{target.data(), kN, kQ, 2, BARTLETT, WALD_BW_MANUAL, TROVA_MC_WALD_MEAN};
            std::memcpy(field == 0 ? static_cast<void*>(&ctx.kernel_id) : static_cast<void*>(&ctx.bandwidth_mode),
                        &bad, sizeof bad);
            trova::layout::Carver lane;
            lane.take(kN, kQ);
            const arena_size work = trova_wald_mean_hac_arena_size(kN, kQ);
            std::vector<f64> in(static_cast<std::size_t>(lane.offset() + work.n_float), 0.0);
            std::copy(g.begin(), g.end(), in.begin());
            std::vector<i64> pivots(static_cast<std::size_t>(work.n_int));
            f64 W = 0.0;
            i64 status = 0;
            EXPECT_EQ(trova_mc_wald_test_runner(0, in.data(), &W, pivots.data(), &status, &ctx), 0);
            EXPECT_EQ(status, -7) << "field " << field << " value " << bad;
            EXPECT_TRUE(std::isnan(W));
        }
        // Any kind other than the mean and covariance tests is the second-moment test.
        trova_mc_wald_test_ctx ctx{target.data(), kN, kQ, 2, BARTLETT, WALD_BW_MANUAL, TROVA_MC_WALD_MEAN};
        std::memcpy(&ctx.kind, &bad, sizeof bad);
        const arena_size work = trova_wald_second_moment_hac_arena_size(kN, kQ);
        trova::layout::Carver lane;
        lane.take(kN, kQ);
        std::vector<f64> in(static_cast<std::size_t>(lane.offset() + work.n_float), 0.0);
        std::copy(g.begin(), g.end(), in.begin());
        std::vector<i64> pivots(static_cast<std::size_t>(work.n_int));
        f64 W = 0.0, W_ref = 0.0;
        i64 status = 1;
        EXPECT_EQ(trova_mc_wald_test_runner(0, in.data(), &W, pivots.data(), &status, &ctx), 0);
        std::vector<f64> arena(static_cast<std::size_t>(work.n_float));
        EXPECT_EQ(status, trova_wald_second_moment_hac(g.data(), target.data(), kN, kQ, BARTLETT, WALD_BW_MANUAL, 2,
                                                       arena.data(), pivots.data(), &W_ref));
        EXPECT_TRUE(W == W_ref || (std::isnan(W) && std::isnan(W_ref)));
    }
}

}  // namespace
