// Complex kernels: the product and the LU family over c128. Pivots are
// chosen by modulus, compared without underflow or overflow, so that a
// matrix of entries near 1e-170 or 1e200 pivots like its rescaled copy; a
// pivot counts as zero only when both its components are. Every division
// uses Smith's algorithm, which avoids the overflow of dividing by |b|^2.
#include <cmath>

#include "_common/lu_impl.h"
#include "trova_complex.h"

namespace {

inline c128 c128_make(f64 re, f64 im) { return c128{re, im}; }
inline c128 c128_add(c128 a, c128 b) { return c128_make(a.re + b.re, a.im + b.im); }
inline c128 c128_sub(c128 a, c128 b) { return c128_make(a.re - b.re, a.im - b.im); }
inline c128 c128_mul(c128 a, c128 b) { return c128_make(a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re); }
inline f64 c128_abs2(c128 a) { return a.re * a.re + a.im * a.im; }

// Smith's division a / b.
inline c128 c128_div(c128 a, c128 b) {
    if (std::fabs(b.im) <= std::fabs(b.re)) {
        const f64 r = b.im / b.re;
        const f64 den = b.re + b.im * r;
        return c128_make((a.re + a.im * r) / den, (a.im - a.re * r) / den);
    }
    const f64 r = b.re / b.im;
    const f64 den = b.re * r + b.im;
    return c128_make((a.re * r + a.im) / den, (a.im * r - a.re) / den);
}

struct ComplexLuOps {
    // Candidates compare by squared modulus, which orders them as the
    // modulus does, while the column's largest component lies in
    // 2^-400 ... 2^400: the squares of the candidates that can win neither
    // underflow nor overflow. Beyond that (a squared 1e-170 is zero, a
    // squared 1e160 infinite) they compare by hypot, which does neither.
    static i64 pivot_row(const c128* A, i64 k, i64 n) {
        f64 big = 0.0;  // the largest component; NaN never raises it
        const i64 row = trova::lu::largest_in_column(A, k, n, [&big](c128 a) {
            const f64 re = std::fabs(a.re), im = std::fabs(a.im);
            if (re > big) big = re;
            if (im > big) big = im;
            return c128_abs2(a);
        });
        if (big >= 0x1p-400 && big <= 0x1p400) return row;
        return trova::lu::largest_in_column(A, k, n, [](c128 a) { return std::hypot(a.re, a.im); });
    }
    static bool is_zero(c128 a) { return a.re == 0.0 && a.im == 0.0; }
    static c128 prepare(c128 pivot) { return pivot; }
    static c128 divide(c128 a, c128 pivot) { return c128_div(a, pivot); }
    static c128 fms(c128 y, c128 m, c128 x) { return c128_sub(y, c128_mul(m, x)); }
    static c128 one() { return c128_make(1.0, 0.0); }
};

}  // namespace

extern "C" {

TROVA_API void c128_matmul(const c128* A, const c128* B, i64 m, i64 n, i64 p, c128* out) {
    if (p <= 0) return;
    for (i64 i = 0; i < m; ++i) {
        c128* row = out + i * p;
        for (i64 j = 0; j < p; ++j) row[j] = c128_make(0.0, 0.0);
        // Each element accumulates over l in ascending order.
        for (i64 l = 0; l < n; ++l) {
            const c128 a = A[i * n + l];
            const c128* Bl = B + l * p;
            for (i64 j = 0; j < p; ++j) row[j] = c128_add(row[j], c128_mul(a, Bl[j]));
        }
    }
}

TROVA_API i64 c128_lu_factor_inplace(c128* A, i64* pivot, i64 n) {
    return trova::lu::factor_inplace<c128, ComplexLuOps>(A, pivot, n);
}

TROVA_API c128_lu c128_lu_factor(const c128* A, i64 n) {
    return trova::lu::factor_copy<c128_lu, c128, ComplexLuOps>(A, n);
}

TROVA_API void c128_lu_free(c128_lu* lu) { trova::lu::free_record(lu); }

TROVA_API void c128_lu_solve(const c128* LU, const i64* piv, const c128* B, c128* X, i64 n, i64 m) {
    trova::lu::solve<c128, ComplexLuOps>(LU, piv, B, X, n, m);
}

TROVA_API i64 c128_solve(const c128* A, const c128* B, i64 n, i64 m, c128* X) {
    return trova::lu::solve_copy<c128_lu, c128, ComplexLuOps>(A, B, n, m, X);
}

TROVA_API i64 c128_inv(const c128* A, i64 n, c128* Ainv) {
    return trova::lu::inverse<c128_lu, c128, ComplexLuOps>(A, n, Ainv);
}

}  // extern "C"
