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
