// QZ solution through Debian's LAPACK zgges_ (linked into the tests only),
// a stand-in zgges for the call protocol and INFO mapping, the
// post-processing edge cases and the state-space assembly. The pencils with
// known stable manifolds, and SciPy's ordqz, are in tests/python/test_qz.py.
#include <gtest/gtest.h>

#include <cmath>
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

// A stand-in zgges that answers the workspace query with g_query and, on
// the second call, records the largest component of A it is handed and what
// the selection function makes of pairs whose squared moduli underflow or
// overflow.
f64 g_query = 1.0;
f64 g_seen_max = 0.0;
int g_sel[3] = {-1, -1, -1};
void probing_zgges(const char*, const char*, const char*, klein_zselect2_fn selctg, const int* n,
                   c128* a, const int*, c128*, const int*, int*, c128*, c128*, c128*, const int*,
                   c128*, const int*, c128* work, const int* lwork, f64*, int*, int* info) {
    ++g_calls;
    *info = 0;
    if (*lwork == -1) {
        work[0].re = g_query;
        return;
    }
    g_second_lwork = *lwork;
    g_seen_max = 0.0;
    for (int k = 0; k < *n * *n; ++k)
        g_seen_max = std::fmax(g_seen_max, std::fmax(std::fabs(a[k].re), std::fabs(a[k].im)));
    const c128 tiny_big{2e-170, 0.0}, tiny_small{0.0, 1e-170};
    const c128 huge_small{1e200, 0.0}, huge_big{0.0, -2e200};
    g_sel[0] = selctg(&tiny_big, &tiny_small);
    g_sel[1] = selctg(&huge_small, &huge_big);
    g_sel[2] = selctg(&huge_big, &huge_small);
}

TEST(KleinQz, SelectionComparesModuliWithoutUnderflowOrOverflow) {
    std::vector<c128> s(4, c128{1.0, 0.0}), t(4, c128{0.5, 0.0}), z(4);
    g_calls = 0;
    ASSERT_EQ(klein_qz(probing_zgges, 2, s.data(), t.data(), z.data()), 0);
    EXPECT_EQ(g_calls, 2);
    EXPECT_EQ(g_sel[0], 1);  // |2e-170| > |1e-170i|
    EXPECT_EQ(g_sel[1], 0);
    EXPECT_EQ(g_sel[2], 1);  // |-2e200i| > |1e200|
}

TEST(KleinQz, FarScaledPencilReachesZggesNearUnitScale) {
    // A pencil beyond 2^-200 or 2^200 goes to zgges with its largest
    // component in [0.5, 1), by a power of two, and comes back exactly; one
    // in between goes as it is.
    for (f64 scale : {1e-170, 1e-300, 1e150, 1e300, 1e-50, 1.0, 1e50}) {
        std::vector<c128> s = {{1.0 * scale, -3.0 * scale}, {0.0, 2.5 * scale}, {4.0 * scale, 0.0}, {0.1 * scale, 0.0}};
        std::vector<c128> t = {{0.5 * scale, 0.0}, {-7.0 * scale, 0.0}, {0.0, 0.0}, {1.0 * scale, 1.0 * scale}};
        const std::vector<c128> s0 = s, t0 = t;
        std::vector<c128> z(4);
        g_calls = 0;
        ASSERT_EQ(klein_qz(probing_zgges, 2, s.data(), t.data(), z.data()), 0) << scale;
        // The pencil's largest component is t's 7 scale; A's is 4 scale.
        const f64 big = 7.0 * scale;
        if (big < 0x1p-200 || big > 0x1p200) {
            EXPECT_GE(g_seen_max * 7.0 / 4.0, 0.5) << scale;
            EXPECT_LT(g_seen_max * 7.0 / 4.0, 1.0) << scale;
            int e = 0;
            EXPECT_EQ(std::frexp(g_seen_max / (4.0 * scale), &e), 0.5) << scale;  // a power of two
        } else {
            EXPECT_EQ(g_seen_max, 4.0 * scale) << scale;
        }
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(s[k].re, s0[k].re) << scale;
            EXPECT_EQ(s[k].im, s0[k].im) << scale;
            EXPECT_EQ(t[k].re, t0[k].re) << scale;
            EXPECT_EQ(t[k].im, t0[k].im) << scale;
        }
    }
}

TEST(KleinQz, QueriedWorkspaceThatIsNotPositiveBecomesOne) {
    std::vector<c128> s(4), t(4), z(4);
    for (f64 q : {0.0, -3.0, 0.5, std::nan("")}) {
        g_query = q;
        g_second_lwork = 0;
        ASSERT_EQ(klein_qz(probing_zgges, 2, s.data(), t.data(), z.data()), 0);
        EXPECT_EQ(g_second_lwork, 1) << q;
    }
    g_query = 1.0;
}

TEST(KleinQz, RefusesNullZggesAndOrdersBeyondItsIntegers) {
    std::vector<c128> s(4, c128{5.0, 5.0}), t(4, c128{5.0, 5.0}), z(4, c128{5.0, 5.0});
    EXPECT_EQ(klein_qz(nullptr, 2, s.data(), t.data(), z.data()), -1);
    g_calls = 0;
    // 2^32 + 2 would have reached zgges as N = 2.
    for (i64 n : {i64{-1}, i64{1} << 31, (i64{1} << 32) + 2, i64{1} << 62})
        EXPECT_EQ(klein_qz(probing_zgges, n, s.data(), t.data(), z.data()), -1) << n;
    EXPECT_EQ(g_calls, 0);
    for (const auto* v : {&s, &t, &z})
        for (const c128& c : *v) EXPECT_TRUE(c.re == 5.0 && c.im == 5.0);
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
