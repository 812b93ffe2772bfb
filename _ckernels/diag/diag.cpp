// Residual diagnostics on one series or on the residuals of a fitted
// regression: autocorrelation, Ljung-Box, Jarque-Bera, Breusch-Pagan and
// Breusch-Godfrey, with the sizers of their scratch.
//
// The Breusch-Pagan and Breusch-Godfrey arenas are carved by the same code
// that sizes them, so a sizer and its kernel cannot disagree.
#include <algorithm>
#include <cmath>

#include "_common/dense.h"
#include "_common/layout.h"
#include "_common/sizers.h"
#include "regression/regression_internal.h"
#include "trova_diag.h"
#include "trova_linalg.h"

namespace {

using trova::all_finite;
using trova::layout::Carver;
using trova::regression::fill_nan;
using trova::regression::quiet_nan;
using trova::regression::residual_sum_of_squares;

constexpr int kSingular = 1;
constexpr int kDegenerate = -3;
constexpr int kNoLags = -4;
constexpr int kTooFew = -5;
constexpr int kInvalidOption = -7;

f64 mean(const f64* x, i64 n) {
    f64 s = 0.0;
    for (i64 t = 0; t < n; ++t) s += x[t];
    return s / static_cast<f64>(n);
}

// z = x - mean(x); returns sum z^2 (n >= 1).
f64 centre(const f64* x, i64 n, f64* __restrict z) {
    const f64 xbar = mean(x, n);
    f64 d = 0.0;
    for (i64 t = 0; t < n; ++t) {
        z[t] = x[t] - xbar;
        d += z[t] * z[t];
    }
    return d;
}

// The scratch of the Ljung-Box statistic: the centred series, then the
// autocorrelations of lags 0 .. min(L, n - 1).
struct LbBlocks {
    f64 *z, *acorr;
};
LbBlocks lb_blocks(Carver& c, i64 n, i64 L) {
    const i64 rows = std::max<i64>(n, 0);
    LbBlocks b;
    b.z = c.take(rows);
    b.acorr = c.take(1 + std::min(std::max<i64>(rows - 1, 0), std::max<i64>(L, 0)));
    return b;
}

// Auxiliary least squares: the response or design (rows x cols), the Gram
// matrix of p columns, its factor, the right-hand side and the solution.
struct AuxBlocks {
    f64 *data, *G, *L, *g, *coef;
};
AuxBlocks aux_blocks(Carver& c, i64 rows, i64 cols, i64 p) {
    AuxBlocks b;
    b.data = c.take(rows, cols);
    b.G = c.take(p, p);
    b.L = c.take(p, p);
    b.g = c.take(p);
    b.coef = c.take(p);
    return b;
}

// Breusch-Pagan: u (n) and the solve for the p columns of X_aug.
AuxBlocks bp_blocks(Carver& c, i64 n, i64 p) { return aux_blocks(c, n, 1, p); }

// Breusch-Godfrey: D (n x P) and the solve for its P columns.
AuxBlocks bg_blocks(Carver& c, i64 n, i64 P) { return aux_blocks(c, n, P, P); }


// Writes the Breusch-Godfrey design D (n x P) row by row: row t is
// [1, X[t], e_{t-1}, ..., e_{t-lags}] with e_{t-l} = 0 before the sample.
// D lies in the arena, apart from eps and X.
const f64* bg_design(const f64* __restrict eps, const f64* __restrict X, i64 n, i64 K, i64 lags,
                     f64* __restrict D) {
    const i64 P = K + lags + 1;
    for (i64 t = 0; t < n; ++t) {
        f64* row = D + t * P;
        const f64* xt = X + t * K;
        row[0] = 1.0;
        for (i64 j = 0; j < K; ++j) row[1 + j] = xt[j];
        f64* lagged = row + K;  // lagged[l] holds e_{t-l}
        const i64 seen = t < lags ? t : lags;
        for (i64 l = 1; l <= seen; ++l) lagged[l] = eps[t - l];
        for (i64 l = seen + 1; l <= lags; ++l) lagged[l] = 0.0;
    }
    return D;
}

// Solves G coef = g for G = A'A, g = A'y (A n x p) in the blocks' scratch;
// the Cholesky status, 0 on success.
int aux_solve(const f64* A, const f64* y, i64 n, i64 p, const AuxBlocks& b) {
    trova_gram(A, b.G, n, p);
    trova_gram_rhs(A, y, b.g, n, p);
    return trova_chol_solve(b.G, b.g, b.coef, b.L, p);
}

// Writes a Lagrange-multiplier statistic computed from finite data. The
// inputs were checked, so a NaN can only come from arithmetic that left the
// double range: that is degenerate data, never a result.
int lm_result(f64 stat, f64* stat_out) {
    if (std::isnan(stat)) return kDegenerate;
    *stat_out = stat;
    return 0;
}

}  // namespace

namespace trova::sizing {

Size ljung_box(i64 n, i64 lags) {
    Carver c;
    lb_blocks(c, n, lags);
    return c.size();
}

Size breusch_pagan(i64 n, i64 p) {
    Carver c;
    bp_blocks(c, n, p);
    return c.size();
}

// The design's width is P = K + lags + 1.
Size breusch_godfrey(i64 n, i64 K, i64 lags) {
    Carver c;
    bg_blocks(c, n, c.sum(c.sum(K, lags), 1));
    return c.size();
}

}  // namespace trova::sizing

using trova::layout::native;

extern "C" {

// ---- autocorrelation and Ljung-Box ----

int trova_acorr(const f64* x, i64 n, i64 L, f64* z_scratch, f64* out) {
    const f64 d = n >= 1 ? centre(x, n, z_scratch) : 0.0;
    // d > 0 is false for NaN, so NaN data fails here too.
    const bool ok = n >= 1 && d > 0.0 && std::isfinite(d);
    // A negative lag count names an output of no values: nothing is written.
    if (L < 0) return ok ? 0 : kDegenerate;
    if (!ok) {
        fill_nan(out, L + 1);
        return kDegenerate;
    }
    out[0] = 1.0;
    const i64 computed = L < n - 1 ? L : n - 1;
    for (i64 l = 1; l <= computed; ++l) out[l] = trova::dense::dot(z_scratch + l, z_scratch, n - l) / d;
    for (i64 l = computed + 1; l <= L; ++l) out[l] = 0.0;
    return 0;
}

int trova_lb_stat(const f64* x, i64 n, i64 L, f64* z_scratch, f64* acorr_scratch, f64* out) {
    if (n < 2) {
        out[0] = quiet_nan();
        return kTooFew;
    }
    if (L >= n) {
        L = n - 1;
    } else if (L < 1) {
        out[0] = quiet_nan();
        return kNoLags;
    }
    const int status = trova_acorr(x, n, L, z_scratch, acorr_scratch);
    if (status != 0) {
        out[0] = quiet_nan();
        return status;
    }
    const f64 nf = static_cast<f64>(n);
    f64 q = 0.0;
    for (i64 l = 1; l <= L; ++l) q += acorr_scratch[l] * acorr_scratch[l] / static_cast<f64>(n - l);
    out[0] = nf * (nf + 2.0) * q;
    return 0;
}

arena_size trova_lb_arena_size(i64 n, i64 L) { return native(trova::sizing::ljung_box(n, L)); }

// ---- Jarque-Bera ----

int trova_jb_stat(const f64* x, i64 n, f64* out) {
    if (n <= 0) {
        out[0] = quiet_nan();
        return kTooFew;
    }
    const f64 nf = static_cast<f64>(n);
    const f64 xbar = mean(x, n);
    f64 s2 = 0.0, s3 = 0.0, s4 = 0.0;
    for (i64 t = 0; t < n; ++t) {
        const f64 z = x[t] - xbar;
        const f64 z2 = z * z;
        s2 += z2;
        s3 += z2 * z;
        s4 += z2 * z2;
    }
    const f64 m2 = s2 / nf, m3 = s3 / nf, m4 = s4 / nf;
    if (!(m2 > 0.0) || !std::isfinite(m2)) {
        out[0] = quiet_nan();
        return kDegenerate;
    }
    const f64 skew = m3 / std::pow(m2, 1.5);
    const f64 kurt = m4 / (m2 * m2) - 3.0;
    out[0] = (skew * skew / 6.0 + kurt * kurt / 24.0) * nf;
    return n < 10 ? kTooFew : 0;
}

// ---- Breusch-Pagan ----

int trova_bp_aux(const f64* eps, const f64* X_aug, i64 n, i64 p, f64* arena, f64* rss_out, f64* tss_out) {
    if (n <= 0) return kTooFew;
    if (p < 0) return kInvalidOption;
    f64 ss = 0.0;
    for (i64 t = 0; t < n; ++t) ss += eps[t] * eps[t];
    const f64 sigma2 = ss / static_cast<f64>(n);
    // A NaN or infinity in eps makes sigma2 NaN or infinite.
    if (!(sigma2 > 0.0) || !std::isfinite(sigma2)) return kDegenerate;
    if (!all_finite(X_aug, n * p)) return kDegenerate;

    Carver c(arena);
    const AuxBlocks b = bp_blocks(c, n, p);
    f64* __restrict u = b.data;
    f64 usum = 0.0;
    for (i64 t = 0; t < n; ++t) {
        u[t] = eps[t] * eps[t] / sigma2;
        usum += u[t];
    }
    if (aux_solve(X_aug, u, n, p, b) != 0) return kSingular;

    const f64 ubar = usum / static_cast<f64>(n);
    f64 tss = 0.0;
    for (i64 t = 0; t < n; ++t) tss += (u[t] - ubar) * (u[t] - ubar);
    *rss_out = residual_sum_of_squares(X_aug, u, b.coef, n, p);
    *tss_out = tss;
    return 0;
}

int trova_bp_stat(const f64* eps, const f64* X_aug, i64 n, i64 p, i64 robust, f64* arena, f64* stat_out) {
    *stat_out = quiet_nan();
    f64 rss = 0.0, tss = 0.0;
    const int status = trova_bp_aux(eps, X_aug, n, p, arena, &rss, &tss);
    if (status != 0) return status;
    // The clamps at 0 are written so that a NaN is not turned into 0.
    if (robust == 0) {
        const f64 half_ess = (tss - rss) * 0.5;
        return lm_result(half_ess < 0.0 ? 0.0 : half_ess, stat_out);
    }
    if (tss <= 0.0) return lm_result(0.0, stat_out);
    const f64 ratio = rss / tss;
    const f64 r2 = ratio < 0.0 ? 1.0 : 1.0 - ratio;
    return lm_result(static_cast<f64>(n) * (r2 < 0.0 ? 0.0 : r2), stat_out);
}

arena_size trova_bp_arena_size(i64 n, i64 p) { return native(trova::sizing::breusch_pagan(n, p)); }

// ---- Breusch-Godfrey ----

int trova_bg_stat(const f64* eps, const f64* X, i64 n, i64 K, i64 lags, f64* arena, f64* stat_out) {
    *stat_out = quiet_nan();
    // Negative counts would make the design narrower than the rows written.
    if (K < 0 || lags < 0) return kInvalidOption;
    if (lags >= n) return kTooFew;
    f64 tss = 0.0;
    for (i64 t = 0; t < n; ++t) tss += eps[t] * eps[t];
    if (!std::isfinite(tss) || !all_finite(X, n * K)) return kDegenerate;
    // Residuals that are all zero leave nothing to explain: the statistic is
    // 0, before the lagged columns (all zero too) make the Gram singular.
    if (tss == 0.0) return lm_result(0.0, stat_out);
    const i64 P = K + lags + 1;
    Carver c(arena);
    const AuxBlocks b = bg_blocks(c, n, P);
    const f64* D = bg_design(eps, X, n, K, lags, b.data);
    if (aux_solve(D, eps, n, P, b) != 0) return kSingular;
    const f64 rss = residual_sum_of_squares(D, eps, b.coef, n, P);
    return lm_result(static_cast<f64>(n) * (1.0 - rss / tss), stat_out);
}

arena_size trova_bg_arena_size(i64 n, i64 K, i64 lags) {
    return native(trova::sizing::breusch_godfrey(n, K, lags));
}

}  // extern "C"
