// Arithmetic shared by the regression kernels and the pipeline regression
// steps.
#ifndef TROVA_REGRESSION_INTERNAL_H
#define TROVA_REGRESSION_INTERNAL_H

#include <cmath>

#include "_common/nan.h"
#include "trova_regression.h"

namespace trova::regression {

using trova::all_finite;
using trova::fill_nan;
using trova::quiet_nan;

// Soft threshold S(z, gamma): z - gamma above gamma, z + gamma below -gamma,
// else 0 (both comparisons strict).
inline f64 trova_smooth_threshold(f64 z, f64 gamma) {
    if (z > gamma) return z - gamma;
    if (z < -gamma) return z + gamma;
    return 0.0;
}

// Coordinate descent keeps the reciprocals of the Gram diagonal in a stack
// buffer of this many values; a larger problem divides at each move.
constexpr i64 kCdInvDiagCap = 256;

// Gcoef += delta * Gj over k values: the move of one coordinate carried into
// the gradient, each element by one fused multiply-add (a caller may form an
// element itself and rely on the same value). The rows of G never overlap
// Gcoef, which lets the loop run without an overlap test; blocks of 16
// values keep the loop's own bookkeeping small beside the loads and stores.
inline void cd_axpy(f64 delta, const f64* __restrict Gj, f64* __restrict Gcoef, i64 k) {
    i64 i = 0;
    for (; i + 16 <= k; i += 16)
        for (i64 u = 0; u < 16; ++u) Gcoef[i + u] = std::fma(delta, Gj[i + u], Gcoef[i + u]);
    for (; i < k; ++i) Gcoef[i] = std::fma(delta, Gj[i], Gcoef[i]);
}

// Selection objective of the grid searches: criterion 3 (loss): rss;
// otherwise -inf for rss <= 0, AIC n ln(rss/n) + 2k for criterion 1 and BIC
// n ln(rss/n) + ln(n) k for every other value.
f64 trova_ridge_objective(i64 criterion, f64 rss, i64 n, f64 k);

// Solves L L' x = b in place (L a p x p Cholesky factor).
void chol_solve_in_place(const f64* L, f64* x, i64 p);

// Sum over rows of (y_r - X_r . coef)^2, X n x p.
f64 residual_sum_of_squares(const f64* X, const f64* y, const f64* coef, i64 n, i64 p);

}  // namespace trova::regression

#endif  // TROVA_REGRESSION_INTERNAL_H
