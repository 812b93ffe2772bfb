"""Newton steady state and bicomplex-step Hessian of the stochastic growth
model (log utility, full depreciation) against its closed form and NumPy
evaluations of its analytic derivatives."""
import ctypes
import os

import numpy as np
import pytest

import trova_ctypes as tc


@pytest.fixture(scope="module")
def models():
    so = ctypes.CDLL(os.environ["TROVA_TEST_MODELS"])
    return (ctypes.cast(so.growth_residual_c128, tc.trova_residual_fn),
            ctypes.cast(so.growth_residual_bc256, tc.bc_residual_fn))


CALIBRATIONS = [(0.36, 0.99, 0.95), (0.25, 0.95, 0.5), (0.6, 0.9, 0.0)]


def closed_form(alpha, beta):
    k = (alpha * beta) ** (1.0 / (1.0 - alpha))
    return np.array([k, 0.0, (1.0 - alpha * beta) * k ** alpha])


def hessian_reference(alpha, beta, x):
    """Second derivatives in z = (k', z', c', k, z, c) at fwd = cur = x,
    term by term from the three equations."""
    k, z, c = x
    H = np.zeros((3, 6, 6))
    # Euler: 1/c - alpha beta e^{z'} k'^(alpha-1) / c'.
    g = alpha * beta * np.exp(z) * k ** (alpha - 1) / c
    am1 = alpha - 1.0
    H[0, 0, 0] = -g * am1 * (am1 - 1) / k ** 2
    H[0, 0, 1] = H[0, 1, 0] = -g * am1 / k
    H[0, 0, 2] = H[0, 2, 0] = g * am1 / (k * c)
    H[0, 1, 1] = -g
    H[0, 1, 2] = H[0, 2, 1] = g / c
    H[0, 2, 2] = -2.0 * g / c ** 2
    H[0, 5, 5] = 2.0 / c ** 3
    # Resources: k' + c - e^z k^alpha.
    y = np.exp(z) * k ** alpha
    H[1, 3, 3] = -y * alpha * (alpha - 1) / k ** 2
    H[1, 3, 4] = H[1, 4, 3] = -y * alpha / k
    H[1, 4, 4] = -y
    return H


@pytest.mark.parametrize("alpha, beta, rho", CALIBRATIONS)
@pytest.mark.parametrize("spread", [0.7, 1.0, 1.5])
def test_newton_reaches_the_closed_form(lib, models, alpha, beta, rho, spread):
    want = closed_form(alpha, beta)
    seed = np.array([want[0] * spread, 0.1, want[2] / spread])
    par = np.array([alpha, beta, rho])
    ss, iters = np.full(3, np.nan), ctypes.c_int64(-1)
    status = lib.trova_steady_state_newton(models[0], tc.ptr(seed), tc.ptr(par), 3, 3, 60, 1e-14,
                                           tc.ptr(ss), ctypes.byref(iters))
    assert status == 0 and 0 <= iters.value < 30
    np.testing.assert_allclose(ss, want, rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("alpha, beta, rho", CALIBRATIONS)
def test_jacobians_of_the_growth_model(lib, models, alpha, beta, rho):
    x = closed_form(alpha, beta) * np.array([1.2, 1.0, 0.9]) + np.array([0.0, 0.15, 0.0])
    par = np.array([alpha, beta, rho])
    a, b = np.full((3, 3), np.nan), np.full((3, 3), np.nan)
    assert lib.klein_preproc(models[0], tc.ptr(x), tc.ptr(par), 3, 3, 3, 0, tc.ptr(a), tc.ptr(b)) == 0
    k, z, c = x
    g = alpha * beta * np.exp(z) * k ** (alpha - 1) / c
    y = np.exp(z) * k ** alpha
    want_a = [[-g * (alpha - 1) / k, -g, g / c], [1, 0, 0], [0, 1, 0]]
    want_b = [[0, 0, 1 / c ** 2], [alpha * y / k, y, -1], [0, rho, 0]]
    np.testing.assert_allclose(a, want_a, rtol=1e-12, atol=0)
    np.testing.assert_allclose(b, want_b, rtol=1e-12, atol=0)


@pytest.mark.parametrize("alpha, beta, rho", CALIBRATIONS)
@pytest.mark.parametrize("step", [1e-8, 1e-30])
@pytest.mark.parametrize("point", ["steady", "away"])
def test_hessian_matches_analytic(lib, models, alpha, beta, rho, step, point):
    x = closed_form(alpha, beta)
    if point == "away":
        x = x * np.array([0.8, 1.0, 1.3]) + np.array([0.0, -0.3, 0.0])
    par = np.array([alpha, beta, rho])
    H = np.full((3, 6, 6), np.nan)
    assert lib.trova_bicomplex_hessian(models[1], tc.ptr(x), tc.ptr(par), 3, 3, 3, step,
                                       tc.ptr(H)) == 0
    want = hessian_reference(alpha, beta, x)
    for e in range(3):
        scale = max(np.abs(want[e]).max(), 1.0)
        np.testing.assert_allclose(H[e], want[e], rtol=1e-8, atol=1e-14 * scale)
    np.testing.assert_array_equal(H, H.transpose(0, 2, 1))
