#!/usr/bin/env -S /usr/bin/python3
"""The stability tests side by side with statsmodels, in one process, on the
same regression (n = 200 observations, p = 5 regressors with an intercept).

Recursive residuals: statsmodels' recursive_olsresiduals on a fitted OLS
against trova_recursive_residuals. CUSUM: OLS fit, recursive_olsresiduals and
the boundary-ratio maximum in NumPy, rescaled to the full-sample sigma with
divisor n - p (statsmodels divides by the residuals' own standard deviation),
plus the p-value, against trova_cusum_stat and trova_cusum_sf. CUSUMSQ: the
squared-share path of the same recursive residuals against
trova_cusumsq_stat. Chow: three statsmodels OLS fits (pooled and the two
segments) against trova_chow_stat. Values are checked equal first. The
library is called through ctypes on buffers allocated once, as a pipeline
lane is, so both sides pay a Python call. statsmodels' per-call overhead is
estimated by the same calls on a problem of n = 8, p = 2, and reported as a
share of its time at n = 200. Times are medians.
Usage: bench/peer_stability.py [repeats]
"""
import sys

import peer_common as pc
import numpy as np  # noqa: E402
import statsmodels.api as sm  # noqa: E402
from scipy.stats import norm  # noqa: E402
from statsmodels.stats.diagnostic import recursive_olsresiduals  # noqa: E402

import trova_ctypes as tc  # noqa: E402


def problem(rng, n, p):
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    y = X @ np.linspace(1.0, -1.0, p) + rng.standard_normal(n)
    return np.ascontiguousarray(X), y


# ---- statsmodels side ----

def sm_recursive(X, y):
    return recursive_olsresiduals(sm.OLS(y, X).fit())[4][X.shape[1]:]


def sm_cusum(X, y):
    res = sm.OLS(y, X).fit()
    w = recursive_olsresiduals(res)[4][X.shape[1]:]
    m = len(w)
    path = np.cumsum(w) / np.sqrt(res.ssr / m)
    a = np.max(np.abs(path) / (np.sqrt(m) + 2.0 * np.arange(m) / np.sqrt(m)))
    return a, min(2.0 * (norm.sf(3.0 * a) + np.exp(-4.0 * a * a) * norm.cdf(a)), 1.0)


def sm_cusumsq(X, y):
    w = sm_recursive(X, y)
    m = len(w)
    return np.max(np.abs(np.cumsum(w * w) / np.dot(w, w) - np.arange(1, m + 1) / m)) / np.sqrt(2.0)


def sm_chow(X, y, k):
    n, p = X.shape
    rc = sm.OLS(y, X).fit().ssr
    ru = sm.OLS(y[:k], X[:k]).fit().ssr + sm.OLS(y[k:], X[k:]).fit().ssr
    return ((rc - ru) / p) / (ru / (n - 2 * p))


# ---- library side: buffers allocated once ----

class Lib:
    """The library's calls on one problem, every buffer and argument tuple made once."""

    def __init__(self, lib, X, y, k):
        n, p = X.shape
        self.lib, self.X, self.y = lib, X, y
        self.w = np.zeros(n - p)
        self.stat = np.zeros(1)
        self.count = np.zeros(1, dtype=np.int64)
        self.rec_arena = np.zeros(3 * p * p + 3 * p)
        self.cusum_arena = np.zeros(lib.trova_cusum_arena_size(n, p).n_float)
        self.sq_arena = np.zeros(lib.trova_cusumsq_arena_size(n, p).n_float)
        self.chow_arena = np.zeros(lib.trova_chow_arena_size(p).n_float)
        d = (tc.ptr(y), tc.ptr(X), n, p)
        self.rec_args = d + (tc.ptr(self.rec_arena), tc.ptr(self.w))
        self.cusum_args = d + (tc.ptr(self.cusum_arena), tc.ptr(self.stat))
        self.sq_args = d + (tc.ptr(self.count), tc.ptr(self.sq_arena), tc.ptr(self.stat))
        self.chow_args = d + (k, tc.ptr(self.chow_arena), tc.ptr(self.stat))

    # Each returns its values for the check; timed() gives the bare calls.
    def recursive(self):
        assert self.lib.trova_recursive_residuals(*self.rec_args) == 0
        return self.w

    def cusum(self):
        assert self.lib.trova_cusum_stat(*self.cusum_args) == 0
        return self.stat[0], self.lib.trova_cusum_sf(self.stat[0])

    def cusumsq(self):
        assert self.lib.trova_cusumsq_stat(*self.sq_args) == 0
        return self.stat[0]

    def chow(self):
        assert self.lib.trova_chow_stat(*self.chow_args) == 0
        return self.stat[0]

    def timed(self):
        lib = self.lib
        rec, cusum, sf, sq, chow = (lib.trova_recursive_residuals, lib.trova_cusum_stat, lib.trova_cusum_sf,
                                    lib.trova_cusumsq_stat, lib.trova_chow_stat)
        a, b, c, d, stat = self.rec_args, self.cusum_args, self.sq_args, self.chow_args, self.stat
        return [lambda: rec(*a), lambda: (cusum(*b), sf(stat[0])), lambda: sq(*c), lambda: chow(*d)]


def measure(timing=pc.Timing(repeats=15)):
    lib = tc.load()
    rng = np.random.default_rng(0)
    n, p, k = 200, 5, 120
    X, y = problem(rng, n, p)
    tiny_X, tiny_y = problem(rng, 8, 2)
    ours = Lib(lib, X, y, k)
    cases = [
        ("recursive residuals", "recursive_olsresiduals", ours.recursive, lambda: sm_recursive(X, y),
         lambda: sm_recursive(tiny_X, tiny_y)),
        ("CUSUM stat + p-value", "OLS + recursive_olsresiduals", ours.cusum, lambda: sm_cusum(X, y),
         lambda: sm_cusum(tiny_X, tiny_y)),
        ("CUSUMSQ stat", "OLS + recursive_olsresiduals", ours.cusumsq, lambda: sm_cusumsq(X, y),
         lambda: sm_cusumsq(tiny_X, tiny_y)),
        (f"Chow F (break at {k})", "3 OLS fits", ours.chow, lambda: sm_chow(X, y, k),
         lambda: sm_chow(tiny_X, tiny_y, 4)),
    ]
    for name, _, mine, theirs, _ in cases:
        np.testing.assert_allclose(np.asarray(mine(), dtype=float), np.asarray(theirs(), dtype=float),
                                   rtol=1e-9, atol=1e-12, err_msg=name)
    rows = []
    for (name, peer, _, theirs, tiny), mine in zip(cases, ours.timed()):
        t_ours, t_sm = pc.paired(mine, theirs, timing)
        t_tiny = pc.median_time(tiny, timing)
        rows.append(pc.Row("Stability", f"{name}, n = {n}, p = {p}", t_ours, t_sm, f"statsmodels {peer}",
                           f"sm overhead (n = 8) {min(t_tiny / t_sm, 1.0):.0%}"))
    return rows


def main():
    timing = pc.Timing(repeats=int(sys.argv[1]) if len(sys.argv) > 1 else 15)
    pc.report(measure(timing), timing)


if __name__ == "__main__":
    main()
