"""The LU family across shapes and scales, real and complex, against SciPy.

One parametrised test draws matrices of order 1 to 40 with 0, 1 or more
right-hand sides than rows, at unit scale and scaled towards the ends of the
double range (1e-170, 1e-300, 1e150, 1e160), well conditioned, nearly
singular, or exactly singular at a chosen step. Every entry point runs on
each case: the in-place factor, the owned factor with its solve, the one-call
solve and the inverse. Outputs sit between guard cells.
"""
import ctypes
import itertools
import warnings

import numpy as np
import pytest
import scipy.linalg

import trova_ctypes as tc

EPS = np.finfo(float).eps
PAD = 4
GUARD = -7.25e11  # a value no case produces


def padded(shape, dtype, fill):
    """An array of `shape` with PAD guard cells each side; returns (raw, inner)."""
    size = int(np.prod(shape))
    raw = np.full(size + 2 * PAD, GUARD, dtype=dtype)
    inner = raw[PAD:PAD + size].reshape(shape)
    inner[...] = fill
    return raw, inner


def guards_intact(raw):
    return bool((raw[:PAD] == GUARD).all() and (raw[-PAD:] == GUARD).all())


def make_matrix(rng, kind, n, structure, column):
    A = rng.standard_normal((n, n))
    if kind == "complex":
        A = A + 1j * rng.standard_normal((n, n))
    if structure == "near_singular" and n > 1:
        # Singular values from 1 down to 1e-12: condition number 1e12.
        U, _, Vh = np.linalg.svd(A)
        A = (U * np.logspace(0, -12, n)) @ Vh
    elif structure == "singular":
        # An all-zero column stays zero through every earlier elimination
        # step, so the factorisation meets an exactly zero pivot at `column`.
        A[:, column] = 0.0
    return A


def modulus_pivoting(A):
    """Partial pivoting by modulus, the first largest candidate winning."""
    A = A.copy()
    n = len(A)
    piv = np.arange(n)
    with np.errstate(divide="ignore", invalid="ignore"):  # singular cases divide by 0
        for k in range(n - 1):
            r = k + int(np.argmax(np.abs(A[k:, k])))
            piv[k] = r
            A[[k, r]] = A[[r, k]]
            A[k + 1:, k] /= A[k, k]
            A[k + 1:, k + 1:] -= np.outer(A[k + 1:, k], A[k, k + 1:])
    return A, piv


def scipy_factor(A):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return scipy.linalg.lu_factor(A, check_finite=False)


def max_rel(got, want):
    return np.max(np.abs(got - want)) / np.max(np.abs(want))


def backward_error(A, X, B):
    """|AX - B| / (|A| |X| + |B|), the normwise backward error of a solve."""
    r = np.max(np.abs(A @ X - B))
    return r / (np.max(np.abs(A)) * np.max(np.abs(X)) * A.shape[0] + np.max(np.abs(B)))


# (kind, n, m, scale, structure, singular column)
def cases():
    out = []
    for kind, n in itertools.product(("real", "complex"), (1, 2, 3, 5, 8, 17, 40)):
        for i, scale in enumerate((1.0, 1e-170, 1e150, 1e-300, 1e160)):
            m = (0, 1, n + 3, 2, 1)[i]
            out.append((kind, n, m, scale, "random", None))
        if n > 1:
            out.append((kind, n, n + 2, 1.0, "near_singular", None))
            out.append((kind, n, 1, 1e-170, "near_singular", None))
        for column in sorted({0, n // 2, n - 1}):
            out.append((kind, n, 2, (1.0, 1e-170, 1e150)[column % 3], "singular", column))
    return out


def _id(c):
    kind, n, m, scale, structure, column = c
    return f"{kind}-n{n}-m{m}-{scale:g}-{structure}" + ("" if column is None else f"@{column}")


@pytest.mark.parametrize("case", cases(), ids=_id)
def test_lu_sweep(lib, rng, case):
    kind, n, m, scale, structure, column = case
    complex_ = kind == "complex"
    dtype = complex if complex_ else float
    p = tc.cptr if complex_ else tc.ptr
    factor_inplace = lib.c128_lu_factor_inplace if complex_ else lib.trova_lu_factor_inplace
    factor, free = (lib.c128_lu_factor, lib.c128_lu_free) if complex_ else (lib.trova_lu_factor, lib.trova_lu_free)
    lu_solve = lib.c128_lu_solve if complex_ else lib.trova_lu_solve
    solve, inv = (lib.c128_solve, lib.c128_inv) if complex_ else (lib.trova_solve, lib.trova_inv)

    A1 = make_matrix(rng, kind, n, structure, column)  # the unit-scale matrix
    A = A1 * scale
    B = rng.standard_normal((n, m)) * scale
    if complex_:
        B = B + 1j * rng.standard_normal((n, m)) * scale

    # In place.
    LU_raw, LU = padded((n, n), dtype, 0)
    LU[...] = A
    piv_raw, piv = padded((n,), np.int64, -9)
    piv_raw[:PAD] = piv_raw[-PAD:] = 123456789
    status = factor_inplace(p(LU), tc.ptr(piv), n)
    assert guards_intact(LU_raw) and (piv_raw[:PAD] == 123456789).all() and (piv_raw[-PAD:] == 123456789).all()

    # The one-call solve and the inverse, with outputs that must stay
    # untouched when the matrix is singular.
    X_raw, X = padded((n, m), dtype, 3.5)
    Ainv_raw, Ainv = padded((n, n), dtype, 3.5)
    st_solve = solve(p(A), p(B), n, m, p(X))
    st_inv = inv(p(A), n, p(Ainv))
    assert guards_intact(X_raw) and guards_intact(Ainv_raw)

    if structure == "singular":
        assert status == st_solve == st_inv == -2
        assert (X == 3.5).all() and (Ainv == 3.5).all()
        # Steps before the zero column pivot as LAPACK would (real) or by
        # modulus (complex), the zero column's own pivot stays on the diagonal,
        # and later pivots are never written.
        if kind == "real":
            _, piv_ref = scipy_factor(A)
        else:
            _, piv_ref = modulus_pivoting(A)
        np.testing.assert_array_equal(piv[:column], piv_ref[:column])
        assert piv[column] == column
        assert (piv[column + 1:] == -9).all()
        rec = factor(p(A), n)
        assert rec.err == -2 and bool(rec.lu)
        free(ctypes.byref(rec))
        return

    assert status == 0 and st_solve == 0 and st_inv == 0
    # Pivots: LAPACK's for real matrices; for complex ones the modulus rule
    # (LAPACK's |re| + |im| may choose otherwise), which must not depend on
    # the scale: the unit-scale copy pivots the same way.
    if kind == "real":
        lu_ref, piv_ref = scipy_factor(A)
        lu_ref = np.tril(lu_ref, -1) + np.triu(lu_ref) / scale
    else:
        lu_ref, piv_ref = modulus_pivoting(A1)
    np.testing.assert_array_equal(piv, piv_ref)
    # L is scale-free and U carries the scale. Elementwise agreement holds
    # for well-conditioned matrices; near-singular ones are held to P A = L U.
    big = max(1.0, np.max(np.abs(lu_ref))) * (np.linalg.cond(A1) if structure == "near_singular" else 1.0)
    assert np.max(np.abs(np.tril(LU, -1) - np.tril(lu_ref, -1))) < 64 * n * EPS * big
    assert max_rel(np.triu(LU) / scale, np.triu(lu_ref)) < 64 * n * EPS * big
    assert piv[n - 1] == n - 1
    # P A = L U to rounding, whatever the conditioning.
    L = np.tril(LU, -1) + np.eye(n)
    PA = A.copy()
    for k, r in enumerate(piv):
        PA[[k, r]] = PA[[r, k]]
    assert np.max(np.abs(L @ np.triu(LU) - PA)) <= 16 * n * EPS * np.max(np.abs(A))

    # The owned factor and its solve agree with the in-place one exactly.
    rec = factor(p(A), n)
    assert rec.err == 0 and rec.n == n
    np.testing.assert_array_equal(np.ctypeslib.as_array(rec.piv, (n,)), piv)
    X2_raw, X2 = padded((n, m), dtype, 3.5)
    lu_solve(rec.lu, rec.piv, p(B), p(X2), n, m)
    free(ctypes.byref(rec))
    assert not rec.lu and rec.n == 0
    assert guards_intact(X2_raw)
    np.testing.assert_array_equal(X2, X)

    cond = np.linalg.cond(A1)
    Ainv_ref = scipy.linalg.inv(A)
    if m == 0:
        assert X.size == 0
    else:
        X_ref = scipy.linalg.solve(A, B)
        assert backward_error(A, X, B) < 8 * n * EPS
        assert max_rel(X, X_ref) < 8 * n * cond * EPS
    assert backward_error(A, Ainv, np.eye(n)) < 8 * n * EPS
    assert max_rel(Ainv, Ainv_ref) < 8 * n * cond * EPS
