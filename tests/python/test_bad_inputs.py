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

# --- Filters ---------------------------------------------------------------

FILTER_CASES = []

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
