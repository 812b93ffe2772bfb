// Residual diagnostics on scratch exactly as long as the sizers say, so that
// the sanitizer build catches any access past it, checked against closed
// forms evaluated in long double (autocorrelations, moments, and simple
// regressions for the auxiliary fits with one regressor).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "trova_diag.h"

namespace {

using ld = long double;
using Vec = std::vector<f64>;

Vec series(i64 n, f64 phase) {
    Vec x(static_cast<std::size_t>(n));
    for (i64 t = 0; t < n; ++t) x[t] = 1.5 + std::sin(phase * static_cast<f64>(t * t % 97)) + 0.02 * t;
    return x;
}

Vec arena(arena_size s) {
    EXPECT_GE(s.n_float, 0);
    EXPECT_EQ(s.n_int, 0);
    return Vec(static_cast<std::size_t>(s.n_float), -1.0);
}

ld mean(const Vec& x) {
    ld s = 0;
    for (f64 v : x) s += v;
    return s / static_cast<ld>(x.size());
}

// n R^2 of the simple regression of y on [1, x], with R^2 centred or not.
ld simple_r2(const Vec& x, const Vec& y, bool centred) {
    const ld mx = mean(x), my = mean(y);
    ld sxy = 0, sxx = 0, syy = 0, y2 = 0;
    for (std::size_t t = 0; t < x.size(); ++t) {
        sxy += (x[t] - mx) * (y[t] - my);
        sxx += (x[t] - mx) * (x[t] - mx);
        syy += (y[t] - my) * (y[t] - my);
        y2 += static_cast<ld>(y[t]) * y[t];
    }
    const ld rss = syy - sxy * sxy / sxx;
    return static_cast<ld>(x.size()) * (1 - rss / (centred ? syy : y2));
}

class Diagnostics : public ::testing::TestWithParam<i64> {};

TEST_P(Diagnostics, LjungBoxInExactScratch) {
    const i64 n = GetParam();
    const Vec x = series(n, 0.7);
    const ld mu = mean(x);
    for (i64 L : {i64{5}, n - 1, n + 40}) {
        Vec a = arena(trova_lb_arena_size(n, L));
        f64 q = 0.0;
        ASSERT_EQ(trova_lb_stat(x.data(), n, L, a.data(), a.data() + n, &q), 0);
        const i64 used = L < n ? L : n - 1;
        ld d = 0, want = 0;
        for (i64 t = 0; t < n; ++t) d += (x[t] - mu) * (x[t] - mu);
        for (i64 l = 1; l <= used; ++l) {
            ld c = 0;
            for (i64 t = l; t < n; ++t) c += (x[t] - mu) * (x[t - l] - mu);
            want += (c / d) * (c / d) / static_cast<ld>(n - l);
        }
        EXPECT_NEAR(q, static_cast<f64>(want * n * (n + 2)), 1e-12 * q) << "L = " << L;
    }
}

// The scratch the tests above run in is exactly what the headers state.
TEST_P(Diagnostics, ScratchIsTheStatedLength) {
#ifdef TROVA_LAYOUT_GAPS
    GTEST_SKIP() << "layout gaps change the sizes";
#endif
    const i64 n = GetParam(), K = 3, lags = n / 3;
    for (i64 L : {i64{5}, n - 1, n + 40}) EXPECT_EQ(trova_lb_arena_size(n, L).n_float, n + (L < n ? L : n - 1) + 1);
    EXPECT_EQ(trova_bg_arena_size(n, K, lags).n_float, (K + lags + 1) * (n + 2 * (K + lags + 1) + 2));
}

TEST_P(Diagnostics, JarqueBera) {
    const i64 n = GetParam();
    const Vec x = series(n, 1.3);
    const ld mu = mean(x);
    ld m[5] = {};
    for (f64 v : x)
        for (int k = 2; k <= 4; ++k) m[k] += std::pow(v - mu, static_cast<ld>(k)) / static_cast<ld>(n);
    const ld s = m[3] / std::pow(m[2], 1.5L), k = m[4] / (m[2] * m[2]) - 3;
    f64 jb = 0.0;
    ASSERT_EQ(trova_jb_stat(x.data(), n, &jb), 0);
    EXPECT_NEAR(jb, static_cast<f64>(n * (s * s / 6 + k * k / 24)), 1e-11 * (1 + jb));
}

TEST_P(Diagnostics, BreuschPaganWithOneRegressor) {
    const i64 n = GetParam();
    const Vec eps = series(n, 0.9), z = series(n, 2.1);
    Vec X(static_cast<std::size_t>(2 * n)), u(static_cast<std::size_t>(n));
    ld ss = 0;
    for (f64 e : eps) ss += static_cast<ld>(e) * e;
    for (i64 t = 0; t < n; ++t) {
        X[2 * t] = 1.0;
        X[2 * t + 1] = z[t];
        u[t] = static_cast<f64>(eps[t] * eps[t] / (ss / n));
    }
    ld tss = 0;
    const ld ubar = mean(u);
    for (f64 v : u) tss += (v - ubar) * (v - ubar);
    const ld r2 = simple_r2(z, u, true) / n;
    for (i64 robust : {0, 1}) {
        Vec a = arena(trova_bp_arena_size(n, 2));
        f64 stat = 0.0;
        ASSERT_EQ(trova_bp_stat(eps.data(), X.data(), n, 2, robust, a.data(), &stat), 0);
        const ld want = robust ? n * r2 : r2 * tss / 2;
        EXPECT_NEAR(stat, static_cast<f64>(want), 1e-10 * (1 + want)) << "robust = " << robust;
    }
}

TEST_P(Diagnostics, BreuschGodfrey) {
    const i64 n = GetParam();
    const Vec e = series(n, 0.4);
    // One lag and no regressors: the simple regression of e_t on e_{t-1}
    // (0 before the sample), with the uncentred R^2.
    Vec lagged(static_cast<std::size_t>(n), 0.0);
    for (i64 t = 1; t < n; ++t) lagged[t] = e[t - 1];
    Vec a = arena(trova_bg_arena_size(n, 0, 1));
    f64 stat = 0.0;
    ASSERT_EQ(trova_bg_stat(e.data(), nullptr, n, 0, 1, a.data(), &stat), 0);
    EXPECT_NEAR(stat, static_cast<f64>(simple_r2(lagged, e, false)), 1e-10 * n);
    // Regressors and many lags in exact scratch: an R^2 in [0, 1].
    const i64 K = 3, lags = n / 3;
    Vec X(static_cast<std::size_t>(n * K));
    for (i64 k = 0; k < n * K; ++k) X[k] = std::cos(0.37 * static_cast<f64>(k * k % 113));
    Vec b = arena(trova_bg_arena_size(n, K, lags));
    ASSERT_EQ(trova_bg_stat(e.data(), X.data(), n, K, lags, b.data(), &stat), 0);
    EXPECT_GE(stat, 0.0);
    EXPECT_LE(stat, static_cast<f64>(n));
}

INSTANTIATE_TEST_SUITE_P(Lengths, Diagnostics, ::testing::Values(11, 37, 64));

// A NaN or an infinity that no factorisation sees (the last residual never
// enters a lagged column) fails with -3 and a NaN statistic, never 0; all-zero
// residuals give Breusch-Godfrey 0 although their lagged columns are zero.
TEST(DiagnosticsData, NonFiniteAndZeroResiduals) {
    const i64 n = 37, K = 2;
    Vec e = series(n, 0.4), X(static_cast<std::size_t>(n * K)), Xa(static_cast<std::size_t>(n * (K + 1)));
    for (i64 t = 0; t < n; ++t) {
        Xa[t * (K + 1)] = 1.0;
        for (i64 j = 0; j < K; ++j) Xa[t * (K + 1) + 1 + j] = X[t * K + j] = std::sin(0.7 * static_cast<f64>(t + j));
    }
    for (const i64 lags : {i64{0}, i64{3}}) {
        Vec a = arena(trova_bg_arena_size(n, K, lags));
        f64 stat = 1.0;
        e[n - 1] = std::nan("");
        EXPECT_EQ(trova_bg_stat(e.data(), X.data(), n, K, lags, a.data(), &stat), -3);
        EXPECT_TRUE(std::isnan(stat));
        const Vec zero(static_cast<std::size_t>(n), 0.0);
        EXPECT_EQ(trova_bg_stat(zero.data(), X.data(), n, K, lags, a.data(), &stat), 0);
        EXPECT_EQ(stat, 0.0);
    }
    e[n - 1] = 0.5;
    Xa[5 * (K + 1) + 2] = INFINITY;
    Vec a = arena(trova_bp_arena_size(n, K + 1));
    for (const i64 robust : {0, 1}) {
        f64 stat = 1.0;
        EXPECT_EQ(trova_bp_stat(e.data(), Xa.data(), n, K + 1, robust, a.data(), &stat), -3);
        EXPECT_TRUE(std::isnan(stat));
    }
}

}  // namespace
