"""Second-order perturbation against a direct NumPy solve of the unreduced
system of n nx^2 equations in all n nx^2 entries of gxx and hxx, and the
risk corrections against the formula evaluated with NumPy.

Models: a determinate first-order model with a known stable manifold
(gx = F, hx = P from a M = G, b M = G Lambda) and a random symmetric Hessian
of each equation over z = (v(t+1); v(t)).
"""

import numpy as np
import pytest

import trova_ctypes as tc
from references import risk_reference, unreduced_solve


def first_order_model(rng, n, nx):
    lam = np.concatenate([rng.uniform(0.2, 0.9, nx) * rng.choice([-1, 1], nx),
                          rng.uniform(1.2, 2.5, n - nx)])
    m = rng.standard_normal((n, n)) + 3 * np.eye(n)
    g = rng.standard_normal((n, n)) + 3 * np.eye(n)
    minv = np.linalg.inv(m)
    a = g @ minv
    b = g @ np.diag(lam) @ minv
    gx = m[nx:, :nx] @ np.linalg.inv(m[:nx, :nx])
    hx = m[:nx, :nx] @ np.diag(lam[:nx]) @ np.linalg.inv(m[:nx, :nx])
    return a, b, gx, hx


def random_hessian(rng, n):
    h = rng.standard_normal((n, 2 * n, 2 * n))
    return h + h.transpose(0, 2, 1)


def call_second_order(lib, a, b, fxx, gx, hx, n, nx):
    ny = n - nx
    gxx = np.full((max(ny, 1), nx, nx), np.nan)
    hxx = np.full((nx, nx, nx), np.nan)
    gx_c = np.ascontiguousarray(gx if gx.size else np.zeros((1, nx)))
    st = lib.trova_second_order(tc.ptr(np.ascontiguousarray(a)), tc.ptr(np.ascontiguousarray(b)),
                                tc.ptr(np.ascontiguousarray(fxx)), tc.ptr(gx_c),
                                tc.ptr(np.ascontiguousarray(hx)), n, nx, tc.ptr(gxx), tc.ptr(hxx))
    return st, gxx[:ny], hxx


def call_risk(lib, a, b, fxx, gx, gxx, eta, n, nx):
    ny, ne = n - nx, eta.shape[1]
    gss = np.full(max(ny, 1), np.nan)
    hss = np.full(max(nx, 1), np.nan)
    one = np.zeros(1)
    arr = lambda x: tc.ptr(np.ascontiguousarray(x)) if x.size else tc.ptr(one)  # noqa: E731
    st = lib.trova_second_order_risk(arr(a), arr(b), arr(fxx), arr(gx), arr(gxx), arr(eta),
                                     n, nx, ne, tc.ptr(gss), tc.ptr(hss))
    return st, gss[:ny], hss[:nx]


SIZES = [(1, 1), (2, 1), (3, 1), (3, 2), (4, 2), (5, 3), (6, 4), (4, 4), (7, 2)]
# Reduced systems of 180, 210 and 720 unknowns: several panels of the
# blocked factorisation (row swaps across panels, block rows, trailing
# products in more than one chunk).
LARGE = [(12, 5), (10, 6), (20, 8)]


@pytest.mark.parametrize("n,nx", SIZES + LARGE)
def test_quadratic_terms_against_unreduced_system(lib, rng, n, nx):
    a, b, gx, hx = first_order_model(rng, n, nx)
    fxx = random_hessian(rng, n)
    g_ref, h_ref, M = unreduced_solve(a, b, fxx, gx, hx, nx)
    st, gxx, hxx = call_second_order(lib, a, b, fxx, gx, hx, n, nx)
    assert st == 0
    tol = 1e-12 * np.linalg.cond(M) * max(1.0, np.abs(h_ref).max(), np.abs(g_ref).max(initial=0))
    np.testing.assert_allclose(gxx, g_ref, rtol=0, atol=tol)
    np.testing.assert_allclose(hxx, h_ref, rtol=0, atol=tol)
    # Both halves are copies of one distinct unknown: exact symmetry.
    assert np.array_equal(gxx, gxx.transpose(0, 2, 1))
    assert np.array_equal(hxx, hxx.transpose(0, 2, 1))


@pytest.mark.parametrize("n,nx", SIZES)
@pytest.mark.parametrize("ne", [0, 1, 3])
def test_risk_terms_against_direct_solve(lib, rng, n, nx, ne):
    a, b, gx, hx = first_order_model(rng, n, nx)
    fxx = random_hessian(rng, n)
    eta = rng.standard_normal((nx, ne))
    g_ref, _, _ = unreduced_solve(a, b, fxx, gx, hx, nx)
    st, gxx, hxx = call_second_order(lib, a, b, fxx, gx, hx, n, nx)
    assert st == 0
    st, gss, hss = call_risk(lib, a, b, fxx, gx, gxx, eta, n, nx)
    assert st == 0
    gss_ref, hss_ref = risk_reference(a, b, fxx, gx, gxx, eta, nx)
    scale = max(1.0, np.abs(gss_ref).max(initial=0), np.abs(hss_ref).max(initial=0))
    np.testing.assert_allclose(gss, gss_ref, rtol=0, atol=1e-9 * scale)
    np.testing.assert_allclose(hss, hss_ref, rtol=0, atol=1e-9 * scale)
    if ne == 0:
        assert np.all(gss == 0) and np.all(hss == 0)
    else:
        assert np.abs(np.concatenate([gss, hss])).max() > 1e-6  # the risk terms matter


@pytest.mark.parametrize("n,nx", [(2, 1), (4, 2), (5, 3)])
def test_linear_model_has_no_second_order_terms(lib, rng, n, nx):
    a, b, gx, hx = first_order_model(rng, n, nx)
    fxx = np.zeros((n, 2 * n, 2 * n))
    st, gxx, hxx = call_second_order(lib, a, b, fxx, gx, hx, n, nx)
    assert st == 0 and np.all(gxx == 0) and np.all(hxx == 0)
    st, gss, hss = call_risk(lib, a, b, fxx, gx, gxx, rng.standard_normal((nx, 2)), n, nx)
    assert st == 0 and np.all(gss == 0) and np.all(hss == 0)


def test_failures(lib):
    # nx = 0: empty reduced system.
    gxx = np.full(4, np.nan)
    hxx = np.full(1, np.nan)
    a = np.eye(2)
    z = np.zeros((2, 4, 4))
    assert lib.trova_second_order(tc.ptr(a), tc.ptr(a), tc.ptr(z), tc.ptr(a), tc.ptr(a), 2, 0,
                                  tc.ptr(gxx), tc.ptr(hxx)) == -1
    # a = 0 with one state and no controls: the coefficient C = 0 is singular,
    # and nothing is written.
    zero = np.zeros((1, 1))
    f = np.ones((1, 2, 2))
    st, _, hxx = call_second_order(lib, zero, zero, f, np.zeros((0, 1)), np.array([[0.5]]), 1, 1)
    assert st == -2 and np.isnan(hxx).all()
    st, _, hss = call_risk(lib, zero, zero, f, np.zeros((0, 1)), np.zeros((0, 1, 1)),
                           np.ones((1, 1)), 1, 1)
    assert st == -2 and np.isnan(hss).all()


@pytest.mark.parametrize("n,nx,zero_eq", [(12, 5, 11), (12, 5, 0), (4, 2, 3)])
def test_equation_without_coefficients_is_singular(lib, rng, n, nx, zero_eq):
    # An equation with zero Jacobian rows gives T all-zero rows of the
    # reduced matrix; in the (12, 5) cases they sit in the second panel of
    # the factorisation or are pivoted there. Nothing is written.
    a, b, gx, hx = first_order_model(rng, n, nx)
    a[zero_eq] = 0.0
    b[zero_eq] = 0.0
    st, gxx, hxx = call_second_order(lib, a, b, random_hessian(rng, n), gx, hx, n, nx)
    assert st == -2
    assert np.isnan(gxx).all() and np.isnan(hxx).all()
