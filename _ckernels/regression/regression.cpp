// OLS and ridge regression through Cholesky factors of the Gram matrix, and
// the ridge penalty grid with AIC, BIC or loss selection.
#include <cmath>
#include <limits>

#include "regression/regression_internal.h"
#include "trova_linalg.h"

namespace trova::regression {

f64 trova_ridge_objective(i64 criterion, f64 rss, i64 n, f64 k) {
    if (criterion == REGRESSION_CRIT_LOSS) return rss;
    if (rss <= 0.0) return -std::numeric_limits<f64>::infinity();
    const f64 nf = static_cast<f64>(n);
    const f64 fit = nf * std::log(rss / nf);
    if (criterion == REGRESSION_CRIT_AIC) return fit + 2.0 * k;
    return fit + std::log(nf) * k;
}

void chol_solve_in_place(const f64* L, f64* x, i64 p) {
    trova_forward_subst(L, x, x, p);
    trova_backward_subst_chol_t(L, x, x, p);
}

f64 residual_sum_of_squares(const f64* X, const f64* y, const f64* coef, i64 n, i64 p) {
    // The fitted values of a chunk of rows come from the matrix-vector
    // product, which takes four short rows at a time, and the squared
    // residuals of the chunk are then summed in one vectorised loop.
    constexpr i64 kChunk = 64;
    f64 fit[kChunk];
    f64 rss = 0.0;
    for (i64 r0 = 0; r0 < n; r0 += kChunk) {
        const i64 k = n - r0 < kChunk ? n - r0 : kChunk;
        trova_matvec(X + r0 * p, coef, fit, k, p);
        for (i64 i = 0; i < k; ++i) {
            const f64 e = y[r0 + i] - fit[i];
            rss += e * e;
        }
    }
    return rss;
}

namespace {

// G = X'X / n and g = X'y / n (each entry divided by n).
void scaled_normal_equations(const f64* X, const f64* y, i64 n, i64 p, f64* G, f64* g) {
    trova_gram(X, G, n, p);
    trova_gram_rhs(X, y, g, n, p);
    const f64 nf = static_cast<f64>(n);
    for (i64 e = 0; e < p * p; ++e) G[e] /= nf;
    for (i64 j = 0; j < p; ++j) g[j] /= nf;
}

// alpha on the diagonal, the intercept's entry (0) skipped when asked.
void add_penalty(f64* G, i64 p, f64 alpha, i64 intercept) {
    for (i64 j = intercept != 0 ? 1 : 0; j < p; ++j) G[j * p + j] += alpha;
}

// trace((G_unpen + alpha D)^-1 G_unpen), with L the factor of the penalised
// matrix, one column of G_unpen at a time.
f64 trova_ridge_eff_dof(const f64* L, const f64* G_unpen, i64 p, f64* col) {
    f64 sum = 0.0;
    for (i64 j = 0; j < p; ++j) {
        for (i64 i = 0; i < p; ++i) col[i] = G_unpen[i * p + j];
        chol_solve_in_place(L, col, p);
        sum += col[j];
    }
    return sum;
}

}  // namespace

}  // namespace trova::regression

using namespace trova::regression;

extern "C" {

TROVA_API void trova_ols_chol_solve(const f64* X, const f64* y, i64 n, i64 p, f64* coef, f64* L,
                                    i64* status, f64* G, f64* g) {
    trova_gram(X, G, n, p);
    trova_gram_rhs(X, y, g, n, p);
    // NaN or infinite data that leave the factor intact (in y, say) come out
    // as NaN coefficients with status 0, as the diagnostics built on this
    // solve expect; the pipeline fit treats them as a failure.
    if (trova_chol_solve(G, g, coef, L, p) == 0) {
        *status = REGRESSION_OK;
    } else {
        fill_nan(coef, p);
        *status = REGRESSION_RANK_DEFICIENT;
    }
}

TROVA_API void trova_chol_solve_L2(const f64* X, const f64* y, i64 n, i64 p, f64 alpha, i64 intercept,
                                   f64* coef, f64* L, f64* dof, i64* status, f64* G, f64* G_unpen, f64* g,
                                   f64* col) {
    const auto fail = [&] {
        fill_nan(coef, p);
        *dof = quiet_nan();
        *status = REGRESSION_RANK_DEFICIENT;
    };
    // No rows, or a NaN penalty (even one that penalises nothing), give no
    // fit; nothing is read then.
    if (n < 1 || std::isnan(alpha)) return fail();
    scaled_normal_equations(X, y, n, p, G, g);
    for (i64 e = 0; e < p * p; ++e) G_unpen[e] = G[e];
    add_penalty(G, p, alpha, intercept);
    if (trova_chol(G, 0.0, L, p) != 0) return fail();
    for (i64 j = 0; j < p; ++j) coef[j] = g[j];
    chol_solve_in_place(L, coef, p);
    *dof = trova_ridge_eff_dof(L, G_unpen, p, col);
    *status = REGRESSION_OK;
}

TROVA_API void trova_ridge_grid_search(const f64* X, const f64* y, i64 n, i64 p, const f64* alphas, i64 num,
                                       i64 criterion, i64 intercept, f64* out_alpha, f64* out_coef,
                                       f64* out_obj, i64* out_status, f64* G_base, f64* G, f64* g, f64* L,
                                       f64* coef, f64* col) {
    scaled_normal_equations(X, y, n, p, G_base, g);
    if (num <= 0) return;
    const f64 inf = std::numeric_limits<f64>::infinity();
    // A penalty fails when there are no rows, when it is NaN, when its
    // factor does not exist, or when its coefficients or objective come out
    // non-finite or NaN (NaN or infinite data). The first penalty that does
    // not fail is taken whatever its objective, a later one only when its
    // objective is strictly smaller, so ties keep the earlier penalty. Only
    // when every penalty fails do the outputs report the first one, failed.
    bool taken = false;
    f64 best = inf;
    for (i64 i = 0; i < num; ++i) {
        const f64 alpha = alphas[i];
        bool ok = n >= 1 && !std::isnan(alpha);
        f64 obj = inf;
        if (ok) {
            for (i64 e = 0; e < p * p; ++e) G[e] = G_base[e];
            add_penalty(G, p, alpha, intercept);
            ok = trova_chol(G, 0.0, L, p) == 0;
        }
        if (ok) {
            for (i64 j = 0; j < p; ++j) coef[j] = g[j];
            chol_solve_in_place(L, coef, p);
            const f64 k = trova_ridge_eff_dof(L, G_base, p, col);
            const f64 rss = residual_sum_of_squares(X, y, coef, n, p);
            obj = trova_ridge_objective(criterion, rss, n, k);
            ok = all_finite(coef, p) && !std::isnan(obj);
        }
        if (!ok) {
            fill_nan(coef, p);
            if (i == 0) {
                *out_alpha = alpha;
                *out_obj = inf;
                *out_status = REGRESSION_RANK_DEFICIENT;
                for (i64 j = 0; j < p; ++j) out_coef[j] = coef[j];
            }
            continue;
        }
        if (!taken || obj < best) {
            *out_alpha = alpha;
            *out_obj = obj;
            *out_status = REGRESSION_OK;
            for (i64 j = 0; j < p; ++j) out_coef[j] = coef[j];
            best = obj;
            taken = true;
        }
    }
}

}  // extern "C"
