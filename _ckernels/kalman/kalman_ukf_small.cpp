// The unscented filter's period loop for ns <= 4 (nz <= 8, at most 17 sigma
// points) and no <= 8, with ns and no as compile-time constants: the two
// nz x nz factors and the no x no one, the sigma points, the pruned
// transition (run across the points as vector operations), the weighted
// moments and the update are fixed-trip loops over local arrays, and the
// model (hx, hxx, hss, B Q B', R) is copied once per call. The controls (nc)
// and the shocks (ne, only in B Q B') stay runtime sizes. Against the
// general loop this runs 2 to 5 times faster over that range (the most at
// ns <= 2); the bounds keep the instantiations to 32.
//
// The recursion is the general loop's (kalman_ukf.cpp), step for step: the
// same sigma points and weights, the same factorisation rule with its one
// jitter retry, the same symmetrising and statuses, and the same calls of
// the measurement (with the arena's vars and sigma_y rows, in the same
// order). The weighted covariances keep the general loop's terms: their
// lower triangles, mirrored, S included (the general loop forms every entry
// of S); the cross-covariance is formed transposed, its terms as
// (w dy) dz; the solves multiply by the reciprocals of the pivots and the
// log-determinant takes one logarithm of their product, so results agree
// with the general loop to rounding.
#include <cstring>

#include "kalman/kalman_core.h"
#include "kalman/kalman_fixed.h"
#include "kalman/kalman_ukf.h"

namespace trova::kalman {
namespace {

using namespace fixed;

// The parts of the model with fixed sizes, copied once per call.
template <int NS, int NO>
struct Model {
    Mat<NS, NS> hx, BQBT;
    f64 hxx[NS][NS][NS];
    f64 hss[NS];
    Mat<NO, NO> R;
};

// L L' = P (+ jitter) by the filter's factorisation rule; false on failure.
template <int N>
inline bool factor(const Mat<N, N>& P, f64 jitter, Mat<N, N>& L) {
    return chol_with_retry(&P[0][0], N, jitter, [&](f64 j) { return chol<N>(P, j, L); }) == 0;
}


// The sigma points of (mean, L) as rows: point 0 is the mean, points 1 + i
// and 1 + N + i are mean +- gamma * column i of L (L is lower triangular).
template <int N>
inline void sigma_points(const f64 (&mean)[N], const Mat<N, N>& L, f64 gamma, Mat<2 * N + 1, N>& X) {
    for (int j = 0; j < N; ++j) X[0][j] = mean[j];
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j) {
            const f64 step = j >= i ? gamma * L[j][i] : 0.0;
            X[1 + i][j] = mean[j] + step;
            X[1 + N + i][j] = mean[j] - step;
        }
}

// The deterministic pruned transition of every point z = [x1; x2]:
// x1' = hx x1, x2' = 0.5 (hss + hxx : x1 x1') + hx x2. The points are
// transposed in and out (X[j][r] is component j of point r, the NSIG points
// padded with zeros to NP, a whole number of 4-wide vectors), so that the
// transition runs across the points as vector operations.
template <int NS, int NO, int NSIG>
inline void transition(const Model<NS, NO>& md, const Mat<NSIG, 2 * NS>& Z, Mat<NSIG, 2 * NS>& out) {
    constexpr int NP = (NSIG + 3) / 4 * 4;
    f64 X[2 * NS][NP], F[2 * NS][NP];
    for (int j = 0; j < 2 * NS; ++j) {
        for (int r = 0; r < NSIG; ++r) X[j][r] = Z[r][j];
        for (int r = NSIG; r < NP; ++r) X[j][r] = 0.0;
    }
    f64 xx[NS][NS][NP];
    for (int a = 0; a < NS; ++a)
        for (int c = 0; c < NS; ++c)
            for (int r = 0; r < NP; ++r) xx[a][c][r] = X[a][r] * X[c][r];
    for (int i = 0; i < NS; ++i) {
        f64 x1[NP] = {}, q[NP] = {}, l[NP] = {};
        for (int j = 0; j < NS; ++j)
            for (int r = 0; r < NP; ++r) {
                x1[r] += md.hx[i][j] * X[j][r];
                l[r] += md.hx[i][j] * X[NS + j][r];
            }
        for (int a = 0; a < NS; ++a)
            for (int c = 0; c < NS; ++c)
                for (int r = 0; r < NP; ++r) q[r] += md.hxx[i][a][c] * xx[a][c][r];
        for (int r = 0; r < NP; ++r) {
            F[i][r] = x1[r];
            F[NS + i][r] = 0.5 * (md.hss[i] + q[r]) + l[r];
        }
    }
    for (int r = 0; r < NSIG; ++r)
        for (int j = 0; j < 2 * NS; ++j) out[r][j] = F[j][r];
}

// out = w0 * point 0 + wi * (points 1.. in order), points as rows of N.
template <int NSIG, int N>
inline void weighted_mean(const Mat<NSIG, N>& X, f64 w0, f64 wi, f64 (&out)[N]) {
    for (int j = 0; j < N; ++j) out[j] = w0 * X[0][j];
    for (int r = 1; r < NSIG; ++r)
        for (int j = 0; j < N; ++j) out[j] += wi * X[r][j];
}

// C = sum over points of (w dev_a) dev_c, dev = point - mean (w0 for point
// 0, wi for the others), accumulated by whole rows of C; the lower triangle
// is then mirrored.
template <int NSIG, int N>
inline void weighted_cov(const Mat<NSIG, N>& X, const f64 (&mean)[N], f64 w0, f64 wi, Mat<N, N>& C) {
    for (int a = 0; a < N; ++a)
        for (int c = 0; c < N; ++c) C[a][c] = 0.0;
    for (int r = 0; r < NSIG; ++r) {
        const f64 w = r == 0 ? w0 : wi;
        f64 dev[N];
        for (int j = 0; j < N; ++j) dev[j] = X[r][j] - mean[j];
        for (int a = 0; a < N; ++a) {
            const f64 s = w * dev[a];
            for (int c = 0; c < N; ++c) C[a][c] += s * dev[c];
        }
    }
    mirror_lower<N>(C);
}

// Variables in levels of one point z = [x1; x2] (ns states, then the nc
// controls), the controls' quadratic term weighted by W (x1 x1', or x1 x1'
// plus the x1 covariance): ss + x1 + x2 for a state, ss + 0.5 (gss + gxx :
// W) + gx (x1 + x2) for a control.
// vars is the caller's output row (arena or history), apart from the model.
template <int NS>
inline void levels(const ukf_inputs& in, const f64* z, const Mat<NS, NS>& W, f64* __restrict vars) {
    const f64 *ss = in.steady_state, *gss = in.gss, *gx = in.gx, *gxx = in.gxx;
    const i64 nc = in.n_ctrl;
    f64 sum[NS];
    for (int i = 0; i < NS; ++i) {
        sum[i] = z[i] + z[NS + i];
        vars[i] = ss[i] + z[i] + z[NS + i];
    }
    for (i64 c = 0; c < nc; ++c) {
        f64 q = 0.0, l = 0.0;
        for (int a = 0; a < NS; ++a)
            for (int b = 0; b < NS; ++b) q += gxx[c * NS * NS + a * NS + b] * W[a][b];
        for (int j = 0; j < NS; ++j) l += gx[c * NS + j] * sum[j];
        // Kept out of the vectoriser: vectors across a handful of controls
        // cost more in set-up than they save.
        asm("" : "+x"(q));
        vars[NS + c] = ss[NS + c] + 0.5 * (gss[c] + q) + l;
    }
}

// Row t of x1, x2 and the expected variable levels x from a mean and its
// covariance (the controls add 0.5 gxx_c : P11).
template <int NS>
inline void store_history(const ukf_inputs& in, const f64* z, const Mat<2 * NS, 2 * NS>& P, f64* x1, f64* x2,
                          f64* x, i64 t) {
    std::memcpy(x1 + t * NS, z, sizeof(f64) * NS);
    std::memcpy(x2 + t * NS, z + NS, sizeof(f64) * NS);
    Mat<NS, NS> W;
    for (int a = 0; a < NS; ++a)
        for (int b = 0; b < NS; ++b) W[a][b] = P[a][b] + z[a] * z[b];
    levels<NS>(in, z, W, x + t * (NS + in.n_ctrl));
}

template <int NS, int NO>
i64 small_loop(const ukf_inputs* in, const UkfBlocks& b, const UkfWeights& w, const ukf_outputs* out) {
    constexpr int NZ = 2 * NS, NSIG = 2 * NZ + 1;
    const i64 T = in->T, nv = NS + in->n_ctrl;
    const bool history = in->store_history != 0, symmetrize = in->symmetrize != 0;
    const f64 gamma = w.gamma, w0_m = w.w0_m, w0_c = w.w0_c, wi = w.wi, jitter = in->jitter;
    Model<NS, NO> md;
    std::memcpy(md.hx, in->hx, sizeof md.hx);
    std::memcpy(md.BQBT, b.BQBT, sizeof md.BQBT);
    std::memcpy(md.hxx, in->hxx, sizeof md.hxx);
    std::memcpy(md.hss, in->hss, sizeof md.hss);
    std::memcpy(md.R, in->R, sizeof md.R);
    f64 z[NZ];
    Mat<NZ, NZ> P;
    std::memcpy(z, in->z0, sizeof z);
    std::memcpy(P, in->P0, sizeof P);
    f64 loglik = 0.0;
    i64 status = 0;
    for (i64 t = 0; t < T; ++t) {
        // Predict: the points of (z, P) through the transition.
        Mat<NZ, NZ> L;
        if (!factor<NZ>(P, jitter, L)) {
            status = -3;
            break;
        }
        Mat<NSIG, NZ> X, F;
        sigma_points<NZ>(z, L, gamma, X);
        transition<NS, NO, NSIG>(md, X, F);
        f64 zp[NZ];
        weighted_mean<NSIG, NZ>(F, w0_m, wi, zp);
        Mat<NZ, NZ> Pp;
        weighted_cov<NSIG, NZ>(F, zp, w0_c, wi, Pp);
        for (int a = 0; a < NS; ++a)
            for (int c = 0; c < NS; ++c) Pp[a][c] += md.BQBT[a][c];
        if (symmetrize) sym<NZ>(Pp);

        // Measure: the points of the prediction through the measurement, in
        // point order.
        if (!factor<NZ>(Pp, jitter, L)) {
            status = -3;
            break;
        }
        sigma_points<NZ>(zp, L, gamma, X);
        for (int r = 0; r < NSIG; ++r) {
            Mat<NS, NS> W;
            for (int a = 0; a < NS; ++a)
                for (int c = 0; c < NS; ++c) W[a][c] = X[r][a] * X[r][c];
            levels<NS>(*in, X[r], W, b.vars);
            in->meas(b.vars, in->params, b.sigma_y + r * NO);
        }
        Mat<NSIG, NO> Y;
        std::memcpy(Y, b.sigma_y, sizeof Y);
        f64 ym[NO];
        weighted_mean<NSIG, NO>(Y, w0_m, wi, ym);
        Mat<NO, NO> S;
        weighted_cov<NSIG, NO>(Y, ym, w0_c, wi, S);
        // The cross-covariance transposed, KT = Pzy' = sum over points of
        // (w dy_c) dz_a, accumulated by rows of nz; the gain is solved in it.
        Mat<NO, NZ> KT{};
        for (int r = 0; r < NSIG; ++r) {
            const f64 wr = r == 0 ? w0_c : wi;
            f64 dz[NZ];
            for (int a = 0; a < NZ; ++a) dz[a] = X[r][a] - zp[a];
            for (int c = 0; c < NO; ++c) {
                const f64 s = wr * (Y[r][c] - ym[c]);
                for (int a = 0; a < NZ; ++a) KT[c][a] += s * dz[a];
            }
        }
        Mat<NO, NZ> PzyT;
        std::memcpy(PzyT, KT, sizeof KT);
        for (int a = 0; a < NO; ++a)
            for (int c = 0; c < NO; ++c) S[a][c] += md.R[a][c];
        if (symmetrize) sym<NO>(S);
        f64 v[NO];
        const f64* yt = in->obs + t * NO;
        for (int j = 0; j < NO; ++j) v[j] = yt[j] - ym[j];

        // Update: K = Pzy S^-1 (solved as K' = S^-1 Pzy'), z_filt = z_pred
        // + K v, P_filt = P_pred - K Pzy'.
        Mat<NO, NO> LS;
        if (!factor<NO>(S, jitter, LS)) {
            status = -3;
            break;
        }
        f64 Linv[NO], sv[NO], siv[NO];
        for (int i = 0; i < NO; ++i) Linv[i] = 1.0 / LS[i][i];
        solve_lower<NO>(LS, Linv, v, sv);
        solve_lower_t<NO>(LS, Linv, sv, siv);
        chol_solve_columns<NO, NZ>(LS, Linv, KT);
        for (int a = 0; a < NZ; ++a) {
            f64 s = 0.0;
            for (int l = 0; l < NO; ++l) s += KT[l][a] * v[l];
            z[a] = zp[a] + s;
        }
        for (int a = 0; a < NZ; ++a)
            for (int c = 0; c < NZ; ++c) {
                f64 s = 0.0;
                for (int l = 0; l < NO; ++l) s += KT[l][a] * PzyT[l][c];
                P[a][c] = Pp[a][c] - s;
            }
        if (symmetrize) sym<NZ>(P);
        f64 q = 0.0;
        for (int i = 0; i < NO; ++i) q += v[i] * siv[i];
        loglik = std::fma(-0.5, (2.0 * half_logdet<NO>(LS) + q) + static_cast<f64>(NO) * kLog2Pi, loglik);

        if (history) {
            store_history<NS>(*in, zp, Pp, out->x1_pred, out->x2_pred, out->x_pred, t);
            store_history<NS>(*in, z, P, out->x1_filt, out->x2_filt, out->x_filt, t);
            std::memcpy(out->P_pred + t * NZ * NZ, Pp, sizeof Pp);
            std::memcpy(out->P_filt + t * NZ * NZ, P, sizeof P);
            std::memcpy(out->y_pred + t * NO, ym, sizeof ym);
            in->meas(out->x_filt + t * nv, in->params, out->y_filt + t * NO);
            std::memcpy(out->innov + t * NO, v, sizeof v);
            std::memcpy(out->std_innov + t * NO, sv, sizeof sv);
            std::memcpy(out->S + t * NO * NO, S, sizeof S);
        }
    }
    out->loglik[0] = loglik;
    return status;
}

template <int NS, int NO>
struct Entry {
    static constexpr UkfLoop fn = &small_loop<NS, NO>;
};

}  // namespace

UkfLoop ukf_small_loop(i64 ns, i64 no) { return pick<Entry, kUkfSmallMaxNs, kUkfSmallMaxNo>(ns, no); }

}  // namespace trova::kalman
