// Extended Kalman filter: the linear recursion with the observation step
// linearised at the predicted state. The measurement and its Jacobian are
// the caller's callbacks, called in this order each period: measurement at
// x_pred, Jacobian at x_pred, then (with history and compute_y_filt) the
// measurement at x_filt. Small filters (n, m <= 8) run the fixed-size
// loop of kalman_small.cpp, chosen once per call in ekf_run.
#include "_common/dense.h"
#include "_common/sizers.h"
#include "kalman/kalman_core.h"
#include "trova_linalg.h"

using trova::kalman::KfBlocks;
using trova::kalman::kf_blocks;

namespace trova::sizing {

Size ekf(i64 n, i64 m, i64 k) {
    layout::Carver c;
    kf_blocks(c, n, m, k, true);
    return kalman::sized(c.size(), kalman::dims_valid(n, m, k));
}

}  // namespace trova::sizing

extern "C" {

TROVA_API arena_size ekf_arena_size(i64 n, i64 m, i64 k) { return trova::layout::native(trova::sizing::ekf(n, m, k)); }

TROVA_API int ekf_hot_loop(const ekf_inputs* in, f64* arena, const ekf_outputs* out) {
    return trova::kalman::ekf_run(in, arena, out, true);
}

}  // extern "C"

int trova::kalman::ekf_run(const ekf_inputs* in, f64* arena, const ekf_outputs* out, bool small) {
    const i64 n = in->n, m = in->m, k = in->k, T = in->T;
    if (in->meas == nullptr || in->jac == nullptr || !trova::kalman::dims_valid(n, m, k)) return -2;
    trova::layout::Carver c(arena);
    const KfBlocks b = kf_blocks(c, n, m, k, true);
    const bool history = in->store_history != 0;
    const bool shocks = history && in->return_shocks != 0;
    kf_build_bqbt(in->B, in->Q, b.temp_nk, b.BQBT, n, k);
    // Small sizes run the fixed-size loop, chosen once here.
    if (const trova::kalman::EkfLoop loop = small ? trova::kalman::ekf_small_loop(n, m) : nullptr)
        return loop(in, b, out);
    const bool R_symmetric = trova::dense::is_symmetric(in->R, m);
    bool P_symmetric = trova::dense::is_symmetric(in->P0, n);
    f64 loglik = 0.0;
    const f64* x_prev = in->x0;
    const f64* P_prev = in->P0;
    for (i64 t = 0; t < T; ++t) {
        P_symmetric = trova::kalman::predict(in->A, x_prev, P_prev, P_symmetric, b, n, in->symmetrize);
        in->meas(b.x_pred, in->calib_params, b.y_pred);
        in->jac(b.x_pred, in->calib_params, b.H);
        kf_row_minus_vec(in->y, t, b.y_pred, b.v, m);
        if (trova::kalman::update(b.H, in->R, R_symmetric, P_symmetric, b, n, m, in->symmetrize, in->jitter,
                                  loglik) != 0) {
            out->loglik[0] = loglik;
            return -3;
        }
        if (shocks) {
            // The projection Q B' H' changes with H every period.
            kf_build_shock_projection(in->B, b.H, in->Q, b.temp_km, b.M, n, k, m);
            trova_matvec(b.M, b.Sinv_v, out->eps_hat + t * k, k, m);
        }
        if (history) {
            trova::kalman::store_period(b, *out, t, n, m);
            if (in->compute_y_filt) in->meas(b.x_filt, in->calib_params, out->y_filt + t * m);
        }
        x_prev = b.x_filt;
        P_prev = b.P_filt;
    }
    out->loglik[0] = loglik;
    return 0;
}
