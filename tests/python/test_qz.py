"""QZ solution against SciPy's ordqz and analytic stable manifolds.

klein_qz gets Debian's LAPACK zgges_ through ctypes (the library links no
LAPACK). Pencils are random or built from a known eigen-decomposition
a M = G, b M = G Lambda, whose stable manifold gives F = M2 M1^-1 and
P = M1 Lambda_s M1^-1 independently of any Schur form.
"""

import numpy as np
import pytest
import scipy.linalg

import trova_ctypes as tc
from references import assert_same_set


@pytest.fixture(scope="module")
def zgges():
    return tc.lapack_zgges()


def bk_code(n_stable, n_s):
    return 0 if n_stable == n_s else (-1 if n_stable < n_s else 1)


@pytest.mark.parametrize("n,n_s", [(2, 1), (3, 2), (4, 1), (5, 3), (6, 6), (8, 4), (12, 5)])
def test_random_pencil_against_ordqz(lib, zgges, rng, n, n_s):
    a = rng.standard_normal((n, n))
    b = rng.standard_normal((n, n))
    st, stab, eig, f, p, s, t, z = tc.klein_solve(lib, zgges, a, b, n_s)
    assert st == 0
    aa, bb, alpha, beta, q, zz = scipy.linalg.ordqz(a, b, sort="ouc", output="complex")
    sel = np.abs(alpha) > np.abs(beta)
    n_sel = int(sel.sum())
    # The same generalised eigenvalues beta/alpha, the selected ones first.
    ref = beta / alpha
    assert_same_set(eig, ref)
    assert np.all(np.abs(eig[:n_sel]) < 1) and np.all(np.abs(eig[n_sel:]) >= 1)
    assert stab == bk_code(n_sel, n_s)
    # Upper-triangular S and T, unitary Z, and the same deflating subspace.
    assert np.allclose(np.tril(s, -1), 0, atol=1e-12) and np.allclose(np.tril(t, -1), 0, atol=1e-12)
    np.testing.assert_allclose(z.conj().T @ z, np.eye(n), atol=1e-12)
    if 0 < n_sel < n:
        proj = zz[:, :n_sel] @ zz[:, :n_sel].conj().T
        np.testing.assert_allclose(proj @ z[:, :n_sel], z[:, :n_sel], atol=1e-9)
    # a Z = Q S and b Z = Q T with the same unitary Q: Q = a Z S^-1.
    qs = np.linalg.solve(s.T, (a @ z).T).T
    np.testing.assert_allclose(qs.conj().T @ qs, np.eye(n), atol=1e-8)
    np.testing.assert_allclose(qs @ t, b @ z, atol=1e-9)


def manifold_model(rng, n, n_s, lam):
    m = rng.standard_normal((n, n)) + 2 * np.eye(n)
    g = rng.standard_normal((n, n)) + 2 * np.eye(n)
    minv = np.linalg.inv(m)
    a = g @ minv
    b = g @ np.diag(lam) @ minv
    m1, m2 = m[:n_s, :n_s], m[n_s:, :n_s]
    f = m2 @ np.linalg.inv(m1)
    p = m1 @ np.diag(lam[:n_s]) @ np.linalg.inv(m1)
    return a, b, f, p


@pytest.mark.parametrize("n,n_s", [(2, 1), (3, 2), (5, 2), (6, 3), (9, 4)])
@pytest.mark.parametrize("kind", ["determinate", "indeterminate", "explosive"])
def test_known_manifold(lib, zgges, rng, n, n_s, kind):
    stable = rng.uniform(0.1, 0.95, n) * rng.choice([-1, 1], n)
    unstable = rng.uniform(1.1, 3.0, n) * rng.choice([-1, 1], n)
    n_stable = {"determinate": n_s, "indeterminate": n_s + 1, "explosive": n_s - 1}[kind]
    if n_stable > n:
        pytest.skip("no room for an extra stable root")
    lam = np.concatenate([stable[:n_stable], unstable[: n - n_stable]])
    a, b, f_ref, p_ref = manifold_model(rng, n, n_s, lam)
    st, stab, eig, f, p, *_ = tc.klein_solve(lib, zgges, a, b, n_s)
    assert st == 0
    assert stab == bk_code(n_stable, n_s)
    np.testing.assert_allclose(np.sort(np.abs(eig)), np.sort(np.abs(lam)), rtol=1e-9)
    if kind == "determinate":
        np.testing.assert_allclose(f, f_ref, atol=1e-9)
        np.testing.assert_allclose(p, p_ref, atol=1e-9)
        # The solution satisfies a [I; F] P = b [I; F].
        w = np.vstack([np.eye(n_s), f])
        np.testing.assert_allclose(a @ w @ p, b @ w, atol=1e-9)
        # State space: w(t) = A w(t-1) + B eps(t).
        n_exog = max(1, n_s - 1)
        A = np.full((n, n), np.nan)
        B = np.full((n, n_exog), np.nan)
        f_c = np.ascontiguousarray(f if f.size else np.zeros((1, n_s)), dtype=np.complex128)
        lib.trova_assemble_state_space(tc.cptr(np.ascontiguousarray(p)), tc.cptr(f_c), n_s,
                                       n - n_s, n_exog, tc.ptr(A), tc.ptr(B))
        A_ref = np.zeros((n, n))
        A_ref[:n_s, :n_s] = p_ref
        A_ref[n_s:, :n_s] = f_ref @ p_ref
        B_ref = np.zeros((n, n_exog))
        B_ref[:n_exog, :] = np.eye(n_exog)
        B_ref[n_s:, :] = f_ref[:, :n_exog]
        np.testing.assert_allclose(A, A_ref, atol=1e-9)
        np.testing.assert_allclose(B, B_ref, atol=1e-9)


def test_complex_roots(lib, zgges):
    # A rotation-scaling block: a stable complex pair, and one unstable root.
    r, th = 0.8, 0.6
    b = np.array([[r * np.cos(th), -r * np.sin(th), 0.0],
                  [r * np.sin(th), r * np.cos(th), 0.0],
                  [0.3, 0.1, 1.7]])
    st, stab, eig, f, p, *_ = tc.klein_solve(lib, zgges, np.eye(3), b, 2)
    assert (st, stab) == (0, 0)
    np.testing.assert_allclose(eig[:2][np.argsort(eig[:2].imag)],
                               r * np.exp([-1j * th, 1j * th]), atol=1e-13)
    np.testing.assert_allclose(eig[2], 1.7, atol=1e-13)
    np.testing.assert_allclose(p, b[:2, :2], atol=1e-13)
    # The control row x3(t+1) = 0.3 x1 + 0.1 x2 + 1.7 x3 with u = F k gives
    # F P = [0.3, 0.1] + 1.7 F, so F = [0.3, 0.1] (P - 1.7 I)^-1.
    f_ref = np.array([0.3, 0.1]) @ np.linalg.inv(b[:2, :2] - 1.7 * np.eye(2))
    np.testing.assert_allclose(f, f_ref[None, :], atol=1e-12)
