#!/usr/bin/env python3
"""The residual diagnostics side by side with statsmodels', in one process,
on the residuals of one OLS fit (n = 200, five regressors and a constant,
heteroskedastic and autocorrelated errors).

Ljung-Box with 10 lags (acorr_ljungbox), Jarque-Bera (jarque_bera),
Breusch-Pagan in its standard and robust forms (het_breuschpagan with
robust=False and True) and Breusch-Godfrey with 10 lags
(acorr_breusch_godfrey on the fitted OLS results, which are not re-fitted
per call). statsmodels is timed through its own functions, per-call overhead
included; that overhead is estimated by the same call on a problem of 12
observations, one regressor and one lag. The library is called through
ctypes on buffers allocated once, as a pipeline lane is, with its argument
tuples built beforehand. The statistics are checked to agree first. OpenBLAS
is held to one thread. Usage: bench/peer_residual_diagnostics.py [repeats]
"""
import os
import sys
import timeit
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy as np  # noqa: E402
import statsmodels.api as sm  # noqa: E402
from statsmodels.stats.diagnostic import acorr_breusch_godfrey, acorr_ljungbox, het_breuschpagan  # noqa: E402
from statsmodels.stats.stattools import jarque_bera  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))
import trova_ctypes as tc  # noqa: E402

N, K, LAGS = 200, 5, 10


def best(fn, repeats, number):
    return min(timeit.repeat(fn, number=number, repeat=repeats)) / number


def fitted(rng, n, k):
    X = rng.standard_normal((n, k))
    u = rng.standard_normal(n) * np.exp(0.5 * X[:, 0])
    u[1:] += 0.4 * u[:-1]
    Xc = sm.add_constant(X)
    return np.ascontiguousarray(X), sm.OLS(Xc @ np.linspace(1.0, 2.0, k + 1) + u, Xc).fit()


def statsmodels_calls(res, lags):
    e, Xc = res.resid, res.model.exog
    return {
        "Ljung-Box": lambda: acorr_ljungbox(e, lags=[lags])["lb_stat"].iloc[0],
        "Jarque-Bera": lambda: jarque_bera(e)[0],
        "Breusch-Pagan": lambda: het_breuschpagan(e, Xc, robust=False)[0],
        "Breusch-Pagan robust": lambda: het_breuschpagan(e, Xc, robust=True)[0],
        "Breusch-Godfrey": lambda: acorr_breusch_godfrey(res, nlags=lags)[0],
    }


def library_calls(lib, X, res, lags):
    """Per test: the ctypes function, its argument tuple and its output."""
    n, k = X.shape
    e = np.ascontiguousarray(res.resid)
    Xc = np.ascontiguousarray(res.model.exog)
    out = {name: np.zeros(1) for name in ("lb", "jb", "bp", "bpr", "bg")}
    lb = np.zeros(lib.trova_lb_arena_size(n, lags).n_float)
    bp = np.zeros(lib.trova_bp_arena_size(n, k + 1).n_float)
    bg = np.zeros(lib.trova_bg_arena_size(n, k, lags).n_float)
    keep = (e, X, Xc, lb, bp, bg, out)
    calls = {
        "Ljung-Box": (lib.trova_lb_stat, (tc.ptr(e), n, lags, tc.ptr(lb), tc.ptr(lb[n:]), tc.ptr(out["lb"])),
                      out["lb"]),
        "Jarque-Bera": (lib.trova_jb_stat, (tc.ptr(e), n, tc.ptr(out["jb"])), out["jb"]),
        "Breusch-Pagan": (lib.trova_bp_stat, (tc.ptr(e), tc.ptr(Xc), n, k + 1, 0, tc.ptr(bp), tc.ptr(out["bp"])),
                          out["bp"]),
        "Breusch-Pagan robust": (lib.trova_bp_stat, (tc.ptr(e), tc.ptr(Xc), n, k + 1, 1, tc.ptr(bp),
                                                     tc.ptr(out["bpr"])), out["bpr"]),
        "Breusch-Godfrey": (lib.trova_bg_stat, (tc.ptr(e), tc.ptr(X), n, k, lags, tc.ptr(bg), tc.ptr(out["bg"])),
                            out["bg"]),
    }
    return calls, keep


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    warnings.simplefilter("ignore")
    lib = tc.load()
    rng = np.random.default_rng(0)
    X, res = fitted(rng, N, K)
    _, tiny = fitted(rng, 12, 1)
    ours, keep = library_calls(lib, X, res, LAGS)
    theirs, overhead = statsmodels_calls(res, LAGS), statsmodels_calls(tiny, 1)
    for name, (fn, args, out) in ours.items():
        status = fn(*args)
        want = theirs[name]()
        assert status == 0 and abs(out[0] - want) <= 1e-9 * max(1.0, abs(want)), (name, out[0], want)
    print(f"n = {N}, {K} regressors and a constant, {LAGS} lags; best of {repeats}; times in microseconds;"
          " ratio = statsmodels time / trova time")
    print(f"{'test':22} {'trova':>8} {'statsmodels':>12} {'ratio':>8} {'sm overhead':>12} {'sm overhead share':>18}")
    for name, (fn, args, _) in ours.items():
        t_ours = best(lambda: fn(*args), repeats, 20000)
        t_sm = best(theirs[name], repeats, 200)
        t_over = best(overhead[name], repeats, 200)
        print(f"{name:22} {t_ours * 1e6:8.2f} {t_sm * 1e6:12.1f} {t_sm / t_ours:7.0f}x {t_over * 1e6:12.1f}"
              f" {min(t_over / t_sm, 1.0):17.0%}")
    del keep


if __name__ == "__main__":
    main()
