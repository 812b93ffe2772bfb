"""Linear and extended Kalman filters against statsmodels' state-space filter,
their steps' packed layouts, and filter pipelines through the runner."""
import ctypes

import numpy as np
import pytest

import trova_ctypes as tc
from kalman_cases import HISTORIES, KF_MATRICES, ekf_case, linear_callbacks, linear_model, run_kf
from kalman_cases import close as rel_close
from references import expected_shocks, linear_path, statsmodels_filter

# (n, m, k, T): scalar, more shocks than observables, moderate sizes.
MODELS = [(1, 1, 1, 60), (3, 1, 4, 40), (8, 3, 3, 50), (20, 4, 4, 30)]


@pytest.mark.parametrize("n,m,k,T", MODELS)
@pytest.mark.parametrize("symmetrize", [0, 1])
def test_linear_filter_matches_statsmodels(lib, rng, n, m, k, T, symmetrize):
    mats = linear_model(rng, n, m, k, T)
    status, out = run_kf(lib, mats, symmetrize=symmetrize)
    assert status == 0
    ref = statsmodels_filter(*[mats[x] for x in KF_MATRICES])
    rel_close(out["loglik"][0], ref.llf_obs.sum())
    rel_close(out["x_pred"], ref.predicted_state[:, :T].T)
    rel_close(out["P_pred"], ref.predicted_state_cov[:, :, :T].transpose(2, 0, 1))
    rel_close(out["x_filt"], ref.filtered_state.T)
    rel_close(out["P_filt"], ref.filtered_state_cov.transpose(2, 0, 1))
    rel_close(out["y_pred"], ref.forecasts.T)
    rel_close(out["innov"], ref.forecasts_error.T)
    rel_close(out["S"], ref.forecasts_error_cov.transpose(2, 0, 1))
    rel_close(out["std_innov"], ref.standardized_forecasts_error.T)
    rel_close(out["y_filt"], out["x_filt"] @ mats["C"].T + mats["d"])
    # Shock estimates: Q B' C' S^-1 v, period by period.
    M = mats["Q"] @ mats["B"].T @ mats["C"].T
    want = np.array([M @ np.linalg.solve(S, v) for S, v in zip(out["S"], out["innov"])])
    rel_close(out["eps_hat"], want)


def test_scalar_textbook_recursion(lib):
    a, q, r, T = 0.8, 0.5, 0.3, 25
    mats = {"A": [[a]], "B": [[1.0]], "C": [[1.0]], "d": [0.0], "Q": [[q]], "R": [[r]],
            "y": np.sin(np.arange(T))[:, None], "x0": [0.2], "P0": [[2.0]]}
    mats = {key: np.ascontiguousarray(v, dtype=float) for key, v in mats.items()}
    status, out = run_kf(lib, mats)
    assert status == 0
    x, P, ll = 0.2, 2.0, 0.0
    for t in range(T):
        xp, Pp = a * x, a * a * P + q
        S = Pp + r
        K = Pp / S
        v = mats["y"][t, 0] - xp
        x, P = xp + K * v, (1 - K) ** 2 * Pp + K * K * r
        ll += -0.5 * (np.log(S) + v * v / S + np.log(2 * np.pi))
        np.testing.assert_allclose([out["P_pred"][t, 0, 0], out["P_filt"][t, 0, 0], out["x_filt"][t, 0]],
                                   [Pp, P, x], rtol=1e-13)
    np.testing.assert_allclose(out["loglik"][0], ll, rtol=1e-13)


def test_singular_innovation_covariance_stops_with_partial_loglik(lib, rng):
    # C = 0 and R = 0: S = 0 at the first period.
    mats = linear_model(rng, 3, 2, 2, 10)
    mats["C"][:] = 0.0
    mats["R"][:] = 0.0
    status, out = run_kf(lib, mats)
    assert status == -3 and out["loglik"][0] == 0.0
    assert np.isnan(out["x_pred"]).all()
    # A nilpotent transition without shocks or noise: S is positive at t = 0
    # and zero from t = 1, so period 0 is complete and later rows untouched.
    mats = {"A": [[0.0, 1.0], [0.0, 0.0]], "B": [[0.0], [0.0]], "C": [[1.0, 0.0]], "d": [0.5], "Q": [[1.0]],
            "R": [[0.0]], "y": [[1.0], [2.0], [3.0]], "x0": [0.3, 0.4], "P0": [[1.0, 0.2], [0.2, 2.0]]}
    mats = {key: np.ascontiguousarray(v, dtype=float) for key, v in mats.items()}
    status, out = run_kf(lib, mats)
    assert status == -3
    S0, v0 = out["S"][0, 0, 0], out["innov"][0, 0]
    assert S0 == 2.0 and v0 == 1.0 - (0.4 + 0.5)
    np.testing.assert_allclose(out["loglik"][0], -0.5 * (np.log(S0) + v0 * v0 / S0 + np.log(2 * np.pi)),
                               rtol=1e-15)
    assert not np.isnan(out["P_filt"][0]).any() and np.isnan(out["P_filt"][1:]).all()


def test_jitter_enters_only_the_factor(lib, rng):
    mats = linear_model(rng, 4, 3, 2, 12)
    jit = 0.7
    status, out = run_kf(lib, mats, jitter=jit)
    assert status == 0
    # S as stored holds no jitter; the standardised innovation and the
    # likelihood use the jittered factor.
    P = out["P_pred"]
    rel_close(out["S"], mats["C"] @ P @ mats["C"].T + mats["R"], 1e-12)
    L = np.linalg.cholesky(out["S"] + jit * np.eye(3))
    rel_close(out["std_innov"], np.array([np.linalg.solve(Lt, v) for Lt, v in zip(L, out["innov"])]), 1e-12)
    ll = sum(-0.5 * (2 * np.log(np.diag(Lt)).sum() + v @ np.linalg.solve(Lt @ Lt.T, v) + 3 * np.log(2 * np.pi))
             for Lt, v in zip(L, out["innov"]))
    rel_close(out["loglik"][0], ll, 1e-12)


def test_outputs_follow_history_and_shock_flags(lib, rng):
    mats = linear_model(rng, 3, 2, 2, 8)
    full = run_kf(lib, mats)[1]["loglik"][0]
    # Without history only the log-likelihood is written; no other pointer is read.
    status, out = run_kf(lib, mats, return_shocks=1, store_history=0, omit=HISTORIES[:-1])
    assert status == 0 and out["loglik"][0] == full
    status, out = run_kf(lib, mats, return_shocks=0, omit=("eps_hat",))
    assert status == 0 and out["loglik"][0] == full
    mats["y"] = mats["y"][:0].copy()
    status, out = run_kf(lib, mats)
    assert status == 0 and out["loglik"][0] == 0.0


def test_linear_step_packs_inputs_and_outputs(lib, rng, gapless):
    n, m, k, T = 4, 2, 3, 9
    mats = linear_model(rng, n, m, k, T)
    if gapless:
        assert lib.trova_filter_linear_input_arena_size(n, m, k, T) == n + k * k + n * (m + k + 2 * n) + m + m * (m + T)
    packed_in = tc.pack([mats[x] for x in KF_MATRICES])
    assert packed_in.size == lib.trova_filter_linear_input_arena_size(n, m, k, T)
    scratch = np.full(lib.kf_arena_size(n, m, k).n_float, np.nan)
    _, ref = run_kf(lib, mats, symmetrize=1, jitter=1e-9)
    for shocks in (0, 1):
        size = lib.trova_filter_linear_output_arena_size(n, m, k, T, shocks)
        if gapless:
            assert size == (k * T if shocks else 0) + 2 * (2 * m * T + n * (T + n * T)) + m * T * m + 1
        assert lib.trova_filter_extended_output_arena_size(n, m, k, T, shocks) == size
        packed_out = np.full(size + 1, -5.0)
        status = lib.trova_filter_linear_step(tc.ptr(packed_in), tc.ptr(scratch), T, n, m, k, 1, 1e-9,
                                              shocks, tc.ptr(packed_out))
        assert status == 0 and packed_out[-1] == -5.0
        names = HISTORIES if shocks else [h for h in HISTORIES if h != "eps_hat"]
        got = tc.unpack(packed_out, [ref[h].shape for h in names])
        for name, block in zip(names, got):
            np.testing.assert_array_equal(block, ref[name], err_msg=name)


# ---- extended filter ----

@pytest.mark.parametrize("n,m,k,T", MODELS[1:3])
def test_extended_filter_with_linear_measurement_is_the_linear_filter(lib, rng, n, m, k, T):
    mats = linear_model(rng, n, m, k, T)
    calls = []
    meas, jac = linear_callbacks(mats, calls)
    status, out = ekf_case(lib, mats, meas, jac)
    assert status == 0
    _, ref = run_kf(lib, mats)
    for h in HISTORIES:
        rel_close(out[h], ref[h], 1e-12)
    # Callback order per period: h(x_pred), H(x_pred), h(x_filt).
    assert [c[0] for c in calls] == ["meas", "jac", "meas"] * T
    for t in range(T):
        np.testing.assert_array_equal(calls[3 * t][1], out["x_pred"][t])
        np.testing.assert_array_equal(calls[3 * t + 1][1], out["x_pred"][t])
        np.testing.assert_array_equal(calls[3 * t + 2][1], out["x_filt"][t])


def test_extended_filter_nan_measurement_and_flags(lib, rng, gapless):
    mats = linear_model(rng, 3, 2, 2, 6)
    meas, jac = linear_callbacks(mats, nan_at=7)  # period 3's prediction
    status, out = ekf_case(lib, mats, meas, jac)
    assert status == 0 and np.isnan(out["loglik"][0])
    # Without compute_y_filt the y_filt rows are left as they were.
    meas, jac = linear_callbacks(mats)
    status, out = ekf_case(lib, mats, meas, jac, compute_y_filt=0)
    assert status == 0 and np.isnan(out["y_filt"]).all() and not np.isnan(out["y_pred"]).any()
    # The extended step: inputs A | B | params | Q | R | y | x0 | P0, y_filt = h(x_filt).
    n, m, k, T = 3, 2, 2, 6
    if gapless:
        assert lib.trova_filter_extended_input_arena_size(n, m, k, T, 2) == 2 + m * (m + T) + n * (k + 2 * n) + n + k * k
    packed = tc.pack([mats["A"], mats["B"], [1.0, -1.0]] + [mats[x] for x in ("Q", "R", "y", "x0", "P0")])
    assert packed.size == lib.trova_filter_extended_input_arena_size(n, m, k, T, 2)
    scratch = np.zeros(lib.ekf_arena_size(n, m, k).n_float)
    packed_out = np.zeros(lib.trova_filter_extended_output_arena_size(n, m, k, T, 0))
    assert lib.trova_filter_extended_step(tc.ptr(packed), tc.ptr(scratch), meas, jac, T, n, m, k, 2, 0, 0.0, 0,
                                          tc.ptr(packed_out)) == 0
    _, ref = run_kf(lib, mats)
    names = [h for h in HISTORIES if h != "eps_hat"]
    out = dict(zip(names, tc.unpack(packed_out, [ref[h].shape for h in names])))
    rel_close(out["loglik"][0], ref["loglik"][0], 1e-12)
    rel_close(out["y_filt"], ref["y_filt"], 1e-12)


def test_arena_sizes_are_the_sums_of_their_blocks(lib, gapless):
    if not gapless:
        pytest.skip("layout gaps change the sizes")
    for n, m, k in [(0, 0, 0), (1, 1, 1), (5, 2, 2), (50, 8, 8), (3, 7, 11)]:
        kf = lib.kf_arena_size(n, m, k)
        assert (kf.n_float, kf.n_int) == (m * (2 * k + 7) + n * (k + 4 * m + 2) + 2 * (3 * n * n + m * m), 0)
        ekf = lib.ekf_arena_size(n, m, k)
        assert (ekf.n_float, ekf.n_int) == (n * m + k * (n + 2 * m) + 2 * (3 * n * n + 3 * m + 2 * n * m + n + m * m), 0)


# ---- pipelines: shock plan -> simulation -> filter ----

def test_simulation_to_linear_filter_pipeline(lib, rng):
    n, m, k, T, n_rep = 3, 2, 2, 30, 6
    mats = linear_model(rng, n, m, k, T, radius=0.7)
    Lq = np.linalg.cholesky(mats["Q"])
    plan = tc.ShockPlan(T, k, [{"columns": [0, 1], "factor": Lq, "key": 9, "idx": 0}])
    sim_size = lib.trova_simulate_order1_arena_size(n, k, T, 0)
    sim = tc.trova_mc_simulate_order1_step_ctx(tc.trova_measurement_fn(), T, n, k, 0, 0,
                                               ctypes.pointer(plan.plan), sim_size)
    fin = lib.trova_filter_linear_input_arena_size(n, m, k, T)
    fctx = tc.trova_mc_filter_linear_step_ctx(T, n, m, k, 1, 0.0, 1)
    # Replication 4 observes nothing with no noise: its S is 0 and it fails.
    C = np.tile(mats["C"], (n_rep, 1, 1))
    R = np.tile(mats["R"], (n_rep, 1, 1))
    C[4] = 0.0
    R[4] = 0.0
    results = []
    for workers in (1, 2):
        p = tc.Pipeline(n_rep, workers)
        p._keep.append(plan)
        s0 = p.add_step(tc.fn_address(lib, "trova_mc_simulate_order1_runner"), sim,
                        n_in=sim_size + plan.scratch_size(), n_out=T * n, n_int_out=1)
        # Simulation arena: A | B | x0 | shocks | params.
        at = p.bind_static(s0, 0, mats["A"])
        at = p.bind_static(s0, at, mats["B"])
        assert p.bind_static(s0, at, mats["x0"]) == lib.trova_simulate_order1_shock_offset(n, k)
        s1 = p.add_step(tc.fn_address(lib, "trova_mc_filter_linear_runner"), fctx,
                        n_in=fin + lib.kf_arena_size(n, m, k).n_float,
                        n_out=lib.trova_filter_linear_output_arena_size(n, m, k, T, 1), n_int_out=1)
        size, packed = tc.block_offsets("trova_filter_linear_input_offsets", n, m, k, T)
        for name in KF_MATRICES:
            off = packed[name]
            if name == "y":
                # The observations are the first m simulated states.
                p.bind(s1, s0, off, n_rows=T, columns=list(range(m)), source_row_stride=n)
            elif name in ("C", "R"):
                p.bind_static(s1, off, C if name == "C" else R, batched=True)
            else:
                p.bind_static(s1, off, mats[name])
        assert size == fin
        assert p.run() == 0
        results.append(p)
    a, b = results
    assert a.steps[1]["retained"].tobytes() == b.steps[1]["retained"].tobytes()
    np.testing.assert_array_equal(a.failure_step, [-1, -1, -1, -1, 1, -1])
    np.testing.assert_array_equal(a.failure_status, [0, 0, 0, 0, -3, 0])
    assert np.isnan(a.steps[1]["retained"][4]).all() and np.isnan(a.steps[0]["retained"][4]).all()
    # Every other replication: the filter on NumPy's simulated path.
    for r in (0, 3, 5):
        eps = expected_shocks(plan, r)
        states = linear_path(mats["A"], mats["B"], mats["x0"], eps)
        rel_close(a.steps[0]["retained"][r], states.ravel(), 1e-12)
        case = dict(mats, y=np.ascontiguousarray(states[:, :m]))
        _, ref = run_kf(lib, case, symmetrize=1)
        loglik = tc.unpack(a.steps[1]["retained"][r], [ref[h].shape for h in HISTORIES])[-1]
        rel_close(loglik[0], ref["loglik"][0], 1e-11)
        assert a.steps[1]["int_retained"][r][0] == 0
