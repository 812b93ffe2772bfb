#!/usr/bin/env -S /usr/bin/python3
"""The library's Philox fills side by side with NumPy's Generator(Philox), in
one process.

Both draw the same stream (the values are checked equal first). NumPy is
called as users call it, gen.standard_normal(n, out=buf) / gen.random(n,
out=buf); the library through ctypes, so both timings include a Python call's
overhead (a few microseconds, negligible at 10^6 values). Timings alternate
between the two and the median of the repeats is kept.
Usage: bench/peer_rng.py [n] [repeats]
"""
import ctypes
import sys

import peer_common as pc
import numpy as np  # noqa: E402  (after peer_common, which sets the BLAS threads)

import trova_ctypes as tc  # noqa: E402


def measure(timing=pc.Timing(repeats=15), n=1_000_000):
    lib = tc.load()
    ours, theirs = np.empty(n), np.empty(n)
    rows = []
    for kind, method in (("normal", "standard_normal"), ("uniform", "random")):
        # Both streams from the same seed: the timings call each side a
        # different number of times.
        st = tc.trova_philox_state()
        lib.trova_philox_seed(ctypes.byref(st), 1, 2, 3, 4)
        gen = np.random.Generator(np.random.Philox(key=np.array([1, 2], dtype=np.uint64),
                                                   counter=np.array([0, 0, 3, 4], dtype=np.uint64)))
        fill = getattr(lib, f"trova_philox_standard_{kind}_fill")
        draw = getattr(gen, method)
        fill(ctypes.byref(st), n, tc.ptr(ours))
        draw(n, out=theirs)
        assert np.array_equal(ours, theirs), "the two streams differ"
        t_ours, t_theirs = pc.paired(lambda: fill(ctypes.byref(st), n, tc.ptr(ours)),
                                     lambda: draw(n, out=theirs), timing)
        rows.append(pc.Row("Philox fill", f"{kind}, {n:.0e} values", t_ours, t_theirs,
                           f"NumPy Generator(Philox).{method}", "same stream, checked equal"))
    return rows


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    timing = pc.Timing(repeats=int(sys.argv[2]) if len(sys.argv) > 2 else 15)
    pc.report(measure(timing, n), timing)


if __name__ == "__main__":
    main()
