"""Real and complex LU with partial pivoting, solves and inverses against
SciPy, and the complex product against NumPy."""
import ctypes

import numpy as np
import pytest
import scipy.linalg

import trova_ctypes as tc

EPS = np.finfo(float).eps


def real_factor(lib, A):
    n = A.shape[0]
    LU, piv = np.ascontiguousarray(A, dtype=float).copy(), np.full(n, -9, dtype=np.int64)
    return lib.trova_lu_factor_inplace(tc.ptr(LU), tc.ptr(piv), n), LU, piv


def complex_factor(lib, A):
    n = A.shape[0]
    LU, piv = np.ascontiguousarray(A, dtype=complex).copy(), np.full(n, -9, dtype=np.int64)
    return lib.c128_lu_factor_inplace(tc.cptr(LU), tc.ptr(piv), n), LU, piv


def reference_lu(A, mag):
    """Partial pivoting written out: the first row with the largest mag wins."""
    A = A.copy()
    n = len(A)
    piv = np.arange(n)
    for k in range(n - 1):
        m = mag(A[k:, k])
        r = k + int(np.argmax(m))  # argmax returns the first maximum
        piv[k] = r
        A[[k, r]] = A[[r, k]]
        A[k + 1:, k] /= A[k, k]
        A[k + 1:, k + 1:] -= np.outer(A[k + 1:, k], A[k, k + 1:])
    return A, piv


def rel_err(got, want):
    return np.max(np.abs(got - want)) / max(np.max(np.abs(want)), 1e-300)


@pytest.mark.parametrize("n", [1, 2, 5, 16, 64, 100])
def test_real_factor_matches_lapack(lib, rng, n):
    A = rng.standard_normal((n, n))
    status, LU, piv = real_factor(lib, A)
    assert status == 0
    lu_ref, piv_ref = scipy.linalg.lu_factor(A)
    np.testing.assert_array_equal(piv, piv_ref)
    assert rel_err(LU, lu_ref) < 1e3 * n * EPS


@pytest.mark.parametrize("n", [1, 3, 8, 40])
def test_complex_factor_follows_the_modulus(lib, rng, n):
    A = rng.standard_normal((n, n)) + 1j * rng.standard_normal((n, n))
    status, LU, piv = complex_factor(lib, A)
    assert status == 0
    lu_ref, piv_ref = reference_lu(A, np.abs)
    np.testing.assert_array_equal(piv, piv_ref)
    assert rel_err(LU, lu_ref) < 1e3 * n * EPS
    # P A = L U whatever the pivot rule.
    L, U = np.tril(LU, -1) + np.eye(n), np.triu(LU)
    PA = A.copy()
    for k, r in enumerate(piv):
        PA[[k, r]] = PA[[r, k]]
    assert rel_err(L @ U, PA) < 1e3 * n * EPS


@pytest.mark.parametrize("kind", ["real", "complex"])
@pytest.mark.parametrize("n,m", [(1, 1), (4, 3), (30, 1), (80, 7)])
def test_solve_and_inverse_match_scipy(lib, rng, kind, n, m):
    A = rng.standard_normal((n, n))
    B = rng.standard_normal((n, m))
    if kind == "complex":
        A, B = A + 1j * rng.standard_normal((n, n)), B + 1j * rng.standard_normal((n, m))
    X, Ainv = np.full_like(B, np.nan), np.full_like(A, np.nan)
    if kind == "real":
        assert lib.trova_solve(tc.ptr(A), tc.ptr(B), n, m, tc.ptr(X)) == 0
        assert lib.trova_inv(tc.ptr(A), n, tc.ptr(Ainv)) == 0
    else:
        assert lib.c128_solve(tc.cptr(A), tc.cptr(B), n, m, tc.cptr(X)) == 0
        assert lib.c128_inv(tc.cptr(A), n, tc.cptr(Ainv)) == 0
    cond = np.linalg.cond(A)
    assert rel_err(X, scipy.linalg.solve(A, B)) < 100 * n * cond * EPS
    assert rel_err(Ainv, scipy.linalg.inv(A)) < 100 * n * cond * EPS


@pytest.mark.parametrize("n", [6, 9])
def test_ill_conditioned_hilbert_solves_to_backward_stability(lib, n):
    A = scipy.linalg.hilbert(n)
    x_true = np.ones(n)
    b = A @ x_true
    X = np.full(n, np.nan)
    assert lib.trova_solve(tc.ptr(A), tc.ptr(b), n, 1, tc.ptr(X)) == 0
    ref = scipy.linalg.solve(A, b)
    # Residuals at rounding level even though cond(A) is 1e7 to 1e11.
    assert np.max(np.abs(A @ X - b)) < 50 * n * EPS * np.max(np.abs(b))
    assert rel_err(X, x_true) < 10 * np.linalg.cond(A) * n * EPS
    assert rel_err(X, ref) < 10 * np.linalg.cond(A) * n * EPS


def test_small_exact_cases(lib):
    # A row swap at step 0, and the solve it gives.
    A = np.array([[0.0, 1.0], [1.0, 0.0]])
    status, _, piv = real_factor(lib, A)
    assert status == 0 and list(piv) == [1, 1]
    X = np.zeros((2, 1))
    assert lib.trova_solve(tc.ptr(A), tc.ptr(np.array([[2.0], [3.0]])), 2, 1, tc.ptr(X)) == 0
    np.testing.assert_array_equal(X, [[3.0], [2.0]])
    # Ties keep the row nearest the diagonal: no swap.
    status, _, piv = real_factor(lib, np.array([[2.0, 1.0], [-2.0, 3.0]]))
    assert status == 0 and list(piv) == [0, 1]
    # An all-zero first column stops at step 0 with its pivot written.
    status, _, piv = real_factor(lib, np.array([[0.0, 1.0, 2.0], [0.0, 3.0, 1.0], [0.0, 1.0, 1.0]]))
    assert status == -2 and piv[0] == 0 and piv[1] == -9
    assert real_factor(lib, np.zeros((1, 1)))[0] == -2
    inv = np.zeros((1, 1))
    assert lib.trova_inv(tc.ptr(np.array([[4.0]])), 1, tc.ptr(inv)) == 0 and inv[0, 0] == 0.25
    # A singular matrix leaves X untouched.
    X = np.full((2, 1), 7.0)
    assert lib.trova_solve(tc.ptr(np.ones((2, 2))), tc.ptr(np.ones((2, 1))), 2, 1, tc.ptr(X)) == -2
    assert (X == 7.0).all()
    # Invalid calls.
    assert lib.trova_lu_factor_inplace(None, tc.ptr(np.zeros(2, dtype=np.int64)), 2) == -1
    assert lib.trova_lu_factor_inplace(tc.ptr(np.eye(2)), None, 2) == -1
    assert lib.trova_lu_factor_inplace(tc.ptr(np.eye(2)), tc.ptr(np.zeros(2, dtype=np.int64)), 0) == -1
    assert lib.trova_solve(tc.ptr(np.eye(2)), tc.ptr(np.ones((2, 1))), 0, 1, tc.ptr(X)) == -1


def test_complex_edge_cases(lib):
    D = np.diag([2j, 2.0 + 0j])
    inv = np.zeros((2, 2), dtype=complex)
    assert lib.c128_inv(tc.cptr(D), 2, tc.cptr(inv)) == 0
    np.testing.assert_array_equal(inv, np.diag([-0.5j, 0.5]))
    # Smith's division keeps tiny and huge entries finite.
    A = np.array([[1e-150 + 1e-150j]])
    X = np.zeros((1, 1), dtype=complex)
    assert lib.c128_solve(tc.cptr(A), tc.cptr(np.array([[1e-150 + 0j]])), 1, 1, tc.cptr(X)) == 0
    np.testing.assert_allclose(X, [[0.5 - 0.5j]], rtol=1e-15)
    # A pivot is zero only when both components are: an entry whose squared
    # modulus underflows is a pivot like any other.
    status, LU, piv = complex_factor(lib, np.array([[1e-200 + 1e-200j]]))
    assert status == 0 and LU[0, 0] == 1e-200 + 1e-200j
    assert complex_factor(lib, np.array([[0j]]))[0] == -2
    inv = np.zeros((1, 1), dtype=complex)
    assert lib.c128_inv(tc.cptr(np.array([[1e-170 + 0j]])), 1, tc.cptr(inv)) == 0
    np.testing.assert_allclose(inv, [[1e170]], rtol=1e-15)


def test_owned_records_and_free(lib):
    A = np.array([[4.0, 3.0], [6.0, 3.0]])
    rec = lib.trova_lu_factor(tc.ptr(A), 2)
    assert rec.err == 0 and rec.n == 2 and [rec.piv[0], rec.piv[1]] == [1, 1]
    np.testing.assert_allclose([rec.lu[0], rec.lu[1], rec.lu[2], rec.lu[3]], [6.0, 3.0, 4.0 / 6.0, 1.0], rtol=1e-15)
    X = np.zeros((2, 1))
    lib.trova_lu_solve(rec.lu, rec.piv, tc.ptr(np.array([[1.0], [2.0]])), tc.ptr(X), 2, 1)
    np.testing.assert_allclose(A @ X, [[1.0], [2.0]], rtol=1e-14)
    lib.trova_lu_free(ctypes.byref(rec))
    assert not rec.lu and not rec.piv and rec.n == 0 and rec.err == 0
    lib.trova_lu_free(ctypes.byref(rec))  # a second free is harmless
    bad = lib.trova_lu_factor(None, 3)
    assert (bad.err, bad.n, bool(bad.lu)) == (-1, 3, False)
    lib.trova_lu_free(ctypes.byref(bad))
    lib.trova_lu_free(None)
    crec = lib.c128_lu_factor(tc.cptr(np.zeros((2, 2), dtype=complex)), 2)
    assert crec.err == -2 and bool(crec.lu)  # a singular factor still owns its arrays
    lib.c128_lu_free(ctypes.byref(crec))
    assert not crec.lu


@pytest.mark.parametrize("m,n,p", [(1, 1, 1), (3, 5, 2), (7, 0, 4), (16, 16, 16)])
def test_complex_product(lib, rng, m, n, p):
    A = rng.standard_normal((m, n)) + 1j * rng.standard_normal((m, n))
    B = rng.standard_normal((n, p)) + 1j * rng.standard_normal((n, p))
    out = np.full((m, p), np.nan + 0j)
    lib.c128_matmul(tc.cptr(A), tc.cptr(B), m, n, p, tc.cptr(out))
    np.testing.assert_allclose(out, A @ B, rtol=0, atol=4 * (n + 1) * EPS * max(1, np.max(np.abs(A) @ np.abs(B))))
    untouched = np.full((m, 1), 5.0 + 5j)
    lib.c128_matmul(tc.cptr(A), tc.cptr(B), m, n, 0, tc.cptr(untouched))
    assert (untouched == 5.0 + 5j).all()
