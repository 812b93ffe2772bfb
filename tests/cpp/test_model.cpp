// Newton steady state, complex-step Jacobians and bicomplex-step Hessians of
// the stochastic growth model against its closed form and analytic
// derivatives, and the edge cases of the Newton iteration and the Hessian.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "growth_model.h"
#include "trova_model.h"

namespace {

struct Params {
    double alpha, beta, rho;
};

const Params kParams[] = {{0.36, 0.99, 0.95}, {0.3, 0.96, 0.0}, {0.5, 0.9, 0.7}};

// Closed-form steady state (k, z, c).
std::vector<double> steady_state(const Params& p) {
    const double k = std::pow(p.alpha * p.beta, 1.0 / (1.0 - p.alpha));
    return {k, 0.0, (1.0 - p.alpha * p.beta) * std::pow(k, p.alpha)};
}

// Analytic second derivatives with respect to z = (k', z', c', k, z, c) at
// fwd = cur = x, laid out as the kernel's output.
std::vector<double> analytic_hessian(const Params& p, const double* x) {
    const double k = x[0], z = x[1], c = x[2], ab = p.alpha * p.beta;
    std::vector<double> H(3 * 36, 0.0);
    // Euler: 1/c - ab g with g = e^{z'} k'^(alpha-1) / c'; d2 g = g (q q' + L)
    // with q the gradient and L the Hessian of log g.
    const double g = std::exp(z) * std::pow(k, p.alpha - 1.0) / c;
    const double q[3] = {(p.alpha - 1.0) / k, 1.0, -1.0 / c};
    const double L[3] = {-(p.alpha - 1.0) / (k * k), 0.0, 1.0 / (c * c)};
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s) H[r * 6 + s] = -ab * g * (q[r] * q[s] + (r == s ? L[r] : 0.0));
    H[5 * 6 + 5] = 2.0 / (c * c * c);
    // Resources: -y with y = e^z k^alpha over (k, z) at indices 3 and 4.
    const double y = std::exp(z) * std::pow(k, p.alpha);
    const double qy[2] = {p.alpha / k, 1.0};
    const double Ly[2] = {-p.alpha / (k * k), 0.0};
    for (int r = 0; r < 2; ++r)
        for (int s = 0; s < 2; ++s)
            H[36 + (3 + r) * 6 + 3 + s] = -y * (qy[r] * qy[s] + (r == s ? Ly[r] : 0.0));
    return H;  // the shock equation is linear
}

class Growth : public ::testing::TestWithParam<Params> {};

TEST_P(Growth, NewtonFindsTheClosedFormSteadyState) {
    const Params p = GetParam();
    const double par[3] = {p.alpha, p.beta, p.rho};
    const auto want = steady_state(p);
    const double seed[3] = {want[0] * 1.3, 0.05, want[2] * 0.8};
    double ss[3] = {-1, -1, -1};
    i64 iters = -1;
    const i64 status =
        trova_steady_state_newton(growth_residual_c128, seed, par, 3, 3, 50, 1e-13, ss, &iters);
    ASSERT_EQ(status, 0);
    EXPECT_GT(iters, 1);
    EXPECT_LT(iters, 15);
    EXPECT_NEAR(ss[0], want[0], 1e-12 * want[0]);
    EXPECT_NEAR(ss[1], 0.0, 1e-13);
    EXPECT_NEAR(ss[2], want[2], 1e-12 * want[2]);
}

TEST_P(Growth, JacobiansMatchAnalyticFirstDerivatives) {
    const Params p = GetParam();
    const double par[3] = {p.alpha, p.beta, p.rho};
    const double x[3] = {0.7 * steady_state(p)[0], 0.1, 0.9 * steady_state(p)[2]};
    double a[9], b[9];
    ASSERT_EQ(klein_preproc(growth_residual_c128, x, par, 3, 3, 3, 0, a, b), 0);
    const double k = x[0], z = x[1], c = x[2], ab = p.alpha * p.beta;
    const double g = std::exp(z) * std::pow(k, p.alpha - 1.0) / c;
    const double y = std::exp(z) * std::pow(k, p.alpha);
    // a = df/dfwd, b = -df/dcur.
    const double want_a[9] = {-ab * g * (p.alpha - 1.0) / k, -ab * g, ab * g / c, 1, 0, 0, 0, 1, 0};
    const double want_b[9] = {0, 0, 1.0 / (c * c), p.alpha * y / k, y, -1, 0, p.rho, 0};
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(a[i], want_a[i], 1e-12 * std::fabs(want_a[i])) << i;
        EXPECT_NEAR(b[i], want_b[i], 1e-12 * std::fabs(want_b[i])) << i;
    }
}

class GrowthHessian : public ::testing::TestWithParam<std::tuple<Params, double, int>> {};

TEST_P(GrowthHessian, MatchesAnalyticSecondDerivatives) {
    const auto [p, step, at_steady_state] = GetParam();
    const double par[3] = {p.alpha, p.beta, p.rho};
    auto x = steady_state(p);
    if (!at_steady_state) x = {1.4 * x[0], -0.2, 0.6 * x[2]};
    std::vector<double> H(3 * 36, std::numeric_limits<double>::quiet_NaN());
    ASSERT_EQ(trova_bicomplex_hessian(growth_residual_bc256, x.data(), par, 3, 3, 3, step, H.data()),
              0);
    const auto want = analytic_hessian(p, x.data());
    for (int e = 0; e < 3; ++e) {
        double scale = 0.0;
        for (int i = 0; i < 36; ++i) scale = std::fmax(scale, std::fabs(want[e * 36 + i]));
        for (int i = 0; i < 36; ++i) {
            const double w = want[e * 36 + i];
            EXPECT_NEAR(H[e * 36 + i], w, 1e-8 * std::fabs(w) + 1e-14 * scale)
                << "equation " << e << " entry (" << i / 6 << ", " << i % 6 << ")";
            EXPECT_EQ(H[e * 36 + i], H[e * 36 + (i % 6) * 6 + i / 6]);  // symmetric
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Calibrations, Growth, ::testing::ValuesIn(kParams));
// Steps from 1e-7, where the relative O(h^2) remainder is below 1e-12 at
// these capital stocks, down to 1e-100, where h^2 is still a normal number.
INSTANTIATE_TEST_SUITE_P(CalibrationsStepsPoints, GrowthHessian,
                         ::testing::Combine(::testing::ValuesIn(kParams),
                                            ::testing::Values(1e-7, 1e-20, 1e-100),
                                            ::testing::Values(1, 0)));

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

}  // namespace
