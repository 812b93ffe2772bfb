"""The diagnostic test steps: each equals its kernel on the lane its
bindings fill, reports the test's status as data and never fails the
replication, and a simulation -> OLS -> Ljung-Box / Jarque-Bera pipeline
matches statsmodels on the residuals."""
import ctypes

import numpy as np
import pytest
import statsmodels.api as sm
from statsmodels.stats.diagnostic import acorr_ljungbox
from statsmodels.stats.stattools import jarque_bera
from Tessaroventa._ckernels.monte_carlo import _arena

import trova_ctypes as tc

WALD_TESTS = {0: "mean", 1: "covariance", 2: "second_moment", 5: "second_moment"}


def run(lib, name, ctx, lane, n_int_work=0, out_fill=5.0):
    out = np.full(2, out_fill)
    status = np.array([99], dtype=np.int64)
    iw = np.zeros(max(n_int_work, 1), dtype=np.int64)
    rc = getattr(lib, f"trova_mc_{name}_test_runner")(0, tc.ptr(lane), tc.ptr(out), tc.ptr(iw), tc.ptr(status),
                                                        ctypes.addressof(ctx))
    assert rc == 0 and out[1] == out_fill  # one statistic written, the replication continues
    return out[0], int(status[0])


def regression_lane(y, X, arena_floats, extra=0):
    """y | X (| `extra` floats, the Breusch-Pagan step's design with its
    intercept), placed as the library places them, then the arena."""
    return np.concatenate([tc.pack([y, X, np.full(extra, np.nan)]), np.full(arena_floats, np.nan)])


@pytest.mark.parametrize("kind", sorted(WALD_TESTS))
@pytest.mark.parametrize("kernel,mode", [(0, 1), (1, 2), (2, 3), (0, 0)])
def test_wald_step_is_the_chosen_test(lib, rng, kind, kernel, mode):
    n, q = 120, 3
    g = rng.standard_normal((n, q)) + 0.1
    target = np.zeros(q) if kind == 0 else np.eye(q)
    test = WALD_TESTS[kind]
    size = getattr(lib, f"trova_wald_{test}_hac_arena_size")(n, q)
    lane = np.concatenate([tc.pack([g]), np.full(size.n_float, np.nan)])
    ctx = tc.trova_mc_wald_test_ctx(tc.ptr(target), n, q, 4, kernel, mode, kind)
    stat, status = run(lib, "wald", ctx, lane, size.n_int)
    arena, piv, ref = np.zeros(size.n_float), np.zeros(size.n_int, dtype=np.int64), np.zeros(1)
    want = getattr(lib, f"trova_wald_{test}_hac")(tc.ptr(g), tc.ptr(target), n, q, kernel, mode, 4, tc.ptr(arena),
                                                  tc.ptr(piv), tc.ptr(ref))
    assert (status, stat) == (want, ref[0]) and status == 0 and stat > 0
    # A test that stops before writing its statistic leaves NaN, not the
    # lane's previous value.
    bad = tc.trova_mc_wald_test_ctx(tc.ptr(target), n, q, 4, 7, mode, kind)
    stat, status = run(lib, "wald", bad, lane, size.n_int)
    assert status == -7 and np.isnan(stat)


def test_residual_and_stability_steps_equal_their_kernels(lib, rng):
    n, k = 80, 3
    X = rng.standard_normal((n, k))
    y = X @ np.array([1.0, -0.5, 0.2]) + rng.standard_normal(n) * (1 + 0.5 * np.abs(X[:, 0]))
    e = y - X @ np.linalg.lstsq(X, y, rcond=None)[0]
    Xc = np.column_stack([np.ones(n), X])
    # Ljung-Box (with lags >= n it uses n - 1) and Jarque-Bera.
    for lags in (6, 500):
        size = lib.trova_lb_arena_size(n, lags).n_float
        stat, status = run(lib, "ljung_box", tc.trova_mc_ljung_box_test_ctx(n, lags),
                           np.concatenate([tc.pack([e]), np.full(size, np.nan)]))
        want = acorr_ljungbox(e, lags=[min(lags, n - 1)])["lb_stat"].iloc[0]
        assert status == 0 and stat == pytest.approx(want, rel=1e-10)
    stat, status = run(lib, "jarque_bera", tc.trova_mc_jarque_bera_test_ctx(n), e.copy())
    assert status == 0 and stat == pytest.approx(jarque_bera(e)[0], rel=1e-10)
    stat, status = run(lib, "jarque_bera", tc.trova_mc_jarque_bera_test_ctx(8), e[:8].copy())
    assert status == -5 and np.isfinite(stat)
    # Breusch-Pagan: the step adds the constant to X.
    for robust in (0, 1):
        size = lib.trova_bp_arena_size(n, k + 1).n_float
        stat, status = run(lib, "breusch_pagan", tc.trova_mc_breusch_pagan_test_ctx(n, k, robust),
                           regression_lane(e, X, size, extra=n * (k + 1)))
        ref, arena = np.zeros(1), np.zeros(size)
        assert lib.trova_bp_stat(tc.ptr(e), tc.ptr(Xc), n, k + 1, robust, tc.ptr(arena), tc.ptr(ref)) == 0
        assert status == 0 and stat == ref[0]
    size = lib.trova_bp_arena_size(n, 1).n_float
    stat, status = run(lib, "breusch_pagan", tc.trova_mc_breusch_pagan_test_ctx(n, 0, 0),
                       regression_lane(e, np.zeros((n, 0)), size, extra=n))
    assert status == 0 and abs(stat) < 1e-10  # a constant alone explains nothing
    # Breusch-Godfrey, CUSUM, CUSUMSQ, Chow on (y, X).
    size = lib.trova_bg_arena_size(n, k, 4).n_float
    stat, status = run(lib, "breusch_godfrey", tc.trova_mc_breusch_godfrey_test_ctx(n, k, 4),
                       regression_lane(e, X, size))
    ref, arena = np.zeros(1), np.zeros(size)
    assert lib.trova_bg_stat(tc.ptr(e), tc.ptr(X), n, k, 4, tc.ptr(arena), tc.ptr(ref)) == 0
    assert status == 0 and stat == ref[0]
    for name, sizer, call in [
        ("cusum", lib.trova_cusum_arena_size,
         lambda a, r: lib.trova_cusum_stat(tc.ptr(y), tc.ptr(X), n, k, tc.ptr(a), tc.ptr(r))),
        ("cusumsq", lib.trova_cusumsq_arena_size,
         lambda a, r: lib.trova_cusumsq_stat(tc.ptr(y), tc.ptr(X), n, k, tc.ptr(np.zeros(1, dtype=np.int64)),
                                             tc.ptr(a), tc.ptr(r))),
    ]:
        size = sizer(n, k).n_float
        stat, status = run(lib, name, getattr(tc, f"trova_mc_{name}_test_ctx")(n, k), regression_lane(y, X, size))
        ref, arena = np.zeros(1), np.zeros(size)
        assert call(arena, ref) == 0 and status == 0 and stat == ref[0]
    size = lib.trova_chow_arena_size(k).n_float
    stat, status = run(lib, "chow", tc.trova_mc_chow_test_ctx(n, k, 40), regression_lane(y, X, size))
    ref, arena = np.zeros(1), np.zeros(size)
    assert lib.trova_chow_stat(tc.ptr(y), tc.ptr(X), n, k, 40, tc.ptr(arena), tc.ptr(ref)) == 0
    assert status == 0 and stat == ref[0]
    stat, status = run(lib, "chow", tc.trova_mc_chow_test_ctx(n, k, 0), regression_lane(y, X, size))
    assert status == -7 and np.isnan(stat)


def test_simulation_ols_residual_diagnostics_pipeline(lib):
    # An AR(1) regressor x and y = 1 + 0.5 x + noise from one shock plan; OLS
    # of y on (1, x); a residual step; Ljung-Box and Jarque-Bera on the
    # residuals, equal to statsmodels' for every replication and team.
    T, n_rep = 60, 10
    A, B = np.array([[0.7, 0.0], [0.0, 0.0]]), np.array([[1.0, 0.0], [0.5, 1.0]])
    plan = tc.ShockPlan(T, 2, [{"columns": [0, 1], "factor": np.eye(2), "key": 12, "idx": 0}])
    size = lib.trova_simulate_order1_arena_size(2, 2, T, 0)
    sim = tc.trova_mc_simulate_order1_step_ctx(tc.trova_measurement_fn(), T, 2, 2, 0, 0, ctypes.pointer(plan.plan),
                                               size)
    ols = tc.trova_mc_ols_step_ctx(T, 2, 1)

    @tc.trova_mc_step_fn
    def residuals(rep, lane, out, iw, io, ctx):
        v = np.ctypeslib.as_array(lane, shape=(3 * T + 2,))
        X, y, coef = v[:2 * T].reshape(T, 2), v[2 * T:3 * T], v[3 * T:]
        np.ctypeslib.as_array(out, shape=(T,))[:] = y - X @ coef
        return 0

    lb = tc.trova_mc_ljung_box_test_ctx(T, 5)
    jb = tc.trova_mc_jarque_bera_test_ctx(T)
    rows = {}
    for workers in (1, 2):
        p = tc.Pipeline(n_rep, workers)
        p._keep += [plan, residuals]
        s0 = p.add_step(tc.fn_address(lib, "trova_mc_simulate_order1_runner"), sim, n_in=size + plan.scratch_size(),
                        n_out=2 * T, n_int_out=1)
        at = 0
        for block in (A, B, np.zeros(2)):  # A | B | x0
            at = p.bind_static(s0, at, block)
        ols_out, ols_at = tc.block_offsets("trova_mc_regression_output_offsets", 2, 1)
        s1 = p.add_step(tc.fn_address(lib, "trova_mc_ols_runner"), ols,
                        n_in=lib.trova_mc_ols_work_arena_size(T, 2).n_float, n_out=ols_out, n_int_out=1)
        lane = tc.Layout()  # X (T x 2) | y (T) | work
        x_at, y_at = lane.take(T, 2), lane.take(T)
        p.bind(s1, -1, x_at, n_rows=T, n_columns=1, target_row_stride=2, fill_value=1.0)
        p.bind(s1, s0, x_at + 1, n_rows=T, columns=[0], source_row_stride=2, target_row_stride=2)
        p.bind(s1, s0, y_at, n_rows=T, columns=[1], source_row_stride=2, target_row_stride=1)
        s2 = p.add_step(residuals, None, n_in=3 * T + 2, n_out=T)
        p.bind(s2, -1, 0, n_rows=T, n_columns=1, target_row_stride=2, fill_value=1.0)
        p.bind(s2, s0, 1, n_rows=T, columns=[0], source_row_stride=2, target_row_stride=2)
        p.bind(s2, s0, 2 * T, n_rows=T, columns=[1], source_row_stride=2, target_row_stride=1)
        p.bind(s2, s1, 3 * T, columns=[0, 1], source_offset=ols_at["coef"], source_row_stride=ols_out)
        s3 = p.add_step(tc.fn_address(lib, "trova_mc_ljung_box_test_runner"), lb,
                        n_in=_arena.diagnostic_arena_size("ljung_box", T, lags=5)[0], n_out=1, n_int_out=1)
        p.bind(s3, s2, 0, n_rows=T, columns=[0], source_row_stride=1, target_row_stride=1)
        s4 = p.add_step(tc.fn_address(lib, "trova_mc_jarque_bera_test_runner"), jb, n_in=T, n_out=1, n_int_out=1)
        p.bind(s4, s2, 0, n_rows=T, columns=[0], source_row_stride=1, target_row_stride=1)
        assert p.run() == 0
        np.testing.assert_array_equal(p.failure_step, -1)
        rows[workers] = p
    a, b = rows[1], rows[2]
    assert all(a.steps[s]["retained"].tobytes() == b.steps[s]["retained"].tobytes() for s in range(5))
    for r in range(n_rep):
        states = a.steps[0]["retained"][r].reshape(T, 2)
        fit = sm.OLS(states[:, 1], sm.add_constant(states[:, 0])).fit()
        np.testing.assert_allclose(a.steps[2]["retained"][r], fit.resid, rtol=0, atol=1e-12)
        assert a.steps[3]["retained"][r][0] == pytest.approx(acorr_ljungbox(fit.resid, lags=[5])["lb_stat"].iloc[0],
                                                             rel=1e-9)
        assert a.steps[4]["retained"][r][0] == pytest.approx(jarque_bera(fit.resid)[0], rel=1e-9)
        assert a.steps[3]["int_retained"][r][0] == 0 and a.steps[4]["int_retained"][r][0] == 0
