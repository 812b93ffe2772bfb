/** @file
 * Residual diagnostics: the sample autocorrelation function, the Ljung-Box
 * portmanteau statistic, the Jarque-Bera normality statistic with a
 * finite-sample table of its critical values and two interpolating look-ups,
 * and the Breusch-Pagan (standard and Koenker's robust form) and
 * Breusch-Godfrey Lagrange-multiplier tests on auxiliary regressions.
 *
 * Statistics only: no p-values except the Jarque-Bera table look-ups. Every
 * kernel works in scratch the caller passes (sized by the sizers below),
 * allocates nothing and returns an int status:
 * - 0 success
 * - 1 the auxiliary Gram matrix is not positive definite (BP, BG)
 * - -3 degenerate data: zero or non-finite variance, a NaN or infinity in
 *   the regressors (BP, BG), or no data
 * - -4 Ljung-Box with fewer than one lag
 * - -5 too few observations
 * - -7 a negative column count (BP) or regressor or lag count (BG)
 *
 * A failed statistic is NaN, never 0; Jarque-Bera on 1 to 9 observations
 * writes its statistic and still returns -5. Sizers report {-1, -1} (so -1
 * in n_float) when the size does not fit in 64 bits. Series and matrices
 * are contiguous, matrices n x columns and row-major. The counts given with
 * the sizers are those of a build without layout gaps; a build with
 * TROVA_LAYOUT_GAPS puts trova_layout_gap() elements after every non-empty
 * block, so arenas must be sized by the sizers, and the Ljung-Box
 * acorr_scratch placed trova_layout_gap() after the end of z_scratch. */
#ifndef TROVA_DIAG_H
#define TROVA_DIAG_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/* ---- autocorrelation and Ljung-Box ---- */

/** out[l] (l = 0..L) = sum_t z_{t+l} z_t / sum_t z_t^2 with z = x - mean(x)
 * (written to z_scratch, n values); out[0] = 1 and lags l >= n are 0. A
 * constant, empty or non-finite series gives -3 and NaN at every lag. A
 * negative L writes nothing to out.
 * @param x series (n)
 * @param n length
 * @param L largest lag
 * @param z_scratch the centred series (n)
 * @param out autocorrelations (L + 1)
 * @return 0 or -3 */
TROVA_API int trova_acorr(const f64* x, i64 n, i64 L, f64* z_scratch, f64* out);

/** Q = n (n + 2) sum_{l=1..L} rho_l^2 / (n - l), with L clamped to n - 1.
 * acorr_scratch holds min(L, n - 1) + 1 values.
 * @param x series (n)
 * @param n length
 * @param L number of lags
 * @param z_scratch the centred series (n)
 * @param acorr_scratch the autocorrelations (min(L, n - 1) + 1)
 * @param out the statistic (1 value), NaN on failure
 * @return 0; -5 n < 2; -4 L < 1; -3 degenerate series */
TROVA_API int trova_lb_stat(const f64* x, i64 n, i64 L, f64* z_scratch, f64* acorr_scratch, f64* out);

/** z_scratch then acorr_scratch: max(n, 0) + 1 + min(max(n - 1, 0), max(L, 0)).
 * This and the other sizers here report {-1, -1} for a count that does not
 * fit in 64 bits.
 * @param n length of the series
 * @param L number of lags
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_lb_arena_size(i64 n, i64 L);

/* ---- Jarque-Bera ---- */

/** JB = n (S^2 / 6 + K^2 / 24) from the biased moments of x about its mean:
 * S = m3 / m2^1.5, K = m4 / m2^2 - 3.
 * @param x series (n)
 * @param n length
 * @param out the statistic (1 value); NaN for n <= 0 or a degenerate series
 * @return 0; -5 n < 10 (the statistic is still written for n >= 1);
 *         -3 zero or non-finite variance */
TROVA_API int trova_jb_stat(const f64* x, i64 n, f64* out);

/** Number of sample sizes (columns) of the Jarque-Bera table. */
#define TROVA_JB_N_COUNT 15
/** Number of tail probabilities (rows) of the Jarque-Bera table. */
#define TROVA_JB_PVAL_COUNT 23
/** Sample sizes of the table's columns, ascending (10 ... 10000). */
TROVA_API extern const f64 JB_N_GRID[TROVA_JB_N_COUNT];
/** Upper-tail probabilities of the table's rows, ascending (0.0001 ... 0.9999). */
TROVA_API extern const f64 JB_PVAL_GRID[TROVA_JB_PVAL_COUNT];
/** Critical values of the Jarque-Bera statistic for normal samples:
 * JB_CV[i][j] is c with P(JB > c) = JB_PVAL_GRID[i] at n = JB_N_GRID[j].
 * Both grids ascend; every column of JB_CV strictly decreases. The three
 * tables are read-only data of the library. */
TROVA_API extern const f64 JB_CV[TROVA_JB_PVAL_COUNT][TROVA_JB_N_COUNT];

/** P(JB > x) for a sample of n, interpolated linearly in n and in x in the
 * table and clamped to [0.0001, 0.9999]; NaN for NaN, 1 for x <= 0, 0 for
 * x = +inf. Sample sizes beyond the grid use its end column.
 * @param n sample size
 * @param x statistic
 * @return the interpolated p-value */
TROVA_API f64 trova_jb_pval_interp(i64 n, f64 x);
/** The critical value c with P(JB > c) = p, bilinear in n and p, clamped to
 * the table; NaN for NaN, +inf for p <= 0, 0 for p >= 1.
 * @param n sample size
 * @param p upper-tail probability
 * @return the interpolated critical value */
TROVA_API f64 trova_jb_isf_interp(i64 n, f64 p);
/** The scalar look-up trova_jb_pval_interp over m inputs.
 * @param n sample size
 * @param x statistics (m)
 * @param m count
 * @param out p-values (m); may be x */
TROVA_API void trova_jb_pval_interp_into(i64 n, const f64* x, i64 m, f64* out);
/** The scalar look-up trova_jb_isf_interp over m inputs.
 * @param n sample size
 * @param p upper-tail probabilities (m)
 * @param m count
 * @param out critical values (m); may be p */
TROVA_API void trova_jb_isf_interp_into(i64 n, const f64* p, i64 m, f64* out);

/** Bracket val in arr (len >= 1, ascending): lo = hi = the index of an exact
 * hit or of the end row val lies beyond, else the two neighbouring indices
 * around val.
 * @param val value to bracket
 * @param arr ascending grid (len)
 * @param len grid length, at least 1
 * @param lo lower index, written
 * @param hi upper index, written */
TROVA_API void trova_jb_find_hilo_ascending(f64 val, const f64* arr, i64 len, i64* lo, i64* hi);
/** Bracket val in arr (len >= 1, descending), as
 * trova_jb_find_hilo_ascending.
 * @param val value to bracket
 * @param arr descending grid (len)
 * @param len grid length, at least 1
 * @param lo lower index, written
 * @param hi upper index, written */
TROVA_API void trova_jb_find_hilo_descending(f64 val, const f64* arr, i64 len, i64* lo, i64* hi);

/* ---- Breusch-Pagan ---- */

/** Regresses u = eps^2 / sigma^2 (sigma^2 = sum eps^2 / n, not centred) on
 * X_aug (n x p, used as given: include a constant column if wanted) and
 * writes rss and the centred tss of u. Arena: u (n), G (p^2), L (p^2),
 * g (p), coef (p). -5 for n <= 0, -7 for p < 0, -3 for a zero or
 * non-finite sigma^2 or a NaN or infinity in X_aug, 1 for a singular Gram
 * matrix; rss_out and tss_out are written only on success.
 * @param eps residuals (n)
 * @param X_aug auxiliary design (n x p)
 * @param n observations
 * @param p columns of X_aug
 * @param arena scratch, trova_bp_arena_size(n, p)
 * @param rss_out residual sum of squares of the auxiliary fit
 * @param tss_out centred total sum of squares of u
 * @return 0, 1, -3, -5 or -7 */
TROVA_API int trova_bp_aux(const f64* eps, const f64* X_aug, i64 n, i64 p, f64* arena, f64* rss_out,
                           f64* tss_out);
/** robust == 0: (tss - rss) / 2, at least 0; otherwise (Koenker)
 * n * max(1 - rss / tss, 0), 0 when tss <= 0. The statuses of trova_bp_aux;
 * stat_out is NaN on failure.
 * @param eps residuals (n)
 * @param X_aug auxiliary design (n x p)
 * @param n observations
 * @param p columns of X_aug
 * @param robust nonzero: Koenker's form
 * @param arena scratch, trova_bp_arena_size(n, p)
 * @param stat_out the statistic
 * @return 0, 1, -3, -5 or -7 */
TROVA_API int trova_bp_stat(const f64* eps, const f64* X_aug, i64 n, i64 p, i64 robust, f64* arena,
                            f64* stat_out);
/** n + 2 (p + p^2).
 * @param n observations
 * @param p columns of X_aug
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_bp_arena_size(i64 n, i64 p);

/* ---- Breusch-Godfrey ---- */

/** n times the uncentred R^2 of eps on D = [1, X, eps lagged 1..lags], X
 * n x K without a constant, pre-sample residuals taken as 0 so that all n
 * rows are used; 0 (status 0) when every residual is zero. Arena: D (n x P),
 * G (P^2), L (P^2), g (P), coef (P) with P = K + lags + 1. K or lags
 * negative gives -7, lags >= n -5, a NaN or infinity in eps or X (or a
 * sum of squares that overflows) -3, a singular auxiliary Gram matrix 1;
 * stat_out is NaN on every failure.
 * @param eps residuals (n)
 * @param X regressors (n x K), no constant column
 * @param n observations
 * @param K columns of X
 * @param lags number of lagged residuals
 * @param arena scratch, trova_bg_arena_size(n, K, lags)
 * @param stat_out the statistic
 * @return 0, 1, -3, -5 or -7 */
TROVA_API int trova_bg_stat(const f64* eps, const f64* X, i64 n, i64 K, i64 lags, f64* arena,
                            f64* stat_out);
/** (lags + K + 1) (n + 2 lags + 2 K + 4).
 * @param n observations
 * @param K columns of X
 * @param lags number of lagged residuals
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_bg_arena_size(i64 n, i64 K, i64 lags);

TROVA_END_DECLS

#endif /* TROVA_DIAG_H */
