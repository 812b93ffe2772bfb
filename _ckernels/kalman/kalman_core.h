// The recursion shared by the linear and the extended filter: prediction,
// and the update of one period given its observation matrix (C, or the
// measurement Jacobian H at the predicted state).
#ifndef TROVA_KALMAN_CORE_H
#define TROVA_KALMAN_CORE_H

#include <cmath>
#include <cstring>

#include "_common/layout.h"
#include "_common/nan.h"
#include "trova_kalman.h"

namespace trova::kalman {

constexpr f64 kLog2Pi = 1.8378770664093453;

// Whether no dimension of a filter is negative. Negative dimensions have no
// layout: the sizers report them as unsizeable (-1, like a size past 64
// bits) and the kernels and steps reject them with -2 before writing.
template <class... Dims>
bool dims_valid(Dims... dims) {
    return ((dims >= 0) && ...);
}

// A filter layout's size, unsizeable unless its dimensions are valid.
inline layout::Size sized(layout::Size s, bool valid) {
    s.overflow |= !valid;
    return s;
}

// A covariance with a NaN or infinite entry cannot be factored, even where
// the factorisation would not read the offending entry (it reads one
// triangle, the updates use both): the filters test it with all_finite.
using trova::all_finite;

// Arena blocks of the linear and extended filters (y_filt is the linear
// filter's only, H the extended filter's only). KC keeps its place in the
// layout, which the sizes callers allocate by fix, but the regrouped update
// has no n x n product left to put there.
struct KfBlocks {
    f64 *x_pred, *x_filt, *y_pred, *y_filt, *v, *std, *Sinv_v, *fbuf, *bbuf;
    f64 *P_pred, *P_filt, *KC, *I_minus_KC, *temp_nn, *BQBT, *S, *L, *PCt, *K, *temp_nm, *H,
        *temp_mn, *temp_nk, *M, *temp_km;
};

// The arena of the linear filter, in table order, or with `extended` that of
// the extended filter (no y_filt block; an H block after temp_nm).
KfBlocks kf_blocks(layout::Carver& c, i64 n, i64 m, i64 k, bool extended);

// x_pred = A x_prev; P_pred = A P_prev A' + BQBT (symmetrised when asked).
// P_prev_symmetric says whether P_prev equals its transpose exactly; returns
// whether P_pred does.
bool predict(const f64* A, const f64* x_prev, const f64* P_prev, bool P_prev_symmetric,
             const KfBlocks& b, i64 n, int symmetrize);

// Given x_pred, P_pred and the innovation v: S = H P_pred H' + R, its factor
// L (with jitter), std = L^-1 v, Sinv_v = S^-1 v, the gain K, x_filt and the
// Joseph-form P_filt. Adds the period's term to loglik and returns 0, or
// returns -3 (loglik untouched) when S cannot be factored: an entry is not
// finite or a pivot fails. R_symmetric and
// P_symmetric say whether R and P_pred equal their transposes exactly; on
// return P_symmetric says whether P_filt does.
int update(const f64* H, const f64* R, bool R_symmetric, bool& P_symmetric, const KfBlocks& b, i64 n,
           i64 m, int symmetrize, f64 jitter, f64& loglik);

// A period loop of the linear filter over the arena blocks b, with the
// B Q B' block (and the shock projection M when shocks are returned) formed.
using KfLoop = int (*)(const kf_inputs* in, const KfBlocks& b, const kf_outputs* out);

// The largest n and m with a fixed-size loop. Beyond 8 the general loop's
// blocked products take over.
constexpr int kSmallMaxN = 8, kSmallMaxM = 8;

// A period loop of the extended filter over the arena blocks b, with the
// B Q B' block formed.
using EkfLoop = int (*)(const ekf_inputs* in, const KfBlocks& b, const ekf_outputs* out);

// The fixed-size loop for n x m, or nullptr outside 1..kSmallMaxN x
// 1..kSmallMaxM.
KfLoop kf_small_loop(i64 n, i64 m);
EkfLoop ekf_small_loop(i64 n, i64 m);

// kf_hot_loop and ekf_hot_loop, with `small` false forcing the general loop
// at every size (the tests compare the two).
int kf_run(const kf_inputs* in, f64* arena, const kf_outputs* out, bool small);
int ekf_run(const ekf_inputs* in, f64* arena, const ekf_outputs* out, bool small);

inline void copy(const f64* src, f64* dst, i64 count) {
    if (count > 0) std::memcpy(dst, src, sizeof(f64) * static_cast<std::size_t>(count));
}

// Copies the period's predicted and filtered moments, y_pred, the innovations
// and S to row t of the histories (kf_outputs or ekf_outputs; y_filt is the
// caller's).
template <class Outputs>
void store_period(const KfBlocks& b, const Outputs& out, i64 t, i64 n, i64 m) {
    copy(b.x_pred, out.x_pred + t * n, n);
    copy(b.x_filt, out.x_filt + t * n, n);
    copy(b.P_pred, out.P_pred + t * n * n, n * n);
    copy(b.P_filt, out.P_filt + t * n * n, n * n);
    copy(b.y_pred, out.y_pred + t * m, m);
    copy(b.v, out.innov + t * m, m);
    copy(b.std, out.std_innov + t * m, m);
    copy(b.S, out.S + t * m * m, m * m);
}

}  // namespace trova::kalman

#endif  // TROVA_KALMAN_CORE_H
