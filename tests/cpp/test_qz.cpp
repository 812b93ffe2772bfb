// QZ solution through Debian's LAPACK zgges_ (linked into the tests only),
// the post-processing and the state-space assembly. Models are built from a
// known eigen-decomposition a M = G, b M = G Lambda, so that the stable
// manifold, F = M2 M1^-1 and P = M1 Lambda_s M1^-1 are known analytically.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "klein_solve.h"
#include "trova.h"

extern "C" void zgges_(const char* jobvsl, const char* jobvsr, const char* sort,
                       klein_zselect2_fn selctg, const int* n, c128* a, const int* lda, c128* b,
                       const int* ldb, int* sdim, c128* alpha, c128* beta, c128* vsl,
                       const int* ldvsl, c128* vsr, const int* ldvsr, c128* work,
                       const int* lwork, f64* rwork, int* bwork, int* info);

namespace {

using Mat = std::vector<f64>;

Mat matmul(const Mat& x, const Mat& y, int n) {
    Mat out(n * n, 0.0);
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < n; ++k)
            for (int j = 0; j < n; ++j) out[i * n + j] += x[i * n + k] * y[k * n + j];
    return out;
}

// a = G M^-1 and b = G Lambda M^-1 with M = [I 0; L 1] (so M^-1 = [I 0; -L 1])
// for two states and one control: the stable manifold of the first two
// eigenvalues has F = L and P = diag(lambda_0, lambda_1).
struct Model {
    Mat a, b;
};

Model build(const f64 lam[3]) {
    const f64 L0 = 0.5, L1 = -0.4;
    const Mat minv = {1, 0, 0, 0, 1, 0, -L0, -L1, 1};
    const Mat g = {2.0, 0.3, -0.5, 0.1, 1.5, 0.4, -0.2, 0.6, 1.2};
    Mat lm = minv;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) lm[i * 3 + j] *= lam[i];
    return {matmul(g, minv, 3), matmul(g, lm, 3)};
}

std::vector<f64> sorted_moduli(const std::vector<c128>& eig) {
    std::vector<f64> m;
    for (const c128& e : eig) m.push_back(std::hypot(e.re, e.im));
    std::sort(m.begin(), m.end());
    return m;
}

TEST(KleinQz, IdentityAgainstDiagonalPencil) {
    const Mat a = {1, 0, 0, 1}, b = {0.5, 0, 0, 2};
    std::vector<c128> f(1), p(1), eig(2);
    i64 stab = 99;
    ASSERT_EQ(trova_klein_solve(zgges_, a.data(), b.data(), 1, 1, f.data(), p.data(), &stab,
                                eig.data()),
              0);
    EXPECT_EQ(stab, 0);
    EXPECT_NEAR(eig[0].re, 0.5, 1e-15);
    EXPECT_NEAR(eig[0].im, 0.0, 1e-15);
    EXPECT_NEAR(eig[1].re, 2.0, 1e-15);
    EXPECT_NEAR(eig[1].im, 0.0, 1e-15);
    EXPECT_NEAR(p[0].re, 0.5, 1e-15);
    EXPECT_NEAR(std::hypot(f[0].re, f[0].im), 0.0, 1e-15);
}

struct BkCase {
    f64 lam[3];
    i64 stab;
};

class KleinBk : public ::testing::TestWithParam<BkCase> {};

TEST_P(KleinBk, CountAndEigenvalues) {
    const BkCase c = GetParam();
    const Model m = build(c.lam);
    std::vector<c128> f(2), p(4), eig(3);
    i64 stab = 99;
    ASSERT_EQ(trova_klein_solve(zgges_, m.a.data(), m.b.data(), 2, 1, f.data(), p.data(), &stab,
                                eig.data()),
              0);
    EXPECT_EQ(stab, c.stab);
    std::vector<f64> want;
    for (f64 l : c.lam) want.push_back(std::fabs(l));
    std::sort(want.begin(), want.end());
    const std::vector<f64> got = sorted_moduli(eig);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(got[k], want[k], 1e-12);
    // Schur order: stable roots (|eig| < 1) first.
    int n_stable = 0;
    for (f64 l : c.lam) n_stable += std::fabs(l) < 1.0;
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(std::hypot(eig[k].re, eig[k].im) < 1.0, k < n_stable) << k;
    if (c.stab == 0) {
        // F = [0.5, -0.4], P = diag(lambda_0, lambda_1).
        EXPECT_NEAR(f[0].re, 0.5, 1e-12);
        EXPECT_NEAR(f[1].re, -0.4, 1e-12);
        const f64 pw[4] = {c.lam[0], 0, 0, c.lam[1]};
        for (int k = 0; k < 4; ++k) {
            EXPECT_NEAR(p[k].re, pw[k], 1e-12);
            EXPECT_NEAR(p[k].im, 0.0, 1e-12);
        }
        // The assembled state space reproduces w(t) = A w(t-1) + B eps(t).
        Mat A(9, -1.0), B(6, -1.0);
        trova_assemble_state_space(p.data(), f.data(), 2, 1, 2, A.data(), B.data());
        const Mat aw = {c.lam[0], 0, 0, 0, c.lam[1], 0, 0.5 * c.lam[0], -0.4 * c.lam[1], 0};
        const Mat bw = {1, 0, 0, 1, 0.5, -0.4};
        for (int k = 0; k < 9; ++k) EXPECT_NEAR(A[k], aw[k], 1e-12) << k;
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(B[k], bw[k], 1e-12) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Models, KleinBk,
                         ::testing::Values(BkCase{{0.9, 0.5, 1.5}, 0},   // determinate
                                           BkCase{{-0.8, 0.3, 3.0}, 0},  // negative root
                                           BkCase{{0.9, 0.5, 0.7}, 1},   // indeterminate
                                           BkCase{{0.9, 1.5, 2.0}, -1},  // explosive
                                           BkCase{{1.2, 1.5, 2.0}, -1}));

TEST(KleinQz, AllPredeterminedGivesTransitionOnly) {
    // n_cs = 0: P is the whole stable transition a^-1 b.
    const Mat a = {2.0, 0.5, 0.0, 1.0}, b = {1.0, 0.2, 0.3, 0.4};
    std::vector<c128> p(4), eig(2);
    c128 f_unused{7.0, 7.0};
    i64 stab = 99;
    ASSERT_EQ(trova_klein_solve(zgges_, a.data(), b.data(), 2, 0, &f_unused, p.data(), &stab,
                                eig.data()),
              0);
    EXPECT_EQ(stab, 0);
    EXPECT_EQ(f_unused.re, 7.0);
    // a^-1 = [0.5 -0.25; 0 1].
    const f64 want[4] = {0.5 * 1.0 - 0.25 * 0.3, 0.5 * 0.2 - 0.25 * 0.4, 0.3, 0.4};
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(p[k].re, want[k], 1e-13);
        EXPECT_NEAR(p[k].im, 0.0, 1e-13);
    }
}

// A stand-in zgges that records its calls and reports a chosen INFO.
int g_calls = 0;
int g_first_lwork = 0, g_second_lwork = 0;
int g_info = 0;
void fake_zgges(const char*, const char*, const char*, klein_zselect2_fn, const int*, c128*,
                const int*, c128*, const int*, int*, c128*, c128*, c128*, const int*, c128*,
                const int*, c128* work, const int* lwork, f64*, int*, int* info) {
    if (g_calls == 0) {
        g_first_lwork = *lwork;
        work[0].re = 37.9;  // truncated to 37
        *info = 5;          // the query's INFO is not examined
    } else {
        g_second_lwork = *lwork;
        *info = g_info;
    }
    ++g_calls;
}

TEST(KleinQz, WorkspaceQueryThenSolveAndInfoMapsToMinusTwo) {
    std::vector<c128> s(4), t(4), z(4);
    for (int info : {0, 3, -7}) {
        g_calls = 0;
        g_info = info;
        const i64 st = klein_qz(fake_zgges, 2, s.data(), t.data(), z.data());
        EXPECT_EQ(g_calls, 2);
        EXPECT_EQ(g_first_lwork, -1);
        EXPECT_EQ(g_second_lwork, 37);
        EXPECT_EQ(st, info == 0 ? 0 : -2);
    }
    g_calls = 0;
    EXPECT_EQ(klein_qz(fake_zgges, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(g_calls, 0);
}

TEST(KleinPostproc, NoStatesAndSingularSchurFactor) {
    std::vector<c128> s(4, c128{0, 0}), t(4, c128{0, 0}), z(4, c128{0, 0}), f(2), p(1), eig(2);
    i64 stab = 99;
    EXPECT_EQ(klein_postproc(s.data(), t.data(), z.data(), 0, 2, f.data(), p.data(), &stab,
                             eig.data()),
              -3);
    EXPECT_EQ(stab, 2);
    // Z = I, S = diag(2, 0), T = diag(1, 3): the last root is infinite and
    // stable with n_s = 1 (S11 is invertible).
    s[0] = {2, 0};
    t[0] = {1, 0};
    t[3] = {3, 0};
    z[0] = {1, 0};
    z[3] = {1, 0};
    ASSERT_EQ(klein_postproc(s.data(), t.data(), z.data(), 1, 1, f.data(), p.data(), &stab,
                             eig.data()),
              0);
    EXPECT_EQ(stab, 0);
    EXPECT_EQ(eig[0].re, 0.5);
    EXPECT_TRUE(std::isinf(eig[1].re) && eig[1].re > 0);
    EXPECT_EQ(eig[1].im, 0.0);
    EXPECT_EQ(p[0].re, 0.5);
    // Singular Z11: -2 with stab left at 2.
    z[0] = {0, 0};
    EXPECT_EQ(klein_postproc(s.data(), t.data(), z.data(), 1, 1, f.data(), p.data(), &stab,
                             eig.data()),
              -2);
    EXPECT_EQ(stab, 2);
    // Singular S11 with Z11 invertible: -2, but stab and eig are written.
    z[0] = {1, 0};
    s[0] = {0, 0};
    eig[0] = {-5, -5};
    EXPECT_EQ(klein_postproc(s.data(), t.data(), z.data(), 1, 1, f.data(), p.data(), &stab,
                             eig.data()),
              -2);
    EXPECT_EQ(stab, -1);
    EXPECT_TRUE(std::isinf(eig[0].re));
}

TEST(AssembleStateSpace, NoExogenousAndNoControls) {
    const std::vector<c128> p = {{0.5, 0.1}, {0.2, 0.0}, {0.0, 0.0}, {0.9, -0.3}};
    std::vector<f64> A(4, -1.0), B(2, -9.0);
    trova_assemble_state_space(p.data(), nullptr, 2, 0, 0, A.data(), B.data());
    EXPECT_EQ(A, (std::vector<f64>{0.5, 0.2, 0.0, 0.9}));
    EXPECT_EQ(B, (std::vector<f64>{-9.0, -9.0}));
    trova_assemble_state_space(p.data(), nullptr, 2, 0, 1, A.data(), B.data());
    EXPECT_EQ(B, (std::vector<f64>{1.0, 0.0}));
    // Complex F and P: the control row is Re(F P), not Re F Re P.
    const std::vector<c128> f = {{0.0, 1.0}, {2.0, 0.0}};
    std::vector<f64> A3(9, -1.0), B3(6, -1.0);
    trova_assemble_state_space(p.data(), f.data(), 2, 1, 2, A3.data(), B3.data());
    // F P = [i*0.5 - 0.1 + 0, i*0.2 + 2*(0.9 - 0.3i)] -> real parts [-0.1, 1.8].
    EXPECT_NEAR(A3[6], -0.1, 1e-15);
    EXPECT_NEAR(A3[7], 1.8, 1e-15);
    EXPECT_EQ(A3[2], 0.0);
    EXPECT_EQ(A3[8], 0.0);
    EXPECT_EQ(B3, (std::vector<f64>{1, 0, 0, 1, 0.0, 2.0}));
}

}  // namespace
