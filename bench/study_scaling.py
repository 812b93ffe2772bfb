#!/usr/bin/env -S /usr/bin/python3
"""The main study (examples/dsge_study.py, both pipelines) on Dask worker
processes: its scaling from one process to two, and what a range costs the
driver.

Every run is the study's own Monte Carlo (monte_carlo: the driver builds its
pipelines, sends the solution once and merges the ranges as they complete),
timed whole, one library worker per process. The runs alternate within each
repetition, so that a busy neighbour slows them alike; the tables show
medians and, for the scaling, the spread over the repetitions.

  scaling    replication rates on a LocalCluster of 1 and of 2 worker
             processes (ranges of R/16), and of the same study run natively
             in this process on 1 library worker (no Dask)
  overhead   wall time on the one-process cluster less the native wall time
             of the same replications, over range sizes and study sizes: a
             range's cost a (task, transfer, merge) from the smallest ranges
             against the largest; what the largest ranges cost beyond that,
             split by the two study sizes into a cost per run (sending the
             solution, starting) and one per replication b; and the range
             size at which a + b x size falls under 2% of its replications'
             native time

Usage: bench/study_scaling.py [--reps R] [--T T] [--repeats K]
"""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
import dsge_study as ds  # noqa: E402


def load_average():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


class Bench:
    def __init__(self, T):
        self.lib, self.native = ds.tc.load(), ds.study_library()
        self.base = ["--T", str(T), "--workers", "1", "--figure", "", "--paths", "0"]
        self.solution = ds.solve_model(self.lib, self.native, ds.parse_args(self.base))

    def run(self, reps, chunk, client=None):
        """Seconds of the whole Monte Carlo of `reps` replications in ranges of `chunk`."""
        a = ds.parse_args(self.base + ["--reps", str(reps), "--chunk", str(chunk)])
        t0 = time.perf_counter()
        p1, p2 = ds.monte_carlo(a, self.lib, self.native, self.solution, lambda *_: None, client)
        wall = time.perf_counter() - t0
        assert (p1.failure_step == -1).all() and (p2.failure_step == -1).all()
        return wall


def scaling(bench, clients, reps, repeats):
    chunk = max(1, reps // 16)
    runs = {"native, 1 process": lambda: bench.run(reps, reps),
            "Dask, 1 worker process": lambda: bench.run(reps, chunk, clients[1]),
            "Dask, 2 worker processes": lambda: bench.run(reps, chunk, clients[2])}
    for f in runs.values():
        f()  # warm: every process loads the library and builds its pipelines
    times = {name: [] for name in runs}
    for _ in range(repeats):
        for name, f in runs.items():
            times[name].append(f())
    print(f"\nScaling: {reps} replications of both pipelines, ranges of {chunk} on Dask, "
          f"1 library worker per process")
    print(f"  {'run':<26}{'replications/s':>15}{'median s':>10}{'min s':>8}{'max s':>8}")
    for name, t in times.items():
        print(f"  {name:<26}{reps / statistics.median(t):15,.0f}{statistics.median(t):10.3f}"
              f"{min(t):8.3f}{max(t):8.3f}")
    one, two = statistics.median(times["Dask, 1 worker process"]), statistics.median(times["Dask, 2 worker processes"])
    native = statistics.median(times["native, 1 process"])
    spread = max(max(t) / min(t) for t in times.values())
    print(f"  2 processes / 1 process: {one / two:.2f}x (ideal 2; fastest runs {min(times['Dask, 1 worker process']) / min(times['Dask, 2 worker processes']):.2f}x); "
          f"2 processes / native 1 process: {native / two:.2f}x; largest max/min over repetitions {spread:.2f}")


def overhead(bench, client, sizes, chunks, repeats):
    rows = []
    for _ in range(repeats):
        for reps in sizes:
            native = bench.run(reps, reps)
            for chunk in chunks:
                rows.append((reps, chunk, bench.run(reps, chunk, client) - native, native))
    cells = {}
    for reps, chunk, extra, native in rows:
        cells.setdefault((reps, chunk), []).append((extra, native))
    extra = {k: statistics.median(e for e, _ in v) for k, v in cells.items()}
    native = {reps: statistics.median(n for (r, _), v in cells.items() if r == reps for _, n in v) for reps in sizes}
    n_ranges = {(reps, chunk): 2 * -(-reps // chunk) for reps, chunk in cells}  # both pipelines
    t_rep = native[sizes[-1]] / (2 * sizes[-1])  # a replication of either pipeline, on average
    print("\nDriver overhead: Dask on 1 worker process against the same replications natively (1 worker)")
    print(f"  {'replications':>12}{'range':>8}{'ranges':>8}{'overhead s':>12}{'% of native':>13}")
    for k in sorted(cells):
        print(f"  {k[0]:>12}{k[1]:>8}{n_ranges[k]:>8}{extra[k]:12.3f}{100 * extra[k] / native[k[0]]:12.1f}%")
    # A range's cost: the extra time of the smallest ranges over the largest,
    # per extra range, at each study size. What the largest ranges cost
    # beyond their ranges is a cost per run plus one per replication: the
    # two study sizes separate them.
    lo, hi, small, big = min(chunks), max(chunks), sizes[0], sizes[-1]
    per_range = {r: (extra[r, lo] - extra[r, hi]) / (n_ranges[r, lo] - n_ranges[r, hi]) for r in sizes}
    a = statistics.median(per_range.values())
    rest = {r: extra[r, hi] - a * n_ranges[r, hi] for r in (small, big)}
    b = (rest[big] - rest[small]) / (2 * (big - small))
    c0 = rest[big] - 2 * big * b
    print("  per range: " + ", ".join(f"{1e3 * v:.2f} ms ({r} replications)" for r, v in per_range.items())
          + f"; per run: {1e3 * c0:.0f} ms; per replication: {1e6 * b:+.2f} us, against {1e6 * t_rep:.1f} us "
          "of native run (mean of the two pipelines)")
    if b <= 0.2 * 0.02 * t_rep:
        # Lost in the noise: the range size then follows from the range's cost.
        print(f"  the per-replication cost is within the noise; a range's overhead falls under 2% of its run "
              f"from about {a / (0.02 * t_rep):,.0f} replications per range")
    elif 0.02 * t_rep > b:
        print(f"  a range's overhead falls under 2% of its run from about {a / (0.02 * t_rep - b):,.0f} "
              "replications per range")
    else:
        print("  the per-replication overhead alone exceeds 2% of a replication's run")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--reps", type=int, default=8000, help="replications of the scaling runs")
    ap.add_argument("--T", type=int, default=200, help="observed periods (the study's default 200)")
    ap.add_argument("--repeats", type=int, default=3, help="repetitions of every run")
    a = ap.parse_args()
    bench = Bench(a.T)
    print(f"study_scaling: T = {a.T}, {os.cpu_count()} cores, load average {load_average()} at the start")
    clients = {n: ds.dask_client(str(n)) for n in (1, 2)}
    try:
        scaling(bench, clients, a.reps, a.repeats)
        overhead(bench, clients[1], (a.reps // 4, a.reps), (10, 100, 1000), a.repeats)
    finally:
        for c in clients.values():
            c.close()
    print(f"\nload average {load_average()} at the end")


if __name__ == "__main__":
    main()
