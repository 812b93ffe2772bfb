"""OLS, ridge, lasso, LARS and elastic net against statsmodels, scikit-learn
and NumPy, and the seven regression steps with their lanes and sizers."""
import ctypes

import numpy as np
import pytest
import statsmodels.api as sm
from sklearn.linear_model import ElasticNet, Lasso, lars_path_gram

import trova_ctypes as tc
from regression_cases import centred_gram, design, lars, lasso_cd, run_step

INF = np.inf


def close(got, want, tol):
    np.testing.assert_allclose(got, want, rtol=0, atol=tol * max(1.0, float(np.max(np.abs(want)))))


# ---- OLS and ridge ----

@pytest.mark.parametrize("n,p,intercept", [(60, 1, False), (200, 4, True), (50, 10, True), (30, 6, False)])
def test_ols_step_matches_statsmodels(lib, rng, n, p, intercept):
    X, y = design(rng, n, p, intercept, correlated=0.5)
    ctx = tc.trova_mc_ols_step_ctx(n, p, int(intercept))
    rc, out, status, _ = run_step(lib, "ols", ctx, X, y, (n, p))
    assert rc == status == 0
    ref = sm.OLS(y, X).fit()
    close(out[:p], ref.params, 1e-11)
    close(out[p], ref.ssr, 1e-11)
    close(out[p + 1], ref.centered_tss, 1e-11)
    close(out[p + 2:], ref.bse, 1e-10)


def test_ols_failures_and_exact_fit(lib, rng):
    X, y = design(rng, 20, 3, True)
    X = np.ascontiguousarray(np.hstack([X, X[:, 1:2]]))  # a duplicated column
    rc, out, status, _ = run_step(lib, "ols", tc.trova_mc_ols_step_ctx(20, 4, 1), X, y, (20, 4))
    assert rc == status == -1 and np.isnan(out).all()
    # n = p: an exact fit, valid sums, NaN standard errors, status 0.
    X, y = design(rng, 4, 4, True)
    rc, out, status, _ = run_step(lib, "ols", tc.trova_mc_ols_step_ctx(4, 4, 1), X, y, (4, 4))
    assert rc == 0 and np.isnan(out[6:]).all()
    close(out[:4], np.linalg.solve(X, y), 1e-10)
    assert abs(out[4]) < 1e-20 and out[5] == pytest.approx(((y - y.mean()) ** 2).sum())


def ridge_reference(X, y, alpha, intercept):
    n, p = X.shape
    G, g = X.T @ X / n, X.T @ y / n
    D = np.eye(p)
    if intercept:
        D[0, 0] = 0.0
    coef = np.linalg.solve(G + alpha * D, g)
    return coef, np.trace(np.linalg.solve(G + alpha * D, G))


@pytest.mark.parametrize("alpha", [0.0, 0.3, 50.0])
@pytest.mark.parametrize("intercept", [0, 1])
def test_ridge_kernel_and_step(lib, rng, alpha, intercept):
    n, p = 80, 5
    X, y = design(rng, n, p, bool(intercept), correlated=0.7)
    coef, dof = ridge_reference(X, y, alpha, intercept)
    out = np.full(p, np.nan)
    dof_out, st = np.full(1, np.nan), np.zeros(1, dtype=np.int64)
    scratch = [np.full(p * p, np.nan) for _ in range(3)] + [np.full(p, np.nan) for _ in range(2)]
    lib.trova_chol_solve_L2(tc.ptr(X), tc.ptr(y), n, p, alpha, intercept, tc.ptr(out), tc.ptr(scratch[0]),
                            tc.ptr(dof_out), tc.ptr(st), tc.ptr(scratch[1]), tc.ptr(scratch[2]), tc.ptr(scratch[3]),
                            tc.ptr(scratch[4]))
    assert st[0] == 0
    close(out, coef, 1e-11)
    close(dof_out[0], dof, 1e-11)
    if alpha == 0.0:
        close(out, np.linalg.lstsq(X, y, rcond=None)[0], 1e-10)
        close(dof_out[0], p, 1e-12)
    rc, step_out, status, _ = run_step(lib, "ridge", tc.trova_mc_ridge_step_ctx(n, p, intercept, alpha), X, y, (n, p))
    assert rc == status == 0
    close(step_out[:p], coef, 1e-11)
    close(step_out[p], ((y - X @ coef) ** 2).sum(), 1e-10)


def test_ridge_singular_design_with_penalty_and_lone_intercept(lib, rng):
    X, y = design(rng, 30, 3, False)
    X = np.ascontiguousarray(np.hstack([X, X[:, :1]]))
    coef, dof = ridge_reference(X, y, 0.2, 0)
    rc, out, status, _ = run_step(lib, "ridge", tc.trova_mc_ridge_step_ctx(30, 4, 0, 0.2), X, y, (30, 4))
    assert rc == 0 and dof < 4
    close(out[:4], coef, 1e-10)
    # Intercept only: nothing is penalised, the fit is the mean.
    ones = np.ones((30, 1))
    rc, out, _, _ = run_step(lib, "ridge", tc.trova_mc_ridge_step_ctx(30, 1, 1, 1e6), ones, y, (30, 1))
    assert rc == 0 and out[0] == pytest.approx(y.mean(), rel=1e-13)


def ridge_grid(lib, X, y, alphas, criterion, intercept, sentinel=-7.0):
    n, p = X.shape
    alphas = np.ascontiguousarray(alphas, dtype=float)
    out_alpha, out_obj = np.full(1, sentinel), np.full(1, sentinel)
    out_coef, out_status = np.full(p, sentinel), np.full(1, 99, dtype=np.int64)
    # Scratch: G_base, G (p x p), g (p), L (p x p), coef, col (p).
    s = [np.full(size, np.nan) for size in (p * p, p * p, p, p * p, p, p)]
    lib.trova_ridge_grid_search(tc.ptr(X), tc.ptr(y), n, p, tc.ptr(alphas) if len(alphas) else None, len(alphas),
                                criterion, intercept, tc.ptr(out_alpha), tc.ptr(out_coef), tc.ptr(out_obj),
                                tc.ptr(out_status), *[tc.ptr(a) for a in s])
    return out_alpha[0], out_coef, out_obj[0], int(out_status[0])


@pytest.mark.parametrize("criterion", [1, 2, 3, 7])
def test_ridge_grid_selection(lib, rng, criterion):
    n, p = 40, 4
    X, y = design(rng, n, p, True, correlated=0.8)
    alphas = [2.0, 0.5, 0.1, 0.01, 1e-4]
    objs = []
    for a in alphas:
        coef, k = ridge_reference(X, y, a, 1)
        rss = ((y - X @ coef) ** 2).sum()
        objs.append(rss if criterion == 3 else n * np.log(rss / n) + (2 * k if criterion == 1 else np.log(n) * k))
    best = int(np.argmin(objs))
    alpha, coef, obj, status = ridge_grid(lib, X, y, alphas, criterion, 1)
    assert status == 0 and alpha == alphas[best]
    close(obj, objs[best], 1e-10)
    close(coef, ridge_reference(X, y, alphas[best], 1)[0], 1e-10)
    if criterion == 3:
        assert alpha == min(alphas)  # the loss grows with the penalty


def test_ridge_grid_edge_cases(lib, rng):
    X, y = design(rng, 30, 3, False)
    assert ridge_grid(lib, X, y, [], 1, 0)[3] == 99  # empty grid: nothing written
    # A first penalty that fails (singular design, no penalty) is replaced.
    Xd = np.ascontiguousarray(np.hstack([X, X[:, :1]]))
    alpha, coef, obj, status = ridge_grid(lib, Xd, y, [0.0, 0.5], 1, 0)
    assert (alpha, status) == (0.5, 0) and np.isfinite(coef).all()
    alpha, coef, obj, status = ridge_grid(lib, Xd, y, [0.0], 1, 0)
    assert (alpha, obj, status) == (0.0, INF, -1) and np.isnan(coef).all()
    # Equal objectives keep the first; a failing later penalty changes nothing.
    assert ridge_grid(lib, X, y, [0.3, 0.3], 2, 0)[0] == 0.3
    ones = np.ascontiguousarray(np.ones((30, 2)))
    alpha, coef, obj, status = ridge_grid(lib, ones, y, [0.1, 0.0], 2, 1)
    assert (alpha, status) == (0.1, 0) and np.isfinite(obj)


# ---- lasso ----

@pytest.mark.parametrize("intercept,correlated", [(False, 0.0), (True, 0.0), (True, 0.9)])
@pytest.mark.parametrize("alpha", [0.02, 0.2])
def test_lasso_matches_scikit_learn(lib, rng, intercept, correlated, alpha):
    n, p = 200, 8
    X, y = design(rng, n, p, intercept, correlated)
    G, g = centred_gram(X, y, intercept)
    st, coef, Gcoef = lasso_cd(lib, G, g, alpha)
    assert st == 0
    close(Gcoef, G @ coef, 1e-12)
    Z = X[:, 1:] if intercept else X
    ref = Lasso(alpha=alpha, fit_intercept=intercept, tol=1e-14, max_iter=1_000_000).fit(Z, y)
    close(coef, ref.coef_, 1e-8)
    # The step recovers the intercept and reports the fit.
    ctx = tc.trova_mc_lasso_step_ctx(n, p, int(intercept), 100000, 1e-13, alpha)
    rc, out, status, _ = run_step(lib, "lasso", ctx, X, y, (n, p))
    assert rc == status == 0
    close(out[int(intercept):p], ref.coef_, 1e-8)
    if intercept:
        close(out[0], ref.intercept_, 1e-8)
    close(out[p], ((y - X @ out[:p]) ** 2).sum(), 1e-10)


def test_lasso_coordinate_descent_edge_cases(lib, rng):
    X, y = design(rng, 50, 4, False)
    G, g = centred_gram(X, y, False)
    st, coef, _ = lasso_cd(lib, G, g, 1.1 * np.max(np.abs(g)), max_iter=1, tol=1e-9)
    assert st == 0 and (coef == 0).all()
    assert lasso_cd(lib, np.eye(3), np.array([1.0, -2.0, 0.5]), 0.1, max_iter=7, tol=0.0)[0] == -2
    G0 = G.copy()
    G0[2, :] = G0[:, 2] = 0.0
    st, coef, _ = lasso_cd(lib, G0, g, 0.01)
    assert st == 0 and coef[2] == 0.0 and coef[0] != 0.0
    assert lasso_cd(lib, G, g, 0.01, max_iter=0)[0] == -2


def dropping_problem(rng):
    """A problem whose lasso path has a variable leave the active set."""
    for _ in range(200):
        X = rng.standard_normal((40, 5))
        X[:, 1] = 0.8 * X[:, 0] + 0.3 * X[:, 1]
        y = X @ np.array([1.0, -1.2, 0.3, 0.0, 0.5]) + 0.3 * rng.standard_normal(40)
        G, g = X.T @ X / 40, X.T @ y / 40
        coefs = lars_path_gram(X.T @ y, X.T @ X, n_samples=40, method="lasso")[2]
        if any(((coefs[:, i] != 0) & (coefs[:, i + 1] == 0)).any() for i in range(coefs.shape[1] - 1)):
            return G, g, X, y
    raise AssertionError("no dropping problem found")


@pytest.mark.parametrize("case", ["plain", "correlated", "drop"])
def test_lars_path_matches_scikit_learn(lib, rng, case):
    if case == "drop":
        G, g, X, y = dropping_problem(rng)
        n = len(y)
    else:
        X, y = design(rng, 200, 10, False, correlated=0.9 if case == "correlated" else 0.0)
        n = 200
        G, g = X.T @ X / n, X.T @ y / n
    st, lam, beta = lars(lib, np.ascontiguousarray(G), np.ascontiguousarray(g))
    assert st == 0
    alphas, _, coefs = lars_path_gram(X.T @ y, X.T @ X, n_samples=n, method="lasso")
    assert len(lam) == len(alphas)
    close(lam, alphas, 1e-10)
    close(beta, coefs.T, 1e-9)
    # Between knots the path is linear; at a knot it is the knot.
    grid = np.concatenate([[lam[0] * 1.5], lam, 0.5 * (lam[1:] + lam[:-1]), [-1.0]])
    out = np.full((len(grid), G.shape[0]), np.nan)
    lib.trova_lasso_path_eval(tc.ptr(lam), tc.ptr(np.ascontiguousarray(beta)), len(lam), G.shape[0], tc.ptr(grid),
                              len(grid), tc.ptr(out))
    want = np.array([[np.interp(-v, -lam, beta[:, j]) for j in range(G.shape[0])] for v in grid])
    close(out, want, 1e-12)


def test_lars_special_cases(lib):
    st, lam, beta = lars(lib, np.eye(3), np.zeros(3), tol=0.0)
    assert (st, len(lam), lam[0]) == (0, 1, 0.0)
    c = np.array([0.5, -2.0, 1.0])
    st, lam, beta = lars(lib, np.eye(3), c, tol=1e-12)
    assert st == 0 and abs(lam[-1]) <= 1e-12 and len(lam) == 4
    close(beta[-1], c, 1e-15)
    for lv, bv in zip(lam, beta):
        close(bv, np.sign(c) * np.maximum(np.abs(c) - lv, 0), 1e-15)
    st, lam, beta = lars(lib, np.eye(3), c, max_iter=1)
    assert st == -2 and len(lam) == 2
    # Collinear active columns make the active system singular.
    G = np.ones((2, 2))
    assert lars(lib, G, np.array([1.0, 0.5]))[0] == -2


# ---- elastic net ----

@pytest.mark.parametrize("l1_ratio", [0.2, 0.7])
@pytest.mark.parametrize("intercept", [False, True])
def test_elastic_net_matches_scikit_learn(lib, rng, l1_ratio, intercept):
    n, p, alpha = 150, 7, 0.1
    X, y = design(rng, n, p, intercept, correlated=0.6)
    Z = X[:, 1:] if intercept else X
    ref = ElasticNet(alpha=alpha, l1_ratio=l1_ratio, fit_intercept=intercept, tol=1e-14, max_iter=1_000_000).fit(Z, y)
    ctx = tc.trova_mc_elastic_net_step_ctx(n, p, int(intercept), 100000, 1e-13, alpha, l1_ratio)
    rc, out, status, _ = run_step(lib, "elastic_net", ctx, X, y, (n, p))
    assert rc == status == 0
    close(out[int(intercept):p], ref.coef_, 1e-8)
    if intercept:
        close(out[0], ref.intercept_, 1e-8)


def en_cd(lib, G, g, a1, a2, beta0, max_iter=100000, tol=1e-13):
    k = len(g)
    coef, Gcoef = np.full(k, np.nan), np.full(k, np.nan)
    st = lib.trova_en_gram_cd(tc.ptr(G), tc.ptr(g), k, a1, a2, tc.ptr(np.ascontiguousarray(beta0, dtype=float)),
                              max_iter, tol, tc.ptr(coef), tc.ptr(Gcoef))
    return st, coef, Gcoef


def test_elastic_net_limits_path_and_dof(lib, rng):
    X, y = design(rng, 100, 6, False, correlated=0.5)
    G, g = centred_gram(X, y, False)
    k = len(g)
    # l1_ratio = 1 is the lasso; l1_ratio = 0 is ridge on the Gram form.
    close(en_cd(lib, G, g, 0.05, 0.0, np.zeros(k))[1], lasso_cd(lib, G, g, 0.05)[1], 1e-12)
    st, coef, Gcoef = en_cd(lib, G, g, 0.0, 0.3, np.zeros(k))
    assert st == 0
    close(coef, np.linalg.solve(G + 0.3 * np.eye(k), g), 1e-11)
    close(Gcoef, (G + 0.3 * np.eye(k)) @ coef, 1e-12)
    # An ascending grid is solved from its end, each result at its own index.
    grid = np.array([0.01, 0.1, 1.0])
    coefs, statuses = np.full((3, k), np.nan), np.full(3, 9, dtype=np.int64)
    lib.trova_en_gram_cd_path(tc.ptr(G), tc.ptr(g), k, tc.ptr(grid), 3, 0.5, 100000, 1e-13, tc.ptr(coefs),
                              tc.ptr(statuses), tc.ptr(np.zeros(k)), tc.ptr(np.zeros(k)))
    assert (statuses == 0).all()
    for i, a in enumerate(grid):
        close(coefs[i], en_cd(lib, G, g, 0.5 * a, 0.5 * a, np.zeros(k))[1], 1e-9)
    # Warm starts: with one sweep allowed, only the path's later points can
    # profit from the earlier solutions.
    lib.trova_en_gram_cd_path(tc.ptr(G), tc.ptr(g), k, tc.ptr(grid), 3, 0.5, 1, 1e-13, tc.ptr(coefs),
                              tc.ptr(statuses), tc.ptr(np.zeros(k)), tc.ptr(np.zeros(k)))
    one = en_cd(lib, G, g, 0.5, 0.5, np.zeros(k), max_iter=1)[1]
    close(coefs[2], one, 1e-15)
    close(coefs[1], en_cd(lib, G, g, 0.05, 0.05, one, max_iter=1)[1], 1e-15)
    # Degrees of freedom on the active set.
    work = np.zeros(3 * k * k + k)
    beta = np.array([0.5, 0.0, -0.2, 1e-12, 0.3, 0.0])
    A = np.abs(beta) > 1e-9
    GA = G[np.ix_(A, A)]
    assert lib.trova_en_active_dof(tc.ptr(G), tc.ptr(beta), k, 0.0, 1, 1e-9, tc.ptr(work)) == pytest.approx(1 + 3)
    dof = lib.trova_en_active_dof(tc.ptr(G), tc.ptr(beta), k, 0.4, 0, 1e-9, tc.ptr(work))
    close(dof, np.trace(np.linalg.solve(GA + 0.4 * np.eye(3), GA)), 1e-12)
    assert lib.trova_en_active_dof(tc.ptr(G), tc.ptr(np.full(k, 1e-10)), k, 0.4, 1, 1e-9, tc.ptr(work)) == 1.0


# ---- grid steps and sizers ----

def test_grid_steps_select_as_stated(lib, rng):
    n, p = 60, 4
    X, y = design(rng, n, p, True, correlated=0.3)
    # Lasso grid: the zero penalty has the smaller in-sample rss.
    alphas = np.array([1.0, 0.0])
    ctx = tc.trova_mc_lasso_gs_step_ctx(tc.ptr(alphas), n, p, 2, 1, 50, 1e-12)
    rc, out, status, _ = run_step(lib, "lasso_gs", ctx, X, y, (n, p, 1, 2, 50))
    assert rc == status == 0
    close(out[:p], np.linalg.lstsq(X, y, rcond=None)[0], 1e-9)
    # An empty lasso grid reports -2 and NaN outputs, like the other grids.
    ctx = tc.trova_mc_lasso_gs_step_ctx(tc.ptr(alphas), n, p, 0, 1, 50, 1e-12)
    rc, out, status, _ = run_step(lib, "lasso_gs", ctx, X, y, (n, p, 1, 0, 50))
    assert rc == status == -2 and np.isnan(out).all()
    ctx = tc.trova_mc_ridge_gs_step_ctx(tc.ptr(alphas), n, p, 0, 1, 1)
    rc, out, status, _ = run_step(lib, "ridge_gs", ctx, X, y, (n, p))
    assert rc == status == -2 and np.isnan(out).all()
    # Elastic-net grid: the small penalty (solved second, from the large
    # one's zeros) gets two sweeps only and fails, so the large one is chosen
    # whatever its objective.
    Xc, yc = design(rng, n, p, True, correlated=0.95)
    grid = np.array([1e-4, 10.0])
    ctx = tc.trova_mc_elastic_net_gs_step_ctx(tc.ptr(grid), n, p, 2, 1, 1, 2, 1e-12, 0.5)
    rc, out, status, statuses = run_step(lib, "elastic_net_gs", ctx, Xc, yc, (n, p, 1, 2))
    assert list(statuses) == [-2, 0] and rc == status == 0
    close(out[1:p], np.zeros(p - 1), 0)
    close(out[0], yc.mean(), 1e-13)
    ctx = tc.trova_mc_elastic_net_gs_step_ctx(tc.ptr(grid), n, p, 0, 1, 1, 2, 1e-12, 0.5)
    rc, out, _, _ = run_step(lib, "elastic_net_gs", ctx, Xc, yc, (n, p, 1, 0))
    assert rc == -2 and np.isnan(out).all()


@pytest.mark.parametrize("criterion", [1, 2])
def test_elastic_net_grid_objective(lib, rng, criterion):
    n, p = 80, 5
    X, y = design(rng, n, p, True, correlated=0.4)
    grid = np.array([0.5, 0.1, 0.02, 0.005])
    ctx = tc.trova_mc_elastic_net_gs_step_ctx(tc.ptr(grid), n, p, 4, criterion, 1, 100000, 1e-12, 0.6)
    rc, out, status, statuses = run_step(lib, "elastic_net_gs", ctx, X, y, (n, p, 1, 4))
    assert rc == 0 and (statuses == 0).all()
    Z, yc = X[:, 1:] - X[:, 1:].mean(axis=0), y - y.mean()
    objs = []
    for a in grid:
        b = ElasticNet(alpha=a, l1_ratio=0.6, tol=1e-14, max_iter=1_000_000).fit(X[:, 1:], y).coef_
        rss = ((yc - Z @ b) ** 2).sum()
        A = np.abs(b) > 1e-12
        GA = (Z.T @ Z / n)[np.ix_(A, A)]
        dof = 1 + np.trace(np.linalg.solve(GA + 0.4 * a * np.eye(A.sum()), GA))
        objs.append(n * np.log(rss / n) + (2 * dof if criterion == 1 else np.log(n) * dof))
    best = int(np.argmin(objs))
    ref = ElasticNet(alpha=grid[best], l1_ratio=0.6, tol=1e-14, max_iter=1_000_000).fit(X[:, 1:], y)
    close(out[1:p], ref.coef_, 1e-8)


def test_sizers(lib, gapless):
    if not gapless:
        pytest.skip("layout gaps change the sizes")
    n, p = 10, 3
    for family, want in [("ols", 64), ("ridge", 73), ("ridge_gs", 76), ("lasso", 64), ("elastic_net", 64)]:
        s = getattr(lib, f"trova_mc_{family}_work_arena_size")(n, p)
        assert (s.n_float, s.n_int) == (want, 0)
    s = lib.trova_mc_lasso_gs_work_arena_size(n, p, 1, 4, 5)
    assert (s.n_float, s.n_int) == (107, 0)
    s = lib.trova_mc_elastic_net_gs_work_arena_size(n, p, 1, 4)
    assert (s.n_float, s.n_int) == (89, 4)
    for b in (0, 1):
        for n_alpha, max_iter in [(1, 1), (7, 30)]:
            d = p - b
            s = lib.trova_mc_lasso_gs_work_arena_size(n, p, b, n_alpha, max_iter)
            assert s.n_float == max_iter + d * (p + n_alpha + max_iter + (1 - b) + 8) + n + n * p + 2 * p * p + p + 1


def test_simulation_to_ols_pipeline_fails_rank_deficient_replications(lib, rng):
    # Regress the second simulated state on (1, first state, z), where z is a
    # static column per replication: all ones in every third replication,
    # which duplicates the intercept.
    n, T, n_rep = 2, 40, 9
    A, B = np.array([[0.5, 0.2], [0.1, 0.6]]), np.eye(2)
    plan = tc.ShockPlan(T, 2, [{"columns": [0, 1], "factor": np.eye(2), "key": 3, "idx": 0}])
    size = lib.trova_simulate_order1_arena_size(n, 2, T, 0)
    sim = tc.trova_mc_simulate_order1_step_ctx(tc.trova_measurement_fn(), T, n, 2, 0, 0, ctypes.pointer(plan.plan), size)
    z = rng.standard_normal((n_rep, T))
    z[::3] = 1.0
    ols = tc.trova_mc_ols_step_ctx(T, 3, 1)
    p = tc.Pipeline(n_rep, 2)
    p._keep.append(plan)
    s0 = p.add_step(tc.fn_address(lib, "trova_mc_simulate_order1_runner"), sim, n_in=size + plan.scratch_size(),
                    n_out=T * n, n_int_out=1)
    at = 0
    for block in (A, B, np.zeros(2)):  # A | B | x0
        at = p.bind_static(s0, at, block)
    ols_out, out_at = tc.block_offsets("trova_mc_regression_output_offsets", 3, 1)
    s1 = p.add_step(tc.fn_address(lib, "trova_mc_ols_runner"), ols, n_in=lib.trova_mc_ols_work_arena_size(T, 3).n_float,
                    n_out=ols_out, n_int_out=1)
    lane = tc.Layout()  # X (T x 3) | y (T) | work
    x_at, y_at = lane.take(T, 3), lane.take(T)
    p.bind(s1, -1, x_at, n_rows=T, n_columns=1, target_row_stride=3, fill_value=1.0)
    p.bind(s1, s0, x_at + 1, n_rows=T, columns=[0], source_row_stride=n, target_row_stride=3)
    p.bind(s1, -2, x_at + 2, n_rows=T, columns=[0], source_row_stride=1, target_row_stride=3, static=z.ravel(),
           static_rep_stride=T, static_batched=True)
    p.bind(s1, s0, y_at, n_rows=T, columns=[1], source_row_stride=n, target_row_stride=1)
    assert p.run() == 0
    bad = np.arange(n_rep) % 3 == 0
    np.testing.assert_array_equal(p.failure_step, np.where(bad, 1, -1))
    np.testing.assert_array_equal(p.failure_status, np.where(bad, -1, 0))
    assert np.isnan(p.steps[1]["retained"][bad]).all()
    for r in np.flatnonzero(~bad):
        states = p.steps[0]["retained"][r].reshape(T, n)
        X = np.column_stack([np.ones(T), states[:, 0], z[r]])
        ref = sm.OLS(states[:, 1], X).fit()
        close(p.steps[1]["retained"][r][out_at["coef"]:out_at["coef"] + 3], ref.params, 1e-10)
        close(p.steps[1]["retained"][r][out_at["se"]:out_at["se"] + 3], ref.bse, 1e-9)
