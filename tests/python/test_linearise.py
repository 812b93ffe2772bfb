"""Complex-step linearisation against analytic Jacobians of small models in
levels and in logarithms; the path evaluator and the pass-through call."""
import ctypes

import numpy as np
import pytest

import trova_ctypes as tc

P_DOUBLE = ctypes.POINTER(ctypes.c_double)


def view(p, n):
    """The n complex values behind a c128 pointer, as a writable NumPy view."""
    if n == 0:
        return np.zeros(0, dtype=complex)
    raw = np.ctypeslib.as_array(ctypes.cast(p, P_DOUBLE), shape=(2 * n,))
    return raw.view(np.complex128)


class Residual:
    """A Python model f(fwd, cur, par) -> residuals behind a trova_residual_fn.
    It records a copy of every (fwd, cur) it is called with."""

    def __init__(self, f, n_var, n_par, n_eq):
        self.calls = []

        def call(fwd, cur, par, out):
            x1, x0, p = view(fwd, n_var).copy(), view(cur, n_var).copy(), view(par, n_par).copy()
            self.calls.append((x1, x0))
            if n_eq:
                view(out, n_eq)[:] = f(x1, x0, p)[:n_eq]

        self.fn = tc.trova_residual_fn(call)


def model(x1, x0, p):
    """Three equations in three variables, nonlinear in both periods."""
    return np.array([x1[0] * x0[1] - p[0] * x0[0] ** 2,
                     np.exp(x1[1]) - p[1] * x0[2] * x1[2],
                     np.log(x1[2]) + x0[0] * x0[2] - p[0]])


def model_jacobians(x, p):
    """Analytic df/dfwd and df/dcur at fwd = cur = x."""
    d_fwd = np.array([[x[1], 0.0, 0.0],
                      [0.0, np.exp(x[1]), -p[1] * x[2]],
                      [0.0, 0.0, 1.0 / x[2]]])
    d_cur = np.array([[-2.0 * p[0] * x[0], x[0], 0.0],
                      [0.0, 0.0, -p[1] * x[2]],
                      [x[2], 0.0, x[0]]])
    return d_fwd, d_cur


def preproc(lib, resid, ss, par, n_eq, log_linear, fill=np.nan):
    ss, par = np.ascontiguousarray(ss, dtype=float), np.ascontiguousarray(par, dtype=float)
    n_var = ss.size
    a = np.full((max(n_eq, 1), max(n_var, 1)), fill)
    b = np.full((max(n_eq, 1), max(n_var, 1)), fill)
    status = lib.klein_preproc(resid.fn, tc.ptr(ss), tc.ptr(par), n_var, par.size, n_eq,
                               log_linear, tc.ptr(a), tc.ptr(b))
    return status, a, b


@pytest.mark.parametrize("log_linear", [0, 1])
@pytest.mark.parametrize("n_eq", [3, 2, 1])
@pytest.mark.parametrize("draw", range(6))
def test_jacobians_match_analytic(lib, rng, log_linear, n_eq, draw):
    x = rng.uniform(0.5, 1.5, 3)
    p = rng.uniform(0.1, 0.5, 2)
    resid = Residual(model, 3, 2, n_eq)
    status, a, b = preproc(lib, resid, x, p, n_eq, log_linear)
    assert status == 0
    d_fwd, d_cur = model_jacobians(x, p)
    want_a, want_b = d_fwd[:n_eq], -d_cur[:n_eq]
    if log_linear:
        # d log(1 + f) / d log x_j = x_j df/dx_j / (1 + f).
        scale = 1.0 / (1.0 + model(x, x, p).real[:n_eq])
        want_a = want_a * x[None, :] * scale[:, None]
        want_b = want_b * x[None, :] * scale[:, None]
    np.testing.assert_allclose(a, want_a, rtol=1e-12, atol=1e-300)
    np.testing.assert_allclose(b, want_b, rtol=1e-12, atol=1e-300)
    # 2 n_var evaluations, each with exactly one perturbed entry.
    assert len(resid.calls) == 6
    for call, (x1, x0) in enumerate(resid.calls):
        j, moved = call % 3, (x1, x0)[call // 3]
        still = (x0, x1)[call // 3]
        if log_linear:
            # exp(log x_j + i h) = x_j (cos h, sin h)
            np.testing.assert_allclose(moved.real, x, rtol=1e-15)
            np.testing.assert_allclose(still.real, x, rtol=1e-15)
            assert moved[j].imag == pytest.approx(x[j] * 1e-30, rel=1e-15)
        else:
            np.testing.assert_array_equal(moved.real, x)
            np.testing.assert_array_equal(still.real, x)
            assert moved[j].imag == 1e-30
        assert np.count_nonzero(moved.imag) == 1 and not still.imag.any()


@pytest.mark.parametrize("log_linear, f, ss, want_a, want_b", [
    (0, lambda x1, x0, p: np.array([x1[0] - 0.9 * x0[0]]), 0.7, 1.0, 0.9),
    (1, lambda x1, x0, p: np.array([x1[0] - x0[0] ** 2]), 0.5, 0.4, 0.4),
    # At an exact steady state the factor 1 / (1 + f) is one: x' = x^0.5 at x = 1.
    (1, lambda x1, x0, p: np.array([x1[0] - np.sqrt(x0[0])]), 1.0, 1.0, 0.5),
])
def test_one_variable_models(lib, log_linear, f, ss, want_a, want_b):
    status, a, b = preproc(lib, Residual(f, 1, 0, 1), [ss], [], 1, log_linear)
    assert status == 0
    assert a[0, 0] == pytest.approx(want_a, rel=1e-14)
    assert b[0, 0] == pytest.approx(want_b, rel=1e-14)


@pytest.mark.parametrize("log_linear", [0, 1])
def test_no_variables_leaves_outputs_and_calls_nothing(lib, log_linear):
    resid = Residual(lambda x1, x0, p: np.array([1.0]), 0, 1, 1)
    status, a, b = preproc(lib, resid, [], [0.3], 1, log_linear, fill=-5.0)
    assert status == 0 and not resid.calls
    assert (a == -5.0).all() and (b == -5.0).all()


@pytest.mark.parametrize("log_linear", [0, 1])
def test_no_equations_still_calls_the_model(lib, log_linear):
    resid = Residual(model, 3, 2, 0)
    status, a, b = preproc(lib, resid, [0.8, 0.9, 1.1], [0.2, 0.3], 0, log_linear, fill=-5.0)
    assert status == 0 and len(resid.calls) == 6
    assert (a == -5.0).all() and (b == -5.0).all()


def test_nonfinite_residuals_propagate(lib):
    f = lambda x1, x0, p: np.array([x1[0] * np.nan, x1[0] + x0[0]])  # noqa: E731
    status, a, b = preproc(lib, Residual(f, 1, 0, 2), [1.0], [], 2, 0)
    assert status == 0
    assert np.isnan(a[0, 0]) and np.isnan(b[0, 0])
    assert a[1, 0] == 1.0 and b[1, 0] == -1.0


@pytest.mark.parametrize("n_steps", [1, 4, 9])
def test_residual_path_takes_next_period_first(lib, rng, n_steps):
    cur = rng.uniform(0.5, 1.5, (n_steps, 3)) + 1j * rng.normal(0, 0.1, (n_steps, 3))
    fwd = rng.uniform(0.5, 1.5, (n_steps, 3)) + 1j * rng.normal(0, 0.1, (n_steps, 3))
    par = np.array([0.3 + 0.1j, 0.2 - 0.05j])
    resid = Residual(model, 3, 2, 3)
    out = np.full((n_steps, 3), np.nan)
    status = lib.trova_residual_path(resid.fn, tc.cptr(cur), tc.cptr(fwd), tc.cptr(par),
                                     n_steps, 3, 3, tc.ptr(out))
    assert status == 0 and len(resid.calls) == n_steps
    want = np.array([model(fwd[t], cur[t], par).real for t in range(n_steps)])
    np.testing.assert_allclose(out, want, rtol=1e-15)


@pytest.mark.parametrize("n_steps, n_eq, calls", [(0, 3, 0), (-2, 3, 0), (5, 0, 5)])
def test_residual_path_empty_cases(lib, n_steps, n_eq, calls):
    x = np.ones((5, 3), dtype=complex)
    par = np.array([0.3, 0.2], dtype=complex)
    resid = Residual(model, 3, 2, n_eq)
    out = np.full(16, -5.0)
    status = lib.trova_residual_path(resid.fn, tc.cptr(x), tc.cptr(x), tc.cptr(par),
                                     n_steps, 3, n_eq, tc.ptr(out))
    assert status == 0 and len(resid.calls) == calls
    assert (out == -5.0).all()


@pytest.mark.parametrize("n", [0, 1, 7])
def test_spike_call_passes_everything_through(lib, rng, n):
    a = rng.normal(size=max(n, 1)) + 1j * rng.normal(size=max(n, 1))
    b = rng.normal(size=max(n, 1)) + 1j * rng.normal(size=max(n, 1))
    out = np.full(max(n, 1), np.nan + 0j)
    seen = []

    def call(pa, pb, pout, m):
        seen.append((ctypes.addressof(pa.contents), ctypes.addressof(pb.contents), m))
        if m:
            view(pout, m)[:] = view(pa, m) * view(pb, m)

    fn = tc.spike_residual_fn(call)
    lib.spike_call(fn, tc.cptr(a), tc.cptr(b), tc.cptr(out), n)
    assert seen == [(a.ctypes.data, b.ctypes.data, n)]
    if n:
        np.testing.assert_array_equal(out, a * b)
