/** @file
 * Complex kernels: a product and the LU family of trova_linalg.h over c128,
 * with its status codes. Pivots are chosen by modulus: by squared modulus
 * while a column's largest component lies in 2^-400 ... 2^400, by hypot
 * beyond, so that neither underflow nor overflow decides (a matrix scaled
 * by 1e-170 or 1e160 factors like its unscaled copy); a pivot is zero only
 * when both its components are; divisions use Smith's algorithm. The
 * factor-with-copy, one-call solve and inverse allocate from the heap and
 * release everything before they return, except the returned factor.
 *
 * Complex matrices are dense, contiguous, row-major arrays of c128. The
 * packed factor, the pivot vector and the statuses (0; -1 invalid argument,
 * allocation failure or dimensions too large for 64-bit byte counts; -2 an
 * exactly zero pivot) are those of f64_lu in trova_linalg.h. Every function
 * is reentrant. */
#ifndef TROVA_COMPLEX_H
#define TROVA_COMPLEX_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/** A packed complex LU factor that owns its arrays; release it with
 * c128_lu_free. Layout and statuses as f64_lu. */
typedef struct c128_lu {
    c128* lu;  /**< packed factor (n x n), heap-owned by the record; NULL when err is -1 */
    i64* piv;  /**< pivot rows (n), heap-owned by the record; NULL when err is -1 */
    i64 n;     /**< order (the n asked for, also on failure; 0 after c128_lu_free) */
    i64 err;   /**< factorisation status: 0, -1 or -2 */
} c128_lu;

/** out (m x p) = A (m x n) B (n x p); note the output comes last. n <= 0
 * writes zeros; m <= 0 or p <= 0 writes nothing.
 * @param A left factor (m x n)
 * @param B right factor (n x p)
 * @param m rows of A and out
 * @param n inner dimension
 * @param p columns of B and out
 * @param out product (m x p); must not overlap A or B */
TROVA_API void c128_matmul(const c128* A, const c128* B, i64 m, i64 n, i64 p, c128* out);
/** Factors A in place with partial pivoting by modulus. On -2 the array and
 * the pivots of the earlier columns keep their partial state; on -1 nothing
 * is touched.
 * @param A matrix (n x n), overwritten by the packed factor
 * @param pivot pivot rows (n)
 * @param n order
 * @return 0, -1 or -2 */
TROVA_API i64 c128_lu_factor_inplace(c128* A, i64* pivot, i64 n);
/** Copies A and factors the copy; with err -2 the arrays are still owned.
 * The arrays come from the heap and belong to the caller until
 * c128_lu_free; a NULL A, n <= 0 or a failed allocation gives
 * {NULL, NULL, n, -1}.
 * @param A matrix (n x n), only read
 * @param n order
 * @return the factor record, its status in err */
TROVA_API c128_lu c128_lu_factor(const c128* A, i64 n);
/** Frees the arrays and zeroes the record; safe on a failed or freed record
 * and on a NULL pointer.
 * @param lu record from c128_lu_factor, or NULL */
TROVA_API void c128_lu_free(c128_lu* lu);
/** X (n x m) = A^-1 B from a successful factor. n <= 0, m <= 0 or
 * dimensions too large for 64-bit byte counts write nothing.
 * @param LU packed factor (n x n) of A, status 0
 * @param piv its pivot rows (n)
 * @param B right-hand sides (n x m); must not overlap X
 * @param X solution (n x m)
 * @param n order
 * @param m number of right-hand sides */
TROVA_API void c128_lu_solve(const c128* LU, const i64* piv, const c128* B, c128* X, i64 n, i64 m);
/** X = A^-1 B in one call: factors a heap copy of A, solves, frees. X is
 * untouched on failure.
 * @param A matrix (n x n), only read
 * @param B right-hand sides (n x m)
 * @param n order
 * @param m number of right-hand sides
 * @param X solution (n x m)
 * @return 0, -1 or -2 */
TROVA_API i64 c128_solve(const c128* A, const c128* B, i64 n, i64 m, c128* X);
/** Ainv = A^-1 by c128_solve against a heap identity. Ainv is untouched on
 * failure.
 * @param A matrix (n x n), only read
 * @param n order
 * @param Ainv inverse (n x n)
 * @return 0, -1 or -2 */
TROVA_API i64 c128_inv(const c128* A, i64 n, c128* Ainv);

TROVA_END_DECLS

#endif /* TROVA_COMPLEX_H */
