// Edge cases of the Newton steady state and the bicomplex-step Hessian on
// small models written out in c128 and bc256 arithmetic. The growth model's
// closed form and analytic derivatives are checked from Python
// (tests/python/test_steady_hessian.py).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "trova_model.h"

namespace {
// ---- Newton edge cases on small models written out in c128 ----

int g_calls = 0;

// f = M x - c at fwd = cur = x, with M = [[2, 1], [1, 3]] split between the
// two periods and c = (3, 5): the solution is (0.8, 1.4).
void linear_model(const c128* fwd, const c128* cur, const c128* par, c128* out) {
    ++g_calls;
    out[0] = c128{1.5 * fwd[0].re + 0.5 * cur[0].re + cur[1].re - par[0].re,
                  1.5 * fwd[0].im + 0.5 * cur[0].im + cur[1].im};
    out[1] = c128{fwd[0].re + 2.0 * fwd[1].re + cur[1].re - par[1].re,
                  fwd[0].im + 2.0 * fwd[1].im + cur[1].im};
}

struct NewtonRun {
    i64 status;
    double ss[2];
    i64 iters;
};

NewtonRun run_linear(const double* seed, i64 max_iter, double tol) {
    const double par[2] = {3.0, 5.0};
    NewtonRun r{0, {-9, -9}, -9};
    g_calls = 0;
    r.status = trova_steady_state_newton(linear_model, seed, par, 2, 2, max_iter, tol, r.ss, &r.iters);
    return r;
}

TEST(Newton, LinearModelConvergesInOneUpdate) {
    const double seed[2] = {5.0, -2.0};
    const auto r = run_linear(seed, 2, 1e-12);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.iters, 1);
    EXPECT_NEAR(r.ss[0], 0.8, 1e-14);
    EXPECT_NEAR(r.ss[1], 1.4, 1e-14);
    EXPECT_EQ(g_calls, 2 + 2 * 2);  // two evaluations and one linearisation
}

TEST(Newton, OneUpdateIsNotEvaluatedAgain) {
    const double seed[2] = {5.0, -2.0};
    const auto r = run_linear(seed, 1, 1e-12);
    EXPECT_EQ(r.status, -3);
    EXPECT_EQ(r.iters, 1);
    EXPECT_NEAR(r.ss[0], 0.8, 1e-14);
}

TEST(Newton, ConvergedSeedAndEmptyIterationBudget) {
    const double exact[2] = {0.8, 1.4};
    auto r = run_linear(exact, 5, 1e-12);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.iters, 0);
    EXPECT_EQ(r.ss[0], 0.8);
    EXPECT_EQ(g_calls, 1);
    const double seed[2] = {5.0, -2.0};
    for (i64 max_iter : {0, -4}) {
        r = run_linear(seed, max_iter, 1e-12);
        EXPECT_EQ(r.status, -3);
        EXPECT_EQ(r.iters, 0);
        EXPECT_EQ(r.ss[0], 5.0);
        EXPECT_EQ(r.ss[1], -2.0);
        EXPECT_EQ(g_calls, 0);
    }
}

// f = fwd - cur + 1: its Jacobian of x -> f(x, x) is exactly zero.
void singular_model(const c128* fwd, const c128* cur, const c128*, c128* out) {
    out[0] = c128{fwd[0].re - cur[0].re + 1.0, fwd[0].im - cur[0].im};
}

// f = x - 10 while x <= 5, NaN beyond: Newton from 0 lands on 10.
void nan_beyond_five(const c128* fwd, const c128*, const c128*, c128* out) {
    out[0] = fwd[0].re > 5.0 ? c128{std::nan(""), 0.0} : c128{fwd[0].re - 10.0, fwd[0].im};
}

// f = x - 10 while x <= 5, +-infinity beyond.
void inf_beyond_five(const c128* fwd, const c128*, const c128*, c128* out) {
    out[0] = fwd[0].re > 5.0 ? c128{-HUGE_VAL, 0.0} : c128{fwd[0].re - 10.0, fwd[0].im};
}

struct StopCase {
    trova_residual_fn fn;
    i64 status, iters;
    double ss;
};

class NewtonStops : public ::testing::TestWithParam<StopCase> {};

TEST_P(NewtonStops, KeepsTheLastIterate) {
    const StopCase sc = GetParam();
    const double seed[1] = {0.0};
    double ss[1] = {-9.0};
    i64 iters = -9;
    EXPECT_EQ(trova_steady_state_newton(sc.fn, seed, nullptr, 1, 0, 20, 1e-10, ss, &iters), sc.status);
    EXPECT_EQ(iters, sc.iters);
    EXPECT_EQ(ss[0], sc.ss);
}

INSTANTIATE_TEST_SUITE_P(Failures, NewtonStops,
                         ::testing::Values(StopCase{singular_model, -2, 0, 0.0},
                                           StopCase{nan_beyond_five, -3, 1, 10.0},
                                           StopCase{inf_beyond_five, -3, 1, 10.0}));

void empty_model(const c128*, const c128*, const c128*, c128*) { ++g_calls; }

TEST(Newton, NoVariables) {
    double ss[1] = {-9.0};
    i64 iters = -9;
    g_calls = 0;
    EXPECT_EQ(trova_steady_state_newton(empty_model, ss, nullptr, 0, 0, 5, 1e-10, ss, &iters), 0);
    EXPECT_EQ(iters, 0);
    EXPECT_EQ(g_calls, 1);
    // With tol <= 0 the empty solve fails.
    EXPECT_EQ(trova_steady_state_newton(empty_model, ss, nullptr, 0, 0, 5, 0.0, ss, &iters), -1);
}

// ---- Hessian edge cases on bicomplex monomials ----

bc256 bc_mul(bc256 x, bc256 y) {
    const c128 aa{x.a.re * y.a.re - x.a.im * y.a.im, x.a.re * y.a.im + x.a.im * y.a.re};
    const c128 bb{x.b.re * y.b.re - x.b.im * y.b.im, x.b.re * y.b.im + x.b.im * y.b.re};
    const c128 ab{x.a.re * y.b.re - x.a.im * y.b.im, x.a.re * y.b.im + x.a.im * y.b.re};
    const c128 ba{x.b.re * y.a.re - x.b.im * y.a.im, x.b.re * y.a.im + x.b.im * y.a.re};
    return bc256{c128{aa.re - bb.re, aa.im - bb.im}, c128{ab.re + ba.re, ab.im + ba.im}};
}

void fwd_times_cur(const bc256* fwd, const bc256* cur, const bc256*, bc256* out) {
    ++g_calls;
    out[0] = bc_mul(fwd[0], cur[0]);
}
void fwd_squared(const bc256* fwd, const bc256*, const bc256*, bc256* out) {
    out[0] = bc_mul(fwd[0], fwd[0]);
}

TEST(Hessian, ProductOfTheTwoPeriods) {
    const double ss[1] = {1.7};
    double H[4];
    g_calls = 0;
    ASSERT_EQ(trova_bicomplex_hessian(fwd_times_cur, ss, nullptr, 1, 0, 1, 1e-10, H), 0);
    EXPECT_EQ(g_calls, 3);
    EXPECT_NEAR(H[0], 0.0, 1e-15);
    EXPECT_NEAR(H[1], 1.0, 1e-15);
    EXPECT_NEAR(H[2], 1.0, 1e-15);
    EXPECT_NEAR(H[3], 0.0, 1e-15);
}

class HessianSteps : public ::testing::TestWithParam<double> {};

TEST_P(HessianSteps, SquareHasSecondDerivativeTwo) {
    const double ss[1] = {-0.6};
    double H[4];
    ASSERT_EQ(trova_bicomplex_hessian(fwd_squared, ss, nullptr, 1, 0, 1, GetParam(), H), 0);
    EXPECT_NEAR(H[0], 2.0, 1e-14);
    EXPECT_EQ(H[1], 0.0);
    EXPECT_EQ(H[3], 0.0);
}

INSTANTIATE_TEST_SUITE_P(Steps, HessianSteps, ::testing::Values(1.0, 1e-3, 1e-20, 1e-150));

TEST(Hessian, NoEquationsStillCallsTheModel) {
    const double ss[3] = {1, 2, 3};
    double H[1] = {-7.0};
    g_calls = 0;
    ASSERT_EQ(trova_bicomplex_hessian(fwd_times_cur, ss, nullptr, 3, 0, 0, 1e-10, H), 0);
    EXPECT_EQ(g_calls, 6 * 7 / 2);
    EXPECT_EQ(H[0], -7.0);
}

// ---- Hessian pairs skipped by the dependency pattern ----

// Every pair (r, c) by its own bicomplex call, read from the definition: the
// ij-part of f(z + i h e_r + j h e_c) over h^2.
std::vector<double> all_pairs(bc_residual_fn f, const std::vector<double>& ss, i64 n_eq, double h) {
    const i64 n = static_cast<i64>(ss.size()), m = 2 * n;
    std::vector<double> H(n_eq * m * m, -7.0);
    std::vector<bc256> out(n_eq);
    for (i64 r = 0; r < m; ++r)
        for (i64 c = r; c < m; ++c) {
            std::vector<bc256> z(m);
            for (i64 q = 0; q < m; ++q) z[q] = bc256{c128{ss[q % n], 0.0}, c128{0.0, 0.0}};
            z[r].a.im = h;
            z[c].b.re = h;
            f(z.data(), z.data() + n, nullptr, out.data());
            for (i64 e = 0; e < n_eq; ++e)
                H[e * m * m + r * m + c] = H[e * m * m + c * m + r] = (1.0 / (h * h)) * out[e].b.im;
        }
    return H;
}

bc256 bc_add(bc256 x, bc256 y) {
    return bc256{c128{x.a.re + y.a.re, x.a.im + y.a.im}, c128{x.b.re + y.b.re, x.b.im + y.b.im}};
}
bc256 bc_scale(double s, bc256 x) { return bc256{c128{s * x.a.re, s * x.a.im}, c128{s * x.b.re, s * x.b.im}}; }

// Eight equations, each in three of the sixteen variables of z: most pairs
// meet in no equation.
void sparse_model(const bc256* fwd, const bc256* cur, const bc256*, bc256* out) {
    ++g_calls;
    for (int e = 0; e < 8; ++e)
        out[e] = bc_add(bc_mul(bc_mul(fwd[e], fwd[e]), cur[(e + 1) % 8]), bc_scale(0.5 + e, cur[e]));
}

// At x = y = 0 the term x y has no first derivative, so the point alone
// hides that it couples fwd[0] and cur[2]; the other equations are sparse.
void hidden_product(const bc256* fwd, const bc256* cur, const bc256*, bc256* out) {
    ++g_calls;
    out[0] = bc_add(bc_mul(fwd[0], cur[2]), bc_scale(2.0, fwd[1]));
    for (int e = 1; e < 8; ++e) out[e] = bc_add(bc_mul(cur[e], cur[e]), bc_scale(3.0, fwd[e]));
}

// Not analytic: the product fwd[0] cur[2] is present only when some input
// carries a j-part, so no complex step (i-part only) can see it, at any point.
void j_branch(const bc256* fwd, const bc256* cur, const bc256*, bc256* out) {
    ++g_calls;
    bool j = false;
    for (int q = 0; q < 4; ++q) j = j || fwd[q].b.re != 0.0 || cur[q].b.re != 0.0;
    out[0] = j ? bc_mul(fwd[0], cur[2]) : bc_scale(0.0, fwd[0]);
    for (int e = 1; e < 4; ++e) out[e] = bc_add(bc_mul(cur[e], cur[e]), bc_scale(3.0, fwd[e]));
}

struct PatternCase {
    const char* name;
    bc_residual_fn f;
    std::vector<double> ss;
    i64 n_eq;
    i64 r, c;          // one pair the model couples
    double want;       // its second derivative in equation 0
    bool all_called;   // whether the evaluation must go through every pair
};

void PrintTo(const PatternCase& pc, std::ostream* os) { *os << pc.name; }

class HessianPattern : public ::testing::TestWithParam<PatternCase> {};

TEST_P(HessianPattern, SameBitsAsEveryPair) {
    const PatternCase& pc = GetParam();
    const i64 n = static_cast<i64>(pc.ss.size()), m = 2 * n;
    for (double h : {1e-10, 1e-30}) {
        const std::vector<double> want = all_pairs(pc.f, pc.ss, pc.n_eq, h);
        std::vector<double> H(pc.n_eq * m * m, -7.0);
        g_calls = 0;
        ASSERT_EQ(trova_bicomplex_hessian(pc.f, pc.ss.data(), nullptr, n, 0, pc.n_eq, h, H.data()), 0);
        for (std::size_t k = 0; k < H.size(); ++k)
            ASSERT_EQ(std::memcmp(&H[k], &want[k], sizeof(double)), 0)
                << pc.name << " element " << k << ": " << H[k] << " vs " << want[k];
        EXPECT_NEAR(H[pc.r * m + pc.c], pc.want, 1e-14);
        if (pc.all_called)
            EXPECT_GE(g_calls, m * (m + 1) / 2) << pc.name;
        else
            EXPECT_LT(g_calls, m * (m + 1) / 2) << pc.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, HessianPattern,
    ::testing::Values(
        // d2/dfwd0^2 of fwd0^2 cur1 = 2 cur1 = 2 (1.3).
        PatternCase{"sparse", sparse_model, {0.7, -1.1, 1.3, 0.4, -0.9, 2.1, 0.8, -0.3}, 8, 0, 0, 2.0 * -1.1, false},
        PatternCase{"hidden_product", hidden_product, {0.0, 0.5, 0.0, -0.25, 1.5, 0.3, -0.7, 0.9}, 8, 0, 10, 1.0, false},
        PatternCase{"j_branch", j_branch, {0.6, 0.5, -0.8, -0.25}, 4, 0, 6, 1.0, true}),
    [](const ::testing::TestParamInfo<PatternCase>& i) { return std::string(i.param.name); });

}  // namespace

// ---- Linearisation and path in C++, so that the sanitizer build sees them ----

namespace {

// f = fwd - cur^2: at x = 0.5, f = 0.25 and in logs both Jacobians are
// x (1, 2x) / (1 + f) = (0.4, 0.4); in levels a = 1 and b = 2x = 1.
void fwd_minus_cur_squared(const c128* fwd, const c128* cur, const c128*, c128* out) {
    out[0] = c128{fwd[0].re - (cur[0].re * cur[0].re - cur[0].im * cur[0].im),
                  fwd[0].im - 2.0 * cur[0].re * cur[0].im};
}

class Linearise : public ::testing::TestWithParam<std::tuple<int, double>> {};

TEST_P(Linearise, OneVariableInLevelsAndLogs) {
    const auto [log_linear, want] = GetParam();
    const f64 ss[1] = {0.5};
    f64 a[1] = {-7.0}, b[1] = {-7.0};
    ASSERT_EQ(klein_preproc(fwd_minus_cur_squared, ss, nullptr, 1, 0, 1, log_linear, a, b), 0);
    EXPECT_NEAR(a[0], log_linear ? want : 1.0, 1e-15);
    EXPECT_NEAR(b[0], want, 1e-15);
}

INSTANTIATE_TEST_SUITE_P(LevelsAndLogs, Linearise,
                         ::testing::Values(std::make_tuple(0, 1.0), std::make_tuple(1, 0.4)));

TEST(ResidualPath, RealPartsAlongThePath) {
    const c128 cur[3] = {{0.5, 0.1}, {1.0, 0.0}, {2.0, -1.0}};
    const c128 fwd[3] = {{1.0, 0.0}, {3.0, 0.5}, {-1.0, 0.0}};
    f64 res[3];
    ASSERT_EQ(trova_residual_path(fwd_minus_cur_squared, cur, fwd, nullptr, 3, 1, 1, res), 0);
    EXPECT_DOUBLE_EQ(res[0], 1.0 - (0.25 - 0.01));
    EXPECT_DOUBLE_EQ(res[1], 3.0 - 1.0);
    EXPECT_DOUBLE_EQ(res[2], -1.0 - (4.0 - 1.0));
}

}  // namespace
