"""Residual diagnostics against statsmodels and NumPy: autocorrelation,
Ljung-Box, Jarque-Bera and its table look-ups, Breusch-Pagan and
Breusch-Godfrey, every failure status, and the sizers. Scratch is exactly as
long as the sizers say, plus one guard value that must survive."""
import numpy as np
import pytest
import statsmodels.api as sm
from scipy.interpolate import RegularGridInterpolator
from statsmodels.stats.diagnostic import acorr_breusch_godfrey, acorr_ljungbox, het_breuschpagan
from statsmodels.stats.stattools import jarque_bera
from statsmodels.tsa.stattools import acf

import trova_ctypes as tc

GUARD = -777.25
I64_MAX = 2**63 - 1


def guarded(size):
    return np.full(max(size, 0) + 1, GUARD)


def check_guard(buf):
    assert buf[-1] == GUARD, "wrote past its buffer"


def acorr(lib, x, L):
    x, out = np.ascontiguousarray(x, dtype=float), guarded(L + 1)
    z = guarded(len(x))
    st = lib.trova_acorr(tc.ptr(x), len(x), L, tc.ptr(z), tc.ptr(out))
    check_guard(z)
    return st, out


def ljung_box(lib, x, L):
    x, n = np.ascontiguousarray(x, dtype=float), len(x)
    arena, out = guarded(lib.trova_lb_arena_size(n, L).n_float), guarded(1)
    st = lib.trova_lb_stat(tc.ptr(x), n, L, tc.ptr(arena), tc.ptr(arena[max(n, 0):]), tc.ptr(out))
    check_guard(arena)
    return st, out[0]


def jb(lib, x):
    x, out = np.ascontiguousarray(x, dtype=float), guarded(1)
    return lib.trova_jb_stat(tc.ptr(x), len(x), tc.ptr(out)), out[0]


def bp(lib, eps, X, robust):
    (n, p), X = X.shape, np.ascontiguousarray(X)
    arena, out = guarded(lib.trova_bp_arena_size(n, p).n_float), guarded(1)
    st = lib.trova_bp_stat(tc.ptr(np.ascontiguousarray(eps)), tc.ptr(X), n, p, robust, tc.ptr(arena),
                           tc.ptr(out))
    check_guard(arena)
    return st, out[0]


def bg(lib, eps, X, lags):
    (n, K), X = X.shape, np.ascontiguousarray(X)
    arena, out = guarded(lib.trova_bg_arena_size(n, K, lags).n_float), guarded(1)
    st = lib.trova_bg_stat(tc.ptr(np.ascontiguousarray(eps)), tc.ptr(X), n, K, lags, tc.ptr(arena),
                           tc.ptr(out))
    check_guard(arena)
    return st, out[0]


def ar1(rng, n, phi=0.4, mean=3.0):
    e = rng.standard_normal(n)
    for t in range(1, n):
        e[t] += phi * e[t - 1]
    return e + mean


def ols(rng, n, k, intercept=True, hetero=False):
    X = rng.standard_normal((n, k))
    Xf = sm.add_constant(X, has_constant="add") if intercept else X
    u = rng.standard_normal(n) * (np.exp(0.8 * X[:, 0]) if hetero else 1.0)
    u[1:] += 0.5 * u[:-1]
    return X, sm.OLS(Xf @ np.linspace(1, 2, Xf.shape[1]) + u, Xf).fit()


# ---- autocorrelation and Ljung-Box ----

@pytest.mark.parametrize("n,L", [(50, 1), (50, 12), (400, 40), (7, 6)])
def test_acorr_and_ljung_box_match_statsmodels(lib, rng, n, L):
    x = ar1(rng, n)
    st, out = acorr(lib, x, L)
    assert st == 0
    np.testing.assert_allclose(out[:-1], acf(x, nlags=L, fft=False, adjusted=False), rtol=0, atol=1e-13)
    st, q = ljung_box(lib, x, L)
    assert st == 0 and q == pytest.approx(acorr_ljungbox(x, lags=[L])["lb_stat"].iloc[0], rel=1e-12)


def test_lags_beyond_the_sample(lib, rng):
    x = rng.standard_normal(10)
    st, out = acorr(lib, x, 14)
    z = x - x.mean()
    want = [z[l:] @ z[:10 - l] / (z @ z) for l in range(10)] + [0.0] * 5
    assert st == 0 and out[0] == 1.0 and np.array_equal(out[10:-1], np.zeros(5))
    np.testing.assert_allclose(out[:-1], want, rtol=0, atol=1e-14)
    st, q = ljung_box(lib, x, 50)  # as with 9 lags
    assert st == 0 and q == pytest.approx(acorr_ljungbox(x, lags=[9])["lb_stat"].iloc[0], rel=1e-12)
    st, out = acorr(lib, x, 0)
    assert st == 0 and out.tolist() == [1.0, GUARD]


@pytest.mark.parametrize("x", [[], [2.5] * 6, [1.0, np.nan, 2.0], [1.0, np.inf, 2.0], [1e200, -1e200] * 3],
                         ids=["empty", "constant", "nan", "inf", "overflowing"])
def test_degenerate_series(lib, x):
    st, out = acorr(lib, x, 4)
    assert st == -3 and np.isnan(out[:-1]).all()
    # A negative lag count writes nothing, on good data or bad.
    for series, status in ((x, -3), ([1.0, 2.0, 4.0], 0)):
        assert acorr(lib, series, -2)[0] == status and acorr(lib, series, -2)[1][0] == GUARD
    st, q = ljung_box(lib, x, 3)
    assert st == (-5 if len(x) < 2 else -3) and np.isnan(q)


@pytest.mark.parametrize("n,L,status", [(0, 3, -5), (1, 3, -5), (1, 0, -5), (5, 0, -4), (5, -3, -4)])
def test_ljung_box_counts(lib, rng, n, L, status):
    st, q = ljung_box(lib, rng.standard_normal(n), L)
    assert st == status and np.isnan(q)


# ---- Jarque-Bera ----

@pytest.mark.parametrize("n", [10, 200, 5000])
@pytest.mark.parametrize("law", ["normal", "t5", "exponential"])
def test_jarque_bera_matches_statsmodels(lib, rng, n, law):
    x = {"normal": rng.standard_normal, "t5": lambda k: rng.standard_t(5, k),
         "exponential": lambda k: rng.exponential(size=k)}[law](n) + 4.0
    assert jb(lib, x) == (0, pytest.approx(jarque_bera(x)[0], rel=1e-10))


def test_jarque_bera_small_and_degenerate(lib, rng):
    assert jb(lib, [-1.0, 1.0] * 5) == (0, pytest.approx(10 * 4 / 24, rel=1e-14))
    x = rng.exponential(size=9)
    for k in (8, 9):  # statistic written, status -5
        assert jb(lib, x[:k]) == (-5, pytest.approx(jarque_bera(x[:k])[0], rel=1e-10))
    assert jb(lib, [0.0, 3.0]) == (-5, pytest.approx(2 * 4 / 24, rel=1e-14))
    for x, status in (([], -5), ([3.0], -3), ([2.0] * 12, -3), ([1.0, np.nan] * 6, -3), ([np.inf] + [1.0] * 11, -3),
                      ([1e200, -1e200] * 6, -3)):
        st, v = jb(lib, x)
        assert st == status and np.isnan(v), x


# ---- Jarque-Bera table and look-ups ----

N_GRID = [10, 20, 35, 50, 75, 100, 150, 200, 300, 500, 800, 1000, 1600, 2400, 10000]
P_GRID = [0.0001, 0.0005, 0.001, 0.005, 0.01, 0.05, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.85,
          0.9, 0.95, 0.99, 0.995, 0.999, 0.9995, 0.9999]
CV = np.array([
    [15.345, 46.996, 66.612, 71.734, 69.91, 68.032, 60.632, 54.736, 47.572, 38.847, 33.247, 31.213, 26.956, 24.249, 19.94],
    [12.444, 31.159, 40.759, 43.256, 41.909, 40.43, 37.229, 34.33, 30.561, 26.27, 23.045, 21.979, 19.76, 18.366, 16.052],
    [10.995, 24.97, 31.969, 33.753, 32.738, 31.84, 29.547, 27.551, 24.83, 21.812, 19.521, 18.736, 17.15, 16.083, 14.397],
    [7.304, 13.471, 16.414, 17.281, 17.305, 16.959, 16.257, 15.638, 14.669, 13.583, 12.726, 12.366, 11.762, 11.384, 10.792],
    [5.7029, 9.7182, 11.736, 12.392, 12.586, 12.491, 12.185, 11.882, 11.358, 10.778, 10.299, 10.117, 9.8095, 9.6084, 9.3128],
    [2.5247, 3.7954, 4.5929, 4.9757, 5.2777, 5.43, 5.5984, 5.6758, 5.7732, 5.8551, 5.9103, 5.9242, 5.9569, 5.9671, 5.9857],
    [1.6232, 2.347, 2.8814, 3.1834, 3.4862, 3.6734, 3.9041, 4.0327, 4.1891, 4.3317, 4.4274, 4.4568, 4.5132, 4.5424, 4.5888],
    [1.2826, 1.823, 2.2533, 2.5094, 2.7713, 2.939, 3.1416, 3.258, 3.4003, 3.5312, 3.6198, 3.6507, 3.7016, 3.7309, 3.7778],
    [1.1236, 1.5623, 1.9162, 2.1278, 2.3463, 2.4865, 2.6558, 2.7559, 2.8764, 2.9882, 3.0645, 3.0909, 3.136, 3.1611, 3.2036],
    [0.9389, 1.2516, 1.4997, 1.6466, 1.7975, 1.8944, 2.0112, 2.0807, 2.1639, 2.2427, 2.2962, 2.3153, 2.346, 2.365, 2.3968],
    [0.8077, 1.036, 1.2115, 1.3128, 1.4165, 1.4828, 1.5619, 1.6087, 1.6649, 1.7175, 1.7547, 1.7679, 1.7889, 1.8024, 1.8248],
    [0.695, 0.8574, 0.9771, 1.0447, 1.1126, 1.1563, 1.2076, 1.2385, 1.2752, 1.3101, 1.3338, 1.342, 1.3568, 1.3655, 1.3808],
    [0.5885, 0.6948, 0.7699, 0.8114, 0.8529, 0.88, 0.9105, 0.9292, 0.9518, 0.9732, 0.9882, 0.9931, 1.0024, 1.0085, 1.0181],
    [0.4801, 0.5378, 0.5769, 0.5985, 0.6202, 0.6348, 0.6508, 0.661, 0.673, 0.6851, 0.694, 0.6965, 0.7018, 0.7056, 0.7108],
    [0.3618, 0.3777, 0.3896, 0.3969, 0.4046, 0.4105, 0.4168, 0.4213, 0.4267, 0.4325, 0.4368, 0.4376, 0.4402, 0.4421, 0.4451],
    [0.295, 0.2938, 0.2958, 0.2982, 0.301, 0.3044, 0.3071, 0.3096, 0.313, 0.3163, 0.3189, 0.3194, 0.3209, 0.3221, 0.3245],
    [0.2192, 0.2047, 0.2002, 0.1997, 0.1997, 0.2006, 0.2016, 0.2024, 0.204, 0.206, 0.2071, 0.2074, 0.2081, 0.2089, 0.2106],
    [0.1272, 0.1084, 0.1022, 0.1005, 0.0995, 0.0996, 0.0992, 0.0995, 0.1, 0.1005, 0.101, 0.1012, 0.1013, 0.1019, 0.1024],
    [0.0304, 0.023, 0.0208, 0.0203, 0.0198, 0.0197, 0.0196, 0.0196, 0.0197, 0.0198, 0.0197, 0.0199, 0.02, 0.02, 0.02],
    [0.0156, 0.0116, 0.0104, 0.0101, 0.0099, 0.0098, 0.0098, 0.0098, 0.0099, 0.0099, 0.0098, 0.0099, 0.0099, 0.0099, 0.01],
    [0.0032, 0.0023, 0.0021, 0.002, 0.002, 0.0019, 0.0019, 0.0019, 0.002, 0.0019, 0.002, 0.002, 0.002, 0.002, 0.002],
    [0.0016, 0.0012, 0.001, 0.001, 0.001, 0.0009, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001],
    [0.0003, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002],
])


def test_exported_table(lib):
    assert np.array_equal(tc.table(lib, "JB_N_GRID"), N_GRID)
    assert np.array_equal(tc.table(lib, "JB_PVAL_GRID"), P_GRID)
    assert np.array_equal(tc.table(lib, "JB_CV"), CV)
    assert (np.diff(N_GRID) > 0).all() and (np.diff(P_GRID) > 0).all() and (np.diff(CV, axis=0) < 0).all()


def test_grid_hits_are_exact(lib):
    for j, n in enumerate(N_GRID):
        for i, p in enumerate(P_GRID):
            assert lib.trova_jb_isf_interp(n, p) == CV[i, j]
            assert lib.trova_jb_pval_interp(n, CV[i, j]) == P_GRID[i]


def ref_isf(n, p):
    """Bilinear in (p, n) with both clamped to the table."""
    grid = RegularGridInterpolator((P_GRID, N_GRID), CV, method="linear")
    return grid(np.column_stack([np.clip(p, P_GRID[0], P_GRID[-1]), np.full(len(p), np.clip(n, 10, 10000))]))


def ref_pval(n, x):
    col = [np.interp(n, N_GRID, row) for row in CV]  # np.interp clamps n to the grid
    return np.interp(x, col[::-1], P_GRID[::-1])


@pytest.mark.parametrize("n", [5, 10, 27, 100, 613, 9999, 20000])
def test_look_ups_against_numpy(lib, rng, n):
    p = np.concatenate([rng.uniform(0.0, 1.0, 300), 10.0 ** rng.uniform(-6, -3, 50), [0.00005, 0.99999]])
    isf = np.array([lib.trova_jb_isf_interp(n, v) for v in p])
    np.testing.assert_allclose(isf, ref_isf(n, p), rtol=1e-12, atol=1e-15)
    x = np.concatenate([rng.uniform(0.0, 80.0, 300), 10.0 ** rng.uniform(-6, 0, 50)])
    pv = np.array([lib.trova_jb_pval_interp(n, v) for v in x])
    np.testing.assert_allclose(pv, ref_pval(n, x), rtol=1e-12, atol=1e-15)
    assert pv.min() >= 0.0001 and pv.max() <= 0.9999
    # Both curves fall, and at one n the two look-ups invert each other.
    order = np.argsort(p)
    assert (np.diff(isf[order]) <= 0).all() and (np.diff(pv[np.argsort(x)]) <= 0).all()
    inner = p[(p > 0.0001) & (p < 0.9999)]
    back = [lib.trova_jb_pval_interp(n, lib.trova_jb_isf_interp(n, v)) for v in inner]
    np.testing.assert_allclose(back, inner, rtol=1e-9)


def test_look_up_specials_and_batches(lib):
    nan, inf = np.nan, np.inf
    p = np.array([nan, 0.0, -1.0, -inf, 1.0, 2.0, inf, 0.00005, 0.05])
    want = [nan, inf, inf, inf, 0.0, 0.0, 0.0, 68.032, 5.43]
    x = np.array([nan, 0.0, -3.0, -inf, inf, 1e300, 1e-9, 5.43])
    want_pv = [nan, 1.0, 1.0, 1.0, 0.0, 0.0001, 0.9999, 0.05]
    for fn, args, ref in (("isf", p, want), ("pval", x, want_pv)):
        one = [getattr(lib, f"trova_jb_{fn}_interp")(100, v) for v in args]
        out = guarded(len(args))
        getattr(lib, f"trova_jb_{fn}_interp_into")(100, tc.ptr(args), len(args), tc.ptr(out))
        np.testing.assert_array_equal(one, ref)
        np.testing.assert_array_equal(out[:-1], ref)
        check_guard(out)
    out = guarded(0)
    lib.trova_jb_isf_interp_into(100, tc.ptr(p), 0, tc.ptr(out))
    check_guard(out)


@pytest.mark.parametrize("val", [-1.0, 1.0, 2.0, 2.5, 4.0, 7.0, 9.0, 11.0])
def test_find_hilo(lib, val):
    arr = np.array([1.0, 2.0, 4.0, 7.0, 9.0])
    lo, hi = np.zeros(1, dtype=np.int64), np.zeros(1, dtype=np.int64)
    idx = np.searchsorted(arr, val)  # the first index with arr[idx] >= val
    hit = idx < 5 and arr[idx] == val
    want = (0, 0) if idx == 0 else (4, 4) if idx == 5 else (idx, idx) if hit else (idx - 1, idx)
    lib.trova_jb_find_hilo_ascending(val, tc.ptr(arr), 5, tc.ptr(lo), tc.ptr(hi))
    assert (lo[0], hi[0]) == want
    # The same bracket in the reversed array, counted from its other end.
    lib.trova_jb_find_hilo_descending(val, tc.ptr(arr[::-1].copy()), 5, tc.ptr(lo), tc.ptr(hi))
    assert (4 - hi[0], 4 - lo[0]) == want


# ---- Breusch-Pagan ----

def aux_fit(u, X, centred=True):
    fit = X @ np.linalg.lstsq(X, u, rcond=None)[0]
    return ((u - fit) ** 2).sum(), ((u - u.mean() * centred) ** 2).sum()


@pytest.mark.parametrize("n,k", [(50, 1), (400, 5)])
def test_breusch_pagan_matches_statsmodels(lib, rng, n, k):
    X, res = ols(rng, n, k, hetero=True)
    Xa = res.model.exog
    for robust in (0, 1):
        st, v = bp(lib, res.resid, Xa, robust)
        assert st == 0 and v == pytest.approx(het_breuschpagan(res.resid, Xa, robust=bool(robust))[0], rel=1e-10)
    u = res.resid**2 / np.mean(res.resid**2)
    arena, outs = guarded(lib.trova_bp_arena_size(n, k + 1).n_float), np.zeros(2)
    st = lib.trova_bp_aux(tc.ptr(res.resid), tc.ptr(np.ascontiguousarray(Xa)), n, k + 1, tc.ptr(arena),
                          tc.ptr(outs[:1]), tc.ptr(outs[1:]))
    assert st == 0
    np.testing.assert_allclose(outs, aux_fit(u, Xa), rtol=1e-11)


def test_breusch_pagan_centring(lib, rng):
    # Without a constant in X_aug, tss stays centred; statsmodels switches to
    # the uncentred sum there, so it differs exactly by that choice.
    n = 120
    Xa = rng.uniform(0.5, 2.0, (n, 2))
    eps = rng.standard_normal(n) * Xa[:, 0] + 0.7  # mean not zero: sigma^2 = mean(eps^2)
    u = eps**2 / np.mean(eps**2)
    rss, tss_c = aux_fit(u, Xa)
    _, tss_u = aux_fit(u, Xa, centred=False)
    assert bp(lib, eps, Xa, 0) == (0, pytest.approx((tss_c - rss) / 2, rel=1e-10))
    assert bp(lib, eps, Xa, 1) == (0, pytest.approx(n * (1 - rss / tss_c), rel=1e-10))
    assert het_breuschpagan(eps, Xa, robust=False)[0] == pytest.approx((tss_u - rss) / 2, rel=1e-10)
    assert het_breuschpagan(eps, Xa, robust=True)[0] == pytest.approx(n * (1 - rss / tss_u), rel=1e-10)
    # sigma^2 is the mean square, not the variance.
    v = eps**2 / np.var(eps)
    assert bp(lib, eps, Xa, 0)[1] != pytest.approx((aux_fit(v, Xa)[1] - aux_fit(v, Xa)[0]) / 2, rel=1e-3)


def test_breusch_pagan_zero_statistics(lib, rng):
    eps = rng.standard_normal(40)
    for robust in (0, 1):
        st, v = bp(lib, eps, np.ones((40, 1)), robust)  # fitted values = mean(u)
        assert st == 0 and abs(v) < 1e-12
        # A zero-mean regressor without constant fits worse than the mean:
        # ess < 0 and R^2 < 0 both clamp to 0.
        st, v = bp(lib, eps, (np.arange(40.0) - 19.5)[:, None], robust)
        assert (st, v) == (0, 0.0)


@pytest.mark.parametrize("case,status", [("empty", -5), ("zero", -3), ("nan", -3), ("inf", -3),
                                         ("duplicate", 1)])
def test_breusch_pagan_failures(lib, rng, case, status):
    n = 0 if case == "empty" else 30
    eps = {"zero": np.zeros(n), "nan": np.full(n, np.nan), "inf": np.full(n, np.inf)}.get(case, rng.standard_normal(n))
    Xa = np.column_stack([np.ones(n), rng.standard_normal(n)])
    if case == "duplicate":
        Xa = np.column_stack([Xa, Xa[:, 1]])
    for robust in (0, 1):
        st, v = bp(lib, eps, Xa, robust)
        assert st == status and np.isnan(v)
    outs = np.full(2, GUARD)
    arena = guarded(lib.trova_bp_arena_size(*Xa.shape).n_float)
    assert lib.trova_bp_aux(tc.ptr(eps), tc.ptr(Xa), *Xa.shape, tc.ptr(arena), tc.ptr(outs[:1]),
                            tc.ptr(outs[1:])) == status
    assert (outs == GUARD).all()


# ---- Breusch-Godfrey ----

def bg_design(eps, X, lags):
    n = len(eps)
    lagged = np.column_stack([np.r_[np.zeros(l), eps[:n - l]] for l in range(1, lags + 1)] or [np.empty((n, 0))])
    return np.column_stack([np.ones(n), X, lagged])


@pytest.mark.parametrize("n,k,lags", [(60, 1, 1), (300, 5, 10), (80, 3, 4)])
def test_breusch_godfrey_matches_statsmodels(lib, rng, n, k, lags):
    X, res = ols(rng, n, k)  # with an intercept the residuals have mean zero
    st, v = bg(lib, res.resid, X, lags)
    assert st == 0 and v == pytest.approx(acorr_breusch_godfrey(res, nlags=lags)[0], rel=1e-9)


def test_breusch_godfrey_uncentred_r2(lib, rng):
    # Residuals of a fit without intercept to data with one have a nonzero
    # mean: the statistic is n times the uncentred R^2, where statsmodels
    # takes the centred one.
    n, lags = 150, 3
    X = rng.standard_normal((n, 2))
    res = sm.OLS(X @ [1.0, 2.0] + 1.0 + rng.standard_normal(n), X).fit()
    e = res.resid
    D = bg_design(e, X, lags)
    rss = ((e - D @ np.linalg.lstsq(D, e, rcond=None)[0]) ** 2).sum()
    assert bg(lib, e, X, lags) == (0, pytest.approx(n * (1 - rss / (e @ e)), rel=1e-10))
    centred = n * (1 - rss / ((e - e.mean()) ** 2).sum())
    assert acorr_breusch_godfrey(res, nlags=lags)[0] == pytest.approx(centred, rel=1e-10)
    assert abs(centred - bg(lib, e, X, lags)[1]) > 1.0
    # lags = 0: [1, X] only, and nothing left to explain in OLS residuals of [1, X].
    _, res = ols(rng, n, 2)
    st, v = bg(lib, res.resid, res.model.exog[:, 1:], 0)
    assert st == 0 and abs(v) < 1e-9


def test_breusch_godfrey_edges(lib, rng):
    n = 6
    e = rng.standard_normal(n) + 2.0
    assert bg(lib, e, np.empty((n, 0)), n - 1) == (0, pytest.approx(n, rel=1e-8))  # square D: exact fit
    for X, lags, status in ((np.empty((n, 0)), n, -5), (np.empty((n, 0)), n + 3, -5),
                            (np.empty((0, 0)), 0, -5),
                            (rng.standard_normal((n, 1)), n - 1, 1),  # more columns than rows
                            (np.column_stack([e, e]), 1, 1), (np.zeros((n, 1)), 0, 1)):
        st, v = bg(lib, e[:len(X)], X, lags)
        assert st == status and np.isnan(v), (X.shape, lags)
    assert bg(lib, np.zeros(n), rng.standard_normal((n, 2)), 0) == (0, 0.0)  # sum e^2 = 0


# ---- sizers ----

@pytest.mark.parametrize("n,a,b", [(0, 0, 0), (1, 5, 0), (10, 50, 2), (200, 10, 5), (-4, 3, 1), (5, -2, 7),
                                   (I64_MAX, 1, 1), (3, 2**32, 0), (2**40, 2**31, 2**31), (1, I64_MAX, 1)])
def test_sizers(lib, gapless, n, a, b):
    if not gapless:
        pytest.skip("layout gaps change the sizes")
    def fit(v):
        return v if -2**63 <= v <= I64_MAX else -1
    lb = max(n, 0) + 1 + min(max(max(n, 0) - 1, 0), max(a, 0))
    P = a + b + 1
    bg_size = fit(P * (n + 2 * P + 2)) if fit(P) == P and fit(n * P) == n * P else -1
    # A size that does not fit is {-1, -1}.
    assert (lib.trova_lb_arena_size(n, a).n_float, lib.trova_lb_arena_size(n, a).n_int) == \
        (fit(lb), 0 if fit(lb) != -1 else -1)
    assert lib.trova_bp_arena_size(n, a).n_float == fit(n + 2 * (a + a * a))
    assert lib.trova_bg_arena_size(n, a, b).n_float == bg_size
