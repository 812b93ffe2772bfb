"""Regression test data and the ctypes plumbing to run the kernels and steps."""
import ctypes

import numpy as np

import trova_ctypes as tc


def design(rng, n, p, intercept, correlated=0.0):
    """X (n x p, column 0 ones when intercept) and y = X beta + noise."""
    k = p - int(intercept)
    z = rng.standard_normal((n, k))
    if correlated:
        z[:, 1:] = correlated * z[:, :1] + np.sqrt(1 - correlated**2) * z[:, 1:]
    X = np.hstack([np.ones((n, 1)), z]) if intercept else z
    beta = np.linspace(1.5, -1.0, p) * (np.arange(p) % 3 != 2)  # every third slope zero
    y = X @ beta + 0.5 * rng.standard_normal(n) + (2.0 if intercept else 0.0)
    return np.ascontiguousarray(X), np.ascontiguousarray(y)


def centred_gram(X, y, intercept):
    """G = X'X/n and g = X'y/n of the centred non-intercept columns (or of X)."""
    n = len(y)
    if intercept:
        Z, yc = X[:, 1:] - X[:, 1:].mean(axis=0), y - y.mean()
    else:
        Z, yc = X, y
    return np.ascontiguousarray(Z.T @ Z / n), np.ascontiguousarray(Z.T @ yc / n)


def run_step(lib, family, ctx, X, y, sizer_args):
    """Runs a regression step function on a lane sized by its sizer; returns
    (returned status, float outputs as output_blocks gives them, int_out,
    int work lane)."""
    n, p = X.shape
    size = getattr(lib, f"trova_mc_{family}_work_arena_size")(*sizer_args)
    lane = np.full(size.n_float, np.nan)
    staged = tc.pack([X, y])  # X | y at the start of the lane, as the step lays them out
    lane[:staged.size] = staged
    out = np.full(tc.block_offsets("trova_mc_regression_output_offsets", p, int(family == "ols"))[0], -5.0)
    status = np.array([99], dtype=np.int64)
    int_work = np.zeros(max(size.n_int, 1), dtype=np.int64)
    rc = getattr(lib, f"trova_mc_{family}_runner")(0, tc.ptr(lane), tc.ptr(out), tc.ptr(int_work), tc.ptr(status),
                                                    ctypes.addressof(ctx))
    return rc, output_blocks(out, p, family == "ols"), int(status[0]), int_work


def output_blocks(lane, p, ols):
    """The blocks of a regression step's float output lane, taken at the
    library's offsets, one after another: coef (p), ssr, sst, then se (p)
    for OLS."""
    _, at = tc.block_offsets("trova_mc_regression_output_offsets", p, int(ols))
    return np.concatenate([lane[at[name]:at[name] + width]
                           for name, width in (("coef", p), ("ssr", 1), ("sst", 1), ("se", p)) if name in at])


def lars(lib, G, c, max_iter=100, tol=1e-12):
    k = len(c)
    lam = np.full(max_iter + 1, np.nan)
    beta = np.full((max_iter + 1, k), np.nan)
    n_knots = np.zeros(1, dtype=np.int64)
    work = np.full(k * k + 8 * k, np.nan)
    st = lib.trova_lars_lasso_gram(tc.ptr(G), tc.ptr(c), k, max_iter, tol, tc.ptr(lam), tc.ptr(beta),
                                   tc.ptr(n_knots), tc.ptr(work))
    m = int(n_knots[0])
    return st, lam[:m], beta[:m]


def lasso_cd(lib, G, g, alpha, max_iter=100000, tol=1e-13):
    k = len(g)
    coef, Gcoef = np.full(k, np.nan), np.full(k, np.nan)
    st = lib.trova_lasso_gram_cd(tc.ptr(G), tc.ptr(g), k, alpha, max_iter, tol, tc.ptr(coef), tc.ptr(Gcoef))
    return st, coef, Gcoef
