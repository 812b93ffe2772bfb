/** @file
 * Wald tests of moment restrictions with a heteroskedasticity- and
 * autocorrelation-consistent (HAC) long-run covariance.
 *
 * Given n observations g (n x q, one per row), three tests compare a sample
 * moment with a target: the mean of g, its covariance matrix and its raw
 * second-moment matrix. Each builds a moment series m_t of p values, takes
 * its mean m, estimates the long-run covariance Omega of m_t with a kernel
 * (Bartlett, Parzen or quadratic spectral) at a bandwidth L (given, by
 * Wooldridge's rule, by Andrews' AR(1) plug-in, or chosen by the kernel) and
 * returns W = n (m - target)' Omega^-1 (m - target).
 *
 * Matrix moments (covariance and second moment) are stored as the upper
 * triangle of the q x q matrix in row-major order, v = q(q + 1)/2 values:
 * (0,0), (0,1), ..., (0,q-1), (1,1), ..., (q-1,q-1).
 *
 * Status: 0; -1 target matrix not symmetric within tolerance, or a NaN in
 * the target; -2 Omega holds a NaN or an infinity (as it does for such data
 * in g) or can be factored neither by Cholesky nor by LU (stat_out is NaN);
 * -5 fewer than two observations; -7 no moment (q < 1), invalid kernel,
 * invalid bandwidth mode or negative manual bandwidth. On -1, -5 and -7
 * stat_out is not written. On success the statistic is never NaN.
 *
 * Kernel and bandwidth-mode arguments are plain ints carrying KernelID and
 * WaldBandwidthMode values, so that any out-of-range value, negative ones
 * included, reaches the checks. The tests work in the caller's arena and
 * pivot scratch, sized by their sizers; g and the target are only read.
 * Nothing here allocates. Matrices are row-major. The sizes given with the
 * sizers are those of a build without layout gaps: arenas must be sized by
 * the sizers, whose counts grow in a TROVA_LAYOUT_GAPS build. */
#ifndef TROVA_DIAG_WALD_H
#define TROVA_DIAG_WALD_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/** HAC kernels, as the kernel_id arguments carry them. */
typedef enum KernelID {
    BARTLETT = 0,    /**< Bartlett: 1 - a up to a = 1 */
    PARZEN = 1,      /**< Parzen: 1 - 6a^2 + 6a^3 up to a = 1/2, 2 (1 - a)^3 up to a = 1 */
    QS = 2,          /**< quadratic spectral: 25 / (12 pi^2 a^2) (sin z / z - cos z), z = 6 pi a / 5 */
    KERNEL_COUNT = 3 /**< number of kernels (not a kernel) */
} KernelID;

/** Bandwidth choices, as the bandwidth_mode arguments carry them. */
typedef enum WaldBandwidthMode {
    WALD_BW_MANUAL = 0,     /**< the caller's bandwidth */
    WALD_BW_WOOLDRIDGE = 1, /**< floor(4 (n/100)^(2/9)) */
    WALD_BW_ANDREWS = 2,    /**< Andrews' AR(1) plug-in, median over the moment columns */
    WALD_BW_AUTO = 3        /**< Wooldridge for BARTLETT, Andrews for PARZEN and QS */
} WaldBandwidthMode;

/** Andrews' constant c and characteristic exponent q of a kernel. */
typedef struct kernel_inp_t {
    f64 c; /**< Andrews' constant: the plug-in bandwidth is c (alpha n)^(1/(2q + 1)) */
    f64 q; /**< characteristic exponent */
} kernel_inp_t;

/** Indexed by KernelID: {1.1447, 1} Bartlett, {2.6614, 2} Parzen,
 * {1.3221, 2} QS. Read-only data of the library. */
extern TROVA_API const kernel_inp_t KERNEL_SPECS[KERNEL_COUNT];

/* ---- tests ----
 * Bandwidths above n - 1 are capped at n - 1. */

/** Mean of g against target (q values). Works on a copy of g in the arena.
 * Bandwidths above n - 1 are capped at n - 1, here and in the other tests.
 * @param g observations (n x q)
 * @param target the mean under the null (q); a NaN in it gives -1
 * @param n observations, at least 2
 * @param q moments, at least 1
 * @param kernel_id a KernelID
 * @param bandwidth_mode a WaldBandwidthMode
 * @param manual_bandwidth the bandwidth of WALD_BW_MANUAL, >= 0; else not read
 * @param arena float scratch, trova_wald_mean_hac_arena_size(n, q).n_float
 * @param pivot_scratch integer scratch, its n_int (q)
 * @param stat_out the statistic W
 * @return 0, -1, -2, -5 or -7 */
TROVA_API int trova_wald_mean_hac(const f64* g, const f64* target, i64 n, i64 q, int kernel_id,
                                  int bandwidth_mode, i64 manual_bandwidth, f64* arena, i64* pivot_scratch,
                                  f64* stat_out);
/** Covariance of g (divisor n, about the column means) against target (q x q).
 * @param g observations (n x q)
 * @param target the covariance under the null (q x q), symmetric within
 *        1e-8 + 1e-5 |T[i][j]| for i >= j (else -1); its upper triangle is used
 * @param n observations, at least 2
 * @param q columns of g, at least 1
 * @param kernel_id a KernelID
 * @param bandwidth_mode a WaldBandwidthMode
 * @param manual_bandwidth the bandwidth of WALD_BW_MANUAL, >= 0; else not read
 * @param arena float scratch, trova_wald_covariance_hac_arena_size(n, q).n_float
 * @param pivot_scratch integer scratch, its n_int (v)
 * @param stat_out the statistic W
 * @return 0, -1, -2, -5 or -7 */
TROVA_API int trova_wald_covariance_hac(const f64* g, const f64* target, i64 n, i64 q, int kernel_id,
                                        int bandwidth_mode, i64 manual_bandwidth, f64* arena,
                                        i64* pivot_scratch, f64* stat_out);
/** Raw second moment (1/n) sum g_t g_t' against target (q x q).
 * @param g observations (n x q)
 * @param target the second moment under the null (q x q), symmetric within
 *        1e-8 + 1e-5 |T[i][j]| for i >= j (else -1); its upper triangle is used
 * @param n observations, at least 2
 * @param q columns of g, at least 1
 * @param kernel_id a KernelID
 * @param bandwidth_mode a WaldBandwidthMode
 * @param manual_bandwidth the bandwidth of WALD_BW_MANUAL, >= 0; else not read
 * @param arena float scratch, trova_wald_second_moment_hac_arena_size(n, q).n_float
 * @param pivot_scratch integer scratch, its n_int (v)
 * @param stat_out the statistic W
 * @return 0, -1, -2, -5 or -7 */
TROVA_API int trova_wald_second_moment_hac(const f64* g, const f64* target, i64 n, i64 q, int kernel_id,
                                           int bandwidth_mode, i64 manual_bandwidth, f64* arena,
                                           i64* pivot_scratch, f64* stat_out);

/** Float arena and pivot scratch of each test: q(n + 3q + 4) and q for the
 * mean; n(q + v) + v(3v + 5) and v for the covariance; v(3v + n + 5) and v
 * for the second moment. A size that does not fit in 64 bits is {-1, -1}.
 * @param n observations
 * @param q columns of g
 * @return {n_float, n_int} of trova_wald_mean_hac */
TROVA_API arena_size trova_wald_mean_hac_arena_size(i64 n, i64 q);
/** Arena and pivot scratch of trova_wald_covariance_hac (see
 * trova_wald_mean_hac_arena_size).
 * @param n observations
 * @param q columns of g
 * @return {n_float, n_int}, or {-1, -1} */
TROVA_API arena_size trova_wald_covariance_hac_arena_size(i64 n, i64 q);
/** Arena and pivot scratch of trova_wald_second_moment_hac (see
 * trova_wald_mean_hac_arena_size).
 * @param n observations
 * @param q columns of g
 * @return {n_float, n_int}, or {-1, -1} */
TROVA_API arena_size trova_wald_second_moment_hac_arena_size(i64 n, i64 q);

/* ---- building blocks ---- */

/** W = n (mean - target)' omega^-1 (mean - target), solved through a Cholesky
 * factor of omega or, when that fails, a pivoted LU factor; a value in
 * (-1e-12, 0) is reported as 0; p <= 0 gives 0. Scratch: dev (p), factor
 * (p x p), pivots (p), solved (p). 0, or -2 with stat_out NaN when neither
 * factor exists, omega holds a NaN or an infinity, or W comes out NaN (a
 * NaN in mean or target).
 * @param mean sample moments (p)
 * @param target moments under the null (p)
 * @param omega long-run covariance (p x p)
 * @param n observations (the factor of W)
 * @param p moments
 * @param dev_scratch mean - target (p)
 * @param factor_scratch the factor (p x p)
 * @param pivot_scratch LU pivots (p)
 * @param solved_scratch omega^-1 (mean - target) (p)
 * @param stat_out the statistic W
 * @return 0 or -2 */
TROVA_API int trova_wald_stat_from_mean_and_cov(const f64* mean, const f64* target, const f64* omega, i64 n,
                                                i64 p, f64* dev_scratch, f64* factor_scratch,
                                                i64* pivot_scratch, f64* solved_scratch, f64* stat_out);

/** out (p x p) = (1/n) [r'r + sum over lags j = 1..min(L, n - 1) of
 * w_j (Gamma_j + Gamma_j')], Gamma_j = sum_t r_t r_{t+j}', for a centred
 * series r (n x p); the weights use the capped L. gamma_scratch: p x p.
 * p <= 0 writes nothing; n <= 0 fills out with NaN. out is exactly
 * symmetric.
 * @param r centred series (n x p)
 * @param kernel_id a KernelID; an unknown one weighs every lag 0
 * @param L bandwidth
 * @param n observations
 * @param p columns of r
 * @param gamma_scratch scratch (p x p)
 * @param out long-run covariance (p x p) */
TROVA_API void trova_hac_estimator_matmul(const f64* r, int kernel_id, i64 L, i64 n, i64 p, f64* gamma_scratch,
                                          f64* out);

/** Kernel weight at lag j for bandwidth L, a = j/(L + 1) with L + 1 formed
 * in floating point (no overflow at the largest L); 0 for an unknown
 * kernel.
 * @param j lag
 * @param L bandwidth
 * @param kernel_id a KernelID
 * @return the weight */
TROVA_API f64 kernel_weight(i64 j, i64 L, int kernel_id);

/** floor(4 (n/100)^(2/9)); x is not read.
 * @param x not read; may be NULL
 * @param n observations
 * @return the bandwidth; 0 for n <= 0 */
TROVA_API i64 wooldridge_bandwidth(const f64* x, i64 n);

/** Andrews' AR(1) plug-in bandwidth of one series y (n values), at least 1;
 * 1 for a constant, anti-persistent or non-finite series and for an
 * unknown kernel. With rho = sum y_t y_{t+1} / sum y_t^2 (t < n - 1, values
 * as given) clipped to +-0.999 and alpha = 2 rho (1 + rho) / (1 - rho)^2
 * (one formula for every kernel),
 * the bandwidth is floor(c (alpha n)^(1/(2q + 1))) with the kernel's c and
 * q of KERNEL_SPECS. A series is constant when its variance is at most
 * 1e-14, or when n <= 1.
 * @param y series (n)
 * @param kernel_id a KernelID
 * @param n observations
 * @return the bandwidth */
TROVA_API i64 andrews_bandwidth(const f64* y, int kernel_id, i64 n);

/** Floor of the median of the one-series bandwidths of the non-constant
 * columns of r (n x p); 1 when every column is constant or p <= 0. ls:
 * p scratch values (left sorted).
 * @param r series (n x p)
 * @param kernel_id a KernelID; an unknown one gives 1
 * @param n observations
 * @param p columns of r
 * @param ls scratch (p); not used when p = 1
 * @return the bandwidth */
TROVA_API i64 andrews_bandwidth_matrix(const f64* r, int kernel_id, i64 n, i64 p, f64* ls);

/** mean[j] = (sum_t x[t][j]) / n for x n x p.
 * @param x data (n x p)
 * @param n rows
 * @param p columns
 * @param mean column means (p) */
TROVA_API void trova_fill_mean_ax0(const f64* x, i64 n, i64 p, f64* mean);
/** centered[t][j] = x[t][j] - mean[j].
 * @param x data (n x p)
 * @param mean column means (p)
 * @param n rows
 * @param p columns
 * @param centered result (n x p); may be x */
TROVA_API void trova_fill_centered_ax0(const f64* x, const f64* mean, i64 n, i64 p, f64* centered);
/** Row t of out (row stride q) = x_i x_j over i = 0..p-1, j = i..p-1. Returns 0.
 * @param x data (n x p)
 * @param n rows
 * @param p columns
 * @param q row stride of out, at least p (p + 1) / 2
 * @param out products (n x q)
 * @return 0 */
TROVA_API int trova_symmetric_outer_prod_2dim(const f64* x, i64 n, i64 p, i64 q, f64* out);
/** out (v) = upper triangle of target (p x p) in row-major order, after
 * checking every pair lo = T[i][j], up = T[j][i] (i >= j): a pair that
 * differs fails when |up - lo| is not finite or exceeds atol + rtol |lo|.
 * 0, or -1 at the first failing pair (out holds the pairs before it).
 * @param target matrix (p x p)
 * @param atol absolute tolerance
 * @param rtol relative tolerance
 * @param p order
 * @param out upper triangle (p (p + 1) / 2)
 * @return 0 or -1 */
TROVA_API int trova_fill_symmetric_target_vec(const f64* target, f64 atol, f64 rtol, i64 p, f64* out);

TROVA_END_DECLS

#endif /* TROVA_DIAG_WALD_H */
