#!/usr/bin/env -S /usr/bin/python3
"""The linear Kalman filter's log-likelihood side by side with statsmodels'
state-space filter on the same model, in one process.

statsmodels is timed through its own call, KalmanFilter.loglike(), per-call
overhead included; its overhead is estimated as the time of the same call on
a one-period sample. Its steady-state shortcut (it stops updating the
covariances once they converge, to 1e-19) is on by default; the note gives
the ratio with it off too. The library's filter runs through ctypes with the
histories off (log-likelihood only); the note gives its time with them on.
OpenBLAS (behind SciPy's BLAS) is limited to one thread, like the library's
filter. The log-likelihoods are checked to agree first. Times are medians.
Usage: bench/peer_kalman.py [T] [repeats]
"""
import ctypes
import sys

import peer_common as pc
import numpy as np  # noqa: E402

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


def measure(timing=pc.Timing(repeats=7), T=200, sizes=SIZES):
    lib = tc.load()
    rng = np.random.default_rng(0)
    rows = []
    for n, m, k in sizes:
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
        t_ll, t_sm = pc.paired(runs[0], sm.loglike, timing)
        t_hist, t_sm0 = pc.paired(runs[1], sm0.loglike, timing)
        t_ovh = pc.median_time(short.loglike, timing)
        rows.append(pc.Row("Kalman loglik", f"(n, m, k) = {(n, m, k)}, T = {T}", t_ll, t_sm,
                           "statsmodels KalmanFilter.loglike",
                           f"lib with histories {pc.fmt_time(t_hist).strip()}; sm tol=0 {t_sm0 / t_ll:.1f}x;"
                           f" sm overhead {min(t_ovh / t_sm, 1.0):.0%}"))
    return rows


def main():
    T = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    timing = pc.Timing(repeats=int(sys.argv[2]) if len(sys.argv) > 2 else 7)
    pc.report(measure(timing, T), timing)


if __name__ == "__main__":
    main()
