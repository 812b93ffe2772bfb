"""The main study's pipelines (examples/dsge_study.py) against NumPy and
statsmodels replications written from scratch: same draws, same model, every
retained number compared. A wrong lane size, binding offset, callback or
replication key shows up here."""
import os
import sys
import types

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))

pytest.importorskip("statsmodels")
import peer_study  # noqa: E402
from peer_study import ds  # noqa: E402
from references import expected_shocks, pruned_path  # noqa: E402
from regression_cases import output_blocks  # noqa: E402
from test_ukf import UkfCase  # noqa: E402


@pytest.fixture(scope="module")
def study():
    return peer_study.Study()


def keyed(plan, seed):
    """The plan's entries under the study's key, as the driver sets it."""
    return types.SimpleNamespace(T=plan.T, n_exog=plan.n_exog, scale=plan.scale, entry_dicts=[
        dict(e, key=seed) for e in plan.entry_dicts])


def run(study, build, n_rep, chunk, workers):
    a = types.SimpleNamespace(**vars(study.args))
    a.reps, a.paths, a.chunk = n_rep, n_rep, chunk
    p, _ = build(study.lib, study.native, study.solution, a, workers)
    p.chunk = chunk
    p.run(study.lib, chunk, a.seed, lambda *_: None)
    assert (p.failure_step == -1).all(), p.failure_status
    return p, a


def test_first_order_pipeline_equals_numpy_and_statsmodels(study):
    # Two chunks on two workers: the second chunk's replications draw by
    # their global index.
    p, a = run(study, ds.first_order_pipeline, 4, 2, 2)
    peer = peer_study.Peer(study, p)
    peer.tolerance = 0.0  # statsmodels' steady-state shortcut off
    T_sim, nx, m = p.steps[0].ctx.T, p.steps[0].ctx.n, 3
    for r in (0, 3):
        want = peer.replication(r)
        obs = p.steps[0].retained[r][T_sim * nx:].reshape(T_sim, m)[ds.BURN_IN:]
        np.testing.assert_allclose(obs, want["y"], rtol=1e-12, atol=1e-12)
        assert p.result("log-likelihood").retained[r][0] == pytest.approx(want["loglik"], rel=1e-10)
        assert p.result("Ljung-Box").retained[r][0] == pytest.approx(want["lb"], rel=1e-10)
        ols = output_blocks(p.result("OLS").retained[r], 3, ols=True)
        np.testing.assert_allclose(ols[:3], want["coef"], rtol=1e-9)
        np.testing.assert_allclose(ols[5:8], want["se"], rtol=1e-9)
        np.testing.assert_allclose(p.result("moments").retained[r], want["moments"], rtol=1e-10)
    # The chunks draw different shocks.
    assert not np.allclose(p.steps[0].retained[0], p.steps[0].retained[2])


def log_observables(levels, params):
    """100 log deviations of output, consumption and hours from (k, z, c, n)."""
    alpha, log_y0, log_c0, log_n0 = params
    k, z, c, n = levels
    output = np.exp(z) * k ** alpha * n ** (1 - alpha)
    return 100.0 * (np.log([output, c, n]) - [log_y0, log_c0, log_n0])


def test_second_order_pipeline_equals_pruned_recursion_and_unscented_reference(study):
    p, a = run(study, ds.second_order_pipeline, 3, 2, 2)
    s, m, T = study.solution, 3, a.T
    T_sim = p.steps[0].ctx.T
    params = np.array([a.alpha, np.log(s.y0), np.log(s.ss[2]), np.log(s.ss[3])])
    model = {"hx": s.hx, "gx": s.gx, "bx": np.array([[0.0], [1.0]]), "hxx": s.hxx, "gxx": s.gxx,
             "hss": s.hss, "gss": s.gss, "steady_state": s.ss}
    for r in (0, 2):
        eps = expected_shocks(keyed(p.plans[0], a.seed), r)
        x, y = pruned_path(s.hx, s.gx, model["bx"], s.hxx, s.gxx, s.hss, s.gss, np.zeros(2), eps[:, :1])
        levels = np.column_stack([x, y]) + s.ss
        want = np.array([log_observables(v, params) for v in levels]) + eps[:, 1:]
        got = p.steps[0].retained[r][-T_sim * m:].reshape(T_sim, m)
        np.testing.assert_allclose(got, want, rtol=1e-11, atol=1e-11)
        obs = want[ds.BURN_IN:]
        d = obs - obs.mean(axis=0)
        ss = np.sum(d * d, axis=0)
        moments = np.r_[obs.mean(axis=0), np.sqrt(ss / T), np.sum(d[1:] * d[:-1], axis=0) / ss]
        np.testing.assert_allclose(p.result("moments").retained[r], moments, rtol=1e-10)
        P0 = np.zeros((4, 4))
        P0[:2, :2] = s.Gamma[:2, :2]
        P0[2:, 2:] = 1e-10 * np.eye(2)
        case = UkfCase(model, log_observables, params, [[a.sigma ** 2]], a.sigma_me ** 2 * np.eye(m), obs,
                       np.zeros(4), P0, alpha=1.0, beta=2.0, kappa=0.0)
        ll, _ = case.reference()
        assert p.result("log-likelihood").retained[r][0] == pytest.approx(ll, rel=1e-9)
