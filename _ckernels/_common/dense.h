// Internal dense helpers shared by the kernels: inline dot products and axpy
// over unit-stride arrays, written as plain loops that GCC vectorises (the
// build allows reassociating the sums), and product variants of the
// register-blocked kernel that the public interface does not offer.
#ifndef TROVA_COMMON_DENSE_H
#define TROVA_COMMON_DENSE_H

#include "trova_types.h"

namespace trova::dense {

// Four doubles, one AVX register on the default target; GCC lowers the
// operations to narrower registers or scalars elsewhere. The fixed-size
// loops of the small filters and simulations are written over it.
typedef f64 v4 __attribute__((vector_size(32)));

// Sum of a[k]*b[k], k < n.
inline f64 dot(const f64* a, const f64* b, i64 n) {
    f64 s = 0.0;
    for (i64 k = 0; k < n; ++k) s += a[k] * b[k];
    return s;
}

// Both a.b and c.b in one pass over b.
inline void dot2(const f64* a, const f64* c, const f64* b, i64 n, f64& ab, f64& cb) {
    f64 s = 0.0, t = 0.0;
    for (i64 k = 0; k < n; ++k) {
        s += a[k] * b[k];
        t += c[k] * b[k];
    }
    ab = s;
    cb = t;
}

// y[j] += s * x[j], j < n.
inline void axpy(f64 s, const f64* x, f64* y, i64 n) {
    for (i64 j = 0; j < n; ++j) y[j] += s * x[j];
}

// out (n x m) = C + A B, with A n x p, B p x m, C n x m; C may be out.
void matmul_plus_c(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p, i64 m);

// out (n x n) = C + A B' for a product known to be symmetric (A and B
// n x p, C symmetric): only the blocks on and below the diagonal are
// computed and the lower triangle is mirrored, so out is exactly symmetric.
// C may be out.
void sym_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p);

// Whether the n x n matrix equals its transpose exactly (NaN entries do not).
bool is_symmetric(const f64* S, i64 n);

// Solves L L' X = B in place for the m x n matrix B (n right-hand sides as
// its columns), L an m x m Cholesky factor: forward, then backward
// substitution, each a row operation across all n columns at once.
void chol_solve_columns(const f64* L, f64* B, i64 m, i64 n);

// out (m x n) = A' for A n x m.
void transpose(const f64* A, f64* out, i64 n, i64 m);

}  // namespace trova::dense

#endif  // TROVA_COMMON_DENSE_H
