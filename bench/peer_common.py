"""Shared plumbing of the peer benchmarks: paths, timing by medians, result
rows and their table.

Import it before NumPy: it holds OpenBLAS (behind NumPy's and SciPy's BLAS)
to one thread unless OPENBLAS_NUM_THREADS is already set, since the
library's kernels are single-threaded.

Every measurement is a Row: one library call and one peer call on the same
problem, each timed as the median over `repeats` repetitions of a batch of
calls lasting about `budget` seconds, the two sides alternating repetition
by repetition so that a noisy neighbour slows both alike. The ratio is peer
time / library time: above 1 the library is faster.
"""
import json
import math
import os
import statistics
import sys
import timeit
from dataclasses import dataclass

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for _sub in ("python", os.path.join("tests", "python")):
    _path = os.path.join(ROOT, _sub)
    if _path not in sys.path:
        sys.path.insert(0, _path)


@dataclass(frozen=True)
class Timing:
    repeats: int = 11
    budget: float = 0.02  # seconds of calls per repetition and side


QUICK = Timing(repeats=5, budget=0.004)


@dataclass
class Row:
    section: str
    case: str
    lib: float  # seconds per call, median
    peer: float  # seconds per call, median
    peer_name: str
    note: str = ""
    # "whole" or "stage" for the rows of one replication and its stages,
    # which stage_sum_check compares; empty for every other row.
    part: str = ""

    @property
    def ratio(self):
        return self.peer / self.lib


# The stages of a replication, timed apart, must add up to the whole
# replication within this fraction (on each side), or one of the two is
# mismeasured.
STAGE_TOLERANCE = 0.15


def stage_sum_check(rows, tolerance=STAGE_TOLERANCE):
    """Checks that the "stage" rows add up to the "whole" row, library and
    peer alike. Returns (ok, lines): one line per side saying what the stages
    add up to, as a fraction of the whole. Rows without a whole or without
    stages pass with no lines."""
    whole = [r for r in rows if r.part == "whole"]
    stages = [r for r in rows if r.part == "stage"]
    if not whole or not stages:
        return True, []
    if len(whole) != 1:
        return False, [f"stage check: {len(whole)} whole-replication rows, expected one"]
    ok, lines = True, []
    for side in ("lib", "peer"):
        total, of = sum(getattr(r, side) for r in stages), getattr(whole[0], side)
        fraction = total / of if of > 0 else float("nan")
        within = abs(fraction - 1.0) <= tolerance
        ok &= within
        name = "library" if side == "lib" else "peer"
        lines.append(f"stage check ({name}): {len(stages)} stages add up to {fmt_time(total).strip()} ="
                     f" {fraction:.3f} of the whole replication ({fmt_time(of).strip()}); "
                     + ("within" if within else "NOT within") + f" {tolerance:.0%}")
    return ok, lines


def json_rows(rows):
    """The table as a list of dicts: section, case, library_s, peer, peer_s
    and ratio (seconds per call; ratio = peer / library; null where a side
    was not run)."""
    def value(x):
        return x if math.isfinite(x) else None

    return [{"section": r.section, "case": r.case.strip(), "library_s": value(r.lib), "peer": r.peer_name,
             "peer_s": value(r.peer), "ratio": value(r.ratio)} for r in rows]


def write_json(rows, path):
    """Writes json_rows(rows) to path."""
    with open(path, "w") as f:
        json.dump(json_rows(rows), f, indent=1)
        f.write("\n")


def calls_for(fn, budget):
    """How many calls of fn fill about `budget` seconds (after one warm-up call)."""
    fn()
    once = min(timeit.repeat(fn, number=1, repeat=3))
    return max(1, int(budget / max(once, 1e-7)))


def median_time(fn, timing, number=None):
    """Median seconds per call of fn over timing.repeats batches."""
    number = number or calls_for(fn, timing.budget)
    return statistics.median(timeit.repeat(fn, number=number, repeat=timing.repeats)) / number


def paired(lib_fn, peer_fn, timing):
    """(library, peer) median seconds per call, the repetitions alternating."""
    n_lib, n_peer = calls_for(lib_fn, timing.budget), calls_for(peer_fn, timing.budget)
    lib_t, peer_t = [], []
    for _ in range(timing.repeats):
        lib_t.append(timeit.timeit(lib_fn, number=n_lib) / n_lib)
        peer_t.append(timeit.timeit(peer_fn, number=n_peer) / n_peer)
    return statistics.median(lib_t), statistics.median(peer_t)


def fmt_time(seconds):
    if not math.isfinite(seconds):  # a side that was not run
        return "--"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:7.2f} {unit:2}"
    return f"{seconds * 1e9:7.1f} ns"


def fmt_ratio(r):
    if not math.isfinite(r):
        return "--"
    return f"{r:.0f}x" if r >= 100 else f"{r:.1f}x" if r >= 10 else f"{r:.2f}x"


def machine_lines():
    """The CPU model, the core count, the BLAS thread setting and the peers' versions."""
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next((ln.split(":", 1)[1].strip() for ln in f if ln.startswith("model name")), model)
    except OSError:
        pass
    lines = [f"machine: {model}, {os.cpu_count()} cores",
             f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS')} (the library's kernels are"
             " single-threaded; the peers' BLAS is held to one thread too)"]
    versions = []
    for name in ("numpy", "scipy", "statsmodels", "sklearn"):
        try:
            versions.append(f"{name} {__import__(name).__version__}")
        except ImportError:
            pass
    lines.append("peers: " + ", ".join(versions) + f"; Python {sys.version.split()[0]} ({sys.executable})")
    return lines


def print_table(rows, timing, out=sys.stdout):
    """One table: times are medians per call; ratio = peer / library (> 1: the library is faster)."""
    print(f"times: medians of {timing.repeats} alternating repetitions (batches of calls lasting about"
          f" {timing.budget * 1e3:g} ms, or whole runs); ratio = peer time / library time (> 1: the library is"
          " faster)", file=out)
    w_sec = max([len(r.section) for r in rows] + [7])
    w_case = max([len(r.case) for r in rows] + [4])
    w_peer = max([len(r.peer_name) for r in rows] + [4])
    print(f"{'section':{w_sec}}  {'case':{w_case}}  {'library':>10}  {'peer':{w_peer}}  {'peer time':>10}"
          f"  {'ratio':>8}  note", file=out)
    last = None
    for r in rows:
        section = r.section if r.section != last else ""
        last = r.section
        print(f"{section:{w_sec}}  {r.case:{w_case}}  {fmt_time(r.lib):>10}  {r.peer_name:{w_peer}}"
              f"  {fmt_time(r.peer):>10}  {fmt_ratio(r.ratio):>8}  {r.note}".rstrip(), file=out)


def print_stage_check(rows, out=sys.stdout):
    """Prints stage_sum_check's lines; on a failure also says so on stderr.
    Returns whether the check passed."""
    ok, lines = stage_sum_check(rows)
    for line in lines:
        print(line, file=out)
    if not ok:
        print("STAGE CHECK FAILED: the stages of a replication do not add up to the whole replication"
              f" within {STAGE_TOLERANCE:.0%}", file=sys.stderr)
    return ok


def report(rows, timing, title=None):
    """A standalone script's output: the machine, an optional title line, the
    table and the stage check (exiting with status 1 when it fails)."""
    for line in machine_lines():
        print(line)
    if title:
        print(title)
    print_table(rows, timing)
    if not print_stage_check(rows):
        sys.exit(1)
