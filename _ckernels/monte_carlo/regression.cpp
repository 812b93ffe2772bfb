// Pipeline regression steps: seven families (OLS, ridge, ridge grid, lasso,
// lasso grid, elastic net, elastic-net grid), each a fit on a
// trova_mc_regression_record, a work-lane sizer and a step function. The
// penalised fits work on the centred Gram form of the non-intercept columns
// and recover the intercept afterwards.
#include <cmath>
#include <limits>

#include "_common/dense.h"
#include "_common/layout.h"
#include "_common/sizers.h"
#include "regression/regression_internal.h"
#include "trova_linalg.h"

namespace {

using trova::layout::Carver;
using trova::regression::fill_nan;
using trova::regression::quiet_nan;

// The float output lane of every regression step: coef (p), ssr, sst, then
// se (p) for OLS only. The steps and trova_mc_regression_output_offsets
// both place the blocks by this one layout.
trova_regression_output_offsets regression_output_layout(Carver& c, i64 p, bool with_se) {
    trova_regression_output_offsets o{};
    o.coef = c.at(p);
    o.ssr = c.at(1);
    o.sst = c.at(1);
    o.se = with_se ? c.at(p) : -1;
    return o;
}

// The record of one fit: coef (and, for OLS, se) point into the output lane
// at their blocks; ssr and sst start NaN and the status -2.
trova_mc_regression_record trova_mc_regression_output_record(i64 n, i64 p, f64* float_out,
                                                             const trova_regression_output_offsets& at) {
    trova_mc_regression_record rec{};
    rec.n = n;
    rec.p = p;
    rec.coef = float_out + at.coef;
    rec.se = at.se >= 0 ? float_out + at.se : nullptr;
    rec.ssr = quiet_nan();
    rec.sst = quiet_nan();
    rec.status = REGRESSION_NON_CONVERGENT;
    return rec;
}

// Writes ssr and sst to their blocks and the status to int_out[0]; returns
// the status, so that a failed fit fails the replication.
int trova_mc_regression_status(const trova_mc_regression_record& rec, f64* float_out,
                               const trova_regression_output_offsets& at, i64* int_out) {
    float_out[at.ssr] = rec.ssr;
    float_out[at.sst] = rec.sst;
    if (int_out != nullptr) int_out[0] = rec.status;
    return static_cast<int>(rec.status);
}

void trova_mc_set_failure(trova_mc_regression_record* rec) {
    fill_nan(rec->coef, rec->p);
    rec->ssr = quiet_nan();
    rec->sst = quiet_nan();
    if (rec->se != nullptr) fill_nan(rec->se, rec->p);
}

// ssr over all p columns; sst about the mean of y, with or without intercept.
void trova_mc_compute_ssr_sst(const f64* X, const f64* y, trova_mc_regression_record* rec) {
    const i64 n = rec->n;
    if (n < 1) {
        rec->ssr = rec->sst = 0.0;
        return;
    }
    f64 sum = 0.0;
    for (i64 r = 0; r < n; ++r) sum += y[r];
    const f64 ybar = sum / static_cast<f64>(n);
    f64 sst = 0.0;
    for (i64 r = 0; r < n; ++r) sst += (y[r] - ybar) * (y[r] - ybar);
    rec->ssr = trova::regression::residual_sum_of_squares(X, y, rec->coef, n, rec->p);
    rec->sst = sst;
}

// G_base = X'X/n, g = X'y/n; G the Gram form the penalised solvers see: a
// copy of G_base, or with an intercept (column 0 all ones) the centred
// covariance of the other k = p - 1 columns, packed with row stride k, with
// g[0..k-1] the centred cross moments and g[p-1] the mean of y.
void trova_mc_sparse_gram(const f64* X, const f64* y, i64 n, i64 p, bool intercept, f64* G_base, f64* G,
                          f64* g) {
    trova_gram(X, G_base, n, p);
    trova_gram_rhs(X, y, g, n, p);
    const f64 nf = static_cast<f64>(n);
    for (i64 e = 0; e < p * p; ++e) G_base[e] /= nf;
    for (i64 j = 0; j < p; ++j) g[j] /= nf;
    if (!intercept) {
        for (i64 e = 0; e < p * p; ++e) G[e] = G_base[e];
        return;
    }
    const i64 k = p - 1;
    const f64 ybar = g[0];
    for (i64 i = 0; i < k; ++i) {
        const f64 xi = G_base[(i + 1) * p];
        for (i64 j = 0; j < k; ++j) G[i * k + j] = G_base[(i + 1) * p + j + 1] - xi * G_base[j + 1];
        g[i] = g[i + 1] - xi * ybar;
    }
    g[p - 1] = ybar;
}

// coef[0] = ybar - sum_j coef[j] xbar_j.
void trova_mc_restore_intercept(f64* coef, i64 p, const f64* G_base, const f64* g) {
    f64 s = g[p - 1];
    for (i64 j = 1; j < p; ++j) s -= coef[j] * G_base[j];
    coef[0] = s;
}

// In-sample residual sum of squares of penalised coefficients beta (k =
// p - b of them): with an intercept y is predicted as ybar + the centred
// columns times beta.
f64 penalised_rss(const f64* X, const f64* y, i64 n, i64 p, bool intercept, const f64* beta,
                  const f64* G_base, const f64* g) {
    if (!intercept) return trova::regression::residual_sum_of_squares(X, y, beta, n, p);
    const f64 ybar = g[p - 1];
    f64 rss = 0.0;
    for (i64 r = 0; r < n; ++r) {
        const f64* Xr = X + r * p;
        f64 fit = ybar;
        for (i64 j = 1; j < p; ++j) fit += beta[j - 1] * (Xr[j] - G_base[j]);
        const f64 e = y[r] - fit;
        rss += e * e;
    }
    return rss;
}

f64 trova_mc_objective(i64 criterion, f64 rss, i64 n, f64 dof) {
    return trova::regression::trova_ridge_objective(criterion, rss, n, dof);
}

// A fit without rows, with a negative column count, or with an intercept
// but no column for it (b = 1) has nothing to solve: status -1 (as OLS
// reports for its all-zero Gram matrix) and NaN outputs, nothing read.
bool no_design(trova_mc_regression_record* rec, int b) {
    if (rec->n >= 1 && rec->p >= b) return false;
    rec->status = REGRESSION_RANK_DEFICIENT;
    trova_mc_set_failure(rec);
    return true;
}

// The OLS and ridge solves leave NaN data (in y, say) as NaN coefficients
// with status 0; a fit reports them as no solution, -1.
void require_finite(trova_mc_regression_record* rec) {
    if (rec->status == REGRESSION_OK && !trova::regression::all_finite(rec->coef, rec->p))
        rec->status = REGRESSION_RANK_DEFICIENT;
}

// Finishes a penalised fit: NaN outputs on failure, else the intercept (if
// any) and the goodness of fit.
void finish_penalised(const f64* X, const f64* y, bool intercept, trova_mc_regression_record* rec,
                      const f64* G_base, const f64* g) {
    if (rec->status != REGRESSION_OK) {
        trova_mc_set_failure(rec);
        return;
    }
    if (intercept) trova_mc_restore_intercept(rec->coef, rec->p, G_base, g);
    trova_mc_compute_ssr_sst(X, y, rec);
}

// ---- lane layouts: X, y, then each family's scratch, in table order ----

struct Lane {
    f64 *X, *y;
};

Lane data_blocks(Carver& c, i64 n, i64 p) { return {c.take(n, p), c.take(n)}; }

struct OlsLane : Lane {
    f64 *L, *G, *g, *work;
};
OlsLane ols_lane(Carver& c, i64 n, i64 p) {
    OlsLane l{data_blocks(c, n, p), nullptr, nullptr, nullptr, nullptr};
    l.L = c.take(p, p);
    l.G = c.take(p, p);
    l.g = c.take(p);
    l.work = c.take(p);
    return l;
}

struct RidgeLane : Lane {
    f64 *L, *G, *G_unpen, *g, *col;
};
RidgeLane ridge_lane(Carver& c, i64 n, i64 p) {
    RidgeLane l{data_blocks(c, n, p), nullptr, nullptr, nullptr, nullptr, nullptr};
    l.L = c.take(p, p);
    l.G = c.take(p, p);
    l.G_unpen = c.take(p, p);
    l.g = c.take(p);
    l.col = c.take(p);
    return l;
}

struct RidgeGridLane : Lane {
    f64 *G_base, *G, *L, *g, *coef_work, *col;
};
RidgeGridLane ridge_grid_lane(Carver& c, i64 n, i64 p) {
    RidgeGridLane l{data_blocks(c, n, p), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    l.G_base = c.take(p, p);
    l.G = c.take(p, p);
    l.L = c.take(p, p);
    l.g = c.take(p);
    l.coef_work = c.take(p);
    l.col = c.take(p);
    return l;
}

// Lasso and elastic net share one layout.
struct CdLane : Lane {
    f64 *G_base, *G, *g, *Gcoef;
};
CdLane cd_lane(Carver& c, i64 n, i64 p) {
    CdLane l{data_blocks(c, n, p), nullptr, nullptr, nullptr, nullptr};
    l.G_base = c.take(p, p);
    l.G = c.take(p, p);
    l.g = c.take(p);
    l.Gcoef = c.take(p);
    return l;
}

// Columns of X under the penalty: all but the intercept's. A fit with an
// intercept and no columns (p = 0) fails before it reads its lane; it
// penalises nothing, so its lane is sized for none rather than for -1
// columns, which would shrink the lane below its other blocks.
i64 penalised_count(Carver& c, i64 p, int intercept) { return intercept && p != 0 ? c.difference(p, 1) : p; }

struct LassoGridLane : Lane {
    f64 *G_base, *G, *g, *lam_path, *beta_path, *beta_grid, *work;
};
LassoGridLane lasso_grid_lane(Carver& c, i64 n, i64 p, int intercept, i64 n_alpha, i64 max_iter) {
    const i64 d = penalised_count(c, p, intercept);
    const i64 knots = c.sum(max_iter, 1);
    LassoGridLane l{data_blocks(c, n, p), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    l.G_base = c.take(p, p);
    l.G = c.take(p, p);
    l.g = c.take(p);
    l.lam_path = c.take(knots);
    l.beta_path = c.take(knots, d);
    l.beta_grid = c.take(n_alpha, d);
    l.work = c.take(d, c.sum(d, 8));
    return l;
}

struct EnGridLane : Lane {
    f64 *G_base, *G, *g, *beta_grid, *Gcoef, *beta, *dof_work;
};
EnGridLane en_grid_lane(Carver& c, i64 n, i64 p, int intercept, i64 n_alpha) {
    const i64 d = penalised_count(c, p, intercept);
    EnGridLane l{data_blocks(c, n, p), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    l.G_base = c.take(p, p);
    l.G = c.take(p, p);
    l.g = c.take(p);
    l.beta_grid = c.take(n_alpha, d);
    l.Gcoef = c.take(p);
    l.beta = c.take(p);
    l.dof_work = c.take(d, c.sum(c.product(3, d), 1));
    return l;
}

template <class LaneOf>
trova::layout::Size float_size(LaneOf lane_of, i64 n_int = 0) {
    Carver c;
    lane_of(c);
    return c.size(n_int);
}

}  // namespace

extern "C" {

// ---- fits ----

TROVA_API void trova_mc_ols_fit(const f64* X, const f64* y, trova_mc_regression_record* rec, f64* L, f64* G,
                                f64* g, f64* work) {
    const i64 n = rec->n, p = rec->p;
    if (no_design(rec, 0)) return;
    trova_ols_chol_solve(X, y, n, p, rec->coef, L, &rec->status, G, g);
    require_finite(rec);
    if (rec->status != REGRESSION_OK) {
        trova_mc_set_failure(rec);
        return;
    }
    trova_mc_compute_ssr_sst(X, y, rec);
    if (rec->se == nullptr) return;
    if (n <= p) {
        fill_nan(rec->se, p);
        return;
    }
    // se_i^2 = sigma^2 [(X'X)^-1]_ii = sigma^2 |L^-1 e_i|^2.
    const f64 sigma2 = rec->ssr / static_cast<f64>(n - p);
    for (i64 i = 0; i < p; ++i) {
        for (i64 j = 0; j < p; ++j) work[j] = j == i ? 1.0 : 0.0;
        trova_forward_subst(L, work, work, p);
        rec->se[i] = std::sqrt(sigma2 * trova::dense::dot(work, work, p));
    }
}

TROVA_API void trova_mc_ridge_fit(const f64* X, const f64* y, f64 alpha, int intercept,
                                  trova_mc_regression_record* rec, f64* L, f64* G, f64* G_unpen, f64* g,
                                  f64* col) {
    if (no_design(rec, 0)) return;
    f64 dof;
    trova_chol_solve_L2(X, y, rec->n, rec->p, alpha, intercept, rec->coef, L, &dof, &rec->status, G, G_unpen,
                        g, col);
    require_finite(rec);
    if (rec->status != REGRESSION_OK) {
        trova_mc_set_failure(rec);
        return;
    }
    trova_mc_compute_ssr_sst(X, y, rec);
}

TROVA_API void trova_mc_ridge_gs_fit(const f64* X, const f64* y, const f64* alphas, i64 n_alpha,
                                     i64 criterion, int intercept, trova_mc_regression_record* rec,
                                     f64* G_base, f64* G, f64* L, f64* g, f64* coef_work, f64* col) {
    if (no_design(rec, 0)) return;
    f64 alpha, obj;
    trova_ridge_grid_search(X, y, rec->n, rec->p, alphas, n_alpha, criterion, intercept, &alpha, rec->coef,
                            &obj, &rec->status, G_base, G, g, L, coef_work, col);
    if (rec->status != REGRESSION_OK) {
        trova_mc_set_failure(rec);
        return;
    }
    trova_mc_compute_ssr_sst(X, y, rec);
}

TROVA_API void trova_mc_lasso_fit(const f64* X, const f64* y, f64 alpha, int intercept, i64 max_iter,
                                  f64 tol, trova_mc_regression_record* rec, f64* G_base, f64* G, f64* g,
                                  f64* Gcoef) {
    const i64 n = rec->n, p = rec->p, b = intercept ? 1 : 0, k = p - b;
    if (no_design(rec, static_cast<int>(b))) return;
    trova_mc_sparse_gram(X, y, n, p, intercept != 0, G_base, G, g);
    rec->status = trova_lasso_gram_cd(G, g, k, alpha, max_iter, tol, rec->coef + b, Gcoef);
    finish_penalised(X, y, intercept != 0, rec, G_base, g);
}

TROVA_API void trova_mc_lasso_gs_fit(const f64* X, const f64* y, const f64* alphas, i64 n_alpha,
                                     int intercept, i64 max_iter, f64 tol, trova_mc_regression_record* rec,
                                     f64* G_base, f64* G, f64* g, f64* lam_path, f64* beta_path,
                                     f64* beta_grid, f64* work) {
    const i64 n = rec->n, p = rec->p, b = intercept ? 1 : 0, k = p - b;
    if (no_design(rec, static_cast<int>(b))) return;
    // An empty grid selects nothing: report it as the other grid fits do. A
    // negative knot budget has no lam_path block (its lane is carved with a
    // negative length), and LARS would write its first knot there.
    if (n_alpha <= 0 || max_iter < 0) {
        rec->status = REGRESSION_NON_CONVERGENT;
        trova_mc_set_failure(rec);
        return;
    }
    trova_mc_sparse_gram(X, y, n, p, intercept != 0, G_base, G, g);
    i64 n_knots = 0;
    rec->status = trova_lars_lasso_gram(G, g, k, max_iter, tol, lam_path, beta_path, &n_knots, work);
    if (rec->status != REGRESSION_OK) {
        trova_mc_set_failure(rec);
        return;
    }
    trova_lasso_path_eval(lam_path, beta_path, n_knots, k, alphas, n_alpha, beta_grid);
    // The first grid point with a rss is taken, a later one only when its
    // rss is strictly smaller; a NaN rss (a NaN penalty) never wins, and a
    // grid of nothing else selects nothing.
    i64 chosen = -1;
    f64 best = 0.0;
    for (i64 a = 0; a < n_alpha; ++a) {
        const f64 rss = penalised_rss(X, y, n, p, intercept != 0, beta_grid + a * k, G_base, g);
        if (std::isnan(rss)) continue;
        if (chosen < 0 || rss < best) {
            chosen = a;
            best = rss;
        }
    }
    if (chosen < 0) {
        rec->status = REGRESSION_NON_CONVERGENT;
        trova_mc_set_failure(rec);
        return;
    }
    for (i64 j = 0; j < k; ++j) rec->coef[b + j] = beta_grid[chosen * k + j];
    finish_penalised(X, y, intercept != 0, rec, G_base, g);
}

TROVA_API void trova_mc_elastic_net_fit(const f64* X, const f64* y, f64 alpha, f64 l1_ratio, int intercept,
                                        i64 max_iter, f64 tol, trova_mc_regression_record* rec,
                                        f64* G_base, f64* G, f64* g, f64* Gcoef) {
    const i64 n = rec->n, p = rec->p, b = intercept ? 1 : 0, k = p - b;
    if (no_design(rec, static_cast<int>(b))) return;
    trova_mc_sparse_gram(X, y, n, p, intercept != 0, G_base, G, g);
    for (i64 j = 0; j < k; ++j) Gcoef[j] = 0.0;  // also the zero start
    rec->status = trova_en_gram_cd(G, g, k, alpha * l1_ratio, (1.0 - l1_ratio) * alpha, Gcoef, max_iter, tol,
                                   rec->coef + b, Gcoef);
    finish_penalised(X, y, intercept != 0, rec, G_base, g);
}

TROVA_API void trova_mc_elastic_net_gs_fit(const f64* X, const f64* y, const f64* alphas, i64 n_alpha,
                                           f64 l1_ratio, i64 criterion, int intercept, i64 max_iter,
                                           f64 tol, trova_mc_regression_record* rec, f64* G_base, f64* G,
                                           f64* g, f64* beta_grid, i64* statuses, f64* Gcoef, f64* beta,
                                           f64* dof_work) {
    const i64 n = rec->n, p = rec->p, b = intercept ? 1 : 0, k = p - b;
    if (no_design(rec, static_cast<int>(b))) return;
    // An empty grid selects nothing; a negative one would have the path
    // clear its warm start where the lane has no block for it.
    if (n_alpha <= 0) {
        rec->status = REGRESSION_NON_CONVERGENT;
        trova_mc_set_failure(rec);
        return;
    }
    trova_mc_sparse_gram(X, y, n, p, intercept != 0, G_base, G, g);
    trova_en_gram_cd_path(G, g, k, alphas, n_alpha, l1_ratio, max_iter, tol, beta_grid, statuses, Gcoef, beta);
    f64 best = std::numeric_limits<f64>::infinity();
    for (i64 a = 0; a < n_alpha; ++a) {
        if (statuses[a] != REGRESSION_OK) continue;
        const f64* row = beta_grid + a * k;
        const f64 rss = penalised_rss(X, y, n, p, intercept != 0, row, G_base, g);
        const f64 dof = trova_en_active_dof(G, row, k, (1.0 - l1_ratio) * alphas[a], intercept, tol, dof_work);
        const f64 obj = trova_mc_objective(criterion, rss, n, dof);
        if (obj < best) {
            rec->status = REGRESSION_OK;
            for (i64 j = 0; j < k; ++j) rec->coef[b + j] = row[j];
            best = obj;
        }
    }
    if (best > std::numeric_limits<f64>::max()) rec->status = REGRESSION_NON_CONVERGENT;
    finish_penalised(X, y, intercept != 0, rec, G_base, g);
}

// ---- sizers ----

}  // extern "C"

namespace trova::sizing {

Size ols_work(i64 n, i64 p) { return float_size([&](Carver& c) { ols_lane(c, n, p); }); }
Size ridge_work(i64 n, i64 p) { return float_size([&](Carver& c) { ridge_lane(c, n, p); }); }
Size ridge_gs_work(i64 n, i64 p) { return float_size([&](Carver& c) { ridge_grid_lane(c, n, p); }); }
Size lasso_work(i64 n, i64 p) { return float_size([&](Carver& c) { cd_lane(c, n, p); }); }
Size lasso_gs_work(i64 n, i64 p, int intercept, i64 n_alpha, i64 max_iter) {
    return float_size([&](Carver& c) { lasso_grid_lane(c, n, p, intercept, n_alpha, max_iter); });
}
Size elastic_net_work(i64 n, i64 p) { return float_size([&](Carver& c) { cd_lane(c, n, p); }); }
// The integer lane holds the grid's statuses.
Size elastic_net_gs_work(i64 n, i64 p, int intercept, i64 n_alpha) {
    return float_size([&](Carver& c) { en_grid_lane(c, n, p, intercept, n_alpha); }, n_alpha);
}

}  // namespace trova::sizing

extern "C" {

using trova::layout::native;
namespace sizing = trova::sizing;

TROVA_API arena_size trova_mc_ols_work_arena_size(i64 n, i64 p) { return native(sizing::ols_work(n, p)); }
TROVA_API arena_size trova_mc_ridge_work_arena_size(i64 n, i64 p) { return native(sizing::ridge_work(n, p)); }
TROVA_API arena_size trova_mc_ridge_gs_work_arena_size(i64 n, i64 p) {
    return native(sizing::ridge_gs_work(n, p));
}
TROVA_API arena_size trova_mc_lasso_work_arena_size(i64 n, i64 p) { return native(sizing::lasso_work(n, p)); }
TROVA_API arena_size trova_mc_lasso_gs_work_arena_size(i64 n, i64 p, int intercept, i64 n_alpha,
                                                       i64 max_iter) {
    return native(sizing::lasso_gs_work(n, p, intercept, n_alpha, max_iter));
}
TROVA_API arena_size trova_mc_elastic_net_work_arena_size(i64 n, i64 p) {
    return native(sizing::elastic_net_work(n, p));
}
TROVA_API arena_size trova_mc_elastic_net_gs_work_arena_size(i64 n, i64 p, int intercept, i64 n_alpha) {
    return native(sizing::elastic_net_gs_work(n, p, intercept, n_alpha));
}

TROVA_API i64 trova_mc_regression_output_offsets(i64 p, int with_se, trova_regression_output_offsets* out) {
    Carver c;
    const trova_regression_output_offsets at = regression_output_layout(c, p, with_se != 0);
    const i64 size = p < 0 ? -1 : trova::layout::native_count(c.size());
    if (out != nullptr) *out = size < 0 ? trova_regression_output_offsets{-1, -1, -1, -1} : at;
    return size;
}

// ---- step functions ----

}  // extern "C"

namespace {

// The common body of the seven step functions: the record over the output
// lane, the family's lane carved from the input lane, the fit, the status.
template <class Ctx, class MakeLane, class Fit>
int regression_step(const void* ctx, f64* float_in_work, f64* float_out, i64* int_out, bool with_se,
                    MakeLane make_lane, Fit fit) {
    const Ctx& c = *static_cast<const Ctx*>(ctx);
    // With p < 0 the output lane has no layout, so only the status is
    // written.
    if (c.p < 0) {
        if (int_out != nullptr) int_out[0] = REGRESSION_RANK_DEFICIENT;
        return REGRESSION_RANK_DEFICIENT;
    }
    Carver out_carver(float_out);
    const trova_regression_output_offsets at = regression_output_layout(out_carver, c.p, with_se);
    trova_mc_regression_record rec = trova_mc_regression_output_record(c.n, c.p, float_out, at);
    Carver carver(float_in_work);
    fit(c, make_lane(carver, c), &rec);
    return trova_mc_regression_status(rec, float_out, at, int_out);
}

}  // namespace

extern "C" {

TROVA_API int trova_mc_ols_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                  const void* ctx) {
    using C = trova_mc_ols_step_ctx;
    return regression_step<C>(
        ctx, float_in_work, float_out, int_out, true, [](Carver& cv, const C& c) { return ols_lane(cv, c.n, c.p); },
        [](const C&, const OlsLane& l, trova_mc_regression_record* rec) {
            trova_mc_ols_fit(l.X, l.y, rec, l.L, l.G, l.g, l.work);
        });
}

TROVA_API int trova_mc_ridge_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                    const void* ctx) {
    using C = trova_mc_ridge_step_ctx;
    return regression_step<C>(
        ctx, float_in_work, float_out, int_out, false,
        [](Carver& cv, const C& c) { return ridge_lane(cv, c.n, c.p); },
        [](const C& c, const RidgeLane& l, trova_mc_regression_record* rec) {
            trova_mc_ridge_fit(l.X, l.y, c.alpha, c.intercept, rec, l.L, l.G, l.G_unpen, l.g, l.col);
        });
}

TROVA_API int trova_mc_ridge_gs_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                       const void* ctx) {
    using C = trova_mc_ridge_gs_step_ctx;
    return regression_step<C>(
        ctx, float_in_work, float_out, int_out, false,
        [](Carver& cv, const C& c) { return ridge_grid_lane(cv, c.n, c.p); },
        [](const C& c, const RidgeGridLane& l, trova_mc_regression_record* rec) {
            trova_mc_ridge_gs_fit(l.X, l.y, c.alphas, c.n_alpha, c.criterion, c.intercept, rec, l.G_base, l.G, l.L,
                                  l.g, l.coef_work, l.col);
        });
}

TROVA_API int trova_mc_lasso_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                    const void* ctx) {
    using C = trova_mc_lasso_step_ctx;
    return regression_step<C>(
        ctx, float_in_work, float_out, int_out, false, [](Carver& cv, const C& c) { return cd_lane(cv, c.n, c.p); },
        [](const C& c, const CdLane& l, trova_mc_regression_record* rec) {
            trova_mc_lasso_fit(l.X, l.y, c.alpha, c.intercept, c.max_iter, c.tol, rec, l.G_base, l.G, l.g, l.Gcoef);
        });
}

TROVA_API int trova_mc_lasso_gs_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                       const void* ctx) {
    using C = trova_mc_lasso_gs_step_ctx;
    return regression_step<C>(
        ctx, float_in_work, float_out, int_out, false,
        [](Carver& cv, const C& c) { return lasso_grid_lane(cv, c.n, c.p, c.intercept, c.n_alpha, c.max_iter); },
        [](const C& c, const LassoGridLane& l, trova_mc_regression_record* rec) {
            trova_mc_lasso_gs_fit(l.X, l.y, c.alphas, c.n_alpha, c.intercept, c.max_iter, c.tol, rec, l.G_base, l.G,
                                  l.g, l.lam_path, l.beta_path, l.beta_grid, l.work);
        });
}

TROVA_API int trova_mc_elastic_net_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                          const void* ctx) {
    using C = trova_mc_elastic_net_step_ctx;
    return regression_step<C>(
        ctx, float_in_work, float_out, int_out, false, [](Carver& cv, const C& c) { return cd_lane(cv, c.n, c.p); },
        [](const C& c, const CdLane& l, trova_mc_regression_record* rec) {
            trova_mc_elastic_net_fit(l.X, l.y, c.alpha, c.l1_ratio, c.intercept, c.max_iter, c.tol, rec, l.G_base,
                                     l.G, l.g, l.Gcoef);
        });
}

TROVA_API int trova_mc_elastic_net_gs_runner(i64, f64* float_in_work, f64* float_out, i64* int_work,
                                             i64* int_out, const void* ctx) {
    using C = trova_mc_elastic_net_gs_step_ctx;
    return regression_step<C>(
        ctx, float_in_work, float_out, int_out, false,
        [](Carver& cv, const C& c) { return en_grid_lane(cv, c.n, c.p, c.intercept, c.n_alpha); },
        [int_work](const C& c, const EnGridLane& l, trova_mc_regression_record* rec) {
            trova_mc_elastic_net_gs_fit(l.X, l.y, c.alphas, c.n_alpha, c.l1_ratio, c.criterion, c.intercept,
                                        c.max_iter, c.tol, rec, l.G_base, l.G, l.g, l.beta_grid, int_work, l.Gcoef,
                                        l.beta, l.dof_work);
        });
}

}  // extern "C"
