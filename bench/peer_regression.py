#!/usr/bin/env -S /usr/bin/python3
"""The lasso solvers side by side with scikit-learn's Gram-based ones, in one
process, on the same problems (n = 200, p = 10 and 50, correlated columns).

Coordinate descent: scikit-learn's Lasso(precompute=Gram).fit(X, y) on
centred data against trova_lasso_gram_cd on G = X'X/n, g = X'y/n; both are
run to a tolerance at which their coefficients agree to 1e-7 (checked). The
LARS lasso path: lars_path_gram(X'y, X'X, n_samples, method="lasso")
against trova_lars_lasso_gram (knots checked equal). The library is called
through ctypes, so both sides pay a Python call. scikit-learn's per-call
overhead is estimated by the same call on a 3 x 2 problem. OpenBLAS is held to
one thread. Times are medians. Usage: bench/peer_regression.py [repeats]
"""
import sys
import warnings

import peer_common as pc
import numpy as np  # noqa: E402
from sklearn.linear_model import Lasso, lars_path_gram  # noqa: E402

import trova_ctypes as tc  # noqa: E402
from regression_cases import lars, lasso_cd  # noqa: E402


def problem(rng, n, p):
    X = rng.standard_normal((n, p))
    X[:, 1:] = 0.6 * X[:, :1] + 0.8 * X[:, 1:]
    beta = np.where(np.arange(p) % 3 == 0, 1.0, 0.0)
    y = X @ beta + rng.standard_normal(n)
    X, y = X - X.mean(axis=0), y - y.mean()
    return np.ascontiguousarray(X), np.ascontiguousarray(y)


def measure(timing=pc.Timing(repeats=7), n=200, ps=(10, 50)):
    warnings.simplefilter("ignore")
    lib = tc.load()
    rng = np.random.default_rng(0)
    alpha = 0.05
    tiny_X, tiny_y = problem(rng, 3, 2)
    tiny_G = tiny_X.T @ tiny_X
    sk_cd_overhead = pc.median_time(
        lambda: Lasso(alpha=alpha, precompute=tiny_G, fit_intercept=False).fit(tiny_X, tiny_y), timing)
    sk_lars_overhead = pc.median_time(lambda: lars_path_gram(tiny_X.T @ tiny_y, tiny_G, n_samples=3, method="lasso"),
                                      timing)
    rows = []
    for p in ps:
        X, y = problem(rng, n, p)
        Gram, Xy = X.T @ X, X.T @ y
        G, g = np.ascontiguousarray(Gram / n), np.ascontiguousarray(Xy / n)
        model = Lasso(alpha=alpha, precompute=Gram, fit_intercept=False, tol=1e-10, max_iter=100000)
        ref = model.fit(X, y).coef_
        st, ours, _ = lasso_cd(lib, G, g, alpha, tol=1e-9)
        assert st == 0 and np.max(np.abs(ours - ref)) < 1e-7, np.max(np.abs(ours - ref))
        # The library's call on buffers allocated once, as a pipeline lane is.
        coef, Gcoef = np.zeros(p), np.zeros(p)
        args = (tc.ptr(G), tc.ptr(g), p, alpha, 100000, 1e-9, tc.ptr(coef), tc.ptr(Gcoef))
        t_ours, t_sk = pc.paired(lambda: lib.trova_lasso_gram_cd(*args), lambda: model.fit(X, y), timing)
        rows.append(pc.Row("Lasso", f"coordinate descent, n = {n}, p = {p}", t_ours, t_sk,
                           "sklearn Lasso(precompute=Gram).fit", f"sk overhead {min(sk_cd_overhead / t_sk, 1):.0%}"))
        st, lam, beta = lars(lib, G, g, max_iter=500)
        alphas, _, coefs = lars_path_gram(Xy, Gram, n_samples=n, method="lasso")
        assert st == 0 and len(lam) == len(alphas) and np.allclose(lam, alphas, rtol=0, atol=1e-10)
        lam_b, beta_b, knots = np.zeros(501), np.zeros((501, p)), np.zeros(1, dtype=np.int64)
        work = np.zeros(p * p + 8 * p)
        args2 = (tc.ptr(G), tc.ptr(g), p, 500, 1e-12, tc.ptr(lam_b), tc.ptr(beta_b), tc.ptr(knots), tc.ptr(work))
        t_ours, t_sk = pc.paired(lambda: lib.trova_lars_lasso_gram(*args2),
                                 lambda: lars_path_gram(Xy, Gram, n_samples=n, method="lasso"), timing)
        rows.append(pc.Row("Lasso", f"LARS lasso path, n = {n}, p = {p}", t_ours, t_sk,
                           "sklearn lars_path_gram(lasso)",
                           f"{len(lam)} knots; sk overhead {min(sk_lars_overhead / t_sk, 1):.0%}"))
    return rows


def main():
    timing = pc.Timing(repeats=int(sys.argv[1]) if len(sys.argv) > 1 else 7)
    pc.report(measure(timing), timing)


if __name__ == "__main__":
    main()
