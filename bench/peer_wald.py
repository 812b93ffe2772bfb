#!/usr/bin/env python3
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
with the same number of lags L. OpenBLAS is held to one thread.
Usage: bench/peer_wald.py [repeats]
"""
import os
import sys
import timeit

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
import trova_ctypes as tc  # noqa: E402
import wald_cases as wc  # noqa: E402

KERNEL_NAMES = {wc.BARTLETT: "Bartlett", wc.PARZEN: "Parzen", wc.QS: "QS"}
MODE_NAMES = {wc.MANUAL: "manual", wc.WOOLDRIDGE: "Wooldridge", wc.ANDREWS: "Andrews", wc.AUTO: "auto"}
N, Q, MANUAL_L = 500, 4, 8


def best(fn, repeats, budget=0.05):
    """Best time per call, with the call count per repeat sized to the budget (seconds)."""
    once = min(timeit.repeat(fn, number=1, repeat=3))
    number = max(1, int(budget / max(once, 1e-7)))
    return min(timeit.repeat(fn, number=number, repeat=repeats)) / number


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


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    lib = tc.load()
    g, targets = data(np.random.default_rng(0))
    print(f"n = {N}, q = {Q}, manual bandwidth {MANUAL_L}; best of {repeats}; times in microseconds;"
          " ratio = statsmodels time / trova time")
    print(f"{'test':14} {'kernel':9} {'mode':11} {'L':>3} {'trova':>8} {'statsmodels':>12} {'ratio':>7}"
          f" {'sm overhead share':>18}")
    ratios, shares = [], []
    for kind in wc.KINDS:
        for kernel in wc.KERNELS:
            for mode in wc.MODES:
                target = targets[kind]
                call = wc.Call(lib, kind, g, target, kernel, mode, MANUAL_L)
                assert call() == 0 and call.guards_intact()
                want, L = wc.wald(kind, g, target, kernel, mode, MANUAL_L)
                assert abs(call.stat[0] - want) <= 1e-9 * abs(want), (kind, kernel, mode, call.stat[0], want)
                t_ours = best(call, repeats)
                t_sm = best(lambda: wc.wald(kind, g, target, kernel, mode, MANUAL_L), repeats)
                few = g[:L + 2]
                t_few = best(lambda: wc.wald(kind, few, target, kernel, mode, MANUAL_L, lags=L), repeats)
                ratios.append(t_sm / t_ours)
                shares.append(min(t_few / t_sm, 1.0))
                print(f"{kind:14} {KERNEL_NAMES[kernel]:9} {MODE_NAMES[mode]:11} {L:3d} {t_ours * 1e6:8.1f}"
                      f" {t_sm * 1e6:12.1f} {ratios[-1]:6.1f}x {shares[-1]:17.0%}")
    print(f"ratio: min {min(ratios):.1f}x, median {np.median(ratios):.1f}x, max {max(ratios):.1f}x;"
          f" statsmodels overhead share: median {np.median(shares):.0%}")


if __name__ == "__main__":
    main()
