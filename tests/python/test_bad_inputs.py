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
    lane = guarded(max(size.n_float, n * p + n))
    lane.a[:n * p] = X.ravel()
    lane.a[n * p:n * p + n] = y
    out = guarded(max(2 * p + 2 if family == "ols" else p + 2, 0), fill=-5.0)
    int_out = guarded(1, fill=99, dtype=np.int64)
    int_work = guarded(max(size.n_int, 0), fill=0, dtype=np.int64)
    rc = getattr(lib, f"trova_mc_{family}_runner")(0, lane.p, out.p, int_work.p if size.n_int else None, int_out.p,
                                                    ctypes.addressof(ctx))
    for g in (lane, out, int_out, int_work):
        g.check()
    assert rc == int_out.a[0], (rc, int_out.a[0])
    return rc, out.a.copy(), int_work.a.copy()


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
