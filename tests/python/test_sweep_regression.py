"""One sweep of every regression fit across design shapes: p = 1, an
intercept alone, p close to n, n = p + 1, n = p, wide designs (p > n),
collinear columns, with and without intercept, data in a tiny unit, NaN data
and NaN penalties.

Each regime runs the kernels (OLS, ridge, the ridge grid, lasso coordinate
descent, LARS and the path evaluator, elastic-net descent, path and degrees
of freedom) and the seven pipeline steps, and compares every output with
statsmodels, scikit-learn or a plain NumPy reading of the definitions. The
collinear regimes enter the fallbacks: failed factorisations (OLS, ridge
without penalty, a failing first grid penalty) and the elastic net's degrees
of freedom on an active set whose system cannot be factored.
"""
import warnings

import numpy as np
import pytest
import statsmodels.api as sm
from sklearn.linear_model import ElasticNet, Lasso, Ridge, lars_path

import trova_ctypes as tc
from regression_cases import centred_gram, lars, lasso_cd, run_step

TOL_CD = 1e-13  # coordinate-descent tolerance given to the library


def close(got, want, tol, what="", scale=None):
    """|got - want| <= tol * scale, the scale by default the largest |want|
    (at least 1); sums of squares and Gram entries pass their own scale, so
    that data in small units are held to the same relative accuracy."""
    want = np.asarray(want, dtype=float)
    if scale is None:
        scale = max(1.0, float(np.max(np.abs(want)))) if want.size else 1.0
    np.testing.assert_allclose(got, want, rtol=0, atol=tol * scale, err_msg=what)


def mag(a):
    """The largest finite magnitude in a (a tiny positive number if none)."""
    a = np.abs(np.asarray(a, dtype=float))
    return max(float(np.max(a, initial=0.0, where=np.isfinite(a))), 1e-300)


def tss(y):
    return float(((y - y.mean()) ** 2).sum())


# (id, n, p, intercept, kind). kind: "plain", "collinear" (column p-1 repeats
# column 1, a balanced +-1 column, so the Gram entries of the pair are exact),
# "nan_y" / "nan_X" (one NaN in the data), "nan_alpha" (a NaN first penalty),
# "tiny" (the columns other than the intercept, and y, in units of 1e-15:
# coefficients unchanged, Gram entries near 1e-30).
REGIMES = [
    ("tall", 120, 6, True, "nan_alpha"),
    ("tall_no_intercept", 120, 6, False, "plain"),
    ("p1", 30, 1, False, "plain"),
    ("intercept_only", 30, 1, True, "nan_alpha"),
    ("one_slope", 30, 2, True, "nan_alpha"),
    ("n_is_p_plus_1", 7, 6, False, "plain"),
    ("n_is_p_plus_1_intercept", 7, 6, True, "plain"),
    ("p_close_to_n", 12, 10, True, "plain"),
    ("n_is_p", 6, 6, False, "plain"),
    ("wide", 8, 14, False, "plain"),
    ("wide_intercept", 8, 14, True, "plain"),
    ("collinear", 40, 5, True, "collinear"),
    ("collinear_no_intercept", 40, 5, False, "collinear"),
    ("nan_y", 30, 4, True, "nan_y"),
    ("nan_X", 30, 4, False, "nan_X"),
    ("tiny_scale", 60, 5, True, "tiny"),
]
TINY = 1e-15


def make_design(rng, n, p, intercept, kind):
    b = int(intercept)
    Z = rng.standard_normal((n, p - b))
    if kind == "collinear":
        # A balanced +-1 column (mean 0, so centring leaves it exact) and its
        # copy last, so that a cyclic descent moves both.
        col = np.where(rng.permutation(n) < n // 2, 1.0, -1.0)
        Z[:, 0] = col
        Z[:, -1] = col
    X = np.hstack([np.ones((n, 1)), Z]) if intercept else Z
    beta = np.linspace(1.5, -1.0, p) * (np.arange(p) % 3 != 2)
    y = X @ beta + 0.5 * rng.standard_normal(n) + (2.0 if intercept else 0.0)
    if kind == "tiny":
        X[:, b:] *= TINY
        y *= TINY
    if kind == "nan_y":
        y[n // 2] = np.nan
    if kind == "nan_X":
        X[n // 3, p - 1] = np.nan
    return np.ascontiguousarray(X), np.ascontiguousarray(y)


def singular(M):
    """The factor of M does not exist: an exactly singular (or NaN) matrix.
    The regimes keep every matrix either well away from this or exactly on it."""
    if not np.isfinite(M).all():
        return True
    if M.size == 0:
        return False
    w = np.linalg.eigvalsh(M)
    return w.min() <= 1e-10 * max(np.abs(w).max(), 1e-300)


def objective(criterion, rss, n, k):
    """The selection objective of the grid searches."""
    if criterion == 3:
        return rss
    if rss <= 0:
        return -np.inf
    fit = n * np.log(rss / n)
    return fit + (2.0 * k if criterion == 1 else np.log(n) * k)


def en_dof(G, beta, a2, intercept, atol):
    """(1 if intercept) + trace((G_AA + a2 I)^-1 G_AA) on {|beta| > atol}, or
    the active count when that system cannot be factored."""
    c0 = 1.0 if intercept else 0.0
    A = np.abs(beta) > atol
    na = int(A.sum())
    if na == 0:
        return c0
    GA = G[np.ix_(A, A)]
    M = GA + a2 * np.eye(na)
    if singular(M):
        return c0 + na
    return c0 + np.trace(np.linalg.solve(M, GA))


def kkt_ok(G, g, lam, beta, tol):
    """beta solves the lasso at lam: |c_j| <= lam, and c_j = lam sign(beta_j)
    where beta_j != 0, with c = g - G beta."""
    c = g - G @ beta
    act = beta != 0
    return bool(np.all(np.abs(c) <= lam + tol) and np.allclose(c[act], lam * np.sign(beta[act]), rtol=0, atol=tol))


def sk_fit(model, Z, y):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return model.fit(Z, y)


def check_ols(lib, X, y, bad):
    n, p = X.shape
    if bad and np.isfinite(X).all():
        # NaN in y alone: the solve propagates it (status 0, NaN
        # coefficients), the step fails.
        coef, L, G, g = (np.full(m, -5.0) for m in (p, p * p, p * p, p))
        st = np.full(1, 99, dtype=np.int64)
        lib.trova_ols_chol_solve(tc.ptr(X), tc.ptr(y), n, p, tc.ptr(coef), tc.ptr(L), tc.ptr(st), tc.ptr(G),
                                 tc.ptr(g))
        assert st[0] == 0 and np.isnan(coef).all()
        rc, out, status, _ = run_step(lib, "ols", tc.trova_mc_ols_step_ctx(n, p, 0), X, y, (n, p))
        assert rc == status == -1 and np.isnan(out).all()
        return
    rank_def = bad or np.linalg.matrix_rank(X) < p
    coef, L, G, g = (np.full(m, np.nan) for m in (p, p * p, p * p, p))
    st = np.full(1, 99, dtype=np.int64)
    lib.trova_ols_chol_solve(tc.ptr(X), tc.ptr(y), n, p, tc.ptr(coef), tc.ptr(L), tc.ptr(st), tc.ptr(G), tc.ptr(g))
    rc, out, status, _ = run_step(lib, "ols", tc.trova_mc_ols_step_ctx(n, p, 0), X, y, (n, p))
    assert rc == status
    if rank_def:
        assert st[0] == -1 and np.isnan(coef).all()
        assert rc == -1 and np.isnan(out).all()
        return
    sg = mag(X.T @ X)
    close(G, (X.T @ X).ravel(), 1e-13, "ols G", sg)
    close(g, X.T @ y, 1e-13, "ols g", mag(X.T @ y))
    Lm = L.reshape(p, p)
    assert (np.triu(Lm, 1) == 0).all()
    close(Lm @ Lm.T, X.T @ X, 1e-12, "ols L", sg)
    ref = sm.OLS(y, X).fit()
    assert st[0] == 0 and rc == 0
    close(coef, ref.params, 1e-9, "ols coef")
    close(out[:p], ref.params, 1e-9, "ols step coef")
    close(out[p], ref.ssr, 1e-9, "ols ssr", ref.centered_tss)
    close(out[p + 1], ref.centered_tss, 1e-12, "ols sst", ref.centered_tss)
    if n > p:
        assert ref.df_resid == n - p
        close(out[p + 2:], ref.bse, 1e-8, "ols se")
    else:
        assert np.isnan(out[p + 2:]).all()


def ridge_ref(X, y, alpha, intercept):
    """(status, coef, dof, G, g) of the single-penalty ridge, read off the
    definition; status -1 when the penalised Gram matrix cannot be factored."""
    n, p = X.shape
    G, g = X.T @ X / n, X.T @ y / n
    D = np.eye(p)
    if intercept:
        D[0, 0] = 0.0
    M = G + alpha * D
    if np.isnan(alpha) or singular(M):
        return -1, None, None, G, g
    return 0, np.linalg.solve(M, g), np.trace(np.linalg.solve(M, G)), G, g


def check_ridge(lib, X, y, intercept, alphas):
    n, p = X.shape
    for alpha in alphas:
        want_st, want_coef, want_dof, G_ref, g_ref = ridge_ref(X, y, alpha, intercept)
        coef, dof = np.full(p, np.nan), np.full(1, -5.0)
        L, G, Gu, g, col = (np.full(m, np.nan) for m in (p * p, p * p, p * p, p, p))
        st = np.full(1, 99, dtype=np.int64)
        lib.trova_chol_solve_L2(tc.ptr(X), tc.ptr(y), n, p, alpha, int(intercept), tc.ptr(coef), tc.ptr(L),
                                tc.ptr(dof), tc.ptr(st), tc.ptr(G), tc.ptr(Gu), tc.ptr(g), tc.ptr(col))
        rc, out, status, _ = run_step(lib, "ridge", tc.trova_mc_ridge_step_ctx(n, p, int(intercept), alpha), X, y,
                                      (n, p))
        if want_st == 0 and not np.isfinite(g_ref).all():
            # NaN in y alone: the solve propagates it, the step fails.
            assert st[0] == 0 and np.isnan(coef).all() and np.isfinite(dof[0])
            close(dof[0], want_dof, 1e-9, "ridge dof")
            assert rc == status == -1 and np.isnan(out).all()
            continue
        assert st[0] == want_st and rc == status == want_st, (alpha, st[0], rc)
        if want_st != 0:
            assert np.isnan(coef).all() and np.isnan(dof[0]) and np.isnan(out).all()
            continue
        D = np.eye(p)
        if intercept:
            D[0, 0] = 0.0
        sg = mag(G_ref + alpha * D)
        close(Gu, G_ref.ravel(), 1e-13, "ridge G_unpen", sg)
        close(G, (G_ref + alpha * D).ravel(), 1e-13, "ridge G", sg)
        close(g, g_ref, 1e-13, "ridge g", mag(g_ref))
        Lm = L.reshape(p, p)
        close(Lm @ Lm.T, G_ref + alpha * D, 1e-12, "ridge L", sg)
        close(coef, want_coef, 1e-9, "ridge coef")
        close(dof[0], want_dof, 1e-9, "ridge dof")
        assert dof[0] <= p + 1e-9
        close(out[:p], want_coef, 1e-9, "ridge step coef")
        close(out[p], ((y - X @ want_coef) ** 2).sum(), 1e-9, "ridge ssr", tss(y))
        close(out[p + 1], tss(y), 1e-12, "ridge sst", tss(y))
        if alpha > 0 and p > int(intercept):
            # scikit-learn's ridge penalises the unscaled loss: alpha n.
            Z = X[:, 1:] if intercept else X
            ref = sk_fit(Ridge(alpha=alpha * n, fit_intercept=bool(intercept), solver="svd"), Z, y)
            close(coef[int(intercept):], ref.coef_, 1e-8, "ridge vs scikit-learn")
            if intercept:
                close(coef[0], ref.intercept_, 1e-8, "ridge intercept vs scikit-learn")


def check_ridge_grid(lib, X, y, intercept, alphas, criterion):
    n, p = X.shape
    objs, coefs = [], []
    for a in alphas:
        st, coef, dof, _, _ = ridge_ref(X, y, a, intercept)
        obj = np.nan
        if st == 0:
            obj = objective(criterion, ((y - X @ coef) ** 2).sum(), n, dof)
        objs.append(obj)
        coefs.append(coef)
    ok = [i for i, o in enumerate(objs) if not np.isnan(o)]
    alphas = np.ascontiguousarray(alphas, dtype=float)
    out_alpha, out_obj, out_coef = np.full(1, -7.0), np.full(1, -7.0), np.full(p, -7.0)
    out_st = np.full(1, 99, dtype=np.int64)
    scratch = [np.full(m, np.nan) for m in (p * p, p * p, p, p * p, p, p)]
    lib.trova_ridge_grid_search(tc.ptr(X), tc.ptr(y), n, p, tc.ptr(alphas), len(alphas), criterion, int(intercept),
                                tc.ptr(out_alpha), tc.ptr(out_coef), tc.ptr(out_obj), tc.ptr(out_st),
                                *[tc.ptr(s) for s in scratch])
    ctx = tc.trova_mc_ridge_gs_step_ctx(tc.ptr(alphas), n, p, len(alphas), criterion, int(intercept))
    rc, out, status, _ = run_step(lib, "ridge_gs", ctx, X, y, (n, p))
    assert rc == status == out_st[0]
    close(scratch[0], (X.T @ X / n).ravel(), 1e-13, "ridge grid G_base", mag(X.T @ X / n))
    if not ok:
        assert out_st[0] == -1 and out_obj[0] == np.inf and np.isnan(out_coef).all()
        assert out_alpha[0] == alphas[0] or (np.isnan(out_alpha[0]) and np.isnan(alphas[0]))
        assert np.isnan(out).all()
        return
    # The first usable penalty, replaced only by a strictly smaller objective.
    # Objectives within rounding of each other may go either way.
    best = min(objs[i] for i in ok)
    obj_scale = tss(y) if criterion == 3 else max(1.0, abs(best))
    chosen = int(np.flatnonzero(alphas == out_alpha[0])[0])
    assert out_st[0] == 0 and chosen in ok
    assert objs[chosen] <= best + 1e-9 * obj_scale, (alphas, objs, out_alpha[0])
    if np.isfinite(objs[chosen]):
        close(out_obj[0], objs[chosen], 1e-9, "ridge grid objective", obj_scale)
    else:
        assert out_obj[0] == objs[chosen]
    close(out_coef, coefs[chosen], 1e-9, "ridge grid coef")
    close(out[:p], out_coef, 0, "ridge grid step coef")
    close(out[p], ((y - X @ out_coef) ** 2).sum(), 1e-9, "ridge grid ssr", tss(y))


def full_rank(Z):
    return Z.shape[1] == 0 or np.linalg.matrix_rank(Z - Z.mean(axis=0)) == Z.shape[1]


def check_lasso(lib, X, y, intercept, bad, alpha):
    n, p = X.shape
    b = int(intercept)
    G, g = centred_gram(X, y, intercept)
    st, coef, Gcoef = lasso_cd(lib, G, g, alpha, tol=TOL_CD)
    ctx = tc.trova_mc_lasso_step_ctx(n, p, b, 100000, TOL_CD, alpha)
    rc, out, status, _ = run_step(lib, "lasso", ctx, X, y, (n, p))
    assert rc == status
    if bad:
        assert st == -2 and rc == -2 and np.isnan(out).all()
        return
    assert st == 0 and rc == 0
    close(Gcoef, G @ coef, 1e-12, "lasso Gcoef", mag(g))
    Z = X[:, 1:] if intercept else X
    if Z.shape[1] == 0:
        assert out[0] == pytest.approx(y.mean(), rel=1e-13)
    else:
        ref = sk_fit(Lasso(alpha=alpha, fit_intercept=intercept, tol=1e-14, max_iter=1_000_000), Z, y)
        # The fitted values and the objective are unique; the coefficients
        # too when the centred columns have full rank.
        zc = Z - Z.mean(axis=0) if intercept else Z

        def obj(beta):
            return 0.5 * beta @ G @ beta - g @ beta + alpha * np.abs(beta).sum()
        assert obj(coef) <= obj(ref.coef_) + 1e-11 * max(1.0, abs(obj(ref.coef_)))
        close(zc @ coef, zc @ ref.coef_, 1e-6, "lasso fit", mag(zc @ ref.coef_))
        if full_rank(Z):
            close(coef, ref.coef_, 1e-7, "lasso coef")
            close(out[b:p], ref.coef_, 1e-7, "lasso step coef")
            if intercept:
                close(out[0], ref.intercept_, 1e-7, "lasso step intercept")
        # The step forms G itself, so it differs from the kernel's G by
        # rounding; where the columns are dependent the coefficients may then
        # move along a flat direction of the objective, the fit may not.
        if full_rank(Z):
            close(out[b:p], coef, 1e-12, "lasso step = kernel")
        else:
            close(zc @ out[b:p], zc @ coef, 1e-12, "lasso step fit = kernel fit", mag(zc @ coef))
    close(out[p], ((y - X @ out[:p]) ** 2).sum(), 1e-10, "lasso ssr", tss(y))
    close(out[p + 1], tss(y), 1e-12, "lasso sst", tss(y))


def check_lars_and_grid(lib, X, y, intercept, bad, grid, unit):
    """unit: the data's unit (X and y scaled by it scale the penalties by
    unit^2 and leave the coefficients alone)."""
    n, p = X.shape
    b = int(intercept)
    k = p - b
    G, g = centred_gram(X, y, intercept)
    lam_tol = 1e-12 * unit ** 2
    st, lam, beta = lars(lib, G, g, max_iter=100, tol=lam_tol)
    ctx = tc.trova_mc_lasso_gs_step_ctx(tc.ptr(grid), n, p, len(grid), b, 100, lam_tol)
    rc, out, status, _ = run_step(lib, "lasso_gs", ctx, X, y, (n, p, b, len(grid), 100))
    assert rc == status
    if bad:
        assert st == -2 and len(lam) == 0 and rc == -2 and np.isnan(out).all()
        return
    # Every knot solves the lasso at its own penalty, and the penalties fall.
    assert len(lam) >= 1 and (np.diff(lam) < 0).all()
    for lv, bv in zip(lam, beta):
        assert kkt_ok(G, g, lv, bv, 1e-10 * unit ** 2), (lv, bv)
    Z = X[:, 1:] if intercept else X
    zc = Z - Z.mean(axis=0) if intercept else Z
    yc = y - y.mean() if intercept else y
    if st != 0:
        # The active system broke down (collinear columns): the grid fails.
        assert st == -2 and not full_rank(Z) and rc == -2 and np.isnan(out).all()
        return
    assert abs(lam[-1]) <= lam_tol or k == 0
    if k > 0 and full_rank(Z):
        # The reference path of the data in their own unit.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ref_lam, _, ref_coefs = lars_path(zc / unit, yc / unit, method="lasso")
        assert len(lam) == len(ref_lam)
        close(lam / unit ** 2, ref_lam, 1e-10, "lars knots")
        close(beta, ref_coefs.T, 1e-8, "lars coefficients")
    # The path read at the grid, and at points around the knots.
    probe = np.concatenate([grid, lam, 0.5 * (lam[1:] + lam[:-1]), [lam[0] * 2 + 1, -1.0]])
    rows = np.full((len(probe), k), -5.0)
    assert lib.trova_lasso_path_eval(tc.ptr(lam), tc.ptr(np.ascontiguousarray(beta)), len(lam), k, tc.ptr(probe),
                                     len(probe), tc.ptr(rows)) == 0
    for v, row in zip(probe, rows):
        if np.isnan(v):
            assert np.isnan(row).all()
        else:
            close(row, [np.interp(-v, -lam, beta[:, j]) for j in range(k)], 1e-12, "path read")
    # The step: the grid point with the smallest in-sample rss, a NaN
    # penalty never; each grid point's solution from scikit-learn.
    usable = [i for i, a in enumerate(grid) if not np.isnan(a)]
    sols = {}
    for i in usable:
        if k == 0:
            sols[i] = np.zeros(0)
        else:
            sols[i] = sk_fit(Lasso(alpha=grid[i], fit_intercept=False, tol=1e-14, max_iter=1_000_000), zc, yc).coef_
    rss = {i: ((yc - zc @ s) ** 2).sum() for i, s in sols.items()}
    assert rc == 0
    best = min(rss.values())
    got_rss = ((yc - zc @ out[b:p]) ** 2).sum()
    close(got_rss, best, 1e-7, "lasso grid rss", tss(y))
    chosen = min((i for i in usable if rss[i] <= best + 1e-7 * tss(y)))
    if full_rank(Z):
        close(out[b:p], sols[chosen], 1e-7, "lasso grid coef")
    if intercept:
        close(out[0], y.mean() - Z.mean(axis=0) @ out[1:p], 1e-12, "lasso grid intercept")
    close(out[p], ((y - X @ out[:p]) ** 2).sum(), 1e-10, "lasso grid ssr", tss(y))


def check_elastic_net(lib, X, y, intercept, bad, grid, l1_ratio, criterion):
    n, p = X.shape
    b = int(intercept)
    k = p - b
    G, g = centred_gram(X, y, intercept)
    Z = X[:, 1:] if intercept else X
    zc = Z - Z.mean(axis=0) if intercept else Z
    yc = y - y.mean() if intercept else y
    # One penalty, from zero: the step against scikit-learn.
    alpha = float(np.nanmax(grid))
    ctx = tc.trova_mc_elastic_net_step_ctx(n, p, b, 100000, TOL_CD, alpha, 0.5)
    rc, out, status, _ = run_step(lib, "elastic_net", ctx, X, y, (n, p))
    assert rc == status
    if bad:
        assert rc == -2 and np.isnan(out).all()
    elif k == 0:
        assert rc == 0 and out[0] == pytest.approx(y.mean(), rel=1e-13)
    else:
        ref = sk_fit(ElasticNet(alpha=alpha, l1_ratio=0.5, fit_intercept=intercept, tol=1e-14,
                                max_iter=1_000_000), Z, y)
        assert rc == 0
        close(out[b:p], ref.coef_, 1e-7, "elastic net coef")
        if intercept:
            close(out[0], ref.intercept_, 1e-7, "elastic net intercept")
        close(out[p], ((y - X @ out[:p]) ** 2).sum(), 1e-10, "elastic net ssr", tss(y))

    # The path kernel over the grid, warm-started, each row at its index.
    coefs = np.full((len(grid), k), -5.0)
    statuses = np.full(len(grid), 9, dtype=np.int64)
    lib.trova_en_gram_cd_path(tc.ptr(G), tc.ptr(g), k, tc.ptr(grid), len(grid), l1_ratio, 100000, TOL_CD,
                              tc.ptr(coefs), tc.ptr(statuses), tc.ptr(np.zeros(max(k, 1))),
                              tc.ptr(np.zeros(max(k, 1))))
    want_ok = np.array([not (bad or np.isnan(a)) for a in grid])
    np.testing.assert_array_equal(statuses == 0, want_ok)
    assert (statuses[~want_ok] == -2).all()
    work = np.full(3 * k * k + k + 1, np.nan)
    objs, fallback = [], False
    for i, a in enumerate(grid):
        if not want_ok[i]:
            objs.append(np.nan)
            continue
        row = coefs[i]
        a1, a2 = a * l1_ratio, a * (1.0 - l1_ratio)
        if k > 0:
            if a1 == 0 and a2 > 0:
                # Pure L2: the closed form on the Gram form.
                close(row, np.linalg.solve(G + a2 * np.eye(k), g), 1e-9, f"elastic net path row {i}")
            elif a2 > 0 or full_rank(Z):
                ref = sk_fit(ElasticNet(alpha=a, l1_ratio=l1_ratio, fit_intercept=False, tol=1e-14,
                                        max_iter=1_000_000), zc, yc).coef_ if a > 0 else \
                    np.linalg.lstsq(zc, yc, rcond=None)[0]
                close(row, ref, 1e-7, f"elastic net path row {i}")
            else:
                # No penalty on collinear columns: any least-squares solution.
                close(zc @ row, zc @ np.linalg.lstsq(zc, yc, rcond=None)[0], 1e-7, "elastic net path fit",
                      mag(yc))
        # Degrees of freedom on the row's active set, the fallback included.
        A = np.abs(row) > TOL_CD
        if A.any() and singular(G[np.ix_(A, A)] + a2 * np.eye(A.sum())):
            fallback = True
        dof = lib.trova_en_active_dof(tc.ptr(G), tc.ptr(row), k, a2, b, TOL_CD, tc.ptr(work))
        want_dof = en_dof(G, row, a2, intercept, TOL_CD)
        close(dof, want_dof, 1e-9, f"elastic net dof {i}")
        objs.append(objective(criterion, ((yc - zc @ row) ** 2).sum(), n, want_dof))

    # The grid step: the smallest objective among converged points.
    ctx = tc.trova_mc_elastic_net_gs_step_ctx(tc.ptr(grid), n, p, len(grid), criterion, b, 100000, TOL_CD, l1_ratio)
    rc, out, status, int_work = run_step(lib, "elastic_net_gs", ctx, X, y, (n, p, b, len(grid)))
    assert rc == status
    np.testing.assert_array_equal(int_work[:len(grid)], statuses)
    finite = [i for i, o in enumerate(objs) if not np.isnan(o) and o < np.inf]
    if not finite:
        assert rc == -2 and np.isnan(out).all()
        return fallback
    best = min(objs[i] for i in finite)
    assert rc == 0
    cands = [i for i in finite if objs[i] <= best + 1e-9 * (tss(y) if criterion == 3 else max(1.0, abs(best)))]
    assert any(np.allclose(out[b:p], coefs[i], rtol=0, atol=1e-8) for i in cands), (objs, out, coefs)
    if intercept:
        close(out[0], y.mean() - Z.mean(axis=0) @ out[1:p], 1e-12, "elastic net grid intercept")
    close(out[p], ((y - X @ out[:p]) ** 2).sum(), 1e-10, "elastic net grid ssr", tss(y))
    close(out[p + 1], tss(y), 1e-12, "elastic net grid sst", tss(y))
    return fallback


@pytest.mark.parametrize("regime", REGIMES, ids=[r[0] for r in REGIMES])
def test_regression_sweep(lib, rng, regime):
    name, n, p, intercept, kind = regime
    X, y = make_design(rng, n, p, intercept, kind)
    bad = kind in ("nan_y", "nan_X")
    criterion = [1, 2, 3, 7][REGIMES.index(regime) % 4]
    if name == "n_is_p":
        criterion = 3  # an exact fit: its log-rss is rounding noise
    nan_first = [np.nan] if kind == "nan_alpha" else []

    check_ols(lib, X, y, bad)
    # The zero penalty fails where X'X is singular (wide, collinear).
    check_ridge(lib, X, y, intercept, [0.0, 0.05, 2.0, np.nan])
    check_ridge_grid(lib, X, y, intercept, np.array(nan_first + [0.0, 2.0, 0.2, 0.02, 0.002]), criterion)

    G, g = centred_gram(X, y, intercept)
    scale = float(np.max(np.abs(g[:p - int(intercept)]))) if p > int(intercept) and not bad else 1.0
    check_lasso(lib, X, y, intercept, bad, 0.1 * scale)
    check_lasso(lib, X, y, intercept, bad, 0.01 * scale)
    lasso_grid = np.ascontiguousarray(nan_first + [0.3 * scale, 0.05 * scale, 0.01 * scale])
    check_lars_and_grid(lib, X, y, intercept, bad, lasso_grid, TINY if kind == "tiny" else 1.0)

    # Collinear designs: the pure L2 path down to no penalty at all, whose
    # last point has a collinear active set and no factor.
    if kind == "collinear":
        en_grid, l1_ratio = np.array([0.5, 0.05, 0.0]) * scale, 0.0
    else:
        en_grid, l1_ratio = np.array(nan_first + [0.5, 0.05, 0.005]) * scale, 0.6
    fallback = check_elastic_net(lib, X, y, intercept, bad, np.ascontiguousarray(en_grid), l1_ratio, criterion)
    assert fallback == (kind == "collinear")
