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


def call_second_order(lib, a, b, fxx, gx, hx, n, nx, dense=False):
    ny = n - nx
    gxx = np.full((max(ny, 1), nx, nx), np.nan)
    hxx = np.full((nx, nx, nx), np.nan)
    gx_c = np.ascontiguousarray(gx if gx.size else np.zeros((1, nx)))
    fn = lib.trova_second_order_dense if dense else lib.trova_second_order
    st = fn(tc.ptr(np.ascontiguousarray(a)), tc.ptr(np.ascontiguousarray(b)),
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
    tol = 1e-12 * np.linalg.cond(M) * max(1.0, np.abs(h_ref).max(), np.abs(g_ref).max(initial=0))
    for dense in (False, True):
        st, gxx, hxx = call_second_order(lib, a, b, fxx, gx, hx, n, nx, dense)
        assert st == 0
        np.testing.assert_allclose(gxx, g_ref, rtol=0, atol=tol)
        np.testing.assert_allclose(hxx, h_ref, rtol=0, atol=tol)
        # Both halves come from one value: exact symmetry.
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
    fxx = random_hessian(rng, n)
    for dense in (False, True):
        st, gxx, hxx = call_second_order(lib, a, b, fxx, gx, hx, n, nx, dense)
        assert st == -2
        assert np.isnan(gxx).all() and np.isnan(hxx).all()


# --- The structured solve against the dense reference path -----------------
#
# trova_second_order reduces the pencil ([fy, C], [fy', 0]) and hx to
# triangular forms; trova_second_order_dense factors the square system over
# the distinct unknowns. Both must give the same gxx and hxx.


def transition(rng, nx, kind):
    """A state transition of spectral radius below one: 'complex' (random,
    complex pairs of eigenvalues), 'jordan' (one repeated eigenvalue, not
    diagonalisable), 'zero' (every eigenvalue 0) or 'scaled' (eigenvalues
    spread over decades)."""
    m = rng.standard_normal((nx, nx)) + 3 * np.eye(nx)
    if kind == "complex":
        d = np.diag(rng.uniform(-0.9, 0.9, nx))
        for k in range(0, nx - 1, 2):
            r, t = rng.uniform(0.3, 0.9), rng.uniform(0.2, 3.0)
            d[k:k + 2, k:k + 2] = r * np.array([[np.cos(t), -np.sin(t)], [np.sin(t), np.cos(t)]])
        return m @ d @ np.linalg.inv(m)
    if kind == "jordan":
        return 0.6 * np.eye(nx) + 0.4 * np.eye(nx, k=1)
    if kind == "zero":
        return np.zeros((nx, nx))
    lam = 0.9 * 10.0 ** -rng.uniform(0, 4, nx) * rng.choice([-1, 1], nx)
    return m @ np.diag(lam) @ np.linalg.inv(m)


def pencil_model(rng, n, nx, kind, static_control=False):
    """Jacobians, policy, transition and Hessian for which the second-order
    system is well posed (it does not need a consistent first order). With
    static_control the first control has no current-period coefficient, so
    A = [fy, C] is singular and only the pencil is regular."""
    a = 0.3 * rng.standard_normal((n, n)) + 2 * np.eye(n)
    b = 0.3 * rng.standard_normal((n, n)) + 2 * np.eye(n)
    if static_control:
        b[:, nx] = 0.0
    gx = 0.5 * rng.standard_normal((n - nx, nx))
    return a, b, gx, transition(rng, nx, kind), random_hessian(rng, n)


def sylvester_residual(a, b, fxx, gx, hx, gxx, hxx):
    """Largest residual of A Z + B Z (hx (x) hx) + S over every (i, j, k),
    relative to the largest term, with Z K applied as hx' Z_l hx."""
    n, nx = a.shape[0], hx.shape[0]
    fyp, fy = a[:, nx:], -b[:, nx:]
    A = np.hstack([fy, a[:, :nx] + fyp @ gx])
    B = np.hstack([fyp, np.zeros((n, nx))])
    Z = np.concatenate([gxx, hxx])
    V = np.vstack([hx, gx @ hx, np.eye(nx), gx])
    S = np.swapaxes(fxx @ V, 1, 2) @ V
    S = np.tril(S) + np.swapaxes(np.tril(S, -1), 1, 2)  # the equations j >= k
    t1 = np.einsum("il,ljk->ijk", A, Z)
    t2 = np.einsum("il,ljk->ijk", B, hx.T @ Z @ hx)
    scale = max(np.abs(t1).max(), np.abs(t2).max(), np.abs(S).max())
    return np.abs(t1 + t2 + S).max() / scale


def assert_same(got, ref, rel=1e-10):
    scale = max(np.abs(ref).max(initial=0), 1e-300)
    assert np.abs(got - ref).max(initial=0) <= rel * scale


STRUCTURED = [
    # (n, nx, transition, static control). With one or two states and small
    # systems trova_second_order itself takes the dense path (the C++ tests
    # call the structured one there directly).
    (1, 1, "complex", False),   # one state, nothing else
    (9, 1, "complex", False),   # one state, many controls
    (40, 3, "complex", False),  # three states, many controls
    (6, 3, "complex", False),
    (8, 5, "complex", True),    # singular A: the pencil path must go on
    (12, 5, "jordan", False),   # a defective transition
    (7, 3, "zero", False),      # hx = 0: every shifted matrix is A itself
    (10, 4, "scaled", True),
    (5, 5, "complex", False),   # no controls: B = 0
    (16, 7, "complex", False),
    (24, 9, "complex", True),
]


@pytest.mark.parametrize("n,nx,kind,static", STRUCTURED)
def test_structured_equals_dense(lib, rng, n, nx, kind, static):
    a, b, gx, hx, fxx = pencil_model(rng, n, nx, kind, static)
    if kind == "complex" and nx > 1:
        assert np.abs(np.linalg.eigvals(hx).imag).max() > 1e-3  # complex pairs present
    if static:
        A = np.hstack([-b[:, nx:], a[:, :nx] + a[:, nx:] @ gx])
        assert np.linalg.matrix_rank(A) < n
    st, gxx, hxx = call_second_order(lib, a, b, fxx, gx, hx, n, nx)
    assert st == 0
    std, gd, hd = call_second_order(lib, a, b, fxx, gx, hx, n, nx, dense=True)
    assert std == 0
    assert_same(np.concatenate([gxx, hxx]), np.concatenate([gd, hd]))
    assert np.array_equal(hxx, hxx.transpose(0, 2, 1))
    assert sylvester_residual(a, b, fxx, gx, hx, gxx, hxx) < 1e-11
    if n <= 12:
        g_ref, h_ref, _ = unreduced_solve(a, b, fxx, gx, hx, nx)
        assert_same(np.concatenate([gxx, hxx]), np.concatenate([g_ref, h_ref]))
    # Equations in units 1e-6 to 1e6 apart have the same solution: the
    # structured path balances them before it reduces the pencil.
    row = 10.0 ** rng.uniform(-6, 6, n)
    st, gs, hs = call_second_order(lib, a * row[:, None], b * row[:, None],
                                   fxx * row[:, None, None], gx, hx, n, nx)
    assert st == 0
    assert_same(np.concatenate([gs, hs]), np.concatenate([gd, hd]), 1e-9)


@pytest.mark.parametrize("n,nx,ne", [(100, 50, 60), (40, 20, 30)])
def test_structured_solves_large_systems(lib, rng, n, nx, ne):
    # Beyond the dense path's reach at (100, 50) (R = 127500 unknowns): the
    # solution satisfies every unreduced equation, and the risk terms (more
    # shocks than states) follow from it as the reference gives them.
    a, b, gx, hx = first_order_model(rng, n, nx)
    fxx = random_hessian(rng, n)
    st, gxx, hxx = call_second_order(lib, a, b, fxx, gx, hx, n, nx)
    assert st == 0
    assert sylvester_residual(a, b, fxx, gx, hx, gxx, hxx) < 1e-11
    assert np.abs(hxx).max() > 1e-3
    eta = rng.standard_normal((nx, ne))
    st, gss, hss = call_risk(lib, a, b, fxx, gx, gxx, eta, n, nx)
    assert st == 0
    gss_ref, hss_ref = risk_reference(a, b, fxx, gx, gxx, eta, nx)
    assert_same(np.concatenate([gss, hss]), np.concatenate([gss_ref, hss_ref]), 1e-9)


def test_structured_singular_and_non_finite(lib, rng):
    n, nx = 8, 3
    a, b, gx, hx, fxx = pencil_model(rng, n, nx, "complex")
    # A control in no equation: an exactly singular system.
    a2, b2 = a.copy(), b.copy()
    a2[:, nx + 1] = 0.0
    b2[:, nx + 1] = 0.0
    for dense in (False, True):
        st, gxx, hxx = call_second_order(lib, a2, b2, fxx, gx, hx, n, nx, dense)
        assert st == -2 and np.isnan(gxx).all() and np.isnan(hxx).all()
    # A pencil singular at one product of eigenvalues: equation 1 has
    # A(1) + 0.25 B(1) = 0 (fy(1) = -0.25 fy'(1), C(1) = 0) and hx has the
    # eigenvalue 0.5, so the pair (0.5, 0.5) meets a singular shifted matrix.
    hx2 = np.diag([0.5, 0.3, -0.2])
    a3, b3 = a.copy(), b.copy()
    b3[1, nx:] = 0.25 * a3[1, nx:]
    a3[1, :nx] = -a3[1, nx:] @ gx
    st, gxx, hxx = call_second_order(lib, a3, b3, fxx, gx, hx2, n, nx)
    assert st == -2 and np.isnan(gxx).all() and np.isnan(hxx).all()
    # A NaN transition: the Schur iteration cannot converge and the dense
    # path takes over; both give the same status and NaN terms.
    hx4 = hx.copy()
    hx4[0, 1] = np.nan
    st, gxx, hxx = call_second_order(lib, a, b, fxx, gx, hx4, n, nx)
    std, gd, hd = call_second_order(lib, a, b, fxx, gx, hx4, n, nx, dense=True)
    assert st == std == 0
    assert np.isnan(gxx).any() and np.isnan(hxx).any()
    # A NaN coefficient or Hessian entry spreads to every term on both
    # paths, as it does through an LU factorisation; no status changes.
    for arr in (a, fxx):
        arr.flat[4] = np.nan
        for dense in (False, True):
            st, gxx, hxx = call_second_order(lib, a, b, fxx, gx, hx, n, nx, dense)
            assert st == 0 and np.isnan(gxx).all() and np.isnan(hxx).all()
        arr.flat[4] = 0.5
