#!/usr/bin/env -S /usr/bin/python3
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
is held to one thread. Times are medians.
Usage: bench/peer_residual_diagnostics.py [repeats]
"""
import sys
import warnings

import peer_common as pc
import numpy as np  # noqa: E402
import statsmodels.api as sm  # noqa: E402
from statsmodels.stats.diagnostic import acorr_breusch_godfrey, acorr_ljungbox, het_breuschpagan  # noqa: E402
from statsmodels.stats.stattools import jarque_bera  # noqa: E402

import trova_ctypes as tc  # noqa: E402

N, K, LAGS = 200, 5, 10
# Per test: the statsmodels function and what sizes the problem besides n.
SM_CALLS = {"Ljung-Box": ("acorr_ljungbox", f", {LAGS} lags"), "Jarque-Bera": ("jarque_bera", ""),
            "Breusch-Pagan": ("het_breuschpagan", f", k = {K + 1}"),
            "Breusch-Pagan robust": ("het_breuschpagan(robust)", f", k = {K + 1}"),
            "Breusch-Godfrey": ("acorr_breusch_godfrey", f", k = {K + 1}, {LAGS} lags")}


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


def measure(timing=pc.Timing(repeats=7)):
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
    rows = []
    for name, (fn, args, _) in ours.items():
        t_ours, t_sm = pc.paired(lambda: fn(*args), theirs[name], timing)
        t_over = pc.median_time(overhead[name], timing)
        peer, size = SM_CALLS[name]
        rows.append(pc.Row("Residual diagnostics", f"{name}, n = {N}{size}", t_ours, t_sm, f"statsmodels {peer}",
                           f"sm overhead {min(t_over / t_sm, 1.0):.0%}"))
    del keep
    return rows


def main():
    timing = pc.Timing(repeats=int(sys.argv[1]) if len(sys.argv) > 1 else 7)
    pc.report(measure(timing), timing)


if __name__ == "__main__":
    main()
