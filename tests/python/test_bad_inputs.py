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
