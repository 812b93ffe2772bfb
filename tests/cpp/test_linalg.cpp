// Unit tests of the real dense kernels: products against a long-double
// reference over every block shape, the Cholesky factorisation's tolerance,
// jitter, NaN and failure rules, the solves, and the sort and median.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "trova_linalg.h"

namespace {

using Vec = std::vector<f64>;

constexpr f64 kEps = 0x1p-52;
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
constexpr f64 kSentinel = -777.25;

Vec random_vec(std::size_t n, std::mt19937_64& gen, f64 lo = -1.0, f64 hi = 1.0) {
    std::uniform_real_distribution<f64> u(lo, hi);
    Vec x(n);
    for (f64& v : x) v = u(gen);
    return x;
}

std::uint64_t bits(f64 x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// A buffer of n elements with sentinel guards on both sides, to catch writes
// outside the block a kernel owns.
struct Guarded {
    static constexpr std::size_t kPad = 8;
    Vec buf;
    explicit Guarded(std::size_t n) : buf(n + 2 * kPad, kSentinel) {}
    f64* data() { return buf.data() + kPad; }
    f64 operator[](std::size_t i) const { return buf[kPad + i]; }
    bool guards_intact() const {
        for (std::size_t i = 0; i < kPad; ++i) {
            if (buf[i] != kSentinel || buf[buf.size() - 1 - i] != kSentinel) return false;
        }
        return true;
    }
};

// Element (i, j) of a product with operands given by strides, its long-double
// value and the bound sum |a||b| that scales its rounding error.
struct RefEntry {
    long double value;
    long double magnitude;
};

RefEntry ref_entry(const f64* a, i64 sai, i64 sak, const f64* b, i64 sbk, i64 sbj, i64 i, i64 j,
                   i64 k_count, f64 init) {
    RefEntry e{init, std::fabs(init)};
    for (i64 k = 0; k < k_count; ++k) {
        const long double t = static_cast<long double>(a[i * sai + k * sak]) * b[k * sbk + j * sbj];
        e.value += t;
        e.magnitude += std::fabs(t);
    }
    return e;
}

enum class Product { AB, AtB, ABt, ABtPlusC };

// Runs one product of out_rows x out_cols with inner dimension k_count and
// compares every element with the reference to a bound of a few ulps per term.
void check_product(Product kind, i64 out_rows, i64 k_count, i64 out_cols, std::mt19937_64& gen) {
    const std::size_t sa = static_cast<std::size_t>(out_rows * k_count);
    const std::size_t sb = static_cast<std::size_t>(k_count * out_cols);
    const std::size_t so = static_cast<std::size_t>(out_rows * out_cols);
    const Vec A = random_vec(sa, gen), B = random_vec(sb, gen), C = random_vec(so, gen);
    Guarded out(so);
    // Operand strides of the reference: Aop(i, k) and Bop(k, j).
    i64 sai = k_count, sak = 1, sbk = out_cols, sbj = 1;
    switch (kind) {
        case Product::AB:
            trova_matmul(A.data(), B.data(), out.data(), out_rows, k_count, out_cols);
            break;
        case Product::AtB:  // A is k_count x out_rows, B is k_count x out_cols
            sai = 1;
            sak = out_rows;
            trova_matmul_atb(A.data(), B.data(), out.data(), k_count, out_rows, out_cols);
            break;
        case Product::ABt:  // B is out_cols x k_count
            sbk = 1;
            sbj = k_count;
            trova_matmul_abt(A.data(), B.data(), out.data(), out_rows, k_count, out_cols);
            break;
        case Product::ABtPlusC:
            sbk = 1;
            sbj = k_count;
            trova_matmul_abt_plus_c(A.data(), B.data(), C.data(), out.data(), out_rows, k_count,
                                    out_cols);
            break;
    }
    ASSERT_TRUE(out.guards_intact()) << out_rows << "x" << k_count << "x" << out_cols;
    for (i64 i = 0; i < out_rows; ++i) {
        for (i64 j = 0; j < out_cols; ++j) {
            const f64 init = kind == Product::ABtPlusC ? C[i * out_cols + j] : 0.0;
            const RefEntry e = ref_entry(A.data(), sai, sak, B.data(), sbk, sbj, i, j, k_count, init);
            const f64 got = out[static_cast<std::size_t>(i * out_cols + j)];
            ASSERT_NEAR(got, static_cast<f64>(e.value),
                        static_cast<f64>(e.magnitude) * (k_count + 2) * kEps)
                << "(" << i << "," << j << ") of " << out_rows << "x" << k_count << "x" << out_cols;
        }
    }
}

TEST(LinalgProducts, AllOrientationsMatchReferenceOverBlockShapes) {
    std::mt19937_64 gen(11);
    // Output shapes cover every row remainder of the row blocks and every
    // column remainder of the column blocks; inner sizes cross the chunking
    // of the inner dimension (one chunk, exactly one, one plus one, several).
    const i64 outer[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 16, 17, 23};
    const i64 inner[] = {1, 3, 8, 33, 256, 257, 600};
    for (Product kind : {Product::AB, Product::AtB, Product::ABt, Product::ABtPlusC}) {
        for (i64 r : outer) {
            for (i64 c : outer) check_product(kind, r, 5, c, gen);
        }
        for (i64 k : inner) {
            check_product(kind, 7, k, 13, gen);
            check_product(kind, 13, k, 9, gen);
        }
    }
}

TEST(LinalgProducts, EmptyInnerDimensionWritesEmptySum) {
    std::mt19937_64 gen(12);
    const i64 n = 5, m = 7;
    const Vec C = random_vec(n * m, gen), b = random_vec(n, gen);
    const f64 unused = 0.0;
    for (i64 p : {0, -3}) {
        Guarded out(n * m);
        trova_matmul(&unused, &unused, out.data(), n, p, m);
        for (i64 i = 0; i < n * m; ++i) EXPECT_EQ(out[i], 0.0);
        trova_matmul_abt(&unused, &unused, out.data(), n, p, m);
        for (i64 i = 0; i < n * m; ++i) EXPECT_EQ(out[i], 0.0);
        std::fill(out.data(), out.data() + n * m, kSentinel);
        trova_matmul_abt_plus_c(&unused, &unused, C.data(), out.data(), n, p, m);
        for (i64 i = 0; i < n * m; ++i) EXPECT_EQ(out[i], C[i]);
        // The inner dimension of A^T B is the row count of A and B.
        std::fill(out.data(), out.data() + n * m, kSentinel);
        trova_matmul_atb(&unused, &unused, out.data(), p, n, m);
        for (i64 i = 0; i < n * m; ++i) EXPECT_EQ(out[i], 0.0);
        std::fill(out.data(), out.data() + n, kSentinel);
        trova_matvec(&unused, &unused, out.data(), n, p);
        for (i64 i = 0; i < n; ++i) EXPECT_EQ(out[i], 0.0);
        trova_matvec_plus_vec(&unused, &unused, b.data(), out.data(), n, p);
        for (i64 i = 0; i < n; ++i) EXPECT_EQ(out[i], b[i]);
        EXPECT_TRUE(out.guards_intact());
        EXPECT_EQ(trova_dot(&unused, &unused, p), 0.0);
    }
}

TEST(LinalgProducts, EmptyOuterDimensionWritesNothing) {
    Guarded out(16);
    const Vec A(16, 1.0), B(16, 1.0);
    for (i64 e : {0, -2}) {
        trova_matmul(A.data(), B.data(), out.data(), e, 4, 4);
        trova_matmul(A.data(), B.data(), out.data(), 4, 4, e);
        trova_matmul_atb(A.data(), B.data(), out.data(), 4, e, 4);
        trova_matmul_atb(A.data(), B.data(), out.data(), 4, 4, e);
        trova_matmul_abt(A.data(), B.data(), out.data(), e, 4, 4);
        trova_matmul_abt_plus_c(A.data(), B.data(), A.data(), out.data(), 4, 4, e);
        trova_matvec(A.data(), B.data(), out.data(), e, 4);
        trova_zero_mat(out.data(), e, 4);
        trova_zero_mat(out.data(), 4, e);
        trova_gram(A.data(), out.data(), 4, e);
        trova_gram_rhs(A.data(), B.data(), out.data(), 4, e);
    }
    for (i64 i = 0; i < 16; ++i) EXPECT_EQ(out[i], kSentinel);
    EXPECT_TRUE(out.guards_intact());
}

TEST(LinalgProducts, MatvecAndDotMatchReference) {
    std::mt19937_64 gen(13);
    for (i64 n : {1, 3, 8}) {
        for (i64 m : {1, 2, 5, 16, 37}) {
            const Vec A = random_vec(n * m, gen), x = random_vec(m, gen), b = random_vec(n, gen);
            Vec out(n), out_b(n);
            trova_matvec(A.data(), x.data(), out.data(), n, m);
            trova_matvec_plus_vec(A.data(), x.data(), b.data(), out_b.data(), n, m);
            for (i64 i = 0; i < n; ++i) {
                const RefEntry e = ref_entry(A.data(), m, 1, x.data(), 1, 0, i, 0, m, 0.0);
                const f64 tol = static_cast<f64>(e.magnitude) * (m + 2) * kEps;
                EXPECT_NEAR(out[i], static_cast<f64>(e.value), tol);
                EXPECT_NEAR(trova_dot(A.data() + i * m, x.data(), m), static_cast<f64>(e.value), tol);
                EXPECT_NEAR(out_b[i], static_cast<f64>(e.value + b[i]), tol + std::fabs(b[i]) * kEps);
            }
        }
    }
}

TEST(LinalgElementwise, VsubInPlaceAndZeroMat) {
    Vec a = {1.5, -2.0, 3.25}, b = {0.5, 4.0, -1.0};
    Vec out(3);
    trova_vsub(a.data(), b.data(), out.data(), 3);
    EXPECT_EQ(out, (Vec{1.0, -6.0, 4.25}));
    trova_vsub(a.data(), b.data(), a.data(), 3);
    EXPECT_EQ(a, out);
    trova_vsub(out.data(), b.data(), b.data(), 3);
    EXPECT_EQ(b, (Vec{0.5, -10.0, 5.25}));
    Guarded z(6);
    trova_zero_mat(z.data(), 2, 3);
    for (i64 i = 0; i < 6; ++i) EXPECT_EQ(z[i], 0.0);
    EXPECT_TRUE(z.guards_intact());
}

TEST(LinalgElementwise, SymInplaceAveragesPairsAndKeepsDiagonal) {
    const f64 big = 1.5e308;  // doubling it would overflow
    Vec P = {1.0, 2.0, 3.0,   //
             4.0, big, 6.0,   //
             8.0, 10.0, 9.0};
    trova_sym_inplace(P.data(), 3);
    EXPECT_EQ(P, (Vec{1.0, 3.0, 5.5, 3.0, big, 8.0, 5.5, 8.0, 9.0}));
}

// X^T X / rows plus the identity: symmetric positive definite.
Vec spd(i64 n, std::mt19937_64& gen) {
    const Vec X = random_vec(static_cast<std::size_t>(3 * n * n), gen);
    Vec S(n * n, 0.0);
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) {
            long double s = 0.0;
            for (i64 r = 0; r < 3 * n; ++r) s += static_cast<long double>(X[r * n + i]) * X[r * n + j];
            S[i * n + j] = static_cast<f64>(s / (3 * n)) + (i == j ? 1.0 : 0.0);
        }
    }
    return S;
}

TEST(LinalgCholesky, OneByOneCasesAndJitter) {
    f64 L = kSentinel;
    const f64 four = 4.0, zero = 0.0;
    EXPECT_EQ(trova_chol(&four, 0.0, &L, 1), 0);
    EXPECT_EQ(L, 2.0);
    // tol = 0 and the pivot 0 is not above it.
    L = kSentinel;
    EXPECT_EQ(trova_chol(&zero, 0.0, &L, 1), -1);
    EXPECT_EQ(L, 0.0);
    EXPECT_EQ(trova_chol(&zero, 1e-8, &L, 1), 0);
    EXPECT_EQ(L, std::sqrt(1e-8));
    // A negative or NaN jitter is ignored, not subtracted.
    EXPECT_EQ(trova_chol(&zero, -1e-8, &L, 1), -1);
    EXPECT_EQ(trova_chol(&zero, kNaN, &L, 1), -1);
    EXPECT_EQ(trova_chol(&four, -1.0, &L, 1), 0);
    EXPECT_EQ(L, 2.0);
    EXPECT_EQ(trova_chol(nullptr, 0.0, nullptr, 0), 0);
}

TEST(LinalgCholesky, NonPositiveJitterEqualsNoJitterBitwise) {
    std::mt19937_64 gen(21);
    const Vec S = spd(9, gen);
    Vec L0(81), L1(81, kSentinel), L2(81, kSentinel);
    ASSERT_EQ(trova_chol(S.data(), 0.0, L0.data(), 9), 0);
    ASSERT_EQ(trova_chol(S.data(), -0.5, L1.data(), 9), 0);
    ASSERT_EQ(trova_chol(S.data(), kNaN, L2.data(), 9), 0);
    EXPECT_EQ(L0, L1);
    EXPECT_EQ(L0, L2);
    // A positive jitter is the same as adding it to the diagonal.
    Vec Sj = S, Lj(81), Ls(81);
    for (int i = 0; i < 9; ++i) Sj[i * 9 + i] += 0.25;
    ASSERT_EQ(trova_chol(S.data(), 0.25, Lj.data(), 9), 0);
    ASSERT_EQ(trova_chol(Sj.data(), 0.0, Ls.data(), 9), 0);
    EXPECT_EQ(Lj, Ls);
}

TEST(LinalgCholesky, FactorReproducesMatrixAndIsLowerTriangular) {
    std::mt19937_64 gen(22);
    for (i64 n : {1, 2, 5, 16, 33}) {
        const Vec S = spd(n, gen);
        Vec L(n * n, kSentinel);
        ASSERT_EQ(trova_chol(S.data(), 0.0, L.data(), n), 0);
        for (i64 i = 0; i < n; ++i) {
            EXPECT_GT(L[i * n + i], 0.0);
            for (i64 j = 0; j < n; ++j) {
                if (j > i) {
                    EXPECT_EQ(L[i * n + j], 0.0);
                    continue;
                }
                long double s = 0.0;
                for (i64 k = 0; k <= j; ++k) s += static_cast<long double>(L[i * n + k]) * L[j * n + k];
                EXPECT_NEAR(static_cast<f64>(s), S[i * n + j], 8 * n * kEps);
            }
        }
    }
}

TEST(LinalgCholesky, ReadsOnlyLowerTriangle) {
    std::mt19937_64 gen(23);
    const i64 n = 7;
    const Vec S = spd(n, gen);
    Vec garbage = S;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = i + 1; j < n; ++j) garbage[i * n + j] = j % 2 ? kNaN : -1e300;
    }
    const Vec garbage_copy = garbage;
    Vec L(n * n), Lg(n * n);
    ASSERT_EQ(trova_chol(S.data(), 0.0, L.data(), n), 0);
    ASSERT_EQ(trova_chol(garbage.data(), 0.0, Lg.data(), n), 0);
    EXPECT_EQ(L, Lg);
    for (i64 i = 0; i < n * n; ++i) EXPECT_EQ(bits(garbage[i]), bits(garbage_copy[i]));
}

// [[4, 2, 1], [2, 1 + delta, 0.5], [1, 0.5, 9]]: the second pivot is exactly
// delta, the third 8.75, and the tolerance is 3 * 2^-52 * 9 (the largest
// diagonal element).
Vec pivot_probe(f64 delta) { return {4.0, 2.0, 1.0, 2.0, 1.0 + delta, 0.5, 1.0, 0.5, 9.0}; }

TEST(LinalgCholesky, RelativeToleranceRejectsSmallPositivePivot) {
    const f64 tol = 3.0 * kEps * 9.0;
    for (f64 delta : {tol, 20 * kEps}) {  // at and below the tolerance, both > 0
        const Vec S = pivot_probe(delta);
        ASSERT_EQ(S[4] - 1.0, delta);
        Vec L(9, kSentinel);
        EXPECT_EQ(trova_chol(S.data(), 0.0, L.data(), 3), -1);
        // Completed row 0, the part of row 1 before the failing pivot, zeros elsewhere.
        EXPECT_EQ(L, (Vec{2.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0}));
    }
    // Just above the tolerance the pivot is accepted.
    const f64 delta = 2 * tol;
    const Vec S = pivot_probe(delta);
    Vec L(9);
    EXPECT_EQ(trova_chol(S.data(), 0.0, L.data(), 3), 0);
    EXPECT_EQ(L[4], std::sqrt(delta));
    EXPECT_EQ(L[7], 0.0);
    EXPECT_EQ(L[8], std::sqrt(8.75));
}

TEST(LinalgCholesky, FailureLeavesLaterRowsZeroWhereverItStops) {
    // Rows 0 and 1 factor to [2 0; 1 2]; row 2 is (1, 0, pivot 0) and fails.
    // Row 3 of the 4 x 4 matrix would have non-zero entries in columns 0 and
    // 1, yet must stay zero because the factorisation stopped before it.
    const Vec S4 = {4, 2, 2, 2,  2, 5, 1, 3,  2, 1, 1, 1,  2, 3, 1, 9};
    Vec L(16, kSentinel);
    EXPECT_EQ(trova_chol(S4.data(), 0.0, L.data(), 4), -1);
    EXPECT_EQ(L, (Vec{2, 0, 0, 0, 1, 2, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    // The same failing row as the last row of an odd-sized matrix.
    const Vec S3 = {4, 2, 2,  2, 5, 1,  2, 1, 1};
    Vec L3(9, kSentinel);
    EXPECT_EQ(trova_chol(S3.data(), 0.0, L3.data(), 3), -1);
    EXPECT_EQ(L3, (Vec{2, 0, 0, 1, 2, 0, 1, 0, 0}));
    // Raising the failing diagonal by 4 makes both succeed with pivot 2.
    Vec S4ok = S4;
    S4ok[10] += 4.0;
    EXPECT_EQ(trova_chol(S4ok.data(), 0.0, L.data(), 4), 0);
    EXPECT_EQ(L[10], 2.0);
    EXPECT_EQ(L[12], 1.0);
    EXPECT_EQ(L[13], 1.0);
}

TEST(LinalgCholesky, ToleranceScaleCountsJitterButNotNaN) {
    // diag(0, -1 + 2^-52) with jitter 1: the pivots are 1 and 2^-52, and the
    // tolerance 2 * 2^-52 * 1 rejects the second one.
    const Vec S = {0.0, 0.0, 0.0, -1.0 + kEps};
    Vec L(4, kSentinel);
    EXPECT_EQ(trova_chol(S.data(), 1.0, L.data(), 2), -1);
    EXPECT_EQ(L, (Vec{1.0, 0.0, 0.0, 0.0}));
    // A NaN diagonal element leaves the scale at 0, so the zero pivot before
    // it still fails.
    const Vec zero_then_nan = {0.0, 0.0, 0.0, kNaN};
    EXPECT_EQ(trova_chol(zero_then_nan.data(), 0.0, L.data(), 2), -1);
    EXPECT_EQ(L, Vec(4, 0.0));
}

TEST(LinalgCholesky, NaNPivotFails) {
    // A NaN pivot is a failed factorisation, whether the NaN sits on the
    // diagonal or reaches the pivot from an element to its left, in the
    // paired rows or in the last odd row; rows above the failing one stay.
    Vec L(4, kSentinel);
    const Vec nan_diag = {kNaN, 0.0, 1.0, 2.0};
    EXPECT_EQ(trova_chol(nan_diag.data(), 0.0, L.data(), 2), -1);
    EXPECT_EQ(L, Vec(4, 0.0));
    const Vec nan_off = {4.0, 0.0, kNaN, 4.0};
    EXPECT_EQ(trova_chol(nan_off.data(), 0.0, L.data(), 2), -1);
    EXPECT_EQ(L[0], 2.0);
    EXPECT_EQ(L[3], 0.0);
    for (i64 n : {1, 2, 3, 4, 5}) {
        for (i64 bad = 0; bad < n; ++bad) {
            Vec S(n * n, 0.0);
            for (i64 i = 0; i < n; ++i) S[i * n + i] = 4.0;
            S[bad * n + (bad > 0 ? bad - 1 : 0)] = kNaN;
            Vec Ln(n * n, kSentinel);
            EXPECT_EQ(trova_chol(S.data(), 1e-3, Ln.data(), n), -1) << "n " << n << " row " << bad;
            for (i64 i = 0; i < bad; ++i) EXPECT_EQ(Ln[i * n + i], std::sqrt(4.0 + 1e-3));
            EXPECT_EQ(Ln[bad * n + bad], 0.0);
        }
    }
}

TEST(LinalgCholesky, LogdetFromFactor) {
    const Vec L = {2.0, 0.0, 0.0, 1.0, 3.0, 0.0, -4.0, 5.0, 0.5};
    EXPECT_NEAR(trova_logdet_from_chol(L.data(), 3), 2.0 * std::log(3.0), 1e-15);
    EXPECT_EQ(trova_logdet_from_chol(L.data(), 0), 0.0);
}

TEST(LinalgSolves, TriangularSolvesInPlaceEqualOutOfPlace) {
    std::mt19937_64 gen(31);
    for (i64 n : {1, 2, 7, 20}) {
        const Vec S = spd(n, gen);
        Vec L(n * n);
        ASSERT_EQ(trova_chol(S.data(), 0.0, L.data(), n), 0);
        const Vec b = random_vec(n, gen);
        Vec fwd(n), bwd(n);
        trova_forward_subst(L.data(), b.data(), fwd.data(), n);
        trova_backward_subst_chol_t(L.data(), b.data(), bwd.data(), n);
        Vec fwd_in = b, bwd_in = b;
        trova_forward_subst(L.data(), fwd_in.data(), fwd_in.data(), n);
        trova_backward_subst_chol_t(L.data(), bwd_in.data(), bwd_in.data(), n);
        EXPECT_EQ(fwd, fwd_in);
        EXPECT_EQ(bwd, bwd_in);
        // Residuals of L fwd = b and L^T bwd = b.
        for (i64 i = 0; i < n; ++i) {
            long double rf = -b[i], rb = -b[i];
            for (i64 k = 0; k < n; ++k) {
                rf += static_cast<long double>(L[i * n + k]) * fwd[k];
                rb += static_cast<long double>(L[k * n + i]) * bwd[k];
            }
            EXPECT_NEAR(static_cast<f64>(rf), 0.0, 16 * n * kEps);
            EXPECT_NEAR(static_cast<f64>(rb), 0.0, 16 * n * kEps);
        }
    }
}

TEST(LinalgSolves, CholSolveAndInverse) {
    std::mt19937_64 gen(32);
    for (i64 p : {1, 3, 12, 31}) {
        const Vec G = spd(p, gen);
        const Vec g = random_vec(p, gen);
        Vec coef(p), Pinv(p * p), scratch(p * p);
        ASSERT_EQ(trova_chol_solve(G.data(), g.data(), coef.data(), scratch.data(), p), 0);
        ASSERT_EQ(trova_chol_inv(G.data(), Pinv.data(), scratch.data(), p), 0);
        for (i64 i = 0; i < p; ++i) {
            long double r = -g[i];
            for (i64 k = 0; k < p; ++k) r += static_cast<long double>(G[i * p + k]) * coef[k];
            EXPECT_NEAR(static_cast<f64>(r), 0.0, 32 * p * kEps);
            for (i64 j = 0; j < p; ++j) {
                long double e = i == j ? -1.0 : 0.0;
                for (i64 k = 0; k < p; ++k) e += static_cast<long double>(G[i * p + k]) * Pinv[k * p + j];
                EXPECT_NEAR(static_cast<f64>(e), 0.0, 32 * p * kEps);
            }
        }
    }
}

TEST(LinalgSolves, FailedFactorisationLeavesOutputsUntouched) {
    const Vec G = {1.0, 2.0, 2.0, 1.0};  // indefinite
    const Vec g = {1.0, 1.0};
    Vec coef(2, kSentinel), Pinv(4, kSentinel), scratch(4);
    EXPECT_EQ(trova_chol_solve(G.data(), g.data(), coef.data(), scratch.data(), 2), -1);
    EXPECT_EQ(coef, Vec(2, kSentinel));
    EXPECT_EQ(trova_chol_inv(G.data(), Pinv.data(), scratch.data(), 2), -1);
    EXPECT_EQ(Pinv, Vec(4, kSentinel));
}

TEST(LinalgGram, GramIsExactlySymmetricAndMatchesReference) {
    std::mt19937_64 gen(41);
    for (i64 n : {0, 1, 4, 50, 300}) {
        for (i64 p : {1, 2, 6, 7, 9, 13, 17}) {
            const Vec X = random_vec(n * p, gen), y = random_vec(n, gen);
            Guarded G(p * p), g(p);
            trova_gram(X.data(), G.data(), n, p);
            trova_gram_rhs(X.data(), y.data(), g.data(), n, p);
            ASSERT_TRUE(G.guards_intact());
            ASSERT_TRUE(g.guards_intact());
            for (i64 a = 0; a < p; ++a) {
                for (i64 b = 0; b < p; ++b) {
                    ASSERT_EQ(bits(G[a * p + b]), bits(G[b * p + a]));
                    const RefEntry e = ref_entry(X.data(), 1, p, X.data(), p, 1, a, b, n, 0.0);
                    EXPECT_NEAR(G[a * p + b], static_cast<f64>(e.value),
                                static_cast<f64>(e.magnitude) * (n + 2) * kEps);
                }
                const RefEntry e = ref_entry(X.data(), 1, p, y.data(), 1, 0, a, 0, n, 0.0);
                EXPECT_NEAR(g[a], static_cast<f64>(e.value), static_cast<f64>(e.magnitude) * (n + 2) * kEps);
            }
        }
    }
}

TEST(LinalgMedian, DocumentedCases) {
    Vec odd = {3.0, 1.0, 2.0};
    EXPECT_EQ(trova_median_f64(odd.data(), 3), 2.0);
    EXPECT_EQ(odd, (Vec{1.0, 2.0, 3.0}));
    Vec even = {4.0, 1.0, 3.0, 2.0};
    EXPECT_EQ(trova_median_f64(even.data(), 4), 2.5);
    EXPECT_EQ(even, (Vec{1.0, 2.0, 3.0, 4.0}));
    const f64 single = -7.5;
    Vec one = {single};
    EXPECT_EQ(trova_median_f64(one.data(), 1), single);
    EXPECT_EQ(bits(trova_median_f64(nullptr, 0)), 0x7ff8000000000000ULL);
    EXPECT_EQ(bits(trova_median_f64(nullptr, -1)), 0x7ff8000000000000ULL);
}

// Inputs that stress the partitioning: runs, reversals, plateaus, few
// distinct values, pipes and sawtooths, besides plain random data. The organ
// pipe defeats median-of-three pivots, so large pipes reach the heapsort
// fallback.
std::vector<Vec> sort_patterns(std::size_t n, std::mt19937_64& gen) {
    std::vector<Vec> out;
    Vec v = random_vec(n, gen, -1e3, 1e3);
    out.push_back(v);
    std::sort(v.begin(), v.end());
    out.push_back(v);
    std::reverse(v.begin(), v.end());
    out.push_back(v);
    out.push_back(Vec(n, 2.5));
    Vec few(n), pipe(n), saw(n), nearly(v.rbegin(), v.rend());
    std::uniform_int_distribution<int> d3(0, 2);
    for (std::size_t i = 0; i < n; ++i) {
        few[i] = d3(gen) - 1.0;
        pipe[i] = static_cast<f64>(std::min(i, n - 1 - i));
        saw[i] = static_cast<f64>(i % 7);
    }
    if (n > 2) std::swap(nearly[n / 3], nearly[2 * n / 3]);
    out.push_back(few);
    out.push_back(pipe);
    out.push_back(saw);
    out.push_back(nearly);
    return out;
}

TEST(LinalgSort, SortsAscendingAsStdSortDoes) {
    std::mt19937_64 gen(51);
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= 70; ++n) sizes.push_back(n);
    for (std::size_t n : {127, 128, 129, 1000, 4099, 100000}) sizes.push_back(n);
    for (std::size_t n : sizes) {
        for (Vec v : sort_patterns(n, gen)) {
            Vec expected = v;
            std::sort(expected.begin(), expected.end());
            trova_sort_f64(v.data(), static_cast<i64>(n));
            ASSERT_EQ(v, expected) << "n = " << n;
        }
    }
    const f64 inf = std::numeric_limits<f64>::infinity();
    Vec with_inf = {inf, 1.0, -inf, 0.5, inf, -2.0};
    trova_sort_f64(with_inf.data(), 6);
    EXPECT_EQ(with_inf, (Vec{-inf, -2.0, 0.5, 1.0, inf, inf}));
    Vec untouched = {3.0, 1.0};
    trova_sort_f64(untouched.data(), 1);
    trova_sort_f64(untouched.data(), 0);
    EXPECT_EQ(untouched, (Vec{3.0, 1.0}));
}

// NaNs go last and the numbers before them come out sorted, as std::sort
// sorts them; the sort stays in bounds however many NaNs there are.
TEST(LinalgSort, NaNsGoLastAndTheRestIsSorted) {
    std::mt19937_64 gen(52);
    std::uniform_real_distribution<f64> u(0.0, 1.0);
    for (std::size_t n : {2, 3, 5, 16, 17, 18, 33, 100, 1000, 20000}) {
        for (f64 nan_share : {0.05, 0.5, 1.0}) {
            for (Vec v : sort_patterns(n, gen)) {
                Vec numbers;
                for (f64& x : v) {
                    if (u(gen) < nan_share)
                        x = kNaN;
                    else
                        numbers.push_back(x);
                }
                std::sort(numbers.begin(), numbers.end());
                Guarded g(n);
                std::copy(v.begin(), v.end(), g.data());
                trova_sort_f64(g.data(), static_cast<i64>(n));
                ASSERT_TRUE(g.guards_intact());
                for (std::size_t i = 0; i < n; ++i) {
                    if (i < numbers.size())
                        ASSERT_EQ(g[i], numbers[i]) << "n = " << n << ", NaN share " << nan_share << ", i = " << i;
                    else
                        ASSERT_TRUE(std::isnan(g[i])) << "n = " << n << ", NaN share " << nan_share << ", i = " << i;
                }
            }
        }
    }
}

TEST(LinalgMedian, NaNInTheDataGivesNaN) {
    for (std::size_t at : {0, 2, 4}) {
        Vec v = {5.0, 1.0, 4.0, 2.0, 3.0};
        v[at] = kNaN;
        EXPECT_TRUE(std::isnan(trova_median_f64(v.data(), 5))) << "NaN at " << at;
        EXPECT_TRUE(std::isnan(v[4]));
        EXPECT_TRUE(std::is_sorted(v.begin(), v.begin() + 4));
    }
}

}  // namespace
