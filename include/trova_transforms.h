/** @file
 * Column-wise transforms of a panel of series: standardisation, logarithm,
 * log difference, k-th order difference, rolling mean, rolling variance and
 * rolling standard deviation, as kernels and as pipeline steps, plus a
 * caller-supplied transform step.
 *
 * Input x is n x p, row-major: n periods (rows) of p series (columns).
 * Outputs are row-major with p columns. Every kernel makes one pass over the
 * data with running updates (Welford moments, running window sums; a rolling
 * statistic also recomputes a column from its window now and then, see
 * below), works in the scratch the caller passes, allocates nothing, and
 * returns an i64 status: 0, or -6 when the dimensions are invalid (nothing
 * is written).
 * Output and scratch must not overlap the input or each other.
 *
 * The moments and window sums are accumulated about a shift near the
 * column's values (standardisation: its first value): the statistics do not
 * change, but a series with a large level and a small spread keeps its
 * digits. A rolling statistic carries its running state from window to
 * window, and recomputes a column's state from its current window when the
 * rounding the state has absorbed (after a spike, a level shift or a drift)
 * could otherwise show in that window's statistic: each window's value is
 * what its own values give, to rounding relative to that window's scale.
 * A window holding a NaN gives NaN, and only such windows.
 *
 * A transform step's float input lane is the n x p input at offset 0 and the
 * kernel's scratch right behind it; the sizers return exactly input plus
 * scratch. The output goes to the step's float live-output lane. A step
 * stores its kernel's status whole in int_out[0] (when it has that lane) and
 * returns it to the runner as an int (saturated to the int range, so that a
 * failing status never reads as 0): any non-zero status fails the
 * replication. In a build with layout gaps (trova_layout_gap()) the scratch
 * starts one gap after the input, and the sizers count it: take lane sizes
 * from the sizers, not from the formulas noted at them. */
#ifndef TROVA_TRANSFORMS_H
#define TROVA_TRANSFORMS_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/* ---- kernels ---- */

/** out (n x p) = (x - column mean) / column standard deviation, with divisor
 * n - ddof; a column of zero variance gives 0. A column holding a NaN or an
 * infinity has no mean or standard deviation and gives NaN throughout; the
 * other columns are unaffected. Scratch 2p. -6 if n <= 0, p <= 0 or
 * n - ddof <= 0.
 * @param x n x p input
 * @param ddof delta degrees of freedom
 * @param n rows
 * @param p columns
 * @param scratch 2p values
 * @param out n x p
 * @return 0, or -6 (nothing written) */
TROVA_API i64 trova_standardize_ax0(const f64* x, i64 ddof, i64 n, i64 p, f64* scratch, f64* out);

/** out (n x p) = log(x + offset), without a domain check (-inf or NaN). No
 * scratch. -6 if n <= 0 or p <= 0.
 * @param x n x p input
 * @param offset added before the logarithm
 * @param n rows
 * @param p columns
 * @param out n x p
 * @return 0, or -6 (nothing written) */
TROVA_API i64 trova_log(const f64* x, f64 offset, i64 n, i64 p, f64* out);

/** out (n - 1 rows) = log(x[r] + offset) - log(x[r - 1] + offset), one
 * logarithm per element. Scratch p. n = 1 writes nothing. -6 if n <= 0 or
 * p <= 0.
 * @param x n x p input
 * @param offset added before the logarithm
 * @param n rows
 * @param p columns
 * @param scratch p values
 * @param out (n - 1) x p
 * @return 0, or -6 (nothing written) */
TROVA_API i64 trova_log_diff(const f64* x, f64 offset, i64 n, i64 p, f64* scratch, f64* out);

/** out (n - order rows; none when n <= order) = the order-th difference. Scratch
 * order x p. -6 if n <= 0, p <= 0 or order <= 0.
 * @param x n x p input
 * @param order order of the difference
 * @param n rows
 * @param p columns
 * @param scratch order x p values
 * @param out (n - order) x p
 * @return 0, or -6 (nothing written) */
TROVA_API i64 trova_diff(const f64* x, i64 order, i64 n, i64 p, f64* scratch, f64* out);

/** Row d of out (n - window + 1 rows) is the mean of rows d ... d + window - 1:
 * NaN while they hold a NaN or infinities of both signs, +inf or -inf while
 * they hold infinities of that sign only. Scratch 7p. -6 if n <= 0, p <= 0,
 * window <= 0 or n < window.
 * @param x n x p input
 * @param n rows
 * @param p columns
 * @param window rows per window
 * @param scratch 7p values
 * @param out (n - window + 1) x p
 * @return 0, or -6 (nothing written) */
TROVA_API i64 trova_rolling_mean(const f64* x, i64 n, i64 p, i64 window, f64* scratch, f64* out);

/** Row d of out (n - window + 1 rows) is the variance (divisor window - ddof)
 * or standard deviation of rows d ... d + window - 1, never negative; NaN
 * while they hold a NaN or an infinity. Scratch 5p. -6 if n <= 0, p <= 0,
 * window < 1, n < window or window - ddof < 1.
 * @param x n x p input
 * @param n rows
 * @param p columns
 * @param window rows per window
 * @param ddof delta degrees of freedom
 * @param scratch 5p values
 * @param out (n - window + 1) x p variances
 * @return 0, or -6 (nothing written) */
TROVA_API i64 trova_rolling_var(const f64* x, i64 n, i64 p, i64 window, i64 ddof, f64* scratch,
                                f64* out);
/** The rolling standard deviation: the square root of trova_rolling_var's
 * value, with its arguments, scratch and checks.
 * @param x n x p input
 * @param n rows
 * @param p columns
 * @param window rows per window
 * @param ddof delta degrees of freedom
 * @param scratch 5p values
 * @param out (n - window + 1) x p standard deviations
 * @return 0, or -6 (nothing written) */
TROVA_API i64 trova_rolling_std(const f64* x, i64 n, i64 p, i64 window, i64 ddof, f64* scratch,
                                f64* out);

/* ---- sizers: input (n x p) plus scratch in n_float; n_int is 0 ----
 * A size that does not fit in 64 bits is reported as {-1, -1}. */

/** Float input lane of the standardisation step: p (n + 2).
 * @param n rows
 * @param p columns
 * @return {lane length, 0}, or {-1, -1} */
TROVA_API arena_size trova_standardize_ax0_arena_size(i64 n, i64 p);       /* p (n + 2) */
/** Float input lane of the log step (no scratch): n p.
 * @param n rows
 * @param p columns
 * @return {lane length, 0}, or {-1, -1} */
TROVA_API arena_size trova_log_arena_size(i64 n, i64 p);                   /* n p */
/** Float input lane of the log-difference step: p + n p.
 * @param n rows
 * @param p columns
 * @return {lane length, 0}, or {-1, -1} */
TROVA_API arena_size trova_log_diff_arena_size(i64 n, i64 p);              /* p + n p */
/** Float input lane of the difference step: p (n + order).
 * @param n rows
 * @param p columns
 * @param order order of the difference
 * @return {lane length, 0}, or {-1, -1} */
TROVA_API arena_size trova_diff_arena_size(i64 n, i64 p, i64 order);       /* p (n + order) */
/** Float input lane of the rolling-mean step: p (n + 7).
 * @param n rows
 * @param p columns
 * @param window rows per window (does not change the size)
 * @return {lane length, 0}, or {-1, -1} */
TROVA_API arena_size trova_rolling_mean_arena_size(i64 n, i64 p, i64 window); /* p (n + 7) */
/** Float input lane of the rolling-variance step: p (n + 5).
 * @param n rows
 * @param p columns
 * @param window rows per window (does not change the size)
 * @return {lane length, 0}, or {-1, -1} */
TROVA_API arena_size trova_rolling_var_arena_size(i64 n, i64 p, i64 window);  /* p (n + 5) */
/** Float input lane of the rolling-standard-deviation step: p (n + 5).
 * @param n rows
 * @param p columns
 * @param window rows per window (does not change the size)
 * @return {lane length, 0}, or {-1, -1} */
TROVA_API arena_size trova_rolling_std_arena_size(i64 n, i64 p, i64 window);  /* p (n + 5) */

/* ---- step contexts ---- */

/** Context of trova_mc_standardize_runner (see trova_standardize_ax0). */
typedef struct trova_mc_standardize_step_ctx {
    i64 n;    /**< rows */
    i64 p;    /**< columns */
    i64 ddof; /**< divisor n - ddof */
} trova_mc_standardize_step_ctx;

/** Context of trova_mc_log_runner (see trova_log). */
typedef struct trova_mc_log_step_ctx {
    i64 n;      /**< rows */
    i64 p;      /**< columns */
    f64 offset; /**< added before the logarithm */
} trova_mc_log_step_ctx;

/** Context of trova_mc_log_diff_runner (see trova_log_diff). */
typedef struct trova_mc_log_diff_step_ctx {
    i64 n;      /**< rows */
    i64 p;      /**< columns */
    f64 offset; /**< added before the logarithm */
} trova_mc_log_diff_step_ctx;

/** Context of trova_mc_diff_runner (see trova_diff). */
typedef struct trova_mc_diff_step_ctx {
    i64 n;     /**< rows */
    i64 p;     /**< columns */
    i64 order; /**< order of the difference */
} trova_mc_diff_step_ctx;

/** Context of trova_mc_rolling_mean_runner (see trova_rolling_mean). */
typedef struct trova_mc_rolling_mean_step_ctx {
    i64 n;      /**< rows */
    i64 p;      /**< columns */
    i64 window; /**< rows per window */
} trova_mc_rolling_mean_step_ctx;

/** Context of trova_mc_rolling_var_runner and trova_mc_rolling_std_runner
 * (see trova_rolling_var). */
typedef struct trova_mc_rolling_var_step_ctx {
    i64 n;      /**< rows */
    i64 p;      /**< columns */
    i64 window; /**< rows per window */
    i64 ddof;   /**< divisor window - ddof */
} trova_mc_rolling_var_step_ctx;

/** The rolling standard deviation takes the rolling variance's record. */
typedef trova_mc_rolling_var_step_ctx trova_mc_rolling_std_step_ctx;

/** A caller's transform of an n_in x p_in input into n_out x p_out values;
 * returns 0 on success. Called from worker threads, concurrently.
 * @param in the step's float input lane: the n_in x p_in input at offset 0
 * @param out the step's float live-output lane: n_out x p_out values
 * @param n_in input rows
 * @param p_in input columns
 * @param n_out output rows
 * @param p_out output columns
 * @return 0 on success; any other value fails the replication (stored whole
 *         in int_out[0]) */
typedef i64 (*user_transform_fn)(f64* in, f64* out, i64 n_in, i64 p_in, i64 n_out, i64 p_out);

/** Float input lane: the n_in x p_in input; live output: n_out x p_out
 * values. The dimensions are passed to fn unchecked. */
typedef struct trova_mc_user_transform_step_ctx {
    user_transform_fn fn; /**< the transform; NULL fails the step with -6 */
    i64 n_in;             /**< input rows */
    i64 p_in;             /**< input columns */
    i64 n_out;            /**< output rows */
    i64 p_out;            /**< output columns */
} trova_mc_user_transform_step_ctx;

/* ---- step functions (none uses the integer work lane) ---- */

/** Step function of trova_standardize_ax0.
 * @param rep_idx not used
 * @param float_in_work the n x p input, then the scratch (trova_standardize_ax0_arena_size)
 * @param float_out n x p standardised values
 * @param int_work not used
 * @param int_out int_out[0] = the kernel's status when not NULL
 * @param ctx a trova_mc_standardize_step_ctx
 * @return the kernel's status: 0, or -6 */
TROVA_API int trova_mc_standardize_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                          i64* int_work, i64* int_out, const void* ctx);
/** Step function of trova_log.
 * @param rep_idx not used
 * @param float_in_work the n x p input (trova_log_arena_size)
 * @param float_out n x p logarithms
 * @param int_work not used
 * @param int_out int_out[0] = the kernel's status when not NULL
 * @param ctx a trova_mc_log_step_ctx
 * @return the kernel's status: 0, or -6 */
TROVA_API int trova_mc_log_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                  i64* int_out, const void* ctx);
/** Step function of trova_log_diff.
 * @param rep_idx not used
 * @param float_in_work the n x p input, then the scratch (trova_log_diff_arena_size)
 * @param float_out (n - 1) x p log differences
 * @param int_work not used
 * @param int_out int_out[0] = the kernel's status when not NULL
 * @param ctx a trova_mc_log_diff_step_ctx
 * @return the kernel's status: 0, or -6 */
TROVA_API int trova_mc_log_diff_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                       i64* int_work, i64* int_out, const void* ctx);
/** Step function of trova_diff.
 * @param rep_idx not used
 * @param float_in_work the n x p input, then the scratch (trova_diff_arena_size)
 * @param float_out (n - order) x p differences
 * @param int_work not used
 * @param int_out int_out[0] = the kernel's status when not NULL
 * @param ctx a trova_mc_diff_step_ctx
 * @return the kernel's status: 0, or -6 */
TROVA_API int trova_mc_diff_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                   i64* int_out, const void* ctx);
/** Step function of trova_rolling_mean.
 * @param rep_idx not used
 * @param float_in_work the n x p input, then the scratch (trova_rolling_mean_arena_size)
 * @param float_out (n - window + 1) x p means
 * @param int_work not used
 * @param int_out int_out[0] = the kernel's status when not NULL
 * @param ctx a trova_mc_rolling_mean_step_ctx
 * @return the kernel's status: 0, or -6 */
TROVA_API int trova_mc_rolling_mean_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                           i64* int_work, i64* int_out, const void* ctx);
/** Step function of trova_rolling_var.
 * @param rep_idx not used
 * @param float_in_work the n x p input, then the scratch (trova_rolling_var_arena_size)
 * @param float_out (n - window + 1) x p variances
 * @param int_work not used
 * @param int_out int_out[0] = the kernel's status when not NULL
 * @param ctx a trova_mc_rolling_var_step_ctx
 * @return the kernel's status: 0, or -6 */
TROVA_API int trova_mc_rolling_var_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                          i64* int_work, i64* int_out, const void* ctx);
/** Step function of trova_rolling_std.
 * @param rep_idx not used
 * @param float_in_work the n x p input, then the scratch (trova_rolling_std_arena_size)
 * @param float_out (n - window + 1) x p standard deviations
 * @param int_work not used
 * @param int_out int_out[0] = the kernel's status when not NULL
 * @param ctx a trova_mc_rolling_std_step_ctx
 * @return the kernel's status: 0, or -6 */
TROVA_API int trova_mc_rolling_std_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                          i64* int_work, i64* int_out, const void* ctx);
/** Calls fn(float_in_work, float_out, n_in, p_in, n_out, p_out) once; with
 * fn NULL it writes nothing to float_out and fails with -6.
 * @param rep_idx not used
 * @param float_in_work the n_in x p_in input
 * @param float_out n_out x p_out values from fn
 * @param int_work not used
 * @param int_out int_out[0] = fn's status, whole, when not NULL
 * @param ctx a trova_mc_user_transform_step_ctx
 * @return fn's status saturated to the int range, or -6 without fn */
TROVA_API int trova_mc_user_transform_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                             i64* int_work, i64* int_out, const void* ctx);

TROVA_END_DECLS

#endif /* TROVA_TRANSFORMS_H */
