// Unscented Kalman filter of the pruned second-order model. The filtered
// object is z = [x1; x2] (nz = 2 ns); each period samples 2 nz + 1 sigma
// points from the running covariance, pushes them through the deterministic
// pruned transition, adds the process covariance to the x1 block, samples
// again around the prediction and maps the points through the caller's
// measurement of the variable vector in levels. Small models (ns <= 4,
// no <= 8) run the fixed-size loop of kalman_ukf_small.cpp instead, chosen
// once per call in ukf_run.
#include <cfloat>
#include <cmath>

#include "_common/layout.h"
#include "_common/sizers.h"
#include "kalman/kalman_core.h"
#include "kalman/kalman_ukf.h"
#include "trova_linalg.h"

namespace trova::kalman {

UkfBlocks ukf_blocks(layout::Carver& c, i64 ns, i64 nc, i64 ne, i64 no) {
    const i64 nz = c.product(2, ns), n_sig = c.sum(c.product(2, nz), 1);
    UkfBlocks b{};
    b.z_a = c.take(nz);
    b.z_pred = c.take(nz);
    b.z_b = c.take(nz);
    b.P_a = c.take(nz, nz);
    b.P_pred = c.take(nz, nz);
    b.P_b = c.take(nz, nz);
    b.L_P = c.take(nz, nz);
    b.sigma = c.take(n_sig, nz);
    b.sigma_prop = c.take(n_sig, nz);
    b.sigma_y = c.take(n_sig, no);
    b.BQBT = c.take(ns, ns);
    b.temp_nk = c.take(ns, ne);
    b.y_mean = c.take(no);
    b.v = c.take(no);
    b.std = c.take(no);
    b.Sinv_v = c.take(no);
    b.fbuf = c.take(no);
    b.bbuf = c.take(no);
    b.S = c.take(no, no);
    b.L_S = c.take(no, no);
    b.Pzy = c.take(nz, no);
    b.K = c.take(nz, no);
    b.vars = c.take(c.sum(ns, nc));
    return b;
}

}  // namespace trova::kalman

using trova::kalman::UkfBlocks;

namespace {

// Factors P by the filter's rule (chol_with_retry).
int ukf_chol_auto(const f64* P, f64 jitter, f64* L, i64 n) {
    return trova::kalman::chol_with_retry(P, n, jitter, [&](f64 j) { return trova_chol(P, j, L, n) == 0; });
}

// Row 0 = mean; rows 1 + i and 1 + n + i = mean +- gamma * column i of chol.
void ukf_build_sigma_points(const f64* mean, const f64* chol, f64 gamma, f64* sigma, i64 n) {
    for (i64 j = 0; j < n; ++j) sigma[j] = mean[j];
    for (i64 i = 0; i < n; ++i) {
        f64* plus = sigma + (1 + i) * n;
        f64* minus = sigma + (1 + n + i) * n;
        for (i64 j = 0; j < n; ++j) {
            const f64 step = gamma * chol[j * n + i];
            plus[j] = mean[j] + step;
            minus[j] = mean[j] - step;
        }
    }
}

// The quadratic terms go through the flattened outer product x1 x1' and
// matrix-vector products with hxx (ns x ns^2) and gxx (nc x ns^2), instead
// of one short dot product per (variable, row) pair. `work` holds ns^2 + ns
// values: the outer product, then x1 + x2.

void outer_product(const f64* x, f64* out, i64 n) {
    for (i64 a = 0; a < n; ++a)
        for (i64 b = 0; b < n; ++b) out[a * n + b] = x[a] * x[b];
}

// The deterministic pruned transition of one point z = [x1; x2]:
// x1' = hx x1, x2' = 0.5 hss + hx x2 + 0.5 hxx(x1, x1).
void ukf_pruned_transition(const ukf_inputs& in, const f64* z, f64* out, f64* work) {
    const i64 ns = in.n_state;
    outer_product(z, work, ns);
    trova_matvec(in.hx, z, out, ns, ns);
    f64* x2 = out + ns;
    trova_matvec(in.hxx, work, x2, ns, ns * ns);
    for (i64 i = 0; i < ns; ++i) x2[i] = 0.5 * (in.hss[i] + x2[i]);
    trova_matvec_plus_vec(in.hx, z + ns, x2, x2, ns, ns);
}

// Controls in levels from z = [x1; x2] and the quadratic weights in work
// (x1 x1', or x1 x1' plus the x1 covariance): ss + 0.5 gss + gx (x1 + x2) +
// 0.5 gxx : work.
void control_levels(const ukf_inputs& in, const f64* z, f64* work, f64* ctrl) {
    const i64 ns = in.n_state, nc = in.n_ctrl;
    if (nc <= 0) return;
    f64* sum = work + ns * ns;
    for (i64 j = 0; j < ns; ++j) sum[j] = z[j] + z[ns + j];
    trova_matvec(in.gxx, work, ctrl, nc, ns * ns);
    for (i64 c = 0; c < nc; ++c) ctrl[c] = in.steady_state[ns + c] + 0.5 * (in.gss[c] + ctrl[c]);
    trova_matvec_plus_vec(in.gx, sum, ctrl, ctrl, nc, ns);
}

// Variable vector in levels at one point.
void ukf_project_vars(const ukf_inputs& in, const f64* z, f64* vars, f64* work) {
    const i64 ns = in.n_state;
    for (i64 i = 0; i < ns; ++i) vars[i] = in.steady_state[i] + z[i] + z[ns + i];
    outer_product(z, work, ns);
    control_levels(in, z, work, vars + ns);
}

void ukf_weighted_mean(const f64* sigma, f64 w0, f64 wi, i64 n_sig, i64 n, f64* out) {
    for (i64 j = 0; j < n; ++j) out[j] = w0 * sigma[j];
    for (i64 r = 1; r < n_sig; ++r) {
        const f64* row = sigma + r * n;
        for (i64 j = 0; j < n; ++j) out[j] += wi * row[j];
    }
}

// Weighted covariance of the rows about `mean`, in out (n x n). The
// covariance is symmetric, so only its lower triangle is accumulated (over
// the deviation of each row, formed once in dev) and then mirrored.
void ukf_weighted_cov(const f64* sigma, const f64* mean, f64 w0, f64 wi, i64 n_sig, i64 n, f64* out,
                      f64* dev) {
    trova_zero_mat(out, n, n);
    for (i64 r = 0; r < n_sig; ++r) {
        const f64* row = sigma + r * n;
        const f64 w = r == 0 ? w0 : wi;
        for (i64 j = 0; j < n; ++j) dev[j] = row[j] - mean[j];
        for (i64 a = 0; a < n; ++a) {
            const f64 s = w * dev[a];
            f64* out_a = out + a * n;
            for (i64 b = 0; b <= a; ++b) out_a[b] += s * dev[b];
        }
    }
    for (i64 a = 0; a < n; ++a)
        for (i64 b = a + 1; b < n; ++b) out[a * n + b] = out[b * n + a];
}

// Adds BQBT to the leading ns x ns (x1-x1) block of the nz x nz matrix P.
void ukf_add_process_cov(const f64* BQBT, f64* P, i64 ns, i64 nz) {
    for (i64 a = 0; a < ns; ++a)
        for (i64 b = 0; b < ns; ++b) P[a * nz + b] += BQBT[a * ns + b];
}

void ukf_weighted_meas_cov_cross(const f64* sigma_z, const f64* z_mean, const f64* sigma_y,
                                 const f64* y_mean, f64 w0, f64 wi, i64 n_sig, i64 nz, i64 no, f64* S,
                                 f64* Pzy) {
    trova_zero_mat(S, no, no);
    trova_zero_mat(Pzy, nz, no);
    for (i64 r = 0; r < n_sig; ++r) {
        const f64* Y = sigma_y + r * no;
        const f64* Z = sigma_z + r * nz;
        const f64 w = r == 0 ? w0 : wi;
        for (i64 a = 0; a < no; ++a) {
            const f64 s = w * (Y[a] - y_mean[a]);
            for (i64 b = 0; b < no; ++b) S[a * no + b] += s * (Y[b] - y_mean[b]);
        }
        for (i64 a = 0; a < nz; ++a) {
            const f64 s = w * (Z[a] - z_mean[a]);
            for (i64 b = 0; b < no; ++b) Pzy[a * no + b] += s * (Y[b] - y_mean[b]);
        }
    }
}

// P_filt = P_pred - K Pzy'; K is negated in place (it is not needed after).
void ukf_cov_update(const f64* P_pred, f64* K, const f64* Pzy, f64* P_filt, i64 nz, i64 no) {
    for (i64 e = 0; e < nz * no; ++e) K[e] = -K[e];
    trova_matmul_abt_plus_c(K, Pzy, P_pred, P_filt, nz, no, nz);
}

// Row t of x1, x2 and the expected variable levels x from a mean and its
// covariance; the controls add 0.5 gxx_c : P11 (the x1 covariance block).
void ukf_store_history(const ukf_inputs& in, const f64* z, const f64* P, f64* x1, f64* x2, f64* x, i64 t,
                       f64* work) {
    const i64 ns = in.n_state, nc = in.n_ctrl, nz = 2 * ns;
    f64* x1_t = x1 + t * ns;
    f64* x2_t = x2 + t * ns;
    f64* x_t = x + t * (ns + nc);
    for (i64 i = 0; i < ns; ++i) {
        x1_t[i] = z[i];
        x2_t[i] = z[ns + i];
        x_t[i] = in.steady_state[i] + z[i] + z[ns + i];
    }
    for (i64 a = 0; a < ns; ++a)
        for (i64 b = 0; b < ns; ++b) work[a * ns + b] = P[a * nz + b] + z[a] * z[b];
    control_levels(in, z, work, x_t + ns);
}

// The general period loop: every size, through the runtime-size helpers.
i64 general_loop(const ukf_inputs* in, const UkfBlocks& b, const trova::kalman::UkfWeights& w,
                 const ukf_outputs* out) {
    const i64 ns = in->n_state, no = in->n_obs, nz = 2 * ns, n_sig = 2 * nz + 1, T = in->T;
    const f64 gamma = w.gamma, w0_m = w.w0_m, w0_c = w.w0_c, wi = w.wi;
    trova::kalman::copy(in->z0, b.z_a, nz);
    trova::kalman::copy(in->P0, b.P_a, nz * nz);
    f64* z_prev = b.z_a;
    f64* P_prev = b.P_a;
    f64* z_filt = b.z_b;
    f64* P_filt = b.P_b;
    f64 loglik = 0.0;
    i64 status = 0;
    const bool history = in->store_history != 0;
    for (i64 t = 0; t < T && status == 0; ++t) {
        // Predict: sample the running distribution and push the points
        // through the transition.
        if (ukf_chol_auto(P_prev, in->jitter, b.L_P, nz) != 0) {
            status = -3;
            break;
        }
        // Once factored, the running covariance is free for the rest of the
        // period: it serves as the work area of the quadratic terms.
        f64* work = P_prev;
        ukf_build_sigma_points(z_prev, b.L_P, gamma, b.sigma, nz);
        for (i64 r = 0; r < n_sig; ++r)
            ukf_pruned_transition(*in, b.sigma + r * nz, b.sigma_prop + r * nz, work);
        ukf_weighted_mean(b.sigma_prop, w0_m, wi, n_sig, nz, b.z_pred);
        ukf_weighted_cov(b.sigma_prop, b.z_pred, w0_c, wi, n_sig, nz, b.P_pred, work);
        ukf_add_process_cov(b.BQBT, b.P_pred, ns, nz);
        if (in->symmetrize) trova_sym_inplace(b.P_pred, nz);

        // Measure: sample the prediction and map the points to observables.
        if (ukf_chol_auto(b.P_pred, in->jitter, b.L_P, nz) != 0) {
            status = -3;
            break;
        }
        ukf_build_sigma_points(b.z_pred, b.L_P, gamma, b.sigma, nz);
        for (i64 r = 0; r < n_sig; ++r) {
            ukf_project_vars(*in, b.sigma + r * nz, b.vars, work);
            in->meas(b.vars, in->params, b.sigma_y + r * no);
        }
        ukf_weighted_mean(b.sigma_y, w0_m, wi, n_sig, no, b.y_mean);
        ukf_weighted_meas_cov_cross(b.sigma, b.z_pred, b.sigma_y, b.y_mean, w0_c, wi, n_sig, nz, no, b.S,
                                    b.Pzy);
        for (i64 e = 0; e < no * no; ++e) b.S[e] += in->R[e];
        if (in->symmetrize) trova_sym_inplace(b.S, no);
        kf_row_minus_vec(in->obs, t, b.y_mean, b.v, no);

        // Update.
        if (ukf_chol_auto(b.S, in->jitter, b.L_S, no) != 0) {
            status = -3;
            break;
        }
        trova_forward_subst(b.L_S, b.v, b.std, no);
        trova_backward_subst_chol_t(b.L_S, b.std, b.Sinv_v, no);
        kf_gain_from_pc_t(b.L_S, b.Pzy, b.fbuf, b.bbuf, b.K, nz, no);
        kf_state_update(b.z_pred, b.K, b.v, z_filt, nz, no);
        ukf_cov_update(b.P_pred, b.K, b.Pzy, P_filt, nz, no);
        if (in->symmetrize) trova_sym_inplace(P_filt, nz);
        const f64 quad = (trova_logdet_from_chol(b.L_S, no) + trova_dot(b.v, b.Sinv_v, no)) +
                         static_cast<f64>(no) * trova::kalman::kLog2Pi;
        loglik = std::fma(-0.5, quad, loglik);

        if (history) {
            using trova::kalman::copy;
            ukf_store_history(*in, b.z_pred, b.P_pred, out->x1_pred, out->x2_pred, out->x_pred, t, work);
            ukf_store_history(*in, z_filt, P_filt, out->x1_filt, out->x2_filt, out->x_filt, t, work);
            copy(b.P_pred, out->P_pred + t * nz * nz, nz * nz);
            copy(P_filt, out->P_filt + t * nz * nz, nz * nz);
            copy(b.y_mean, out->y_pred + t * no, no);
            in->meas(out->x_filt + t * (ns + in->n_ctrl), in->params, out->y_filt + t * no);
            copy(b.v, out->innov + t * no, no);
            copy(b.std, out->std_innov + t * no, no);
            copy(b.S, out->S + t * no * no, no * no);
        }
        // The filtered pair becomes the running one.
        f64* tz = z_prev;
        z_prev = z_filt;
        z_filt = tz;
        f64* tp = P_prev;
        P_prev = P_filt;
        P_filt = tp;
    }
    out->loglik[0] = loglik;
    return status;
}

}  // namespace

namespace trova::sizing {

Size ukf(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs) {
    layout::Carver c;
    kalman::ukf_blocks(c, n_state, n_ctrl, n_exog, n_obs);
    return kalman::sized(c.size(), kalman::dims_valid(n_state, n_ctrl, n_exog, n_obs));
}

}  // namespace trova::sizing

namespace trova::kalman {

i64 ukf_run(const ukf_inputs* in, f64* arena, const ukf_outputs* out, bool small) {
    const i64 ns = in->n_state, no = in->n_obs, nz = 2 * ns;
    if (in->meas == nullptr || ns <= 0 || no <= 0 || !dims_valid(in->n_ctrl, in->n_exog)) return -2;
    const f64 alpha2 = in->alpha * in->alpha;
    const f64 c = alpha2 * (static_cast<f64>(nz) + in->kappa);
    if (!(c > 0.0) || std::fabs(c) > DBL_MAX) return -3;
    UkfWeights w{};
    w.gamma = std::sqrt(c);
    w.w0_m = (c - static_cast<f64>(nz)) / c;
    w.w0_c = (in->beta + 1.0 - alpha2) + w.w0_m;
    w.wi = 1.0 / (2.0 * c);
    // A c so small that the weights overflow (or a beta that is not finite)
    // leaves no usable weights either.
    const f64 weights[] = {w.w0_m, w.w0_c, w.wi};
    if (!all_finite(weights, 3)) return -3;

    layout::Carver carver(arena);
    const UkfBlocks b = ukf_blocks(carver, ns, in->n_ctrl, in->n_exog, no);
    kf_build_bqbt(in->bx, in->Q, b.temp_nk, b.BQBT, ns, in->n_exog);
    // Small models run the fixed-size loop, chosen once here.
    const UkfLoop small_loop = small ? ukf_small_loop(ns, no) : nullptr;
    return (small_loop ? small_loop : general_loop)(in, b, w, out);
}

}  // namespace trova::kalman

extern "C" {

TROVA_API arena_size ukf_arena_size(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs) {
    return trova::layout::native(trova::sizing::ukf(n_state, n_ctrl, n_exog, n_obs));
}

TROVA_API i64 ukf_hot_loop(const ukf_inputs* in, f64* arena, const ukf_outputs* out) {
    return trova::kalman::ukf_run(in, arena, out, true);
}

}  // extern "C"
