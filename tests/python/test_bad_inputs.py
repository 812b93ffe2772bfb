"""Careless and hostile inputs, one table for every family.

Each case runs in its own forked process, so a crash (a signal) fails only
that case and says which signal. Outputs sit between guard cells that must
come back untouched, and every case asserts the status its header promises
and the values it may or may not write.

A case is a pair (id, function of the loaded library); the function raises
AssertionError on a wrong answer. Families keep their cases in their own
list below; CASES joins them.
"""
import ctypes
import os
import signal
import struct
import traceback

import numpy as np
import pytest
from Tessaroventa._ckernels.monte_carlo import _arena

import trova_ctypes as tc
from regression_cases import output_blocks

# A signalling-NaN payload no kernel produces: a guard cell holding anything
# else was written.
_GUARD_BITS = 0x7FF4DEADBEEF0BAD
_GUARD = struct.unpack("<d", struct.pack("<Q", _GUARD_BITS))[0]
_PAD = 16


class Guarded:
    """A float64 buffer of `n` cells with `_PAD` guard cells on each side.

    `a` is the inner view (fill it freely); `p` its pointer; `check()` asserts
    that no guard cell changed.
    """

    def __init__(self, n, fill=np.nan, dtype=np.float64):
        n = int(n)
        self.dtype = np.dtype(dtype)
        self.raw = np.empty(n + 2 * _PAD, dtype=self.dtype)
        self.raw.view(np.uint64)[:] = _GUARD_BITS if self.dtype == np.float64 else 0x5A5A5A5A5A5A5A5A
        self.a = self.raw[_PAD:_PAD + n]
        self.a[:] = fill
        self.p = tc.ptr(self.a) if n > 0 else tc.ptr(self.raw[_PAD:])

    def check(self):
        g = self.raw.view(np.uint64)
        want = _GUARD_BITS if self.dtype == np.float64 else 0x5A5A5A5A5A5A5A5A
        before, after = g[:_PAD], g[len(g) - _PAD:]
        assert (before == want).all(), f"write before the buffer at {np.flatnonzero(before != want) - _PAD}"
        assert (after == want).all(), f"write past the buffer at {np.flatnonzero(after != want)}"

    def untouched(self, fill):
        """True when every inner cell still holds `fill` (NaN counts as NaN)."""
        if isinstance(fill, float) and np.isnan(fill):
            return bool(np.isnan(self.a).all())
        return bool((self.a == fill).all())


def guarded(n, fill=np.nan, dtype=np.float64):
    return Guarded(n, fill, dtype)


def _run_forked(fn):
    """Runs fn(lib) in a child process; returns (exit status, message)."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        os.close(r)
        code = 0
        try:
            fn(tc.load())
        except BaseException:  # noqa: BLE001 - everything is reported to the parent
            os.write(w, traceback.format_exc().encode()[-8000:])
            code = 1
        os.close(w)
        os._exit(code)
    os.close(w)
    chunks = []
    while True:
        b = os.read(r, 65536)
        if not b:
            break
        chunks.append(b)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    return status, b"".join(chunks).decode(errors="replace")


# --- Dense linear algebra, LU and complex kernels -------------------------

DENSE_CASES = []

# Dimensions whose n x n (or n x m) blocks overflow 64-bit byte counts: no
# buffer can hold them, so every LU entry point refuses them at once.
_HUGE = (2**31, 2**32 + 2, 2**61, 2**62 + 1, 2**63 - 1)


def _alarm(seconds=20):
    """A hang kills the forked case with SIGALRM instead of stalling the run."""
    signal.alarm(seconds)


def _cguarded(n, fill=np.nan):
    """A guarded buffer of n c128 values and its c128 pointer."""
    g = guarded(2 * n, fill)
    return g, ctypes.cast(g.p, tc.P_c128)


def _lu_huge_n(lib):
    _alarm()
    for n in _HUGE:
        for kind in ("real", "complex"):
            if kind == "real":
                A, X, B = guarded(4, 1.0), guarded(4), guarded(4, 1.0)
                a, x, b = A.p, X.p, B.p
                factor_inplace, factor, free = lib.trova_lu_factor_inplace, lib.trova_lu_factor, lib.trova_lu_free
                lu_solve, solve, inv = lib.trova_lu_solve, lib.trova_solve, lib.trova_inv
            else:
                (A, a), (X, x), (B, b) = _cguarded(4, 1.0), _cguarded(4), _cguarded(4, 1.0)
                factor_inplace, factor, free = lib.c128_lu_factor_inplace, lib.c128_lu_factor, lib.c128_lu_free
                lu_solve, solve, inv = lib.c128_lu_solve, lib.c128_solve, lib.c128_inv
            piv = guarded(4, -9, np.int64)
            assert factor_inplace(a, piv.p, n) == -1, (kind, n)
            rec = factor(a, n)
            assert (rec.err, rec.n, bool(rec.lu), bool(rec.piv)) == (-1, n, False, False), (kind, n)
            free(ctypes.byref(rec))
            lu_solve(a, piv.p, b, x, n, 1)
            assert solve(a, b, n, 1, x) == -1, (kind, n)
            assert inv(a, n, x) == -1, (kind, n)
            if n >= 2**59:  # a valid order with too many right-hand sides
                assert solve(a, b, 2, n, x) == -1, (kind, n)
                lu_solve(a, piv.p, b, x, 2, n)
            assert A.untouched(1.0) and X.untouched(np.nan) and B.untouched(1.0)
            assert (piv.a == -9).all()
            for g in (A, X, B, piv):
                g.check()


DENSE_CASES.append(("lu_huge_dimensions_refused", _lu_huge_n))


def _complex_tiny_and_huge(lib):
    # Squared moduli of these entries underflow or overflow; the factor,
    # solve and inverse must treat them as the ordinary numbers they are.
    _alarm()
    rng = np.random.default_rng(15)
    M = rng.standard_normal((3, 3)) + 1j * rng.standard_normal((3, 3)) + 3 * np.eye(3)
    b = rng.standard_normal((3, 2)) + 1j * rng.standard_normal((3, 2))
    for scale in (1e-170, 1e-300, 1e160):
        A = np.ascontiguousarray(M * scale)
        Xg, x = _cguarded(6)
        assert lib.c128_solve(tc.cptr(A), tc.cptr(np.ascontiguousarray(b * scale)), 3, 2, x) == 0
        X = Xg.a.view(np.complex128).reshape(3, 2)
        np.testing.assert_allclose(X, np.linalg.solve(M, b), rtol=1e-13)
        Ig, ip = _cguarded(9)
        assert lib.c128_inv(tc.cptr(A), 3, ip) == 0
        np.testing.assert_allclose(Ig.a.view(np.complex128).reshape(3, 3) * scale, np.linalg.inv(M), rtol=1e-13)
        Xg.check()
        Ig.check()
    # 1e-170 I is invertible; a pivot is zero only when both parts are.
    Ig, ip = _cguarded(4)
    assert lib.c128_inv(tc.cptr(np.eye(2, dtype=complex) * 1e-170), 2, ip) == 0
    np.testing.assert_allclose(Ig.a.view(np.complex128), [1e170, 0, 0, 1e170], rtol=1e-15)
    Ig.check()
    A = np.array([[1e-200 + 1e-200j, 0], [0, 0j]])
    piv = guarded(2, -9, np.int64)
    assert lib.c128_lu_factor_inplace(tc.cptr(A), piv.p, 2) == -2  # the exact zero at the end
    assert list(piv.a) == [0, 1]
    piv.check()


DENSE_CASES.append(("complex_lu_tiny_and_huge_scales", _complex_tiny_and_huge))

# --- Simulation and shock plans -------------------------------------------

SIMULATION_CASES = []


def _shock_plan(T, n_exog, entries, max_width):
    """A raw trova_mc_shock_plan over entry dicts (no field is corrected):
    family, width, columns (list or None), factor (array or None)."""
    keep, recs = [], []
    for e in entries:
        cols = None if e.get("columns") is None else np.ascontiguousarray(e["columns"], dtype=np.int64)
        factor = None if e.get("factor") is None else np.ascontiguousarray(e["factor"], dtype=np.float64)
        keep += [cols, factor]
        recs.append(tc.trova_mc_shock_entry(e.get("family", 0), e["width"], tc.ptr(cols), tc.ptr(factor), None,
                                            -1.0, 2.0, 5, len(recs)))
    arr = (tc.trova_mc_shock_entry * max(1, len(recs)))(*recs)
    keep.append(arr)
    plan = tc.trova_mc_shock_plan(arr if recs else None, len(recs), T, n_exog, 1.0, max_width)
    plan._keep = keep
    return plan


_EYE2 = np.eye(2)
# (T, n_exog, entries, max_width) of plans the draw must reject.
_BAD_PLANS = [
    (6, 3, [{"width": 2, "columns": [0, 3], "factor": _EYE2}], 2),      # column = n_exog
    (6, 3, [{"width": 2, "columns": [-1, 1], "factor": _EYE2}], 2),     # negative column
    (6, 3, [{"family": 1, "width": 1, "columns": [3]}], 1),             # uniform past the columns
    (6, 3, [{"family": 1, "width": 1, "columns": [-4]}], 1),
    (6, 3, [{"width": 3, "columns": [0, 1, 2], "factor": np.eye(3)}], 2),  # wider than max_width
    (6, 3, [{"width": 2, "columns": [0, 1], "factor": None}], 2),       # normal entry without factor
    (6, 3, [{"width": 2, "columns": None, "factor": _EYE2}], 2),        # without columns
    (6, 3, [{"family": 1, "width": 1, "columns": None}], 1),
    (6, 3, [{"width": -1, "columns": [0], "factor": _EYE2}], 2),        # negative width
    (6, 3, [{"family": 1, "width": 1, "columns": [0]}], 0),             # uniform with no scratch
    (-6, 3, [{"width": 1, "columns": [0], "factor": _EYE2}], 1),        # negative T
    (6, -3, [], 1),                                                     # negative n_exog
    (6, 3, [], -1),                                                     # negative max_width
    (2**62, 3, [{"width": 1, "columns": [0], "factor": _EYE2}], 1),     # T x n_exog beyond 64 bits
    (2**40, 1, [{"width": 1, "columns": [0], "factor": _EYE2}], 2**30),  # T x max_width beyond 64 bits
]


def _shock_draw_rejects_bad_plans(lib):
    for T, n_exog, entries, max_width in _BAD_PLANS:
        plan = _shock_plan(T, n_exog, entries, max_width)
        out, scratch = guarded(18, 4.5), guarded(12, 4.5)
        st = lib.trova_mc_shock_draw(ctypes.byref(plan), 3, scratch.p, out.p)
        assert st == -1, (T, n_exog, entries, max_width, st)
        assert out.untouched(4.5) and scratch.untouched(4.5), (T, n_exog, entries, max_width)
        out.check()
        scratch.check()
    assert lib.trova_mc_shock_draw(None, 0, None, None) == -1
    assert lib.trova_mc_shock_scratch_size(None) == -1
    assert lib.trova_mc_shock_scratch_size(ctypes.byref(_shock_plan(-2, 1, [], 3))) == -1
    assert lib.trova_mc_shock_scratch_size(ctypes.byref(_shock_plan(2**40, 1, [], 2**30))) == -1
    # The edge of the valid range: the last column, an entry as wide as
    # max_width, width 0 without columns or factor, a uniform entry whose
    # width field says nothing.
    plan = _shock_plan(6, 3, [{"width": 2, "columns": [2, 0], "factor": _EYE2},
                              {"width": 0, "columns": None, "factor": None},
                              {"family": 1, "width": 99, "columns": [1]}], 2)
    out, scratch = guarded(18, 4.5), guarded(12, 4.5)
    assert lib.trova_mc_shock_draw(ctypes.byref(plan), 3, scratch.p, out.p) == 0
    assert np.isfinite(out.a).all() and (np.abs(out.a.reshape(6, 3)[:, 1]) <= 1.0).all()
    out.check()
    scratch.check()


SIMULATION_CASES.append(("shock_draw_rejects_bad_plans", _shock_draw_rejects_bad_plans))


def _order1_ctx(meas, T, n, k, m, plan, scratch_offset):
    return tc.trova_mc_simulate_order1_step_ctx(meas, T, n, k, 0, m, ctypes.pointer(plan) if plan else None,
                                                scratch_offset)


def _order2_ctx(meas, T, nx, ny, k, m, plan, scratch_offset):
    return tc.trova_mc_simulate_order2_step_ctx(meas, T, nx, ny, k, 0, m, ctypes.pointer(plan) if plan else None,
                                                scratch_offset)


def _runner_refuses(lib, order, ctx, n_lane=200, n_out=60):
    lane, out = guarded(n_lane, 4.5), guarded(n_out, 4.5)
    status = guarded(1, 99, dtype=np.int64)
    runner = getattr(lib, f"trova_mc_simulate_order{order}_runner")
    got = runner(0, lane.p, out.p, None, status.a.ctypes.data_as(tc.P_i64),
                 ctypes.addressof(ctx) if ctx is not None else None)
    assert got == -1 and status.a[0] == -1, (order, got, status.a[0])
    assert lane.untouched(4.5) and out.untouched(4.5), order
    for g in (lane, out, status):
        g.check()


def _simulation_runners_reject_bad_plans(lib):
    T, n, k = 6, 2, 3
    size1 = lib.trova_simulate_order1_arena_size(n, k, T, 0)
    size2 = lib.trova_simulate_order2_arena_size(n, n + 1, k, T, 0)
    for args in _BAD_PLANS:
        if args[0] != T or args[1] != k:
            continue  # a shape that disagrees with the step is refused anyway
        plan = _shock_plan(*args)
        _runner_refuses(lib, 1, _order1_ctx(tc.trova_measurement_fn(), T, n, k, 0, plan, size1))
        _runner_refuses(lib, 2, _order2_ctx(tc.trova_measurement_fn(), T, n, 1, k, 0, plan, size2))
    # A good plan whose scratch would overwrite the step's blocks.
    good = _shock_plan(T, k, [{"width": 2, "columns": [0, 1], "factor": _EYE2}], 2)
    for offset in (-1, 0, size1 - 1):
        _runner_refuses(lib, 1, _order1_ctx(tc.trova_measurement_fn(), T, n, k, 0, good, offset))
    for offset in (-5, 0, size2 - 1):
        _runner_refuses(lib, 2, _order2_ctx(tc.trova_measurement_fn(), T, n, 1, k, 0, good, offset))
    _runner_refuses(lib, 1, None)
    _runner_refuses(lib, 2, None)


SIMULATION_CASES.append(("simulation_runners_reject_bad_plans", _simulation_runners_reject_bad_plans))


def _step_refuses(lib, order, meas, dims, m, plan=None, scratch_offset=10**6):
    """The step kernel and its runner (dims: T, n, k or T, nx, ny, n_exog;
    no parameters) both answer -1 and write nothing."""
    arena, out = guarded(200, 0.25), guarded(60, 4.5)
    step = getattr(lib, f"trova_simulate_order{order}_step")
    assert step(arena.p, meas, *dims, 0, m, out.p) == -1, (order, dims)
    assert arena.untouched(0.25) and out.untouched(4.5), (order, dims)
    arena.check()
    out.check()
    ctx = (_order1_ctx if order == 1 else _order2_ctx)(meas, *dims, m, plan, scratch_offset)
    _runner_refuses(lib, order, ctx)


def _simulation_steps_reject_null_measurement_and_bad_dims(lib):
    T, n, k = 4, 2, 1
    # m > 0 without a measurement: neither the step nor its runner writes
    # anything (the runner draws no shocks either).
    plan = _shock_plan(T, k, [{"width": 1, "columns": [0], "factor": [[1.0]]}], 1)
    null = tc.trova_measurement_fn()
    _step_refuses(lib, 1, null, (T, n, k), 3, plan, lib.trova_simulate_order1_arena_size(n, k, T, 0))
    _step_refuses(lib, 2, null, (T, n, 1, k), 3, plan, lib.trova_simulate_order2_arena_size(n, n + 1, k, T, 0))
    # Negative dimensions and sizes beyond 64 bits.
    meas = tc.trova_measurement_fn(lambda s, p, o: None)
    for dims in ((-1, n, k), (T, -1, k), (T, n, -1), (2**62, n, k), (T, 2**32, k), (T, 2**40, 2**40)):
        _step_refuses(lib, 1, meas, dims, 1)
    for dims in ((-1, n, 1, k), (T, -1, 1, k), (T, n, -1, k), (T, n, 1, -1), (T, 2**21, 1, k),
                 (T, 2**61, 0, k), (2**62, 1, 1, 1)):
        _step_refuses(lib, 2, meas, dims, 1)


SIMULATION_CASES.append(("simulation_steps_reject_null_measurement_and_bad_dims",
                         _simulation_steps_reject_null_measurement_and_bad_dims))


def _pruned_simulation_rejects_huge_and_negative_dims(lib):
    one = np.zeros(64)
    for T, nx, ny, ne in ((3, 2**61, 1, 1), (3, 2**62 + 1, 0, 1), (3, 2**31, 1, 1), (3, 2**21, 1, 1),
                          (3, 1, 2**62, 1), (2**62, 2, 2, 2), (3, -1, 1, 1), (3, 1, -1, 1), (3, 1, 1, -1),
                          (-1, 1, 1, 1)):
        x, y = guarded(16, 4.5), guarded(16, 4.5)
        st = lib.trova_simulate_second_order_pruned(*[tc.ptr(one)] * 9, T, nx, ny, ne, x.p, y.p)
        assert st == -1, (T, nx, ny, ne, st)
        assert x.untouched(4.5) and y.untouched(4.5)
        x.check()
        y.check()
    for n, k in ((2**62, 1), (2**31 + 1, 2**31)):
        assert lib.trova_simulate_order1_arena_size(n, k, 3, 0) == -1
        assert lib.trova_simulate_order1_shock_offset(n, k) == -1
    assert lib.trova_simulate_order2_arena_size(2**21, 2**21 + 1, 1, 3, 0) == -1
    assert lib.trova_simulate_order2_shock_offset(2**61, 1, 1) == -1


SIMULATION_CASES.append(("pruned_simulation_rejects_huge_and_negative_dims",
                         _pruned_simulation_rejects_huge_and_negative_dims))


def _assemble_rejects_more_shocks_than_states(lib):
    ns, nc = 2, 2
    p = np.ascontiguousarray(np.eye(ns, dtype=np.complex128))
    f = np.ascontiguousarray(np.ones((nc, ns), dtype=np.complex128))
    for ns_, nc_, ne in ((ns, nc, ns + 1), (ns, nc, ns + nc), (ns, nc, ns + nc + 3), (-1, nc, 0),
                         (ns, -1, 1), (2**62, 2**62, 0), (2**32, 0, 1)):
        A, B = guarded(16, 4.5), guarded(16, 4.5)
        st = lib.trova_assemble_state_space(tc.cptr(p), tc.cptr(f), ns_, nc_, ne, A.p, B.p)
        assert st == -1, (ns_, nc_, ne, st)
        assert A.untouched(4.5) and B.untouched(4.5)
        A.check()
        B.check()
    # As many shocks as states is fine.
    A, B = guarded(16, 4.5), guarded(8, 4.5)
    assert lib.trova_assemble_state_space(tc.cptr(p), tc.cptr(f), ns, nc, ns, A.p, B.p) == 0
    np.testing.assert_array_equal(B.a.reshape(4, 2), [[1, 0], [0, 1], [1, 1], [1, 1]])
    A.check()
    B.check()


SIMULATION_CASES.append(("assemble_rejects_more_shocks_than_states", _assemble_rejects_more_shocks_than_states))

# --- Filters ---------------------------------------------------------------

FILTER_CASES = []


def _filter_histories(n, m, k, T):
    """Guarded NaN-filled histories of a linear or extended filter."""
    sizes = {"x_pred": T * n, "x_filt": T * n, "P_pred": T * n * n, "P_filt": T * n * n, "y_pred": T * m,
             "y_filt": T * m, "innov": T * m, "std_innov": T * m, "S": T * m * m, "eps_hat": T * k, "loglik": 1}
    return {name: guarded(size) for name, size in sizes.items()}


def _linear_callbacks(mats):
    """h(x) = C x + d and its Jacobian C, for the extended filter."""
    m, n = mats["C"].shape

    @tc.meas_fn
    def meas(x, params, out):
        np.ctypeslib.as_array(out, shape=(m,))[:] = mats["C"] @ np.ctypeslib.as_array(x, shape=(n,)) + mats["d"]

    @tc.meas_fn
    def jac(x, params, out):
        np.ctypeslib.as_array(out, shape=(m, n))[:] = mats["C"]

    return meas, jac


def _linear_filter_model(n=3, m=2, k=2, T=4):
    from kalman_cases import linear_model
    return linear_model(np.random.default_rng(15), n, m, k, T)


def _run_linear_filter(lib, mats, dims=None, symmetrize=0, callbacks=None):
    """kf_hot_loop, or ekf_hot_loop with callbacks = (meas, jac), on the model
    with the dimensions dims = (n, m, k) (the model's by default). The arena
    and the histories are guarded and sized for the model's own shape; every
    guard is checked. Returns (status, arena, histories)."""
    n0, k0 = mats["B"].shape
    m0, T = mats["C"].shape[0], mats["y"].shape[0]
    n, m, k = dims or (n0, m0, k0)
    hist = _filter_histories(n0, m0, k0, T)
    arena = guarded(max(lib.kf_arena_size(n0, m0, k0).n_float, lib.ekf_arena_size(n0, m0, k0).n_float))
    names = "x_pred x_filt P_pred P_filt y_pred y_filt innov std_innov S eps_hat loglik".split()
    ptrs = [hist[h].p for h in names]
    if callbacks is None:
        inp = tc.kf_inputs(n, m, k, T, *[tc.ptr(mats[x]) for x in "A B C d Q R y x0 P0".split()], symmetrize, 0.0,
                           1, 1)
        status = lib.kf_hot_loop(ctypes.byref(inp), arena.p, ctypes.byref(tc.kf_outputs(*ptrs)))
    else:
        params = np.zeros(1)
        inp = tc.ekf_inputs(*callbacks, tc.ptr(mats["A"]), tc.ptr(mats["B"]), tc.ptr(params),
                            *[tc.ptr(mats[x]) for x in "Q R y x0 P0".split()], T, n, m, k, 1, 0.0, symmetrize, 1, 1, 1)
        status = lib.ekf_hot_loop(ctypes.byref(inp), arena.p, ctypes.byref(tc.ekf_outputs(*ptrs)))
    for buf in [arena, *hist.values()]:
        buf.check()
    return status, arena, hist


def _nothing_written(arena, hist):
    assert arena.untouched(np.nan) and all(h.untouched(np.nan) for h in hist.values())


def _linear_and_extended_reject_negative_dimensions(lib):
    mats = _linear_filter_model()
    for dims in [(-1, 2, 2), (3, -2, 2), (3, 2, -1), (-3, -2, -2)]:
        for sizer in (lib.kf_arena_size, lib.ekf_arena_size):
            size = sizer(*dims)
            assert (size.n_float, size.n_int) == (-1, -1), dims
        for callbacks in (None, _linear_callbacks(mats)):
            status, arena, hist = _run_linear_filter(lib, mats, dims, callbacks=callbacks)
            assert status == -2, (dims, callbacks is None)
            _nothing_written(arena, hist)


def _extended_rejects_null_callbacks(lib):
    mats = _linear_filter_model()
    meas, jac = _linear_callbacks(mats)
    for callbacks in ((tc.meas_fn(), jac), (meas, tc.meas_fn()), (tc.meas_fn(), tc.meas_fn())):
        status, arena, hist = _run_linear_filter(lib, mats, callbacks=callbacks)
        assert status == -2
        _nothing_written(arena, hist)
    # Through the step function: the status reaches int_out[0], the lanes stay as they were.
    n, m, k, T, n_par = 3, 2, 2, 4, 1
    lane = guarded(lib.trova_filter_extended_input_arena_size(n, m, k, T, n_par) + lib.ekf_arena_size(n, m, k).n_float,
                   fill=0.5)
    out = guarded(lib.trova_filter_extended_output_arena_size(n, m, k, T, 1))
    int_out = guarded(1, fill=7, dtype=np.int64)
    ctx = tc.trova_mc_filter_extended_step_ctx(tc.meas_fn(), jac, T, n, m, k, n_par, 0, 0.0, 1)
    status = lib.trova_mc_filter_extended_runner(0, lane.p, out.p, None, int_out.p,
                                                 ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p))
    assert status == -2 and int_out.a[0] == -2
    assert lane.untouched(0.5) and out.untouched(np.nan)
    for buf in (lane, out, int_out):
        buf.check()


def _filter_steps_reject_negative_dimensions(lib):
    # Sizers answer -1 (no buffer fits); steps and runners answer -2 and write nothing.
    meas, jac = _linear_callbacks(_linear_filter_model())
    ukf_meas = tc.meas_fn(lambda x, p, out: None)

    def one_negative(dims):
        for i in range(len(dims)):
            yield dims[:i] + [-1] + dims[i + 1:]

    def call(step, *args):
        lane, out, int_out = guarded(1000, fill=0.5), guarded(1000), guarded(1, fill=7, dtype=np.int64)
        status = step(lane.p, out.p, int_out.p, *args)
        assert lane.untouched(0.5) and out.untouched(np.nan) and int_out.a[0] in (7, status)
        for buf in (lane, out, int_out):
            buf.check()
        return status

    def ctx_ptr(ctx):
        return ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p)

    for n, m, k, T, n_par in one_negative([3, 2, 2, 4, 1]):
        assert lib.trova_filter_extended_input_arena_size(n, m, k, T, n_par) == -1
        assert call(lambda lane, out, _: lib.trova_filter_extended_step(lane, lane, meas, jac, T, n, m, k, n_par, 0,
                                                                        0.0, 1, out)) == -2
        ctx = tc.trova_mc_filter_extended_step_ctx(meas, jac, T, n, m, k, n_par, 0, 0.0, 1)
        assert call(lambda lane, out, io: lib.trova_mc_filter_extended_runner(0, lane, out, None, io,
                                                                              ctx_ptr(ctx))) == -2
        if n_par < 0:
            continue
        assert lib.trova_filter_linear_input_arena_size(n, m, k, T) == -1
        for shocks in (0, 1):
            assert lib.trova_filter_linear_output_arena_size(n, m, k, T, shocks) == -1
            assert lib.trova_filter_extended_output_arena_size(n, m, k, T, shocks) == -1
        assert call(lambda lane, out, _: lib.trova_filter_linear_step(lane, lane, T, n, m, k, 0, 0.0, 1, out)) == -2
        ctx = tc.trova_mc_filter_linear_step_ctx(T, n, m, k, 0, 0.0, 1)
        assert call(lambda lane, out, io: lib.trova_mc_filter_linear_runner(0, lane, out, None, io,
                                                                            ctx_ptr(ctx))) == -2
    for ns, nc, ne, no, T, n_par in one_negative([2, 1, 2, 2, 4, 1]):
        assert lib.trova_filter_unscented_input_arena_size(ns, nc, ne, no, T, n_par) == -1
        if ne >= 0 and n_par >= 0:
            assert lib.trova_filter_unscented_output_arena_size(ns, nc, no, T) == -1
            size = lib.ukf_arena_size(ns, nc, ne, no) if T >= 0 else None
            assert size is None or (size.n_float, size.n_int) == (-1, -1)
        assert call(lambda lane, out, _: lib.trova_filter_unscented_step(
            lane, lane, ukf_meas, T, ns, nc, ne, no, n_par, 0.5, 2.0, 0.0, 1, 0.0, out)) == -2
        ctx = tc.trova_mc_filter_unscented_step_ctx(ukf_meas, T, ns, nc, ne, no, n_par, 0.5, 2.0, 0.0, 1, 0.0)
        assert call(lambda lane, out, io: lib.trova_mc_filter_unscented_runner(0, lane, out, None, io,
                                                                               ctx_ptr(ctx))) == -2


def _unscented_case(P0_nan=None, R_nan=None):
    from kalman_cases import UkfCase, pruned_model
    from references import spd
    rng = np.random.default_rng(15)
    ns, nc, ne, no, T = 2, 1, 2, 2, 4
    P0, R = spd(rng, 2 * ns), spd(rng, no)
    if P0_nan is not None:
        P0[P0_nan] = np.nan
    if R_nan is not None:
        R[R_nan] = np.nan
    return UkfCase(pruned_model(rng, ns, nc, ne), lambda v, p: v[:no], [0.0], spd(rng, ne), R,
                   rng.standard_normal((T, no)), np.zeros(2 * ns), P0)


def _run_unscented(lib, case, n_ctrl=None, n_exog=None):
    """ukf_hot_loop on the case (n_ctrl, n_exog overridden when given), the
    arena and every output guarded and sized for the case; returns (status,
    arena, outputs)."""
    from kalman_cases import MODEL, OUT, measurement_callback
    ns, nc, ne, no, T, nz = case.ns, case.nc, case.ne, case.no, case.T, 2 * case.ns
    sizes = {"x1_pred": T * ns, "x2_pred": T * ns, "x1_filt": T * ns, "x2_filt": T * ns, "x_pred": T * (ns + nc),
             "x_filt": T * (ns + nc), "P_pred": T * nz * nz, "P_filt": T * nz * nz, "y_pred": T * no,
             "y_filt": T * no, "innov": T * no, "std_innov": T * no, "S": T * no * no, "loglik": 1}
    out = {name: guarded(sizes[name]) for name in OUT}
    arena = guarded(lib.ukf_arena_size(ns, nc, ne, no).n_float)
    meas = measurement_callback(case.meas, ns + nc, no, len(case.params))
    inp = tc.ukf_inputs(meas, *[tc.ptr(case.model[k]) for k in MODEL], tc.ptr(case.params), tc.ptr(case.Q),
                        tc.ptr(case.R), tc.ptr(case.obs), tc.ptr(case.z0), tc.ptr(case.P0), T, ns,
                        nc if n_ctrl is None else n_ctrl, ne if n_exog is None else n_exog, no, len(case.params),
                        case.alpha, case.beta, case.kappa, case.jitter, case.symmetrize, 1)
    status = lib.ukf_hot_loop(ctypes.byref(inp), arena.p, ctypes.byref(tc.ukf_outputs(*[out[k].p for k in OUT])))
    for buf in [arena, *out.values()]:
        buf.check()
    return status, arena, out


def _unscented_rejects_unusable_weights_and_dimensions(lib):
    case = _unscented_case()
    status, _, out = _run_unscented(lib, case)
    assert status == 0 and np.isfinite(out["loglik"].a[0])
    # alpha = 1e-160: c = alpha^2 nz is positive and finite, but the weights
    # (c - nz) / c and 1 / (2c) overflow. A beta that is not finite spoils the
    # centre's covariance weight.
    for alpha, beta in ((1e-160, 2.0), (1e-155, 2.0), (0.5, np.nan), (0.5, np.inf)):
        case.alpha, case.beta = alpha, beta
        status, arena, out = _run_unscented(lib, case)
        assert status == -3, (alpha, beta)
        _nothing_written(arena, out)
    case.alpha, case.beta = 0.5, 2.0
    for n_ctrl, n_exog in ((-1, None), (None, -1)):
        status, arena, out = _run_unscented(lib, case, n_ctrl=n_ctrl, n_exog=n_exog)
        assert status == -2
        _nothing_written(arena, out)


def _filters_fail_on_a_nan_prior(lib):
    # The first innovation covariance cannot be factored: -3 at t = 0, the
    # log-likelihood of no period (0.0), no history row.
    def fails_at_once(status, hist):
        assert status == -3
        assert hist["loglik"].a[0] == 0.0
        assert all(h.untouched(np.nan) for name, h in hist.items() if name != "loglik")

    mats = _linear_filter_model()
    mats["P0"][1, 1] = np.nan
    for callbacks in (None, _linear_callbacks(mats)):
        status, _, hist = _run_linear_filter(lib, mats, callbacks=callbacks)
        fails_at_once(status, hist)
    # NaN in the upper triangles only, with products that keep it there
    # (A = C = I): the factor never reads it, the updates would.
    mats = _linear_filter_model(n=2, m=2)
    mats["A"], mats["C"] = np.eye(2), np.eye(2)
    for name in ("P0", "R"):
        bad = {key: v.copy() for key, v in mats.items()}
        bad[name][0, 1] = np.nan
        status, _, hist = _run_linear_filter(lib, bad)
        fails_at_once(status, hist)
    # The unscented filter: a NaN prior (in the triangle its factor does not
    # read, too) or a NaN in R.
    for kw in ({"P0_nan": (2, 2)}, {"P0_nan": (0, 1)}, {"R_nan": (0, 1)}):
        status, _, out = _run_unscented(lib, _unscented_case(**kw))
        fails_at_once(status, out)


FILTER_CASES += [
    ("linear_and_extended_reject_negative_dimensions", _linear_and_extended_reject_negative_dimensions),
    ("extended_rejects_null_callbacks", _extended_rejects_null_callbacks),
    ("filter_steps_reject_negative_dimensions", _filter_steps_reject_negative_dimensions),
    ("unscented_rejects_unusable_weights_and_dimensions", _unscented_rejects_unusable_weights_and_dimensions),
    ("filters_fail_on_a_nan_prior", _filters_fail_on_a_nan_prior),
]

# --- Transforms ------------------------------------------------------------

TRANSFORM_CASES = []


def _ctx_ptr(ctx):
    return ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p)


def _user_transform_without_function(lib):
    # fn NULL: status -6 in int_out[0] and returned, the output untouched.
    n, p = 4, 2
    ctx = tc.trova_mc_user_transform_step_ctx(tc.user_transform_fn(), n, p, 1, p)
    lane, out = guarded(n * p, fill=1.5), guarded(p)
    int_out = guarded(1, fill=0, dtype=np.int64)
    status = lib.trova_mc_user_transform_runner(0, lane.p, out.p, None,
                                                ctypes.cast(int_out.p, tc.P_i64), _ctx_ptr(ctx))
    assert status == -6 and int_out.a[0] == -6
    assert out.untouched(np.nan) and lane.untouched(1.5)
    for g in (lane, out, int_out):
        g.check()


TRANSFORM_CASES.append(("user_transform_null_function_fails_with_minus_6", _user_transform_without_function))

# Invalid dimensions of every kernel (n, p and the parameters), and of its
# step: status -6, nothing written to scratch or output. Scratch and output
# get room for a generous n x p so that a write anywhere would be seen.
_T_KERNELS = {
    "standardize": lambda L, x, n, p, k, s, o: L.trova_standardize_ax0(x, k, n, p, s, o),
    "log": lambda L, x, n, p, k, s, o: L.trova_log(x, 0.5, n, p, o),
    "log_diff": lambda L, x, n, p, k, s, o: L.trova_log_diff(x, 0.5, n, p, s, o),
    "diff": lambda L, x, n, p, k, s, o: L.trova_diff(x, k, n, p, s, o),
    "rolling_mean": lambda L, x, n, p, k, s, o: L.trova_rolling_mean(x, n, p, k, s, o),
    "rolling_var": lambda L, x, n, p, k, s, o: L.trova_rolling_var(x, n, p, k[0], k[1], s, o),
    "rolling_std": lambda L, x, n, p, k, s, o: L.trova_rolling_std(x, n, p, k[0], k[1], s, o),
}
_T_STEPS = {
    "standardize": lambda n, p, k: tc.trova_mc_standardize_step_ctx(n, p, k),
    "log": lambda n, p, k: tc.trova_mc_log_step_ctx(n, p, 0.5),
    "log_diff": lambda n, p, k: tc.trova_mc_log_diff_step_ctx(n, p, 0.5),
    "diff": lambda n, p, k: tc.trova_mc_diff_step_ctx(n, p, k),
    "rolling_mean": lambda n, p, k: tc.trova_mc_rolling_mean_step_ctx(n, p, k),
    "rolling_var": lambda n, p, k: tc.trova_mc_rolling_var_step_ctx(n, p, k[0], k[1]),
    "rolling_std": lambda n, p, k: tc.trova_mc_rolling_std_step_ctx(n, p, k[0], k[1]),
}
_T_INVALID = [
    ("standardize", 0, 2, 0), ("standardize", -3, 2, 0), ("standardize", 3, 0, 0), ("standardize", 3, -1, 0),
    ("standardize", 3, 2, 3), ("standardize", 3, 2, 2**63 - 1),
    ("log", 0, 2, None), ("log", 2, 0, None), ("log", -(2**62), 2, None),
    ("log_diff", 0, 2, None), ("log_diff", 3, -2, None),
    ("diff", 3, 2, 0), ("diff", 3, 2, -(2**63)), ("diff", 0, 2, 1), ("diff", 3, 0, 1),
    ("rolling_mean", 3, 2, 0), ("rolling_mean", 3, 2, 4), ("rolling_mean", 3, 2, 2**62),
    ("rolling_mean", 3, 2, -1), ("rolling_mean", 0, 2, 1), ("rolling_mean", 3, 0, 1),
    ("rolling_var", 3, 2, (0, 0)), ("rolling_var", 3, 2, (4, 0)), ("rolling_var", 3, 2, (1, 1)),
    ("rolling_var", 5, 2, (3, 3)), ("rolling_var", 3, 2, (2, 2**63 - 1)), ("rolling_var", 3, -4, (1, 0)),
    ("rolling_std", 3, 2, (1, 1)), ("rolling_std", 2, 2, (3, 0)), ("rolling_std", -2, 2, (1, 0)),
]


def _transform_invalid(name, n, p, prm):
    def case(lib):
        room = 64
        x = guarded(room, fill=2.0)
        scratch, out = guarded(room, fill=-3.0), guarded(room, fill=-3.0)
        assert _T_KERNELS[name](lib, x.p, n, p, prm, scratch.p, out.p) == -6
        assert scratch.untouched(-3.0) and out.untouched(-3.0) and x.untouched(2.0)
        lane = guarded(room, fill=2.0)
        step_out = guarded(room, fill=-3.0)
        int_out = guarded(1, fill=0, dtype=np.int64)
        runner = getattr(lib, f"trova_mc_{name}_runner")
        status = runner(0, lane.p, step_out.p, None, ctypes.cast(int_out.p, tc.P_i64),
                        _ctx_ptr(_T_STEPS[name](n, p, prm)))
        assert status == -6 and int_out.a[0] == -6 and step_out.untouched(-3.0)
        for g in (x, scratch, out, lane, step_out, int_out):
            g.check()
    return case


for _name, _n, _p, _prm in _T_INVALID:
    TRANSFORM_CASES.append((f"{_name}_invalid_n{_n}_p{_p}_{_prm}".replace(" ", ""),
                            _transform_invalid(_name, _n, _p, _prm)))


def _transform_exact_lanes(lib):
    # Valid calls on buffers exactly as large as the sizers and the output
    # rows say, with NaN, infinities and a spike in the data: every kernel
    # stays inside them.
    n, p = 9, 5
    data = np.arange(n * p, dtype=float).reshape(n, p) * 0.25 + 1.0
    data[2, 0], data[4, 1], data[5, 2], data[6, 3] = np.nan, np.inf, -np.inf, 1e300
    params = {"standardize": 1, "log": None, "log_diff": None, "diff": 8, "rolling_mean": 9,
              "rolling_var": (9, 1), "rolling_std": (2, 0)}
    sizes = {"standardize": lib.trova_standardize_ax0_arena_size(n, p),
             "log": lib.trova_log_arena_size(n, p), "log_diff": lib.trova_log_diff_arena_size(n, p),
             "diff": lib.trova_diff_arena_size(n, p, 8),
             "rolling_mean": lib.trova_rolling_mean_arena_size(n, p, 9),
             "rolling_var": lib.trova_rolling_var_arena_size(n, p, 9),
             "rolling_std": lib.trova_rolling_std_arena_size(n, p, 2)}
    rows = {"standardize": n, "log": n, "log_diff": n - 1, "diff": 1, "rolling_mean": 1,
            "rolling_var": 1, "rolling_std": n - 1}
    for name, prm in params.items():
        x = guarded(n * p)
        x.a[:] = data.ravel()
        scratch, out = guarded(sizes[name].n_float - n * p), guarded(rows[name] * p)
        assert _T_KERNELS[name](lib, x.p, n, p, prm, scratch.p, out.p) == 0, name
        for g in (x, scratch, out):
            g.check()


TRANSFORM_CASES.append(("transforms_stay_inside_sized_buffers_with_non_finite_data", _transform_exact_lanes))


def _median_of_nan_data(lib):
    # A NaN makes the median NaN; the sort leaves the numbers sorted, NaNs last.
    for values in ([3.0, np.nan, 1.0, 2.0], [np.nan], [np.nan, np.nan, -np.inf, 5.0, 0.5]):
        arr = guarded(len(values))
        arr.a[:] = values
        assert np.isnan(lib.trova_median_f64(arr.p, len(values)))
        np.testing.assert_array_equal(arr.a, np.sort(values))
        arr.check()
    arr = guarded(3, fill=np.nan)
    lib.trova_sort_f64(arr.p, 0)
    assert np.isnan(lib.trova_median_f64(arr.p, 0)) and np.isnan(lib.trova_median_f64(arr.p, -5))
    arr.check()


TRANSFORM_CASES.append(("median_of_nan_data_is_nan_and_sort_puts_nans_last", _median_of_nan_data))

# --- Regression ------------------------------------------------------------

REGRESSION_CASES = []

_REG_N, _REG_P = 12, 3


def _reg_data(nan_at=None):
    """A well-posed design (ones column first) and y; nan_at "X" or "y" puts
    one NaN in it."""
    rng = np.random.default_rng(15)
    X = np.hstack([np.ones((_REG_N, 1)), rng.standard_normal((_REG_N, _REG_P - 1))])
    y = X @ np.array([1.0, 2.0, -1.0]) + 0.1 * rng.standard_normal(_REG_N)
    if nan_at == "X":
        X[4, 2] = np.nan
    elif nan_at == "y":
        y[7] = np.nan
    return np.ascontiguousarray(X), y


def _reg_step(lib, family, ctx, X, y, sizer_args):
    """Runs a step on guarded lanes sized by its sizer; returns (returned
    status, int_out, float outputs, int work lane)."""
    n, p = X.shape
    size = getattr(lib, f"trova_mc_{family}_work_arena_size")(*sizer_args)
    # Contexts without a design may size their lanes oddly: keep room for X
    # and y all the same.
    staged = tc.pack([X, y])  # X | y at the start of the lane, as the step lays them out
    lane = guarded(max(size.n_float, staged.size))
    lane.a[:staged.size] = staged
    # The output lane by the library's layout; a negative p has none.
    out = guarded(max(lib.trova_mc_regression_output_offsets(p, int(family == "ols"), None), 0), fill=-5.0)
    int_out = guarded(1, fill=99, dtype=np.int64)
    int_work = guarded(max(size.n_int, 0), fill=0, dtype=np.int64)
    rc = getattr(lib, f"trova_mc_{family}_runner")(0, lane.p, out.p, int_work.p if size.n_int else None, int_out.p,
                                                    ctypes.addressof(ctx))
    for g in (lane, out, int_out, int_work):
        g.check()
    assert rc == int_out.a[0], (rc, int_out.a[0])
    return rc, output_blocks(out.a, p, family == "ols") if p >= 0 else out.a.copy(), int_work.a.copy()


def _reg_contexts(n, p, alphas, n_alpha=None):
    """The seven families' contexts (intercept on), their sizer arguments and
    the status each must report for NaN data."""
    k = len(alphas) if n_alpha is None else n_alpha
    a = tc.ptr(alphas)
    return [
        ("ols", tc.trova_mc_ols_step_ctx(n, p, 1), (n, p), -1),
        ("ridge", tc.trova_mc_ridge_step_ctx(n, p, 1, 0.1), (n, p), -1),
        ("ridge_gs", tc.trova_mc_ridge_gs_step_ctx(a, n, p, k, 1, 1), (n, p), -1),
        ("lasso", tc.trova_mc_lasso_step_ctx(n, p, 1, 1000, 1e-10, 0.05), (n, p), -2),
        ("lasso_gs", tc.trova_mc_lasso_gs_step_ctx(a, n, p, k, 1, 50, 1e-12), (n, p, 1, k, 50), -2),
        ("elastic_net", tc.trova_mc_elastic_net_step_ctx(n, p, 1, 1000, 1e-10, 0.05, 0.5), (n, p), -2),
        ("elastic_net_gs", tc.trova_mc_elastic_net_gs_step_ctx(a, n, p, k, 1, 1, 1000, 1e-10, 0.5),
         (n, p, 1, k), -2),
    ]


def _reg_nan_data_steps(where):
    def case(lib):
        X, y = _reg_data(where)
        alphas = np.array([0.1, 0.01])
        for family, ctx, sizer_args, want in _reg_contexts(_REG_N, _REG_P, alphas):
            rc, out, _ = _reg_step(lib, family, ctx, X, y, sizer_args)
            assert rc == want, (family, rc)
            assert np.isnan(out).all(), (family, out)
    return case


def _reg_nan_data_kernels(lib):
    p = _REG_P
    for where in ("X", "y"):
        X, y = _reg_data(where)
        n = len(y)
        coef, L, G, g = guarded(p), guarded(p * p), guarded(p * p), guarded(p)
        st = guarded(1, fill=99, dtype=np.int64)
        # NaN in X is a NaN pivot: no factor, -1. NaN in y leaves the factor
        # and comes out as NaN coefficients with status 0 (the pipeline fits
        # fail on it).
        want = -1 if where == "X" else 0
        lib.trova_ols_chol_solve(tc.ptr(X), tc.ptr(y), n, p, coef.p, L.p, st.p, G.p, g.p)
        assert st.a[0] == want and np.isnan(coef.a).all()
        dof, Gu, col = guarded(1, fill=-5.0), guarded(p * p), guarded(p)
        lib.trova_chol_solve_L2(tc.ptr(X), tc.ptr(y), n, p, 0.1, 1, coef.p, L.p, dof.p, st.p, G.p, Gu.p, g.p, col.p)
        assert st.a[0] == want and np.isnan(coef.a).all()
        assert np.isnan(dof.a[0]) if where == "X" else np.isfinite(dof.a[0])
        for buf in (coef, L, G, g, st, dof, Gu, col):
            buf.check()
        # The Gram forms the penalised solvers see carry the NaN.
        Gm, gm = X.T @ X / n, X.T @ y / n
        c2, Gc = guarded(p, fill=-5.0), guarded(p)
        assert lib.trova_lasso_gram_cd(tc.ptr(Gm), tc.ptr(gm), p, 0.01, 100, 1e-12, c2.p, Gc.p) == -2
        assert lib.trova_en_gram_cd(tc.ptr(Gm), tc.ptr(gm), p, 0.01, 0.01, tc.ptr(np.zeros(p)), 100, 1e-12, c2.p,
                                    Gc.p) == -2
        lam, beta, work = guarded(11, fill=-5.0), guarded(11 * p, fill=-5.0), guarded(p * p + 8 * p)
        nk = guarded(1, fill=99, dtype=np.int64)
        assert lib.trova_lars_lasso_gram(tc.ptr(Gm), tc.ptr(gm), p, 10, 1e-12, lam.p, beta.p, nk.p, work.p) == -2
        # No knot is written for a path that cannot be traced.
        assert nk.a[0] == 0 and (lam.a == -5.0).all() and (beta.a == -5.0).all()
        for buf in (c2, Gc, lam, beta, work, nk):
            buf.check()
    # A NaN lasso or elastic-net penalty thresholds nothing: -2, not zeros.
    Gm, gm = np.eye(2), np.array([1.0, -0.5])
    c2, Gc = guarded(2), guarded(2)
    assert lib.trova_lasso_gram_cd(tc.ptr(Gm), tc.ptr(gm), 2, np.nan, 100, 1e-12, c2.p, Gc.p) == -2
    assert lib.trova_en_gram_cd(tc.ptr(Gm), tc.ptr(gm), 2, np.nan, 0.1, tc.ptr(np.zeros(2)), 100, 1e-12, c2.p,
                                Gc.p) == -2
    c2.check()
    Gc.check()


def _reg_no_rows(lib):
    # n = 0: every fit reports -1 with NaN outputs and reads nothing.
    X, y = np.zeros((0, _REG_P)), np.zeros(0)
    alphas = np.array([0.1, 0.01])
    for family, ctx, sizer_args, _ in _reg_contexts(0, _REG_P, alphas):
        rc, out, _ = _reg_step(lib, family, ctx, X, y, sizer_args)
        assert rc == -1 and np.isnan(out).all(), (family, rc, out)
    p = _REG_P
    coef, L, G, Gu, g, col = guarded(p, fill=-5.0), guarded(p * p), guarded(p * p), guarded(p * p), guarded(p), \
        guarded(p)
    dof, st = guarded(1, fill=-5.0), guarded(1, fill=99, dtype=np.int64)
    for intercept in (0, 1):
        lib.trova_chol_solve_L2(coef.p, coef.p, 0, p, 0.1, intercept, coef.p, L.p, dof.p, st.p, G.p, Gu.p, g.p, col.p)
        assert st.a[0] == -1 and np.isnan(coef.a).all() and np.isnan(dof.a[0])
    oa, oo, oc = guarded(1, fill=-5.0), guarded(1, fill=-5.0), guarded(p, fill=-5.0)
    lib.trova_ridge_grid_search(coef.p, coef.p, 0, p, tc.ptr(alphas), 2, 1, 1, oa.p, oc.p, oo.p, st.p, G.p, Gu.p,
                                g.p, L.p, col.p, col.p)
    assert (oa.a[0], oo.a[0], st.a[0]) == (0.1, np.inf, -1) and np.isnan(oc.a).all()
    for buf in (coef, L, G, Gu, g, col, dof, st, oa, oo, oc):
        buf.check()


def _reg_no_design(lib):
    # A negative column count has no output layout: only the status is
    # written. An intercept without a column for it: -1 and NaN sums.
    n = 8
    y = np.arange(n, dtype=float)
    alphas = np.array([0.1])
    for p, want_out in ((-1, None), (-3, None), (0, "nan")):
        X = np.zeros((n, max(p, 0)))
        for family, ctx, sizer_args, _ in _reg_contexts(n, p, alphas):
            if p == 0 and family in ("ols", "ridge", "ridge_gs"):
                continue  # no penalised column to centre: an empty model
            ctx_p = ctx.p
            assert ctx_p == p
            rc, out, _ = _reg_step(lib, family, ctx, X, y, sizer_args)
            assert rc == -1, (family, p, rc)
            if want_out == "nan":
                assert np.isnan(out).all(), (family, out)
            else:
                assert (out == -5.0).all(), (family, out)


def _reg_negative_grids(lib):
    # Negative grid lengths or knot budgets: -2, NaN outputs, and the lanes
    # (sized for an empty grid) untouched beyond X and y.
    X, y = _reg_data()
    n, p = X.shape
    alphas = np.array([0.1, 0.01])
    for n_alpha, max_iter in ((-3, 5), (-1000, 5), (0, 5), (2, -4), (2, -1000)):
        cases = [("lasso_gs", tc.trova_mc_lasso_gs_step_ctx(tc.ptr(alphas), n, p, n_alpha, 1, max_iter, 1e-12),
                  (n, p, 1, max(n_alpha, 0), max(max_iter, 0)))]
        if max_iter >= 0:
            cases.append(("elastic_net_gs",
                          tc.trova_mc_elastic_net_gs_step_ctx(tc.ptr(alphas), n, p, n_alpha, 1, 1, 100, 1e-10, 0.5),
                          (n, p, 1, max(n_alpha, 0))))
        for family, ctx, sizer_args in cases:
            rc, out, _ = _reg_step(lib, family, ctx, X, y, sizer_args)
            assert rc == -2 and np.isnan(out).all(), (family, n_alpha, max_iter, rc)


def _reg_nan_penalty_first(lib):
    # A NaN first penalty is never selected: each grid chooses as it does
    # for the grid without it, with status 0. A NaN single penalty fails.
    X, y = _reg_data()
    n, p = X.shape
    clean = np.array([0.1, 0.01, 1e-4])
    dirty = np.concatenate([[np.nan], clean])
    for intercept in (0, 1):
        for family, ctx_of, sizer_args in [
            ("ridge_gs", lambda a, m: tc.trova_mc_ridge_gs_step_ctx(tc.ptr(a), n, p, m, 1, intercept), lambda m: (n, p)),
            ("lasso_gs", lambda a, m: tc.trova_mc_lasso_gs_step_ctx(tc.ptr(a), n, p, m, intercept, 50, 1e-12),
             lambda m: (n, p, intercept, m, 50)),
            ("elastic_net_gs",
             lambda a, m: tc.trova_mc_elastic_net_gs_step_ctx(tc.ptr(a), n, p, m, 1, intercept, 1000, 1e-12, 0.5),
             lambda m: (n, p, intercept, m)),
        ]:
            rc_c, out_c, _ = _reg_step(lib, family, ctx_of(clean, 3), X, y, sizer_args(3))
            rc_d, out_d, st_d = _reg_step(lib, family, ctx_of(dirty, 4), X, y, sizer_args(4))
            assert rc_c == rc_d == 0, (family, rc_c, rc_d)
            assert np.isfinite(out_d).all() and np.array_equal(out_c, out_d), (family, out_c, out_d)
            if family == "elastic_net_gs":
                assert st_d[0] == -2 and (st_d[1:] == 0).all()
            # A grid of NaN penalties only selects nothing.
            nan_only = np.array([np.nan, np.nan])
            rc, out, _ = _reg_step(lib, family, ctx_of(nan_only, 2), X, y, sizer_args(2))
            assert rc == (-1 if family == "ridge_gs" else -2) and np.isnan(out).all(), (family, rc)
        ridge = tc.trova_mc_ridge_step_ctx(n, p, intercept, np.nan)
        rc, out, _ = _reg_step(lib, "ridge", ridge, X, y, (n, p))
        assert rc == -1 and np.isnan(out).all()
    # The kernel: the NaN penalty is neither reported nor selected, even
    # where it would penalise nothing (intercept only).
    for Xk, intercept in ((X, 0), (np.ascontiguousarray(X[:, :1]), 1)):
        pk = Xk.shape[1]
        oa, oo, oc = guarded(1, fill=-5.0), guarded(1, fill=-5.0), guarded(pk, fill=-5.0)
        st = guarded(1, fill=99, dtype=np.int64)
        s = [guarded(m) for m in (pk * pk, pk * pk, pk, pk * pk, pk, pk)]
        lib.trova_ridge_grid_search(tc.ptr(Xk), tc.ptr(y), n, pk, tc.ptr(dirty), 4, 2, intercept, oa.p, oc.p, oo.p,
                                    st.p, *[b.p for b in s])
        assert st.a[0] == 0 and oa.a[0] in clean and np.isfinite(oo.a[0]) and np.isfinite(oc.a).all()
        for buf in [oa, oo, oc, st] + s:
            buf.check()


def _reg_nan_warm_start(lib):
    # A NaN start is no convergence, whatever the penalties; so is a NaN
    # start on a coordinate the descent skips (zero diagonal, no L2 part).
    G, g = np.array([[2.0, 0.3], [0.3, 1.0]]), np.array([0.5, -0.2])
    for beta0, Gm, a2 in ((np.array([np.nan, 0.0]), G, 0.1), (np.array([0.0, np.nan]), G, 0.0),
                          (np.array([np.nan]), np.zeros((1, 1)), 0.0)):
        k = len(beta0)
        coef, Gc = guarded(k), guarded(k)
        st = lib.trova_en_gram_cd(tc.ptr(Gm), tc.ptr(g[:k]), k, 0.01, a2, tc.ptr(beta0), 100, 1e-12, coef.p, Gc.p)
        assert st == -2, (beta0, st)
        coef.check()
        Gc.check()


def _reg_path_eval_without_knots(lib):
    # n_knots <= 0 (and k < 0): -1, and nothing read or written. The path
    # arrays sit right after guard cells, so a read before them would bring
    # a guard value into the output.
    k = 2
    lam, beta = guarded(3, fill=1.0), guarded(3 * k, fill=0.5)
    grid = np.array([0.5, 2.0, np.nan])
    for n_knots, kk in ((0, k), (-1, k), (-(2**62), k), (2, -1)):
        out = guarded(3 * k, fill=-5.0)
        assert lib.trova_lasso_path_eval(lam.p, beta.p, n_knots, kk, tc.ptr(grid), 3, out.p) == -1
        assert (out.a == -5.0).all()
        out.check()
    for buf in (lam, beta):
        buf.check()


REGRESSION_CASES += [
    ("regression_nan_X_steps", _reg_nan_data_steps("X")),
    ("regression_nan_y_steps", _reg_nan_data_steps("y")),
    ("regression_nan_data_kernels", _reg_nan_data_kernels),
    ("regression_no_rows", _reg_no_rows),
    ("regression_no_design", _reg_no_design),
    ("regression_negative_grids", _reg_negative_grids),
    ("regression_nan_penalty_first", _reg_nan_penalty_first),
    ("regression_nan_warm_start", _reg_nan_warm_start),
    ("regression_path_eval_without_knots", _reg_path_eval_without_knots),
]

# --- Diagnostics -----------------------------------------------------------

DIAGNOSTIC_CASES = []

_DSENT = -321.5  # a value no diagnostic writes on its own


def _dptr(a):
    return a.p if isinstance(a, Guarded) else tc.ptr(a)


def diag_step(lib, name, ctx, lane_size, inputs, n_int_work=0):
    """Runs the diagnostic test step `name` on a guarded lane of `lane_size`
    values starting with `inputs`; checks that it returned 0 (a test never
    fails the replication), wrote inside its buffers only and left its
    inputs alone, and returns (int_out[0], float_out[0])."""
    lane = guarded(lane_size)
    lane.a[:len(inputs)] = inputs
    out, iout, iwork = guarded(1, _DSENT), guarded(1, 0, np.int64), guarded(n_int_work, 0, np.int64)
    rc = getattr(lib, f"trova_mc_{name}_test_runner")(0, lane.p, out.p, iwork.p, iout.p, ctypes.addressof(ctx))
    assert rc == 0
    lane.check(), out.check(), iout.check(), iwork.check()
    np.testing.assert_array_equal(lane.a[:len(inputs)], inputs)
    return int(iout.a[0]), out.a[0]


def _diag_data(n=40, k=2, seed=15):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, k))
    y = X @ np.linspace(1.0, -0.5, k) + rng.standard_normal(n)
    return np.ascontiguousarray(X), y


def _planted(a, value, index):
    a = np.array(a, dtype=float)
    a.flat[index] = value
    return a


def _wald_q_not_positive(lib):
    # q = 0 used to divide by zero in the long-run covariance (SIGFPE).
    n = 30
    g = np.ones((n, 1))
    for kind in ("mean", "covariance", "second_moment"):
        for q in (0, -1, -(2**62)):
            size = getattr(lib, f"trova_wald_{kind}_hac_arena_size")(n, max(q, 0))
            arena = guarded(max(size.n_float, 0), _DSENT)
            piv = guarded(max(size.n_int, 0), 0, np.int64)
            stat = guarded(1, _DSENT)
            for kernel, mode in ((0, 0), (1, 2), (2, 3)):
                st = getattr(lib, f"trova_wald_{kind}_hac")(tc.ptr(g), tc.ptr(np.ones(1)), n, q, kernel, mode, 3,
                                                           arena.p, piv.p, stat.p)
                assert st == -7, (kind, q, st)
                assert stat.untouched(_DSENT) and arena.untouched(_DSENT)
            arena.check(), piv.check(), stat.check()


def _hac_no_columns_or_rows(lib):
    r = np.ones((6, 2))
    for n, p in ((6, 0), (0, 0), (6, -3), (-2, -2)):
        gamma, out = guarded(0), guarded(0)
        for kernel in (0, 1, 2):
            lib.trova_hac_estimator_matmul(tc.ptr(r), kernel, 3, n, p, gamma.p, out.p)
        gamma.check(), out.check()
    # No rows: no covariance, NaN rather than zeros.
    for n in (0, -4):
        gamma, out = guarded(4, _DSENT), guarded(4, _DSENT)
        lib.trova_hac_estimator_matmul(tc.ptr(r), 0, 3, n, 2, gamma.p, out.p)
        assert np.isnan(out.a).all()
        gamma.check(), out.check()


def _wald_step_q_zero(lib):
    n = 20
    target = np.zeros(1)
    for kind in (0, 1, 2):
        ctx = tc.trova_mc_wald_test_ctx(tc.ptr(target), n, 0, 2, 0, 0, kind)
        st, v = diag_step(lib, "wald", ctx, lib.trova_wald_mean_hac_arena_size(n, 0).n_float, np.zeros(0))
        assert st == -7 and np.isnan(v)


def _wald_nonfinite_data_and_target(lib):
    n, q = 40, 2
    g0 = np.random.default_rng(3).standard_normal((n, q))
    for kind, target in (("mean", np.zeros(q)), ("covariance", np.eye(q)), ("second_moment", np.eye(q))):
        size = getattr(lib, f"trova_wald_{kind}_hac_arena_size")(n, q)
        for value, index in ((np.nan, 7), (np.inf, 0), (-np.inf, 2 * n - 1)):
            g = _planted(g0, value, index)
            for kernel, mode in ((0, 0), (0, 1), (1, 2), (2, 3)):
                arena, piv, stat = guarded(size.n_float), guarded(size.n_int, 0, np.int64), guarded(1, _DSENT)
                st = getattr(lib, f"trova_wald_{kind}_hac")(tc.ptr(g), tc.ptr(target), n, q, kernel, mode, 4,
                                                           arena.p, piv.p, stat.p)
                # Omega holds NaN: no factor, no statistic.
                assert st == -2 and np.isnan(stat.a[0]), (kind, value, kernel, mode, st)
                arena.check(), piv.check(), stat.check()
        # A NaN in the target, the mean test's included: -1, stat_out unwritten.
        bad = _planted(target, np.nan, q - 1)
        arena, piv, stat = guarded(size.n_float), guarded(size.n_int, 0, np.int64), guarded(1, _DSENT)
        st = getattr(lib, f"trova_wald_{kind}_hac")(tc.ptr(g0), tc.ptr(bad), n, q, 0, 0, 4, arena.p, piv.p, stat.p)
        assert st == -1 and stat.untouched(_DSENT)
        arena.check(), piv.check(), stat.check()


def _kernel_weight_largest_bandwidth(lib):
    # a = j / (L + 1) with L + 1 = 2^63 in floating point (it overflowed in i64).
    import mpmath
    mpmath.mp.dps = 80

    def qs(a):  # exact enough where the closed form cancels in doubles
        z = 6 * mpmath.pi * mpmath.mpf(a) / 5
        return float(3 * (mpmath.sin(z) / z - mpmath.cos(z)) / z**2)

    for L in (2**63 - 1, 2**63 - 2, 2**62):
        for j in (0, 1, 2**40, 2**61, 2**62, 3 * 2**61, 2**63 - 1):
            a = j / (float(L) + 1.0)
            parzen = 1 - 6 * a**2 + 6 * a**3 if a <= 0.5 else 2 * (1 - a) ** 3 if a <= 1 else 0.0
            want = [max(1.0 - a, 0.0), parzen, 1.0 if a == 0 else qs(a)]
            got = [lib.kernel_weight(j, L, kernel) for kernel in (0, 1, 2)]
            np.testing.assert_allclose(got, want, rtol=1e-14, atol=1e-16, err_msg=f"j={j} L={L}")
    # L = -1 puts every lag j > 0 at a = infinity, where each kernel is 0.
    assert [lib.kernel_weight(3, -1, k) for k in (0, 1, 2)] == [0.0, 0.0, 0.0]


def _statistic(lib, kernel, size, *args):
    """(status, statistic) of a kernel whose last two arguments are its arena
    (`size` values) and stat_out, both guarded."""
    arena, stat = guarded(size), guarded(1, _DSENT)
    st = getattr(lib, kernel)(*args, arena.p, stat.p)
    arena.check(), stat.check()
    return st, stat.a[0]


def _bp(lib, eps, Xa, robust):
    n, p = Xa.shape
    return _statistic(lib, "trova_bp_stat", lib.trova_bp_arena_size(n, p).n_float, tc.ptr(eps),
                      tc.ptr(np.ascontiguousarray(Xa)), n, p, robust)


def _bp_nonfinite(lib):
    X, eps = _diag_data()
    n = len(eps)
    Xa = np.column_stack([np.ones(n), X])
    cases = [(_planted(eps, np.nan, 5), Xa), (_planted(eps, -np.inf, n - 1), Xa),
             (eps, _planted(Xa, np.nan, 11)), (eps, _planted(Xa, np.inf, Xa.size - 1)),
             (eps, _planted(Xa, np.nan, 0)), (_planted(eps, 1e200, 3), Xa)]  # eps^2 overflows
    for e, A in cases:
        for robust in (0, 1, -5):
            st, v = _bp(lib, e, A, robust)
            assert st == -3 and np.isnan(v)
        rss, tss = guarded(1, _DSENT), guarded(1, _DSENT)
        arena = guarded(lib.trova_bp_arena_size(*A.shape).n_float)
        assert lib.trova_bp_aux(tc.ptr(e), tc.ptr(np.ascontiguousarray(A)), *A.shape, arena.p, rss.p, tss.p) == -3
        assert rss.untouched(_DSENT) and tss.untouched(_DSENT)
        arena.check(), rss.check(), tss.check()
    # A negative column count: -7 before any write; n <= 0: -5.
    for n_, p_, want in ((n, -1, -7), (n, -(2**40), -7), (0, 2, -5), (-3, 2, -5)):
        arena, stat = guarded(64, _DSENT), guarded(1, _DSENT)
        assert lib.trova_bp_stat(tc.ptr(eps), tc.ptr(Xa), n_, p_, 0, arena.p, stat.p) == want
        assert arena.untouched(_DSENT) and np.isnan(stat.a[0])
        arena.check(), stat.check()


def _bg(lib, eps, X, lags):
    n, K = X.shape
    return _statistic(lib, "trova_bg_stat", lib.trova_bg_arena_size(n, K, lags).n_float, tc.ptr(eps),
                      tc.ptr(np.ascontiguousarray(X)), n, K, lags)


def _bg_nonfinite(lib):
    X, eps = _diag_data()
    n = len(eps)
    # A NaN in the last residual never reaches the lagged columns, nor any
    # residual with lags = 0: the Gram factors, and the NaN used to become 0.
    for e, A in ((_planted(eps, np.nan, n - 1), X), (_planted(eps, np.nan, 0), X), (_planted(eps, np.inf, 9), X),
                 (eps, _planted(X, np.nan, 3)), (eps, _planted(X, -np.inf, X.size - 1)),
                 (_planted(eps, 1e200, 2), X)):
        for lags in (0, 1, 3, n - 1):
            st, v = _bg(lib, e, A, lags)
            assert st == -3 and np.isnan(v), (lags, st, v)


def _bg_zero_residuals(lib):
    X, _ = _diag_data()
    n = X.shape[0]
    for lags in (0, 1, 4, n - 1):
        for A in (X, np.empty((n, 0)), np.column_stack([X, X[:, 0]])):
            assert _bg(lib, np.zeros(n), A, lags) == (0, 0.0), (lags, A.shape)


def _bg_negative_counts(lib):
    X, eps = _diag_data()
    n = len(eps)
    for K, lags in ((2, -1), (2, -3), (-1, 2), (-3, 0), (2, -(2**62))):
        arena, stat = guarded(4 * n, _DSENT), guarded(1, _DSENT)
        assert lib.trova_bg_stat(tc.ptr(eps), tc.ptr(X), n, K, lags, arena.p, stat.p) == -7
        assert arena.untouched(_DSENT) and np.isnan(stat.a[0])
        arena.check(), stat.check()


def _residual_steps_nonfinite(lib):
    X, eps = _diag_data(n=30, k=2)
    n, k = X.shape
    inputs = tc.pack([_planted(eps, np.nan, n - 1), X])
    runs = [("breusch_pagan", tc.trova_mc_breusch_pagan_test_ctx(n, k, robust),
             _arena.diagnostic_arena_size("breusch_pagan", n, k)[0]) for robust in (0, 1)]
    runs += [("breusch_godfrey", tc.trova_mc_breusch_godfrey_test_ctx(n, k, lags),
              _arena.diagnostic_arena_size("breusch_godfrey", n, k, lags)[0]) for lags in (0, 2)]
    for name, ctx, lane_size in runs:
        st, v = diag_step(lib, name, ctx, lane_size, inputs)
        assert st == -3 and np.isnan(v), name


def _recursive_nonfinite(lib):
    T, p = 30, 3
    X, y = _diag_data(T, p)
    for yy, XX in ((_planted(y, np.nan, T - 1), X), (_planted(y, np.inf, 0), X), (y, _planted(X, np.nan, T * p - 1)),
                   (y, _planted(X, -np.inf, 1))):
        XX = np.ascontiguousarray(XX)
        cusum, cusumsq = lib.trova_cusum_arena_size(T, p).n_float, lib.trova_cusumsq_arena_size(T, p).n_float
        # The residuals and the path stay unwritten, and so do the arenas:
        # the data are refused before any work.
        for name, size, n_out in (("trova_recursive_residuals", cusumsq, T - p), ("trova_cusum_series", cusum, T - p)):
            arena, w = guarded(size, _DSENT), guarded(n_out, _DSENT)
            assert getattr(lib, name)(tc.ptr(yy), tc.ptr(XX), T, p, arena.p, w.p) == -3
            assert w.untouched(_DSENT) and arena.untouched(_DSENT)
            arena.check(), w.check()
        arena, stat = guarded(cusum, _DSENT), guarded(1, _DSENT)
        assert lib.trova_cusum_stat(tc.ptr(yy), tc.ptr(XX), T, p, arena.p, stat.p) == -3
        assert np.isnan(stat.a[0]) and arena.untouched(_DSENT)
        arena.check(), stat.check()
        arena, stat, m = guarded(cusumsq, _DSENT), guarded(1, _DSENT), guarded(1, 0, np.int64)
        assert lib.trova_cusumsq_stat(tc.ptr(yy), tc.ptr(XX), T, p, m.p, arena.p, stat.p) == -3
        assert np.isnan(stat.a[0]) and arena.untouched(_DSENT) and m.a[0] == T - p
        arena.check(), stat.check(), m.check()
        arena, stat = guarded(lib.trova_chow_arena_size(p).n_float, _DSENT), guarded(1, _DSENT)
        assert lib.trova_chow_stat(tc.ptr(yy), tc.ptr(XX), T, p, 12, arena.p, stat.p) == -3
        assert np.isnan(stat.a[0]) and arena.untouched(_DSENT)
        arena.check(), stat.check()


def _stability_steps_nonfinite(lib):
    T, p = 30, 2
    X, y = _diag_data(T, p)
    inputs = tc.pack([_planted(y, np.nan, T - 1), X])
    for name, ctx in (("cusum", tc.trova_mc_cusum_test_ctx(T, p)), ("cusumsq", tc.trova_mc_cusumsq_test_ctx(T, p)),
                      ("chow", tc.trova_mc_chow_test_ctx(T, p, 10))):
        st, v = diag_step(lib, name, ctx, _arena.diagnostic_arena_size(name, T, p)[0], inputs)
        assert st == -3 and np.isnan(v), name


def _jarque_bera_negative_n(lib):
    out = guarded(1, _DSENT)
    for n in (0, -1, -(2**62)):
        assert lib.trova_jb_stat(tc.ptr(np.ones(4)), n, out.p) == -5 and np.isnan(out.a[0])
    out.check()


DIAGNOSTIC_CASES += [
    ("wald_q_not_positive", _wald_q_not_positive),
    ("hac_no_columns_or_rows", _hac_no_columns_or_rows),
    ("wald_step_q_zero", _wald_step_q_zero),
    ("wald_nonfinite_data_and_target", _wald_nonfinite_data_and_target),
    ("kernel_weight_largest_bandwidth", _kernel_weight_largest_bandwidth),
    ("bp_nonfinite", _bp_nonfinite),
    ("bg_nonfinite", _bg_nonfinite),
    ("bg_zero_residuals", _bg_zero_residuals),
    ("bg_negative_counts", _bg_negative_counts),
    ("residual_steps_nonfinite", _residual_steps_nonfinite),
    ("recursive_nonfinite", _recursive_nonfinite),
    ("stability_steps_nonfinite", _stability_steps_nonfinite),
    ("jarque_bera_negative_n", _jarque_bera_negative_n),
]

# --- Model solution --------------------------------------------------------

MODEL_CASES = []

# Model sizes whose work or output arrays overflow 64-bit byte counts.
_MODEL_HUGE = (2**60, 2**61, 2**62, 2**62 + 1, 2**63 - 1)


def _counting_residual(n_eq=1):
    """A residual function writing zeros, and the list its calls count in."""
    calls = []

    def fn(fwd, cur, par, out):
        calls.append(1)
        for i in range(n_eq):
            out[i].re = out[i].im = 0.0

    return tc.trova_residual_fn(fn), calls


def _linearise_refuses(lib):
    _alarm()
    fn, calls = _counting_residual()
    ss, par = np.ones(2), np.zeros(1)
    a, b = guarded(4, 5.0), guarded(4, 5.0)
    assert lib.klein_preproc(tc.trova_residual_fn(), tc.ptr(ss), tc.ptr(par), 2, 0, 2, 0, a.p, b.p) == -1
    for n_var, n_eq in [(h, 1) for h in _MODEL_HUGE] + [(1, h) for h in _MODEL_HUGE] + [(2**32, 2**32)]:
        for log_linear in (0, 1):
            assert lib.klein_preproc(fn, tc.ptr(ss), tc.ptr(par), n_var, 0, n_eq, log_linear, a.p, b.p) == -1
    res = guarded(4, 5.0)
    c = np.ones(2, dtype=complex)
    assert lib.trova_residual_path(tc.trova_residual_fn(), tc.cptr(c), tc.cptr(c), tc.cptr(c), 1, 2, 2, res.p) == -1
    for n_steps, n_var, n_eq in [(2**62, 2, 1), (2, 2**61, 1), (2**40, 1, 2**40), (2, 1, 2**60), (3, -2, 1)]:
        assert lib.trova_residual_path(fn, tc.cptr(c), tc.cptr(c), tc.cptr(c), n_steps, n_var, n_eq, res.p) == -1
    assert not calls
    assert a.untouched(5.0) and b.untouched(5.0) and res.untouched(5.0)
    for g in (a, b, res):
        g.check()
    # No function to call (a null pointer of the callback type): nothing happens.
    out, op = _cguarded(2, 5.0)
    lib.spike_call(tc.spike_residual_fn(), tc.cptr(c), tc.cptr(c), op, 2)
    assert out.untouched(5.0)
    out.check()


MODEL_CASES.append(("linearise_null_callback_and_huge_sizes", _linearise_refuses))


def _newton_and_hessian_refuse(lib):
    _alarm()
    fn, calls = _counting_residual()
    bc_calls = []
    bc_fn = tc.bc_residual_fn(lambda f, c, p, o: bc_calls.append(1))
    seed, par = np.ones(2), np.zeros(1)
    ss, iters = guarded(2, 5.0), guarded(1, -9, np.int64)
    H = guarded(16, 5.0)
    assert lib.trova_steady_state_newton(tc.trova_residual_fn(), tc.ptr(seed), tc.ptr(par), 2, 0, 5, 1e-12, ss.p, iters.p) == -1
    assert lib.trova_bicomplex_hessian(tc.bc_residual_fn(), tc.ptr(seed), tc.ptr(par), 1, 0, 1, 1e-8, H.p) == -1
    for n in _MODEL_HUGE + (2**31, 2**32):
        assert lib.trova_steady_state_newton(fn, tc.ptr(seed), tc.ptr(par), n, 0, 5, 1e-12, ss.p, iters.p) == -1
        assert lib.trova_bicomplex_hessian(bc_fn, tc.ptr(seed), tc.ptr(par), n, 0, 1, 1e-8, H.p) == -1
        assert lib.trova_bicomplex_hessian(bc_fn, tc.ptr(seed), tc.ptr(par), 1, 0, n, 1e-8, H.p) == -1
    assert not calls and not bc_calls
    assert ss.untouched(5.0) and (iters.a == -9).all() and H.untouched(5.0)
    for g in (ss, iters, H):
        g.check()


MODEL_CASES.append(("newton_and_hessian_null_callback_and_huge_sizes", _newton_and_hessian_refuse))


def _qz_refuses(lib):
    _alarm()
    zgges = tc.lapack_zgges()
    (S, s), (T, t), (Z, z) = _cguarded(4, 5.0), _cguarded(4, 5.0), _cguarded(4, 5.0)
    assert lib.klein_qz(None, 2, s, t, z) == -1
    # Beyond zgges's 32-bit N (2^32 + 2 used to reach it as 2), and negative.
    for n in (2**31, 2**32 + 2, 2**61, 2**63 - 1, -1, -(2**32) + 2):
        assert lib.klein_qz(zgges, n, s, t, z) == -1, n
    assert S.untouched(5.0) and T.untouched(5.0) and Z.untouched(5.0)
    # klein_postproc: a negative control count or an unaddressable pencil.
    (F, f), (P, p), (E, e) = _cguarded(4, 5.0), _cguarded(4, 5.0), _cguarded(4, 5.0)
    stab = guarded(1, -9, np.int64)
    for n_s, n_cs in [(1, -1), (2, -2), (2**31, 2**31), (2**62, 2**62), (1, 2**63 - 1)]:
        assert lib.klein_postproc(s, t, z, n_s, n_cs, f, p, stab.p, e) == -1, (n_s, n_cs)
        assert stab.a[0] == 2
    assert F.untouched(5.0) and P.untouched(5.0) and E.untouched(5.0)
    for g in (S, T, Z, F, P, E, stab):
        g.check()


MODEL_CASES.append(("qz_null_zgges_wide_n_and_bad_blocks", _qz_refuses))


def _second_order_refuses(lib):
    _alarm()
    one = np.ones(64)
    gxx, hxx, gss, hss = guarded(8, 5.0), guarded(8, 5.0), guarded(2, 5.0), guarded(2, 5.0)
    p = tc.ptr(one)
    # More states than variables, no states, huge systems.
    for n, nx in [(1, 2), (2, 0), (-1, 1), (2**21, 2**20), (2**40, 1), (2**62, 2**61), (3, 2**31)]:
        assert lib.trova_second_order(p, p, p, p, p, n, nx, gxx.p, hxx.p) == -1, (n, nx)
    for n, nx, ne in [(1, 2, 1), (2, -1, 1), (2, 1, -1), (2**40, 1, 1), (2, 1, 2**62), (2**62, 2**61, 1)]:
        assert lib.trova_second_order_risk(p, p, p, p, p, p, n, nx, ne, gss.p, hss.p) == -1, (n, nx, ne)
    for g in (gxx, hxx, gss, hss):
        assert g.untouched(5.0)
        g.check()


MODEL_CASES.append(("second_order_bad_and_huge_dimensions", _second_order_refuses))

# --- Runner and module -----------------------------------------------------

RUNNER_CASES = []


def _chol_nan_pivot(lib):
    n = 3
    S = np.eye(n) * 4.0
    S[2, 1] = np.nan
    L = guarded(n * n)
    assert lib.trova_chol(tc.ptr(S), 0.0, L.p, n) == -1
    L.check()


DENSE_CASES.append(("chol_nan_pivot_fails", _chol_nan_pivot))

CASES = (DENSE_CASES + SIMULATION_CASES + FILTER_CASES + TRANSFORM_CASES + REGRESSION_CASES
         + DIAGNOSTIC_CASES + MODEL_CASES + RUNNER_CASES)


@pytest.mark.parametrize("fn", [c[1] for c in CASES], ids=[c[0] for c in CASES])
def test_bad_input(fn):
    status, message = _run_forked(fn)
    if os.WIFSIGNALED(status):
        sig = os.WTERMSIG(status)
        pytest.fail(f"crashed with {signal.Signals(sig).name}")
    assert os.WEXITSTATUS(status) == 0, message


def test_harness_reports_a_crash_and_an_overrun():
    # The harness itself must see a signal and a guard cell written.
    status, _ = _run_forked(lambda lib: os.kill(os.getpid(), signal.SIGSEGV))
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGSEGV

    def overrun(lib):
        g = guarded(4)
        ctypes.memmove(ctypes.addressof(g.p.contents), np.zeros(5).ctypes.data, 40)
        g.check()

    status, message = _run_forked(overrun)
    assert os.WEXITSTATUS(status) == 1 and "past the buffer" in message
