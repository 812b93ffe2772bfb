// The period loops of the linear and extended filters for n, m <= 8,
// with the dimensions as compile-time constants. Both share one templated
// prediction and one templated update; the extended loop only fetches its
// observation row and Jacobian from the callbacks each period, where the
// linear loop has C fixed for the call.
//
// Every matrix of a period lives in a local array whose rows are padded to a
// whole number of 4-double vectors (zero padding, set once per call), and
// every product is a sum of scaled rows of its right factor: each row
// operation is a few packed multiply-adds, and no sum is reordered across
// lanes. The model (A, C, d, R, B Q B') is copied once per call, so a period
// touches no memory but its observation row and its history rows.
//
// The recursion is the general loop's, step for step (kalman.cpp predict
// and update): the same regrouped Joseph update, symmetric results mirrored
// from their lower halves, the same symmetrising, jitter, pivot tolerance
// and failure status. The summation order inside the products differs from
// the blocked ones (an added matrix enters first, not last) and the factor's
// divisions are multiplications by the pivots' reciprocals, so results agree
// to rounding.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "_common/dense.h"
#include "kalman/kalman_core.h"
#include "kalman/kalman_fixed.h"

namespace trova::kalman {
namespace {

using trova::dense::v4;

constexpr int padded(int c) { return (c + 3) / 4 * 4; }

// An R x C matrix with rows padded to whole vectors.
template <int R, int C>
struct alignas(32) Mat {
    static constexpr int V = padded(C) / 4;
    f64 a[R][padded(C)];
    v4 row(int i, int v) const {
        v4 x;
        std::memcpy(&x, &a[i][4 * v], sizeof x);
        return x;
    }
    void set(int i, int v, v4 x) { std::memcpy(&a[i][4 * v], &x, sizeof x); }
    // Rows from / to a dense row-major array.
    void load(const f64* src) {
        for (int i = 0; i < R; ++i) std::memcpy(a[i], src + i * C, sizeof(f64) * C);
    }
    void store(f64* dst) const {
        if (padded(C) == C) {
            std::memcpy(dst, a, sizeof a);
        } else {
            for (int i = 0; i < R; ++i) std::memcpy(dst + i * C, a[i], sizeof(f64) * C);
        }
    }
};

// Makes X live in memory from here on. The products read their left
// factor entry by entry as broadcasts: from memory a broadcast is a load,
// from a register a shuffle, and the shuffles all compete for one port.
template <int R, int C>
inline void spill(Mat<R, C>& X) {
    asm volatile("" : : "r"(&X) : "memory");
}

// out = add + sum over l of a(i, l) B[l] for every row i, or with Neg
// add - that sum: a(i, l) is the (i, l) entry of the left factor (so a
// transposed factor needs no copy), add may be null. Summed in l order from
// add.
template <int R, int P, int C, bool Neg = false, class Left>
inline void mul(Left a, const Mat<P, C>& B, const Mat<R, C>* add, Mat<R, C>& out) {
    constexpr int V = Mat<R, C>::V;
    // From P = 4 on, the first and the second half of the sum run as two
    // chains added at the end: the products sit on the period's dependency
    // chain, and two half-length chains finish sooner.
    constexpr int H = P >= 4 ? P / 2 : P;
    for (int i = 0; i < R; ++i) {
        v4 acc[V], acc2[V];
        for (int v = 0; v < V; ++v) {
            acc[v] = add ? add->row(i, v) : v4{};
            acc2[v] = v4{};
        }
        for (int l = 0; l < H; ++l) {
            const f64 s = Neg ? -a(i, l) : a(i, l);
            for (int v = 0; v < V; ++v) acc[v] += s * B.row(l, v);
        }
        for (int l = H; l < P; ++l) {
            const f64 s = Neg ? -a(i, l) : a(i, l);
            for (int v = 0; v < V; ++v) acc2[v] += s * B.row(l, v);
        }
        for (int v = 0; v < V; ++v) out.set(i, v, H < P ? acc[v] + acc2[v] : acc[v]);
    }
    spill(out);
}

template <int R, int C>
inline auto entries(const Mat<R, C>& X) {
    return [&X](int i, int l) { return X.a[i][l]; };
}
template <int R, int C>
inline auto transposed(const Mat<R, C>& X) {
    return [&X](int i, int l) { return X.a[l][i]; };
}

// Whether every entry is finite (padding lanes are zero), as all_finite:
// an exponent field of all ones marks NaN and infinity.
template <int R, int C>
inline bool all_finite(const Mat<R, C>& X) {
    typedef std::int64_t v4i __attribute__((vector_size(32)));
    const v4i exponent = v4i{} + 0x7FF0000000000000LL;
    v4i bad{};
    for (int i = 0; i < R; ++i)
        for (int v = 0; v < Mat<R, C>::V; ++v) {
            v4i bits;
            const v4 x = X.row(i, v);
            std::memcpy(&bits, &x, sizeof bits);
            bad |= (bits & exponent) == exponent;
        }
    return (bad[0] | bad[1] | bad[2] | bad[3]) == 0;
}

template <int R, int C>
inline void transpose(const Mat<R, C>& X, Mat<C, R>& out) {
    for (int i = 0; i < R; ++i)
        for (int j = 0; j < C; ++j) out.a[j][i] = X.a[i][j];
}

// S + jitter I = U D U' from the lower triangle of S, U unit lower
// triangular (its strict lower half in U), with the pivots d and their
// reciprocals r = 1 / d; false when a pivot fails trova_chol's test (d at
// most M eps times the largest jittered diagonal, or NaN). The Cholesky
// factor is U D^1/2, so d are its squared pivots. Against the factor, a
// column needs one division and no square root, and only that division
// lies on the chain from one column to the next; the solves then multiply
// by r and need no square root either.
template <int M>
inline bool ldl(const Mat<M, M>& S, f64 jitter, Mat<M, M>& U, f64 (&d)[M], f64 (&r)[M]) {
    const f64 jit = jitter > 0.0 ? jitter : 0.0;
    f64 scale = 0.0;
    for (int i = 0; i < M; ++i) {
        const f64 s = S.a[i][i] + jit;
        if (s > scale) scale = s;
    }
    const f64 tol = static_cast<f64>(M) * 0x1p-52 * scale;
    // E = U D below the diagonal.
    f64 E[M][M];
    for (int j = 0; j < M; ++j) {
        f64 e = S.a[j][j] + jit;
        for (int l = 0; l < j; ++l) e -= U.a[j][l] * E[j][l];
        if (!(e > tol)) return false;
        d[j] = e;
        r[j] = 1.0 / e;
        for (int i = j + 1; i < M; ++i) {
            f64 x = S.a[i][j];
            for (int l = 0; l < j; ++l) x -= U.a[i][l] * E[j][l];
            E[i][j] = x;
            U.a[i][j] = x * r[j];
        }
    }
    return true;
}

// The model fixed for a call.
template <int N, int M>
struct Model {
    Mat<N, N> A, At, BQBT;
    Mat<M, M> R;
    bool R_symmetric;
};

// The filter's state between periods and the moments of one period.
template <int N, int M>
struct Period {
    Mat<1, N> x, xp, xf;
    Mat<N, N> P, Pp, AP, Mj;
    bool P_symmetric;
    Mat<1, M> v, sv, siv;
    Mat<M, N> HP, HPt, KT, WT;
    Mat<M, M> S, U;
};

// x_pred = A x (as the row x A'), P_pred = A P A' + BQBT; symmetrised when
// asked, its upper half mirrored when P is exactly symmetric.
template <int N, int M>
inline void predict(const Model<N, M>& md, Period<N, M>& p, bool symmetrize) {
    mul<1, N, N>(entries(p.x), md.At, nullptr, p.xp);
    mul<N, N, N>(entries(md.A), p.P, nullptr, p.AP);
    mul<N, N, N>(entries(p.AP), md.At, &md.BQBT, p.Pp);
    // Mirrored, P_pred is symmetric already and symmetrising would not
    // change it.
    if (p.P_symmetric) {
        fixed::mirror_lower<N>(p.Pp.a);
    } else if (symmetrize) {
        fixed::sym<N>(p.Pp.a);
    }
    p.P_symmetric = p.P_symmetric || symmetrize;
}

// HP = H P_pred and S = HP H' + R (symmetrised when asked) for an H known
// only once P_pred is.
template <int N, int M>
inline void observe(const Model<N, M>& md, const Mat<M, N>& H, const Mat<N, M>& Ht, Period<N, M>& p,
                    bool symmetrize) {
    mul<M, N, N>(entries(H), p.Pp, nullptr, p.HP);
    mul<M, N, M>(entries(p.HP), Ht, &md.R, p.S);
    if (symmetrize) fixed::sym<M>(p.S.a);
}

// Given x_pred, P_pred, HP = H P_pred, S, the innovation v and the
// observation matrix H: the factor of S, std = L^-1 v, Sinv_v, the gain,
// x_filt and the Joseph-form P_filt in p.P; adds the period's term to
// loglik. Returns false (loglik untouched) when S cannot be factored.
template <int N, int M>
inline bool update(const Model<N, M>& md, const Mat<M, N>& H, Period<N, M>& p, bool symmetrize, f64 jitter,
                   f64& loglik) {
    constexpr int VN = Mat<1, N>::V;
    const bool finite = all_finite(p.S);
    f64 d[M], rd[M];
    if (!finite || !ldl<M>(p.S, jitter, p.U, d, rd)) return false;
    // z = U^-1 v; std = L^-1 v = D^-1/2 z; Sinv_v = U'^-1 D^-1 z.
    f64* sv = p.sv.a[0];
    f64* siv = p.siv.a[0];
    f64 z[M];
    for (int i = 0; i < M; ++i) {
        f64 s = p.v.a[0][i];
        for (int l = 0; l < i; ++l) s -= p.U.a[i][l] * z[l];
        z[i] = s;
        sv[i] = s * std::sqrt(rd[i]);
    }
    for (int i = M - 1; i >= 0; --i) {
        f64 s = z[i] * rd[i];
        for (int l = i + 1; l < M; ++l) s -= p.U.a[l][i] * siv[l];
        siv[i] = s;
    }
    // Gain: K' = S^-1 (P_pred H')', which is HP when P_pred is symmetric,
    // solved row by row of K' (each a row operation across the n columns).
    const Mat<M, N>* PHt = &p.HP;
    if (!p.P_symmetric) {
        PHt = &p.HPt;
        for (int r = 0; r < M; ++r)
            for (int i = 0; i < N; ++i) {
                f64 s = 0.0;
                for (int l = 0; l < N; ++l) s += p.Pp.a[i][l] * H.a[r][l];
                p.HPt.a[r][i] = s;
            }
    }
    for (int r = 0; r < M; ++r)
        for (int v = 0; v < VN; ++v) {
            v4 acc = PHt->row(r, v);
            for (int l = 0; l < r; ++l) acc -= p.U.a[r][l] * p.KT.row(l, v);
            p.KT.set(r, v, acc);
        }
    for (int r = M - 1; r >= 0; --r)
        for (int v = 0; v < VN; ++v) {
            v4 acc = p.KT.row(r, v) * rd[r];
            for (int l = r + 1; l < M; ++l) acc -= p.U.a[l][r] * p.KT.row(l, v);
            p.KT.set(r, v, acc);
        }
    // x_filt = x_pred + K v.
    mul<1, M, N>(entries(p.v), p.KT, &p.xp, p.xf);
    // Regrouped Joseph update: Mj = P_pred - K HP, W = K R - Mj H',
    // P_filt = Mj + W K' (lower half mirrored when symmetric). As
    // Mj H' = P_pred H' - K HP H', W = K (HP H' + R) - P_pred H' for any K,
    // and HP H' + R is S without the jitter (which only the factor has): W'
    // comes straight from the gain, alongside Mj, which leaves two products
    // after the gain instead of four. When symmetrising S has changed it (R
    // not exactly symmetric), S - (HP H' + R) = (R' - R) / 2 =: D is
    // antisymmetric, so W moves by K D and P_filt by K D K', antisymmetric
    // too, which symmetrising P_filt then removes.
    // WT holds -W'.
    mul<N, M, N, true>(transposed(p.KT), p.HP, &p.Pp, p.Mj);
    mul<M, M, N, true>(transposed(p.S), p.KT, PHt, p.WT);
    const bool symmetric = p.P_symmetric && md.R_symmetric;
    mul<N, M, N, true>(transposed(p.WT), p.KT, &p.Mj, p.P);
    if (symmetric) {
        fixed::mirror_lower<N>(p.P.a);
    } else if (symmetrize) {
        fixed::sym<N>(p.P.a);
    }
    p.P_symmetric = symmetric || symmetrize;
    // log det S as one logarithm of the product of the pivots while it
    // stays a normal number (M <= 8 factors), else the sum of their
    // logarithms.
    f64 logdet = 0.0, q = 0.0, prod = 1.0;
    for (int i = 0; i < M; ++i) prod *= d[i];
    if (std::isnormal(prod)) {
        logdet = std::log(prod);
    } else {
        for (int i = 0; i < M; ++i) logdet += std::log(d[i]);
    }
    for (int i = 0; i < M; ++i) q += p.v.a[0][i] * siv[i];
    loglik = std::fma(-0.5, (logdet + q) + static_cast<f64>(M) * kLog2Pi, loglik);
    return true;
}

// Sets every entry, padding lanes included, to zero.
template <class... Ms>
inline void zero(Ms&... ms) {
    (std::memset(static_cast<void*>(&ms), 0, sizeof ms), ...);
}

// What a call of either loop fixes: its options, the model and the state
// it starts from; and the observation matrix H (C, or the period's
// Jacobian), its transpose and y_pred.
template <int N, int M>
struct Call {
    i64 k, T;
    bool history, shocks, symmetrize;
    Model<N, M> md;
    Period<N, M> p;
    Mat<M, N> H;
    Mat<N, M> Ht;
    Mat<1, M> yp;
};

// The call's options, the model's fixed matrices and the starting state,
// with every padding lane zero.
template <int N, int M, class In>
inline void start(const In* in, const KfBlocks& b, Call<N, M>& c) {
    c.k = in->k;
    c.T = in->T;
    c.history = in->store_history != 0;
    c.shocks = c.history && in->return_shocks != 0;
    c.symmetrize = in->symmetrize != 0;
    Model<N, M>& md = c.md;
    Period<N, M>& p = c.p;
    zero(md, p, c.H, c.Ht, c.yp);
    md.A.load(in->A);
    transpose(md.A, md.At);
    md.BQBT.load(b.BQBT);
    md.R.load(in->R);
    md.R_symmetric = dense::is_symmetric(in->R, M);
    p.x.load(in->x0);
    p.P.load(in->P0);
    p.P_symmetric = dense::is_symmetric(in->P0, N);
}

// Row t of the histories but y_filt (and eps_hat).
template <int N, int M, class Outputs>
inline void store(const Period<N, M>& p, const Mat<1, M>& yp, const Outputs* out, i64 t) {
    p.xp.store(out->x_pred + t * N);
    p.xf.store(out->x_filt + t * N);
    p.Pp.store(out->P_pred + t * N * N);
    p.P.store(out->P_filt + t * N * N);
    yp.store(out->y_pred + t * M);
    p.v.store(out->innov + t * M);
    p.sv.store(out->std_innov + t * M);
    p.S.store(out->S + t * M * M);
}

template <int N, int M>
int small_loop(const kf_inputs* in, const KfBlocks& b, const kf_outputs* out) {
    Call<N, M> c;
    start(in, b, c);
    Period<N, M>& p = c.p;
    Mat<M, N>& C = c.H;
    Mat<N, M>& Ct = c.Ht;
    Mat<1, M>& yp = c.yp;
    Mat<1, M> d, yf;
    zero(d, yf);
    C.load(in->C);
    transpose(C, Ct);
    d.load(in->d);
    // With C fixed, HP = C (A P A' + BQBT) = (C A P) A' + C BQBT and S =
    // (C A P) (C A)' + (C BQBT C' + R): both come from P in two products,
    // alongside P_pred instead of after it.
    Mat<M, N> CA, CBQBT, G;
    Mat<N, M> CAt;
    Mat<M, M> SR;
    zero(CA, CBQBT, G, CAt, SR);
    mul<M, N, N>(entries(C), c.md.A, nullptr, CA);
    transpose(CA, CAt);
    mul<M, N, N>(entries(C), c.md.BQBT, nullptr, CBQBT);
    mul<M, N, M>(entries(CBQBT), Ct, &c.md.R, SR);
    f64 loglik = 0.0;
    for (i64 t = 0; t < c.T; ++t) {
        // That HP equals C P_pred needs P_pred unsymmetrised, or P exactly
        // symmetric (then P_pred is mirrored, not averaged).
        const bool direct = p.P_symmetric || !c.symmetrize;
        predict(c.md, p, c.symmetrize);
        if (direct) {
            mul<M, N, N>(entries(CA), p.P, nullptr, G);
            mul<M, N, N>(entries(G), c.md.At, &CBQBT, p.HP);
            mul<M, N, M>(entries(G), CAt, &SR, p.S);
            if (c.symmetrize) fixed::sym<M>(p.S.a);
        } else {
            observe(c.md, C, Ct, p, c.symmetrize);
        }
        // Innovation v = y_t - (C x_pred + d).
        mul<1, N, M>(entries(p.xp), Ct, &d, yp);
        const f64* yt = in->y + t * M;
        for (int r = 0; r < M; ++r) p.v.a[0][r] = yt[r] - yp.a[0][r];
        if (!update(c.md, C, p, c.symmetrize, in->jitter, loglik)) {
            out->loglik[0] = loglik;
            return -3;
        }
        if (c.shocks) {
            f64* eps = out->eps_hat + t * c.k;
            for (i64 e = 0; e < c.k; ++e) {
                f64 s = 0.0;
                for (int r = 0; r < M; ++r) s += b.M[e * M + r] * p.siv.a[0][r];
                eps[e] = s;
            }
        }
        if (c.history) {
            mul<1, N, M>(entries(p.xf), Ct, &d, yf);
            store(p, yp, out, t);
            yf.store(out->y_filt + t * M);
        }
        p.x = p.xf;
    }
    out->loglik[0] = loglik;
    return 0;
}

template <int N, int M>
int ekf_small(const ekf_inputs* in, const KfBlocks& b, const ekf_outputs* out) {
    Call<N, M> c;
    start(in, b, c);
    Period<N, M>& p = c.p;
    Mat<1, N> w;
    zero(w);
    // With shocks, eps_hat = Q B' H' S^-1 v: Q B' (k x n, in the temp_nk
    // block) is fixed for the call, H' S^-1 v is the period's.
    f64* QBt = b.temp_nk;
    if (c.shocks)
        for (i64 e = 0; e < c.k; ++e)
            for (int l = 0; l < N; ++l) {
                f64 s = 0.0;
                for (i64 j = 0; j < c.k; ++j) s += in->Q[e * c.k + j] * in->B[l * c.k + j];
                QBt[e * N + l] = s;
            }
    f64 loglik = 0.0;
    for (i64 t = 0; t < c.T; ++t) {
        predict(c.md, p, c.symmetrize);
        in->meas(p.xp.a[0], in->calib_params, c.yp.a[0]);
        // The Jacobian goes through the arena's H block (m x n, unpadded).
        in->jac(p.xp.a[0], in->calib_params, b.H);
        c.H.load(b.H);
        transpose(c.H, c.Ht);
        const f64* yt = in->y + t * M;
        for (int r = 0; r < M; ++r) p.v.a[0][r] = yt[r] - c.yp.a[0][r];
        observe(c.md, c.H, c.Ht, p, c.symmetrize);
        if (!update(c.md, c.H, p, c.symmetrize, in->jitter, loglik)) {
            out->loglik[0] = loglik;
            return -3;
        }
        if (c.shocks) {
            mul<1, M, N>(entries(p.siv), c.H, nullptr, w);
            f64* eps = out->eps_hat + t * c.k;
            for (i64 e = 0; e < c.k; ++e) {
                f64 s = 0.0;
                for (int l = 0; l < N; ++l) s += QBt[e * N + l] * w.a[0][l];
                eps[e] = s;
            }
        }
        if (c.history) {
            store(p, c.yp, out, t);
            if (in->compute_y_filt) in->meas(p.xf.a[0], in->calib_params, out->y_filt + t * M);
        }
        p.x = p.xf;
    }
    out->loglik[0] = loglik;
    return 0;
}

template <int N, int M>
struct KfEntry {
    static constexpr KfLoop fn = &small_loop<N, M>;
};
template <int N, int M>
struct EkfEntry {
    static constexpr EkfLoop fn = &ekf_small<N, M>;
};

}  // namespace

KfLoop kf_small_loop(i64 n, i64 m) {
    return fixed::pick<KfEntry, kSmallMaxN, kSmallMaxM>(n, m);
}

EkfLoop ekf_small_loop(i64 n, i64 m) {
    return fixed::pick<EkfEntry, kSmallMaxN, kSmallMaxM>(n, m);
}

}  // namespace trova::kalman
