/** @file
 * Parameter-stability tests for a linear regression y = X b + e with T
 * observations and p regressors: standardised recursive residuals, the CUSUM
 * path with its boundary-ratio statistic and asymptotic p-value, the
 * CUSUM-of-squares statistic, and the Chow F statistic for a known break.
 *
 * y has T values and X is T x p, row-major; m = T - p is the number of
 * recursive residuals. Every kernel works in a caller arena sized by the
 * sizers below and allocates nothing:
 * - trova_cusum_arena_size: trova_cusum_stat, and trova_cusum_series (which
 *   uses the first m + 5p^2 + 5p values of it);
 * - trova_cusumsq_arena_size: trova_cusumsq_stat, and
 *   trova_recursive_residuals (its first 3p^2 + 3p);
 * - trova_chow_arena_size: trova_chow_stat.
 *
 * (The leading parts are longer in a build with layout gaps, see
 * trova_layout_gap: such a caller sizes them with the whole sizer.)
 * A sizer whose count does not fit in 64 bits reports {-1, -1}.
 *
 * Statuses (int): 0 success; 1 a Gram matrix is not positive definite (the
 * first p rows, the full sample, or a Chow segment); -3 degenerate data: a
 * NaN or an infinity in y or X, or a sample without spread (an exact
 * full-sample fit for the CUSUM path, recursive residuals that are all zero
 * for CUSUMSQ, exact fits that leave the Chow F at 0 / 0); -5 too few
 * observations (p >= T, 2p >= T for Chow; a negative p is refused the same
 * way, and so is p = 0 for Chow, which has no restriction to test); -7 a
 * Chow break date outside 1 ... T - 1. The argument checks come first, then
 * the scan of the data. A statistic that cannot be computed is written as
 * NaN whatever the failure, and is never NaN on success; the recursive
 * residuals and the CUSUM path are left unwritten on failure. */
#ifndef TROVA_DIAG_CUSUM_H
#define TROVA_DIAG_CUSUM_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/** w_out (m): w_i = e_t / sqrt(1 + x_t' (X_t'X_t)^-1 x_t) for t = p + i, e_t
 * the error of predicting y_t with the least-squares coefficients of rows
 * 0 ... t - 1. The inverse is carried by rank-one updates, O(p^2) a row.
 * @param y response (T)
 * @param X regressors (T x p)
 * @param T observations
 * @param p regressors
 * @param arena scratch: trova_cusumsq_arena_size(T, p), of which the first
 *        3p^2 + 3p values are used (more with layout gaps)
 * @param w_out recursive residuals (m = T - p)
 * @return 0, 1, -3 or -5 */
TROVA_API int trova_recursive_residuals(const f64* y, const f64* X, i64 T, i64 p, f64* arena, f64* w_out);

/** series_out (m): cumulative sums of the recursive residuals divided by the
 * full-sample residual standard error sqrt(SSR / (T - p)).
 * @param y response (T)
 * @param X regressors (T x p)
 * @param T observations
 * @param p regressors
 * @param arena scratch: trova_cusum_arena_size(T, p), of which the first
 *        m + 5p^2 + 5p values are used (more with layout gaps)
 * @param series_out the CUSUM path (m)
 * @return 0, 1, -3 (also for an exact full-sample fit) or -5 */
TROVA_API int trova_cusum_series(const f64* y, const f64* X, i64 T, i64 p, f64* arena, f64* series_out);

/** max_i |series_i| / (sqrt(m) + 2i / sqrt(m)): the smallest a for which the
 * path stays inside the lines +-a (sqrt(m) + 2i / sqrt(m)).
 * @param y response (T)
 * @param X regressors (T x p)
 * @param T observations
 * @param p regressors
 * @param arena scratch, trova_cusum_arena_size(T, p)
 * @param stat_out the statistic; NaN on failure
 * @return 0, 1, -3 or -5 */
TROVA_API int trova_cusum_stat(const f64* y, const f64* X, i64 T, i64 p, f64* arena, f64* stat_out);

/** max_i |s_i - (i + 1)/m| / sqrt(2), s_i the share of the sum of squared
 * recursive residuals reached at i; n_out gets m (0 when p >= T).
 * @param y response (T)
 * @param X regressors (T x p)
 * @param T observations
 * @param p regressors
 * @param n_out number of recursive residuals m, written before the data
 *        are scanned; may be NULL
 * @param arena scratch, trova_cusumsq_arena_size(T, p)
 * @param stat_out the statistic; NaN on failure
 * @return 0, 1, -3 (also for recursive residuals that are all zero) or -5 */
TROVA_API int trova_cusumsq_stat(const f64* y, const f64* X, i64 T, i64 p, i64* n_out, f64* arena,
                                 f64* stat_out);

/** F = ((rss_c - rss_1 - rss_2) / p) / ((rss_1 + rss_2) / (T - 2p)) with the
 * pooled fit and the fits of rows 0 ... t_break - 1 and t_break ... T - 1.
 * @param y response (T)
 * @param X regressors (T x p)
 * @param T observations
 * @param p regressors, at least 1
 * @param t_break first row of the second segment, 1 ... T - 1
 * @param arena scratch, trova_chow_arena_size(p)
 * @param stat_out the statistic; NaN on failure
 * @return 0, 1, -3, -5 or -7 */
TROVA_API int trova_chow_stat(const f64* y, const f64* X, i64 T, i64 p, i64 t_break, f64* arena,
                              f64* stat_out);

/** Arena of trova_cusum_stat and trova_cusum_series: {2T + p (5p + 3), 0}
 * (without layout gaps).
 * @param T observations
 * @param p regressors
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_cusum_arena_size(i64 T, i64 p);
/** Arena of trova_cusumsq_stat and trova_recursive_residuals:
 * {T + p (3p + 2), 0} (without layout gaps).
 * @param T observations
 * @param p regressors
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_cusumsq_arena_size(i64 T, i64 p);
/** Arena of trova_chow_stat: {2 (p + p^2), 0} (without layout gaps).
 * @param p regressors
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_chow_arena_size(i64 p);

/** Asymptotic p-value of the CUSUM statistic a:
 * min(2 [Phi^c(3a) + exp(-4a^2) Phi(a)], 1); NaN stays NaN.
 * @param a the statistic of trova_cusum_stat
 * @return the p-value */
TROVA_API f64 trova_cusum_sf(f64 a);
/** out[i] = trova_cusum_sf(a[i]), i < n; out may be a.
 * @param a statistics (n)
 * @param n count
 * @param out p-values (n) */
TROVA_API void trova_cusum_sf_into(const f64* a, i64 n, f64* out);

TROVA_END_DECLS

#endif /* TROVA_DIAG_CUSUM_H */
