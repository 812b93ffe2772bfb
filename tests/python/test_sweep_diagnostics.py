"""One sweep over the diagnostics' shapes and branches: every kernel and its
pipeline step against statsmodels, SciPy or a plain NumPy reading.

Each case draws one regime (q = 1, p = 1, n at the minimum, lags 0, 1, close
to n and beyond it, T = p + 1, every kernel and bandwidth mode) and data that
reach the branches plain samples never do: a long-run covariance whose
Cholesky factor fails the tolerance (the LU fallback), a rank-deficient or
square auxiliary regression, residuals that are all zero, NaN and infinite
inputs. The kernel runs in buffers exactly as long as its sizer says, the
step in a lane exactly as long as the arena module says, both between guard
cells; the step must report the kernel's status and statistic bit for bit.
"""
import zlib

import numpy as np
import pytest
import statsmodels.api as sm
from scipy.stats import norm
from statsmodels.stats.diagnostic import (acorr_breusch_godfrey, acorr_ljungbox, het_breuschpagan,
                                          recursive_olsresiduals)
from statsmodels.stats.stattools import jarque_bera
from statsmodels.tsa.stattools import acf
from Tessaroventa._ckernels.monte_carlo import _arena

import trova_ctypes as tc
import wald_cases as wc
from test_bad_inputs import diag_step as step
from test_bad_inputs import guarded
from test_diag import ref_isf, ref_pval
from test_diag_cusum import refit_residuals

SENT = -321.5
EPS = np.finfo(float).eps


def sweep_rng(case):
    return np.random.default_rng(zlib.crc32(repr(case).encode()))


def same(a, b):
    """Bit-for-bit equal statistics (NaN equal to NaN)."""
    return a == b or (np.isnan(a) and np.isnan(b))


# ---- Wald tests and the HAC estimator ----

def wald_data(rng, kind, n, q, flavour):
    """g and a target near its moment (from the data before any NaN is planted)."""
    g = rng.standard_normal((n, q))
    g[1:] += 0.5 * g[:-1]  # serial correlation for the bandwidth rules
    g += np.arange(1.0, q + 1) * 0.1
    if flavour == "scaled":
        # One moment 1e-9 times smaller: Omega's pivot falls below the
        # Cholesky tolerance p * eps * max diag, and the LU solves.
        g[:, -1] *= 1e-9
    target = 0.1 * np.arange(1.0, q + 1) if kind == "mean" else np.cov(g.T, bias=True).reshape(q, q) * 0.9
    if kind == "second_moment":
        target = target + np.outer(g.mean(0), g.mean(0))
    if flavour == "nan":
        g[n // 2, q - 1] = np.nan
    elif flavour == "inf":
        g[0, 0] = -np.inf
    return np.ascontiguousarray(g), np.ascontiguousarray(target)


def check_wald(lib, rng, kind, n, q, kernel, mode, manual, flavour):
    g, target = wald_data(rng, kind, n, q, flavour)
    size = getattr(lib, f"trova_wald_{kind}_hac_arena_size")(n, q)
    arena, piv, out = guarded(size.n_float), guarded(size.n_int, 0, np.int64), guarded(1, SENT)
    status = getattr(lib, f"trova_wald_{kind}_hac")(tc.ptr(g), tc.ptr(target), n, q, kernel, mode, manual,
                                                   arena.p, piv.p, out.p)
    arena.check(), piv.check(), out.check()
    W = out.a[0]
    m, _ = wc.moments(kind, g, target)
    r = m - m.mean(0)
    L = wc.bandwidth(r, kernel, mode, manual)
    Om = wc.omega(r, kernel, L)
    if flavour in ("nan", "inf") or (flavour != "scaled" and np.linalg.matrix_rank(Om) < Om.shape[0]):
        # NaN in Omega, or constant moments (a covariance of two rows): no factor.
        assert status == -2 and np.isnan(W)
    else:
        want = wc.wald(kind, g, target, kernel, mode, manual)[0]
        assert status == 0, status
        # The library's own pieces on the same centred moments: bandwidth
        # rule and long-run covariance.
        p = r.shape[1]
        ls = guarded(p)
        rc = np.ascontiguousarray(r)
        if mode in (wc.ANDREWS, wc.AUTO) and not (mode == wc.AUTO and kernel == wc.BARTLETT):
            assert min(lib.andrews_bandwidth_matrix(tc.ptr(rc), kernel, n, p, ls.p), n - 1) == L
        elif mode != wc.MANUAL:
            assert min(lib.wooldridge_bandwidth(None, n), n - 1) == L
        ls.check()
        gamma, got = guarded(p * p), guarded(p * p)
        lib.trova_hac_estimator_matmul(tc.ptr(rc), kernel, L, n, p, gamma.p, got.p)
        gamma.check(), got.check()
        scale = np.abs(r.T @ r / n).max()
        np.testing.assert_allclose(got.a.reshape(p, p), Om, rtol=1e-10, atol=1e-12 * scale)
        d = np.linalg.cholesky(Om).diagonal() ** 2 if np.all(np.linalg.eigvalsh(Om) > 0) else np.zeros(1)
        if flavour == "scaled":
            assert d.min() <= p * EPS * Om.diagonal().max()  # the Cholesky branch cannot take it
        # The statistic to the accuracy Omega's conditioning allows (a QS
        # window truncated at n - 1 can leave it nearly singular).
        rel = max(1e-9, 1e-14 * np.linalg.cond(Om)) if flavour != "scaled" else 1e-7
        assert W == pytest.approx(want, rel=rel, abs=1e-12)
    # The step: g at the start of the lane, the arena after it.
    lane_size, n_int = _arena.diagnostic_arena_size(f"wald_{kind}", n, q)
    assert n_int == size.n_int
    ctx = tc.trova_mc_wald_test_ctx(tc.ptr(target), n, q, manual, kernel, mode, wc.KINDS.index(kind))
    st, v = step(lib, "wald", ctx, lane_size, g.ravel(), n_int)
    assert st == status and same(v, W)


WALD_CASES = []
for kind in wc.KINDS:
    for kernel in wc.KERNELS:
        for mode in wc.MODES:
            WALD_CASES.append(("wald", kind, 50, 2, kernel, mode, 5, "plain"))
        # n at the minimum, lags 0, capped lags, one moment.
        WALD_CASES += [("wald", kind, 2, 1, kernel, wc.MANUAL, 0, "plain"),
                       ("wald", kind, 2, 1, kernel, wc.MANUAL, 7, "plain"),
                       ("wald", kind, 3, 1, kernel, wc.AUTO, 0, "plain"),
                       ("wald", kind, 30, 1, kernel, wc.MANUAL, 29, "plain"),
                       ("wald", kind, 30, 3, kernel, wc.MANUAL, 2**62, "plain")]
    WALD_CASES += [("wald", kind, 40, 2, wc.PARZEN, wc.ANDREWS, 0, "nan"),
                   ("wald", kind, 40, 2, wc.QS, wc.MANUAL, 3, "inf")]
WALD_CASES += [("wald", "mean", 60, q, kernel, wc.MANUAL, 4, "scaled") for q in (2, 3) for kernel in wc.KERNELS]
# More than 128 moment columns: the lags go through one product per lag.
WALD_CASES += [("wald", "mean", 140, 130, wc.BARTLETT, wc.MANUAL, 3, "plain")]


# ---- Ljung-Box, autocorrelations and Jarque-Bera ----

def series(rng, n, flavour):
    x = rng.standard_normal(n)
    x[1:] += 0.4 * x[:-1]
    if flavour == "nan":
        x[n - 1] = np.nan
    elif flavour == "inf":
        x[0] = np.inf
    elif flavour == "constant":
        x[:] = 2.5
    return x


def check_ljung_box(lib, rng, n, L, flavour):
    x = series(rng, n, flavour)
    arena, out = guarded(lib.trova_lb_arena_size(n, L).n_float), guarded(1, SENT)
    status = lib.trova_lb_stat(tc.ptr(x), n, L, arena.p, tc.ptr(arena.a[n:]) if n else arena.p, out.p)
    arena.check(), out.check()
    Q = out.a[0]
    Lc = min(L, n - 1)
    if n < 2:
        assert status == -5 and np.isnan(Q)
    elif L < 1:
        assert status == -4 and np.isnan(Q)
    elif flavour != "plain":
        assert status == -3 and np.isnan(Q)
    else:
        assert status == 0
        np.testing.assert_allclose(arena.a[:n], x - x.mean(), rtol=0, atol=1e-14)
        np.testing.assert_allclose(arena.a[n:n + Lc + 1], acf(x, nlags=Lc, fft=False), rtol=1e-11, atol=1e-14)
        assert Q == pytest.approx(acorr_ljungbox(x, lags=[Lc])["lb_stat"].iloc[0], rel=1e-10)
    # trova_acorr on its own with lags beyond the sample: zeros there.
    if n >= 1 and L >= 0:
        z, ac = guarded(n), guarded(L + 3)
        st = lib.trova_acorr(tc.ptr(x), n, L + 3 - 1, z.p, ac.p)
        z.check(), ac.check()
        if flavour == "plain" and n >= 2:
            assert st == 0
            k = min(L + 2, n - 1)
            np.testing.assert_allclose(ac.a[:k + 1], acf(x, nlags=k, fft=False), rtol=1e-11, atol=1e-14)
            assert (ac.a[k + 1:] == 0.0).all()
        else:
            assert st == -3 and np.isnan(ac.a).all()
    lane_size, _ = _arena.diagnostic_arena_size("ljung_box", n, 0, L)
    st, v = step(lib, "ljung_box", tc.trova_mc_ljung_box_test_ctx(n, L), lane_size, x)
    assert st == status and same(v, Q)


def check_jarque_bera(lib, rng, n, flavour):
    x = series(rng, n, flavour) ** 3 if flavour == "plain" else series(rng, n, flavour)
    out = guarded(1, SENT)
    status = lib.trova_jb_stat(tc.ptr(x), n, out.p)
    out.check()
    JB = out.a[0]
    if n == 0:
        assert status == -5 and np.isnan(JB)
    elif flavour != "plain" or n == 1:
        assert status == -3 and np.isnan(JB)
    else:
        assert status == (-5 if n < 10 else 0)
        stat, pv, skew, kurt = jarque_bera(x)
        assert JB == pytest.approx(stat, rel=1e-10)
        # The table look-ups: the p-value of this statistic and the critical
        # values at this n, against a NumPy reading of the interpolation.
        assert lib.trova_jb_pval_interp(n, JB) == pytest.approx(ref_pval(n, np.array([JB]))[0], rel=1e-12)
        probs = np.array([0.0001, 0.003, 0.05, 0.5, 0.93, 0.9999])
        got = np.array([lib.trova_jb_isf_interp(n, p) for p in probs])
        np.testing.assert_allclose(got, ref_isf(n, probs), rtol=1e-12)
    st, v = step(lib, "jarque_bera", tc.trova_mc_jarque_bera_test_ctx(n), _arena.diagnostic_arena_size(
        "jarque_bera", n)[0], x)
    assert st == status and same(v, JB)


LB_CASES = [("ljung_box", n, L, "plain") for n, L in ((2, 1), (2, 5), (3, 2), (30, 1), (30, 29), (30, 30),
                                                      (30, 500), (30, 0), (1, 1), (0, 3), (40, 12))]
LB_CASES += [("ljung_box", 20, 4, f) for f in ("nan", "inf", "constant")]
JB_CASES = [("jarque_bera", n, "plain") for n in (0, 1, 2, 3, 9, 10, 11, 50, 400)]
JB_CASES += [("jarque_bera", 25, f) for f in ("nan", "inf", "constant")]


# ---- Breusch-Pagan and Breusch-Godfrey ----

def ols_residuals(rng, n, k, flavour):
    X = rng.standard_normal((n, k))
    if flavour == "collinear" and k >= 2:
        X[:, -1] = X[:, 0]
    y = X @ np.linspace(0.5, -0.5, k) + 1.0 + rng.standard_normal(n) * (1 + 0.8 * np.abs(X[:, 0] if k else 0))
    A = np.column_stack([np.ones(n), X])
    e = y - A @ np.linalg.lstsq(A, y, rcond=None)[0]
    if flavour == "zero":
        e[:] = 0.0
    elif flavour == "nan_eps":
        e[n - 1] = np.nan  # the last residual never enters a lagged column
    elif flavour == "inf_x" and k:
        X[n // 2, 0] = np.inf
        A[n // 2, 1] = np.inf
    return np.ascontiguousarray(X), e, A


def check_breusch_pagan(lib, rng, n, k, flavour):
    X, e, A = ols_residuals(rng, n, k, flavour)
    p = k + 1
    outs = {}
    for robust in (0, 1):
        arena, out = guarded(lib.trova_bp_arena_size(n, p).n_float), guarded(1, SENT)
        status = lib.trova_bp_stat(tc.ptr(e), tc.ptr(A), n, p, robust, arena.p, out.p)
        arena.check(), out.check()
        outs[robust] = (status, out.a[0])
    rss, tss = guarded(1, SENT), guarded(1, SENT)
    arena = guarded(lib.trova_bp_arena_size(n, p).n_float)
    aux = lib.trova_bp_aux(tc.ptr(e), tc.ptr(A), n, p, arena.p, rss.p, tss.p)
    arena.check(), rss.check(), tss.check()
    if flavour in ("zero", "nan_eps", "inf_x") and not (flavour == "inf_x" and k == 0):
        assert aux == -3 and outs[0][0] == outs[1][0] == -3
        assert np.isnan(outs[0][1]) and np.isnan(outs[1][1]) and rss.untouched(SENT) and tss.untouched(SENT)
    elif np.linalg.matrix_rank(A) < p:
        assert aux == 1 and outs[0][0] == outs[1][0] == 1 and np.isnan(outs[0][1]) and np.isnan(outs[1][1])
    else:
        u = e**2 / np.mean(e**2)
        fit = u - A @ np.linalg.lstsq(A, u, rcond=None)[0]
        want_rss, want_tss = fit @ fit, ((u - u.mean()) ** 2).sum()
        assert aux == 0
        assert rss.a[0] == pytest.approx(want_rss, rel=1e-9, abs=1e-12 * n)
        assert tss.a[0] == pytest.approx(want_tss, rel=1e-12)
        half_ess, r2 = (want_tss - want_rss) / 2, 1 - want_rss / want_tss
        assert outs[0] == (0, pytest.approx(max(half_ess, 0.0), rel=1e-9, abs=1e-10 * n))
        assert outs[1] == (0, pytest.approx(n * max(r2, 0.0), rel=1e-9, abs=1e-10 * n))
        if k >= 1:
            sm_std, sm_rob = het_breuschpagan(e, A, robust=False)[0], het_breuschpagan(e, A, robust=True)[0]
            assert outs[0][1] == pytest.approx(sm_std, rel=1e-8, abs=1e-10)
            assert outs[1][1] == pytest.approx(sm_rob, rel=1e-8, abs=1e-10)
    lane_size, _ = _arena.diagnostic_arena_size("breusch_pagan", n, k)
    for robust in (0, 1):
        ctx = tc.trova_mc_breusch_pagan_test_ctx(n, k, robust)
        st, v = step(lib, "breusch_pagan", ctx, lane_size, tc.pack([e, X]))
        assert st == outs[robust][0] and same(v, outs[robust][1])


def check_breusch_godfrey(lib, rng, n, k, lags, flavour):
    X, e, A = ols_residuals(rng, n, k, flavour)
    arena, out = guarded(lib.trova_bg_arena_size(n, k, lags).n_float), guarded(1, SENT)
    status = lib.trova_bg_stat(tc.ptr(e), tc.ptr(X), n, k, lags, arena.p, out.p)
    arena.check(), out.check()
    v = out.a[0]
    if lags >= n:
        assert status == -5 and np.isnan(v)
    elif flavour in ("nan_eps", "inf_x") and not (flavour == "inf_x" and k == 0):
        assert status == -3 and np.isnan(v)
    elif flavour == "zero":
        assert (status, v) == (0, 0.0)
    else:
        lagged = [np.r_[np.zeros(l), e[:n - l]] for l in range(1, lags + 1)]
        D = np.column_stack([A] + lagged)
        if np.linalg.matrix_rank(D) < D.shape[1]:
            assert status == 1 and np.isnan(v)
        else:
            fit = e - D @ np.linalg.lstsq(D, e, rcond=None)[0]
            want = n * (1 - fit @ fit / (e @ e))
            assert status == 0 and v == pytest.approx(want, rel=1e-8, abs=1e-9 * n)
            if 0 < lags and D.shape[1] < n - 1:
                # OLS residuals with an intercept: statsmodels' centred R^2 is the same.
                res = sm.OLS(A @ np.ones(k + 1) + e, A).fit()
                assert v == pytest.approx(acorr_breusch_godfrey(res, nlags=lags)[0], rel=1e-7, abs=1e-8 * n)
    lane_size, _ = _arena.diagnostic_arena_size("breusch_godfrey", n, k, lags)
    st, sv = step(lib, "breusch_godfrey", tc.trova_mc_breusch_godfrey_test_ctx(n, k, lags), lane_size,
                  tc.pack([e, X]))
    assert st == status and same(sv, v)


BP_CASES = [("breusch_pagan", n, k, "plain") for n, k in ((30, 0), (30, 1), (60, 3), (6, 4), (5, 4), (3, 1))]
BP_CASES += [("breusch_pagan", 40, 3, f) for f in ("collinear", "zero", "nan_eps", "inf_x")]
BG_CASES = [("breusch_godfrey", n, k, lags, "plain")
            for n, k, lags in ((40, 2, 1), (40, 2, 0), (40, 0, 1), (80, 3, 6), (12, 0, 11), (12, 2, 9), (12, 2, 10),
                               (12, 0, 12), (3, 1, 1), (2, 0, 1))]
BG_CASES += [("breusch_godfrey", 30, 2, lags, f) for lags in (0, 3) for f in ("collinear", "zero", "nan_eps", "inf_x")]


# ---- recursive residuals, CUSUM, CUSUMSQ, Chow ----

def regression(rng, T, p, flavour):
    X = rng.standard_normal((T, p))
    X[:, 0] = 1.0
    y = X @ np.linspace(1.0, -1.0, p) + rng.standard_normal(T) * 0.7
    y[T // 2:] += 0.8  # a break for the stability tests to see
    if flavour == "singular_start" and p >= 2:
        X[1] = X[0]
    elif flavour == "nan_y":
        y[T - 1] = np.nan
    elif flavour == "inf_x":
        X[T - 1, p - 1] = -np.inf
    elif flavour == "exact":
        y = X @ np.linspace(1.0, -1.0, p) * 0.0
    return np.ascontiguousarray(X), y


def check_stability(lib, rng, T, p, t_break, flavour):
    X, y = regression(rng, T, p, flavour)
    m = T - p
    bad = flavour in ("nan_y", "inf_x")
    singular = np.linalg.matrix_rank(X[:p]) < p
    # Recursive residuals, in the leading part of the CUSUMSQ arena.
    sq_size, cu_size = lib.trova_cusumsq_arena_size(T, p).n_float, lib.trova_cusum_arena_size(T, p).n_float
    arena, w = guarded(sq_size), guarded(m, SENT)
    st_w = lib.trova_recursive_residuals(tc.ptr(y), tc.ptr(X), T, p, arena.p, w.p)
    arena.check(), w.check()
    arena, path = guarded(cu_size), guarded(m, SENT)
    st_path = lib.trova_cusum_series(tc.ptr(y), tc.ptr(X), T, p, arena.p, path.p)
    arena.check(), path.check()
    arena, cus = guarded(cu_size), guarded(1, SENT)
    st_cus = lib.trova_cusum_stat(tc.ptr(y), tc.ptr(X), T, p, arena.p, cus.p)
    arena.check(), cus.check()
    arena, sq, n_out = guarded(sq_size), guarded(1, SENT), guarded(1, 0, np.int64)
    st_sq = lib.trova_cusumsq_stat(tc.ptr(y), tc.ptr(X), T, p, n_out.p, arena.p, sq.p)
    arena.check(), sq.check(), n_out.check()
    assert n_out.a[0] == m
    if bad or singular:
        want = -3 if bad else 1
        assert st_w == st_path == st_cus == st_sq == want
        assert w.untouched(SENT) and path.untouched(SENT) and np.isnan(cus.a[0]) and np.isnan(sq.a[0])
    else:
        assert st_w == 0
        ref_w = refit_residuals(y, X)
        scale = np.abs(y).max()
        np.testing.assert_allclose(w.a, ref_w, rtol=1e-8, atol=1e-10 * scale)
        if m >= 2:
            sm_w = recursive_olsresiduals(sm.OLS(y, X).fit())[4][p:]
            np.testing.assert_allclose(w.a, sm_w, rtol=1e-8, atol=1e-10 * scale)
        beta = np.linalg.lstsq(X, y, rcond=None)[0]
        sigma = np.sqrt(((y - X @ beta) ** 2).sum() / m)
        if flavour == "exact":
            # No spread: an exact fit leaves no scale, zero residuals no shares.
            assert st_path == st_cus == st_sq == -3 and path.untouched(SENT)
        else:
            assert st_path == st_cus == st_sq == 0
            ref_path = np.cumsum(ref_w) / sigma
            np.testing.assert_allclose(path.a, ref_path, rtol=1e-8, atol=1e-10)
            i = np.arange(m)
            a = np.max(np.abs(ref_path) / (np.sqrt(m) + 2 * i / np.sqrt(m)))
            assert cus.a[0] == pytest.approx(a, rel=1e-8)
            pv = min(2 * (norm.sf(3 * a) + np.exp(-4 * a * a) * norm.cdf(a)), 1.0)
            assert lib.trova_cusum_sf(cus.a[0]) == pytest.approx(pv, rel=1e-8, abs=1e-300)
            s = np.cumsum(ref_w**2) / (ref_w @ ref_w)
            assert sq.a[0] == pytest.approx(np.max(np.abs(s - (i + 1) / m)) / np.sqrt(2), rel=1e-8, abs=1e-12)
    # Chow, where the sample allows it.
    chow_size = lib.trova_chow_arena_size(p).n_float
    arena, F = guarded(chow_size), guarded(1, SENT)
    st_chow = lib.trova_chow_stat(tc.ptr(y), tc.ptr(X), T, p, t_break, arena.p, F.p)
    arena.check(), F.check()
    if 2 * p >= T:
        assert st_chow == -5 and np.isnan(F.a[0])
    elif not 0 < t_break < T:
        assert st_chow == -7 and np.isnan(F.a[0])
    elif bad:
        assert st_chow == -3 and np.isnan(F.a[0])
    elif min(np.linalg.matrix_rank(X[:t_break]), np.linalg.matrix_rank(X[t_break:]), np.linalg.matrix_rank(X)) < p:
        assert st_chow == 1 and np.isnan(F.a[0])
    elif flavour == "exact":
        assert st_chow == -3 and np.isnan(F.a[0])
    else:
        def rss(rows):
            r = y[rows] - X[rows] @ np.linalg.lstsq(X[rows], y[rows], rcond=None)[0]
            return r @ r
        r1, r2, rc = rss(slice(0, t_break)), rss(slice(t_break, T)), rss(slice(0, T))
        want = ((rc - r1 - r2) / p) / ((r1 + r2) / (T - 2 * p))
        assert st_chow == 0 and F.a[0] == pytest.approx(want, rel=1e-7)
    # The three steps on (y, X) lanes sized by the arena module.
    inputs = tc.pack([y, X])
    for name, ctx, status, stat in (
            ("cusum", tc.trova_mc_cusum_test_ctx(T, p), st_cus, cus.a[0]),
            ("cusumsq", tc.trova_mc_cusumsq_test_ctx(T, p), st_sq, sq.a[0]),
            ("chow", tc.trova_mc_chow_test_ctx(T, p, t_break), st_chow, F.a[0])):
        lane_size, _ = _arena.diagnostic_arena_size(name, T, p)
        st, v = step(lib, name, ctx, lane_size, inputs)
        assert st == status and same(v, stat), name


STABILITY_CASES = [("stability", T, p, t_break, "plain")
                   for T, p, t_break in ((2, 1, 1), (3, 1, 1), (5, 4, 2), (7, 3, 3), (7, 3, 4), (7, 3, 2), (30, 1, 15),
                                         (40, 3, 20), (40, 3, 3), (40, 3, 37), (40, 3, 0), (40, 3, 40), (25, 6, 12),
                                         (61, 5, 30))]
STABILITY_CASES += [("stability", 30, 3, 12, f) for f in ("singular_start", "nan_y", "inf_x", "exact")]

CASES = WALD_CASES + LB_CASES + JB_CASES + BP_CASES + BG_CASES + STABILITY_CASES
CHECKS = {"wald": check_wald, "ljung_box": check_ljung_box, "jarque_bera": check_jarque_bera,
          "breusch_pagan": check_breusch_pagan, "breusch_godfrey": check_breusch_godfrey,
          "stability": check_stability}


@pytest.mark.parametrize("case", CASES, ids=["-".join(map(str, c)) for c in CASES])
def test_diagnostics_sweep(lib, case):
    CHECKS[case[0]](lib, sweep_rng(case), *case[1:])
