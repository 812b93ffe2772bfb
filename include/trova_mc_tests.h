/* Diagnostic test steps: one test per replication on data earlier steps
 * produced. A test step never fails its replication: it writes the
 * statistic to float_out[0] (NaN whenever the test leaves it unwritten) and
 * the test's status, as data, to int_out[0], and returns 0.
 *
 * Float input lane: the inputs (filled by the bindings), then the test's
 * arena, as sized by its kernel's sizer:
 *   Wald            g (n x q), the chosen test's arena; integer work lane:
 *                   its pivot scratch
 *   Ljung-Box       x (n), z (n), autocorrelations (min(lags, n - 1) + 1)
 *   Jarque-Bera     x (n)
 *   Breusch-Pagan   eps (n), X (n x k), X_aug (n x (k + 1), built by the
 *                   step with a leading constant), the arena for k + 1
 *   Breusch-Godfrey eps (n), X (n x k), the arena
 *   CUSUM, CUSUMSQ, Chow   y (n), X (n x p), the arena */
#ifndef TROVA_MC_TESTS_H
#define TROVA_MC_TESTS_H

#include "trova_diag_wald.h"
#include "trova_types.h"

TROVA_BEGIN_DECLS

typedef enum trova_mc_wald_kind {
    TROVA_MC_WALD_MEAN = 0,
    TROVA_MC_WALD_COVARIANCE = 1,
    TROVA_MC_WALD_SECOND_MOMENT = 2
} trova_mc_wald_kind;

typedef struct trova_mc_wald_test_ctx {
    const f64* target; /* q values (mean test) or q x q */
    i64 n;
    i64 q;
    i64 manual_bandwidth;
    KernelID kernel_id;
    WaldBandwidthMode bandwidth_mode;
    trova_mc_wald_kind kind; /* any value other than 0 and 1: second moment */
} trova_mc_wald_test_ctx;

typedef struct trova_mc_ljung_box_test_ctx {
    i64 n;
    i64 lags;
} trova_mc_ljung_box_test_ctx;

typedef struct trova_mc_jarque_bera_test_ctx {
    i64 n;
} trova_mc_jarque_bera_test_ctx;

typedef struct trova_mc_breusch_pagan_test_ctx {
    i64 n;
    i64 k;
    int robust;
} trova_mc_breusch_pagan_test_ctx;

typedef struct trova_mc_breusch_godfrey_test_ctx {
    i64 n;
    i64 k;
    i64 lags;
} trova_mc_breusch_godfrey_test_ctx;

typedef struct trova_mc_cusum_test_ctx {
    i64 n;
    i64 p;
} trova_mc_cusum_test_ctx;

typedef trova_mc_cusum_test_ctx trova_mc_cusumsq_test_ctx;

typedef struct trova_mc_chow_test_ctx {
    i64 n;
    i64 p;
    i64 t_break;
} trova_mc_chow_test_ctx;

TROVA_API int trova_mc_wald_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                        i64* int_out, const void* ctx);
TROVA_API int trova_mc_ljung_box_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                             i64* int_out, const void* ctx);
TROVA_API int trova_mc_jarque_bera_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                               i64* int_out, const void* ctx);
TROVA_API int trova_mc_breusch_pagan_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                                 i64* int_work, i64* int_out, const void* ctx);
TROVA_API int trova_mc_breusch_godfrey_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                                   i64* int_work, i64* int_out, const void* ctx);
TROVA_API int trova_mc_cusum_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                         i64* int_out, const void* ctx);
TROVA_API int trova_mc_cusumsq_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                           i64* int_out, const void* ctx);
TROVA_API int trova_mc_chow_test_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                        i64* int_out, const void* ctx);

TROVA_END_DECLS

#endif /* TROVA_MC_TESTS_H */
