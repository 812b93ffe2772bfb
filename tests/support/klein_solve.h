/* First-order solution of a x(t+1) = b x(t) from the library's three calls,
 * for the tests and the examples (not part of the library, which links no
 * LAPACK). Header-only; compiles as C11 and C++.
 *
 * klein_qz hands its arrays to the column-major zgges as they are, while
 * klein_postproc reads row-major. So the real row-major a and b are written
 * transposed into complex arrays (column-major a and b), klein_qz runs on
 * them, and S, T and Z are transposed back to row-major before
 * klein_postproc. Transposition leaves the diagonals, and so the
 * Blanchard-Kahn code and the eigenvalues, unchanged.
 *
 * Returns klein_qz's status when it fails, otherwise klein_postproc's; -1 if
 * the work arrays cannot be allocated. On success f (n_cs x n_s), p
 * (n_s x n_s), stab and eig (n_s + n_cs) are as klein_postproc documents. */
#ifndef TROVA_TEST_KLEIN_SOLVE_H
#define TROVA_TEST_KLEIN_SOLVE_H

#include <stdlib.h>

#include "trova_qz.h"

static inline void trova_klein_transpose_c128(const c128* in, c128* out, i64 n) {
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < n; ++j) out[j * n + i] = in[i * n + j];
}

static inline i64 trova_klein_solve(klein_zgges_fn zgges, const f64* a, const f64* b, i64 n_s,
                                    i64 n_cs, c128* f, c128* p, i64* stab, c128* eig) {
    const i64 n = n_s + n_cs;
    const size_t count = (size_t)(n > 0 ? n * n : 1);
    c128* s = (c128*)malloc(count * sizeof(c128));
    c128* t = (c128*)malloc(count * sizeof(c128));
    c128* z = (c128*)malloc(count * sizeof(c128));
    c128* row = (c128*)malloc(count * sizeof(c128));
    i64 status = -1;
    *stab = 2;
    if (s && t && z && row) {
        /* Column-major complex copies of a and b. */
        for (i64 i = 0; i < n; ++i) {
            for (i64 j = 0; j < n; ++j) {
                s[j * n + i].re = a[i * n + j];
                s[j * n + i].im = 0.0;
                t[j * n + i].re = b[i * n + j];
                t[j * n + i].im = 0.0;
            }
        }
        status = klein_qz(zgges, n, s, t, z);
        if (status == 0) {
            /* Back to row-major, in place through one scratch array. */
            trova_klein_transpose_c128(s, row, n);
            for (i64 k = 0; k < n * n; ++k) s[k] = row[k];
            trova_klein_transpose_c128(t, row, n);
            for (i64 k = 0; k < n * n; ++k) t[k] = row[k];
            trova_klein_transpose_c128(z, row, n);
            for (i64 k = 0; k < n * n; ++k) z[k] = row[k];
            status = klein_postproc(s, t, z, n_s, n_cs, f, p, stab, eig);
        }
    }
    free(s);
    free(t);
    free(z);
    free(row);
    return status;
}

#endif /* TROVA_TEST_KLEIN_SOLVE_H */
