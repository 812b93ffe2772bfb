#!/usr/bin/env python3
"""The library's Philox fills side by side with NumPy's Generator(Philox), in
one process.

Both draw the same stream (the values are checked equal first). NumPy is
called as users call it, gen.standard_normal(n, out=buf) / gen.random(n,
out=buf); the library through ctypes, so both timings include a Python call's
overhead (a few microseconds, negligible at 10^6 values). Timings alternate
between the two and the best of many repeats is kept, which damps the noise
of a shared machine. Usage: bench/peer_rng.py [n] [repeats]
"""
import ctypes
import os
import sys
import timeit

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
import trova_ctypes as tc  # noqa: E402


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    lib = tc.load()
    st = tc.trova_philox_state()
    lib.trova_philox_seed(ctypes.byref(st), 1, 2, 3, 4)
    gen = np.random.Generator(np.random.Philox(key=np.array([1, 2], dtype=np.uint64),
                                               counter=np.array([0, 0, 3, 4], dtype=np.uint64)))
    ours, theirs = np.empty(n), np.empty(n)
    print(f"{n} values per call, best of {repeats} alternating repeats")
    print(f"{'fill':8} {'trova ms':>9} {'NumPy ms':>9} {'trova/NumPy rate':>17}")
    for kind, method in (("normal", "standard_normal"), ("uniform", "random")):
        fill = getattr(lib, f"trova_philox_standard_{kind}_fill")
        draw = getattr(gen, method)
        fill(ctypes.byref(st), n, tc.ptr(ours))
        draw(n, out=theirs)
        assert np.array_equal(ours, theirs), "the two streams differ"
        t_ours, t_theirs = [], []
        for _ in range(repeats):
            t_ours.append(timeit.timeit(lambda: fill(ctypes.byref(st), n, tc.ptr(ours)), number=3) / 3)
            t_theirs.append(timeit.timeit(lambda: draw(n, out=theirs), number=3) / 3)
        a, b = min(t_ours), min(t_theirs)
        print(f"{kind:8} {a * 1e3:9.3f} {b * 1e3:9.3f} {b / a:16.2f}x")


if __name__ == "__main__":
    main()
