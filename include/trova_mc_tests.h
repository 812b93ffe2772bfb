/** @file
 * Diagnostic test steps: one test per replication on data earlier steps
 * produced. A test step never fails its replication: it writes the
 * statistic to float_out[0] (NaN whenever the test leaves it unwritten) and
 * the test's status, as data, to int_out[0], and returns 0.
 *
 * Float input lane: the inputs (filled by the bindings), then the test's
 * arena, as sized by its kernel's sizer:
 * - Wald: g (n x q), the chosen test's arena; integer work lane: its pivot
 *   scratch
 * - Ljung-Box: x (n), z (n), autocorrelations (min(lags, n - 1) + 1)
 * - Jarque-Bera: x (n)
 * - Breusch-Pagan: eps (n), X (n x k), X_aug (n x (k + 1), built by the
 *   step with a leading constant), the arena for k + 1
 * - Breusch-Godfrey: eps (n), X (n x k), the arena
 * - CUSUM, CUSUMSQ, Chow: y (n), X (n x p), the arena
 *
 * Matrices are row-major. The float output lane holds the statistic (1
 * value) and the integer output lane the status (1 value); a NULL int_out
 * (an integer output lane of stride 0) only drops the status. In a build
 * with layout gaps (TROVA_LAYOUT_GAPS) every non-empty block, inputs
 * included, is followed by trova_layout_gap() elements, so the offsets of
 * the inputs after the first and the lane size must account for them: the
 * arena-size module's diagnostic_arena_size gives the whole lane, the
 * kernel sizers the arena behind the inputs. Contexts and the Wald target
 * are shared by every worker and only read: they must stay valid and
 * unchanged for the whole run. */
#ifndef TROVA_MC_TESTS_H
#define TROVA_MC_TESTS_H

#include "trova_diag_wald.h"
#include "trova_types.h"

TROVA_BEGIN_DECLS

/** Which Wald test a trova_mc_wald_test_ctx runs. */
typedef enum trova_mc_wald_kind {
    TROVA_MC_WALD_MEAN = 0,         /**< trova_wald_mean_hac */
    TROVA_MC_WALD_COVARIANCE = 1,   /**< trova_wald_covariance_hac */
    TROVA_MC_WALD_SECOND_MOMENT = 2 /**< trova_wald_second_moment_hac */
} trova_mc_wald_kind;

/** Context of trova_mc_wald_test_runner. */
typedef struct trova_mc_wald_test_ctx {
    const f64* target;                /**< q values (mean test) or q x q, caller-owned for the run */
    i64 n;                            /**< observations (rows of g) */
    i64 q;                            /**< columns of g */
    i64 manual_bandwidth;             /**< bandwidth of WALD_BW_MANUAL */
    KernelID kernel_id;               /**< HAC kernel; any value reaches the test's check */
    WaldBandwidthMode bandwidth_mode; /**< bandwidth rule; any value reaches the test's check */
    trova_mc_wald_kind kind;          /**< any value other than 0 and 1: second moment */
} trova_mc_wald_test_ctx;

/** Context of trova_mc_ljung_box_test_runner. */
typedef struct trova_mc_ljung_box_test_ctx {
    i64 n;    /**< length of the series */
    i64 lags; /**< number of lags (clamped to n - 1) */
} trova_mc_ljung_box_test_ctx;

/** Context of trova_mc_jarque_bera_test_runner. */
typedef struct trova_mc_jarque_bera_test_ctx {
    i64 n; /**< length of the series */
} trova_mc_jarque_bera_test_ctx;

/** Context of trova_mc_breusch_pagan_test_runner. */
typedef struct trova_mc_breusch_pagan_test_ctx {
    i64 n;      /**< observations */
    i64 k;      /**< columns of X, without a constant (the step adds it) */
    int robust; /**< nonzero: Koenker's robust form */
} trova_mc_breusch_pagan_test_ctx;

/** Context of trova_mc_breusch_godfrey_test_runner. */
typedef struct trova_mc_breusch_godfrey_test_ctx {
    i64 n;    /**< observations */
    i64 k;    /**< columns of X, without a constant (the test adds it) */
    i64 lags; /**< number of lagged residuals */
} trova_mc_breusch_godfrey_test_ctx;

/** Context of trova_mc_cusum_test_runner (and, as trova_mc_cusumsq_test_ctx,
 * of trova_mc_cusumsq_test_runner). */
typedef struct trova_mc_cusum_test_ctx {
    i64 n; /**< observations T */
    i64 p; /**< regressors (columns of X) */
} trova_mc_cusum_test_ctx;

/** Context of trova_mc_cusumsq_test_runner: the CUSUM context. */
typedef trova_mc_cusum_test_ctx trova_mc_cusumsq_test_ctx;

/** Context of trova_mc_chow_test_runner. */
typedef struct trova_mc_chow_test_ctx {
    i64 n;       /**< observations T */
    i64 p;       /**< regressors (columns of X) */
    i64 t_break; /**< first row of the second segment, 1 ... n - 1 */
} trova_mc_chow_test_ctx;

/** Wald test step (a trova_mc_step_fn): the test of ctx->kind on g.
 * @param rep_idx replication index (not used)
 * @param float_in_work input lane: g, then the test's arena
 * @param float_out the statistic (1 value)
 * @param int_work the test's pivot scratch (its sizer's n_int)
 * @param int_out the test's status (1 value); may be NULL
 * @param ctx a trova_mc_wald_test_ctx
 * @return 0 */
TROVA_API int trova_mc_wald_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                        i64* int_out, const void* ctx);
/** Ljung-Box step (a trova_mc_step_fn): trova_lb_stat on x.
 * @param rep_idx replication index (not used)
 * @param float_in_work input lane: x, then trova_lb_arena_size(n, lags)
 * @param float_out the statistic (1 value)
 * @param int_work not used; may be NULL
 * @param int_out the test's status (1 value); may be NULL
 * @param ctx a trova_mc_ljung_box_test_ctx
 * @return 0 */
TROVA_API int trova_mc_ljung_box_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                             i64* int_out, const void* ctx);
/** Jarque-Bera step (a trova_mc_step_fn): trova_jb_stat on x.
 * @param rep_idx replication index (not used)
 * @param float_in_work input lane: x (n)
 * @param float_out the statistic (1 value)
 * @param int_work not used; may be NULL
 * @param int_out the test's status (1 value); may be NULL
 * @param ctx a trova_mc_jarque_bera_test_ctx
 * @return 0 */
TROVA_API int trova_mc_jarque_bera_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                               i64* int_out, const void* ctx);
/** Breusch-Pagan step (a trova_mc_step_fn): trova_bp_stat on eps and
 * [1, X], the design the step builds in its lane.
 * @param rep_idx replication index (not used)
 * @param float_in_work input lane: eps, X, X_aug, then trova_bp_arena_size(n, k + 1)
 * @param float_out the statistic (1 value)
 * @param int_work not used; may be NULL
 * @param int_out the test's status (1 value); may be NULL
 * @param ctx a trova_mc_breusch_pagan_test_ctx
 * @return 0 */
TROVA_API int trova_mc_breusch_pagan_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                                 i64* int_work, i64* int_out, const void* ctx);
/** Breusch-Godfrey step (a trova_mc_step_fn): trova_bg_stat on eps and X.
 * @param rep_idx replication index (not used)
 * @param float_in_work input lane: eps, X, then trova_bg_arena_size(n, k, lags)
 * @param float_out the statistic (1 value)
 * @param int_work not used; may be NULL
 * @param int_out the test's status (1 value); may be NULL
 * @param ctx a trova_mc_breusch_godfrey_test_ctx
 * @return 0 */
TROVA_API int trova_mc_breusch_godfrey_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                                   i64* int_work, i64* int_out, const void* ctx);
/** CUSUM step (a trova_mc_step_fn): trova_cusum_stat on y and X.
 * @param rep_idx replication index (not used)
 * @param float_in_work input lane: y, X, then trova_cusum_arena_size(n, p)
 * @param float_out the statistic (1 value)
 * @param int_work not used; may be NULL
 * @param int_out the test's status (1 value); may be NULL
 * @param ctx a trova_mc_cusum_test_ctx
 * @return 0 */
TROVA_API int trova_mc_cusum_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                         i64* int_out, const void* ctx);
/** CUSUM-of-squares step (a trova_mc_step_fn): trova_cusumsq_stat on y and
 * X (the count of recursive residuals is not reported).
 * @param rep_idx replication index (not used)
 * @param float_in_work input lane: y, X, then trova_cusumsq_arena_size(n, p)
 * @param float_out the statistic (1 value)
 * @param int_work not used; may be NULL
 * @param int_out the test's status (1 value); may be NULL
 * @param ctx a trova_mc_cusumsq_test_ctx
 * @return 0 */
TROVA_API int trova_mc_cusumsq_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                           i64* int_out, const void* ctx);
/** Chow step (a trova_mc_step_fn): trova_chow_stat on y and X.
 * @param rep_idx replication index (not used)
 * @param float_in_work input lane: y, X, then trova_chow_arena_size(p)
 * @param float_out the statistic (1 value)
 * @param int_work not used; may be NULL
 * @param int_out the test's status (1 value); may be NULL
 * @param ctx a trova_mc_chow_test_ctx
 * @return 0 */
TROVA_API int trova_mc_chow_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                        i64* int_out, const void* ctx);

TROVA_END_DECLS

#endif /* TROVA_MC_TESTS_H */
