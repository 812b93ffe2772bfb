"""Linear-filter test models and the ctypes plumbing to run the kernels on them."""
import ctypes

import numpy as np

import trova_ctypes as tc
from references import spd, stable

KF_MATRICES = "A B C d Q R y x0 P0".split()
HISTORIES = "x_pred x_filt P_pred P_filt y_pred y_filt innov std_innov S eps_hat loglik".split()


def linear_model(rng, n, m, k, T, radius=0.9):
    """A stable model with random observations (the filter need not have generated them)."""
    mats = {
        "A": stable(rng, n, radius), "B": rng.standard_normal((n, k)), "C": rng.standard_normal((m, n)),
        "d": rng.standard_normal(m), "Q": spd(rng, k), "R": spd(rng, m), "y": rng.standard_normal((T, m)),
        "x0": rng.standard_normal(n), "P0": spd(rng, n),
    }
    return {key: np.ascontiguousarray(v, dtype=np.float64) for key, v in mats.items()}


def history_buffers(n, m, k, T, fill=np.nan):
    shapes = {"x_pred": (T, n), "x_filt": (T, n), "P_pred": (T, n, n), "P_filt": (T, n, n),
              "y_pred": (T, m), "y_filt": (T, m), "innov": (T, m), "std_innov": (T, m),
              "S": (T, m, m), "eps_hat": (T, k), "loglik": (1,)}
    return {name: np.full(shape, fill) for name, shape in shapes.items()}


def run_kf(lib, mats, symmetrize=0, jitter=0.0, return_shocks=1, store_history=1, omit=()):
    """kf_hot_loop on a model; returns (status, outputs). Outputs named in
    `omit` are passed as NULL."""
    n, k = mats["B"].shape
    m, T = mats["C"].shape[0], mats["y"].shape[0]
    inp = tc.kf_inputs(n, m, k, T, *[tc.ptr(mats[x]) for x in KF_MATRICES], symmetrize, jitter,
                       return_shocks, store_history)
    out = history_buffers(n, m, k, T)
    rec = tc.kf_outputs(*[None if h in omit else tc.ptr(out[h]) for h in HISTORIES])
    arena = np.full(lib.kf_arena_size(n, m, k).n_float, np.nan)
    status = lib.kf_hot_loop(ctypes.byref(inp), tc.ptr(arena), ctypes.byref(rec))
    return status, out
