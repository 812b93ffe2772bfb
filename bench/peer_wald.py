#!/usr/bin/env -S /usr/bin/python3
"""The three HAC Wald tests (mean, covariance, second moment) at n = 500,
q = 4, with every kernel and bandwidth mode, side by side with the same
computation done with statsmodels, in one process.

The statsmodels side builds the moments with NumPy, chooses the bandwidth
with NumPy (Wooldridge's rule; Andrews' AR(1) plug-in, which statsmodels does
not offer), estimates the long-run covariance with S_hac_simple (its own
Bartlett weights, NumPy Parzen and QS weights) and solves for the statistic
with NumPy; both sides' statistics are checked equal first. The library is
called through ctypes on buffers allocated once, as a pipeline lane is.
statsmodels' per-call overhead is estimated by the same call on L + 2 rows
with the same number of lags L. OpenBLAS is held to one thread. Times are
medians. Usage: bench/peer_wald.py [repeats]
"""
import itertools
import sys

import peer_common as pc
import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402

import trova_ctypes as tc  # noqa: E402
import wald_cases as wc  # noqa: E402

KERNEL_NAMES = {wc.BARTLETT: "Bartlett", wc.PARZEN: "Parzen", wc.QS: "QS"}
MODE_NAMES = {wc.MANUAL: "manual", wc.WOOLDRIDGE: "Wooldridge", wc.ANDREWS: "Andrews", wc.AUTO: "auto"}
N, Q, MANUAL_L = 500, 4, 8


def data(rng):
    """A VAR(1) with persistence 0.5 and correlated shocks, and its population moments."""
    A = 0.5 * np.eye(Q) + 0.1 * np.tri(Q, k=-1)
    chol = np.linalg.cholesky(0.5 * np.eye(Q) + 0.5)
    x, g = np.zeros(Q), np.empty((N, Q))
    for t, e in enumerate(rng.standard_normal((N, Q)) @ chol.T):
        x = A @ x + e
        g[t] = 1.0 + x
    cov = scipy.linalg.solve_discrete_lyapunov(A, chol @ chol.T)
    return g, {"mean": np.ones(Q), "covariance": cov, "second_moment": cov + 1.0}


ALL_CASES = list(itertools.product(wc.KINDS, wc.KERNELS, wc.MODES))


def measure(timing=pc.Timing(repeats=5), cases=ALL_CASES):
    """One row per (kind, kernel, bandwidth mode) of `cases`."""
    lib = tc.load()
    g, targets = data(np.random.default_rng(0))
    rows = []
    for kind, kernel, mode in cases:
        target = targets[kind]
        call = wc.Call(lib, kind, g, target, kernel, mode, MANUAL_L)
        assert call() == 0 and call.guards_intact()
        want, L = wc.wald(kind, g, target, kernel, mode, MANUAL_L)
        assert abs(call.stat[0] - want) <= 1e-9 * abs(want), (kind, kernel, mode, call.stat[0], want)
        t_ours, t_sm = pc.paired(call, lambda: wc.wald(kind, g, target, kernel, mode, MANUAL_L), timing)
        few = g[:L + 2]
        t_few = pc.median_time(lambda: wc.wald(kind, few, target, kernel, mode, MANUAL_L, lags=L), timing)
        rows.append(pc.Row("HAC Wald", f"{kind}, {KERNEL_NAMES[kernel]}, {MODE_NAMES[mode]} (L = {L}),"
                           f" n = {N}, q = {Q}", t_ours, t_sm, "statsmodels S_hac_simple + NumPy",
                           f"sm overhead {min(t_few / t_sm, 1.0):.0%}"))
    return rows


def main():
    timing = pc.Timing(repeats=int(sys.argv[1]) if len(sys.argv) > 1 else 5)
    rows = measure(timing)
    pc.report(rows, timing, f"manual bandwidth {MANUAL_L}")
    ratios = [r.ratio for r in rows]
    print(f"ratio: min {min(ratios):.1f}x, median {np.median(ratios):.1f}x, max {max(ratios):.1f}x")


if __name__ == "__main__":
    main()
