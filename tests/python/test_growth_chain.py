"""The stochastic growth model with log utility and full depreciation solved
through the whole model-solution chain: Newton steady state, complex-step
linearisation in levels, QZ (Debian LAPACK's zgges_) with the post-processing,
state-space assembly, bicomplex Hessian and the second-order terms with their
risk corrections. Every stage is checked against the model's exact policy.

Variables (states first): k capital, z log productivity, c consumption; the
innovation of z has unit loading, z' = rho z + sigma eps'. The exact policy is

    k' = h1(k, z) = alpha beta e^z k^alpha,   z' = h2(k, z) = rho z,
    c  = g(k, z)  = (1 - alpha beta) e^z k^alpha,

and it holds for every sigma: with it alpha beta e^{z'} k'^(alpha-1) / c'
= alpha beta / ((1 - alpha beta) k') = 1 / c, known at t whatever z' turns
out to be, so the Euler equation holds state by state and the expectation
over z' changes nothing. The policy has no sigma term in levels, and the
risk corrections gss and hss (second derivatives of g and h with respect to
sigma) are exactly zero.

Derivatives by hand at the steady state z = 0, kbar = (alpha beta)^(1/(1-alpha)),
cbar = (1 - alpha beta) kbar^alpha, using alpha beta kbar^alpha = kbar:

    dh1/dk = alpha^2 beta kbar^(alpha-1) = alpha          dh1/dz = kbar
    d2h1/dk2 = alpha (alpha-1) kbar / kbar^2 = alpha (alpha-1) / kbar
    d2h1/dkdz = alpha                                      d2h1/dz2 = kbar
    dh2/dk = 0, dh2/dz = rho, every second derivative of h2 is 0
    dg/dk = alpha cbar / kbar                              dg/dz = cbar
    d2g/dk2 = alpha (alpha-1) cbar / kbar^2
    d2g/dkdz = alpha cbar / kbar                           d2g/dz2 = cbar

The linearised pencil has the stable roots alpha (capital) and rho
(technology) and one unstable root: the product of the three generalised
eigenvalues is det(b) / det(a) = rho / beta, so it is 1 / (alpha beta).

Entries that are exactly zero in the reference are compared with an absolute
tolerance of 1e-8 times the largest entry of the same object (a relative
error has no meaning there); all other entries to 1e-8 relative.
"""
import ctypes
import os

import numpy as np
import pytest

import trova_ctypes as tc

RTOL = 1e-8


@pytest.fixture(scope="module")
def models():
    so = ctypes.CDLL(os.environ["TROVA_TEST_MODELS"])
    return (ctypes.cast(so.growth_residual_c128, tc.trova_residual_fn),
            ctypes.cast(so.growth_residual_bc256, tc.bc_residual_fn))


@pytest.fixture(scope="module")
def zgges():
    return tc.lapack_zgges()


def check(got, want, scale=None):
    """got equals want to RTOL relative; exact zeros of want to RTOL times
    the scale of the object (its largest reference entry by default)."""
    got, want = np.asarray(got), np.asarray(want)
    if scale is None:
        scale = np.abs(want).max()
    assert got.shape == want.shape
    assert np.all(np.isfinite(got))
    tol = np.where(want == 0.0, RTOL * scale, RTOL * np.abs(want))
    err = np.abs(got - want)
    assert np.all(err <= tol), f"largest error {err.max():.3e}\ngot\n{got}\nwant\n{want}"


def exact_policy(alpha, beta, rho):
    """Steady state and the hand-derived Jacobians and Hessians of the policy
    with respect to the states (k, z), in levels."""
    k = (alpha * beta) ** (1.0 / (1.0 - alpha))
    c = (1.0 - alpha * beta) * k ** alpha
    ss = np.array([k, 0.0, c])
    hx = np.array([[alpha, k],
                   [0.0, rho]])
    gx = np.array([[alpha * c / k, c]])
    hxx = np.zeros((2, 2, 2))
    hxx[0] = [[alpha * (alpha - 1.0) / k, alpha],
              [alpha, k]]
    gxx = np.zeros((1, 2, 2))
    gxx[0] = [[alpha * (alpha - 1.0) * c / k ** 2, alpha * c / k],
              [alpha * c / k, c]]
    return ss, hx, gx, hxx, gxx


CALIBRATIONS = [(0.36, 0.99, 0.95), (0.25, 0.95, 0.5), (0.6, 0.9, 0.0), (0.3, 0.96, -0.4)]


@pytest.mark.parametrize("alpha, beta, rho", CALIBRATIONS)
@pytest.mark.parametrize("step", [1e-30, 1e-10])
def test_growth_model_chain_reproduces_exact_policy(lib, models, zgges, alpha, beta, rho, step):
    resid, resid_bc = models
    par = np.array([alpha, beta, rho])
    ss_ref, hx_ref, gx_ref, hxx_ref, gxx_ref = exact_policy(alpha, beta, rho)
    n, nx = 3, 2

    # Steady state by Newton from a seed away from it.
    seed = np.array([1.3 * ss_ref[0], 0.05, 0.8 * ss_ref[2]])
    ss, iters = np.full(n, np.nan), ctypes.c_int64(-1)
    assert lib.trova_steady_state_newton(resid, tc.ptr(seed), tc.ptr(par), n, 3, 100, 1e-14,
                                         tc.ptr(ss), ctypes.byref(iters)) == 0
    check(ss, ss_ref, scale=ss_ref[0])

    # Linearisation in levels at the computed steady state.
    a, b = np.full((n, n), np.nan), np.full((n, n), np.nan)
    assert lib.klein_preproc(resid, tc.ptr(ss), tc.ptr(par), n, 3, n, 0, tc.ptr(a), tc.ptr(b)) == 0

    # QZ and the post-processing: a unique stable solution whose policy is
    # the exact policy's Jacobian.
    st, stab, eig, f, p, *_ = tc.klein_solve(lib, zgges, a, b, nx)
    assert st == 0 and stab == 0
    # Stable roots first; compare as sets within each block.
    eig_scale = 1.0 / (alpha * beta)
    check(np.abs(eig[:nx].imag), np.zeros(nx), scale=eig_scale)
    check(np.sort(eig[:nx].real), np.sort([alpha, rho]), scale=eig_scale)
    check(np.abs(eig[nx:]), [1.0 / (alpha * beta)])
    check(np.abs(f.imag), np.zeros_like(gx_ref), scale=np.abs(gx_ref).max())
    check(np.abs(p.imag), np.zeros_like(hx_ref), scale=np.abs(hx_ref).max())
    gx = np.ascontiguousarray(f.real)
    hx = np.ascontiguousarray(p.real)
    check(gx, gx_ref)
    check(hx, hx_ref)

    # State space w(t) = A w(t-1) + B eps(t) over w = (k, z, c). The
    # assembly loads the innovations on the first n_exog states, and z is the
    # second state here: with n_exog = 2, column 1 of B is the response to
    # the technology innovation.
    A, B = np.full((n, n), np.nan), np.full((n, 2), np.nan)
    f_c, p_c = np.ascontiguousarray(f), np.ascontiguousarray(p)
    lib.trova_assemble_state_space(tc.cptr(p_c), tc.cptr(f_c), nx, 1, 2, tc.ptr(A), tc.ptr(B))
    kbar, cbar = ss_ref[0], ss_ref[2]
    # c(t) = g(k(t), z(t)) with (k(t), z(t)) = hx (k(t-1), z(t-1)):
    # row gx hx = (alpha^2 cbar / kbar, alpha cbar + rho cbar).
    A_ref = np.array([[alpha, kbar, 0.0],
                      [0.0, rho, 0.0],
                      [alpha ** 2 * cbar / kbar, (alpha + rho) * cbar, 0.0]])
    B_ref = np.array([[1.0, 0.0],
                      [0.0, 1.0],
                      [alpha * cbar / kbar, cbar]])
    check(A, A_ref)
    check(B, B_ref)

    # Bicomplex Hessian of the residuals over (fwd; cur) at the steady state.
    H = np.full((n, 2 * n, 2 * n), np.nan)
    assert lib.trova_bicomplex_hessian(resid_bc, tc.ptr(ss), tc.ptr(par), n, 3, n, step,
                                       tc.ptr(H)) == 0

    # Second order: the policy's Hessians.
    gxx, hxx = np.full((1, nx, nx), np.nan), np.full((nx, nx, nx), np.nan)
    assert lib.trova_second_order(tc.ptr(a), tc.ptr(b), tc.ptr(H), tc.ptr(gx), tc.ptr(hx), n, nx,
                                  tc.ptr(gxx), tc.ptr(hxx)) == 0
    check(gxx, gxx_ref)
    check(hxx, hxx_ref)

    # Risk corrections for the technology innovation (unit loading on z):
    # zero, since the exact policy has no sigma term. Their size is judged
    # against the terms that cancel in the Euler equation: f_c' cbar from
    # gxx and the -g from the next-period Hessian block, both of size
    # g = alpha beta kbar^(alpha-1) / cbar = 1 / ((1 - alpha beta) kbar).
    eta = np.array([[0.0], [1.0]])
    gss, hss = np.full(1, np.nan), np.full(nx, np.nan)
    assert lib.trova_second_order_risk(tc.ptr(a), tc.ptr(b), tc.ptr(H), tc.ptr(gx), tc.ptr(gxx),
                                       tc.ptr(eta), n, nx, 1, tc.ptr(gss), tc.ptr(hss)) == 0
    g_euler = 1.0 / ((1.0 - alpha * beta) * kbar)
    check(gss, np.zeros(1), scale=max(cbar, g_euler))
    check(hss, np.zeros(nx), scale=max(kbar, g_euler))
