/* Regression: OLS and ridge through Cholesky factors of Gram matrices, the
 * ridge penalty grid with AIC, BIC or loss selection, lasso by coordinate
 * descent and by the LARS path, elastic net with warm-started penalty paths,
 * and the seven pipeline regression step families.
 *
 * The lasso and elastic-net solvers work on the Gram form: for G = X'X/n and
 * g = X'y/n they minimise 1/2 b'Gb - g'b + a1 |b|_1 + 1/2 a2 |b|^2, which is
 * (1/(2n)) |y - Xb|^2 + a1 |b|_1 + 1/2 a2 |b|^2. Nothing here allocates. */
#ifndef TROVA_REGRESSION_H
#define TROVA_REGRESSION_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

enum {
    REGRESSION_OK = 0,
    REGRESSION_RANK_DEFICIENT = -1,
    REGRESSION_NON_CONVERGENT = -2
};

/* Selection criteria of the grid searches; any other value acts as BIC. */
enum {
    REGRESSION_CRIT_AIC = 1,
    REGRESSION_CRIT_BIC = 2,
    REGRESSION_CRIT_LOSS = 3
};

/* ---- OLS and ridge ---- */

/* coef = (X'X)^-1 X'y; G = X'X, g = X'y, L its factor. A factor that does
 * not exist (a NaN pivot, from NaN in X, included) gives status -1 and NaN
 * coefficients. Data that leave the factor intact but are not finite (NaN
 * in y) give NaN coefficients with status 0. */
TROVA_API void trova_ols_chol_solve(const f64* X, const f64* y, i64 n, i64 p, f64* coef, f64* L,
                                    i64* status, f64* G, f64* g);
/* (X'X/n + alpha D) coef = X'y/n with D = I, or D[0][0] = 0 when intercept
 * is nonzero; dof = trace((X'X/n + alpha D)^-1 X'X/n). Status -1 with NaN
 * coefficients and dof when n < 1 or alpha is NaN (nothing is read then) or
 * when the factor does not exist; NaN in y alone gives NaN coefficients with
 * status 0, as for OLS. */
TROVA_API void trova_chol_solve_L2(const f64* X, const f64* y, i64 n, i64 p, f64 alpha, i64 intercept,
                                   f64* coef, f64* L, f64* dof, i64* status, f64* G, f64* G_unpen, f64* g,
                                   f64* col);
/* The penalty of `alphas` with the smallest objective; num <= 0 writes
 * nothing. A penalty fails when n < 1, when it is NaN, when its factor does
 * not exist, or when its coefficients or objective come out non-finite or
 * NaN. The first penalty that does not fail is taken whatever its objective,
 * a later one only when strictly better (ties keep the earlier), so a NaN
 * objective never wins. When every penalty fails: out_alpha = alphas[0],
 * out_obj = +inf, out_status = -1, NaN coefficients. */
TROVA_API void trova_ridge_grid_search(const f64* X, const f64* y, i64 n, i64 p, const f64* alphas, i64 num,
                                       i64 criterion, i64 intercept, f64* out_alpha, f64* out_coef,
                                       f64* out_obj, i64* out_status, f64* G_base, f64* G, f64* g, f64* L,
                                       f64* coef, f64* col);

/* ---- lasso ---- */

/* Cyclic coordinate descent from zero; 0 when a sweep moves no coefficient
 * by tol or more, -2 when max_iter sweeps do not get there. A NaN penalty,
 * or a NaN met in the descent (NaN in G or g), is no convergence: -2 at
 * once, with the last iterate in coef. */
TROVA_API i64 trova_lasso_gram_cd(const f64* G, const f64* g, i64 k, f64 alpha, i64 max_iter, f64 tol,
                                  f64* coef, f64* Gcoef);
/* The lasso path by LARS: knots (lam_path[i], beta_path row i), at most
 * max_iter + 1 of them, from the all-zero solution down to lambda <= tol.
 * work holds k^2 + 8k values. Status 0, or -2 when max_iter runs out or the
 * active system is not positive (the knots written stay valid, n_knots
 * counts them); a NaN or infinite entry of G or c gives -2 with n_knots = 0
 * and no knot written. Data in another unit s give the same knots with
 * penalties times s^2 (tol itself is absolute). */
TROVA_API i64 trova_lars_lasso_gram(const f64* G, const f64* c, i64 k, i64 max_iter, f64 tol,
                                    f64* lam_path, f64* beta_path, i64* n_knots, f64* work);
/* The piecewise-linear path at each penalty of lam_grid (rows of out): zeros
 * at or above lam_path[0], the last knot at or below the last penalty. 0, or
 * -1 when n_knots < 1 or k < 0 (no path: nothing is read or written). */
TROVA_API i64 trova_lasso_path_eval(const f64* lam_path, const f64* beta_path, i64 n_knots, i64 k,
                                    const f64* lam_grid, i64 n_grid, f64* out);

/* ---- elastic net ---- */

/* Coordinate descent from beta0; statuses as for the lasso: a NaN penalty,
 * or a NaN met in the descent (NaN in G, g or beta0), is -2, never
 * convergence, and a result that is not finite is never 0. */
TROVA_API i64 trova_en_gram_cd(const f64* G, const f64* g, i64 k, f64 alpha_l1, f64 alpha_l2,
                               const f64* beta0, i64 max_iter, f64 tol, f64* coef, f64* Gcoef);
/* Every penalty of alpha_grid (split as alpha l1_ratio and alpha
 * (1 - l1_ratio)) from the largest down, each warm-started from the last;
 * results and statuses at the grid index of their penalty. */
TROVA_API void trova_en_gram_cd_path(const f64* G, const f64* g, i64 k, const f64* alpha_grid, i64 n_alpha,
                                     f64 l1_ratio, i64 max_iter, f64 tol, f64* coefs, i64* statuses,
                                     f64* Gcoef, f64* beta);
/* (intercept ? 1 : 0) + trace((G_AA + alpha_l2 I)^-1 G_AA) over the active
 * set {j : |beta_j| > atol}, or (intercept ? 1 : 0) + the number of active
 * variables when G_AA + alpha_l2 I cannot be factored (collinear active
 * columns); work holds 3k^2 + k values. */
TROVA_API f64 trova_en_active_dof(const f64* G, const f64* beta, i64 k, f64 alpha_l2, i64 intercept,
                                  f64 atol, f64* work);

/* ---- pipeline steps ----
 * Float input lane: X (n x p) at 0, y (n) behind it, then the fit's scratch.
 * Float output lane: coef (p), ssr, sst, and for OLS the p standard errors.
 * Integer output lane: the status. With an intercept, column 0 of X is the
 * caller's column of ones; the penalised fits then centre the other columns
 * and leave the intercept unpenalised.
 * Every fit with n < 1, p < 0, or (lasso, elastic net and their grids) an
 * intercept but p < 1 reports -1 with NaN outputs; a step whose context has
 * p < 0 writes only its status, -1. A failed fit (status non-zero) leaves
 * NaN coefficients, sums and standard errors. NaN or infinite data fail
 * every fit (OLS, ridge and the ridge grid with -1; the lasso, the lasso
 * grid, the elastic net and its grid with -2). The lasso grid selects by
 * in-sample rss, where a NaN rss (a NaN penalty) never wins; a grid without
 * any other point reports -2. */

typedef struct trova_mc_regression_record {
    i64 n;
    i64 p;
    f64* coef;
    f64* se;
    f64 ssr;
    f64 sst;
    i64 status;
} trova_mc_regression_record;

typedef struct trova_mc_ols_step_ctx {
    i64 n;
    i64 p;
    int intercept;
} trova_mc_ols_step_ctx;

typedef struct trova_mc_ridge_step_ctx {
    i64 n;
    i64 p;
    int intercept;
    f64 alpha;
} trova_mc_ridge_step_ctx;

typedef struct trova_mc_ridge_gs_step_ctx {
    const f64* alphas;
    i64 n;
    i64 p;
    i64 n_alpha;
    i64 criterion;
    int intercept;
} trova_mc_ridge_gs_step_ctx;

typedef struct trova_mc_lasso_step_ctx {
    i64 n;
    i64 p;
    int intercept;
    i64 max_iter;
    f64 tol;
    f64 alpha;
} trova_mc_lasso_step_ctx;

typedef struct trova_mc_lasso_gs_step_ctx {
    const f64* alphas;
    i64 n;
    i64 p;
    i64 n_alpha;
    int intercept;
    i64 max_iter;
    f64 tol;
} trova_mc_lasso_gs_step_ctx;

typedef struct trova_mc_elastic_net_step_ctx {
    i64 n;
    i64 p;
    int intercept;
    i64 max_iter;
    f64 tol;
    f64 alpha;
    f64 l1_ratio;
} trova_mc_elastic_net_step_ctx;

typedef struct trova_mc_elastic_net_gs_step_ctx {
    const f64* alphas;
    i64 n;
    i64 p;
    i64 n_alpha;
    i64 criterion;
    int intercept;
    i64 max_iter;
    f64 tol;
    f64 l1_ratio;
} trova_mc_elastic_net_gs_step_ctx;

TROVA_API void trova_mc_ols_fit(const f64* X, const f64* y, trova_mc_regression_record* rec, f64* L, f64* G,
                                f64* g, f64* work);
TROVA_API void trova_mc_ridge_fit(const f64* X, const f64* y, f64 alpha, int intercept,
                                  trova_mc_regression_record* rec, f64* L, f64* G, f64* G_unpen, f64* g,
                                  f64* col);
TROVA_API void trova_mc_ridge_gs_fit(const f64* X, const f64* y, const f64* alphas, i64 n_alpha,
                                     i64 criterion, int intercept, trova_mc_regression_record* rec,
                                     f64* G_base, f64* G, f64* L, f64* g, f64* coef_work, f64* col);
TROVA_API void trova_mc_lasso_fit(const f64* X, const f64* y, f64 alpha, int intercept, i64 max_iter,
                                  f64 tol, trova_mc_regression_record* rec, f64* G_base, f64* G, f64* g,
                                  f64* Gcoef);
TROVA_API void trova_mc_lasso_gs_fit(const f64* X, const f64* y, const f64* alphas, i64 n_alpha,
                                     int intercept, i64 max_iter, f64 tol, trova_mc_regression_record* rec,
                                     f64* G_base, f64* G, f64* g, f64* lam_path, f64* beta_path,
                                     f64* beta_grid, f64* work);
TROVA_API void trova_mc_elastic_net_fit(const f64* X, const f64* y, f64 alpha, f64 l1_ratio, int intercept,
                                        i64 max_iter, f64 tol, trova_mc_regression_record* rec,
                                        f64* G_base, f64* G, f64* g, f64* Gcoef);
TROVA_API void trova_mc_elastic_net_gs_fit(const f64* X, const f64* y, const f64* alphas, i64 n_alpha,
                                           f64 l1_ratio, i64 criterion, int intercept, i64 max_iter,
                                           f64 tol, trova_mc_regression_record* rec, f64* G_base, f64* G,
                                           f64* g, f64* beta_grid, i64* statuses, f64* Gcoef, f64* beta,
                                           f64* dof_work);

/* Whole float input/work lane (X and y included) and integer work lane;
 * {-1, -1} when a count does not fit in 64 bits. */
TROVA_API arena_size trova_mc_ols_work_arena_size(i64 n, i64 p);
TROVA_API arena_size trova_mc_ridge_work_arena_size(i64 n, i64 p);
TROVA_API arena_size trova_mc_ridge_gs_work_arena_size(i64 n, i64 p);
TROVA_API arena_size trova_mc_lasso_work_arena_size(i64 n, i64 p);
TROVA_API arena_size trova_mc_lasso_gs_work_arena_size(i64 n, i64 p, int intercept, i64 n_alpha,
                                                       i64 max_iter);
TROVA_API arena_size trova_mc_elastic_net_work_arena_size(i64 n, i64 p);
TROVA_API arena_size trova_mc_elastic_net_gs_work_arena_size(i64 n, i64 p, int intercept, i64 n_alpha);

TROVA_API int trova_mc_ols_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                  i64* int_out, const void* ctx);
TROVA_API int trova_mc_ridge_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                    i64* int_out, const void* ctx);
TROVA_API int trova_mc_ridge_gs_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                       i64* int_out, const void* ctx);
TROVA_API int trova_mc_lasso_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                    i64* int_out, const void* ctx);
TROVA_API int trova_mc_lasso_gs_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                       i64* int_out, const void* ctx);
TROVA_API int trova_mc_elastic_net_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                          i64* int_out, const void* ctx);
TROVA_API int trova_mc_elastic_net_gs_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                             i64* int_work, i64* int_out, const void* ctx);

/** Offsets of the blocks of a regression step's float output lane, in
 * elements from the start of the lane (see
 * trova_mc_regression_output_offsets). Each non-empty block is followed by
 * trova_layout_gap() elements. */
typedef struct trova_regression_output_offsets {
    i64 coef; /**< p coefficients, in the column order of X */
    i64 ssr;  /**< residual sum of squares, 1 value */
    i64 sst;  /**< total sum of squares about the mean of y, 1 value */
    i64 se;   /**< p standard errors (OLS only); -1 when absent */
} trova_regression_output_offsets;

/** Where a regression step writes each block of its float output lane, and
 * how long that lane must be. The offsets come from the layout code the
 * steps use, so they hold in every build (p + 2 and 2p + 2 values without
 * layout gaps). The integer output lane holds one value, the status.
 * @param p columns of X, intercept column included.
 * @param with_se non-zero for the OLS step, whose lane ends with the
 *        standard errors; 0 for the six penalised families.
 * @param out receives the offsets; may be NULL (only the size is returned).
 *        On -1 every field is set to -1.
 * @return the float output lane's length; -1 for a negative p or a size
 *         that does not fit in 64 bits. */
TROVA_API i64 trova_mc_regression_output_offsets(i64 p, int with_se, trova_regression_output_offsets* out);

TROVA_END_DECLS

#endif /* TROVA_REGRESSION_H */
