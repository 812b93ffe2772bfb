// Linear Kalman filter: the building blocks shared by the three filters, the
// recursion shared with the extended filter, and kf_hot_loop.
//
// Every intermediate has a fixed block in the caller's arena; the n^3 work of
// a period (the predicted covariance and the Joseph update) goes through the
// register-blocked matrix products. Small filters (kalman_small.cpp) run a
// fixed-size loop instead, chosen once per call in kf_run.
#include <cmath>
#include <cstring>

#include "_common/dense.h"
#include "_common/layout.h"
#include "_common/sizers.h"
#include "kalman/kalman_core.h"
#include "trova_linalg.h"

namespace trova::kalman {


KfBlocks kf_blocks(layout::Carver& c, i64 n, i64 m, i64 k, bool extended) {
    KfBlocks b{};
    b.x_pred = c.take(n);
    b.x_filt = c.take(n);
    b.y_pred = c.take(m);
    if (!extended) b.y_filt = c.take(m);
    b.v = c.take(m);
    b.std = c.take(m);
    b.Sinv_v = c.take(m);
    b.fbuf = c.take(m);
    b.bbuf = c.take(m);
    b.P_pred = c.take(n, n);
    b.P_filt = c.take(n, n);
    b.KC = c.take(n, n);
    b.I_minus_KC = c.take(n, n);
    b.temp_nn = c.take(n, n);
    b.BQBT = c.take(n, n);
    b.S = c.take(m, m);
    b.L = c.take(m, m);
    b.PCt = c.take(n, m);
    b.K = c.take(n, m);
    b.temp_nm = c.take(n, m);
    if (extended) b.H = c.take(m, n);
    b.temp_mn = c.take(m, n);
    b.temp_nk = c.take(n, k);
    b.M = c.take(k, m);
    b.temp_km = c.take(k, m);
    return b;
}

bool predict(const f64* A, const f64* x_prev, const f64* P_prev, bool P_prev_symmetric,
             const KfBlocks& b, i64 n, int symmetrize) {
    trova_matvec(A, x_prev, b.x_pred, n, n);
    if (P_prev_symmetric) {
        // A P A' + BQBT is symmetric (BQBT is built symmetric): half of the
        // second product suffices.
        trova_matmul(A, P_prev, b.temp_nn, n, n, n);
        dense::sym_matmul_abt_plus_c(b.temp_nn, A, b.BQBT, b.P_pred, n, n);
    } else {
        kf_predict_cov(A, P_prev, b.BQBT, b.temp_nn, b.P_pred, n);
    }
    if (symmetrize) trova_sym_inplace(b.P_pred, n);
    return P_prev_symmetric || symmetrize;
}

int update(const f64* H, const f64* R, bool R_symmetric, bool& P_symmetric, const KfBlocks& b, i64 n,
           i64 m, int symmetrize, f64 jitter, f64& loglik) {
    // temp_mn = H P_pred serves S, the gain and the covariance update.
    kf_measurement_cov(H, b.P_pred, R, b.temp_mn, b.S, n, m);
    if (symmetrize) trova_sym_inplace(b.S, m);
    // The jitter enters only the factor; S keeps none.
    if (!all_finite(b.S, m * m) || trova_chol(b.S, jitter, b.L, m) != 0) return -3;
    trova_forward_subst(b.L, b.v, b.std, m);
    trova_backward_subst_chol_t(b.L, b.std, b.Sinv_v, m);
    // Gain K = P H' S^-1, solved for all n rows at once as K' = S^-1 (P H')'
    // in the PCt block; with P symmetric, (P H')' is H P term for term.
    f64* KT = b.PCt;
    if (P_symmetric) {
        std::memcpy(KT, b.temp_mn, sizeof(f64) * static_cast<std::size_t>(n * m));
    } else {
        kf_pc_t(b.P_pred, H, b.K, n, m);
        dense::transpose(b.K, KT, n, m);
    }
    dense::chol_solve_columns(b.L, KT, m, n);
    dense::transpose(KT, b.K, m, n);
    kf_state_update(b.x_pred, b.K, b.v, b.x_filt, n, m);
    // Joseph form (I - KH) P (I - KH)' + K R K', regrouped so that no n^3
    // product remains: M = (I - KH) P = P - K (H P), W = K R - M H', and
    // P_filt = M + W K'. The result is symmetric when P and R are, and then
    // only its lower half is computed. M is n x n (the I_minus_KC block);
    // -K and then M H' are n x m and go to the n x m PCt block, free once
    // the gain is formed.
    const bool symmetric = P_symmetric && R_symmetric;
    f64* M = b.I_minus_KC;
    f64* negK = b.PCt;
    for (i64 e = 0; e < n * m; ++e) negK[e] = -b.K[e];
    dense::matmul_plus_c(negK, b.temp_mn, b.P_pred, M, n, m, n);
    f64* MHt = b.PCt;
    trova_matmul_abt(M, H, MHt, n, n, m);
    trova_matmul(b.K, R, b.temp_nm, n, m, m);
    trova_vsub(b.temp_nm, MHt, b.temp_nm, n * m);
    if (symmetric) {
        dense::sym_matmul_abt_plus_c(b.temp_nm, b.K, M, b.P_filt, n, m);
    } else {
        trova_matmul_abt_plus_c(b.temp_nm, b.K, M, b.P_filt, n, m, n);
    }
    if (symmetrize) trova_sym_inplace(b.P_filt, n);
    P_symmetric = symmetric || symmetrize;
    const f64 quad = (trova_logdet_from_chol(b.L, m) + trova_dot(b.v, b.Sinv_v, m)) +
                     static_cast<f64>(m) * kLog2Pi;
    loglik = std::fma(-0.5, quad, loglik);
    return 0;
}

}  // namespace trova::kalman

using namespace trova::kalman;

namespace trova::sizing {

Size kf(i64 n, i64 m, i64 k) {
    layout::Carver c;
    kalman::kf_blocks(c, n, m, k, false);
    return kalman::sized(c.size(), kalman::dims_valid(n, m, k));
}

}  // namespace trova::sizing

extern "C" {

TROVA_API void kf_row_minus_vec(const f64* A, i64 row, const f64* x, f64* out, i64 m) {
    trova_vsub(A + row * m, x, out, m);
}

TROVA_API void kf_chol_solve_row(const f64* L, const f64* B, i64 row, f64* fbuf, f64* bbuf, f64* out,
                                 i64 n) {
    trova_forward_subst(L, B + row * n, fbuf, n);
    trova_backward_subst_chol_t(L, fbuf, bbuf, n);
    if (n > 0) std::memcpy(out + row * n, bbuf, sizeof(f64) * static_cast<std::size_t>(n));
}

TROVA_API void kf_predict_cov(const f64* A, const f64* P_prev, const f64* BQBT, f64* temp_nn, f64* out,
                              i64 n) {
    trova_matmul(A, P_prev, temp_nn, n, n, n);
    trova_matmul_abt_plus_c(temp_nn, A, BQBT, out, n, n, n);
}

TROVA_API void kf_measurement_cov(const f64* C, const f64* P_pred, const f64* R, f64* temp_mn, f64* out,
                                  i64 n, i64 m) {
    trova_matmul(C, P_pred, temp_mn, m, n, n);
    trova_matmul_abt_plus_c(temp_mn, C, R, out, m, n, m);
}

TROVA_API void kf_pc_t(const f64* P_pred, const f64* C, f64* out, i64 n, i64 m) {
    trova_matmul_abt(P_pred, C, out, n, n, m);
}

TROVA_API void kf_gain_from_pc_t(const f64* L, const f64* PCt, f64* fbuf, f64* bbuf, f64* out, i64 n,
                                 i64 m) {
    for (i64 i = 0; i < n; ++i) kf_chol_solve_row(L, PCt, i, fbuf, bbuf, out, m);
}

TROVA_API void kf_state_update(const f64* x_pred, const f64* K, const f64* v, f64* out, i64 n, i64 m) {
    trova_matvec_plus_vec(K, v, x_pred, out, n, m);
}

TROVA_API void kf_identity_minus(const f64* A, f64* out, i64 n) {
    for (i64 e = 0; e < n * n; ++e) out[e] = -A[e];
    for (i64 i = 0; i < n; ++i) out[i * n + i] += 1.0;
}

TROVA_API void kf_joseph_cov(const f64* K, const f64* C, const f64* P_pred, const f64* R, f64* KC,
                             f64* I_minus_KC, f64* temp_nn, f64* temp_nm, f64* out, i64 n, i64 m) {
    trova_matmul(K, C, KC, n, m, n);
    kf_identity_minus(KC, I_minus_KC, n);
    trova_matmul(I_minus_KC, P_pred, temp_nn, n, n, n);
    trova_matmul_abt(temp_nn, I_minus_KC, out, n, n, n);
    trova_matmul(K, R, temp_nm, n, m, m);
    // out += (K R) K'; the product reads each block of out before writing it.
    trova_matmul_abt_plus_c(temp_nm, K, out, out, n, m, n);
}

TROVA_API void kf_build_bqbt(const f64* B, const f64* Q, f64* temp_nk, f64* out, i64 n, i64 k) {
    trova_matmul(B, Q, temp_nk, n, k, k);
    trova_matmul_abt(temp_nk, B, out, n, k, n);
    trova_sym_inplace(out, n);
}

TROVA_API void kf_build_shock_projection(const f64* B, const f64* C, const f64* Q, f64* temp_km,
                                         f64* out, i64 n, i64 k, i64 m) {
    // temp_km = B' C'.
    for (i64 i = 0; i < k; ++i) {
        for (i64 j = 0; j < m; ++j) {
            const f64* Cj = C + j * n;
            f64 s = 0.0;
            for (i64 l = 0; l < n; ++l) s += B[l * k + i] * Cj[l];
            temp_km[i * m + j] = s;
        }
    }
    trova_matmul(Q, temp_km, out, k, k, m);
}

TROVA_API arena_size kf_arena_size(i64 n, i64 m, i64 k) { return trova::layout::native(trova::sizing::kf(n, m, k)); }

TROVA_API int kf_hot_loop(const kf_inputs* in, f64* arena, const kf_outputs* out) {
    return trova::kalman::kf_run(in, arena, out, true);
}

}  // extern "C"

namespace trova::kalman {

int kf_run(const kf_inputs* in, f64* arena, const kf_outputs* out, bool small) {
    const i64 n = in->n, m = in->m, k = in->k, T = in->T;
    if (!dims_valid(n, m, k)) return -2;
    trova::layout::Carver c(arena);
    const KfBlocks b = kf_blocks(c, n, m, k, false);
    const bool history = in->store_history != 0;
    const bool shocks = history && in->return_shocks != 0;
    kf_build_bqbt(in->B, in->Q, b.temp_nk, b.BQBT, n, k);
    if (shocks) kf_build_shock_projection(in->B, in->C, in->Q, b.temp_km, b.M, n, k, m);
    // Small sizes run the fixed-size loop, chosen once here.
    if (const KfLoop loop = small ? kf_small_loop(n, m) : nullptr) return loop(in, b, out);
    const bool R_symmetric = trova::dense::is_symmetric(in->R, m);
    bool P_symmetric = trova::dense::is_symmetric(in->P0, n);
    f64 loglik = 0.0;
    const f64* x_prev = in->x0;
    const f64* P_prev = in->P0;
    for (i64 t = 0; t < T; ++t) {
        P_symmetric = predict(in->A, x_prev, P_prev, P_symmetric, b, n, in->symmetrize);
        trova_matvec_plus_vec(in->C, b.x_pred, in->d, b.y_pred, m, n);
        kf_row_minus_vec(in->y, t, b.y_pred, b.v, m);
        if (update(in->C, in->R, R_symmetric, P_symmetric, b, n, m, in->symmetrize, in->jitter, loglik) != 0) {
            out->loglik[0] = loglik;
            return -3;
        }
        if (shocks) trova_matvec(b.M, b.Sinv_v, out->eps_hat + t * k, k, m);
        if (history) {
            trova_matvec_plus_vec(in->C, b.x_filt, in->d, b.y_filt, m, n);
            store_period(b, *out, t, n, m);
            copy(b.y_filt, out->y_filt + t * m, m);
        }
        x_prev = b.x_filt;
        P_prev = b.P_filt;
    }
    out->loglik[0] = loglik;
    return 0;
}

}  // namespace trova::kalman
