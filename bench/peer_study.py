#!/usr/bin/env -S /usr/bin/python3
"""One replication of a first-order study pipeline through the runner, side
by side with the same replication written with NumPy and statsmodels, and the
runner's scaling from one worker to two, in one process.

The pipeline: a shock plan draws burn-in + T periods of one technology shock
and three measurement errors (one Philox stream per entry and replication);
the first-order simulation step runs the four-variable state space
x_{t+1} = A x_t + B e_{t+1} (capital, technology, consumption, hours) with
the observables y = C x + u carried as three more states, so that no
measurement callback runs; the linear Kalman filter evaluates the
log-likelihood of the T observations after the burn-in at the true
parameters from the stationary prior, with the standardised innovations;
Ljung-Box with 10 lags tests the first observable's standardised
innovations; OLS regresses observable 2 on observables 1 and 3 with an
intercept.

The peer replication: the same draws from NumPy's Generator(Philox) streams,
the recursion in a NumPy loop, statsmodels' KalmanFilter (built per
replication, filter() for the standardised innovations, its steady-state
shortcut on as by default), acorr_ljungbox and OLS. The
log-likelihood, the Ljung-Box statistic and the OLS coefficients and
standard errors of a few replications are checked to agree first (to 1e-10
with the shortcut off; on, it moves the log-likelihood by about 1e-6). The
library's pipeline runs n_rep replications on one worker, then on two; the
time per replication is the run's median time over n_rep. Per-stage rows
come from the runner's step profile and from clocks around the peer's
stages. The scaling run has 2 n_rep replications.
Usage: bench/peer_study.py [n_rep] [repeats]
"""
import ctypes
import os
import statistics
import sys
import time
import warnings

import peer_common as pc
import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402
import statsmodels.api as sm  # noqa: E402
from statsmodels.stats.diagnostic import acorr_ljungbox  # noqa: E402
from statsmodels.tsa.statespace.kalman_filter import KalmanFilter  # noqa: E402

import trova_ctypes as tc  # noqa: E402
from references import expected_shocks  # noqa: E402

T, BURN_IN, LB_LAGS = 200, 100, 10
N, M, K = 4, 3, 1  # states, observables, structural shocks
NZ = N + M  # simulated variables: the states, then the observables
# States and controls of a stochastic growth model's first-order solution:
# (k, z) follow hx, (c, h) = gx (k, z).
HX = np.array([[0.95, 0.10], [0.0, 0.95]])
GX = np.array([[0.55, 0.45], [-0.25, 0.80]])
A = np.block([[HX, np.zeros((2, 2))], [GX @ HX, np.zeros((2, 2))]])
B = np.array([[0.0], [1.0], [GX[0, 1]], [GX[1, 1]]])
C = np.array([[0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0], [0.36, 1.0, 0.0, 0.64]])
SIGMA_E, SIGMA_U = 0.01, np.array([0.002, 0.003, 0.002])
Q, R = np.array([[SIGMA_E ** 2]]), np.diag(SIGMA_U ** 2)
P0 = scipy.linalg.solve_discrete_lyapunov(A, B @ Q @ B.T)  # the stationary covariance
X0 = np.zeros(N)
SEED = 2026


def shock_plan():
    """Column 0: the technology shock; columns 1-3: the measurement errors."""
    return tc.ShockPlan(BURN_IN + T, K + M, [
        {"columns": [0], "factor": [[SIGMA_E]], "key": SEED, "idx": 0},
        {"columns": [1, 2, 3], "factor": np.diag(SIGMA_U), "key": SEED, "idx": 1}])


def augmented():
    """z = (x, y): z' = [[A, 0], [C A, 0]] z + [[B, 0], [C B, I]] (e, u)."""
    Az = np.block([[A, np.zeros((N, M))], [C @ A, np.zeros((M, M))]])
    Bz = np.block([[B, np.zeros((N, M))], [C @ B, np.eye(M)]])
    return np.ascontiguousarray(Az), np.ascontiguousarray(Bz)


# ---- the library's pipeline ----

def bind_static(p, step, offset, array):
    flat = np.ascontiguousarray(array, dtype=np.float64).ravel()
    p.bind(step, -2, offset, n_rows=1, columns=np.arange(flat.size), source_row_stride=flat.size, static=flat)


def pipeline(lib, n_rep, n_workers, full=True, keep=0):
    """The study pipeline (full) or its first two steps, simulation and filter.
    The first `keep` replications keep every step's output; later ones keep
    only the test statistic and the regression."""
    plan = shock_plan()
    T_sim = plan.T
    Az, Bz = augmented()
    some = np.where(np.arange(n_rep) < keep, np.arange(n_rep), -1)
    p = tc.Pipeline(n_rep, n_workers)
    sim_size = lib.trova_simulate_order1_arena_size(NZ, K + M, T_sim, 0)
    sim = tc.trova_mc_simulate_order1_step_ctx(tc.trova_measurement_fn(), T_sim, NZ, K + M, 0, 0,
                                               ctypes.pointer(plan.plan), sim_size)
    p._keep += [plan, sim]
    s0 = p.add_step(tc.fn_address(lib, "trova_mc_simulate_order1_runner"), sim,
                    n_in=sim_size + plan.scratch_size(), n_out=T_sim * NZ, n_int_out=1, rows=some)
    bind_static(p, s0, 0, Az)
    bind_static(p, s0, Az.size, Bz)
    bind_static(p, s0, Az.size + Bz.size, np.zeros(NZ))
    # The filter's packed input: A | B | C | d | Q | R | y | x0 | P0.
    kf = tc.trova_mc_filter_linear_step_ctx(T, N, M, K, 1, 0.0, 0)
    kf_out = lib.trova_filter_linear_output_arena_size(N, M, K, T, 0)
    s1 = p.add_step(tc.fn_address(lib, "trova_mc_filter_linear_runner"), kf,
                    n_in=lib.trova_filter_linear_input_arena_size(N, M, K, T) + lib.kf_arena_size(N, M, K).n_float,
                    n_out=kf_out, n_int_out=1, rows=some)
    off = 0
    for name, block in (("A", A), ("B", B), ("C", C), ("d", np.zeros(M)), ("Q", Q), ("R", R), ("y", None),
                        ("x0", X0), ("P0", P0)):
        if name == "y":
            p.bind(s1, s0, off, n_rows=T, columns=list(range(N, NZ)), source_row_stride=NZ, row_start=BURN_IN)
            off += T * M
        else:
            bind_static(p, s1, off, block)
            off += block.size
    if not full:
        return p
    lb = tc.trova_mc_ljung_box_test_ctx(T, LB_LAGS)
    s2 = p.add_step(tc.fn_address(lib, "trova_mc_ljung_box_test_runner"), lb,
                    n_in=T + lib.trova_lb_arena_size(T, LB_LAGS).n_float, n_out=1, n_int_out=1)
    std_innov_at = 2 * T * N + 2 * T * N * N + 3 * T * M
    p.bind(s2, s1, 0, n_rows=T, columns=[0], source_offset=std_innov_at, source_row_stride=M, target_row_stride=1)
    # OLS: X = [1, y1, y3] (T x 3), then the regressand y2.
    ols = tc.trova_mc_ols_step_ctx(T, 3, 1)
    s3 = p.add_step(tc.fn_address(lib, "trova_mc_ols_runner"), ols, n_in=lib.trova_mc_ols_work_arena_size(T, 3).n_float,
                    n_out=2 * 3 + 2, n_int_out=1)
    p.bind(s3, -1, 0, n_rows=T, n_columns=1, target_row_stride=3, fill_value=1.0)
    p.bind(s3, s0, 1, n_rows=T, columns=[N, N + 2], source_row_stride=NZ, row_start=BURN_IN, target_row_stride=3)
    p.bind(s3, s0, 3 * T, n_rows=T, columns=[N + 1], source_row_stride=NZ, row_start=BURN_IN, target_row_stride=1)
    p._keep += [kf, lb, ols]
    return p


def run_timed(p):
    """Seconds of one run of the pipeline, checked to have failed nowhere."""
    t0 = time.perf_counter()
    status = p.run()
    elapsed = time.perf_counter() - t0
    assert status == 0 and (p.failure_step == -1).all()
    return elapsed


# ---- the peer: NumPy and statsmodels ----

class Peer:
    """One replication with NumPy and statsmodels."""

    STAGES = ("draws + simulation", "Kalman filter", "Ljung-Box", "OLS")

    def __init__(self):
        self.plan = shock_plan()
        self.tolerance = None  # statsmodels' default steady-state tolerance
        self.ones = np.ones(T)

    def filter(self, y):
        """statsmodels' filter on one replication's data. It is built anew each
        time: data re-bound to a filter that has run does not reach its Cython
        representation (this statsmodels version keeps its first copy)."""
        kf = KalmanFilter(k_endog=M, k_states=N, k_posdef=N)
        kf.bind(y)
        kf["design"], kf["obs_intercept"], kf["obs_cov"] = C, np.zeros((M, 1)), R
        kf["transition"], kf["selection"], kf["state_cov"] = A, np.eye(N), B @ Q @ B.T
        kf.initialize_known(A @ X0, A @ P0 @ A.T + B @ Q @ B.T)
        if self.tolerance is not None:
            kf.tolerance = self.tolerance
        return kf.filter()

    def replication(self, rep, clock=None):
        """(loglik, Ljung-Box statistic, OLS coefficients, OLS standard errors);
        `clock`, a list of four floats, accumulates the stages' seconds."""
        t0 = time.perf_counter()
        shocks = expected_shocks(self.plan, rep)  # Generator(Philox) per entry, keyed by the replication
        e, u = shocks[:, 0], shocks[BURN_IN:, 1:]
        x, path = X0, np.empty((self.plan.T, N))
        b = B[:, 0]
        for t in range(self.plan.T):
            x = A @ x + b * e[t]
            path[t] = x
        y = path[BURN_IN:] @ C.T + u
        t1 = time.perf_counter()
        res = self.filter(y)
        loglik, std = res.llf, res.standardized_forecasts_error[0]
        t2 = time.perf_counter()
        lb = acorr_ljungbox(std, lags=[LB_LAGS])["lb_stat"].iloc[0]
        t3 = time.perf_counter()
        fit = sm.OLS(y[:, 1], np.column_stack([self.ones, y[:, 0], y[:, 2]])).fit()
        coef, se = fit.params, fit.bse
        if clock is not None:
            t4 = time.perf_counter()
            for i, dt in enumerate((t1 - t0, t2 - t1, t3 - t2, t4 - t3)):
                clock[i] += dt
        return loglik, lb, coef, se


def check(lib, peer, n_check=3):
    """The library's pipeline and the peer agree on the first replications:
    to 1e-10 with statsmodels' steady-state shortcut off; with it on (once
    the covariances pass its convergence test it stops updating them) the
    log-likelihood moves by about 1e-6 and the Ljung-Box statistic by 1e-5."""
    p = pipeline(lib, n_check, 1, keep=n_check)
    run_timed(p)
    for r in range(n_check):
        ours = p.steps[1]["retained"][r][-1], p.steps[2]["retained"][r][0]
        for tolerance, rtol in ((0.0, (1e-10, 1e-10)), (None, (1e-5, 1e-3))):
            peer.tolerance = tolerance
            loglik, lb, coef, se = peer.replication(r)
            for name, a, b, tol in zip(("loglik", "Ljung-Box"), ours, (loglik, lb), rtol):
                assert abs(a - b) <= tol * abs(b), (name, r, tolerance, a, b)
        out = p.steps[3]["retained"][r]
        np.testing.assert_allclose(out[:3], coef, rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(out[5:8], se, rtol=1e-9, atol=1e-12)


def measure_scaling(timing=pc.Timing(repeats=5), n_rep=2000):
    """The runner's speed-up from one worker to two on the simulation and
    the filter over n_rep replications (the two runs alternating)."""
    lib = tc.load()
    p1, p2 = pipeline(lib, n_rep, 1, full=False), pipeline(lib, n_rep, 2, full=False)
    run_timed(p1), run_timed(p2)
    t1, t2 = [], []
    for _ in range(timing.repeats):
        t1.append(run_timed(p1))
        t2.append(run_timed(p2))
    t1, t2 = statistics.median(t1), statistics.median(t2)
    return [pc.Row("Runner scaling", f"plan -> simulation -> Kalman filter, {n_rep} reps, 2 workers", t2, t1,
                   "the same run on 1 worker", f"= speed-up from 1 to 2 workers (ideal 2); {os.cpu_count()} cores")]


def measure_replication(timing=pc.Timing(repeats=5), n_rep=1000, n_peer=40):
    """The whole replication on one and two workers against the peer, and
    its stages on one worker against the peer's."""
    warnings.simplefilter("ignore")
    lib = tc.load()
    peer = Peer()
    check(lib, peer)
    rows = []
    # One whole replication.
    runs = {w: pipeline(lib, n_rep, w) for w in (1, 2)}
    times = {1: [], 2: []}
    peer_times = []
    reps = range(n_peer)
    for w in runs:
        run_timed(runs[w])
    peer.replication(0)
    for _ in range(timing.repeats):
        for w in runs:
            times[w].append(run_timed(runs[w]) / n_rep)
        t0 = time.perf_counter()
        for r in reps:
            peer.replication(r)
        peer_times.append((time.perf_counter() - t0) / n_peer)
    t_peer = statistics.median(peer_times)
    name = "NumPy + statsmodels"
    for w in runs:
        rows.append(pc.Row("Study replication", f"whole replication (T = {T} after {BURN_IN} burn-in), {w} worker"
                           + "s" * (w > 1), statistics.median(times[w]), t_peer, name,
                           f"library over {n_rep} reps, peer over {n_peer}"))
    # Per stage: the runner's profile on one worker, clocks around the peer's stages.
    p = runs[1]
    assert p.run(profile=True) == 0
    lib_stage = p.elapsed.sum(axis=0) / p.counts.sum(axis=0)
    clock = [0.0] * 4
    for r in reps:
        peer.replication(r, clock)
    for i, stage in enumerate(Peer.STAGES):
        rows.append(pc.Row("Study replication", f"  stage: {stage}, 1 worker", lib_stage[i], clock[i] / n_peer, name,
                           "one profiled run each"))
    return rows


def main():
    n_rep = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    timing = pc.Timing(repeats=int(sys.argv[2]) if len(sys.argv) > 2 else 5)
    pc.report(measure_scaling(timing, 2 * n_rep) + measure_replication(timing, n_rep), timing)


if __name__ == "__main__":
    main()
