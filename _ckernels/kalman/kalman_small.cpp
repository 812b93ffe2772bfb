// The linear filter's period loop for n <= 7 and m <= 8, with the dimensions as
// compile-time constants: every product, the m x m Cholesky factor and the
// triangular solves are fixed-trip loops the compiler unrolls, and the model
// (A, C, d, R, B Q B') is copied once per call into local arrays, so a
// period touches no memory but its observation row and its history rows.
//
// The recursion is the general loop's, step for step (kalman.cpp predict
// and update): the same regrouped Joseph update, symmetric results mirrored
// from their lower halves, the same symmetrising, jitter, pivot tolerance
// and failure status. Only the summation order inside the products differs
// from the blocked ones (an added matrix enters first, not last), so results
// agree to rounding.
#include <cmath>
#include <cstring>
#include <utility>

#include "_common/dense.h"
#include "kalman/kalman_core.h"
#include "kalman/kalman_fixed.h"

namespace trova::kalman {
namespace {

using namespace fixed;

// out = A B (+ C when given), A r x p, B p x c, row by row as sums of rows
// of B: the inner loop runs along a row of out, so it vectorises without
// reordering any sum.
template <int R, int P, int C>
inline void mul(const Mat<R, P>& A, const Mat<P, C>& B, const Mat<R, C>* add, Mat<R, C>& out) {
    for (int i = 0; i < R; ++i) {
        f64 row[C];
        for (int j = 0; j < C; ++j) row[j] = add ? (*add)[i][j] : 0.0;
        for (int l = 0; l < P; ++l) {
            const f64 a = A[i][l];
            for (int j = 0; j < C; ++j) row[j] += a * B[l][j];
        }
        for (int j = 0; j < C; ++j) out[i][j] = row[j];
    }
}

template <int N, int M>
int small_loop(const kf_inputs* in, const KfBlocks& b, const kf_outputs* out) {
    const i64 k = in->k, T = in->T;
    const bool history = in->store_history != 0;
    const bool shocks = history && in->return_shocks != 0;
    const bool symmetrize = in->symmetrize != 0;
    // The model, fixed for the call.
    Mat<N, N> A, At, BQBT, P;
    Mat<M, N> C;
    Mat<N, M> Ct;
    Mat<M, M> R;
    f64 d[M], x[N];
    std::memcpy(A, in->A, sizeof A);
    std::memcpy(BQBT, b.BQBT, sizeof BQBT);
    std::memcpy(C, in->C, sizeof C);
    std::memcpy(R, in->R, sizeof R);
    std::memcpy(d, in->d, sizeof d);
    std::memcpy(x, in->x0, sizeof x);
    std::memcpy(P, in->P0, sizeof P);
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j) At[i][j] = A[j][i];
    for (int r = 0; r < M; ++r)
        for (int j = 0; j < N; ++j) Ct[j][r] = C[r][j];
    const bool R_symmetric = dense::is_symmetric(in->R, M);
    bool P_symmetric = dense::is_symmetric(in->P0, N);
    f64 loglik = 0.0;
    for (i64 t = 0; t < T; ++t) {
        // Prediction: x_pred = A x, P_pred = A P A' + BQBT.
        f64 xp[N];
        Mat<N, N> AP, Pp;
        for (int i = 0; i < N; ++i) {
            f64 sx = 0.0;
            for (int l = 0; l < N; ++l) sx += A[i][l] * x[l];
            xp[i] = sx;
        }
        mul<N, N, N>(A, P, nullptr, AP);
        mul<N, N, N>(AP, At, &BQBT, Pp);
        if (P_symmetric) mirror_lower<N>(Pp);
        if (symmetrize) sym<N>(Pp);
        P_symmetric = P_symmetric || symmetrize;
        // Innovation v = y_t - (C x_pred + d).
        f64 yp[M], v[M];
        const f64* yt = in->y + t * M;
        for (int r = 0; r < M; ++r) {
            f64 s = 0.0;
            for (int l = 0; l < N; ++l) s += C[r][l] * xp[l];
            yp[r] = s + d[r];
            v[r] = yt[r] - yp[r];
        }
        // HP = C P_pred; S = HP C' + R.
        Mat<M, N> HP;
        Mat<M, M> S, L{};
        mul<M, N, N>(C, Pp, nullptr, HP);
        mul<M, N, M>(HP, Ct, &R, S);
        if (symmetrize) sym<M>(S);
        if (!all_finite(&S[0][0], M * M) || !chol<M>(S, in->jitter, L)) {
            out->loglik[0] = loglik;
            return -3;
        }
        // std = L^-1 v, Sinv_v = L'^-1 std; the solves multiply by the
        // pivots' reciprocals, formed once a period.
        f64 Linv[M];
        for (int i = 0; i < M; ++i) Linv[i] = 1.0 / L[i][i];
        f64 sv[M], siv[M];
        solve_lower<M>(L, Linv, v, sv);
        solve_lower_t<M>(L, Linv, sv, siv);
        // Gain: K' = S^-1 (P_pred C')', which is HP when P_pred is symmetric.
        Mat<M, N> KT;
        for (int r = 0; r < M; ++r)
            for (int i = 0; i < N; ++i) {
                if (P_symmetric) {
                    KT[r][i] = HP[r][i];
                } else {
                    f64 s = 0.0;
                    for (int l = 0; l < N; ++l) s += Pp[i][l] * C[r][l];
                    KT[r][i] = s;
                }
            }
        chol_solve_columns<M, N>(L, Linv, KT);
        f64 xf[N];
        for (int i = 0; i < N; ++i) {
            f64 s = 0.0;
            for (int r = 0; r < M; ++r) s += KT[r][i] * v[r];
            xf[i] = s + xp[i];
        }
        // Regrouped Joseph update: Mj = P_pred - K HP, W = K R - Mj C',
        // P_filt = Mj + W K' (lower half mirrored when symmetric).
        const bool symmetric = P_symmetric && R_symmetric;
        Mat<N, N> Mj;
        Mat<N, M> K, negK, MHt, W;
        for (int i = 0; i < N; ++i)
            for (int r = 0; r < M; ++r) {
                K[i][r] = KT[r][i];
                negK[i][r] = -KT[r][i];
            }
        mul<N, M, N>(negK, HP, &Pp, Mj);
        mul<N, N, M>(Mj, Ct, nullptr, MHt);
        mul<N, M, M>(K, R, nullptr, W);
        for (int i = 0; i < N; ++i)
            for (int r = 0; r < M; ++r) W[i][r] -= MHt[i][r];
        mul<N, M, N>(W, KT, &Mj, P);
        if (symmetric) mirror_lower<N>(P);
        if (symmetrize) sym<N>(P);
        P_symmetric = symmetric || symmetrize;
        const f64 logdet = half_logdet<M>(L);
        f64 q = 0.0;
        for (int i = 0; i < M; ++i) q += v[i] * siv[i];
        loglik = std::fma(-0.5, (2.0 * logdet + q) + static_cast<f64>(M) * kLog2Pi, loglik);
        std::memcpy(x, xf, sizeof x);
        if (shocks) {
            f64* eps = out->eps_hat + t * k;
            for (i64 e = 0; e < k; ++e) {
                f64 s = 0.0;
                for (int r = 0; r < M; ++r) s += b.M[e * M + r] * siv[r];
                eps[e] = s;
            }
        }
        if (history) {
            f64 yf[M];
            for (int r = 0; r < M; ++r) {
                f64 s = 0.0;
                for (int l = 0; l < N; ++l) s += C[r][l] * xf[l];
                yf[r] = s + d[r];
            }
            std::memcpy(out->x_pred + t * N, xp, sizeof xp);
            std::memcpy(out->x_filt + t * N, xf, sizeof xf);
            std::memcpy(out->P_pred + t * N * N, Pp, sizeof Pp);
            std::memcpy(out->P_filt + t * N * N, P, sizeof P);
            std::memcpy(out->y_pred + t * M, yp, sizeof yp);
            std::memcpy(out->y_filt + t * M, yf, sizeof yf);
            std::memcpy(out->innov + t * M, v, sizeof v);
            std::memcpy(out->std_innov + t * M, sv, sizeof sv);
            std::memcpy(out->S + t * M * M, S, sizeof S);
        }
    }
    out->loglik[0] = loglik;
    return 0;
}

template <int N, int M>
struct Entry {
    static constexpr KfLoop fn = &small_loop<N, M>;
};

}  // namespace

KfLoop kf_small_loop(i64 n, i64 m) { return pick<Entry, kSmallMaxN, kSmallMaxM>(n, m); }

}  // namespace trova::kalman
