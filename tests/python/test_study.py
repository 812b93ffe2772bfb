"""The main study's pipelines (examples/dsge_study.py) against NumPy and
statsmodels replications written from scratch: same draws, same model, every
retained number compared. A wrong lane size, binding offset, callback or
replication key shows up here. Then the study split every way it can be (the
library's workers, ranges, Dask worker processes, one of them killed mid-run)
must give the same results, bit for bit."""
import os
import signal
import subprocess
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


def run(study, build, n_rep, chunk, workers):
    a = types.SimpleNamespace(**vars(study.args))
    a.reps, a.paths, a.chunk = n_rep, n_rep, chunk
    p, _ = build(study.lib, study.native, study.solution, a, workers)
    p.run(study.lib, chunk, lambda *_: None)
    assert (p.failure_step == -1).all(), p.failure_status
    return p, a


def test_first_order_pipeline_equals_numpy_and_statsmodels(study):
    # Two ranges on two workers: the second range's replications draw as
    # replications 2 and 3 of the whole run.
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
        eps = expected_shocks(p.plans[0], r)
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


# ---- the study split every way ----

SMALL = ["--reps", "3000", "--T", "40", "--paths", "30"]


def study_run(study, argv, client=None, on_range=None):
    """Both pipelines of a small study (the module's solved model)."""
    a = ds.parse_args(SMALL + ["--figure", ""] + argv)
    return ds.monte_carlo(a, study.lib, study.native, study.solution, lambda *_: None, client, on_range)


@pytest.fixture(scope="module")
def whole(study):
    """The small study in one range on one worker, and its digest."""
    pipelines = study_run(study, ["--workers", "1", "--chunk", "3000"])
    return pipelines, ds.results_digest(pipelines)


def test_ranges_and_workers_give_the_results_of_one_run(study, whole):
    pipelines, digest = whole
    for argv in (["--workers", "2", "--chunk", "1000"], ["--workers", "2", "--chunk", "7"]):
        assert ds.results_digest(study_run(study, argv)) == digest, argv
    # A shard's pipeline of 64 replications moved over the ranges, last range
    # first, and merged: every kept row of the whole run, paths included.
    a = ds.parse_args(SMALL + ["--workers", "2", "--chunk", "64"])
    for p in pipelines:
        merged, _ = ds.PIPELINES[p.name](study.lib, study.native, study.solution, a, 2)
        merged.start_merge("")
        shard, _ = ds.PIPELINES[p.name](study.lib, study.native, study.solution,
                                        types.SimpleNamespace(**dict(vars(a), reps=64)), 2)
        for first in reversed(range(0, a.reps, 64)):
            merged.merge(shard.run_range(first, min(64, a.reps - first)))
        for got, want in zip(merged.steps, p.steps):
            np.testing.assert_array_equal(got.retained, want.retained, err_msg=got.name)
            np.testing.assert_array_equal(got.int_retained, want.int_retained, err_msg=got.name)
        np.testing.assert_array_equal(merged.failure_step, np.full(a.reps, -1))
        assert merged.pipe.counts.sum(axis=0).tolist() == [a.reps] * len(p.steps)
    assert pipelines[0].steps[0].retained.shape[0] == 30


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("distributed")
    c = ds.dask_client("2")
    yield c
    c.close()


def test_dask_worker_processes_one_killed_mid_run_give_the_same_digest(study, whole, client):
    killed = []

    def kill_a_busy_worker(n_done):
        if n_done == 4:
            busy = [w for w, keys in client.processing().items() if keys]
            pid = client.run(os.getpid, workers=busy[:1])[busy[0]]
            os.kill(pid, signal.SIGKILL)
            killed.append(busy[0])

    pipelines = study_run(study, ["--workers", "1", "--chunk", "50"], client, kill_a_busy_worker)
    assert ds.results_digest(pipelines) == whole[1]
    for got, want in zip(pipelines[0].steps, whole[0][0].steps):  # the paths too
        np.testing.assert_array_equal(got.retained, want.retained, err_msg=got.name)
    assert killed and killed[0] not in client.scheduler_info()["workers"]


def test_run_study_on_dask_prints_the_digest_of_one_process(whole, tmp_path):
    pytest.importorskip("distributed")
    figure = tmp_path / "study.png"
    out = subprocess.run([sys.executable, ds.__file__, *SMALL, "--dask", "2", "--workers", "1", "--chunk", "500",
                          "--figure", str(figure)], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    assert f"results digest: {whole[1]}\n" in out.stdout
    assert "second order:    3000/3000 replications" in out.stdout
    assert figure.stat().st_size > 10000
