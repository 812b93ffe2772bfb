#!/usr/bin/env -S /usr/bin/python3
"""The main study's first-order pipeline (examples/dsge_study.py) through the
runner, one replication side by side with the same replication written with
NumPy and statsmodels, and the runner's scaling from one worker to two, in
one process.

The pipeline is the study's own, built by its first_order_pipeline on its
solved real business cycle model at the default parameters: a shock plan
drawing burn-in + T periods of the technology shock and three measurement
errors; the first-order simulation with the study's native measurement
callback (100 x log deviations of output, consumption and hours plus the
errors); the linear Kalman filter at the true parameters from the
stationary prior; Ljung-Box (10 lags) on the standardised output
innovations; OLS of consumption on (1, output, hours); the study's steps
keeping the log-likelihood and each observable's sample mean, standard
deviation and first autocorrelation. The runner profiles every step, as the
study always has it do.

The peer replication: the same draws from NumPy's Generator(Philox) streams
(the study's key, the replication's global index), the state recursion
in a NumPy loop, statsmodels' KalmanFilter (built per replication: data
re-bound to a filter that has run does not reach its Cython representation
in this statsmodels version; filter() for the standardised innovations; its
steady-state shortcut on, as by default), acorr_ljungbox, OLS, and the
moments in NumPy. The observables, log-likelihood, Ljung-Box statistic, OLS
coefficients and standard errors and moments of a few replications are
checked to agree first (to 1e-10 with statsmodels' shortcut off; on, it
moves the log-likelihood by about 1e-6 and the Ljung-Box statistic by
about 1e-5). The library's time per replication is one run's wall time over
its n_rep replications (one chunk), the median over the repetitions;
per-stage rows come from the runner's step profile and from clocks around
the peer's stages. The scaling run has 2 n_rep replications.
Usage: bench/peer_study.py [n_rep] [repeats]
"""
import os
import statistics
import sys
import time
import types
import warnings

import peer_common as pc
import numpy as np  # noqa: E402
import statsmodels.api as sm  # noqa: E402
from statsmodels.stats.diagnostic import acorr_ljungbox  # noqa: E402
from statsmodels.tsa.statespace.kalman_filter import KalmanFilter  # noqa: E402

import trova_ctypes as tc  # noqa: E402
from references import expected_shocks  # noqa: E402

sys.path.insert(0, os.path.join(pc.ROOT, "examples"))
import dsge_study as ds  # noqa: E402

# The stages of a replication, in order: the study's steps in each, and the
# peer's work in each.
STAGES = (("first-order simulation", ("first-order simulation",), "draws + simulation"),
          ("linear Kalman filter", ("linear Kalman filter",), "KalmanFilter.filter"),
          ("Ljung-Box", ("Ljung-Box",), "acorr_ljungbox"), ("OLS", ("OLS",), "OLS"),
          ("log-likelihood + moments", ("log-likelihood", "moments"), "NumPy moments"))


class Study:
    """The study's solved model and its first-order pipelines."""

    def __init__(self):
        self.lib, self.native = tc.load(), ds.study_library()
        self.args = ds.parse_args(["--figure", ""])
        self.solution = ds.solve_model(self.lib, self.native, self.args)

    def pipeline(self, n_rep, n_workers, paths=0, order=1):
        """The first-order (or, with order 2, the second-order) pipeline over
        n_rep replications in one chunk, keeping the simulated paths of the
        first `paths`."""
        a = types.SimpleNamespace(**vars(self.args))
        a.reps, a.paths, a.chunk = n_rep, paths, n_rep
        build = ds.first_order_pipeline if order == 1 else ds.second_order_pipeline
        p, _ = build(self.lib, self.native, self.solution, a, n_workers)
        return p

    def run(self, p):
        """Seconds of one run, checked to have failed nowhere."""
        t0 = time.perf_counter()
        p.run(self.lib, p.n_rep, lambda *_: None)
        elapsed = time.perf_counter() - t0
        assert (p.failure_step == -1).all(), np.unique(p.failure_status)
        return elapsed


class Peer:
    """One replication of the study's first-order pipeline with NumPy and statsmodels."""

    def __init__(self, study, p):
        s, a = study.solution, study.args
        self.A, self.B, self.C, self.Gamma = s.A, s.B, s.C, s.Gamma
        self.BQB = s.B @ np.diag([0.0, a.sigma ** 2]) @ s.B.T
        self.R = a.sigma_me ** 2 * np.eye(3)
        self.T, self.plan = a.T, p.plans[0]
        self.tolerance = None  # statsmodels' default steady-state tolerance

    def observables(self, rep):
        """The draws of replication rep, the state recursion and the
        observables after the burn-in."""
        plan = self.plan
        shocks = expected_shocks(plan, rep)  # Generator(Philox) per entry
        e, u = shocks[:, :2], shocks[ds.BURN_IN:, 2:]
        x, path = np.zeros(len(self.A)), np.empty((plan.T, len(self.A)))
        for t in range(plan.T):
            x = self.A @ x + self.B @ e[t]
            path[t] = x
        return path[ds.BURN_IN:] @ self.C.T + u

    def filter(self, y):
        m, n = self.C.shape
        kf = KalmanFilter(k_endog=m, k_states=n, k_posdef=n)
        kf.bind(y)
        kf["design"], kf["obs_intercept"], kf["obs_cov"] = self.C, np.zeros((m, 1)), self.R
        kf["transition"], kf["selection"], kf["state_cov"] = self.A, np.eye(n), self.BQB
        kf.initialize_known(np.zeros(n), self.A @ self.Gamma @ self.A.T + self.BQB)
        if self.tolerance is not None:
            kf.tolerance = self.tolerance
        return kf.filter()

    def replication(self, rep, clock=None):
        """Dict of the replication's results; `clock`, a list of one float
        per stage, accumulates the stages' seconds."""
        t = [time.perf_counter()]
        y = self.observables(rep)
        t.append(time.perf_counter())
        res = self.filter(y)
        std = res.standardized_forecasts_error[0]
        t.append(time.perf_counter())
        lb = acorr_ljungbox(std, lags=[ds.LB_LAGS])["lb_stat"].iloc[0]
        t.append(time.perf_counter())
        fit = sm.OLS(y[:, 1], np.column_stack([np.ones(len(y)), y[:, 0], y[:, 2]])).fit()
        t.append(time.perf_counter())
        d = y - y.mean(axis=0)
        ss = np.sum(d * d, axis=0)
        moments = np.concatenate([y.mean(axis=0), np.sqrt(ss / len(y)), np.sum(d[1:] * d[:-1], axis=0) / ss])
        t.append(time.perf_counter())
        if clock is not None:
            for i in range(len(clock)):
                clock[i] += t[i + 1] - t[i]
        return {"y": y, "loglik": res.llf, "lb": lb, "coef": fit.params, "se": fit.bse, "moments": moments}


def check(study, n_check=3):
    """The study's pipeline and the peer agree on the first replications."""
    p = study.pipeline(n_check, 1, paths=n_check)
    study.run(p)
    peer = Peer(study, p)
    T_sim, nx, m = p.steps[0].ctx.T, p.steps[0].ctx.n, 3
    for r in range(n_check):
        obs = p.steps[0].retained[r][T_sim * nx:].reshape(T_sim, m)[ds.BURN_IN:]
        ours = {"loglik": p.result("log-likelihood").retained[r][0], "lb": p.result("Ljung-Box").retained[r][0]}
        for tolerance, rtol in ((0.0, {"loglik": 1e-10, "lb": 1e-10}), (None, {"loglik": 1e-5, "lb": 1e-3})):
            peer.tolerance = tolerance
            theirs = peer.replication(r)
            for name, tol in rtol.items():
                assert abs(ours[name] - theirs[name]) <= tol * abs(theirs[name]), (name, r, tolerance, ours[name],
                                                                                   theirs[name])
        np.testing.assert_allclose(obs, theirs["y"], rtol=1e-12, atol=1e-12)
        ols, (_, at) = p.result("OLS").retained[r], tc.block_offsets("trova_mc_regression_output_offsets", 3, 1)
        np.testing.assert_allclose(ols[at["coef"]:at["coef"] + 3], theirs["coef"], rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(ols[at["se"]:at["se"] + 3], theirs["se"], rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(p.result("moments").retained[r], theirs["moments"], rtol=1e-10, atol=1e-12)


def measure_scaling(timing=pc.Timing(repeats=5), n_rep=2000, study=None):
    """The runner's speed-up from one worker to two on the study's
    first-order pipeline over n_rep replications (the runs alternating)."""
    study = study or Study()
    runs = {w: study.pipeline(n_rep, w) for w in (1, 2)}
    times = {w: [] for w in runs}
    for w in runs:
        study.run(runs[w])
    for _ in range(timing.repeats):
        for w in runs:
            times[w].append(study.run(runs[w]))
    t1, t2 = statistics.median(times[1]), statistics.median(times[2])
    # The runner splits the replications into one contiguous block per
    # worker, so a run lasts as long as its slower worker: a core that a
    # neighbour slows costs the whole run. The fastest runs show the
    # speed-up of an undisturbed pair of cores.
    best = min(times[1]) / min(times[2])
    return [pc.Row("Runner scaling", f"study's first-order pipeline, {n_rep} reps, 2 workers", t2, t1,
                   "the same run on 1 worker", f"= speed-up from 1 to 2 workers (ideal 2; fastest runs {best:.2f}x);"
                   f" {os.cpu_count()} cores")]


def measure_replication(timing=pc.Timing(repeats=5), n_rep=1000, n_peer=40, study=None):
    """The whole replication on one and two workers against the peer, and
    its stages on one worker against the peer's."""
    warnings.simplefilter("ignore")
    study = study or Study()
    check(study)
    runs = {w: study.pipeline(n_rep, w) for w in (1, 2)}
    # The second-order pipeline on one worker, timed in the same loop: its
    # replication rate against the first-order pipeline's.
    second = study.pipeline(n_rep, 1, order=2)
    peer = Peer(study, runs[1])
    for w in runs:
        study.run(runs[w])
    study.run(second)
    peer.replication(0)
    times, peer_times, clock = {w: [] for w in runs}, [], [0.0] * len(STAGES)
    second_times = []
    # Every run starts its profile afresh: the one-worker runs' profiles are
    # added up here, to be divided by all their replications.
    profile = np.zeros(len(runs[1].steps))
    for _ in range(timing.repeats):
        for w in runs:
            times[w].append(study.run(runs[w]) / n_rep)
            if w == 1:
                profile += runs[1].elapsed
        second_times.append(study.run(second) / n_rep)
        t0 = time.perf_counter()
        for r in range(n_peer):
            peer.replication(r, clock)
        peer_times.append((time.perf_counter() - t0) / n_peer)
    t_peer = statistics.median(peer_times)
    T = study.args.T
    rows = [pc.Row("Study replication", f"whole replication (T = {T} after {ds.BURN_IN} burn-in), {w} worker"
                   + "s" * (w > 1), statistics.median(times[w]), t_peer, "NumPy + statsmodels",
                   f"library over {n_rep} reps, peer over {n_peer}", "whole" if w == 1 else "") for w in runs]
    # Per stage: mean time per call over every timed one-worker run (the
    # runner's profile), against the peer's clocks over every timed
    # replication.
    done = n_rep * timing.repeats
    names = [s.name for s in runs[1].steps]
    for (stage, steps, peer_work), seconds in zip(STAGES, clock):
        lib_t = sum(profile[names.index(step)] for step in steps) / done
        rows.append(pc.Row("Study replication", f"  stage: {stage}, 1 worker", lib_t,
                           seconds / (n_peer * timing.repeats), f"NumPy + statsmodels: {peer_work}",
                           "means over the timed runs", "stage"))
    names2 = [s.name for s in second.steps]
    split = ", ".join(f"{name} {1e6 * second.elapsed[names2.index(name)] / n_rep:.1f} us"
                      for name in ("second-order simulation", "unscented Kalman filter"))
    rows.append(pc.Row("Study replication", "second-order replication (pruned simulation, unscented filter), 1 worker",
                       statistics.median(second_times), statistics.median(times[1]),
                       "the first-order replication, 1 worker",
                       f"ratio = second-order over first-order replication rate; last run: {split}"))
    return rows


def main():
    n_rep = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    timing = pc.Timing(repeats=int(sys.argv[2]) if len(sys.argv) > 2 else 5)
    study = Study()
    pc.report(measure_scaling(timing, 2 * n_rep, study) + measure_replication(timing, n_rep, study=study), timing)


if __name__ == "__main__":
    main()
