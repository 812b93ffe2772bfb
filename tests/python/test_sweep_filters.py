"""The three Kalman filters across the shape regimes, every output against an
independent reference, kernel and pipeline step alike.

Regimes: more observables than states, as many, fewer; one state, one
observable; more shocks than states and none; one period and longer runs.
The linear filter is checked against statsmodels' state-space filter where
its conventions apply (symmetric inputs, no jitter) and always against the
recursion read off its definition, which also covers a prior and R that are
not exactly symmetric with symmetrize = 0 and a jittered factor. The
extended filter runs a nonlinear measurement whose Jacobian changes every
period, and a Jacobian that turns NaN mid-run (the filter stops with -3 and
keeps the completed periods). The unscented filter runs a nonlinear
measurement of the levels, more observables than augmented states, and a
prior whose singular x2 block forces the factorisation's retry. Every case
also runs the step function on lanes of exactly the sizers' lengths and
must reproduce the kernel's outputs (to the rounding that the lanes'
alignment may change) without writing past them.
"""
import ctypes

import numpy as np
import pytest

import trova_ctypes as tc
from kalman_cases import (HISTORIES, KF_MATRICES, MODEL, OUT, UkfCase, close, history_buffers, linear_model,
                          measurement_callback, pruned_model, run_kf)
from references import kalman_recursion, spd, statsmodels_filter

RTOL = 1e-9
_TAIL = 8  # sentinel cells after every lane handed to a step function
_SENTINEL = -7.25

# (n, m, k, T)
LINEAR_SHAPES = [
    (1, 2, 1, 30),  # more observables than states, one state
    (3, 4, 2, 25),
    (2, 6, 5, 15),  # m > n and k > n
    (3, 3, 3, 12),  # m = n = k
    (5, 2, 8, 20),  # m < n, k > n
    (4, 1, 2, 1),   # one observable, one period
    (1, 1, 1, 40),  # scalar
    (3, 2, 0, 10),  # no shocks
    (2, 5, 0, 8),   # no shocks, m > n
    (7, 3, 1, 30),
    (0, 2, 1, 5),   # no states: S = R
    (3, 0, 2, 5),   # nothing observed: the prediction is the filtered state
    (2, 3, 1, 0),   # no periods
]
LINEAR_VARIANTS = [
    {"name": "sym0", "symmetrize": 0},
    {"name": "sym1", "symmetrize": 1, "shocks": 0},
    {"name": "asym", "symmetrize": 0, "asym": ("P0", "R"), "jitter": 0.05},
    {"name": "asym_R", "symmetrize": 0, "asym": ("R",)},
    {"name": "asym_sym1", "symmetrize": 1, "asym": ("P0", "R")},
]
EXTENDED_VARIANTS = [
    {"name": "sym1", "symmetrize": 1},
    {"name": "asym_R", "symmetrize": 0, "asym": ("R",), "jitter": 0.01, "shocks": 0},
    {"name": "nan_jacobian", "symmetrize": 0},
]
# (n_state, n_ctrl, n_exog, n_obs, T)
UNSCENTED_SHAPES = [
    (1, 2, 1, 3, 12),  # more observables than augmented states (nz = 2)
    (2, 0, 3, 5, 8),   # no controls, more shocks than states, no > nz
    (2, 2, 0, 2, 6),   # no shocks
    (3, 1, 2, 1, 1),   # one observable, one period
    (1, 1, 1, 1, 15),
    (3, 3, 4, 7, 5),
]
UNSCENTED_VARIANTS = [
    {"name": "sym1", "symmetrize": 1},
    {"name": "asym", "symmetrize": 0, "asym": True, "jitter": 0.01},
    {"name": "asym_sym1", "symmetrize": 1, "asym": True},
    {"name": "retry", "symmetrize": 1, "singular_x2": True},
]


def unsymmetric(rng, M, scale=0.02):
    """M with its strict upper triangle perturbed: no longer exactly symmetric."""
    M = M.copy()
    iu = np.triu_indices(len(M), 1)
    M[iu] += scale * rng.standard_normal(len(iu[0]))
    return M


def guarded_lane(n, fill=np.nan):
    lane = np.full(n + _TAIL, _SENTINEL)
    lane[:n] = fill
    return lane


def check_tail(lane):
    assert (lane[-_TAIL:] == _SENTINEL).all(), "the step wrote past its lane"


def compare(got, status, ll, hist, names, T_done):
    """Kernel outputs against a reference's completed rows; later rows untouched."""
    close(got["loglik"][0], ll, RTOL)
    for name in names:
        rows = got[name][:T_done]
        if T_done:
            close(rows, np.array(hist[name]), RTOL)
        assert np.isnan(got[name][T_done:]).all(), name


def run_step(lib, runner, ctx, packed, n_work, n_out):
    """The step function on a lane of packed input + n_work scratch and an
    output lane of n_out; returns (status, int_out[0], packed output)."""
    lane = guarded_lane(packed.size + n_work)
    lane[:packed.size] = packed
    out = guarded_lane(n_out)
    int_out = np.full(1 + _TAIL, 99, dtype=np.int64)
    status = getattr(lib, runner)(0, tc.ptr(lane), tc.ptr(out), None, tc.ptr(int_out),
                                  ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p))
    check_tail(lane)
    check_tail(out)
    assert (int_out[1:] == 99).all()
    return status, int_out[0], out[:n_out]


def packed_histories(out, names):
    return np.concatenate([out[h].ravel() for h in names])


def unpacked(packed_out, out, names):
    """The step's output blocks, placed as the library places them (with
    their gaps they fill the lane), flattened in the order of names."""
    hist = [out[h] for h in names]
    assert packed_out.size == tc.pack(hist).size
    return np.concatenate([b.ravel() for b in tc.unpack(packed_out, [h.shape for h in hist])])


# ---- linear ----

def sweep_linear(lib, rng, shape, variant):
    n, m, k, T = shape
    mats = linear_model(rng, n, m, k, T)
    for name in variant.get("asym", ()):
        mats[name] = unsymmetric(rng, mats[name])
    sym, jitter, shocks = variant["symmetrize"], variant.get("jitter", 0.0), variant.get("shocks", 1)
    status, out = run_kf(lib, mats, symmetrize=sym, jitter=jitter)
    C, d = mats["C"], mats["d"]
    ref_status, ll, hist = kalman_recursion(*[mats[x] for x in "A B Q R y x0 P0".split()], lambda x: C @ x + d,
                                            lambda x: C, symmetrize=sym, jitter=jitter)
    assert status == ref_status == 0
    compare(out, status, ll, hist, HISTORIES[:-1], T)
    if not variant.get("asym") and min(n, m, T) > 0:
        ref = statsmodels_filter(*[mats[x] for x in KF_MATRICES])
        close(out["loglik"][0], ref.llf_obs.sum(), RTOL)
        close(out["x_pred"], ref.predicted_state[:, :T].T, RTOL)
        close(out["P_pred"], ref.predicted_state_cov[:, :, :T].transpose(2, 0, 1), RTOL)
        close(out["x_filt"], ref.filtered_state.T, RTOL)
        close(out["P_filt"], ref.filtered_state_cov.transpose(2, 0, 1), RTOL)
        close(out["y_pred"], ref.forecasts.T, RTOL)
        close(out["innov"], ref.forecasts_error.T, RTOL)
        close(out["S"], ref.forecasts_error_cov.transpose(2, 0, 1), RTOL)
        close(out["std_innov"], ref.standardized_forecasts_error.T, RTOL)
    # The step on the packed blocks.
    ctx = tc.trova_mc_filter_linear_step_ctx(T, n, m, k, sym, jitter, shocks)
    packed = tc.pack([mats[x] for x in KF_MATRICES])
    assert packed.size == lib.trova_filter_linear_input_arena_size(n, m, k, T)
    step_status, stored, packed_out = run_step(lib, "trova_mc_filter_linear_runner", ctx, packed,
                                               lib.kf_arena_size(n, m, k).n_float,
                                               lib.trova_filter_linear_output_arena_size(n, m, k, T, shocks))
    assert step_status == stored == 0
    names = HISTORIES if shocks else [h for h in HISTORIES if h != "eps_hat"]
    close(unpacked(packed_out, out, names), packed_histories(out, names), 1e-13)


# ---- extended ----

def nonlinear_measurement(C, D, d, nan_at=None):
    """h(x) = C x + d + a sin(D x) with a = params[0], and its Jacobian
    C + a diag(cos(D x)) D, which moves with the state every period. With
    nan_at the Jacobian's call number nan_at (0-based, one call a period) is NaN."""
    calls = {"jac": 0}

    def h(x, p):
        return C @ x + d + p[0] * np.sin(D @ x)

    def H(x, p):
        J = C + p[0] * np.cos(D @ x)[:, None] * D
        if calls["jac"] == nan_at:
            J = J.copy()
            J[0, 0] = np.nan
        calls["jac"] += 1
        return J

    return h, H


def ekf_callbacks(h, H, n, m, n_par):
    @tc.meas_fn
    def meas(x, params, out):
        p = np.ctypeslib.as_array(params, shape=(n_par,))
        np.ctypeslib.as_array(out, shape=(m,))[:] = h(np.ctypeslib.as_array(x, shape=(n,)), p)

    @tc.meas_fn
    def jac(x, params, out):
        p = np.ctypeslib.as_array(params, shape=(n_par,))
        np.ctypeslib.as_array(out, shape=(m, n))[:] = H(np.ctypeslib.as_array(x, shape=(n,)), p)

    return meas, jac


def sweep_extended(lib, rng, shape, variant):
    n, m, k, T = shape
    mats = linear_model(rng, n, m, k, T)
    for name in variant.get("asym", ()):
        mats[name] = unsymmetric(rng, mats[name])
    # A mild nonlinearity: rounding differences must not grow from period to period.
    D = 0.3 * rng.standard_normal((m, n))
    params = np.array([0.5, -1.0])
    sym, jitter, shocks = variant["symmetrize"], variant.get("jitter", 0.0), variant.get("shocks", 1)
    nan_at = T // 2 if variant["name"] == "nan_jacobian" else None

    def callbacks():
        h, H = nonlinear_measurement(mats["C"], D, mats["d"], nan_at)
        return (h, H), ekf_callbacks(h, H, n, m, len(params))

    _, (meas, jac) = callbacks()
    inp = tc.ekf_inputs(meas, jac, tc.ptr(mats["A"]), tc.ptr(mats["B"]), tc.ptr(params),
                        *[tc.ptr(mats[x]) for x in ("Q", "R", "y", "x0", "P0")], T, n, m, k, len(params), jitter,
                        sym, 1, 1, 1)
    out = history_buffers(n, m, k, T)
    arena = np.full(lib.ekf_arena_size(n, m, k).n_float, np.nan)
    status = lib.ekf_hot_loop(ctypes.byref(inp), tc.ptr(arena), ctypes.byref(tc.ekf_outputs(
        *[tc.ptr(out[h]) for h in HISTORIES])))
    (h, H), _ = callbacks()
    ref_status, ll, hist = kalman_recursion(*[mats[x] for x in "A B Q R y x0 P0".split()],
                                            lambda x: h(x, params), lambda x: H(x, params), symmetrize=sym,
                                            jitter=jitter)
    assert status == ref_status == (0 if nan_at is None else -3)
    T_done = len(hist["x_pred"])
    assert T_done == (T if nan_at is None else nan_at)
    compare(out, status, ll, hist, HISTORIES[:-1], T_done)
    if T_done > 1:
        # The linearisation point moved: the Jacobian differs between periods.
        assert np.ptp(np.array(hist["H"]), axis=0).max() > 1e-6
    # The step on the packed blocks: A | B | params | Q | R | y | x0 | P0.
    _, (meas, jac) = callbacks()
    ctx = tc.trova_mc_filter_extended_step_ctx(meas, jac, T, n, m, k, len(params), sym, jitter, shocks)
    packed = tc.pack([mats["A"], mats["B"], params] + [mats[x] for x in ("Q", "R", "y", "x0", "P0")])
    assert packed.size == lib.trova_filter_extended_input_arena_size(n, m, k, T, len(params))
    step_status, stored, packed_out = run_step(lib, "trova_mc_filter_extended_runner", ctx, packed,
                                               lib.ekf_arena_size(n, m, k).n_float,
                                               lib.trova_filter_extended_output_arena_size(n, m, k, T, shocks))
    assert step_status == stored == status
    names = HISTORIES if shocks else [h for h in HISTORIES if h != "eps_hat"]
    close(unpacked(packed_out, out, names), packed_histories(out, names), 1e-13)


# ---- unscented ----

def sweep_unscented(lib, rng, shape, variant):
    ns, nc, ne, no, T = shape
    nz, nv = 2 * ns, ns + nc
    model = pruned_model(rng, ns, nc, ne)
    W, V = rng.standard_normal((no, nv)), rng.standard_normal((no, nv))

    def meas(v, p):
        return W @ v + p[0] * np.tanh(V @ v)

    P0 = spd(rng, nz, 0.3) * 0.2
    if variant.get("singular_x2"):
        P0[ns:, :] = 0.0
        P0[:, ns:] = 0.0
    R = spd(rng, no) * 0.2
    if variant.get("asym"):
        R = unsymmetric(rng, R)
    case = UkfCase(model, meas, [0.4], spd(rng, ne) * 0.3, R, rng.standard_normal((T, no)),
                   0.1 * rng.standard_normal(nz), P0, alpha=0.7, symmetrize=variant["symmetrize"],
                   jitter=variant.get("jitter", 0.0))
    status, out = case.run(lib)
    assert status == 0
    ll, ref = case.reference()
    close(out["loglik"][0], ll, RTOL)
    for name in ref:
        close(out[name], ref[name], RTOL)
    # The step on the packed blocks.
    cb = measurement_callback(meas, nv, no, 1)
    ctx = tc.trova_mc_filter_unscented_step_ctx(cb, T, ns, nc, ne, no, 1, case.alpha, case.beta, case.kappa,
                                                case.symmetrize, case.jitter)
    packed = tc.pack([model[x] for x in MODEL] + [case.params, case.Q, case.R, case.obs, case.z0, case.P0])
    assert packed.size == lib.trova_filter_unscented_input_arena_size(ns, nc, ne, no, T, 1)
    step_status, stored, packed_out = run_step(lib, "trova_mc_filter_unscented_runner", ctx, packed,
                                               lib.ukf_arena_size(ns, nc, ne, no).n_float,
                                               lib.trova_filter_unscented_output_arena_size(ns, nc, no, T))
    assert step_status == stored == 0
    order = OUT[4:] + OUT[:4]  # the packed output puts x1/x2 last, after loglik
    close(unpacked(packed_out, out, order), packed_histories(out, order), 1e-13)


SWEEPS = {"linear": sweep_linear, "extended": sweep_extended, "unscented": sweep_unscented}
CASES = ([("linear", s, v) for s in LINEAR_SHAPES for v in LINEAR_VARIANTS]
         + [("extended", s, v) for s in LINEAR_SHAPES if min(s[0], s[1], s[3]) > 0 for v in EXTENDED_VARIANTS]
         + [("unscented", s, v) for s in UNSCENTED_SHAPES for v in UNSCENTED_VARIANTS])


@pytest.mark.parametrize("kind,shape,variant", CASES,
                         ids=[f"{c[0]}-{'x'.join(map(str, c[1]))}-{c[2]['name']}" for c in CASES])
def test_filter_sweep(lib, rng, kind, shape, variant):
    SWEEPS[kind](lib, rng, shape, variant)
