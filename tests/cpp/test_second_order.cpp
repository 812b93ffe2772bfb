// Second-order perturbation on closed-form cases, in C++ so that the
// sanitizer build's LeakSanitizer checks every return path of the kernels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/sylvester.h"
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
    EXPECT_EQ(trova_second_order_dense(&zero, &zero, fxx, nullptr, &half, 1, 1, &gxx, &hxx), -2);
    EXPECT_EQ(trova_second_order_dense(&one, &one, fxx, &one, &one, 1, 0, &gxx, &hxx), -1);
    EXPECT_EQ(gxx, -7.0);
    EXPECT_EQ(hxx, -7.0);
}

// A random model whose reduced system (R = n nx (nx + 1) / 2) spans one or
// several panels of the blocked factorisation: the solution must satisfy
// every equation of the unreduced system, evaluated term by term.
struct Random {
    i64 n, nx;
};

class SecondOrderResidual : public ::testing::TestWithParam<Random> {};

TEST_P(SecondOrderResidual, SolvesEveryUnreducedEquation) {
    const i64 n = GetParam().n, nx = GetParam().nx, ny = n - nx, n2 = 2 * n;
    std::uint64_t state = 12345;
    auto u = [&state]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<f64>(state >> 11) * 0x1.0p-52 - 1.0;
    };
    std::vector<f64> a(n * n), b(n * n), fxx(n * n2 * n2), gx(ny * nx), hx(nx * nx);
    for (i64 i = 0; i < n * n; ++i) {
        a[i] = 0.3 * u();
        b[i] = 0.3 * u();
    }
    for (i64 i = 0; i < n; ++i) {
        a[i * n + i] += 2.0;
        b[i * n + i] += 2.0;
    }
    for (i64 i = 0; i < n; ++i)
        for (i64 r = 0; r < n2; ++r)
            for (i64 c = 0; c <= r; ++c) fxx[(i * n2 + r) * n2 + c] = fxx[(i * n2 + c) * n2 + r] = u();
    for (auto& v : gx) v = u();
    for (auto& v : hx) v = 0.6 * u() / static_cast<f64>(nx);
    std::vector<f64> gxx(ny * nx * nx, NAN), hxx(nx * nx * nx, NAN);
    ASSERT_EQ(trova_second_order(a.data(), b.data(), fxx.data(), gx.data(), hx.data(), n, nx,
                                 gxx.data(), hxx.data()),
              0);

    // V = (hx; gx hx; I; gx) and C = fx' + fy' gx, straight from the definitions.
    std::vector<f64> V(n2 * nx, 0.0), C(n * nx, 0.0);
    for (i64 p = 0; p < nx; ++p)
        for (i64 j = 0; j < nx; ++j) {
            V[p * nx + j] = hx[p * nx + j];
            V[(n + p) * nx + j] = p == j ? 1.0 : 0.0;
        }
    for (i64 l = 0; l < ny; ++l)
        for (i64 j = 0; j < nx; ++j) {
            f64 acc = 0.0;
            for (i64 p = 0; p < nx; ++p) acc += gx[l * nx + p] * hx[p * nx + j];
            V[(nx + l) * nx + j] = acc;
            V[(n + nx + l) * nx + j] = gx[l * nx + j];
        }
    for (i64 i = 0; i < n; ++i)
        for (i64 m = 0; m < nx; ++m) {
            f64 acc = a[i * n + m];
            for (i64 l = 0; l < ny; ++l) acc += a[i * n + nx + l] * gx[l * nx + m];
            C[i * nx + m] = acc;
        }
    f64 worst = 0.0;
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < nx; ++j)
            for (i64 k = 0; k < nx; ++k) {
                f64 res = 0.0;
                for (i64 r = 0; r < n2; ++r)
                    for (i64 c = 0; c < n2; ++c)
                        res += fxx[(i * n2 + r) * n2 + c] * V[r * nx + j] * V[c * nx + k];
                for (i64 l = 0; l < ny; ++l) {
                    f64 quad = 0.0;
                    for (i64 p = 0; p < nx; ++p)
                        for (i64 q = 0; q < nx; ++q)
                            quad += gxx[(l * nx + p) * nx + q] * hx[p * nx + j] * hx[q * nx + k];
                    res += a[i * n + nx + l] * quad - b[i * n + nx + l] * gxx[(l * nx + j) * nx + k];
                }
                for (i64 m = 0; m < nx; ++m) res += C[i * nx + m] * hxx[(m * nx + j) * nx + k];
                worst = std::max(worst, std::fabs(res));
            }
    EXPECT_LT(worst, 1e-10);
    EXPECT_GT(std::fabs(hxx[0]) + std::fabs(gxx.empty() ? 0.0 : gxx[0]), 1e-6);

    // The dense reference path: the same terms to rounding.
    std::vector<f64> gd(gxx.size(), NAN), hd(hxx.size(), NAN);
    ASSERT_EQ(trova_second_order_dense(a.data(), b.data(), fxx.data(), gx.data(), hx.data(), n,
                                       nx, gd.data(), hd.data()),
              0);
    f64 big = 0.0, diff = 0.0;
    for (std::size_t e = 0; e < gd.size(); ++e) {
        big = std::max(big, std::fabs(gd[e]));
        diff = std::max(diff, std::fabs(gd[e] - gxx[e]));
    }
    for (std::size_t e = 0; e < hd.size(); ++e) {
        big = std::max(big, std::fabs(hd[e]));
        diff = std::max(diff, std::fabs(hd[e] - hxx[e]));
    }
    EXPECT_LE(diff, 1e-10 * big);

    // The same model with one equation stripped of its coefficients is
    // singular; the failure path frees everything (LeakSanitizer) and
    // writes nothing.
    for (i64 c = 0; c < n; ++c) a[(n - 1) * n + c] = b[(n - 1) * n + c] = 0.0;
    std::vector<f64> g2(gxx.size(), -7.0), h2(hxx.size(), -7.0);
    EXPECT_EQ(trova_second_order(a.data(), b.data(), fxx.data(), gx.data(), hx.data(), n, nx,
                                 g2.data(), h2.data()),
              -2);
    EXPECT_EQ(trova_second_order_dense(a.data(), b.data(), fxx.data(), gx.data(), hx.data(), n,
                                       nx, g2.data(), h2.data()),
              -2);
    for (f64 v : h2) EXPECT_EQ(v, -7.0);
    for (f64 v : g2) EXPECT_EQ(v, -7.0);
}

// trova_second_order runs the dense path for one or two states and small
// systems; the structured path must agree with it there too, also when
// A = [fy, C] is singular (a control without current-period coefficients).
TEST(SecondOrderStructured, AgreesWithDenseForOneAndTwoStates) {
    const Random sizes[] = {{1, 1}, {2, 1}, {7, 1}, {2, 2}, {5, 2}, {13, 2}};
    std::uint64_t state = 777;
    auto u = [&state]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<f64>(state >> 11) * 0x1.0p-52 - 1.0;
    };
    for (const Random& sz : sizes) {
        for (int static_control = 0; static_control < 2; ++static_control) {
            const i64 n = sz.n, nx = sz.nx, ny = n - nx, n2 = 2 * n;
            if (static_control && ny == 0) continue;
            std::vector<f64> a(n * n), b(n * n), fxx(n * n2 * n2), gx(ny * nx), hx(nx * nx);
            for (i64 i = 0; i < n * n; ++i) {
                a[i] = 0.3 * u() + (i % (n + 1) == 0 ? 2.0 : 0.0);
                b[i] = 0.3 * u() + (i % (n + 1) == 0 ? 2.0 : 0.0);
            }
            if (static_control)
                for (i64 i = 0; i < n; ++i) b[i * n + nx] = 0.0;
            for (auto& v : fxx) v = u();
            for (auto& v : gx) v = 0.5 * u();
            // Complex eigenvalues 0.6 (cos 1 +- i sin 1) when nx = 2.
            if (nx == 1) hx[0] = 0.7;
            if (nx == 2) hx = {0.6 * std::cos(1.0), -0.6 * std::sin(1.0), 0.6 * std::sin(1.0),
                               0.6 * std::cos(1.0)};
            std::vector<f64> gs(ny * nx * nx + 1, NAN), hs(nx * nx * nx, NAN);
            std::vector<f64> gd(gs.size(), NAN), hd(hs.size(), NAN);
            ASSERT_EQ(trova_core::second_order_structured(a.data(), b.data(), fxx.data(), gx.data(),
                                                          hx.data(), n, nx, gs.data(), hs.data()),
                      0);
            ASSERT_EQ(trova_second_order_dense(a.data(), b.data(), fxx.data(), gx.data(), hx.data(),
                                               n, nx, gd.data(), hd.data()),
                      0);
            f64 big = 0.0, diff = 0.0;
            for (i64 e = 0; e < ny * nx * nx; ++e) {
                big = std::max(big, std::fabs(gd[e]));
                diff = std::max(diff, std::fabs(gd[e] - gs[e]));
            }
            for (i64 e = 0; e < nx * nx * nx; ++e) {
                big = std::max(big, std::fabs(hd[e]));
                diff = std::max(diff, std::fabs(hd[e] - hs[e]));
            }
            EXPECT_GT(big, 1e-6);
            EXPECT_LE(diff, 1e-10 * big) << n << " " << nx << " " << static_control;
            EXPECT_TRUE(std::isnan(gs[ny * nx * nx]));  // nothing past the output
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SecondOrderResidual,
                         ::testing::Values(Random{1, 1}, Random{3, 2}, Random{6, 3},
                                           Random{12, 5}, Random{15, 6}, Random{9, 9}));

}  // namespace
