/* Complex kernels: a product and the LU family of trova_linalg.h over c128,
 * with its status codes. Pivots are chosen by modulus: by squared modulus
 * while a column's largest component lies in 2^-400 ... 2^400, by hypot
 * beyond, so that neither underflow nor overflow decides (a matrix scaled
 * by 1e-170 or 1e160 factors like its unscaled copy); a pivot is zero only
 * when both its components are; divisions use Smith's algorithm. The
 * factor-with-copy, one-call solve and inverse allocate from the heap and
 * release everything before they return, except the returned factor. */
#ifndef TROVA_COMPLEX_H
#define TROVA_COMPLEX_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

typedef struct c128_lu {
    c128* lu;
    i64* piv;
    i64 n;
    i64 err;
} c128_lu;

/* out (m x p) = A (m x n) B (n x p); note the output comes last. */
TROVA_API void c128_matmul(const c128* A, const c128* B, i64 m, i64 n, i64 p, c128* out);
TROVA_API i64 c128_lu_factor_inplace(c128* A, i64* pivot, i64 n);
TROVA_API c128_lu c128_lu_factor(const c128* A, i64 n);
TROVA_API void c128_lu_free(c128_lu* lu);
TROVA_API void c128_lu_solve(const c128* LU, const i64* piv, const c128* B, c128* X, i64 n, i64 m);
TROVA_API i64 c128_solve(const c128* A, const c128* B, i64 n, i64 m, c128* X);
TROVA_API i64 c128_inv(const c128* A, i64 n, c128* Ainv);

TROVA_END_DECLS

#endif /* TROVA_COMPLEX_H */
