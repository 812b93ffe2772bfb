/** @file
 * Regression: OLS and ridge through Cholesky factors of Gram matrices, the
 * ridge penalty grid with AIC, BIC or loss selection, lasso by coordinate
 * descent and by the LARS path, elastic net with warm-started penalty paths,
 * and the seven pipeline regression step families.
 *
 * The lasso and elastic-net solvers work on the Gram form: for G = X'X/n and
 * g = X'y/n they minimise 1/2 b'Gb - g'b + a1 |b|_1 + 1/2 a2 |b|^2, which is
 * (1/(2n)) |y - Xb|^2 + a1 |b|_1 + 1/2 a2 |b|^2. Nothing here allocates.
 *
 * X is n x p and row-major, y has n values, and p counts every column of X,
 * the intercept's column of ones included when there is one; d = p - 1 with
 * an intercept and p without is the number of penalised coefficients of the
 * lasso and the elastic net. Scratch arguments are caller buffers of the
 * sizes given; they hold nothing of value afterwards unless a parameter says
 * so.
 *
 * Pipeline steps. Float input lane: X (n x p) at 0, y (n) behind it, then the
 * fit's scratch, in the order of the fit's scratch arguments (the
 * elastic-net grid's statuses in the integer work lane); the bindings
 * fill X and y. Float output lane: coef (p), ssr, sst, and for OLS the p
 * standard errors (2p + 2 values for OLS, p + 2 for the others, without
 * layout gaps; trova_mc_regression_output_offsets gives each block's
 * offset). Integer output lane: the status. With an intercept, column
 * 0 of X is the caller's column of ones; the penalised fits then centre the
 * other columns and leave the intercept unpenalised.
 * Every fit with n < 1, p < 0, or (lasso, elastic net and their grids) an
 * intercept but p < 1 reports -1 with NaN outputs; a step whose context has
 * p < 0 writes only its status, -1. A failed fit (status non-zero) leaves
 * NaN coefficients, sums and standard errors. NaN or infinite data fail
 * every fit (OLS, ridge and the ridge grid with -1; the lasso, the lasso
 * grid, the elastic net and its grid with -2). The lasso grid selects by
 * in-sample rss, where a NaN rss (a NaN penalty) never wins; a grid without
 * any other point reports -2. A non-zero status is also the step's return
 * value, so a failed fit fails its replication.
 *
 * In a build with layout gaps (TROVA_LAYOUT_GAPS) every non-empty block of
 * the input lane is followed by trova_layout_gap() elements, so y starts at
 * n p + trova_layout_gap() when X is not empty: lane sizes must come from
 * the sizers below, never from sums of the block sizes given here. The
 * output lane's blocks are followed by gaps too: its length and offsets come
 * from trova_mc_regression_output_offsets. Step contexts and their `alphas` arrays are
 * shared by every worker and only read: they must stay valid and unchanged
 * for the whole run. */
#ifndef TROVA_REGRESSION_H
#define TROVA_REGRESSION_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/** Statuses of the regression kernels, fits and steps. */
enum {
    REGRESSION_OK = 0,              /**< success */
    REGRESSION_RANK_DEFICIENT = -1, /**< no factor of the (penalised) Gram matrix, no rows, or data that give no solution */
    REGRESSION_NON_CONVERGENT = -2  /**< a solver out of iterations or stopped by a NaN, or a grid that selects nothing */
};

/** Selection criteria of the grid searches; any other value acts as BIC.
 * With k the effective degrees of freedom and rss the in-sample residual
 * sum of squares, AIC is n ln(rss/n) + 2k and BIC n ln(rss/n) + ln(n) k,
 * both -inf when rss <= 0 (so the first perfect fit wins); the loss is rss. Smaller is
 * better. */
enum {
    REGRESSION_CRIT_AIC = 1, /**< Akaike's criterion */
    REGRESSION_CRIT_BIC = 2, /**< Schwarz's Bayesian criterion */
    REGRESSION_CRIT_LOSS = 3 /**< the residual sum of squares */
};

/* ---- OLS and ridge ---- */

/** coef = (X'X)^-1 X'y; G = X'X, g = X'y, L its factor. A factor that does
 * not exist (a NaN pivot, from NaN in X, included) gives status -1 and NaN
 * coefficients. Data that leave the factor intact but are not finite (NaN
 * in y) give NaN coefficients with status 0.
 * @param X design (n x p)
 * @param y response (n)
 * @param n observations
 * @param p columns of X
 * @param coef coefficients (p)
 * @param L Cholesky factor of G (p x p)
 * @param status written: REGRESSION_OK or REGRESSION_RANK_DEFICIENT
 * @param G X'X (p x p), written
 * @param g X'y (p), written */
TROVA_API void trova_ols_chol_solve(const f64* X, const f64* y, i64 n, i64 p, f64* coef, f64* L,
                                    i64* status, f64* G, f64* g);
/** (X'X/n + alpha D) coef = X'y/n with D = I, or D[0][0] = 0 when intercept
 * is nonzero; dof = trace((X'X/n + alpha D)^-1 X'X/n). Status -1 with NaN
 * coefficients and dof when n < 1 or alpha is NaN (nothing is read then) or
 * when the factor does not exist; NaN in y alone gives NaN coefficients with
 * status 0, as for OLS. No column is centred.
 * @param X design (n x p)
 * @param y response (n)
 * @param n observations
 * @param p columns of X
 * @param alpha ridge penalty
 * @param intercept nonzero: column 0 (the caller's ones) is not penalised
 * @param coef coefficients (p)
 * @param L Cholesky factor of the penalised matrix (p x p)
 * @param dof effective degrees of freedom, written
 * @param status written: REGRESSION_OK or REGRESSION_RANK_DEFICIENT
 * @param G X'X/n + alpha D (p x p), scratch
 * @param G_unpen X'X/n (p x p), scratch
 * @param g X'y/n (p), scratch
 * @param col one column (p), scratch */
TROVA_API void trova_chol_solve_L2(const f64* X, const f64* y, i64 n, i64 p, f64 alpha, i64 intercept,
                                   f64* coef, f64* L, f64* dof, i64* status, f64* G, f64* G_unpen, f64* g,
                                   f64* col);
/** The penalty of `alphas` with the smallest objective; num <= 0 writes
 * no output (only G_base and g). A penalty fails when n < 1, when it is NaN,
 * when its factor does not exist, or when its coefficients or objective come
 * out non-finite or NaN. The first penalty that does not fail is taken
 * whatever its objective, a later one only when strictly better (ties keep
 * the earlier), so a NaN objective never wins. When every penalty fails:
 * out_alpha = alphas[0], out_obj = +inf, out_status = -1, NaN coefficients.
 * The objective is that of the criterion with k = the ridge dof.
 * @param X design (n x p)
 * @param y response (n)
 * @param n observations
 * @param p columns of X
 * @param alphas penalties (num), tried in order
 * @param num number of penalties
 * @param criterion REGRESSION_CRIT_AIC, _BIC or _LOSS; any other value acts as BIC
 * @param intercept nonzero: column 0 (the caller's ones) is not penalised
 * @param out_alpha selected penalty
 * @param out_coef its coefficients (p)
 * @param out_obj its objective
 * @param out_status REGRESSION_OK or REGRESSION_RANK_DEFICIENT
 * @param G_base X'X/n (p x p), scratch
 * @param G penalised matrix (p x p), scratch
 * @param g X'y/n (p), scratch
 * @param L factor (p x p), scratch
 * @param coef one penalty's coefficients (p), scratch
 * @param col one column (p), scratch */
TROVA_API void trova_ridge_grid_search(const f64* X, const f64* y, i64 n, i64 p, const f64* alphas, i64 num,
                                       i64 criterion, i64 intercept, f64* out_alpha, f64* out_coef,
                                       f64* out_obj, i64* out_status, f64* G_base, f64* G, f64* g, f64* L,
                                       f64* coef, f64* col);

/* ---- lasso ---- */

/** Cyclic coordinate descent from zero; 0 when a sweep moves no coefficient
 * by tol or more, -2 when max_iter sweeps do not get there. A NaN penalty,
 * or a NaN met in the descent (NaN in G or g), is no convergence: -2 at
 * once, with the last iterate in coef; a result that is not finite is never
 * 0. Coordinates whose diagonal entry of G is <= 0 are skipped (they stay
 * 0); max_iter <= 0 gives -2.
 * @param G Gram matrix X'X/n (k x k, symmetric)
 * @param g X'y/n (k)
 * @param k number of coefficients
 * @param alpha L1 penalty
 * @param max_iter most sweeps
 * @param tol convergence threshold on a coefficient's move
 * @param coef coefficients (k), zeroed first
 * @param Gcoef G coef, kept up to date (k), scratch
 * @return REGRESSION_OK or REGRESSION_NON_CONVERGENT */
TROVA_API i64 trova_lasso_gram_cd(const f64* G, const f64* g, i64 k, f64 alpha, i64 max_iter, f64 tol,
                                  f64* coef, f64* Gcoef);
/** The lasso path by LARS: knots (lam_path[i], beta_path row i), at most
 * max_iter + 1 of them, from the all-zero solution down to lambda <= tol.
 * work holds k^2 + 8k values. Status 0, or -2 when max_iter runs out or the
 * active system is not positive (the knots written stay valid, n_knots
 * counts them); a NaN or infinite entry of G or c gives -2 with n_knots = 0
 * and no knot written. Data in another unit s give the same knots with
 * penalties times s^2 (tol itself is absolute). The first knot is always
 * written otherwise, even for max_iter <= 0 (status -2 then unless it is
 * already below tol).
 * @param G Gram matrix X'X/n (k x k, symmetric)
 * @param c correlations X'y/n (k)
 * @param k number of coefficients
 * @param max_iter most LARS steps
 * @param tol the penalty at which the path ends
 * @param lam_path penalties of the knots, descending (max(max_iter, 0) + 1)
 * @param beta_path coefficients of the knots (max(max_iter, 0) + 1 rows of k)
 * @param n_knots number of knots written
 * @param work scratch (k^2 + 8k)
 * @return REGRESSION_OK or REGRESSION_NON_CONVERGENT */
TROVA_API i64 trova_lars_lasso_gram(const f64* G, const f64* c, i64 k, i64 max_iter, f64 tol,
                                    f64* lam_path, f64* beta_path, i64* n_knots, f64* work);
/** The piecewise-linear path at each penalty of lam_grid (rows of out): zeros
 * at or above lam_path[0], the last knot at or below the last penalty,
 * linear in the penalty between knots. 0, or -1 when n_knots < 1 or k < 0
 * (no path: nothing is read or written).
 * @param lam_path penalties of the knots, descending (n_knots)
 * @param beta_path coefficients of the knots (n_knots x k)
 * @param n_knots number of knots
 * @param k number of coefficients
 * @param lam_grid penalties to evaluate at (n_grid), any order
 * @param n_grid number of penalties
 * @param out coefficients (n_grid x k)
 * @return 0, or -1 for no path */
TROVA_API i64 trova_lasso_path_eval(const f64* lam_path, const f64* beta_path, i64 n_knots, i64 k,
                                    const f64* lam_grid, i64 n_grid, f64* out);

/* ---- elastic net ---- */

/** Coordinate descent from beta0; statuses as for the lasso: a NaN penalty,
 * or a NaN met in the descent (NaN in G, g or beta0), is -2, never
 * convergence, and a result that is not finite is never 0. Coordinates
 * whose alpha_l2 + G_jj is <= 0 are skipped and keep their start.
 * @param G Gram matrix X'X/n (k x k, symmetric)
 * @param g X'y/n (k)
 * @param k number of coefficients
 * @param alpha_l1 L1 penalty a1
 * @param alpha_l2 L2 penalty a2
 * @param beta0 start (k); read before coef and Gcoef are written, so it may
 *        be either of them
 * @param max_iter most sweeps; <= 0 gives -2
 * @param tol convergence threshold on a coefficient's move
 * @param coef coefficients (k)
 * @param Gcoef (G + alpha_l2 I) coef, kept up to date (k), scratch
 * @return REGRESSION_OK or REGRESSION_NON_CONVERGENT */
TROVA_API i64 trova_en_gram_cd(const f64* G, const f64* g, i64 k, f64 alpha_l1, f64 alpha_l2,
                               const f64* beta0, i64 max_iter, f64 tol, f64* coef, f64* Gcoef);
/** Every penalty of alpha_grid (split as alpha l1_ratio and alpha
 * (1 - l1_ratio)) from the largest down, each warm-started from the last;
 * results and statuses at the grid index of their penalty. A grid whose
 * first value is below its last is walked from its end, any other in
 * stored order. n_alpha < 1 only zeroes beta.
 * @param G Gram matrix X'X/n (k x k, symmetric)
 * @param g X'y/n (k)
 * @param k number of coefficients
 * @param alpha_grid penalties (n_alpha)
 * @param n_alpha number of penalties
 * @param l1_ratio share of the penalty on the L1 term
 * @param max_iter most sweeps per penalty
 * @param tol convergence threshold
 * @param coefs coefficients (n_alpha x k), row i for alpha_grid[i]
 * @param statuses trova_en_gram_cd status per penalty (n_alpha)
 * @param Gcoef scratch (k)
 * @param beta warm start (k), zeroed first; holds the last solution after */
TROVA_API void trova_en_gram_cd_path(const f64* G, const f64* g, i64 k, const f64* alpha_grid, i64 n_alpha,
                                     f64 l1_ratio, i64 max_iter, f64 tol, f64* coefs, i64* statuses,
                                     f64* Gcoef, f64* beta);
/** (intercept ? 1 : 0) + trace((G_AA + alpha_l2 I)^-1 G_AA) over the active
 * set {j : |beta_j| > atol}, or (intercept ? 1 : 0) + the number of active
 * variables when G_AA + alpha_l2 I cannot be factored (collinear active
 * columns); work holds 3k^2 + k values.
 * @param G Gram matrix (k x k)
 * @param beta coefficients (k)
 * @param k number of coefficients; <= 0 gives the intercept term alone
 * @param alpha_l2 L2 penalty
 * @param intercept nonzero: count one more degree of freedom
 * @param atol threshold of the active set
 * @param work scratch (3k^2 + k)
 * @return the effective degrees of freedom */
TROVA_API f64 trova_en_active_dof(const f64* G, const f64* beta, i64 k, f64 alpha_l2, i64 intercept,
                                  f64 atol, f64* work);

/* ---- pipeline steps ---- */

/** The result of one pipeline fit. The step builds it over its output lane
 * for each call (it lives on the step's stack): coef at 0, ssr and sst
 * behind it, se behind them. A direct caller of a fit sets n, p, coef and se
 * and, for the ridge grid, status = REGRESSION_NON_CONVERGENT (an empty grid
 * leaves it as it was); the fit writes the rest. */
typedef struct trova_mc_regression_record {
    i64 n;       /**< observations (rows of X) */
    i64 p;       /**< columns of X, intercept column included */
    f64* coef;   /**< p coefficients in X's column order, written by the fit; never NULL */
    f64* se;     /**< p OLS standard errors (NaN when n <= p), or NULL for none; only OLS computes them */
    f64 ssr;     /**< residual sum of squares over all p columns; NaN on failure */
    f64 sst;     /**< sum of squares of y about its mean (with or without intercept); NaN on failure */
    i64 status;  /**< REGRESSION_OK, REGRESSION_RANK_DEFICIENT or REGRESSION_NON_CONVERGENT */
} trova_mc_regression_record;

/** Context of trova_mc_ols_runner. */
typedef struct trova_mc_ols_step_ctx {
    i64 n;         /**< observations */
    i64 p;         /**< columns of X, intercept column included */
    int intercept; /**< not used: an intercept is the caller's column of ones */
} trova_mc_ols_step_ctx;

/** Context of trova_mc_ridge_runner. */
typedef struct trova_mc_ridge_step_ctx {
    i64 n;         /**< observations */
    i64 p;         /**< columns of X, intercept column included */
    int intercept; /**< nonzero: column 0 is the caller's ones, not penalised (no centring) */
    f64 alpha;     /**< ridge penalty */
} trova_mc_ridge_step_ctx;

/** Context of trova_mc_ridge_gs_runner. */
typedef struct trova_mc_ridge_gs_step_ctx {
    const f64* alphas; /**< penalties (n_alpha), caller-owned for the run; may be NULL when n_alpha <= 0 */
    i64 n;             /**< observations */
    i64 p;             /**< columns of X, intercept column included */
    i64 n_alpha;       /**< number of penalties; <= 0 fails with -2 */
    i64 criterion;     /**< REGRESSION_CRIT_AIC, _BIC or _LOSS; any other value acts as BIC */
    int intercept;     /**< nonzero: column 0 is the caller's ones, not penalised (no centring) */
} trova_mc_ridge_gs_step_ctx;

/** Context of trova_mc_lasso_runner. */
typedef struct trova_mc_lasso_step_ctx {
    i64 n;         /**< observations */
    i64 p;         /**< columns of X, intercept column included */
    int intercept; /**< nonzero: column 0 is the caller's ones; the others are centred, it is not penalised */
    i64 max_iter;  /**< most coordinate-descent sweeps */
    f64 tol;       /**< convergence threshold on a coefficient's move */
    f64 alpha;     /**< L1 penalty */
} trova_mc_lasso_step_ctx;

/** Context of trova_mc_lasso_gs_runner. */
typedef struct trova_mc_lasso_gs_step_ctx {
    const f64* alphas; /**< penalties (n_alpha) read off the LARS path, caller-owned for the run; may be NULL when n_alpha <= 0 */
    i64 n;             /**< observations */
    i64 p;             /**< columns of X, intercept column included */
    i64 n_alpha;       /**< number of penalties; <= 0 fails with -2 */
    int intercept;     /**< nonzero: column 0 is the caller's ones; the others are centred, it is not penalised */
    i64 max_iter;      /**< most LARS steps (at most max_iter + 1 knots); < 0 fails with -2 */
    f64 tol;           /**< the penalty at which the path ends */
} trova_mc_lasso_gs_step_ctx;

/** Context of trova_mc_elastic_net_runner. */
typedef struct trova_mc_elastic_net_step_ctx {
    i64 n;         /**< observations */
    i64 p;         /**< columns of X, intercept column included */
    int intercept; /**< nonzero: column 0 is the caller's ones; the others are centred, it is not penalised */
    i64 max_iter;  /**< most coordinate-descent sweeps */
    f64 tol;       /**< convergence threshold on a coefficient's move */
    f64 alpha;     /**< total penalty: a1 = alpha l1_ratio, a2 = alpha (1 - l1_ratio) */
    f64 l1_ratio;  /**< share of the penalty on the L1 term */
} trova_mc_elastic_net_step_ctx;

/** Context of trova_mc_elastic_net_gs_runner. */
typedef struct trova_mc_elastic_net_gs_step_ctx {
    const f64* alphas; /**< total penalties (n_alpha), caller-owned for the run; may be NULL when n_alpha <= 0 */
    i64 n;             /**< observations */
    i64 p;             /**< columns of X, intercept column included */
    i64 n_alpha;       /**< number of penalties; <= 0 fails with -2 */
    i64 criterion;     /**< REGRESSION_CRIT_AIC, _BIC or _LOSS; any other value acts as BIC */
    int intercept;     /**< nonzero: column 0 is the caller's ones; the others are centred, it is not penalised */
    i64 max_iter;      /**< most coordinate-descent sweeps per penalty */
    f64 tol;           /**< convergence threshold, also the active-set threshold of the dof */
    f64 l1_ratio;      /**< share of the penalty on the L1 term */
} trova_mc_elastic_net_gs_step_ctx;

/** OLS fit of the pipeline step: coefficients by trova_ols_chol_solve, then
 * ssr, sst and, when rec->se is not NULL, the standard errors
 * sqrt(ssr / (n - p) [(X'X)^-1]_ii) (all NaN, status 0, when n <= p).
 * @param X design (n x p)
 * @param y response (n)
 * @param rec the record: n, p, coef and se in, the rest out
 * @param L factor (p x p), scratch
 * @param G X'X (p x p), scratch
 * @param g X'y (p), scratch
 * @param work one column (p), scratch */
TROVA_API void trova_mc_ols_fit(const f64* X, const f64* y, trova_mc_regression_record* rec, f64* L, f64* G,
                                f64* g, f64* work);
/** Ridge fit of the pipeline step: trova_chol_solve_L2 (its dof is not
 * kept), then ssr and sst.
 * @param X design (n x p)
 * @param y response (n)
 * @param alpha ridge penalty
 * @param intercept nonzero: column 0 (the caller's ones) is not penalised
 * @param rec the record: n, p, coef and se in, the rest out
 * @param L factor (p x p), scratch
 * @param G penalised matrix (p x p), scratch
 * @param G_unpen X'X/n (p x p), scratch
 * @param g X'y/n (p), scratch
 * @param col one column (p), scratch */
TROVA_API void trova_mc_ridge_fit(const f64* X, const f64* y, f64 alpha, int intercept,
                                  trova_mc_regression_record* rec, f64* L, f64* G, f64* G_unpen, f64* g,
                                  f64* col);
/** Ridge-grid fit of the pipeline step: trova_ridge_grid_search (the
 * selected penalty and objective are not kept), then ssr and sst.
 * @param X design (n x p)
 * @param y response (n)
 * @param alphas penalties (n_alpha)
 * @param n_alpha number of penalties; <= 0 leaves rec->status as it was
 * @param criterion REGRESSION_CRIT_AIC, _BIC or _LOSS; any other value acts as BIC
 * @param intercept nonzero: column 0 (the caller's ones) is not penalised
 * @param rec the record: n, p, coef, se and status in, the rest out
 * @param G_base X'X/n (p x p), scratch
 * @param G penalised matrix (p x p), scratch
 * @param L factor (p x p), scratch
 * @param g X'y/n (p), scratch
 * @param coef_work one penalty's coefficients (p), scratch
 * @param col one column (p), scratch */
TROVA_API void trova_mc_ridge_gs_fit(const f64* X, const f64* y, const f64* alphas, i64 n_alpha,
                                     i64 criterion, int intercept, trova_mc_regression_record* rec,
                                     f64* G_base, f64* G, f64* L, f64* g, f64* coef_work, f64* col);
/** Lasso fit of the pipeline step: trova_lasso_gram_cd from zero on the
 * (centred, with an intercept) Gram form, the intercept recovered as
 * mean(y) - sum_j coef_j mean(X_j), then ssr and sst.
 * @param X design (n x p)
 * @param y response (n)
 * @param alpha L1 penalty
 * @param intercept nonzero: column 0 is the caller's ones; the others are centred
 * @param max_iter most sweeps
 * @param tol convergence threshold
 * @param rec the record: n, p, coef and se in, the rest out
 * @param G_base X'X/n (p x p), scratch
 * @param G the solver's Gram matrix (d x d, packed with row stride d, in a p x p block), scratch
 * @param g the solver's right-hand side (p), scratch
 * @param Gcoef scratch (p) */
TROVA_API void trova_mc_lasso_fit(const f64* X, const f64* y, f64 alpha, int intercept, i64 max_iter,
                                  f64 tol, trova_mc_regression_record* rec, f64* G_base, f64* G, f64* g,
                                  f64* Gcoef);
/** Lasso-grid fit of the pipeline step: the LARS path once
 * (trova_lars_lasso_gram), read at every penalty of alphas, the grid point
 * with the smallest in-sample rss taken (the first on ties), then the
 * intercept, ssr and sst. n_alpha <= 0 or max_iter < 0 gives -2.
 * @param X design (n x p)
 * @param y response (n)
 * @param alphas penalties (n_alpha)
 * @param n_alpha number of penalties
 * @param intercept nonzero: column 0 is the caller's ones; the others are centred
 * @param max_iter most LARS steps
 * @param tol the penalty at which the path ends
 * @param rec the record: n, p, coef and se in, the rest out
 * @param G_base X'X/n (p x p), scratch
 * @param G the solver's Gram matrix (d x d in a p x p block), scratch
 * @param g the solver's right-hand side (p), scratch
 * @param lam_path knot penalties (max_iter + 1), scratch
 * @param beta_path knot coefficients ((max_iter + 1) x d), scratch
 * @param beta_grid the path at the grid (n_alpha x d), scratch
 * @param work LARS scratch (d^2 + 8d) */
TROVA_API void trova_mc_lasso_gs_fit(const f64* X, const f64* y, const f64* alphas, i64 n_alpha,
                                     int intercept, i64 max_iter, f64 tol, trova_mc_regression_record* rec,
                                     f64* G_base, f64* G, f64* g, f64* lam_path, f64* beta_path,
                                     f64* beta_grid, f64* work);
/** Elastic-net fit of the pipeline step: trova_en_gram_cd from zero with
 * a1 = alpha l1_ratio and a2 = alpha (1 - l1_ratio), then the intercept, ssr
 * and sst.
 * @param X design (n x p)
 * @param y response (n)
 * @param alpha total penalty
 * @param l1_ratio share of the penalty on the L1 term
 * @param intercept nonzero: column 0 is the caller's ones; the others are centred
 * @param max_iter most sweeps
 * @param tol convergence threshold
 * @param rec the record: n, p, coef and se in, the rest out
 * @param G_base X'X/n (p x p), scratch
 * @param G the solver's Gram matrix (d x d in a p x p block), scratch
 * @param g the solver's right-hand side (p), scratch
 * @param Gcoef scratch (p) */
TROVA_API void trova_mc_elastic_net_fit(const f64* X, const f64* y, f64 alpha, f64 l1_ratio, int intercept,
                                        i64 max_iter, f64 tol, trova_mc_regression_record* rec,
                                        f64* G_base, f64* G, f64* g, f64* Gcoef);
/** Elastic-net grid fit of the pipeline step: trova_en_gram_cd_path over
 * alphas, then among the converged grid points the one with the smallest
 * objective (criterion with k = trova_en_active_dof at atol = tol; the first
 * on ties, never a NaN objective), the intercept, ssr and sst. No converged
 * point, or n_alpha <= 0, gives -2.
 * @param X design (n x p)
 * @param y response (n)
 * @param alphas total penalties (n_alpha)
 * @param n_alpha number of penalties
 * @param l1_ratio share of the penalty on the L1 term
 * @param criterion REGRESSION_CRIT_AIC, _BIC or _LOSS; any other value acts as BIC
 * @param intercept nonzero: column 0 is the caller's ones; the others are centred
 * @param max_iter most sweeps per penalty
 * @param tol convergence threshold
 * @param rec the record: n, p, coef and se in, the rest out
 * @param G_base X'X/n (p x p), scratch
 * @param G the solver's Gram matrix (d x d in a p x p block), scratch
 * @param g the solver's right-hand side (p), scratch
 * @param beta_grid coefficients per penalty (n_alpha x d), scratch
 * @param statuses status per penalty (n_alpha), scratch (the step's integer work lane)
 * @param Gcoef scratch (p)
 * @param beta warm start (p), scratch
 * @param dof_work scratch (3d^2 + d) */
TROVA_API void trova_mc_elastic_net_gs_fit(const f64* X, const f64* y, const f64* alphas, i64 n_alpha,
                                           f64 l1_ratio, i64 criterion, int intercept, i64 max_iter,
                                           f64 tol, trova_mc_regression_record* rec, f64* G_base, f64* G,
                                           f64* g, f64* beta_grid, i64* statuses, f64* Gcoef, f64* beta,
                                           f64* dof_work);

/** Sizer of the OLS step: whole float input/work lane (X and y included) and
 * integer work lane; {-1, -1} when a count does not fit in 64 bits. The
 * other regression sizers below report the same way. Blocks: X, y, L (p^2),
 * G (p^2), g (p), work (p).
 * @param n observations
 * @param p columns of X
 * @return {n_float, 0} */
TROVA_API arena_size trova_mc_ols_work_arena_size(i64 n, i64 p);
/** Sizer of the ridge step. Blocks: X, y, L (p^2), G (p^2), G_unpen (p^2),
 * g (p), col (p).
 * @param n observations
 * @param p columns of X
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_mc_ridge_work_arena_size(i64 n, i64 p);
/** Sizer of the ridge-grid step. Blocks: X, y, G_base (p^2), G (p^2),
 * L (p^2), g (p), coef_work (p), col (p).
 * @param n observations
 * @param p columns of X
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_mc_ridge_gs_work_arena_size(i64 n, i64 p);
/** Sizer of the lasso step. Blocks: X, y, G_base (p^2), G (p^2), g (p),
 * Gcoef (p).
 * @param n observations
 * @param p columns of X
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_mc_lasso_work_arena_size(i64 n, i64 p);
/** Sizer of the lasso-grid step. Blocks: X, y, G_base (p^2), G (p^2),
 * g (p), lam_path (max_iter + 1), beta_path ((max_iter + 1) d), beta_grid
 * (n_alpha d), work (d^2 + 8d).
 * @param n observations
 * @param p columns of X
 * @param intercept nonzero when column 0 is the intercept (d = p - 1)
 * @param n_alpha number of penalties
 * @param max_iter most LARS steps
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_mc_lasso_gs_work_arena_size(i64 n, i64 p, int intercept, i64 n_alpha,
                                                       i64 max_iter);
/** Sizer of the elastic-net step: the lasso step's layout.
 * @param n observations
 * @param p columns of X
 * @return {n_float, 0}, or {-1, -1} */
TROVA_API arena_size trova_mc_elastic_net_work_arena_size(i64 n, i64 p);
/** Sizer of the elastic-net grid step. Blocks: X, y, G_base (p^2),
 * G (p^2), g (p), beta_grid (n_alpha d), Gcoef (p), beta (p), dof_work
 * (3d^2 + d); the integer work lane holds the grid's n_alpha statuses.
 * @param n observations
 * @param p columns of X
 * @param intercept nonzero when column 0 is the intercept (d = p - 1)
 * @param n_alpha number of penalties
 * @return {n_float, n_alpha}, or {-1, -1} */
TROVA_API arena_size trova_mc_elastic_net_gs_work_arena_size(i64 n, i64 p, int intercept, i64 n_alpha);

/** OLS step (a trova_mc_step_fn): trova_mc_ols_fit on the lanes.
 * @param rep_idx replication index (not used)
 * @param float_in_work input/work lane (trova_mc_ols_work_arena_size)
 * @param float_out output lane: coef, ssr, sst, se (2p + 2)
 * @param int_work not used; may be NULL
 * @param int_out status (1 value); may be NULL
 * @param ctx a trova_mc_ols_step_ctx
 * @return the fit's status; non-zero fails the replication */
TROVA_API int trova_mc_ols_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                  i64* int_out, const void* ctx);
/** Ridge step (a trova_mc_step_fn): trova_mc_ridge_fit on the lanes.
 * @param rep_idx replication index (not used)
 * @param float_in_work input/work lane (trova_mc_ridge_work_arena_size)
 * @param float_out output lane: coef, ssr, sst (p + 2)
 * @param int_work not used; may be NULL
 * @param int_out status (1 value); may be NULL
 * @param ctx a trova_mc_ridge_step_ctx
 * @return the fit's status; non-zero fails the replication */
TROVA_API int trova_mc_ridge_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                    i64* int_out, const void* ctx);
/** Ridge-grid step (a trova_mc_step_fn): trova_mc_ridge_gs_fit on the lanes.
 * @param rep_idx replication index (not used)
 * @param float_in_work input/work lane (trova_mc_ridge_gs_work_arena_size)
 * @param float_out output lane: coef, ssr, sst (p + 2)
 * @param int_work not used; may be NULL
 * @param int_out status (1 value); may be NULL
 * @param ctx a trova_mc_ridge_gs_step_ctx
 * @return the fit's status; non-zero fails the replication */
TROVA_API int trova_mc_ridge_gs_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                       i64* int_out, const void* ctx);
/** Lasso step (a trova_mc_step_fn): trova_mc_lasso_fit on the lanes.
 * @param rep_idx replication index (not used)
 * @param float_in_work input/work lane (trova_mc_lasso_work_arena_size)
 * @param float_out output lane: coef, ssr, sst (p + 2)
 * @param int_work not used; may be NULL
 * @param int_out status (1 value); may be NULL
 * @param ctx a trova_mc_lasso_step_ctx
 * @return the fit's status; non-zero fails the replication */
TROVA_API int trova_mc_lasso_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                    i64* int_out, const void* ctx);
/** Lasso-grid step (a trova_mc_step_fn): trova_mc_lasso_gs_fit on the lanes.
 * @param rep_idx replication index (not used)
 * @param float_in_work input/work lane (trova_mc_lasso_gs_work_arena_size)
 * @param float_out output lane: coef, ssr, sst (p + 2)
 * @param int_work not used; may be NULL
 * @param int_out status (1 value); may be NULL
 * @param ctx a trova_mc_lasso_gs_step_ctx
 * @return the fit's status; non-zero fails the replication */
TROVA_API int trova_mc_lasso_gs_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                       i64* int_out, const void* ctx);
/** Elastic-net step (a trova_mc_step_fn): trova_mc_elastic_net_fit on the
 * lanes.
 * @param rep_idx replication index (not used)
 * @param float_in_work input/work lane (trova_mc_elastic_net_work_arena_size)
 * @param float_out output lane: coef, ssr, sst (p + 2)
 * @param int_work not used; may be NULL
 * @param int_out status (1 value); may be NULL
 * @param ctx a trova_mc_elastic_net_step_ctx
 * @return the fit's status; non-zero fails the replication */
TROVA_API int trova_mc_elastic_net_runner(i64 rep_idx, f64* float_in_work, f64* float_out, i64* int_work,
                                          i64* int_out, const void* ctx);
/** Elastic-net grid step (a trova_mc_step_fn): trova_mc_elastic_net_gs_fit
 * on the lanes.
 * @param rep_idx replication index (not used)
 * @param float_in_work input/work lane (trova_mc_elastic_net_gs_work_arena_size)
 * @param float_out output lane: coef, ssr, sst (p + 2)
 * @param int_work the grid's statuses (n_alpha); must not be NULL when n_alpha > 0
 * @param int_out status (1 value); may be NULL
 * @param ctx a trova_mc_elastic_net_gs_step_ctx
 * @return the fit's status; non-zero fails the replication */
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
