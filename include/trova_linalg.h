/** @file
 * Real dense kernels: products, Cholesky with jitter, triangular solves,
 * Gram matrices, Cholesky solve and inverse, LU with partial pivoting, sort
 * and median.
 *
 * Matrices are dense, contiguous and row-major: element (i, j) of an r x c
 * matrix is at i c + j, and shapes below are rows x columns. A Cholesky
 * factor is a full n x n array with a zero strict upper triangle. Outputs
 * must not overlap inputs unless a function says so. Dimensions are
 * trusted: only the checks stated here are made. Every function is
 * reentrant. Nothing here allocates except trova_lu_factor, trova_solve and
 * trova_inv, which take heap memory and release it before they return,
 * except the record trova_lu_factor returns.
 *
 * Products sum over the inner dimension with fused multiply-adds allowed,
 * so they may differ from a strictly sequential sum in the last bits. An
 * inner dimension <= 0 gives empty sums (zeros, or a copy of the added
 * operand of the `_plus_` forms); an outer dimension <= 0 writes nothing. */
#ifndef TROVA_LINALG_H
#define TROVA_LINALG_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/** Sets the r x c block out to 0.0; nothing when r <= 0 or c <= 0.
 * @param out matrix (r x c)
 * @param r rows
 * @param c columns */
TROVA_API void trova_zero_mat(f64* out, i64 r, i64 c);
/** Symmetrises P in place: P[i][j] = P[j][i] = (P[i][j] + P[j][i]) / 2 for
 * i < j; the diagonal is untouched.
 * @param P matrix (n x n), overwritten
 * @param n order */
TROVA_API void trova_sym_inplace(f64* P, i64 n);

/** out = A B.
 * @param A left factor (n x p)
 * @param B right factor (p x m)
 * @param out product (n x m)
 * @param n rows of A and out
 * @param p inner dimension
 * @param m columns of B and out */
TROVA_API void trova_matmul(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
/** out = A' B, summed over the rows of A and B.
 * @param A left factor (n x p), used transposed
 * @param B right factor (n x m)
 * @param out product (p x m)
 * @param n rows of A and B (the inner dimension)
 * @param p columns of A, rows of out
 * @param m columns of B and out */
TROVA_API void trova_matmul_atb(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
/** out = A B': out[i][j] is the dot product of row i of A and row j of B.
 * @param A left factor (n x p)
 * @param B right factor (m x p), used transposed
 * @param out product (n x m)
 * @param n rows of A and out
 * @param p columns of A and B (the inner dimension)
 * @param m rows of B, columns of out */
TROVA_API void trova_matmul_abt(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
/** out = C + A B'.
 * @param A left factor (n x p)
 * @param B right factor (m x p), used transposed
 * @param C added matrix (n x m)
 * @param out result (n x m)
 * @param n rows of A, C and out
 * @param p columns of A and B (the inner dimension)
 * @param m rows of B, columns of C and out */
TROVA_API void trova_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out,
                                       i64 n, i64 p, i64 m);
/** out = A x.
 * @param A matrix (n x m)
 * @param x vector (m); must not overlap out
 * @param out result (n)
 * @param n rows of A
 * @param m columns of A */
TROVA_API void trova_matvec(const f64* A, const f64* x, f64* out, i64 n, i64 m);
/** out = b + A x, each element starting from b[i].
 * @param A matrix (n x m)
 * @param x vector (m); must not overlap out
 * @param b added vector (n); may be out
 * @param out result (n)
 * @param n rows of A
 * @param m columns of A */
TROVA_API void trova_matvec_plus_vec(const f64* A, const f64* x, const f64* b, f64* out,
                                     i64 n, i64 m);
/** out[i] = a[i] - b[i]; out may be a or b.
 * @param a minuend (n)
 * @param b subtrahend (n)
 * @param out difference (n)
 * @param n length */
TROVA_API void trova_vsub(const f64* a, const f64* b, f64* out, i64 n);
/** Dot product of a and b.
 * @param a vector (n)
 * @param b vector (n)
 * @param n length
 * @return sum of a[i] b[i]; 0.0 when n <= 0 */
TROVA_API f64 trova_dot(const f64* a, const f64* b, i64 n);

/** Log-determinant of L L' from its Cholesky factor.
 * @param L Cholesky factor (n x n)
 * @param n order
 * @return 2 sum_i log L[i][i]; 0.0 when n <= 0 */
TROVA_API f64 trova_logdet_from_chol(const f64* L, i64 n);
/** Lower Cholesky factor of S + j I, j = jitter when jitter > 0, else 0 (a
 * negative jitter is ignored, never subtracted). Only the lower triangle of
 * S is read. A pivot fails unless it exceeds n 2^-52 times the largest
 * diagonal element of S + j I, so a NaN pivot (from a NaN in S) fails too.
 * On failure L holds the rows completed before the failing one, part of
 * that row, and zeros elsewhere.
 * @param S symmetric matrix (n x n), only read
 * @param jitter added to the diagonal when positive
 * @param L factor (n x n), zeroed first; must not overlap S
 * @param n order
 * @return 0 success (also for n <= 0); -1 a pivot at or below the
 *         tolerance */
TROVA_API int trova_chol(const f64* S, f64 jitter, f64* L, i64 n);
/** Solves L out = b by forward substitution; no zero diagonal is checked.
 * @param L lower triangular factor (n x n)
 * @param b right-hand side (n)
 * @param out solution (n); may be b
 * @param n order */
TROVA_API void trova_forward_subst(const f64* L, const f64* b, f64* out, i64 n);
/** Solves L' out = b by back substitution with the lower factor L; no zero
 * diagonal is checked.
 * @param L lower triangular factor (n x n)
 * @param b right-hand side (n)
 * @param out solution (n); may be b
 * @param n order */
TROVA_API void trova_backward_subst_chol_t(const f64* L, const f64* b, f64* out, i64 n);

/** G = X' X, exactly symmetric; n <= 0 gives the zero matrix.
 * @param X data (n x p)
 * @param G Gram matrix (p x p)
 * @param n rows of X
 * @param p columns of X */
TROVA_API void trova_gram(const f64* X, f64* G, i64 n, i64 p);
/** g = X' y; n <= 0 gives zeros, p < 1 writes nothing.
 * @param X data (n x p)
 * @param y response (n)
 * @param g result (p)
 * @param n rows of X
 * @param p columns of X */
TROVA_API void trova_gram_rhs(const f64* X, const f64* y, f64* g, i64 n, i64 p);
/** coef = G^-1 g through trova_chol(G, 0, scratch_L, p) and the two
 * triangular solves.
 * @param G symmetric positive definite matrix (p x p), only read
 * @param g right-hand side (p)
 * @param coef solution (p); untouched on failure
 * @param scratch_L the factor (p x p); holds it (or the failed part) after
 *        the call
 * @param p order
 * @return 0 success; -1 the factor does not exist (status of trova_chol) */
TROVA_API int trova_chol_solve(const f64* G, const f64* g, f64* coef, f64* scratch_L, i64 p);
/** Pinv = G^-1 through trova_chol(G, 0, scratch_L, p), not symmetrised
 * afterwards.
 * @param G symmetric positive definite matrix (p x p), only read
 * @param Pinv inverse (p x p); untouched on failure
 * @param scratch_L the factor (p x p)
 * @param p order
 * @return 0 success; -1 the factor does not exist (status of trova_chol) */
TROVA_API int trova_chol_inv(const f64* G, f64* Pinv, f64* scratch_L, i64 p);

/* ---- LU with partial pivoting ---- */

/** A packed LU factor that owns its arrays; release it with trova_lu_free.
 *
 * The packed factor holds U on and above the diagonal and the multipliers of
 * the unit lower factor below it; piv[k] is the row swapped with row k at
 * step k (piv[n-1] = n-1). The pivot of a column is its largest magnitude,
 * the lowest row winning ties. Status (i64), shared by the LU functions
 * here: 0; -1 (invalid argument: a NULL matrix or pivot array, n < 1;
 * allocation failure; or n x n or n x m blocks too large for 64-bit byte
 * counts, which no buffer can hold); -2 (an exactly zero pivot: the matrix
 * is singular; nearly singular matrices are factored without warning).
 * trova_lu_solve writes nothing for such dimensions. */
typedef struct f64_lu {
    f64* lu;   /**< packed factor (n x n), heap-owned by the record; NULL when err is -1 */
    i64* piv;  /**< pivot rows (n), heap-owned by the record; NULL when err is -1 */
    i64 n;     /**< order (the n asked for, also on failure; 0 after trova_lu_free) */
    i64 err;   /**< factorisation status: 0, -1 or -2 as above */
} f64_lu;

/** Factors A in place with partial pivoting. On -2 the array and the
 * pivots of the earlier columns keep their partial state; on -1 nothing is
 * touched.
 * @param A matrix (n x n), overwritten by the packed factor
 * @param pivot pivot rows (n)
 * @param n order
 * @return the LU status: 0, -1 or -2 */
TROVA_API i64 trova_lu_factor_inplace(f64* A, i64* pivot, i64 n);
/** Copies A and factors the copy; with err -2 the arrays are still owned.
 * The record's arrays come from the heap and belong to the caller until
 * trova_lu_free; a NULL A, n <= 0 or a failed allocation gives
 * {NULL, NULL, n, -1}.
 * @param A matrix (n x n), only read
 * @param n order
 * @return the factor record, its status in err */
TROVA_API f64_lu trova_lu_factor(const f64* A, i64 n);
/** Frees the arrays and zeroes the record; safe on a failed or freed record
 * and on a NULL pointer.
 * @param lu record from trova_lu_factor, or NULL */
TROVA_API void trova_lu_free(f64_lu* lu);
/** X (n x m) = A^-1 B from a successful factor. n <= 0 or m <= 0 writes
 * nothing.
 * @param LU packed factor (n x n) of A, status 0
 * @param piv its pivot rows (n)
 * @param B right-hand sides (n x m); must not overlap X
 * @param X solution (n x m)
 * @param n order
 * @param m number of right-hand sides */
TROVA_API void trova_lu_solve(const f64* LU, const i64* piv, const f64* B, f64* X, i64 n, i64 m);
/** X = A^-1 B in one call: factors a heap copy of A, solves, frees. X is
 * untouched on failure.
 * @param A matrix (n x n), only read
 * @param B right-hand sides (n x m)
 * @param n order
 * @param m number of right-hand sides
 * @param X solution (n x m)
 * @return the LU status: 0, -1 or -2 */
TROVA_API i64 trova_solve(const f64* A, const f64* B, i64 n, i64 m, f64* X);
/** Ainv = A^-1 by trova_solve against a heap identity. Ainv is untouched on
 * failure.
 * @param A matrix (n x n), only read
 * @param n order
 * @param Ainv inverse (n x n)
 * @return the LU status: 0, -1 or -2 */
TROVA_API i64 trova_inv(const f64* A, i64 n, f64* Ainv);

/** Sorts ascending in place with NaNs last (the numbers before them sorted).
 * @param arr values (n)
 * @param n length; nothing happens when n <= 1 */
TROVA_API void trova_sort_f64(f64* arr, i64 n);
/** The median (mean of the two middle values for even n), NaN when n <= 0 or
 * the data hold a NaN; sorts arr as trova_sort_f64 does.
 * @param arr values (n), sorted in place
 * @param n length
 * @return the median, or NaN */
TROVA_API f64 trova_median_f64(f64* arr, i64 n);

TROVA_END_DECLS

#endif /* TROVA_LINALG_H */
