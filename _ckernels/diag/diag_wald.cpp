// HAC covariance and Wald tests of moment restrictions.
//
// The three tests (mean, covariance, second moment) only build a moment
// series in their arena and hand it to one engine: centre the moments,
// choose the bandwidth, estimate the long-run covariance with the kernel,
// and form the Wald statistic through a Cholesky or, failing that, an LU
// factor of it.
//
// The long-run covariance is n Omega = G + sum_j w_j (Gamma_j + Gamma_j')
// with G = r'r. The weighted lags S = sum_j w_j Gamma_j are summed over time
// first: S = sum_t r_t' u_t with the filtered series u_t = sum_j w_j r_{t+j},
// built a chunk of rows at a time on the stack and multiplied in with the
// library's product, so the lags cost n p L multiply-adds instead of n p^2 L.
// Series too wide for the stack buffer take one product per lag on
// row-shifted views of r instead. S is accumulated into 0.5 G with unit
// stride, and one transposing pass at the end forms (0.5 G + S) +
// (0.5 G + S)' = G + S + S'. That leaves Omega exactly symmetric.
//
// Every arena is carved by one layout function, run over no base by the
// sizers and over the caller's arena by the tests.
#include "trova_diag_wald.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "_common/dense.h"
#include "_common/layout.h"
#include "_common/nan.h"
#include "_common/sizers.h"
#include "trova_linalg.h"

extern "C" const kernel_inp_t KERNEL_SPECS[KERNEL_COUNT] = {
    {1.1447, 1.0},  // BARTLETT
    {2.6614, 2.0},  // PARZEN
    {1.3221, 2.0},  // QS
};

namespace {

using trova::layout::Carver;

constexpr int kOk = 0;
constexpr int kAsymmetricTarget = -1;
constexpr int kSingular = -2;
constexpr int kTooFew = -5;
constexpr int kInvalidOption = -7;

constexpr f64 kTargetAtol = 1e-8;
constexpr f64 kTargetRtol = 1e-5;
constexpr f64 kConstantVariance = 1e-14;  // a column at or below this variance is constant
constexpr f64 kRhoBound = 0.999;
constexpr f64 kNegligibleNegative = -1e-12;

// The only check that guards every look-up of KERNEL_SPECS: an id must be
// one of the three kernels, so a negative id is as invalid as a large one.
inline bool valid_kernel(int kernel_id) { return kernel_id >= 0 && kernel_id < KERNEL_COUNT; }

// q(q + 1)/2 without forming q(q + 1) (one factor is even, halve it first);
// false when the result does not fit in 64 bits.
bool upper_len(i64 q, i64* v) {
    i64 q1;
    if (__builtin_add_overflow(q, 1, &q1)) return false;
    return q % 2 == 0 ? !__builtin_mul_overflow(q / 2, q1, v) : !__builtin_mul_overflow(q, q1 / 2, v);
}

inline i64 upper_len(i64 q) {
    i64 v = 0;
    upper_len(q, &v);
    return v;
}

// ---- layouts ----

// Engine scratch for a p-dimensional moment series: 3p^2 + 4p values.
struct Engine {
    f64 *mean, *gamma, *omega, *dev, *factor, *solved, *ls;
};

Engine engine_blocks(Carver& c, i64 p) {
    Engine e;
    e.mean = c.take(p);
    e.gamma = c.take(p, p);
    e.omega = c.take(p, p);
    e.dev = c.take(p);
    e.factor = c.take(p, p);
    e.solved = c.take(p);
    e.ls = c.take(p);
    return e;
}

// A test's float arena: the target as a vector (matrix tests), the centred g
// (covariance test), the moment series, then the engine scratch.
struct Arena {
    f64* target;
    f64* centred;
    f64* moments;
    f64* engine;
};

enum class Test { Mean, Covariance, SecondMoment };

Arena test_arena(Carver& c, Test test, i64 n, i64 q, i64 v) {
    Arena a{};
    if (test == Test::Mean) {
        a.moments = c.take(n, q);
        a.engine = engine_blocks(c, q).mean;
        return a;
    }
    a.target = c.take(v);
    if (test == Test::Covariance) a.centred = c.take(n, q);
    a.moments = c.take(n, v);
    a.engine = engine_blocks(c, v).mean;
    return a;
}

// The float count of the arena and the pivot count (q or v); -1 for a
// count that does not fit in 64 bits.
trova::layout::Size test_arena_size(Test test, i64 n, i64 q) {
    i64 v = 0;
    const bool wrapped = test != Test::Mean && !upper_len(q, &v);
    Carver c;
    test_arena(c, test, n, q, v);
    trova::layout::Size s = c.size(test == Test::Mean ? q : v);
    s.overflow |= wrapped;
    return s;
}

// ---- column statistics ----

// Mean and variance (divisor n) of column j of x (n x p).
f64 col_mean(const f64* x, i64 n, i64 p, i64 j) {
    f64 s = 0.0;
    for (i64 t = 0; t < n; ++t) s += x[t * p + j];
    return s / static_cast<f64>(n);
}

f64 col_var(const f64* x, i64 n, i64 p, i64 j) {
    const f64 mu = col_mean(x, n, p, j);
    f64 s = 0.0;
    for (i64 t = 0; t < n; ++t) {
        const f64 d = x[t * p + j] - mu;
        s += d * d;
    }
    return s / static_cast<f64>(n);
}

void center_inplace(f64* x, const f64* mean, i64 n, i64 p) {
    for (i64 t = 0; t < n; ++t) {
        f64* row = x + t * p;
        for (i64 j = 0; j < p; ++j) row[j] -= mean[j];
    }
}

// ---- bandwidths ----

// The AR(1) plug-in for column y (stride `stride`, n values) known not to be
// constant: rho from the raw values, alpha = 2 rho (1 + rho)/(1 - rho)^2,
// L = floor(alpha^e n^e c), e = 1/(2q + 1), at least 1.
i64 andrews_ar1(const f64* y, i64 stride, const kernel_inp_t& kernel, i64 n) {
    f64 num = 0.0, den = 0.0;
    for (i64 t = 0; t + 1 < n; ++t) {
        const f64 a = y[t * stride];
        num += a * y[(t + 1) * stride];
        den += a * a;
    }
    if (den == 0.0 || !std::isfinite(num) || !std::isfinite(den)) return 1;
    f64 rho = num / den;
    if (rho > kRhoBound) rho = kRhoBound;
    if (rho < -kRhoBound) rho = -kRhoBound;
    const f64 one_minus = 1.0 - rho;
    const f64 alpha = 2.0 * rho * (1.0 + rho) / (one_minus * one_minus);
    if (!(alpha > 0.0) || !std::isfinite(alpha)) return 1;
    const f64 e = 1.0 / (2.0 * kernel.q + 1.0);
    const f64 L = std::floor(std::pow(alpha, e) * std::pow(static_cast<f64>(n), e) * kernel.c);
    return L < 1.0 ? 1 : static_cast<i64>(L);
}

// One column of a strided matrix by the one-series rule.
i64 andrews_bw_strided(const f64* y, i64 stride, int kernel_id, i64 n) {
    if (!valid_kernel(kernel_id) || n <= 1) return 1;
    if (col_var(y, n, stride, 0) <= kConstantVariance) return 1;
    return andrews_ar1(y, stride, KERNEL_SPECS[kernel_id], n);
}

// Bandwidth of a moment series r (n x p, centred) by the mode; the result
// is capped at n - 1. -7 for an unknown mode or a negative manual bandwidth.
int wald_resolve_bandwidth(const f64* r, i64 n, i64 p, int kernel_id, int bandwidth_mode, i64 manual_bandwidth,
                           f64* ls, i64* bandwidth) {
    i64 L;
    switch (bandwidth_mode) {
        case WALD_BW_MANUAL:
            if (manual_bandwidth < 0) return kInvalidOption;
            L = manual_bandwidth;
            break;
        case WALD_BW_WOOLDRIDGE:
            L = wooldridge_bandwidth(r, n);
            break;
        case WALD_BW_ANDREWS:
            L = andrews_bandwidth_matrix(r, kernel_id, n, p, ls);
            break;
        case WALD_BW_AUTO:
            L = kernel_id == BARTLETT ? wooldridge_bandwidth(r, n) : andrews_bandwidth_matrix(r, kernel_id, n, p, ls);
            break;
        default:
            return kInvalidOption;
    }
    *bandwidth = L < n - 1 ? L : n - 1;
    return kOk;
}

// ---- engine ----

// The Wald statistic of a moment series (n x p, centred in place) against
// target (p) in the engine scratch carved from `scratch`.
int wald_hac_from_moments(f64* moments, const f64* target, i64 n, i64 p, int kernel_id, int bandwidth_mode,
                          i64 manual_bandwidth, f64* scratch, i64* pivot_scratch, f64* stat_out) {
    Carver c(scratch);
    const Engine e = engine_blocks(c, p);
    trova_fill_mean_ax0(moments, n, p, e.mean);
    if (n > 0) center_inplace(moments, e.mean, n, p);
    if (!valid_kernel(kernel_id)) return kInvalidOption;
    if (n <= 1) return kTooFew;
    i64 L = 0;
    const int status = wald_resolve_bandwidth(moments, n, p, kernel_id, bandwidth_mode, manual_bandwidth, e.ls, &L);
    if (status != kOk) return status;
    trova_hac_estimator_matmul(moments, kernel_id, L, n, p, e.gamma, e.omega);
    return trova_wald_stat_from_mean_and_cov(e.mean, target, e.omega, n, p, e.dev, e.factor, pivot_scratch,
                                             e.solved, stat_out);
}

// The covariance and second-moment tests: m_t is the upper triangle of
// x_t x_t', with x the centred g or g itself.
int wald_matrix_moment_hac(Test test, const f64* g, const f64* target, i64 n, i64 q, int kernel_id,
                           int bandwidth_mode, i64 manual_bandwidth, f64* arena, i64* pivot_scratch,
                           f64* stat_out) {
    if (n < 2) return kTooFew;
    if (q < 1) return kInvalidOption;  // no moment to test
    const i64 v = upper_len(q);
    Carver c(arena);
    const Arena a = test_arena(c, test, n, q, v);
    const f64* x = g;
    if (test == Test::Covariance) {
        // The column means wait at the start of the moment block until the
        // moments overwrite them.
        trova_fill_mean_ax0(g, n, q, a.moments);
        trova_fill_centered_ax0(g, a.moments, n, q, a.centred);
        x = a.centred;
    }
    if (trova_fill_symmetric_target_vec(target, kTargetAtol, kTargetRtol, q, a.target) != kOk)
        return kAsymmetricTarget;
    trova_symmetric_outer_prod_2dim(x, n, q, v, a.moments);
    return wald_hac_from_moments(a.moments, a.target, n, v, kernel_id, bandwidth_mode, manual_bandwidth,
                                 a.engine, pivot_scratch, stat_out);
}

// ---- long-run covariance ----

// The filtered series u_t = sum_j w_j r_{t+j} is built a chunk of rows at a
// time in a stack buffer of kFilterBuffer values: up to kFilterRows rows, and
// at least kFilterMinRows, so series wider than kFilterMaxCols columns go
// through one product per lag instead. The weights of up to kLagBatch lags
// are evaluated once and kept on the stack; longer bandwidths take several
// passes over the rows, one per batch of lags.
constexpr i64 kFilterBuffer = 4096;
constexpr i64 kFilterRows = 128;
constexpr i64 kFilterMinRows = 32;
constexpr i64 kFilterMaxCols = kFilterBuffer / kFilterMinRows;
constexpr i64 kLagBatch = 256;

// out += sum_{j=1..L} w_j Gamma_j = sum_t r_t' u_t, 1 <= L <= n - 1 and
// 1 <= p <= kFilterMaxCols: about n p L multiply-adds for the filter and
// n p^2 per batch of lags for the products, rather than n p^2 per lag. Rows
// t + j past the end contribute nothing, and lags of weight zero are skipped.
void add_filtered_lags(const f64* r, int kernel_id, i64 L, i64 n, i64 p, f64* gamma_scratch, f64* out) {
    const i64 rows = kFilterBuffer / p < kFilterRows ? kFilterBuffer / p : kFilterRows;
    const i64 pp = p * p;
    f64 u[kFilterBuffer];
    i64 lag[kLagBatch];
    f64 weight[kLagBatch];
    for (i64 j0 = 1; j0 <= L; j0 += kLagBatch) {
        const i64 j1 = L - j0 < kLagBatch ? L + 1 : j0 + kLagBatch;
        i64 count = 0;
        for (i64 j = j0; j < j1; ++j) {
            const f64 w = kernel_weight(j, L, kernel_id);
            if (w == 0.0) continue;
            lag[count] = j;
            weight[count++] = w;
        }
        if (count == 0) continue;
        // Rows t >= n - lag[0] see no lag of this batch within the series.
        const i64 t_end = n - lag[0];
        for (i64 t0 = 0; t0 < t_end; t0 += rows) {
            // The first (smallest) lag reaches the most rows of the chunk and
            // writes them; the later lags add to a prefix of them.
            const i64 m = t_end - t0 < rows ? t_end - t0 : rows;
            const f64* src = r + (t0 + lag[0]) * p;
            const f64 w0 = weight[0];
            for (i64 e = 0; e < m * p; ++e) u[e] = w0 * src[e];
            for (i64 k = 1; k < count; ++k) {
                const i64 left = n - lag[k] - t0;
                if (left <= 0) break;  // lags ascend: the rest reach no row of the chunk either
                const i64 mk = left < m ? left : m;
                trova::dense::axpy(weight[k], r + (t0 + lag[k]) * p, u, mk * p);
            }
            trova_matmul_atb(r + t0 * p, u, gamma_scratch, m, p, p);
            trova::dense::axpy(1.0, gamma_scratch, out, pp);
        }
    }
}

// The quadratic-spectral kernel 3 (sin z / z - cos z) / z^2 for |z| < 1, as
// its Taylor series in w = z^2: sum over k >= 1 of (-1)^(k+1) 6k / (2k+1)!
// w^(k-1). The closed form loses about eps / z^2 to cancellation there (a
// weight of 1.001 at z = 5e-7); nine terms leave a remainder below 2e-18.
f64 qs_series(f64 w) {
    constexpr f64 c[] = {1.0,
                         -1.0 / 10.0,
                         1.0 / 280.0,
                         -1.0 / 15120.0,
                         1.0 / 1330560.0,
                         -1.0 / 172972800.0,
                         1.0 / 31135104000.0,
                         -1.0 / 7410154752000.0,
                         1.0 / 2252687044608000.0};
    f64 s = c[8];
    for (int k = 7; k >= 0; --k) s = c[k] + w * s;
    return s;
}

}  // namespace

namespace trova::sizing {

Size wald_mean_hac(i64 n, i64 q) { return test_arena_size(Test::Mean, n, q); }
Size wald_covariance_hac(i64 n, i64 q) { return test_arena_size(Test::Covariance, n, q); }
Size wald_second_moment_hac(i64 n, i64 q) { return test_arena_size(Test::SecondMoment, n, q); }

}  // namespace trova::sizing

using trova::layout::native;

extern "C" {

// ---- tests and sizers ----

int trova_wald_mean_hac(const f64* g, const f64* target, i64 n, i64 q, int kernel_id, int bandwidth_mode,
                        i64 manual_bandwidth, f64* arena, i64* pivot_scratch, f64* stat_out) {
    if (n < 2) return kTooFew;
    if (q < 1) return kInvalidOption;  // no moment to test
    // A NaN target fails like an asymmetric one in the matrix tests.
    for (i64 i = 0; i < q; ++i)
        if (std::isnan(target[i])) return kAsymmetricTarget;
    Carver c(arena);
    const Arena a = test_arena(c, Test::Mean, n, q, 0);
    std::memcpy(a.moments, g, sizeof(f64) * static_cast<std::size_t>(n * q));
    return wald_hac_from_moments(a.moments, target, n, q, kernel_id, bandwidth_mode, manual_bandwidth, a.engine,
                                 pivot_scratch, stat_out);
}

int trova_wald_covariance_hac(const f64* g, const f64* target, i64 n, i64 q, int kernel_id, int bandwidth_mode,
                              i64 manual_bandwidth, f64* arena, i64* pivot_scratch, f64* stat_out) {
    return wald_matrix_moment_hac(Test::Covariance, g, target, n, q, kernel_id, bandwidth_mode, manual_bandwidth,
                                  arena, pivot_scratch, stat_out);
}

int trova_wald_second_moment_hac(const f64* g, const f64* target, i64 n, i64 q, int kernel_id,
                                 int bandwidth_mode, i64 manual_bandwidth, f64* arena, i64* pivot_scratch,
                                 f64* stat_out) {
    return wald_matrix_moment_hac(Test::SecondMoment, g, target, n, q, kernel_id, bandwidth_mode,
                                  manual_bandwidth, arena, pivot_scratch, stat_out);
}

arena_size trova_wald_mean_hac_arena_size(i64 n, i64 q) { return native(trova::sizing::wald_mean_hac(n, q)); }

arena_size trova_wald_covariance_hac_arena_size(i64 n, i64 q) {
    return native(trova::sizing::wald_covariance_hac(n, q));
}

arena_size trova_wald_second_moment_hac_arena_size(i64 n, i64 q) {
    return native(trova::sizing::wald_second_moment_hac(n, q));
}

// ---- building blocks ----

int trova_wald_stat_from_mean_and_cov(const f64* mean, const f64* target, const f64* omega, i64 n, i64 p,
                                      f64* dev_scratch, f64* factor_scratch, i64* pivot_scratch,
                                      f64* solved_scratch, f64* stat_out) {
    *stat_out = std::numeric_limits<f64>::quiet_NaN();
    for (i64 i = 0; i < p; ++i) dev_scratch[i] = mean[i] - target[i];
    if (trova_chol(omega, 0.0, factor_scratch, p) == 0) {
        trova_forward_subst(factor_scratch, dev_scratch, solved_scratch, p);
        trova_backward_subst_chol_t(factor_scratch, solved_scratch, solved_scratch, p);
    } else {
        // A matrix holding a NaN or an infinity has no factor; the pivoted LU
        // would not notice a NaN pivot, so it never sees one.
        if (!trova::all_finite(omega, p * p)) return kSingular;
        std::memcpy(factor_scratch, omega, sizeof(f64) * static_cast<std::size_t>(p * p));
        if (trova_lu_factor_inplace(factor_scratch, pivot_scratch, p) != 0) return kSingular;
        trova_lu_solve(factor_scratch, pivot_scratch, dev_scratch, solved_scratch, p, 1);
    }
    f64 W = trova::dense::dot(dev_scratch, solved_scratch, p) * static_cast<f64>(n);
    // A NaN mean or target, or a solve that overflowed: no statistic.
    if (std::isnan(W)) return kSingular;
    if (W > kNegligibleNegative && W < 0.0) W = 0.0;
    *stat_out = W;
    return kOk;
}

void trova_hac_estimator_matmul(const f64* r, int kernel_id, i64 L, i64 n, i64 p, f64* gamma_scratch, f64* out) {
    // No columns: out has no entries. No rows: no covariance to estimate.
    if (p <= 0) return;
    if (n <= 0) {
        trova::fill_nan(out, p * p);
        return;
    }
    trova_gram(r, out, n, p);
    const i64 pp = p * p;
    for (i64 e = 0; e < pp; ++e) out[e] *= 0.5;
    if (L > n - 1) L = n - 1;
    if (L >= 1 && p <= kFilterMaxCols) {
        add_filtered_lags(r, kernel_id, L, n, p, gamma_scratch, out);
    } else {
        for (i64 j = 1; j <= L; ++j) {
            const f64 w = kernel_weight(j, L, kernel_id);
            if (w == 0.0) continue;
            // Gamma_j = (rows 0..n-j-1)' (rows j..n-1).
            trova_matmul_atb(r, r + j * p, gamma_scratch, n - j, p, p);
            trova::dense::axpy(w, gamma_scratch, out, pp);
        }
    }
    const f64 nf = static_cast<f64>(n);
    for (i64 a = 0; a < p; ++a) {
        for (i64 b = a; b < p; ++b) {
            const f64 s = (out[a * p + b] + out[b * p + a]) / nf;
            out[a * p + b] = s;
            out[b * p + a] = s;
        }
    }
}

f64 kernel_weight(i64 j, i64 L, int kernel_id) {
    // L + 1 in floating point: in 64-bit integers it overflows at the
    // largest bandwidth.
    const f64 a = static_cast<f64>(j) / (static_cast<f64>(L) + 1.0);
    switch (kernel_id) {
        case BARTLETT:
            return j <= L ? 1.0 - a : 0.0;
        case PARZEN: {
            if (a > 1.0) return 0.0;
            if (a <= 0.5) return 1.0 + a * a * 6.0 * (a - 1.0);
            const f64 b = 1.0 - a;
            return 2.0 * b * b * b;
        }
        case QS: {
            if (std::fabs(a) <= 1e-8) return 1.0;
            if (std::isinf(a)) return 0.0;  // the kernel's limit (L = -1)
            const f64 z = 18.84955592153876 * a / 5.0;  // 6 pi a / 5
            if (std::fabs(z) < 1.0) return qs_series(z * z);
            return 25.0 / (118.4352528130723 * a * a) * (std::sin(z) / z - std::cos(z));  // 12 pi^2
        }
        default:
            return 0.0;
    }
}

i64 wooldridge_bandwidth(const f64* /*x*/, i64 n) {
    if (n <= 0) return 0;
    return static_cast<i64>(std::floor(4.0 * std::pow(static_cast<f64>(n) / 100.0, 2.0 / 9.0)));
}

i64 andrews_bandwidth(const f64* y, int kernel_id, i64 n) { return andrews_bw_strided(y, 1, kernel_id, n); }

i64 andrews_bandwidth_matrix(const f64* r, int kernel_id, i64 n, i64 p, f64* ls) {
    if (p == 1) return andrews_bw_strided(r, 1, kernel_id, n);
    if (p <= 0 || !valid_kernel(kernel_id)) return 1;
    const kernel_inp_t& kernel = KERNEL_SPECS[kernel_id];
    i64 count = 0;
    for (i64 j = 0; j < p; ++j) {
        // A NaN variance is not above the threshold either: such a column is skipped.
        if (col_var(r, n, p, j) > kConstantVariance) ls[count++] = static_cast<f64>(andrews_ar1(r + j, p, kernel, n));
    }
    if (count == 0) return 1;
    return static_cast<i64>(std::floor(trova_median_f64(ls, count)));
}

void trova_fill_mean_ax0(const f64* x, i64 n, i64 p, f64* mean) {
    for (i64 j = 0; j < p; ++j) mean[j] = 0.0;
    for (i64 t = 0; t < n; ++t) {
        const f64* row = x + t * p;
        for (i64 j = 0; j < p; ++j) mean[j] += row[j];
    }
    const f64 nf = static_cast<f64>(n);
    for (i64 j = 0; j < p; ++j) mean[j] /= nf;
}

void trova_fill_centered_ax0(const f64* x, const f64* mean, i64 n, i64 p, f64* centered) {
    for (i64 t = 0; t < n; ++t) {
        const f64* row = x + t * p;
        f64* out = centered + t * p;
        for (i64 j = 0; j < p; ++j) out[j] = row[j] - mean[j];
    }
}

int trova_symmetric_outer_prod_2dim(const f64* x, i64 n, i64 p, i64 q, f64* out) {
    for (i64 t = 0; t < n; ++t) {
        const f64* row = x + t * p;
        f64* o = out + t * q;
        for (i64 i = 0; i < p; ++i) {
            const f64 xi = row[i];
            for (i64 j = i; j < p; ++j) *o++ = xi * row[j];
        }
    }
    return 0;
}

int trova_fill_symmetric_target_vec(const f64* target, f64 atol, f64 rtol, i64 p, f64* out) {
    i64 k = 0;
    for (i64 j = 0; j < p; ++j) {
        for (i64 i = j; i < p; ++i) {
            const f64 up = target[j * p + i];
            const f64 lo = target[i * p + j];
            if (up != lo) {
                const f64 diff = std::fabs(up - lo);
                // Written so that a NaN difference fails too.
                if (!std::isfinite(diff) || diff > atol + rtol * std::fabs(lo)) return kAsymmetricTarget;
            }
            out[k++] = up;
        }
    }
    return kOk;
}

}  // extern "C"
