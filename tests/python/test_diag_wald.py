"""HAC covariance and Wald tests against statsmodels' HAC estimator and NumPy
evaluations of the kernel weights, bandwidth rules and statistic: the three
tests with every kernel and bandwidth mode in exactly sized arenas, every
failure status, and the building blocks on their own."""
import ctypes

import numpy as np
import pytest
import scipy.linalg

import trova_ctypes as tc
import wald_cases as wc
from wald_cases import ANDREWS, AUTO, BARTLETT, GUARD, KERNELS, KINDS, MANUAL, MODES, PARZEN, QS, WOOLDRIDGE

BAD_KERNELS = [-1, 3, -(2**31), 2**31 - 1]
N, Q = 400, 3


def var1(rng, n=N, q=Q):
    """A persistent VAR(1) with correlated shocks, its mean, covariance and second moment."""
    A = np.diag([0.7, 0.4, -0.3][:q]) + 0.1 * np.tri(q, k=-1)
    chol = np.linalg.cholesky(0.5 * np.eye(q) + 0.5)
    mu = np.arange(1.0, q + 1)
    x, out = np.zeros(q), np.empty((n, q))
    for t, e in enumerate(rng.standard_normal((n, q)) @ chol.T):
        x = A @ x + e
        out[t] = mu + x
    cov = scipy.linalg.solve_discrete_lyapunov(A, chol @ chol.T)
    return out, {"mean": mu, "covariance": cov, "second_moment": cov + np.outer(mu, mu)}


def call(lib, kind, g, target, kernel=BARTLETT, mode=MANUAL, manual=0):
    c = wc.Call(lib, kind, g, target, kernel, mode, manual)
    g0, t0 = c.g.copy(), c.target.copy()
    status = c()
    assert c.guards_intact(), "wrote past its arena, pivots or stat_out"
    np.testing.assert_array_equal(c.g, g0)
    np.testing.assert_array_equal(c.target, t0)
    return status, c.stat[0]


# ---- the three tests ----

@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("kind", KINDS)
def test_tests_match_statsmodels(lib, rng, kind, kernel, mode):
    g, truth = var1(rng)
    status, W = call(lib, kind, g, truth[kind], kernel, mode, manual=6)
    want, L = wc.wald(kind, g, truth[kind], kernel, mode, manual=6)
    assert status == 0
    assert L > 1 if mode != MANUAL else L == 6
    assert W == pytest.approx(want, rel=1e-9)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("kind", KINDS)
def test_manual_bandwidth_is_capped_at_n_minus_1(lib, rng, kind, kernel):
    g, truth = var1(rng, n=16, q=2)
    stats = [call(lib, kind, g, truth[kind], kernel, MANUAL, L)[1] for L in (15, 16, 500, 2**62)]
    assert stats == [stats[0]] * 4
    assert stats[0] == pytest.approx(wc.wald(kind, g, truth[kind], kernel, MANUAL, 15)[0], rel=1e-9)
    assert stats[0] != pytest.approx(call(lib, kind, g, truth[kind], kernel, MANUAL, 14)[1], rel=1e-6)


@pytest.mark.parametrize("kind", ["covariance", "second_moment"])
def test_target_symmetry_tolerance(lib, rng, kind):
    g, truth = var1(rng)
    T = truth[kind].copy()
    T[1, 0] = T[0, 1] + 1e-9 * (1 + abs(T[0, 1]))  # within 1e-8 + 1e-5 |lo|: the upper value is used
    status, W = call(lib, kind, g, T, PARZEN, AUTO)
    assert status == 0 and W == pytest.approx(wc.wald(kind, g, np.triu(T) + np.triu(T, 1).T, PARZEN, AUTO)[0],
                                              rel=1e-9)
    T[1, 0] = T[0, 1] + 1.1
    assert call(lib, kind, g, T, PARZEN, AUTO) == (-1, GUARD)


# ---- failure statuses: stat_out is written only for -2 (NaN) ----

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n,kernel", [(0, BARTLETT), (1, BARTLETT), (1, -1)])
def test_too_few_observations(lib, rng, kind, n, kernel):
    g, truth = var1(rng, n=max(n, 1))
    assert call(lib, kind, g[:n], truth[kind], kernel) == (-5, GUARD)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("kernel", BAD_KERNELS)
@pytest.mark.parametrize("mode", MODES)
def test_invalid_kernel(lib, rng, kind, kernel, mode):
    g, truth = var1(rng, n=50)
    assert call(lib, kind, g, truth[kind], kernel, mode, 3) == (-7, GUARD)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("mode,manual", [(4, 3), (-1, 3), (2**31 - 1, 3), (MANUAL, -1), (MANUAL, -(2**63))])
def test_invalid_bandwidth_option(lib, rng, kind, mode, manual):
    g, truth = var1(rng, n=50)
    assert call(lib, kind, g, truth[kind], QS, mode, manual) == (-7, GUARD)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("mode", [WOOLDRIDGE, ANDREWS, AUTO])
def test_negative_manual_bandwidth_ignored_by_the_rules(lib, rng, kind, mode):
    g, truth = var1(rng, n=80)
    status, W = call(lib, kind, g, truth[kind], PARZEN, mode, -1)
    assert status == 0 and W == pytest.approx(wc.wald(kind, g, truth[kind], PARZEN, mode)[0], rel=1e-9)


@pytest.mark.parametrize("kind", KINDS)
def test_singular_long_run_covariance(lib, rng, kind):
    g, truth = var1(rng, n=60)
    g[:, 1] = 0.0 if kind != "covariance" else 2.5  # its moments are constant: a zero row in Omega
    status, W = call(lib, kind, g, truth[kind], BARTLETT, WOOLDRIDGE)
    assert status == -2 and np.isnan(W)


# ---- the statistic ----

def stat(lib, mean, target, Om, n):
    p = len(mean)
    dev, factor, solved = np.full(p + 1, GUARD), np.full(p * p + 1, GUARD), np.full(p + 1, GUARD)
    piv, out = np.full(p + 1, -9, dtype=np.int64), np.full(2, GUARD)
    Om = np.ascontiguousarray(Om, dtype=float)
    Om0 = Om.copy()
    status = lib.trova_wald_stat_from_mean_and_cov(tc.ptr(mean), tc.ptr(target), tc.ptr(Om), n, p, tc.ptr(dev),
                                                   tc.ptr(factor), tc.ptr(piv), tc.ptr(solved), tc.ptr(out))
    assert dev[-1] == factor[-1] == solved[-1] == out[1] == GUARD and piv[-1] == -9
    np.testing.assert_array_equal(Om, Om0)
    return status, out[0]


@pytest.mark.parametrize("definite", [True, False])
def test_statistic_cholesky_then_lu(lib, rng, definite):
    p, n = 5, 37
    Qm = np.linalg.qr(rng.standard_normal((p, p)))[0]
    eig = np.array([3.0, 1.0, 0.5, 0.2, 0.1]) * (1 if definite else np.array([1, -1, 1, -1, 1]))
    Om = Qm @ np.diag(eig) @ Qm.T  # indefinite but invertible: Cholesky fails, LU solves
    mean, target = rng.standard_normal(p), rng.standard_normal(p)
    d = mean - target
    status, W = stat(lib, mean, target, Om, n)
    assert status == 0 and W == pytest.approx(n * d @ np.linalg.solve(Om, d), rel=1e-11)


@pytest.mark.parametrize("dev2,want", [(1e-13, 0.0), (4e-13, 0.0), (1e-11, -1e-11)])
def test_tiny_negative_statistic_reads_zero(lib, dev2, want):
    status, W = stat(lib, np.array([0.0, np.sqrt(dev2)]), np.zeros(2), np.diag([1.0, -1.0]), 1)
    assert status == 0 and W == pytest.approx(want, rel=1e-12, abs=0)


def test_statistic_degenerate_inputs(lib):
    assert stat(lib, np.zeros(0), np.zeros(0), np.zeros((0, 0)), 10) == (0, 0.0)
    status, W = stat(lib, np.ones(2), np.zeros(2), np.array([[1.0, 2.0], [2.0, 4.0]]), 10)
    assert status == -2 and np.isnan(W)
    # No factor of a matrix with a NaN or an infinity (the LU would accept a
    # NaN pivot), and no statistic from a NaN mean or target.
    for Om in ([[np.nan, 0.0], [0.0, 1.0]], [[1.0, np.nan], [np.nan, 1.0]], [[np.inf, 0.0], [0.0, 1.0]],
               [[-1.0, 0.0], [0.0, np.nan]]):
        status, W = stat(lib, np.ones(2), np.zeros(2), np.array(Om), 10)
        assert status == -2 and np.isnan(W), Om
    for mean, target in (([np.nan, 1.0], [0.0, 0.0]), ([1.0, 1.0], [0.0, np.nan])):
        status, W = stat(lib, np.array(mean), np.array(target), np.eye(2), 10)
        assert status == -2 and np.isnan(W)


# ---- HAC estimator, weights and bandwidths ----

@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("L", [0, 1, 6, 59, 70])
def test_hac_estimator_matches_statsmodels(lib, rng, kernel, L):
    n, p = 60, 4
    r, _ = var1(rng, n=n, q=3)
    r = np.column_stack([r, r[:, 0] * r[:, 1]])
    r -= r.mean(axis=0)
    gamma, out = np.full(p * p + 1, GUARD), np.full((p + 1, p), GUARD)
    lib.trova_hac_estimator_matmul(tc.ptr(r), kernel, L, n, p, tc.ptr(gamma), tc.ptr(out))
    assert gamma[-1] == GUARD and np.all(out[-1] == GUARD)
    np.testing.assert_array_equal(out[:p], out[:p].T)
    np.testing.assert_allclose(out[:p], wc.omega(r, kernel, L), rtol=1e-12, atol=1e-13)


def moving_average(rng, n, p):
    """Centred MA(2) rows with mixed columns, so that every lag and column pair matters."""
    e = rng.standard_normal((n + 2, p))
    mix = np.eye(p) + 0.3 * np.tri(p, k=-1) / np.sqrt(p)
    r = (e[2:] + 0.6 * e[1:-1] - 0.3 * e[:-2]) @ mix.T
    return r - r.mean(axis=0)


def hac(lib, r, kernel, L):
    n, p = r.shape
    r = np.ascontiguousarray(r)
    gamma, out = np.full(p * p + 1, GUARD), np.full((p + 1, p), GUARD)
    lib.trova_hac_estimator_matmul(tc.ptr(r), kernel, L, n, p, tc.ptr(gamma), tc.ptr(out))
    assert gamma[-1] == GUARD and np.all(out[-1] == GUARD)
    np.testing.assert_array_equal(out[:p], out[:p].T)
    return out[:p]


def check_hac(lib, r, kernel, L):
    """Against statsmodels, whose QS weights differ from the library's in the
    twelfth digit, and tightly against the per-lag sum in NumPy with the
    library's weights."""
    n, p = r.shape
    got = hac(lib, r, kernel, L)
    scale = np.abs(r.T @ r / n).max()
    np.testing.assert_allclose(got, wc.omega(r, kernel, L), rtol=1e-10, atol=1e-10 * scale)
    L = min(L, n - 1)
    want = r.T @ r
    for j in range(1, L + 1):
        gamma = r[:-j].T @ r[j:]
        want += lib.kernel_weight(j, L, kernel) * (gamma + gamma.T)
    np.testing.assert_allclose(got, want / n, rtol=1e-12, atol=1e-13 * scale)


# n = 300 rows run as several chunks of filtered rows, the last one partial;
# bandwidths from 255 up cross a batch of lag weights; n - 1 and beyond are capped.
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("L", [2, 127, 128, 255, 256, 257, 297, 298, 299, 300, 10**6])
def test_hac_estimator_long_bandwidths(lib, rng, kernel, L):
    check_hac(lib, moving_average(rng, 300, 4), kernel, L)


# Up to 128 columns the lags go through the filtered series, from 129 on
# through one product per lag.
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("p", [1, 33, 127, 128, 129, 200])
@pytest.mark.parametrize("L", [1, 7, 150, 159])
def test_hac_estimator_wide_series(lib, rng, kernel, p, L):
    check_hac(lib, moving_average(rng, 160, p), kernel, L)


def test_hac_estimator_single_row_and_no_lags(lib, rng):
    r = moving_average(rng, 1, 3)
    np.testing.assert_allclose(hac(lib, r, BARTLETT, 5), r.T @ r, rtol=1e-15, atol=0)
    r = moving_average(rng, 50, 3)
    np.testing.assert_allclose(hac(lib, r, QS, 0), r.T @ r / 50, rtol=1e-13, atol=1e-15)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("L", [0, 1, 3, 4, 9, 40])
def test_kernel_weights(lib, kernel, L):
    j = np.arange(L + 4)
    got = [lib.kernel_weight(int(k), L, kernel) for k in j]
    np.testing.assert_allclose(got, wc.kernel_function(kernel, j / (L + 1)), rtol=1e-13, atol=1e-15)


def test_qs_weight_near_zero_lag_ratio(lib):
    # Long bandwidths put j / (L + 1) near 0, where the closed form of the QS
    # kernel cancels (it gave weights above 1); against 60-digit arithmetic.
    import mpmath
    mpmath.mp.dps = 60
    for L in (10, 300, 10**4, 10**6, 10**9, 10**15):
        for j in (1, 2, 7, L // 7 + 1, L // 2, L):
            a = mpmath.mpf(j) / (L + 1)
            z = 6 * mpmath.pi * a / 5
            want = float(3 * (mpmath.sin(z) / z - mpmath.cos(z)) / z**2)
            assert lib.kernel_weight(j, L, QS) == pytest.approx(want, rel=2e-15, abs=0), (j, L)


def test_kernel_weight_values(lib):
    assert [lib.kernel_weight(j, 3, BARTLETT) for j in range(1, 5)] == [0.75, 0.5, 0.25, 0.0]
    assert lib.kernel_weight(2, 3, PARZEN) == pytest.approx(0.25, abs=1e-15)  # a = 0.5, both branches
    assert lib.kernel_weight(4, 3, PARZEN) == 0.0 and lib.kernel_weight(9, 3, PARZEN) == 0.0
    assert lib.kernel_weight(0, 5, QS) == 1.0
    assert [lib.kernel_weight(1, 3, k) for k in BAD_KERNELS] == [0.0] * 4


def test_kernel_specs_table(lib):
    table = (tc.kernel_inp_t * 3).in_dll(lib, "KERNEL_SPECS")
    assert [(s.c, s.q) for s in table] == [wc.ANDREWS_CONSTANTS[k] for k in KERNELS]


# 272/273, 620/621, 2262/2263: just below and above the steps to 5, 6 and 8.
@pytest.mark.parametrize("n", [1, 2, 50, 99, 100, 101, 272, 273, 620, 621, 1000, 2262, 2263, 10**6])
def test_wooldridge_bandwidth(lib, n):
    # The data are not read: a null pointer will do.
    assert lib.wooldridge_bandwidth(None, n) == wc.wooldridge(n) >= 1
    if n in (100, 1000):
        assert lib.wooldridge_bandwidth(None, n) == {100: 4, 1000: 6}[n]


def ar1(rng, rho, n=300):
    y = np.zeros(n)
    for t, e in enumerate(rng.standard_normal(n)):
        y[t] = rho * y[t - 1] + e
    return y


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("rho", [0.2, 0.5, 0.9])
def test_andrews_bandwidth(lib, rng, kernel, rho):
    y = ar1(rng, rho)
    assert lib.andrews_bandwidth(tc.ptr(y), kernel, len(y)) == wc.andrews(y, kernel) > 1


@pytest.mark.parametrize("kernel", KERNELS)
def test_andrews_bandwidth_fallbacks(lib, rng, kernel):
    c, q = wc.ANDREWS_CONSTANTS[kernel]
    n = 200
    trend = np.arange(1.0, n + 1)  # rho > 1 is clamped to 0.999
    e = 1 / (2 * q + 1)
    alpha = 2 * 0.999 * 1.999 / (1 - 0.999) ** 2
    assert lib.andrews_bandwidth(tc.ptr(trend), kernel, n) == int(alpha**e * n**e * c)
    z = rng.standard_normal(n + 1)
    noise = z[1:] - 0.8 * z[:-1]  # negative first-order autocorrelation
    for y in (noise, np.full(n, 3.0), np.append(trend[:-1], np.inf), trend[:1]):
        assert lib.andrews_bandwidth(tc.ptr(y), kernel, len(y)) == 1
    persistent = ar1(rng, 0.9)
    for bad in BAD_KERNELS:
        assert lib.andrews_bandwidth(tc.ptr(persistent), bad, len(persistent)) == 1


def andrews_matrix(lib, r, kernel):
    n, p = r.shape
    ls = np.full(p + 1, GUARD)
    L = lib.andrews_bandwidth_matrix(tc.ptr(np.ascontiguousarray(r)), kernel, n, p, tc.ptr(ls))
    assert ls[-1] == GUARD
    return L


@pytest.mark.parametrize("kernel", KERNELS)
def test_andrews_bandwidth_matrix(lib, rng, kernel):
    cols = [ar1(rng, rho) for rho in (0.1, 0.5, 0.8, 0.95)]
    const = np.full(300, 1.5)
    for r in (np.column_stack(cols), np.column_stack(cols[:3] + [const]), np.column_stack([const] + cols[1:3])):
        assert andrews_matrix(lib, r, kernel) == wc.andrews_matrix(r, kernel)
    assert andrews_matrix(lib, cols[2][:, None], kernel) == wc.andrews(cols[2], kernel)
    assert andrews_matrix(lib, np.column_stack([const, const * 2]), kernel) == 1
    assert andrews_matrix(lib, np.zeros((300, 0)), kernel) == 1
    for bad in BAD_KERNELS:
        assert andrews_matrix(lib, np.column_stack(cols), bad) == 1


def test_andrews_matrix_even_count_median_is_floored(lib):
    # Column bandwidths 1 and 4 (Bartlett): median 2.5, reported as 2.
    t = np.arange(300.0)
    r = np.column_stack([(-1.0) ** t, np.cos(1.49 * t)])
    assert [wc.andrews(r[:, j], BARTLETT) for j in range(2)] == [1, 4]
    assert andrews_matrix(lib, r, BARTLETT) == 2


# ---- moment building blocks ----

def test_means_centring_and_outer_products(lib, rng):
    n, p = 53, 5
    x = rng.standard_normal((n, p)) + 10.0
    mean, centred = np.full(p + 1, GUARD), np.full((n + 1, p), GUARD)
    lib.trova_fill_mean_ax0(tc.ptr(x), n, p, tc.ptr(mean))
    lib.trova_fill_centered_ax0(tc.ptr(x), tc.ptr(mean), n, p, tc.ptr(centred))
    np.testing.assert_allclose(mean[:p], x.mean(axis=0), rtol=1e-14)
    np.testing.assert_allclose(centred[:n], x - x.mean(axis=0), rtol=0, atol=1e-13)
    assert mean[-1] == GUARD and np.all(centred[-1] == GUARD)
    stride = 18  # row stride above v = 15: the gaps stay untouched
    out = np.full((n, stride), GUARD)
    assert lib.trova_symmetric_outer_prod_2dim(tc.ptr(x), n, p, stride, tc.ptr(out)) == 0
    i, j = np.triu_indices(p)
    np.testing.assert_array_equal(out[:, :15], x[:, i] * x[:, j])
    assert np.all(out[:, 15:] == GUARD)


@pytest.mark.parametrize("up,lo,atol,rtol,ok", [
    (1.0, 1.0 + 1e-9, 1e-8, 1e-5, True),
    (1.0, 1.1, 1e-8, 1e-5, False),
    (1.8, 1.0, 0.0, 0.5, False),  # the tolerance scales with the lower entry
    (1.0, 1.8, 0.0, 0.5, True),
    (np.inf, np.inf, 1e-8, 1e-5, True),
    (np.inf, 1.0, 1e-8, 1e-5, False),
    (np.nan, np.nan, 1e-8, 1e-5, False),
])
def test_symmetric_target_vector(lib, up, lo, atol, rtol, ok):
    T = np.array([[2.0, 3.0, up], [3.0, 5.0, 6.0], [lo, 6.0, 7.0]])
    out = np.full(7, GUARD)
    assert lib.trova_fill_symmetric_target_vec(tc.ptr(T), atol, rtol, 3, tc.ptr(out)) == (0 if ok else -1)
    if ok:
        np.testing.assert_array_equal(out, [2.0, 3.0, up, 5.0, 6.0, 7.0, GUARD])
    T = np.array([[np.nan, 1.0], [1.0, 2.0]])  # a NaN on the diagonal is a NaN pair
    assert lib.trova_fill_symmetric_target_vec(tc.ptr(T), 1e-8, 1e-5, 2, tc.ptr(out)) == -1


# ---- sizers ----

@pytest.mark.parametrize("n,q", [(2, 1), (500, 4), (37, 7)])
def test_sizers(lib, gapless, n, q):
    if not gapless:
        pytest.skip("layout gaps change the sizes")
    v = q * (q + 1) // 2
    sizes = [getattr(lib, f"trova_wald_{kind}_hac_arena_size")(n, q) for kind in KINDS]
    assert [(s.n_float, s.n_int) for s in sizes] == [
        (q * (n + 3 * q + 4), q), (n * (q + v) + v * (3 * v + 5), v), (v * (3 * v + n + 5), v)]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n,q", [(2**62, 4), (4, 2**31), (4, 2**32), (4, 2**62)])
def test_sizer_overflow(lib, kind, n, q):
    size = getattr(lib, f"trova_wald_{kind}_hac_arena_size")(n, q)
    # No buffer can hold it: both counts are -1.
    assert (size.n_float, size.n_int) == (-1, -1)

