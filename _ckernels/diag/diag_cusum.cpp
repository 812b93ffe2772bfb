// Parameter-stability tests: standardised recursive residuals by rank-one
// updates of (X_t'X_t)^-1, the CUSUM path and its boundary-ratio statistic
// with the asymptotic p-value, the CUSUM of squares, and the Chow F
// statistic for a known break date.
//
// Each arena is carved by one layout function per kernel, and the sizers run
// the same functions over no base pointer, so the sizes the caller allocates
// and the offsets the kernels read cannot disagree. The composite arenas nest
// the smaller ones: the CUSUM statistic's arena is the CUSUM path's followed
// by the path, the path's holds the recursive residuals' arena at its end,
// and the CUSUM of squares' starts with it.
#include <cmath>

#include "_common/dense.h"
#include "_common/layout.h"
#include "_common/nan.h"
#include "_common/sizers.h"
#include "regression/regression_internal.h"
#include "trova_diag_cusum.h"
#include "trova_linalg.h"
#include "trova_regression.h"

namespace {

using trova::layout::Carver;
using trova::regression::quiet_nan;

constexpr int kOk = 0;
constexpr int kSingular = 1;
constexpr int kDegenerate = -3;
constexpr int kTooFew = -5;
constexpr int kBadBreak = -7;

constexpr f64 kSqrt2 = 1.4142135623730951;

// ---- layouts ----

// Recursive residuals: G = X_p'X_p, its factor L, the running inverse P,
// g = X_p'y_p, the running coefficients b and h = P x_t. G comes first, so
// its pointer is the start of this arena.
struct RecursiveBlocks {
    f64 *G, *L, *P, *g, *b, *h;
};

RecursiveBlocks recursive_blocks(Carver& c, i64 p) {
    RecursiveBlocks r;
    r.G = c.take(p, p);
    r.L = c.take(p, p);
    r.P = c.take(p, p);
    r.g = c.take(p);
    r.b = c.take(p);
    r.h = c.take(p);
    return r;
}

// One least-squares fit: Gram matrix, its factor, right-hand side and
// coefficients. The whole of the Chow arena.
struct FitBlocks {
    f64 *G, *L, *g, *coef;
};

FitBlocks fit_blocks(Carver& c, i64 p) {
    FitBlocks f;
    f.G = c.take(p, p);
    f.L = c.take(p, p);
    f.g = c.take(p);
    f.coef = c.take(p);
    return f;
}

// CUSUM path: the m recursive residuals, the full-sample fit, then the
// recursive residuals' own arena.
struct PathBlocks {
    f64* w;
    FitBlocks fit;
    RecursiveBlocks rec;
};

PathBlocks path_blocks(Carver& c, i64 m, i64 p) {
    PathBlocks b;
    b.w = c.take(m);
    b.fit = fit_blocks(c, p);
    b.rec = recursive_blocks(c, p);
    return b;
}

// CUSUM statistic: the path's arena, then the path itself.
f64* cusum_stat_blocks(Carver& c, i64 m, i64 p) {
    path_blocks(c, m, p);
    return c.take(m);
}

// CUSUM of squares: the recursive residuals' arena, then the residuals.
struct SquaresBlocks {
    RecursiveBlocks rec;
    f64* w;
};

SquaresBlocks cusumsq_blocks(Carver& c, i64 m, i64 p) {
    SquaresBlocks b;
    b.rec = recursive_blocks(c, p);
    b.w = c.take(m);
    return b;
}

// The size of a layout over (m, p), m = T - p.
template <class Layout>
trova::layout::Size sized(i64 T, i64 p, Layout layout) {
    Carver c;
    layout(c, c.difference(T, p), p);
    return c.size();
}

// ---- arithmetic ----

// Fewer observations than the recursion needs (a negative p included).
bool too_few(i64 T, i64 p) { return p < 0 || p >= T; }

// A NaN or an infinity in y (T values) or X (T x p): no statistic can be
// formed from such data, and the least-squares steps would not notice it
// where it enters only through y.
bool nonfinite_data(const f64* y, const f64* X, i64 T, i64 p) {
    return !trova::all_finite(y, T) || !trova::all_finite(X, T * p);
}

// Writes a statistic of checked, finite data. A NaN can only come from a
// degenerate sample (an exact fit, a zero sum of squares): it is reported
// as such, never as a result.
int stat_result(f64 stat, f64* stat_out) {
    if (std::isnan(stat)) return kDegenerate;
    *stat_out = stat;
    return kOk;
}

// Running maximum of ratio(0) ... ratio(m - 1), m >= 1: the first ratio
// starts it and a later one replaces it only when strictly larger, so a NaN
// first ratio is kept and later NaN ratios are passed over.
template <class Ratio>
f64 first_led_max(i64 m, Ratio ratio) {
    f64 best = ratio(0);
    for (i64 i = 1; i < m; ++i) {
        const f64 r = ratio(i);
        if (r > best) best = r;
    }
    return best;
}

// Least squares on `rows` rows of (y, X) by the Cholesky factor of X'X; the
// residual sum of squares goes to rss. 1 when X'X is not positive definite.
int chow_segment_rss(const f64* y, const f64* X, i64 rows, i64 p, const FitBlocks& f, f64* rss) {
    i64 status = 0;
    trova_ols_chol_solve(X, y, rows, p, f.coef, f.L, &status, f.G, f.g);
    if (status != REGRESSION_OK) return kSingular;
    *rss = trova::regression::residual_sum_of_squares(X, y, f.coef, rows, p);
    return kOk;
}

// Full-sample least squares and sigma = sqrt(SSR / (T - p)), 0 <= p < T.
int ols_residual_sigma(const f64* y, const f64* X, i64 T, i64 p, const FitBlocks& f, f64* sigma) {
    f64 ssr = 0.0;
    const int status = chow_segment_rss(y, X, T, p, f, &ssr);
    if (status != kOk) return status;
    *sigma = std::sqrt(ssr / static_cast<f64>(T - p));
    return kOk;
}

f64 norm_sf(f64 x) { return 0.5 * std::erfc(x / kSqrt2); }

f64 norm_cdf(f64 x) { return 0.5 * (1.0 + std::erf(x / kSqrt2)); }

// Probability that a standard Brownian motion leaves the lines
// +-a (1 + 2s), s in [0, 1].
f64 alpha_from_a(f64 a) { return 2.0 * (norm_sf(3.0 * a) + std::exp(-4.0 * a * a) * norm_cdf(a)); }

}  // namespace

namespace trova::sizing {

Size cusum(i64 T, i64 p) {
    return sized(T, p, [](Carver& c, i64 m, i64 q) { cusum_stat_blocks(c, m, q); });
}

Size cusumsq(i64 T, i64 p) {
    return sized(T, p, [](Carver& c, i64 m, i64 q) { cusumsq_blocks(c, m, q); });
}

Size chow(i64 p) {
    Carver c;
    fit_blocks(c, p);
    return c.size();
}

}  // namespace trova::sizing

using trova::layout::native;

// Each exported kernel checks its arguments and scans its data once, then
// runs one of the cores below (the CUSUM statistic the path, the path and
// the CUSUM of squares the recursive residuals). Neither the cores nor the
// kernels are ever inlined: inlined copies may contract multiply-adds
// differently, and the same inputs must give the same residuals bit for bit
// whichever entry point ran.
#define TROVA_KERNEL TROVA_API __attribute__((noinline))

namespace {

__attribute__((noinline)) int recursive_residuals(const f64* y, const f64* X, i64 T, i64 p, f64* arena,
                                                  f64* w_out) {
    using trova::dense::axpy;
    using trova::dense::dot;
    Carver c(arena);
    const RecursiveBlocks a = recursive_blocks(c, p);
    // The exact fit of the first p rows.
    trova_gram(X, a.G, p, p);
    trova_gram_rhs(X, y, a.g, p, p);
    if (trova_chol_inv(a.G, a.P, a.L, p) != 0) return kSingular;
    trova_matvec(a.P, a.g, a.b, p, p);
    for (i64 t = p; t < T; ++t) {
        const f64* x = X + t * p;
        const f64 e = y[t] - dot(x, a.b, p);
        trova_matvec(a.P, x, a.h, p, p);
        const f64 f = 1.0 + dot(x, a.h, p);
        w_out[t - p] = e / std::sqrt(f);
        // Sherman-Morrison: b and P become those of rows 0 ... t. One
        // division, so that the next row's h does not wait for p of them.
        const f64 inv_f = 1.0 / f;
        axpy(e * inv_f, a.h, a.b, p);
        for (i64 r = 0; r < p; ++r) axpy(-a.h[r] * inv_f, a.h, a.P + r * p, p);
    }
    return kOk;
}

__attribute__((noinline)) int cusum_series(const f64* y, const f64* X, i64 T, i64 p, f64* arena,
                                           f64* series_out) {
    const i64 m = T - p;
    Carver c(arena);
    const PathBlocks a = path_blocks(c, m, p);
    int status = recursive_residuals(y, X, T, p, a.rec.G, a.w);
    if (status != kOk) return status;
    f64 sigma = 0.0;
    status = ols_residual_sigma(y, X, T, p, a.fit, &sigma);
    if (status != kOk) return status;
    // An exact full-sample fit leaves no scale to measure the path by.
    if (!(sigma > 0.0)) return kDegenerate;
    f64 sum = 0.0;
    for (i64 i = 0; i < m; ++i) {
        sum += a.w[i];
        series_out[i] = sum / sigma;
    }
    return kOk;
}

}  // namespace

extern "C" {

TROVA_KERNEL int trova_recursive_residuals(const f64* y, const f64* X, i64 T, i64 p, f64* arena, f64* w_out) {
    if (too_few(T, p)) return kTooFew;
    if (nonfinite_data(y, X, T, p)) return kDegenerate;
    return recursive_residuals(y, X, T, p, arena, w_out);
}

TROVA_KERNEL int trova_cusum_series(const f64* y, const f64* X, i64 T, i64 p, f64* arena, f64* series_out) {
    if (too_few(T, p)) return kTooFew;
    if (nonfinite_data(y, X, T, p)) return kDegenerate;
    return cusum_series(y, X, T, p, arena, series_out);
}

TROVA_KERNEL int trova_cusum_stat(const f64* y, const f64* X, i64 T, i64 p, f64* arena, f64* stat_out) {
    *stat_out = quiet_nan();
    if (too_few(T, p)) return kTooFew;
    if (nonfinite_data(y, X, T, p)) return kDegenerate;
    const i64 m = T - p;
    Carver c(arena);
    f64* series = cusum_stat_blocks(c, m, p);
    const int status = cusum_series(y, X, T, p, arena, series);
    if (status != kOk) return status;
    const f64 root_m = std::sqrt(static_cast<f64>(m));
    return stat_result(first_led_max(m, [&](i64 i) {
                           return std::fabs(series[i]) / (root_m + 2.0 * static_cast<f64>(i) / root_m);
                       }),
                       stat_out);
}

TROVA_KERNEL int trova_cusumsq_stat(const f64* y, const f64* X, i64 T, i64 p, i64* n_out, f64* arena,
                                    f64* stat_out) {
    *stat_out = quiet_nan();
    if (too_few(T, p)) {
        if (n_out != nullptr) *n_out = 0;
        return kTooFew;
    }
    const i64 m = T - p;
    if (n_out != nullptr) *n_out = m;
    if (nonfinite_data(y, X, T, p)) return kDegenerate;
    Carver c(arena);
    const SquaresBlocks a = cusumsq_blocks(c, m, p);
    const int status = recursive_residuals(y, X, T, p, a.rec.G, a.w);
    if (status != kOk) return status;
    const f64 total = trova::dense::dot(a.w, a.w, m);
    // Recursive residuals that are all zero have no shares to accumulate.
    if (!(total > 0.0)) return kDegenerate;
    const f64 mf = static_cast<f64>(m);
    f64 sum = 0.0;
    const f64 dev = first_led_max(m, [&](i64 i) {
        sum += a.w[i] * a.w[i];
        return std::fabs(sum / total - static_cast<f64>(i + 1) / mf);
    });
    return stat_result(dev / kSqrt2, stat_out);
}

TROVA_KERNEL int trova_chow_stat(const f64* y, const f64* X, i64 T, i64 p, i64 t_break, f64* arena,
                                 f64* stat_out) {
    // Every failure leaves NaN, a singular segment included.
    *stat_out = quiet_nan();
    // 2p >= T, written so that 2p cannot overflow. Without regressors there
    // is no restriction to test (F would divide by p = 0).
    if (p < 1 || p >= T || p >= T - p) return kTooFew;
    if (t_break <= 0 || t_break >= T) return kBadBreak;
    if (nonfinite_data(y, X, T, p)) return kDegenerate;
    Carver c(arena);
    const FitBlocks f = fit_blocks(c, p);
    f64 rss_c = 0.0, rss_1 = 0.0, rss_2 = 0.0;
    if (chow_segment_rss(y, X, T, p, f, &rss_c) != kOk ||
        chow_segment_rss(y, X, t_break, p, f, &rss_1) != kOk ||
        chow_segment_rss(y + t_break, X + t_break * p, T - t_break, p, f, &rss_2) != kOk)
        return kSingular;
    const f64 rss_u = rss_1 + rss_2;
    // Exact fits everywhere give 0 / 0: no F statistic.
    return stat_result(((rss_c - rss_u) / static_cast<f64>(p)) / (rss_u / static_cast<f64>(T - p - p)),
                       stat_out);
}

TROVA_API arena_size trova_cusum_arena_size(i64 T, i64 p) { return native(trova::sizing::cusum(T, p)); }

TROVA_API arena_size trova_cusumsq_arena_size(i64 T, i64 p) { return native(trova::sizing::cusumsq(T, p)); }

TROVA_API arena_size trova_chow_arena_size(i64 p) { return native(trova::sizing::chow(p)); }

TROVA_API f64 trova_cusum_sf(f64 a) {
    const f64 alpha = alpha_from_a(a);
    return alpha > 1.0 ? 1.0 : alpha;  // NaN passes through
}

TROVA_API void trova_cusum_sf_into(const f64* a, i64 n, f64* out) {
    for (i64 i = 0; i < n; ++i) out[i] = trova_cusum_sf(a[i]);
}

}  // extern "C"
