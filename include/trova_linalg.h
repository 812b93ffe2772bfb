/* Real dense kernels: products, Cholesky with jitter, triangular solves,
 * Gram matrices, Cholesky solve and inverse, sort and median.
 * Matrices are dense, contiguous and row-major; a Cholesky factor is a full
 * n x n array with a zero strict upper triangle. Nothing here allocates. */
#ifndef TROVA_LINALG_H
#define TROVA_LINALG_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

TROVA_API void trova_zero_mat(f64* out, i64 r, i64 c);
TROVA_API void trova_sym_inplace(f64* P, i64 n);

TROVA_API void trova_matmul(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
TROVA_API void trova_matmul_atb(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
TROVA_API void trova_matmul_abt(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
TROVA_API void trova_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out,
                                       i64 n, i64 p, i64 m);
TROVA_API void trova_matvec(const f64* A, const f64* x, f64* out, i64 n, i64 m);
TROVA_API void trova_matvec_plus_vec(const f64* A, const f64* x, const f64* b, f64* out,
                                     i64 n, i64 m);
TROVA_API void trova_vsub(const f64* a, const f64* b, f64* out, i64 n);
TROVA_API f64 trova_dot(const f64* a, const f64* b, i64 n);

TROVA_API f64 trova_logdet_from_chol(const f64* L, i64 n);
TROVA_API int trova_chol(const f64* S, f64 jitter, f64* L, i64 n);
TROVA_API void trova_forward_subst(const f64* L, const f64* b, f64* out, i64 n);
TROVA_API void trova_backward_subst_chol_t(const f64* L, const f64* b, f64* out, i64 n);

TROVA_API void trova_gram(const f64* X, f64* G, i64 n, i64 p);
TROVA_API void trova_gram_rhs(const f64* X, const f64* y, f64* g, i64 n, i64 p);
TROVA_API int trova_chol_solve(const f64* G, const f64* g, f64* coef, f64* scratch_L, i64 p);
TROVA_API int trova_chol_inv(const f64* G, f64* Pinv, f64* scratch_L, i64 p);

/* ---- LU with partial pivoting ----
 * The packed factor holds U on and above the diagonal and the multipliers of
 * the unit lower factor below it; piv[k] is the row swapped with row k at
 * step k (piv[n-1] = n-1). Status: 0, -1 (invalid argument, allocation
 * failure, or n x n or n x m blocks too large for 64-bit byte counts, which
 * no buffer can hold), -2 (an exactly zero pivot). trova_lu_solve writes
 * nothing for such dimensions. */

/* A factor that owns its arrays; release it with trova_lu_free. */
typedef struct f64_lu {
    f64* lu;
    i64* piv;
    i64 n;
    i64 err;
} f64_lu;

TROVA_API i64 trova_lu_factor_inplace(f64* A, i64* pivot, i64 n);
/* Copies A and factors the copy; with err -2 the arrays are still owned. */
TROVA_API f64_lu trova_lu_factor(const f64* A, i64 n);
/* Frees the arrays and zeroes the record; safe on a failed or freed record. */
TROVA_API void trova_lu_free(f64_lu* lu);
/* X (n x m) = A^-1 B from a successful factor. */
TROVA_API void trova_lu_solve(const f64* LU, const i64* piv, const f64* B, f64* X, i64 n, i64 m);
TROVA_API i64 trova_solve(const f64* A, const f64* B, i64 n, i64 m, f64* X);
TROVA_API i64 trova_inv(const f64* A, i64 n, f64* Ainv);

/* Sorts ascending in place with NaNs last (the numbers before them sorted). */
TROVA_API void trova_sort_f64(f64* arr, i64 n);
/* The median (mean of the two middle values for even n), NaN when n <= 0 or
 * the data hold a NaN; sorts arr as trova_sort_f64 does. */
TROVA_API f64 trova_median_f64(f64* arr, i64 n);

TROVA_END_DECLS

#endif /* TROVA_LINALG_H */
