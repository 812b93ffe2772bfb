"""Unscented Kalman filter of the pruned second-order model: a direct NumPy
implementation of the same recursion, the linear filter on the equivalent
first-order model, every failure a caller can provoke, the step layout, and
a second-order simulation -> unscented filter pipeline."""
import ctypes

import numpy as np
import pytest

import trova_ctypes as tc
from kalman_cases import MODEL, UkfCase, close, measurement_callback, pruned_model, run_kf
from references import expected_shocks, pruned_path, spd


def nonlinear_measurement(vars_, params):
    """Observables of the variables in levels: a smooth nonlinear map."""
    return np.array([params[0] * np.tanh(vars_[0]) + vars_[-1], vars_[1] * vars_[0] + 0.1 * vars_[-1] ** 2])


def nonlinear_case(rng, ns=2, nc=2, ne=2, T=15, **kw):
    model = pruned_model(rng, ns, nc, ne)
    nz = 2 * ns
    P0 = spd(rng, nz, 0.3) * 0.2
    return UkfCase(model, nonlinear_measurement, [0.8], spd(rng, ne) * 0.3, spd(rng, 2) * 0.2,
                   rng.standard_normal((T, 2)), 0.1 * rng.standard_normal(nz), P0, **kw)


@pytest.mark.parametrize("symmetrize", [0, 1])
@pytest.mark.parametrize("ns,nc", [(1, 2), (2, 2), (3, 1)])
def test_unscented_filter_matches_numpy_recursion(lib, rng, ns, nc, symmetrize):
    case = nonlinear_case(rng, ns=ns, nc=nc, symmetrize=symmetrize)
    status, out = case.run(lib)
    assert status == 0
    ll, ref = case.reference()
    close(out["loglik"][0], ll, 1e-10)
    for k in ref:
        close(out[k], ref[k], 1e-9)
    close(out["x_filt"][:, :ns], case.model["steady_state"][:ns] + out["x1_filt"] + out["x2_filt"], 1e-14)


def test_linear_special_case_is_the_linear_filter(lib, rng):
    # Without second-order terms and with a linear measurement of the levels
    # the model is linear in z = [x1; x2]: A = diag(hx, hx), B = [bx; 0],
    # C = [G, G] with G = D_s + D_c gx, d = D ss + d0.
    ns, nc, ne, no, T = 2, 2, 2, 2, 12
    model = pruned_model(rng, ns, nc, ne, quad=0.0, radius=0.95)
    model["hss"][:] = 0.0
    model["gss"][:] = 0.0
    D, d0 = rng.standard_normal((no, ns + nc)), rng.standard_normal(no)
    case = UkfCase(model, lambda v, p: D @ v + d0, [0.0], spd(rng, ne), spd(rng, no), rng.standard_normal((T, no)),
                   rng.standard_normal(2 * ns), spd(rng, 2 * ns), symmetrize=0)
    status, out = case.run(lib)
    assert status == 0
    G = D[:, :ns] + D[:, ns:] @ model["gx"]
    Z = np.zeros((ns, ns))
    lin = {"A": np.block([[model["hx"], Z], [Z, model["hx"]]]), "B": np.vstack([model["bx"], np.zeros((ns, ne))]),
           "C": np.hstack([G, G]), "d": D @ model["steady_state"] + d0, "Q": case.Q, "R": case.R, "y": case.obs,
           "x0": case.z0, "P0": case.P0}
    lin = {k: np.ascontiguousarray(v) for k, v in lin.items()}
    _, ref = run_kf(lib, lin)
    close(out["loglik"][0], ref["loglik"][0], 1e-10)
    close(out["y_pred"], ref["y_pred"], 1e-10)
    close(out["P_filt"], ref["P_filt"], 1e-10)
    # With a zero x2 block in P0 the covariance is singular: the retry's
    # jitter of 1e-10 times the largest variance is all that separates them.
    case.P0[ns:, :] = 0.0
    case.P0[:, ns:] = 0.0
    lin["P0"] = case.P0
    status, out = case.run(lib)
    assert status == 0
    close(out["loglik"][0], run_kf(lib, lin)[1]["loglik"][0], 1e-6)


def test_failures_a_caller_can_provoke(lib, rng):
    case = nonlinear_case(rng, T=5)
    sentinel = lambda out: np.isnan(out["loglik"][0]) and np.isnan(out["x_pred"]).all()  # noqa: E731
    for kw in ({"meas_ptr": tc.meas_fn()}, {"ns": 0}, {"no": 0}):
        status, out = case.run(lib, **kw)
        assert status == -2 and sentinel(out), kw
    for alpha, kappa in ((0.0, 0.0), (1.0, -4.0), (np.nan, 0.0), (1e200, 0.0)):
        case.alpha, case.kappa = alpha, kappa
        status, out = case.run(lib)
        assert status == -3 and sentinel(out), (alpha, kappa)
    case.alpha, case.kappa = 0.5, 0.0
    # P0 = 0 with no jitter: both attempts fail at once.
    case.P0[:] = 0.0
    status, out = case.run(lib)
    assert status == -3 and out["loglik"][0] == 0.0 and np.isnan(out["x_pred"]).all()
    # A zero x2 block is singular but factorises on the retry.
    case.P0 = np.ascontiguousarray(np.block([[spd(rng, 2), np.zeros((2, 2))], [np.zeros((2, 2)), np.zeros((2, 2))]]))
    status, out = case.run(lib)
    assert status == 0 and np.isfinite(out["loglik"][0])
    # A constant measurement with R = 0 makes S = 0 in the first period.
    const = UkfCase(case.model, lambda v, p: np.array([1.0, 2.0]), [0.0], case.Q, np.zeros((2, 2)), case.obs,
                    case.z0, case.P0)
    status, out = const.run(lib)
    assert status == -3 and out["loglik"][0] == 0.0 and np.isnan(out["P_pred"]).all()


def test_sizers_and_step_layout(lib, rng, gapless):
    for ns, nc, ne, no in [(1, 1, 1, 1), (6, 8, 3, 4), (2, 0, 5, 3)] if gapless else []:
        a = lib.ukf_arena_size(ns, nc, ne, no)
        assert (a.n_float, a.n_int) == (no * (2 * no + 8 * ns + 7) + (16 * ns + 2) * 2 * ns + nc + ns * (ns + ne + 7), 0)
        T, n_par, nz = 7, 3, 2 * ns
        assert lib.trova_filter_unscented_input_arena_size(ns, nc, ne, no, T, n_par) == (
            2 * nc + ns * (ne + ns + nc + ns * (ns + nc) + 4) + n_par + no * (no + T) + ne * ne + nz * nz)
        assert lib.trova_filter_unscented_output_arena_size(ns, nc, no, T) == (
            4 * ns * T + 2 * (2 * no * T + T * (ns + nc + nz * nz)) + no * T * no + 1)
    case = nonlinear_case(rng, T=6)
    status, ref = case.run(lib)
    assert status == 0
    packed = tc.pack([case.model[k] for k in MODEL] + [case.params, case.Q, case.R, case.obs, case.z0, case.P0])
    ns, nc, ne, no, T = case.ns, case.nc, case.ne, case.no, case.T
    assert packed.size == lib.trova_filter_unscented_input_arena_size(ns, nc, ne, no, T, 1)
    out = np.full(lib.trova_filter_unscented_output_arena_size(ns, nc, no, T) + 1, -5.0)
    scratch = np.zeros(lib.ukf_arena_size(ns, nc, ne, no).n_float)
    cb = measurement_callback(case.meas, ns + nc, no, 1)
    status = lib.trova_filter_unscented_step(tc.ptr(packed), tc.ptr(scratch), cb, T, ns, nc, ne, no, 1, case.alpha,
                                             case.beta, case.kappa, case.symmetrize, case.jitter, tc.ptr(out))
    assert status == 0 and out[-1] == -5.0
    order = ("x_pred", "x_filt", "P_pred", "P_filt", "y_pred", "y_filt", "innov", "std_innov", "S", "loglik",
             "x1_pred", "x2_pred", "x1_filt", "x2_filt")
    for name, block in zip(order, tc.unpack(out, [ref[k].shape for k in order])):
        np.testing.assert_array_equal(block, ref[name], err_msg=name)


def test_second_order_simulation_to_unscented_filter_pipeline(lib, rng):
    ns, nc, ne, T, n_rep = 2, 2, 2, 12, 5
    model = pruned_model(rng, ns, nc, ne)
    Q = np.eye(ne) * 0.25
    plan = tc.ShockPlan(T, ne, [{"columns": [0, 1], "factor": np.sqrt(Q), "key": 77, "idx": 0}])
    sim_size = lib.trova_simulate_order2_arena_size(ns, ns + nc, ne, T, 0)
    sim = tc.trova_mc_simulate_order2_step_ctx(tc.trova_measurement_fn(), T, ns, nc, ne, 0, 0,
                                               ctypes.pointer(plan.plan), sim_size)
    no, n_par = 2, 1
    fin = lib.trova_filter_unscented_input_arena_size(ns, nc, ne, no, T, n_par)
    # The filter observes the first state and the first control of the
    # simulated levels, scaled by params[0]; replication 2 scales by 0 with
    # no measurement noise, so its S is 0 and it fails.
    meas = measurement_callback(lambda v, p: p[0] * np.array([v[0], v[ns]]), ns + nc, no, 1)
    fctx = tc.trova_mc_filter_unscented_step_ctx(meas, T, ns, nc, ne, no, n_par, 0.6, 2.0, 0.0, 1, 0.0)
    scale = np.ones((n_rep, 1))
    scale[2] = 0.0
    R = np.tile(np.eye(no) * 0.01, (n_rep, 1, 1))
    R[2] = 0.0
    z0, P0 = np.zeros(2 * ns), np.eye(2 * ns) * 0.1
    results = []
    for workers in (1, 2):
        p = tc.Pipeline(n_rep, workers)
        p._keep += [plan, meas]
        s0 = p.add_step(tc.fn_address(lib, "trova_mc_simulate_order2_runner"), sim,
                        n_in=sim_size + plan.scratch_size(), n_out=T * (ns + nc), n_int_out=1)
        off = 0
        for block in [model[k] for k in MODEL] + [np.zeros(ns)]:  # the model, then x0 = 0
            off = p.bind_static(s0, off, block)
        s1 = p.add_step(tc.fn_address(lib, "trova_mc_filter_unscented_runner"), fctx,
                        n_in=fin + lib.ukf_arena_size(ns, nc, ne, no).n_float,
                        n_out=lib.trova_filter_unscented_output_arena_size(ns, nc, no, T), n_int_out=1)
        off = 0
        for k in MODEL:
            off = p.bind_static(s1, off, model[k])
        for block, batched in ((scale, True), (Q, False), (R, True)):
            off = p.bind_static(s1, off, block, batched=batched)
        obs = tc.Layout(off)
        p.bind(s1, s0, obs.take(T, no), n_rows=T, columns=[0, ns], source_row_stride=ns + nc)
        off = obs.offset
        for block in (z0, P0):
            off = p.bind_static(s1, off, block)
        assert off == fin
        assert p.run() == 0
        results.append(p)
    a, b = results
    assert a.steps[1]["retained"].tobytes() == b.steps[1]["retained"].tobytes()
    np.testing.assert_array_equal(a.failure_status, [0, 0, -3, 0, 0])
    assert np.isnan(a.steps[1]["retained"][2]).all()
    loglik_at = tc.block_offsets("trova_filter_unscented_output_offsets", ns, nc, no, T)[1]["loglik"]
    for r in (0, 4):
        x, y = pruned_path(*[model[k] for k in MODEL[:-1]], np.zeros(ns), expected_shocks(plan, r))
        levels = np.hstack([x, y]) + model["steady_state"]
        close(a.steps[0]["retained"][r], levels.ravel(), 1e-12)
        case = UkfCase(model, lambda v, p: p[0] * np.array([v[0], v[ns]]), [1.0], Q, R[r],
                       levels[:, [0, ns]], z0, P0, alpha=0.6)
        ll, _ = case.reference()
        close(a.steps[1]["retained"][r][loglik_at], ll, 1e-9)
