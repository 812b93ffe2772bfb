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

    @property
    def ratio(self):
        return self.peer / self.lib


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
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:7.2f} {unit:2}"
    return f"{seconds * 1e9:7.1f} ns"


def fmt_ratio(r):
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


def report(rows, timing, title=None):
    """A standalone script's output: the machine, an optional title line, the table."""
    for line in machine_lines():
        print(line)
    if title:
        print(title)
    print_table(rows, timing)
