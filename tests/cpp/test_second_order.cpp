// Second-order perturbation on closed-form cases, in C++ so that the
// sanitizer build's LeakSanitizer checks every return path of the kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "trova.h"

namespace {

struct OneState {
    f64 hx, a00, f00, f01, f11;
};

class SecondOrderOneState : public ::testing::TestWithParam<OneState> {};

TEST_P(SecondOrderOneState, ClosedFormQuadraticAndRisk) {
    // One state, no controls: z = (x(t+1), x(t)), V = (hx, 1), so
    // hxx = -(hx^2 f00 + 2 hx f01 + f11) / a00, and with shock loadings eta
    // the risk term is hss = -(sum eta^2) f00 / a00.
    const OneState c = GetParam();
    const f64 a = c.a00, b = c.a00 * c.hx, hx = c.hx;
    const f64 fxx[4] = {c.f00, c.f01, c.f01, c.f11};
    f64 gxx_unused = -7.0, hxx = NAN;
    ASSERT_EQ(trova_second_order(&a, &b, fxx, nullptr, &hx, 1, 1, &gxx_unused, &hxx), 0);
    EXPECT_NEAR(hxx, -(hx * hx * c.f00 + 2 * hx * c.f01 + c.f11) / c.a00, 1e-14);
    EXPECT_EQ(gxx_unused, -7.0);
    const f64 eta[2] = {0.3, -1.1};
    f64 gss_unused = -7.0, hss = NAN;
    ASSERT_EQ(trova_second_order_risk(&a, &b, fxx, nullptr, &gxx_unused, eta, 1, 1, 2,
                                      &gss_unused, &hss),
              0);
    EXPECT_NEAR(hss, -(0.09 + 1.21) * c.f00 / c.a00, 1e-14);
    EXPECT_EQ(gss_unused, -7.0);
    ASSERT_EQ(trova_second_order_risk(&a, &b, fxx, nullptr, &gxx_unused, eta, 1, 1, 0,
                                      &gss_unused, &hss),
              0);
    EXPECT_EQ(hss, 0.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, SecondOrderOneState,
                         ::testing::Values(OneState{0.9, 1.0, 1.0, 0.5, -2.0},
                                           OneState{-0.4, 2.5, 0.3, -1.0, 0.7},
                                           OneState{0.0, -1.0, 4.0, 0.0, 1.0}));

TEST(SecondOrder, OneStateOneControlAgainstHandSolution) {
    // f = (x' - 0.5 x + q0 x^2, y' - 2 y + 2 x + q1 x'^2), so a = I and
    // b = [0.5 0; -2 2]; to first order hx = 0.5 and gx solves
    // gx hx = 2 gx - 2, gx = 4/3.
    const f64 a[4] = {1, 0, 0, 1}, b[4] = {0.5, 0, -2, 2};
    const f64 q0 = 0.7, q1 = -0.3;
    // z = (x', y', x, y): d2 f0 / dx^2 = 2 q0 at (2, 2); d2 f1 / dx'^2 = 2 q1 at (0, 0).
    std::vector<f64> fxx(2 * 16, 0.0);
    fxx[0 * 16 + 2 * 4 + 2] = 2 * q0;
    fxx[1 * 16 + 0 * 4 + 0] = 2 * q1;
    const f64 gx = 4.0 / 3.0, hx = 0.5;
    f64 gxx = NAN, hxx = NAN;
    ASSERT_EQ(trova_second_order(a, b, fxx.data(), &gx, &hx, 2, 1, &gxx, &hxx), 0);
    // Equation 0: hxx + 2 q0 = 0. Equation 1 (y' = g(x'), x' = h(x)):
    // gxx hx^2 + gx hxx - 2 gxx + 2 q1 hx^2 = 0.
    const f64 hxx_ref = -2 * q0;
    const f64 gxx_ref = (gx * hxx_ref + 2 * q1 * hx * hx) / (2 - hx * hx);
    EXPECT_NEAR(hxx, hxx_ref, 1e-14);
    EXPECT_NEAR(gxx, gxx_ref, 1e-14);
}

TEST(SecondOrder, FailuresWriteNothing) {
    const f64 zero = 0.0, one = 1.0, half = 0.5;
    const f64 fxx[4] = {1, 1, 1, 1};
    f64 hxx = -7.0, gxx = -7.0, hss = -7.0, gss = -7.0;
    EXPECT_EQ(trova_second_order(&zero, &zero, fxx, nullptr, &half, 1, 1, &gxx, &hxx), -2);
    EXPECT_EQ(hxx, -7.0);
    EXPECT_EQ(trova_second_order_risk(&zero, &zero, fxx, nullptr, &gxx, &one, 1, 1, 1, &gss,
                                      &hss),
              -2);
    EXPECT_EQ(hss, -7.0);
    EXPECT_EQ(trova_second_order(&one, &one, fxx, &one, &one, 1, 0, &gxx, &hxx), -1);
    EXPECT_EQ(gxx, -7.0);
}

}  // namespace
