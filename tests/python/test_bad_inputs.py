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

import trova_ctypes as tc

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

# --- Transforms ------------------------------------------------------------

TRANSFORM_CASES = []

# --- Regression ------------------------------------------------------------

REGRESSION_CASES = []

# --- Diagnostics -----------------------------------------------------------

DIAGNOSTIC_CASES = []

# --- Model solution --------------------------------------------------------

MODEL_CASES = []

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
