// Elastic net on the Gram form: warm-startable coordinate descent, the
// penalty path walked from the largest penalty down with warm starts, and
// the degrees of freedom of a fitted solution on its active set.
#include <cmath>

#include "_common/dense.h"
#include "regression/regression_internal.h"
#include "trova_linalg.h"

namespace {

using trova::regression::trova_smooth_threshold;

void trova_split_penalty(f64 alpha, f64 l1_ratio, f64& a1, f64& a2) {
    a1 = alpha * l1_ratio;
    a2 = alpha * (1.0 - l1_ratio);
}

}  // namespace

extern "C" {

TROVA_API i64 trova_en_gram_cd(const f64* G, const f64* g, i64 k, f64 alpha_l1, f64 alpha_l2,
                               const f64* beta0, i64 max_iter, f64 tol, f64* coef, f64* Gcoef) {
    for (i64 j = 0; j < k; ++j) coef[j] = beta0[j];
    // Gcoef = (G + alpha_l2 I) coef, kept up to date move by move.
    trova_matvec(G, coef, Gcoef, k, k);
    trova::dense::axpy(alpha_l2, coef, Gcoef, k);
    // A NaN L1 penalty would threshold everything to zero.
    if (max_iter <= 0 || std::isnan(alpha_l1) || std::isnan(alpha_l2)) return REGRESSION_NON_CONVERGENT;
    for (i64 sweep = 0; sweep < max_iter; ++sweep) {
        f64 max_delta = 0.0;
        for (i64 j = 0; j < k; ++j) {
            const f64* Gj = G + j * k;  // row j = column j: G is symmetric
            const f64 b = alpha_l2 + Gj[j];
            if (b <= 0.0) continue;
            const f64 z = (g[j] - Gcoef[j]) + coef[j] * b;
            const f64 updated = trova_smooth_threshold(z, alpha_l1) / b;
            const f64 delta = updated - coef[j];
            // A NaN move is never above tol and the threshold maps a NaN z to
            // 0, so either would pass for convergence: a NaN in G, g or the
            // start is no solution.
            if (std::isnan(z) || std::isnan(delta)) return REGRESSION_NON_CONVERGENT;
            if (std::fabs(delta) > tol) {
                trova::dense::axpy(delta, Gj, Gcoef, k);
                Gcoef[j] += alpha_l2 * delta;
                coef[j] = updated;
                if (std::fabs(delta) > max_delta) max_delta = std::fabs(delta);
            }
        }
        // A coordinate never visited (b <= 0) keeps its start, NaN or not.
        if (max_delta < tol)
            return trova::regression::all_finite(coef, k) ? REGRESSION_OK : REGRESSION_NON_CONVERGENT;
    }
    return REGRESSION_NON_CONVERGENT;
}

TROVA_API void trova_en_gram_cd_path(const f64* G, const f64* g, i64 k, const f64* alpha_grid, i64 n_alpha,
                                     f64 l1_ratio, i64 max_iter, f64 tol, f64* coefs, i64* statuses,
                                     f64* Gcoef, f64* beta) {
    for (i64 j = 0; j < k; ++j) beta[j] = 0.0;
    if (n_alpha < 1) return;
    // An ascending grid is walked from its end, so that a monotone grid goes
    // from the largest penalty down either way.
    const bool ascending = n_alpha >= 2 && alpha_grid[0] < alpha_grid[n_alpha - 1];
    for (i64 step = 0; step < n_alpha; ++step) {
        const i64 i = ascending ? n_alpha - 1 - step : step;
        f64 a1, a2;
        trova_split_penalty(alpha_grid[i], l1_ratio, a1, a2);
        f64* row = coefs + i * k;
        statuses[i] = trova_en_gram_cd(G, g, k, a1, a2, beta, max_iter, tol, row, Gcoef);
        for (i64 j = 0; j < k; ++j) beta[j] = row[j];
    }
}

TROVA_API f64 trova_en_active_dof(const f64* G, const f64* beta, i64 k, f64 alpha_l2, i64 intercept,
                                  f64 atol, f64* work) {
    const f64 c0 = intercept != 0 ? 1.0 : 0.0;
    if (k <= 0) return c0;
    i64 na = 0;
    for (i64 j = 0; j < k; ++j) na += std::fabs(beta[j]) > atol;
    if (na == 0) return c0;
    f64* GAA = work;
    f64* P = work + k * k;
    f64* L = work + 2 * k * k;
    f64* col = work + 3 * k * k;
    for (i64 i = 0, r = 0; i < k; ++i) {
        if (!(std::fabs(beta[i]) > atol)) continue;
        for (i64 j = 0, s = 0; j < k; ++j) {
            if (!(std::fabs(beta[j]) > atol)) continue;
            GAA[r * na + s] = P[r * na + s] = G[i * k + j];
            ++s;
        }
        P[r * na + r] += alpha_l2;
        ++r;
    }
    if (trova_chol(P, 0.0, L, na) != 0) return c0 + static_cast<f64>(na);
    f64 trace = 0.0;
    for (i64 m = 0; m < na; ++m) {
        for (i64 i = 0; i < na; ++i) col[i] = GAA[i * na + m];
        trova::regression::chol_solve_in_place(L, col, na);
        trace += col[m];
    }
    return c0 + trace;
}

}  // extern "C"
