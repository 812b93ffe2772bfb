"""Recursive residuals, CUSUM, CUSUMSQ and Chow against refitting by NumPy,
statsmodels' recursive_olsresiduals and OLS, and SciPy's normal tails; every
failure status; the sizers, with every arena exactly as long as they say."""
import numpy as np
import pytest
import statsmodels.api as sm
from scipy.stats import norm
from statsmodels.stats.diagnostic import recursive_olsresiduals

import trova_ctypes as tc

GUARD = 8
SENTINEL = -123.25


def design(rng, T, p, intercept=True):
    X = rng.standard_normal((T, p))
    if intercept:
        X[:, 0] = 1.0
    y = X @ np.linspace(1.0, -0.5, p) + rng.standard_normal(T)
    return np.ascontiguousarray(X), y


def arena(size):
    """A buffer of exactly size.n_float values plus a guard checked by unguard."""
    assert size.n_int == 0
    return np.full(size.n_float + GUARD, SENTINEL)


def unguard(buf):
    assert (buf[-GUARD:] == SENTINEL).all(), "kernel wrote past its arena"


def call(lib, name, y, X, T, p, *extra, out_len=1):
    """status, output buffer (sentinel where unwritten), arena, and n_out for CUSUMSQ."""
    # The residuals and the path use the leading part of the CUSUMSQ and CUSUM
    # arenas that the header documents; the statistics their sizers' whole.
    # (Layout gaps lengthen the leading parts: then the whole arenas.)
    gaps = lib.trova_layout_gap() != 0
    size = {"trova_recursive_residuals": lib.trova_cusumsq_arena_size(T, p) if gaps
            else tc.arena_size(3 * p * p + 3 * p, 0),
            "trova_cusum_series": lib.trova_cusum_arena_size(T, p) if gaps
            else tc.arena_size(T + 5 * p * p + 4 * p, 0),
            "trova_cusum_stat": lib.trova_cusum_arena_size(T, p),
            "trova_cusumsq_stat": lib.trova_cusumsq_arena_size(T, p),
            "trova_chow_stat": lib.trova_chow_arena_size(p)}[name]
    buf, out, n_out = arena(size), np.full(max(out_len, 1), SENTINEL), np.full(1, -9, dtype=np.int64)
    args = [tc.ptr(y), tc.ptr(X), T, p, *extra] + ([tc.ptr(n_out)] if "cusumsq" in name else [])
    status = getattr(lib, name)(*args, tc.ptr(buf), tc.ptr(out))
    unguard(buf)
    return status, out, buf, int(n_out[0])


def refit_residuals(y, X):
    """w_t = (y_t - x_t b_{t-1}) / sqrt(1 + x_t (X_t'X_t)^-1 x_t) by refitting each prefix."""
    T, p = X.shape
    w = []
    for t in range(p, T):
        Xt, x = X[:t], X[t]
        b = np.linalg.lstsq(Xt, y[:t], rcond=None)[0]
        w.append((y[t] - x @ b) / np.sqrt(1.0 + x @ np.linalg.solve(Xt.T @ Xt, x)))
    return np.array(w)


CASES = [(30, 1, True), (60, 3, True), (200, 5, True), (25, 6, False)]


@pytest.mark.parametrize("T,p,intercept", CASES)
def test_recursive_residuals_and_cusum_path_match_refits_and_statsmodels(lib, rng, gapless, T, p, intercept):
    X, y = design(rng, T, p, intercept)
    m = T - p
    status, w, buf, _ = call(lib, "trova_recursive_residuals", y, X, T, p, out_len=m)
    assert status == 0
    np.testing.assert_allclose(w, refit_residuals(y, X), rtol=1e-9, atol=1e-11)
    sm_res = recursive_olsresiduals(sm.OLS(y, X).fit())
    np.testing.assert_allclose(w, sm_res[4][p:], rtol=1e-9, atol=1e-11)
    # The CUSUMSQ arena keeps the same residuals after the first 3p^2 + 3p values.
    status, _, sq_buf, n_out = call(lib, "trova_cusumsq_stat", y, X, T, p)
    assert status == 0 and n_out == m and (not gapless or (sq_buf[3 * p * p + 3 * p:][:m] == w).all())

    # The path divides by the full-sample sigma with divisor T - p; statsmodels
    # divides by the standard deviation (ddof 1) of the recursive residuals and
    # starts its path with the (zero) in-sample residual of row p - 1.
    ols = sm.OLS(y, X).fit()
    sigma = np.sqrt(ols.ssr / m)
    status, series, path_buf, _ = call(lib, "trova_cusum_series", y, X, T, p, out_len=m)
    assert status == 0 and (path_buf[:m] == w).all()  # the path arena starts with w
    np.testing.assert_allclose(series, np.cumsum(w) / sigma, rtol=1e-10, atol=1e-12)
    rcusum, band = sm_res[5], sm_res[6][1]
    assert abs(rcusum[0]) < 1e-8
    np.testing.assert_allclose(series * sigma / np.std(w, ddof=1), rcusum[1:] - rcusum[0], rtol=1e-8, atol=1e-10)
    # Sum of squared recursive residuals = full-sample SSR, so sigma is theirs.
    assert (w ** 2).sum() == pytest.approx(ols.ssr, rel=1e-10)

    # Statistic: the smallest a whose lines a (sqrt(m) + 2i / sqrt(m)) (statsmodels'
    # band at a = 0.948) hold the path; the path sits after m + 5p^2 + 5p values.
    status, stat, stat_buf, _ = call(lib, "trova_cusum_stat", y, X, T, p)
    assert status == 0
    assert stat[0] == pytest.approx(np.max(np.abs(np.cumsum(w) / sigma) * 0.948 / band), rel=1e-10)
    assert not gapless or (stat_buf[m + 5 * p * p + 5 * p:][:m] == series).all()


@pytest.mark.parametrize("T", [2, 9, 40])
def test_constant_regressor_residuals_are_scaled_mean_errors(lib, rng, T):
    y = rng.standard_normal(T) * 3.0 + 1.0
    status, w, _, _ = call(lib, "trova_recursive_residuals", y, np.ones((T, 1)), T, 1, out_len=T - 1)
    t = np.arange(1, T)
    want = np.sqrt(t / (t + 1)) * (y[1:] - np.cumsum(y)[:-1] / t)
    assert status == 0
    np.testing.assert_allclose(w, want, rtol=1e-12, atol=1e-13)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # statsmodels' sigma with m = 1
@pytest.mark.parametrize("T,p", [(60, 3), (200, 5), (12, 11)])
def test_cusumsq_matches_squared_share_path(lib, rng, T, p):
    X, y = design(rng, T, p)
    w = recursive_olsresiduals(sm.OLS(y, X).fit())[4][p:]
    share = np.cumsum(w ** 2) / (w ** 2).sum()
    want = np.max(np.abs(share - np.arange(1, T - p + 1) / (T - p))) / np.sqrt(2.0)
    status, stat, _, n_out = call(lib, "trova_cusumsq_stat", y, X, T, p)
    assert status == 0 and n_out == T - p
    assert stat[0] == pytest.approx(want, rel=1e-9, abs=1e-14)


def test_cusumsq_is_zero_for_residuals_of_equal_squares(lib):
    # With a constant regressor, choose each y_t so |w_t| = 1.5 with alternating signs.
    T = 30
    y = np.empty(T)
    y[0] = 2.0
    for t in range(1, T):
        y[t] = y[:t].mean() + (-1.0) ** t * 1.5 * np.sqrt((t + 1) / t)
    status, stat, _, n_out = call(lib, "trova_cusumsq_stat", y, np.ones((T, 1)), T, 1)
    assert status == 0 and n_out == T - 1 and abs(stat[0]) < 1e-14


def chow_reference(y, X, k):
    T, p = X.shape

    def rss(a, b):
        return sm.OLS(y[a:b], X[a:b]).fit().ssr if b - a > p else 0.0

    r1, r2 = rss(0, k), rss(k, T)
    return ((rss(0, T) - r1 - r2) / p) / ((r1 + r2) / (T - 2 * p))


@pytest.mark.parametrize("T,p,k", [(60, 3, 30), (200, 5, 77), (40, 4, 4), (40, 4, 36), (3, 1, 1), (7, 3, 3)])
def test_chow_matches_segment_fits(lib, rng, T, p, k):
    X, y = design(rng, T, p)
    status, stat, _, _ = call(lib, "trova_chow_stat", y, X, T, p, k)
    assert status == 0
    assert stat[0] == pytest.approx(chow_reference(y, X, k), rel=1e-8)


def test_break_detection_and_pvalue(lib, rng):
    T, p, k = 120, 2, 60
    X, y = design(rng, T, p)
    y[k:] += 3.0
    status, stat, _, _ = call(lib, "trova_cusum_stat", y, X, T, p)
    assert status == 0 and lib.trova_cusum_sf(stat[0]) < 0.01
    status, f, _, _ = call(lib, "trova_chow_stat", y, X, T, p, k)
    assert status == 0 and f[0] > 50.0


def test_cusum_sf_matches_scipy_tails(lib):
    a = np.concatenate([np.linspace(-1.0, 3.0, 81), [0.0, 0.948, 1.143, np.inf, np.nan]])
    want = np.minimum(2.0 * (norm.sf(3.0 * a) + np.exp(-4.0 * a * a) * norm.cdf(a)), 1.0)
    got = np.array([lib.trova_cusum_sf(v) for v in a])
    np.testing.assert_allclose(got, want, rtol=1e-13, atol=1e-300, equal_nan=True)
    assert lib.trova_cusum_sf(0.0) == 1.0 and np.isnan(lib.trova_cusum_sf(np.nan))
    assert lib.trova_cusum_sf(0.948) == pytest.approx(0.05, abs=1e-4)
    assert lib.trova_cusum_sf(1.143) == pytest.approx(0.01, abs=1e-5)
    out = np.full(len(a) + 1, SENTINEL)
    lib.trova_cusum_sf_into(tc.ptr(a), len(a), tc.ptr(out))
    assert np.array_equal(out[:-1], got, equal_nan=True) and out[-1] == SENTINEL
    lib.trova_cusum_sf_into(tc.ptr(a), len(a), tc.ptr(a))  # in place
    assert np.array_equal(a, got, equal_nan=True)


def singular_start(rng, T, p):
    X, y = design(rng, T, p)
    X[1] = X[0]  # the first p rows have rank p - 1
    return X, y


def ill_scaled_sample(rng, T, p):
    # First p rows the identity; later rows so large along column 0 that the
    # full-sample Gram matrix fails the factorisation's relative tolerance.
    X, y = np.zeros((T, p)), rng.standard_normal(T)
    X[:p] = np.eye(p)
    X[p:, 0] = 1e9
    return X, y


def rank_deficient_rows(rows):
    """A design whose given rows have a zero last column: fewer than p such rows are singular."""
    def make(rng, T, p):
        X, y = design(rng, T, p)
        X[rows, -1] = 0.0
        return X, y
    return make


def planted(value, in_y=True, row=-1):
    """A design with one NaN or infinity planted in y or in X at `row`."""
    def make(rng, T, p):
        X, y = design(rng, T, p)
        if in_y:
            y[row] = value
        else:
            X[row, -1] = value
        return X, y
    return make


def zero_response(rng, T, p):
    # y = 0: every fit is exact, the recursive residuals and all sums of squares are 0.
    X, _ = design(rng, T, p)
    return X, np.zeros(T)


FAILURES = [  # kernel, (T, p[, t_break]), data maker, status
    ("trova_recursive_residuals", (0, 0), design, -5),
    ("trova_recursive_residuals", (4, 4), design, -5),
    ("trova_recursive_residuals", (9, 3), singular_start, 1),
    ("trova_recursive_residuals", (9, -1), design, -5),
    ("trova_cusum_series", (0, 0), design, -5),
    ("trova_cusum_series", (3, 5), design, -5),
    ("trova_cusum_series", (9, 3), singular_start, 1),
    ("trova_cusum_series", (9, 2), ill_scaled_sample, 1),
    ("trova_cusum_stat", (0, 0), design, -5),
    ("trova_cusum_stat", (5, 5), design, -5),
    ("trova_cusum_stat", (9, 3), singular_start, 1),
    ("trova_cusum_stat", (9, 2), ill_scaled_sample, 1),
    ("trova_cusumsq_stat", (0, 0), design, -5),
    ("trova_cusumsq_stat", (5, 6), design, -5),
    ("trova_cusumsq_stat", (9, 3), singular_start, 1),
    ("trova_chow_stat", (6, 3, 3), design, -5),
    ("trova_chow_stat", (9, -1, 3), design, -5),
    ("trova_chow_stat", (9, 0, 3), design, -5),  # no regressor: no restriction to test
    ("trova_chow_stat", (9, 2, 0), design, -7),
    ("trova_chow_stat", (9, 2, 9), design, -7),
    ("trova_chow_stat", (9, 2, -4), design, -7),
    ("trova_chow_stat", (9, 3, 2), rank_deficient_rows(slice(0, 2)), 1),
    ("trova_chow_stat", (9, 3, 7), rank_deficient_rows(slice(7, 9)), 1),
    ("trova_chow_stat", (12, 3, 6), rank_deficient_rows(slice(6, 12)), 1),
    ("trova_chow_stat", (12, 3, 6), rank_deficient_rows(slice(None)), 1),
    # A NaN or an infinity anywhere in y or X: -3 before anything is computed,
    # also where no factorisation would see it (a late row of y).
    *[(name, (40, 3, 10) if name == "trova_chow_stat" else (40, 3), make, -3)
      for name in ("trova_recursive_residuals", "trova_cusum_series", "trova_cusum_stat", "trova_cusumsq_stat",
                   "trova_chow_stat")
      for make in (planted(np.nan), planted(np.nan, row=0), planted(np.inf, row=20), planted(-np.inf, False),
                   planted(np.nan, False, row=1))],
    # Argument checks come before the scan of the data.
    ("trova_cusum_stat", (3, 3), planted(np.nan), -5),
    ("trova_chow_stat", (40, 3, 0), planted(np.nan), -7),
    # Samples without spread: an exact full-sample fit, zero recursive
    # residuals, 0 / 0 for the Chow F.
    ("trova_cusum_series", (30, 2), zero_response, -3),
    ("trova_cusum_stat", (30, 2), zero_response, -3),
    ("trova_cusumsq_stat", (30, 2), zero_response, -3),
    ("trova_chow_stat", (30, 2, 12), zero_response, -3),
]


@pytest.mark.parametrize("name,dims,make,want", FAILURES)
def test_failure_statuses_and_outputs(lib, rng, name, dims, make, want):
    T, p = dims[:2]
    X, y = make(rng, max(T, 1), max(p, 1))
    m = T - p
    is_stat = name.endswith("_stat")
    status, out, _, n_out = call(lib, name, y, X, T, p, *dims[2:], out_len=1 if is_stat else m)
    assert status == want
    if is_stat:
        assert np.isnan(out[0])
    else:
        assert (out == SENTINEL).all()  # residuals and path are not written
    if name == "trova_cusumsq_stat":
        assert n_out == (0 if want == -5 else m)


I64_MAX = 2 ** 63 - 1


@pytest.mark.parametrize("T,p", [(0, 0), (1, 0), (10, 3), (3, 10), (1000, 25), (5, -1), (2 ** 62 - 10, 1),
                                 (2 ** 62, 2), (10, 2 ** 31), (1358187913, 1358187912), (1358187914, 1358187913),
                                 (I64_MAX, -1), (-(2 ** 62), 2 ** 62)])
def test_sizers_follow_their_formulas_or_report_overflow(lib, gapless, T, p):
    if not gapless:
        pytest.skip("layout gaps change the sizes")
    def fits(v):
        return v if -2 ** 63 <= v <= I64_MAX else -1
    wrapped = fits(T - p) == -1
    assert lib.trova_cusum_arena_size(T, p).n_float == (-1 if wrapped else fits(2 * T + p * (5 * p + 3)))
    assert lib.trova_cusumsq_arena_size(T, p).n_float == (-1 if wrapped else fits(T + p * (3 * p + 2)))
    assert lib.trova_chow_arena_size(p).n_float == fits(2 * (p + p * p))
    for size in (lib.trova_cusum_arena_size(T, p), lib.trova_cusumsq_arena_size(T, p), lib.trova_chow_arena_size(p)):
        assert size.n_int == (0 if size.n_float != -1 else -1)
