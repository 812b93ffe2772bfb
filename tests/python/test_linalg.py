"""The real dense kernels against NumPy and SciPy, through ctypes.

Products are checked element by element against the forward error bound of
a dot product, (k + 1) * eps * (|A| |B|), which covers both our rounding and
NumPy's. Factorisations and solves use well-conditioned matrices, so they
are compared to within 64 (n + 1) ulps of the largest expected entry.
"""

import numpy as np
import pytest
import scipy.linalg

import trova_ctypes as tc

EPS = np.finfo(np.float64).eps
SQUARE = [1, 3, 8, 17, 32, 65, 128]
# (rows, inner, cols): odd and non-square shapes that leave every kind of
# remainder in the row and column blocking and cross the inner chunking.
ODD = [(5, 7, 3), (7, 1, 9), (1, 17, 1), (6, 8, 8), (13, 300, 11), (64, 257, 5),
       (2, 513, 30), (29, 40, 14)]
SHAPES = [(n, n, n) for n in SQUARE] + ODD


def assert_product(got, a_abs_b_abs, expected, k, what=""):
    bound = (k + 1) * EPS * a_abs_b_abs + 1e-300
    err = np.abs(got - expected)
    assert np.all(err <= bound), f"{what}: max excess {np.max(err / bound):.3g} of the bound"


def spd(rng, n):
    x = rng.standard_normal((3 * n, n))
    return x.T @ x / (3 * n) + np.eye(n)


def assert_close(got, expected, n):
    scale = max(np.max(np.abs(expected)), 1.0)
    np.testing.assert_allclose(got, expected, rtol=0, atol=64 * (n + 1) * EPS * scale)


@pytest.mark.parametrize("n,p,m", SHAPES)
def test_products_in_every_orientation(lib, rng, n, p, m):
    # The same n x m product A B with inner size p, with the operands stored
    # as each kernel takes them: A^T (p x n) for A^T B and B^T (m x p) for A B^T.
    a = rng.standard_normal((n, p))
    b = rng.standard_normal((p, m))
    c = rng.standard_normal((n, m))
    at, bt = np.ascontiguousarray(a.T), np.ascontiguousarray(b.T)
    expected, mag = a @ b, np.abs(a) @ np.abs(b)
    calls = {
        "matmul": lambda out: lib.trova_matmul(tc.ptr(a), tc.ptr(b), tc.ptr(out), n, p, m),
        "atb": lambda out: lib.trova_matmul_atb(tc.ptr(at), tc.ptr(b), tc.ptr(out), p, n, m),
        "abt": lambda out: lib.trova_matmul_abt(tc.ptr(a), tc.ptr(bt), tc.ptr(out), n, p, m),
    }
    for name, call in calls.items():
        out = np.full((n, m), np.nan)
        call(out)
        assert_product(out, mag, expected, p, name)
    out = np.full((n, m), np.nan)
    lib.trova_matmul_abt_plus_c(tc.ptr(a), tc.ptr(bt), tc.ptr(c), tc.ptr(out), n, p, m)
    assert_product(out, mag + np.abs(c), c + expected, p, "abt_plus_c")


@pytest.mark.parametrize("n,m", [(1, 1), (3, 8), (8, 3), (17, 65), (128, 128), (4, 301)])
def test_matvec_dot_and_vsub(lib, rng, n, m):
    a = rng.standard_normal((n, m))
    x = rng.standard_normal(m)
    b = rng.standard_normal(n)
    out = np.empty(n)
    lib.trova_matvec(tc.ptr(a), tc.ptr(x), tc.ptr(out), n, m)
    mag = np.abs(a) @ np.abs(x)
    assert_product(out, mag, a @ x, m)
    lib.trova_matvec_plus_vec(tc.ptr(a), tc.ptr(x), tc.ptr(b), tc.ptr(out), n, m)
    assert_product(out, mag + np.abs(b), b + a @ x, m)
    got = lib.trova_dot(tc.ptr(a[0].copy()), tc.ptr(x), m)
    assert_product(np.array(got), np.abs(a[0]) @ np.abs(x), a[0] @ x, m)
    y = rng.standard_normal(m)
    out = np.empty(m)
    lib.trova_vsub(tc.ptr(x), tc.ptr(y), tc.ptr(out), m)
    np.testing.assert_array_equal(out, x - y)


@pytest.mark.parametrize("n,p", [(1, 1), (3, 3), (50, 8), (200, 17), (40, 32), (100, 65),
                                 (300, 128), (0, 5), (9, 13)])
def test_gram_and_rhs(lib, rng, n, p):
    x = rng.standard_normal((n, p))
    y = rng.standard_normal(n)
    g = np.full((p, p), np.nan)
    lib.trova_gram(tc.ptr(x), tc.ptr(g), n, p)
    np.testing.assert_array_equal(g, g.T)
    assert_product(g, np.abs(x).T @ np.abs(x), x.T @ x, n)
    rhs = np.full(p, np.nan)
    lib.trova_gram_rhs(tc.ptr(x), tc.ptr(y), tc.ptr(rhs), n, p)
    assert_product(rhs, np.abs(x).T @ np.abs(y), x.T @ y, n)


def test_sym_inplace_averages_off_diagonal_only(lib, rng):
    for n in (1, 2, 7, 32):
        p = rng.standard_normal((n, n))
        expected = (p + p.T) * 0.5
        # Doubling the diagonal would overflow: it must be left alone.
        p[np.diag_indices(n)] = 1.5e308
        expected[np.diag_indices(n)] = 1.5e308
        lib.trova_sym_inplace(tc.ptr(p), n)
        np.testing.assert_array_equal(p, expected)


@pytest.mark.parametrize("n", SQUARE + [5, 40])
def test_chol_and_logdet(lib, rng, n):
    s = spd(rng, n)
    l = np.full((n, n), np.nan)
    assert lib.trova_chol(tc.ptr(s), 0.0, tc.ptr(l), n) == 0
    assert_close(l, np.linalg.cholesky(s), n)
    assert_close(l, scipy.linalg.cholesky(s, lower=True), n)
    assert np.all(np.triu(l, 1) == 0.0)
    sign, logdet = np.linalg.slogdet(s)
    assert sign == 1.0
    assert abs(lib.trova_logdet_from_chol(tc.ptr(l), n) - logdet) <= 64 * (n + 1) * EPS * max(
        abs(logdet), 1.0)
    # A jitter adds to the diagonal.
    assert lib.trova_chol(tc.ptr(s), 0.5, tc.ptr(l), n) == 0
    assert_close(l, np.linalg.cholesky(s + 0.5 * np.eye(n)), n)


@pytest.mark.parametrize("n", [3, 8, 33])
def test_chol_rejects_indefinite_and_singular(lib, rng, n):
    s = spd(rng, n)
    l = np.empty((n, n))
    # Make the matrix singular in its trailing row: the last pivot is ~0.
    s[-1, :] = s[0, :]
    s[:, -1] = s[:, 0]
    s[-1, -1] = s[0, 0]
    assert lib.trova_chol(tc.ptr(s), 0.0, tc.ptr(l), n) == -1
    # Rows above the failing one are the factor of the leading block.
    lead = np.linalg.cholesky(s[:-1, :-1])
    assert_close(l[:-1, :-1], lead, n)
    # The failing row is complete up to its pivot; it repeats row 0 of the factor.
    assert_close(l[-1, :-1], l[0, :-1], n)
    assert np.all(np.triu(l, 1) == 0.0)
    assert l[-1, -1] == 0.0
    # A jitter large enough lifts the pivot over the tolerance.
    assert lib.trova_chol(tc.ptr(s), 1e-3, tc.ptr(l), n) == 0


@pytest.mark.parametrize("n", SQUARE + [2, 50])
def test_triangular_solves(lib, rng, n):
    l = np.linalg.cholesky(spd(rng, n))
    b = rng.standard_normal(n)
    out = np.empty(n)
    lib.trova_forward_subst(tc.ptr(l), tc.ptr(b), tc.ptr(out), n)
    assert_close(out, scipy.linalg.solve_triangular(l, b, lower=True), n)
    lib.trova_backward_subst_chol_t(tc.ptr(l), tc.ptr(b), tc.ptr(out), n)
    assert_close(out, scipy.linalg.solve_triangular(l, b, lower=True, trans="T"), n)
    # In place gives the same bits.
    inplace = b.copy()
    lib.trova_backward_subst_chol_t(tc.ptr(l), tc.ptr(inplace), tc.ptr(inplace), n)
    np.testing.assert_array_equal(inplace, out)


@pytest.mark.parametrize("p", SQUARE + [2, 50])
def test_chol_solve_and_inverse(lib, rng, p):
    g = spd(rng, p)
    rhs = rng.standard_normal(p)
    coef = np.empty(p)
    scratch = np.empty((p, p))
    assert lib.trova_chol_solve(tc.ptr(g), tc.ptr(rhs), tc.ptr(coef), tc.ptr(scratch), p) == 0
    assert_close(coef, np.linalg.solve(g, rhs), p)
    pinv = np.empty((p, p))
    assert lib.trova_chol_inv(tc.ptr(g), tc.ptr(pinv), tc.ptr(scratch), p) == 0
    assert_close(pinv, np.linalg.inv(g), p)
    assert_close(pinv, scipy.linalg.cho_solve(scipy.linalg.cho_factor(g, lower=True), np.eye(p)), p)


@pytest.mark.parametrize("n", [1, 2, 3, 4, 16, 17, 64, 101, 1000, 4097])
def test_sort_and_median(lib, rng, n):
    for values in (rng.standard_normal(n), rng.integers(-3, 4, n).astype(np.float64),
                   np.concatenate([np.arange(n // 2), np.arange(n - n // 2)[::-1]]).astype(
                       np.float64)):
        arr = values.copy()
        lib.trova_sort_f64(tc.ptr(arr), n)
        np.testing.assert_array_equal(arr, np.sort(values))
        arr = values.copy()
        assert lib.trova_median_f64(tc.ptr(arr), n) == np.median(values)
        np.testing.assert_array_equal(arr, np.sort(values))


def test_median_of_empty_is_nan(lib):
    empty = np.empty(0)
    assert np.isnan(lib.trova_median_f64(tc.ptr(empty), 0))


@pytest.mark.parametrize("share", [0.0, 0.01, 0.3, 1.0])
@pytest.mark.parametrize("n", [1, 2, 5, 17, 777])
def test_sort_puts_nans_last_and_median_of_nan_data_is_nan(lib, rng, n, share):
    # NumPy's order: ascending with NaNs last; NumPy's median: NaN when a NaN is present.
    values = rng.standard_normal(n)
    values[rng.random(n) < share] = np.nan
    values[0] = np.inf if n > 3 else values[0]
    arr = values.copy()
    lib.trova_sort_f64(tc.ptr(arr), n)
    np.testing.assert_array_equal(arr, np.sort(values))
    arr = values.copy()
    got = lib.trova_median_f64(tc.ptr(arr), n)
    want = np.median(values)
    assert got == want or (np.isnan(got) and np.isnan(want))
    np.testing.assert_array_equal(arr, np.sort(values))
