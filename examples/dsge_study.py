#!/usr/bin/env python3
"""A Monte Carlo study of a real business cycle model, end to end.

The model is given once, as a residual function in C (examples/rbc_model.cpp)
serving both the complex-step and the bicomplex-step callbacks. The study
solves it (Newton steady state, complex-step linearisation, QZ through
LAPACK's zgges with the Blanchard-Kahn check, state-space assembly, bicomplex
Hessian and second-order terms) and then runs two pipelines through the
library's parallel runner, every lane sized through the extension module
Tessaroventa._ckernels.monte_carlo._arena:

  first order   shock plan -> first-order simulation -> linear Kalman filter
                -> Ljung-Box on standardised innovations -> OLS of consumption
                on output and hours (+ log-likelihood and sample moments)
  second order  shock plan -> pruned second-order simulation -> unscented
                Kalman filter (+ log-likelihood and sample moments)

Every step and callback inside the runner is native; Python only prepares
the records, binds the data and reads the retained results. Replications run
as ranges of --chunk replications so that progress can be shown. Every draw
is keyed by the seed and the replication's own index, so the results are the
same, bit for bit, whatever the chunk size, the worker count and the number
of processes; the line "results digest:" (SHA-256 of every replication's
results) shows it at a glance.

With --dask N the ranges run on a Dask LocalCluster of N worker processes
(one task thread each, --workers of the library's threads inside each);
with --dask tcp://HOST:PORT on the workers of an existing Dask scheduler.
Each worker process loads the library once, builds the pipelines from the
solution (solved here and sent once) and returns each range's results,
merged here in replication order.

Usage: dsge_study.py [--reps N] [--T T] [--alpha A] [--beta B] [--delta D]
                     [--rho R] [--psi P] [--sigma S] [--sigma-me M]
                     [--figure PATH] [--workers W] [--chunk C] [--seed K]
                     [--dask N|tcp://HOST:PORT]
"""
import argparse
import ctypes
import hashlib
import os
import sys
import time
import types

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("TROVA_BUILD", os.path.join(ROOT, "build"))
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, os.path.join(BUILD, "python"))

try:
    import trova_ctypes as tc  # noqa: E402
except ImportError:  # a Dask worker with the installed package and no repository
    from Tessaroventa._ckernels import trova_ctypes as tc  # noqa: E402
from Tessaroventa._ckernels.monte_carlo import _arena  # noqa: E402

ptr = tc.ptr
BURN_IN = 100
LB_LAGS = 10
NAMES = ("k", "z", "c", "n")
OBSERVABLES = ("output", "consumption", "hours")


_STUDY_LIB = None


def study_library():
    """The study's native callbacks and steps (libtrova_study.so), loaded once per process."""
    global _STUDY_LIB
    if _STUDY_LIB is None:
        path = os.environ.get("TROVA_STUDY_LIB") or os.path.join(BUILD, "examples", "libtrova_study.so")
        _STUDY_LIB = ctypes.CDLL(path)
    return _STUDY_LIB


def address(fn):
    return ctypes.cast(fn, ctypes.c_void_p).value


# ---- the model ----

class Solution:
    """The solved model: steady state, first-order state space, second-order terms."""


def closed_form_steady_state(alpha, beta, delta, psi):
    kn = ((1.0 / beta - 1.0 + delta) / alpha) ** (1.0 / (alpha - 1.0))
    cn = kn ** alpha - delta * kn
    n0 = (1.0 - alpha) * kn ** alpha / (psi * cn)
    return np.array([kn * n0, 0.0, cn * n0, n0])


def stationary_covariance(A, V):
    """Gamma = A Gamma A' + V by doubling."""
    G, Ak = V.copy(), A.copy()
    for _ in range(64):
        G = G + Ak @ G @ Ak.T
        Ak = Ak @ Ak
    return G


def solve_model(lib, study, a):
    ns, nc, n = 2, 2, 4
    par = np.array([a.alpha, a.beta, a.delta, a.rho, a.psi, 1.0 - a.delta, 1.0 - a.alpha])
    resid = tc.trova_residual_fn(address(study.rbc_residual_c128))
    resid_bc = tc.bc_residual_fn(address(study.rbc_residual_bc256))
    s = Solution()
    s.closed_form = closed_form_steady_state(a.alpha, a.beta, a.delta, a.psi)
    seed = s.closed_form * np.array([0.8, 1.0, 1.2, 0.9])
    s.ss, iters = np.zeros(n), np.zeros(1, np.int64)
    s.newton_status = lib.trova_steady_state_newton(resid, ptr(seed), ptr(par), n, len(par), 50, 1e-12,
                                                    ptr(s.ss), ptr(iters))
    s.newton_iterations = int(iters[0])
    if s.newton_status != 0:
        raise SystemExit(f"steady state: Newton failed with status {s.newton_status}")
    av, bv = np.zeros((n, n)), np.zeros((n, n))
    st = lib.klein_preproc(resid, ptr(s.ss), ptr(par), n, len(par), n, 0, ptr(av), ptr(bv))
    if st != 0:
        raise SystemExit(f"linearisation failed with status {st}")
    st, s.stab, s.eig, F, P, *_ = tc.klein_solve(lib, tc.lapack_zgges(), av, bv, ns)
    s.qz_status = st
    if st != 0 or s.stab != 0:
        return s
    s.A, s.B = np.zeros((n, n)), np.zeros((n, ns))
    Fc, Pc = np.ascontiguousarray(F), np.ascontiguousarray(P)
    lib.trova_assemble_state_space(tc.cptr(Pc), tc.cptr(Fc), ns, nc, ns, ptr(s.A), ptr(s.B))
    s.hx, s.gx = np.ascontiguousarray(P.real), np.ascontiguousarray(F.real)
    H = np.zeros(n * 2 * n * 2 * n)
    st = lib.trova_bicomplex_hessian(resid_bc, ptr(s.ss), ptr(par), n, len(par), n, 1e-30, ptr(H))
    s.hxx, s.gxx = np.zeros((ns, ns, ns)), np.zeros((nc, ns, ns))
    s.hss, s.gss = np.zeros(ns), np.zeros(nc)
    eta = np.array([[0.0], [a.sigma]])
    s.second_order_seconds = float("nan")
    if st == 0:
        t0 = time.perf_counter()
        st = lib.trova_second_order(ptr(av), ptr(bv), ptr(H), ptr(s.gx), ptr(s.hx), n, ns, ptr(s.gxx), ptr(s.hxx))
        s.second_order_seconds = time.perf_counter() - t0
    if st == 0:
        st = lib.trova_second_order_risk(ptr(av), ptr(bv), ptr(H), ptr(s.gx), ptr(s.gxx), ptr(eta), n, ns, 1,
                                         ptr(s.gss), ptr(s.hss))
    s.second_order_status = st
    # Observables: 100 log deviations of output, consumption and hours,
    # linearised for the first-order pipeline.
    k0, _, c0, n0 = s.ss
    s.y0 = k0 ** a.alpha * n0 ** (1.0 - a.alpha)
    s.C = 100.0 * np.array([[a.alpha / k0, 1.0, 0.0, (1.0 - a.alpha) / n0],
                            [0.0, 0.0, 1.0 / c0, 0.0],
                            [0.0, 0.0, 0.0, 1.0 / n0]])
    Q = np.diag([0.0, a.sigma ** 2])
    s.Gamma = stationary_covariance(s.A, s.B @ Q @ s.B.T)
    return s


# ---- pipelines ----

class StudyPipeline:
    """One of the study's pipelines: a trova_ctypes Pipeline whose steps have
    names, run as ranges of replications.

    The whole study's pipeline has n_rep = all replications. A shard's (a
    Dask worker's) has n_rep = the largest range it runs and runs each range
    with run_range(first, count): its arrays are indexed from 0 while the
    steps see the replications' own indices."""

    def __init__(self, name, plans, n_rep, n_paths, n_workers):
        self.name, self.plans, self.n_rep, self.n_paths = name, plans, n_rep, n_paths
        self.pipe = tc.Pipeline(n_rep, n_workers)
        self.pipe._keep += plans
        self.steps, self.wall = [], 0.0
        self.where = f"{n_workers} workers"

    def add(self, name, fn, ctx, n_in, n_out, n_int_work=0, n_int_out=0, retain="all"):
        """A step whose results are kept for every replication ("all"), for
        the first n_paths ("paths") or for none (None); returns its index."""
        reps = np.arange(self.n_rep, dtype=np.int64)
        rows = {"all": reps, "paths": np.where(reps < self.n_paths, reps, -1), None: np.full(self.n_rep, -1)}[retain]
        i = self.pipe.add_step(fn, ctx, n_in, n_out, n_int_work, n_int_out, rows=rows)
        st = self.pipe.steps[i]
        self.steps.append(types.SimpleNamespace(name=name, ctx=ctx, retain=retain, retained=st["retained"],
                                                int_retained=st["int_retained"], rows=st["rows"]))
        return i

    def run(self, lib, chunk, progress):
        """Every replication, in ranges of `chunk`."""
        for start in range(0, self.n_rep, chunk):
            t0 = time.perf_counter()
            status = self.pipe.run(profile=True, start=start, count=min(chunk, self.n_rep - start))
            self.wall += time.perf_counter() - t0
            if status != 0:
                raise SystemExit(f"{self.name}: the runner refused the pipeline (status {status})")
            progress(self.name, min(start + chunk, self.n_rep), self.n_rep, self.wall)

    def kept(self, step, first, count):
        """How many of replications first .. first + count - 1 keep their
        rows of `step` (all of them, or those among the first n_paths)."""
        if step.retain == "all":
            return count
        return max(0, min(count, self.n_paths - first)) if step.retain == "paths" else 0

    def run_range(self, first, count):
        """A shard's run of replications first .. first + count - 1 (count at
        most n_rep): their results, compact, for merge()."""
        reps = np.arange(self.n_rep, dtype=np.int64)
        for s in self.steps:
            if s.retain == "paths":
                s.rows[:] = np.where(first + reps < self.n_paths, reps, -1)
        status = self.pipe.run(profile=True, count=count, first_rep=first)
        if status != 0:
            raise RuntimeError(f"{self.name}: the runner refused the pipeline (status {status})")
        rows = []
        for s in self.steps:
            k = self.kept(s, first, count)
            rows.append((s.retained[:k].copy(), s.int_retained[:k].copy()))
        return {"first": first, "count": count, "rows": rows,
                "failure_step": self.pipe.failure_step[:count].copy(),
                "failure_status": self.pipe.failure_status[:count].copy(),
                "elapsed": self.pipe.elapsed.copy(), "counts": self.pipe.counts.copy()}

    def start_merge(self, where):
        """Readies the whole study's pipeline to receive ranges run elsewhere."""
        n_steps = len(self.steps)
        never = np.iinfo(np.int64).min
        self.pipe.failure_step = np.full(self.n_rep, never, dtype=np.int64)
        self.pipe.failure_status = np.full(self.n_rep, never, dtype=np.int64)
        self.pipe.elapsed = np.zeros((self.pipe.n_workers, n_steps))
        self.pipe.counts = np.zeros((self.pipe.n_workers, n_steps), dtype=np.int64)
        self.wall, self.where = 0.0, where

    def merge(self, r):
        """Puts a range's results (run_range) at its replications' rows."""
        first, count = r["first"], r["count"]
        for s, (rows, int_rows) in zip(self.steps, r["rows"]):
            s.retained[first:first + len(rows)] = rows
            s.int_retained[first:first + len(int_rows)] = int_rows
        self.pipe.failure_step[first:first + count] = r["failure_step"]
        self.pipe.failure_status[first:first + count] = r["failure_status"]
        self.pipe.elapsed += r["elapsed"]
        self.pipe.counts += r["counts"]

    @property
    def failure_step(self):
        return self.pipe.failure_step

    @property
    def failure_status(self):
        return self.pipe.failure_status

    @property
    def elapsed(self):
        """Seconds per step, summed over the workers."""
        return self.pipe.elapsed.sum(axis=0)

    @property
    def n_workers(self):
        return self.pipe.n_workers

    def result(self, name):
        return next(s for s in self.steps if s.name == name)


def results_digest(pipelines):
    """SHA-256 (hex) of every replication's results, paths excluded.

    Hashed in this order: for each pipeline, for each of its steps kept for
    every replication, in step order, the float result rows (float64) and
    then the integer result rows (int64), each as one replications x row
    array in replication order; then the pipeline's failing step and failure
    status of every replication (int64). All little-endian."""
    h = hashlib.sha256()
    for p in pipelines:
        for s in p.steps:
            if s.retain == "all":
                h.update(np.ascontiguousarray(s.retained[:p.n_rep], "<f8").tobytes())
                h.update(np.ascontiguousarray(s.int_retained[:p.n_rep], "<i8").tobytes())
        h.update(np.ascontiguousarray(p.failure_step, "<i8").tobytes())
        h.update(np.ascontiguousarray(p.failure_status, "<i8").tobytes())
    return h.hexdigest()


def add_summary_steps(p, study, loglik_step, loglik_at, obs_at, T, m):
    """The study's two closing steps: keep the log-likelihood of the filter's
    output, and the observables' sample moments (simulation step 0)."""
    ll = p.add("log-likelihood", address(study.study_collect_step), CollectCtx(1), 1, 1)
    p.pipe.bind(ll, loglik_step, 0, source_offset=loglik_at, columns=[0])
    mom = p.add("moments", address(study.study_moments_step), MomentsCtx(T, m), T * m, 3 * m)
    p.pipe.bind(mom, 0, 0, source_offset=obs_at, source_row_stride=m, row_start=BURN_IN, n_rows=T,
                columns=[0, 1, 2])


def first_order_pipeline(lib, study, s, a, n_workers):
    """Shock plan -> simulation -> Kalman filter -> Ljung-Box, OLS, log-likelihood, moments."""
    n, m, T = 4, 3, a.T
    T_sim = BURN_IN + T
    # The simulated state carries the three measurement errors behind the
    # model's variables: x = (k, z, c, n, u1, u2, u3), shocks (e_k, e_z, eps).
    nx, ne = n + m, 2 + m
    A = np.zeros((nx, nx))
    A[:n, :n] = s.A
    B = np.zeros((nx, ne))
    B[:n, :2] = s.B
    B[n:, 2:] = np.eye(m)
    plan = tc.ShockPlan(T_sim, ne, [
        {"columns": [1], "factor": [[a.sigma]], "key": a.seed, "idx": 0},
        {"columns": [2, 3, 4], "factor": a.sigma_me * np.eye(m), "key": a.seed, "idx": 1}])
    p = StudyPipeline("first order", [plan], a.reps, a.paths, n_workers)
    params = np.concatenate([[n], s.C.ravel()])
    arena, _ = _arena.simulation_arena_size(1, 2, nx, ne, T_sim, len(params))
    sim_ctx = tc.trova_mc_simulate_order1_step_ctx(
        tc.trova_measurement_fn(address(study.study_observe_linear)), T_sim, nx, ne, len(params), m,
        ctypes.pointer(plan.plan), arena)
    sim = p.add("first-order simulation", tc.fn_address(lib, "trova_mc_simulate_order1_runner"), sim_ctx,
                arena + plan.scratch_size(), T_sim * (nx + m), n_int_out=1, retain="paths")
    # Arena: A | B | x0 | shocks (drawn by the step) | params, laid out as
    # the library lays it out (tc.Layout).
    at = 0
    for block in (A, B, np.zeros(nx)):
        at = p.pipe.bind_static(sim, at, block)
    shocks = tc.Layout(lib.trova_simulate_order1_shock_offset(nx, ne))
    shocks.take(T_sim, ne)
    p.pipe.bind_static(sim, shocks.offset, params)
    obs_at = T_sim * nx  # the observables follow the states in the output

    def observed(step, target_offset, columns, target_row_stride=None):
        """Binds the given observables of the T periods after the burn-in."""
        p.pipe.bind(step, sim, target_offset, n_rows=T, columns=columns, target_row_stride=target_row_stride,
                    source_offset=obs_at, source_row_stride=m, row_start=BURN_IN)

    # Linear filter at the true parameters from the stationary prior:
    # A | B | C | d | Q | R | y | x0 | P0, then its scratch.
    kf_ctx = tc.trova_mc_filter_linear_step_ctx(T, n, m, 2, 1, 0.0, 0)
    kf_in, _ = _arena.filter_arena_size("linear", 2, 2, 2, m, T, 0)
    kf_out = lib.trova_filter_linear_output_arena_size(n, m, 2, T, 0)
    kf = p.add("linear Kalman filter", tc.fn_address(lib, "trova_mc_filter_linear_runner"), kf_ctx, kf_in,
               kf_out, n_int_out=1, retain=None)
    at = 0
    for block in (s.A, s.B, s.C, np.zeros(m), np.diag([0.0, a.sigma ** 2]), a.sigma_me ** 2 * np.eye(m)):
        at = p.pipe.bind_static(kf, at, block)
    y = tc.Layout(at)
    observed(kf, y.take(T, m), [0, 1, 2])
    at = p.pipe.bind_static(kf, y.offset, np.zeros(n))
    p.pipe.bind_static(kf, at, s.Gamma)
    # Where the filter's output holds its standardised innovations and log-likelihood.
    _, kf_blocks = tc.block_offsets("trova_filter_linear_output_offsets", n, m, 2, T, 0)
    std_innov_at, kf_loglik_at = kf_blocks["std_innov"], kf_blocks["loglik"]

    lb_in, _ = _arena.diagnostic_arena_size("ljung_box", T, lags=LB_LAGS)
    lb = p.add("Ljung-Box", tc.fn_address(lib, "trova_mc_ljung_box_test_runner"),
               tc.trova_mc_ljung_box_test_ctx(T, LB_LAGS), lb_in, 1, n_int_out=1)
    p.pipe.bind(lb, kf, 0, n_rows=T, columns=[0], source_offset=std_innov_at, source_row_stride=m)

    # OLS of consumption on (1, output, hours).
    k = 3
    ols_in, ols_int = _arena.regression_arena_size("ols", T, k, True)
    ols_out, _ = tc.block_offsets("trova_mc_regression_output_offsets", k, 1)
    ols = p.add("OLS", tc.fn_address(lib, "trova_mc_ols_runner"), tc.trova_mc_ols_step_ctx(T, k, 1), ols_in,
                ols_out, n_int_work=ols_int, n_int_out=1)
    lane = tc.Layout()  # X (T x k) | y (T) | work
    x_at, y_at = lane.take(T, k), lane.take(T)
    p.pipe.bind(ols, -1, x_at, n_rows=T, n_columns=1, target_row_stride=k, fill_value=1.0)
    observed(ols, x_at + 1, [0, 2], k)
    observed(ols, y_at, [1])

    add_summary_steps(p, study, kf, kf_loglik_at, obs_at, T, m)
    return p, p.steps


def second_order_pipeline(lib, study, s, a, n_workers):
    """Shock plan -> pruned second-order simulation -> unscented filter -> log-likelihood, moments."""
    ns, nc, m, T = 2, 2, 3, a.T
    T_sim = BURN_IN + T
    # States (k, z, u1, u2, u3): the measurement errors as states with no
    # dynamics; shocks (e_z, eps).
    nx, ne = ns + m, 1 + m
    hx = np.zeros((nx, nx))
    hx[:ns, :ns] = s.hx
    gx = np.zeros((nc, nx))
    gx[:, :ns] = s.gx
    bx = np.zeros((nx, ne))
    bx[1, 0] = 1.0
    bx[ns:, 1:] = np.eye(m)
    hxx = np.zeros((nx, nx, nx))
    hxx[:ns, :ns, :ns] = s.hxx
    gxx = np.zeros((nc, nx, nx))
    gxx[:, :ns, :ns] = s.gxx
    hss = np.concatenate([s.hss, np.zeros(m)])
    steady = np.concatenate([s.ss[:ns], np.zeros(m), s.ss[ns:]])
    params = np.array([a.alpha, np.log(s.y0), np.log(s.ss[2]), np.log(s.ss[3])])  # logs of the steady state
    plan = tc.ShockPlan(T_sim, ne, [
        {"columns": [0], "factor": [[a.sigma]], "key": a.seed, "idx": 0},
        {"columns": [1, 2, 3], "factor": a.sigma_me * np.eye(m), "key": a.seed, "idx": 1}])
    p = StudyPipeline("second order", [plan], a.reps, a.paths, n_workers)
    arena, _ = _arena.simulation_arena_size(2, nx, nx + nc, ne, T_sim, len(params))
    sim_ctx = tc.trova_mc_simulate_order2_step_ctx(
        tc.trova_measurement_fn(address(study.study_observe_levels_with_errors)), T_sim, nx, nc, ne,
        len(params), m, ctypes.pointer(plan.plan), arena)
    sim = p.add("second-order simulation", tc.fn_address(lib, "trova_mc_simulate_order2_runner"), sim_ctx,
                arena + plan.scratch_size(), T_sim * (nx + nc + m), n_int_out=1, retain="paths")
    at = 0
    for block in (hx, gx, bx, hxx, gxx, hss, s.gss, steady, np.zeros(nx)):
        at = p.pipe.bind_static(sim, at, block)
    shocks = tc.Layout(lib.trova_simulate_order2_shock_offset(nx, nc, ne))
    shocks.take(T_sim, ne)
    p.pipe.bind_static(sim, shocks.offset, params)
    obs_at = T_sim * (nx + nc)

    # Unscented filter of the model without the error states, R the errors'
    # covariance: hx | gx | bx | hxx | gxx | hss | gss | steady state |
    # params | Q | R | obs | z0 | P0, then its scratch.
    nz = 2 * ns
    ukf_ctx = tc.trova_mc_filter_unscented_step_ctx(
        tc.meas_fn(address(study.study_observe_levels)), T, ns, nc, 1, m, len(params), 1.0, 2.0, 0.0, 1, 0.0)
    ukf_in, _ = _arena.filter_arena_size("unscented", ns, nc, 1, m, T, len(params))
    ukf_out = lib.trova_filter_unscented_output_arena_size(ns, nc, m, T)
    ukf = p.add("unscented Kalman filter", tc.fn_address(lib, "trova_mc_filter_unscented_runner"), ukf_ctx,
                ukf_in, ukf_out, n_int_out=1, retain=None)
    at = 0
    for block in (s.hx, s.gx, np.array([0.0, 1.0]), s.hxx, s.gxx, s.hss, s.gss, s.ss, params,
                  [[a.sigma ** 2]], a.sigma_me ** 2 * np.eye(m)):
        at = p.pipe.bind_static(ukf, at, block)
    y = tc.Layout(at)
    p.pipe.bind(ukf, sim, y.take(T, m), n_rows=T, columns=[0, 1, 2], source_offset=obs_at, source_row_stride=m,
                row_start=BURN_IN)
    at = p.pipe.bind_static(ukf, y.offset, np.zeros(nz))
    P0 = np.zeros((nz, nz))
    P0[:ns, :ns] = s.Gamma[:ns, :ns]
    P0[ns:, ns:] = 1e-10 * np.eye(ns)  # the second-order part starts (almost) known
    p.pipe.bind_static(ukf, at, P0)
    _, ukf_blocks = tc.block_offsets("trova_filter_unscented_output_offsets", ns, nc, m, T)
    loglik_at = ukf_blocks["loglik"]

    add_summary_steps(p, study, ukf, loglik_at, obs_at, T, m)
    return p, p.steps


PIPELINES = {"first order": first_order_pipeline, "second order": second_order_pipeline}


# ---- ranges on Dask ----

_SHARDS = {}  # per worker process: (study token, pipeline, range size) -> StudyPipeline


def run_range_task(token, settings, solution, name, first, count, size):
    """A Dask task: replications first .. first + count - 1 of one pipeline,
    run natively in this worker process. The library is loaded and the
    pipeline built once per process and study (`token`) and range size, from
    the solution's fields; the result is run_range's. Pure: a range run again
    (a lost worker's) gives the same result."""
    key = (token, name, size)
    p = _SHARDS.get(key)
    if p is None:
        if any(k[0] != token for k in _SHARDS):
            _SHARDS.clear()  # another study's pipelines
        a = types.SimpleNamespace(**settings)
        a.reps = size
        s = Solution()
        s.__dict__.update(solution)
        p, _ = PIPELINES[name](tc.load(), study_library(), s, a, a.workers)
        _SHARDS[key] = p
    return p.run_range(first, count)


def run_on_dask(client, a, s, pipelines, progress, on_range=None):
    """Runs the pipelines' replications as Dask tasks of a.chunk replications
    and merges each range's results into `pipelines` (built for all
    replications) as it completes. progress(name, done, total, wall) as for a
    local run; on_range(n_done), when given, after every merged range."""
    import uuid

    from dask.base import tokenize
    from distributed import as_completed

    import dsge_study  # the task by module name, so that workers import it

    n_proc = len(client.scheduler_info()["workers"])
    settings = dict(vars(a), dask=None)
    # Names what the workers build their pipelines from, so that they keep
    # them from one run of the same study to the next.
    token = "study " + tokenize(settings, sorted(vars(s).items()))
    # Sent once, to every worker (a list: a bare dict would be scattered item
    # by item). Every run's keys are its own: a key released by the last run
    # and submitted again at once can be cancelled by the late release.
    run = uuid.uuid4().hex
    [solution] = client.scatter([dict(vars(s))], broadcast=True, hash=False)
    t0 = time.perf_counter()
    futures, owner, done = [], {}, {}
    for p in pipelines:
        # Both pipelines' ranges share the cluster: a pipeline's wall time runs
        # from the first submission to its last range.
        p.start_merge(f"{n_proc} Dask worker processes x {a.workers} workers")
        done[p.name] = 0
        for first in range(0, a.reps, a.chunk):
            # The task is pure: the scheduler runs a lost worker's ranges again
            # elsewhere, with the same results; retries cover a task that raised.
            f = client.submit(dsge_study.run_range_task, token, settings, solution, p.name, first,
                              min(a.chunk, a.reps - first), min(a.chunk, a.reps), retries=3,
                              key=f"study-range-{run}-{p.name.replace(' ', '-')}-{first}")
            futures.append(f)
            owner[f.key] = p
    n_done = 0
    for f in as_completed(futures):
        r, p = f.result(), owner[f.key]
        p.merge(r)
        done[p.name] += r["count"]
        p.wall = time.perf_counter() - t0
        n_done += 1
        progress(p.name, done[p.name], p.n_rep, p.wall)
        f.release()
        if on_range is not None:
            on_range(n_done)
    del futures, solution


class MomentsCtx(ctypes.Structure):
    _fields_ = [("T", ctypes.c_int64), ("m", ctypes.c_int64)]


class CollectCtx(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int64)]


# ---- reporting ----

def chi2_quantile(q, dof):
    try:
        from scipy.stats import chi2
        return float(chi2.ppf(q, dof))
    except ImportError:  # Wilson-Hilferty, to about 3 digits
        from statistics import NormalDist
        z = NormalDist().inv_cdf(q)
        return dof * (1.0 - 2.0 / (9.0 * dof) + z * np.sqrt(2.0 / (9.0 * dof))) ** 3


def quantiles(x, qs=(0.05, 0.25, 0.5, 0.75, 0.95)):
    return np.quantile(x, qs)


def print_solution(s, a):
    print("Real business cycle model: capital k, log technology z, consumption c, hours n")
    print(f"  alpha = {a.alpha}, beta = {a.beta}, delta = {a.delta}, rho = {a.rho}, psi = {a.psi}, "
          f"technology shock s.d. {a.sigma}, measurement error s.d. {a.sigma_me} (percent)")
    print(f"  steady state (Newton from a seed 10-20% off, status {s.newton_status}, "
          f"{s.newton_iterations} iterations): "
          + "  ".join(f"{v} = {x + 0.0:.10f}" for v, x in zip(NAMES, np.round(s.ss, 12))))
    print(f"    largest deviation from the closed form: {np.max(np.abs(s.ss - s.closed_form)):.2e}")
    eig = "  ".join("inf" if not np.isfinite(e) else f"{abs(e):.6f}" for e in s.eig)
    verdict = {0: "unique stable solution", -1: "no stable solution", 1: "indeterminate"}.get(
        s.stab, "not evaluated")
    print(f"  QZ (LAPACK zgges) status {s.qz_status}; generalised eigenvalue moduli: {eig}")
    print(f"  Blanchard-Kahn: {verdict} (2 predetermined variables)")
    if s.qz_status != 0 or s.stab != 0:
        raise SystemExit("the model has no unique stable solution; nothing to simulate")
    print("  state space x(t+1) = A x(t) + B (e_k, e_z)(t+1), x = (k, z, c, n) in deviations:")
    for i, v in enumerate(NAMES):
        print(f"    {v}  A: " + " ".join(f"{x:10.6f}" for x in s.A[i]) + "   B: "
              + " ".join(f"{x:10.6f}" for x in s.B[i]))
    if s.second_order_status != 0:
        raise SystemExit(f"second-order terms failed with status {s.second_order_status}")
    print(f"  second order (bicomplex Hessian): k'_kk = {s.hxx[0, 0, 0]:.6f}, k'_kz = {s.hxx[0, 0, 1]:.6f}, "
          f"c_kk = {s.gxx[0, 0, 0]:.3e}, n_kz = {s.gxx[1, 0, 1]:.6f}")
    hss, gss = s.hss + 0.0, s.gss + 0.0  # no negative zeros in print
    print(f"    risk corrections: hss = ({hss[0]:.3e}, {hss[1]:.3e}), gss = ({gss[0]:.3e}, {gss[1]:.3e})")
    print(f"    second-order solve (trova_second_order, n = 4, nx = 2): {1e6 * s.second_order_seconds:.1f} us")


def print_profile(p):
    total = p.elapsed.sum()
    print(f"  {p.name}: {p.n_rep} replications in {p.wall:.2f} s wall on {p.where} "
          f"({p.n_rep / p.wall:,.0f} replications/s)")
    for s, t in zip(p.steps, p.elapsed):
        print(f"    {s.name:<26} {1e6 * t / p.n_rep:9.1f} us/replication  {100 * t / total:5.1f}%")


def moment_table(label, mom, m, theory=None):
    """Rows of MC mean (s.e.) of each observable's sample mean, variance and
    first autocorrelation, with [theory] beside them when given."""
    mom = mom[np.all(np.isfinite(mom), axis=1)].copy()
    mom[:, m:2 * m] **= 2  # s.d. -> variance
    mean, se = mom.mean(axis=0), mom.std(axis=0) / np.sqrt(len(mom))
    rows = []
    for j, name in enumerate(OBSERVABLES):
        cells = []
        for k in range(3):
            i = k * m + j
            cell = f"{mean[i]:8.4f} ({se[i]:.4f})"
            cells.append(cell + (f" [{theory[i]:7.4f}]" if theory is not None else ""))
        rows.append(f"    {label:<13}{name:<12}" + "  ".join(cells))
    return rows


def first_order_theory(s, a, T):
    """Exact expectations of the sample mean and sample variance (divisor T)
    of each observable under the stationary first-order law, and its
    population first autocorrelation."""
    m = s.C.shape[0]
    gam = np.zeros((T, m))
    Ah = np.eye(s.A.shape[0])
    for h in range(T):
        gam[h] = np.diag(s.C @ Ah @ s.Gamma @ s.C.T)
        Ah = Ah @ s.A
    gam[0] += a.sigma_me ** 2
    h = np.arange(1, T)[:, None]
    var_mean = (T * gam[0] + 2.0 * np.sum((T - h) * gam[1:], axis=0)) / T ** 2
    return np.concatenate([np.zeros(m), gam[0] - var_mean, gam[1] / gam[0]])


def expected_loglik(s, a, T):
    """E[log-likelihood] of the first-order model at the true parameters:
    -1/2 sum_t (log det S_t + m + m log 2 pi), the innovation covariances S_t
    from the Riccati recursion in NumPy (they do not depend on the data)."""
    m = s.C.shape[0]
    R, BQB = a.sigma_me ** 2 * np.eye(m), s.B @ np.diag([0.0, a.sigma ** 2]) @ s.B.T
    P, total = s.Gamma.copy(), 0.0
    for _ in range(T):
        P = s.A @ P @ s.A.T + BQB
        S = s.C @ P @ s.C.T + R
        K = P @ s.C.T @ np.linalg.inv(S)
        P = P - K @ s.C @ P
        total += np.linalg.slogdet(S)[1] + m + m * np.log(2.0 * np.pi)
    return -0.5 * total


def report(s, a, p1, p2, figure):
    T, m = a.T, 3
    print("\nResults")
    failed1 = int(np.sum(p1.failure_step != -1))
    failed2 = int(np.sum(p2.failure_step != -1))

    ll1 = p1.result("log-likelihood").retained[:, 0]
    ll2 = p2.result("log-likelihood").retained[:, 0]
    for label, ll in (("Kalman filter (first order)", ll1), ("unscented filter (second order)", ll2)):
        ok = ll[np.isfinite(ll)]
        q = quantiles(ok)
        print(f"  log-likelihood, {label}: mean {ok.mean():.2f}, sd {ok.std():.2f}; "
              f"quantiles 5/25/50/75/95%: " + " ".join(f"{x:.2f}" for x in q))

    lb = p1.result("Ljung-Box").retained[:, 0]
    lb = lb[np.isfinite(lb)]
    rates = [(alpha, np.mean(lb > chi2_quantile(1 - alpha, LB_LAGS))) for alpha in (0.10, 0.05, 0.01)]
    print(f"  Ljung-Box ({LB_LAGS} lags) on the standardised output innovations of the true model: "
          "rejection rates " + ", ".join(f"{r:.3f} at {alpha:.0%}" for alpha, r in rates))

    ols = p1.result("OLS")
    _, at = tc.block_offsets("trova_mc_regression_output_offsets", 3, 1)
    coef, se = ols.retained[:, at["coef"]:at["coef"] + 3], ols.retained[:, at["se"]:at["se"] + 3]
    ok = ols.int_retained[:, 0] == 0
    # Population values: the projection of consumption on (1, output, hours)
    # under the stationary law of the first-order observables.
    V = s.C @ s.Gamma @ s.C.T + a.sigma_me ** 2 * np.eye(m)
    X = [0, 2]
    beta = np.linalg.solve(V[np.ix_(X, X)], V[X, 1])
    print(f"  OLS of consumption on (1, output, hours), T = {T}, {int(ok.sum())} fits:")
    print("    coefficient   population   MC mean    MC sd   mean s.e.   5%       95%")
    for j, (name, pop) in enumerate(zip(("intercept", "output", "hours"), [0.0, *beta])):
        c = coef[ok, j]
        q = quantiles(c, (0.05, 0.95))
        print(f"    {name:<12} {pop:10.4f} {c.mean():10.4f} {c.std():8.4f} {se[ok, j].mean():10.4f} "
              f"{q[0]:8.4f} {q[1]:8.4f}")

    mom1 = p1.result("moments").retained
    mom2 = p2.result("moments").retained
    print("  sample moments of the observables (100 log deviations): MC mean (MC s.e.) [exact expectation of")
    print("  the first-order sample mean and variance, population autocorrelation]")
    print(f"    {'':<25}{'mean':<28}  {'variance':<28}  first autocorrelation")
    theory = first_order_theory(s, a, T)
    for line in moment_table("first order", mom1, m, theory):
        print(line)
    for line in moment_table("second order", mom2, m):
        print(line)
    # Both pipelines draw the same shocks, so the paired difference isolates
    # what the second-order terms add.
    both = np.all(np.isfinite(mom1), axis=1) & np.all(np.isfinite(mom2), axis=1)
    d = mom2[both, :m] - mom1[both, :m]
    print("  second minus first order, mean of each observable (same shocks): "
          + ", ".join(f"{n} {x:+.4f} ({e:.4f})" for n, x, e in
                      zip(OBSERVABLES, d.mean(axis=0), d.std(axis=0) / np.sqrt(len(d)))))

    # Checks a fault would break: the first-order sample variances against
    # their exact expectations, and the Kalman log-likelihood against its own.
    v = mom1[np.all(np.isfinite(mom1), axis=1), m:2 * m] ** 2
    z_var = (v.mean(axis=0) - theory[m:2 * m]) / (v.std(axis=0) / np.sqrt(len(v)))
    ll_ok = ll1[np.isfinite(ll1)]
    e_ll = expected_loglik(s, a, T)
    z_ll = (ll_ok.mean() - e_ll) / (ll_ok.std() / np.sqrt(len(ll_ok)))
    verdict = "passed" if np.all(np.abs(z_var) < 4.5) and abs(z_ll) < 4.5 else "CHECK FAILED"
    print(f"  check ({verdict}): first-order sample variances against their expectations, z = "
          + ", ".join(f"{z:+.2f}" for z in z_var)
          + f"; Kalman log-likelihood mean against its expectation {e_ll:.2f}, z = {z_ll:+.2f}")

    print("\nPer-step time (summed over workers)")
    print_profile(p1)
    print_profile(p2)
    print(f"\nresults digest: {results_digest((p1, p2))}")
    print(f"failed replications: {failed1 + failed2}")
    if figure:
        draw_figure(s, a, p1, p2, figure, ll1, ll2, lb, coef[ok], beta, mom1, mom2)
        print(f"figure written to {figure}")
    return failed1 + failed2


def draw_figure(s, a, p1, p2, path, ll1, ll2, lb, coef, beta, mom1, mom2):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    T, m = a.T, 3
    fig, ax = plt.subplots(2, 3, figsize=(15, 8.5))
    t = np.arange(T)

    def observed(pl):
        """paths x T x m observables of the replications kept for the figure."""
        sim, T_sim = pl.steps[0].retained[:a.paths], pl.steps[0].ctx.T
        return sim[:, -T_sim * m:].reshape(len(sim), T_sim, m)[:, BURN_IN:, :]

    obs1, obs2 = observed(p1), observed(p2)
    lo, q25, med, q75, hi = np.quantile(obs1[:, :, 0], (0.05, 0.25, 0.5, 0.75, 0.95), axis=0)
    ax[0, 0].fill_between(t, lo, hi, color="tab:blue", alpha=0.15, label="90% band")
    ax[0, 0].fill_between(t, q25, q75, color="tab:blue", alpha=0.3, label="50% band")
    ax[0, 0].plot(t, med, color="tab:blue", label="median")
    ax[0, 0].plot(t, obs1[0, :, 0], color="k", lw=0.7, label="replication 0, first order")
    ax[0, 0].plot(t, obs2[0, :, 0], color="tab:red", lw=0.7, ls="--", label="replication 0, second order")
    ax[0, 0].set(title=f"Output (100 log deviation), {a.paths} first-order paths", xlabel="period")
    ax[0, 0].legend(fontsize=7, ncol=2)

    for ll, color, label in ((ll1, "tab:blue", "Kalman filter, first order"),
                             (ll2, "tab:red", "unscented filter, second order")):
        ll = ll[np.isfinite(ll)]
        ax[0, 1].hist(ll, bins=60, color=color, alpha=0.5, density=True, label=label)
    ax[0, 1].set(title="Log-likelihood at the true parameters", xlabel="log-likelihood")
    ax[0, 1].legend(fontsize=8)

    ax[0, 2].hist(lb, bins=60, density=True, color="tab:green", alpha=0.6, label="replications")
    x = np.linspace(0, max(lb.max(), 1.0), 300)
    try:
        from scipy.stats import chi2
        ax[0, 2].plot(x, chi2.pdf(x, LB_LAGS), "k", label=f"chi-square({LB_LAGS})")
    except ImportError:
        pass
    ax[0, 2].axvline(chi2_quantile(0.95, LB_LAGS), color="k", ls="--", lw=0.8, label="5% critical value")
    ax[0, 2].set(title="Ljung-Box on standardised output innovations", xlabel="Q statistic")
    ax[0, 2].legend(fontsize=8)

    for j, (name, color) in enumerate((("output", "tab:blue"), ("hours", "tab:orange"))):
        ax[1, 0].hist(coef[:, j + 1] - beta[j], bins=60, alpha=0.5, color=color, density=True, label=name)
    ax[1, 0].axvline(0.0, color="k", ls="--", lw=0.8)
    ax[1, 0].set(title="OLS of consumption on output and hours:\nslope minus population projection",
                 xlabel="estimation error")
    ax[1, 0].legend(fontsize=8)

    # Same shocks in both pipelines: the paired difference is what the
    # second-order terms add, period by period.
    diff = obs2 - obs1
    for j, (name, color) in enumerate(zip(OBSERVABLES, ("tab:blue", "tab:green", "tab:orange"))):
        lo, hi = np.quantile(diff[:, :, j], (0.05, 0.95), axis=0)
        ax[1, 1].fill_between(t, lo, hi, color=color, alpha=0.15)
        ax[1, 1].plot(t, diff[:, :, j].mean(axis=0), color=color, label=name)
    ax[1, 1].axhline(0, color="k", lw=0.5)
    ax[1, 1].set(title="Second minus first order, same shocks\n(mean and 90% band)", xlabel="period")
    ax[1, 1].legend(fontsize=8)

    width, idx = 0.38, np.arange(m)
    for off, mom, color, label in ((-width / 2, mom1, "tab:blue", "first order"),
                                   (width / 2, mom2, "tab:red", "second order")):
        sd = mom[:, m:2 * m]
        sd = sd[np.all(np.isfinite(sd), axis=1)]
        ax[1, 2].bar(idx + off, sd.mean(axis=0), width, yerr=2 * sd.std(axis=0) / np.sqrt(len(sd)),
                     color=color, alpha=0.7, label=label, capsize=3)
    ax[1, 2].set_xticks(idx, OBSERVABLES)
    ax[1, 2].set(title="Sample standard deviation (MC mean, 2 s.e.)")
    ax[1, 2].legend(fontsize=8)
    fig.suptitle(f"Real business cycle model: {a.reps} replications of T = {T}", fontsize=13)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def parse_args(argv=None):
    """The study's settings from the command line (argv=[] for the defaults)."""
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--reps", type=int, default=10000, help="replications (default 10000)")
    ap.add_argument("--T", type=int, default=200, help="observed periods per replication (default 200)")
    ap.add_argument("--alpha", type=float, default=0.33, help="capital share")
    ap.add_argument("--beta", type=float, default=0.99, help="discount factor")
    ap.add_argument("--delta", type=float, default=0.025, help="depreciation rate")
    ap.add_argument("--rho", type=float, default=0.95, help="persistence of technology")
    ap.add_argument("--psi", type=float, default=2.0, help="weight of hours in utility")
    ap.add_argument("--sigma", type=float, default=0.007, help="s.d. of the technology shock")
    ap.add_argument("--sigma-me", type=float, default=0.2, dest="sigma_me",
                    help="s.d. of the measurement errors, in percent")
    ap.add_argument("--paths", type=int, default=500, help="replications whose paths are kept for the figure")
    ap.add_argument("--chunk", type=int, default=1000,
                    help="replications per range: per progress report, per Dask task (default 1000)")
    ap.add_argument("--seed", type=int, default=20261208, help="Philox key of every draw")
    ap.add_argument("--workers", type=int, default=os.cpu_count(),
                    help="worker threads of the library, per process (default: all cores)")
    ap.add_argument("--dask", default=None, metavar="N|tcp://HOST:PORT",
                    help="run the replications on a Dask LocalCluster of N worker processes, or on the "
                         "workers of the Dask scheduler at tcp://HOST:PORT")
    ap.add_argument("--figure", default="dsge_study.png", help="PNG file to write ('' for none)")
    a = ap.parse_args(argv)
    if a.reps < 1 or a.T < LB_LAGS + 2 or a.workers < 1 or a.chunk < 1:
        ap.error("need reps >= 1, T >= 12, workers >= 1, chunk >= 1")
    if a.dask is not None and not (a.dask.isdigit() and int(a.dask) >= 1 or "://" in a.dask):
        ap.error("--dask takes a number of worker processes or a scheduler address tcp://HOST:PORT")
    a.paths = min(a.paths, a.reps)
    return a


def monte_carlo(a, lib, study, s, progress, client=None, on_range=None):
    """Both pipelines over all replications, here or on the Dask `client`
    (run_on_dask, with on_range); the first-order and second-order pipelines."""
    p1, _ = first_order_pipeline(lib, study, s, a, a.workers)
    p2, _ = second_order_pipeline(lib, study, s, a, a.workers)
    if client is None:
        p1.run(lib, a.chunk, progress)
        p2.run(lib, a.chunk, progress)  # the same shocks: common random numbers
    else:
        run_on_dask(client, a, s, (p1, p2), progress, on_range)
    return p1, p2


def dask_client(where):
    """A Dask client: of a new LocalCluster of `where` worker processes with
    one task thread each (closed with the client), or of the scheduler at the
    address `where`, whose workers receive this file to import."""
    from distributed import Client
    if where.isdigit():
        return Client(n_workers=int(where), threads_per_worker=1, processes=True, dashboard_address=":0")
    client = Client(where)
    client.upload_file(os.path.abspath(__file__))
    return client


def main(argv=None):
    a = parse_args(argv)
    lib, study = tc.load(), study_library()
    t0 = time.perf_counter()
    s = solve_model(lib, study, a)
    print_solution(s, a)
    print(f"  (model solved in {1e3 * (time.perf_counter() - t0):.1f} ms)\n")

    client = None if a.dask is None else dask_client(a.dask)
    where = f"{a.workers} workers"
    if client is not None:
        where = f"Dask ({client.scheduler.address}), {len(client.scheduler_info()['workers'])} worker processes " \
                f"x {a.workers} workers, ranges of {a.chunk}"
    print(f"Monte Carlo: {a.reps} replications of T = {a.T} observed periods after a burn-in of {BURN_IN}, "
          f"{where}; lanes sized by {_arena.__name__}")

    def progress(name, done, total, wall):
        print(f"  {name}: {done:>7}/{total} replications  {wall:6.2f} s", flush=True)

    try:
        p1, p2 = monte_carlo(a, lib, study, s, progress, client)
    finally:
        if client is not None:
            client.close()
    failed = report(s, a, p1, p2, a.figure)
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
