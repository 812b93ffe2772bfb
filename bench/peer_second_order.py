#!/usr/bin/env -S /usr/bin/python3
"""The whole solution chain of an N-sector real business cycle model through
the library, side by side with Dynare (under Octave) solving the same model
at order 2, for a list of sizes N (n = 4N variables, nx = 2N states).

The model (examples/nsector_model.cpp) is N copies of the study's model
(examples/dsge_study.py, at its default parameters), each sector's
production multiplied by (aggregate capital / its steady state)^0.05 and
each sector's technology loading 0.02 of its neighbour's lagged technology,
so that nothing decouples.

The library's chain, as the study runs it: the steady state by Newton from
a seed 10-20% off the closed form, complex-step linearisation, QZ through
Debian LAPACK's zgges_ (with the Blanchard-Kahn check), the bicomplex
Hessian, the second-order terms and the risk corrections. Its time is the
median over repetitions of the whole chain; the per-stage rows give each
stage's median time and its share of the chain.

The peer: the same model written as a Dynare .mod file generated from N
(capital declared predetermined, so that k(+1) is next period's capital as
in the library's model, and the same initial guess for the steady state).
Dynare's preprocessor and its first stoch_simul(order = 2) run once, untimed;
then Octave times, with tic/toc, repeated calls of resol (the steady state
from the same seed, the model's derivatives, first and second order), the
median over repetitions. The library and Dynare run one after the other,
not interleaved.

Agreement is checked first, at every size: Dynare's decision rules (in its
own ordering oo_.dr.order_var and with its states k(t), z(t-1) and shocks
e(t)) are rebuilt from the library's gx, hx, gxx, hxx, gss and hss through
z(t) = rho z(t-1) + 0.02 z_next(t-1) + e(t), and ghx, ghu, ghxx, ghxu, ghuu
and ghs2 must agree to 1e-7 relative to each block's largest entry.

Today's dense second-order path forms a system of R = n nx (nx + 1) / 2
unknowns with R^2 doubles: sizes above --max-dense-unknowns are skipped
(with a note) unless the library exports trova_second_order_dense, the sign
that trova_second_order runs the structured solver.

Usage: bench/peer_second_order.py [--sizes 5,10,15,25] [--max-dense-unknowns R] [--quick]
"""
import argparse
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import peer_common as pc
import numpy as np  # noqa: E402

import trova_ctypes as tc  # noqa: E402

sys.path.insert(0, os.path.join(pc.ROOT, "examples"))
import dsge_study as ds  # noqa: E402

SIZES = (5, 10, 15, 25)
# The largest dense reduced system run by default: N = 5 (1100 unknowns);
# N = 10 has 8400 (about 0.6 GB and 15 s per solve).
MAX_DENSE_UNKNOWNS = 2000
DYNARE_MATLAB = "/usr/lib/dynare/matlab"
TOLERANCE = 1e-7
STAGES = ("steady state", "linearisation", "QZ", "Hessian", "second order", "risk")
# The study's default parameters; EXT and SPILL couple the sectors.
ALPHA, BETA, DELTA, RHO, PSI, SIGMA = 0.33, 0.99, 0.025, 0.95, 2.0, 0.007
EXT, SPILL = 0.05, 0.02
SEED_FACTORS = (0.8, 1.0, 1.2, 0.9)  # the Newton seed, per variable kind, times the closed form


def debian_version(package):
    """The installed Debian package's upstream version, or None."""
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True)
    except OSError:
        return None
    return (out.stdout.split("-")[0] or None) if out.returncode == 0 else None


PEER = f"Dynare {debian_version('dynare') or '5.3'} (Octave {debian_version('octave') or '?'})"


def model_library():
    path = os.environ.get("TROVA_NSECTOR_LIB") or os.path.join(
        os.environ.get("TROVA_BUILD", os.path.join(pc.ROOT, "build")), "examples", "libtrova_nsector.so")
    return ctypes.CDLL(path)


def dense_unknowns(N):
    n, nx = 4 * N, 2 * N
    return n * nx * (nx + 1) // 2


def sector_steady_state():
    """One sector's closed-form steady state (k, z, c, n): the externality is
    1 there, so every sector has the one-sector model's."""
    return ds.closed_form_steady_state(ALPHA, BETA, DELTA, PSI)


class Model:
    """The N-sector model: parameters, closed-form steady state and seed."""

    def __init__(self, N, native):
        self.N, self.n, self.nx = N, 4 * N, 2 * N
        one = sector_steady_state()
        self.closed_form = np.repeat(one, N)
        self.seed = np.repeat(one * np.array(SEED_FACTORS), N)
        self.par = np.array([ALPHA, BETA, DELTA, RHO, PSI, 1.0 - DELTA, 1.0 - ALPHA, float(N), N * one[0], EXT, SPILL])
        self.resid = tc.trova_residual_fn(ctypes.cast(native.nsector_residual_c128, ctypes.c_void_p).value)
        self.resid_bc = tc.bc_residual_fn(ctypes.cast(native.nsector_residual_bc256, ctypes.c_void_p).value)
        self.eta = np.zeros((self.nx, N))  # technology shocks of s.d. SIGMA, one per sector
        self.eta[N + np.arange(N), np.arange(N)] = SIGMA


class Solution:
    """The chain's results and its per-stage seconds."""


def solve(lib, zgges, m, clock=None, second_order=True):
    """The whole chain on model m; `clock`, a dict, accumulates each stage's
    seconds. Without second_order the chain stops after the Hessian."""
    n, nx, npar = m.n, m.nx, len(m.par)
    s = Solution()
    marks = [time.perf_counter()]

    def lap(status, stage):
        marks.append(time.perf_counter())
        if clock is not None:
            clock[stage] = clock.get(stage, 0.0) + marks[-1] - marks[-2]
        if status != 0:
            raise RuntimeError(f"N = {m.N}: {stage} failed with status {status}")

    s.ss, iters = np.zeros(n), np.zeros(1, np.int64)
    lap(lib.trova_steady_state_newton(m.resid, tc.ptr(m.seed), tc.ptr(m.par), n, npar, 50, 1e-12, tc.ptr(s.ss),
                                      tc.ptr(iters)), "steady state")
    s.a, s.b = np.zeros((n, n)), np.zeros((n, n))
    lap(lib.klein_preproc(m.resid, tc.ptr(s.ss), tc.ptr(m.par), n, npar, n, 0, tc.ptr(s.a), tc.ptr(s.b)),
        "linearisation")
    st, stab, _, F, P, *_ = tc.klein_solve(lib, zgges, s.a, s.b, nx)
    lap(st or stab, "QZ")
    s.hx, s.gx = np.ascontiguousarray(P.real), np.ascontiguousarray(F.real)
    s.H = np.zeros(n * 4 * n * n)
    lap(lib.trova_bicomplex_hessian(m.resid_bc, tc.ptr(s.ss), tc.ptr(m.par), n, npar, n, 1e-30, tc.ptr(s.H)),
        "Hessian")
    if not second_order:
        return s
    s.hxx, s.gxx = np.zeros((nx, nx, nx)), np.zeros((n - nx, nx, nx))
    lap(lib.trova_second_order(tc.ptr(s.a), tc.ptr(s.b), tc.ptr(s.H), tc.ptr(s.gx), tc.ptr(s.hx), n, nx,
                               tc.ptr(s.gxx), tc.ptr(s.hxx)), "second order")
    s.hss, s.gss = np.zeros(nx), np.zeros(n - nx)
    lap(lib.trova_second_order_risk(tc.ptr(s.a), tc.ptr(s.b), tc.ptr(s.H), tc.ptr(s.gx), tc.ptr(s.gxx),
                                    tc.ptr(m.eta), n, nx, m.N, tc.ptr(s.gss), tc.ptr(s.hss)), "risk")
    return s


# ---- Dynare ----

def dynare_available():
    return shutil.which("octave") is not None and os.path.isfile(os.path.join(DYNARE_MATLAB, "dynare.m"))


def mod_file(N):
    """The N-sector model as a Dynare .mod file (variables declared in the
    library's order: k, z, c, n, each sector by sector)."""
    k, z, c, h, e = ([f"{v}_{i}" for i in range(1, N + 1)] for v in "kzche")  # h: hours
    K = "(" + " + ".join(k) + ")"
    K_next = "(" + " + ".join(f"{x}(+1)" for x in k) + ")"

    def y(i, lead=""):
        agg = K_next if lead else K
        return (f"exp({z[i]}{lead})*{k[i]}{lead}^alpha*{h[i]}{lead}^(1-alpha)*({agg}/K_ss)^ext")

    lines = [f"// N-sector real business cycle model, N = {N}: n = {4 * N} variables, {2 * N} states.",
             "var " + " ".join(k + z + c + h) + ";",
             "varexo " + " ".join(e) + ";",
             "predetermined_variables " + " ".join(k) + ";",
             "parameters alpha beta delta rho psi K_ss ext spill;",
             f"alpha = {ALPHA!r}; beta = {BETA!r}; delta = {DELTA!r}; rho = {RHO!r}; psi = {PSI!r};",
             f"ext = {EXT!r}; spill = {SPILL!r};"]
    one = sector_steady_state()
    lines.append(f"K_ss = {N * one[0]!r};")
    lines.append("model;")
    for i in range(N):
        lines.append(f"1/{c[i]} = beta*(alpha*{y(i, '(+1)')}/{k[i]}(+1) + 1 - delta)/{c[i]}(+1);")
    for i in range(N):
        lines.append(f"psi*{c[i]} = (1-alpha)*{y(i)}/{h[i]};")
    for i in range(N):
        lines.append(f"{k[i]}(+1) + {c[i]} = {y(i)} + (1-delta)*{k[i]};")
    for i in range(N):
        lines.append(f"{z[i]} = rho*{z[i]}(-1) + spill*{z[(i + 1) % N]}(-1) + {e[i]};")
    lines.append("end;")
    seed = one * np.array(SEED_FACTORS)
    lines.append("initval;")
    for names, v in zip((k, z, c, h), seed):
        lines += [f"{x} = {v!r};" for x in names]
    lines.append("end;")
    lines.append("shocks;")
    lines += [f"var {x}; stderr {SIGMA!r};" for x in e]
    lines.append("end;")
    lines.append("stoch_simul(order = 2, irf = 0, periods = 0, noprint, nograph, nomoments, nocorr);")
    return "\n".join(lines) + "\n", seed


OCTAVE_DRIVER = """\
addpath('{matlab}');
cd('{work}');
dynare {name} noclearall nolog
seed = oo_.steady_state;
seed(:) = {seed};
oo_.steady_state = seed;
[dr, info] = resol(0, M_, options_, oo_);
if info(1) ~= 0, error('resol failed: %d', info(1)); end
tic; calls = 0;
while toc < {budget} || calls == 0
  oo_.steady_state = seed; [dr, info] = resol(0, M_, options_, oo_); calls = calls + 1;
end
once = toc / calls;
number = max(1, round({budget} / once));
t = zeros({repeats}, 1);
for r = 1:{repeats}
  tic;
  for j = 1:number
    oo_.steady_state = seed; [dr, info] = resol(0, M_, options_, oo_);
  end
  t(r) = toc / number;
end
fid = fopen('times.txt', 'w'); fprintf(fid, '%.9e\\n', t); fclose(fid);
w = @(f, x) dlmwrite(f, full(x), 'precision', '%.17g');
w('ys.csv', dr.ys); w('order_var.csv', dr.order_var); w('ghx.csv', dr.ghx); w('ghu.csv', dr.ghu);
w('ghxx.csv', dr.ghxx); w('ghxu.csv', dr.ghxu); w('ghuu.csv', dr.ghuu); w('ghs2.csv', dr.ghs2);
w('dims.csv', [M_.nstatic, M_.nspred]);
"""


def run_dynare(N, timing):
    """Generates, preprocesses and solves the model in Octave, in a scratch
    directory; returns (median seconds per resol call, Dynare's decision rules)."""
    with tempfile.TemporaryDirectory(prefix="trova_dynare_") as work:
        return dynare_in(N, timing, work)


def dynare_in(N, timing, work):
    name = f"nsector{N}"
    text, seed = mod_file(N)
    with open(os.path.join(work, name + ".mod"), "w") as f:
        f.write(text)
    # The seed per variable, in declaration order (k, z, c, h, each sector by sector).
    seed_vec = "[" + "; ".join(repr(float(v)) for v in np.repeat(seed, N)) + "]"
    script = OCTAVE_DRIVER.format(matlab=DYNARE_MATLAB, work=work, name=name, seed=seed_vec,
                                  budget=max(timing.budget, 0.02), repeats=timing.repeats)
    with open(os.path.join(work, "driver.m"), "w") as f:
        f.write(script)
    proc = subprocess.run(["octave", "--no-gui", "--quiet", "--no-window-system", "driver.m"], cwd=work,
                          capture_output=True, text=True, timeout=3600)
    if proc.returncode != 0:
        raise RuntimeError(f"Dynare at N = {N} failed:\n{proc.stdout[-2000:]}\n{proc.stderr[-2000:]}")

    def read(f):
        return np.atleast_2d(np.loadtxt(os.path.join(work, f), delimiter=",", ndmin=2))

    times = np.loadtxt(os.path.join(work, "times.txt"), ndmin=1)
    dr = {f: read(f + ".csv") for f in ("ys", "ghx", "ghu", "ghxx", "ghxu", "ghuu", "ghs2")}
    dr["order_var"] = read("order_var.csv").astype(int).ravel() - 1
    dr["nstatic"], dr["nspred"] = (int(x) for x in read("dims.csv").ravel())
    return float(statistics.median(times)), dr


def expected_rules(m, s):
    """Dynare's decision rules rebuilt from the library's solution, rows in
    declaration order, states (k(t), z(t-1)) and shocks e(t) in declaration
    order: the library's state x(t) = (k(t), z(t)) = Ms w + Mu e with
    w = (k(t), z(t-1)) and z(t) = Rz z(t-1) + e(t)."""
    N, n, nx = m.N, m.n, m.nx
    Rz = RHO * np.eye(N) + SPILL * np.roll(np.eye(N), 1, axis=1)
    Ms = np.block([[np.eye(N), np.zeros((N, N))], [np.zeros((N, N)), Rz]])
    Mu = np.vstack([np.zeros((N, N)), np.eye(N)])
    # Dynare's k_i(t) is the capital chosen at t: the library's k_i(t+1).
    L = np.vstack([s.hx[:N], np.hstack([np.zeros((N, N)), np.eye(N)]), s.gx])
    Q = np.concatenate([s.hxx[:N], np.zeros((N, nx, nx)), s.gxx])
    S2 = np.concatenate([s.hss[:N], s.hss[N:], s.gss])
    return {"ghx": L @ Ms, "ghu": L @ Mu,
            "ghxx": np.einsum("vab,ai,bj->vij", Q, Ms, Ms).reshape(n, -1),
            "ghxu": np.einsum("vab,ai,bj->vij", Q, Ms, Mu).reshape(n, -1),
            "ghuu": np.einsum("vab,ai,bj->vij", Q, Mu, Mu).reshape(n, -1),
            "ghs2": S2[:, None], "ys": s.ss[:, None]}


def check_agreement(m, s, dr):
    """The library's solution and Dynare's decision rules agree: returns the
    largest relative difference over the blocks (raises if above TOLERANCE)."""
    N, nx = m.N, m.nx
    exp = expected_rules(m, s)
    ov = dr["order_var"]
    states = ov[dr["nstatic"]:dr["nstatic"] + dr["nspred"]]
    assert dr["nspred"] == nx and sorted(states) == list(range(nx)), (dr["nspred"], states)
    shocks = np.arange(N)
    pick = {"ghx": (states, states), "ghu": None, "ghxx": (states, states), "ghxu": (states, shocks),
            "ghuu": (shocks, shocks)}
    worst = 0.0
    for name, want in exp.items():
        got = dr[name]
        if name == "ys":
            got = got.reshape(-1, 1)  # declaration order
        else:
            want = want[ov]  # rows in Dynare's order
            if name == "ghx":
                want = want[:, states]
            elif name in ("ghxx", "ghxu", "ghuu"):
                a, b = pick[name]
                n_b = nx if name == "ghxx" else N
                want = want.reshape(len(want), -1, n_b)[:, a][:, :, b].reshape(len(want), -1)
        scale = max(np.max(np.abs(want)), 1e-300)
        diff = np.max(np.abs(got - want)) / scale
        if not diff <= TOLERANCE:
            raise AssertionError(f"N = {N}: {name} differs from Dynare's by {diff:.2e} of its largest entry")
        worst = max(worst, diff)
    return worst


# ---- measurement ----

def time_chain(lib, zgges, m, timing, second_order=True):
    """(median seconds of the chain, dict of each stage's median seconds,
    the last solution); slow chains run fewer times."""
    clock = {}
    t0 = time.perf_counter()
    s = solve(lib, zgges, m, clock, second_order)
    once = time.perf_counter() - t0
    if once > 5.0:  # one run says enough
        return once, clock, s
    repeats = timing.repeats if once < 1.0 else max(1, min(timing.repeats, int(10.0 / once)))
    number = max(1, int(timing.budget / max(once, 1e-7)))
    totals, stages = [], {k: [] for k in STAGES}
    for _ in range(repeats):
        clock = {}
        t0 = time.perf_counter()
        for _ in range(number):
            s = solve(lib, zgges, m, clock, second_order)
        totals.append((time.perf_counter() - t0) / number)
        for k in clock:
            stages[k].append(clock[k] / number)
    return statistics.median(totals), {k: statistics.median(v) for k, v in stages.items() if v}, s


def measure(timing=pc.Timing(repeats=5), sizes=SIZES, max_dense_unknowns=MAX_DENSE_UNKNOWNS, out=None):
    """Rows: per size, the library's whole chain against Dynare's solve, and
    the library's stages (each against the whole chain: the ratio is the
    chain's multiple of the stage, the note its share)."""
    lib, native, zgges = tc.load(), model_library(), tc.lapack_zgges()
    structured = hasattr(lib, "trova_second_order_dense")
    peer = dynare_available()
    rows, section = [], "Second order: N-sector RBC chain"
    if not peer:
        print(f"{PEER} is not installed (scripts/install-deps peers): library rows only", file=out or sys.stdout)
    for N in sizes:
        m = Model(N, native)
        label = f"N = {N} (n = {m.n}, nx = {m.nx})"
        if not structured and dense_unknowns(N) > max_dense_unknowns:
            # Dynare's time and the library's stages up to the Hessian: the
            # marks for the structured solver.
            peer_t = run_dynare(N, timing)[0] if peer else float("nan")
            rows.append(pc.Row(section, f"whole chain, {label}", float("nan"), peer_t, PEER,
                               f"library skipped: the dense second order would solve {dense_unknowns(N)} unknowns"
                               f" (limit {max_dense_unknowns})"))
            _, stage_t, _ = time_chain(lib, zgges, m, timing, second_order=False)
            rows += [pc.Row(section, f"  stage: {k}, N = {N}", stage_t.get(k, float("nan")), float("nan"),
                            "library whole chain", "timed" if k in stage_t else "skipped") for k in STAGES]
            continue
        lib_t, stage_t, s = time_chain(lib, zgges, m, timing)
        if peer:
            peer_t, dr = run_dynare(N, timing)
            worst = check_agreement(m, s, dr)
            note = (f"agree: steady state, ghx, ghu, ghxx, ghxu, ghuu, ghs2 within {worst:.0e} of each block's"
                    " largest entry")
        else:
            peer_t, note = float("nan"), "peer not installed"
        rows.append(pc.Row(section, f"whole chain, {label}", lib_t, peer_t, PEER, note))
        for k in STAGES:
            rows.append(pc.Row(section, f"  stage: {k}, N = {N}", stage_t[k], lib_t, "library whole chain",
                               f"{100 * stage_t[k] / lib_t:.1f}% of the chain"))
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default=",".join(map(str, SIZES)), help="comma-separated N (default 5,10,15,25)")
    ap.add_argument("--max-dense-unknowns", type=int, default=MAX_DENSE_UNKNOWNS,
                    help="skip sizes whose dense second-order system exceeds this many unknowns (default"
                         f" {MAX_DENSE_UNKNOWNS}; ignored once the structured solver is in the library)")
    ap.add_argument("--quick", action="store_true", help="fewer and shorter repetitions")
    a = ap.parse_args()
    timing = pc.QUICK if a.quick else pc.Timing(repeats=5)
    sizes = [int(x) for x in a.sizes.split(",") if x]
    pc.report(measure(timing, sizes, a.max_dense_unknowns), timing)


if __name__ == "__main__":
    main()
