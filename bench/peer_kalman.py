#!/usr/bin/env python3
"""The linear Kalman filter's log-likelihood side by side with statsmodels'
state-space filter on the same model, in one process.

statsmodels is timed through its own call, KalmanFilter.loglike(), per-call
overhead included; its overhead is estimated as the time of the same call on
a one-period sample. Its steady-state shortcut (it stops updating the
covariances once they converge, to 1e-19) is on by default; the table also
shows it off. The library's filter runs through ctypes with the histories off
(log-likelihood only) and on. OpenBLAS (behind SciPy's BLAS) is limited to
one thread, like the library's filter. The log-likelihoods are checked to
agree first. Usage: bench/peer_kalman.py [T] [repeats]
"""
import ctypes
import os
import sys
import timeit

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy as np  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
import trova_ctypes as tc  # noqa: E402
from kalman_cases import HISTORIES, KF_MATRICES, history_buffers, linear_model  # noqa: E402

SIZES = [(5, 2, 2), (20, 4, 4), (50, 8, 8)]


def statsmodels_filter(mats, tolerance=None):
    from statsmodels.tsa.statespace.kalman_filter import KalmanFilter
    A, B, C, d, Q, R, y, x0, P0 = (mats[x] for x in KF_MATRICES)
    m, n = C.shape
    kf = KalmanFilter(k_endog=m, k_states=n, k_posdef=n)
    kf.bind(y.copy())
    kf["design"], kf["obs_intercept"], kf["obs_cov"] = C, d[:, None], R
    kf["transition"], kf["selection"], kf["state_cov"] = A, np.eye(n), B @ Q @ B.T
    kf.initialize_known(A @ x0, A @ P0 @ A.T + B @ Q @ B.T)
    if tolerance is not None:
        kf.tolerance = tolerance
    return kf


def best(fn, repeats, number):
    return min(timeit.repeat(fn, number=number, repeat=repeats)) / number


def main():
    T = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    lib = tc.load()
    rng = np.random.default_rng(0)
    print(f"T = {T}; best of {repeats}; times in ms; ratio = statsmodels time / trova time")
    print(f"{'(n, m, k)':12} {'trova ll':>9} {'trova hist':>10} {'sm':>8} {'sm ovh':>7} {'sm tol=0':>9}"
          f" {'sm/trova':>9} {'sm0/trova':>9}")
    for n, m, k in SIZES:
        mats = linear_model(rng, n, m, k, T)
        arena = np.zeros(lib.kf_arena_size(n, m, k).n_float)
        out = history_buffers(n, m, k, T)
        runs = {}
        for hist in (0, 1):
            inp = tc.kf_inputs(n, m, k, T, *[tc.ptr(mats[x]) for x in KF_MATRICES], 0, 0.0, 0, hist)
            rec = tc.kf_outputs(*[tc.ptr(out[h]) for h in HISTORIES])
            call = lambda inp=inp, rec=rec: lib.kf_hot_loop(ctypes.byref(inp), tc.ptr(arena), ctypes.byref(rec))
            assert call() == 0
            runs[hist] = call
        sm = statsmodels_filter(mats)
        sm0 = statsmodels_filter(mats, tolerance=0)
        short = statsmodels_filter(dict(mats, y=mats["y"][:1].copy()))
        ours = out["loglik"][0]
        assert abs(sm0.loglike() - ours) <= 1e-9 * abs(ours), (sm0.loglike(), ours)
        assert abs(sm.loglike() - ours) <= 1e-7 * abs(ours)
        number = max(1, int(2e-3 / max(best(runs[0], 1, 1), 1e-7)))
        t_ll, t_hist = best(runs[0], repeats, number), best(runs[1], repeats, number)
        t_sm = best(sm.loglike, repeats, max(1, number // 20))
        t_sm0 = best(sm0.loglike, repeats, max(1, number // 20))
        t_ovh = best(short.loglike, repeats, 20)
        print(f"{str((n, m, k)):12} {t_ll * 1e3:9.3f} {t_hist * 1e3:10.3f} {t_sm * 1e3:8.3f} {t_ovh * 1e3:7.3f}"
              f" {t_sm0 * 1e3:9.3f} {t_sm / t_ll:8.1f}x {t_sm0 / t_ll:8.1f}x")


if __name__ == "__main__":
    main()
