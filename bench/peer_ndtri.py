#!/usr/bin/env python3
"""The library's array-form normal quantile (AS 241) against SciPy's
special.ndtri on the same probabilities, in one process.

The values are checked to agree first (2e-15 relative: over 10^6 random
probabilities a few differ by just above 1e-15 near p = 0.14, where SciPy's
own value is mostly the one further from the true quantile by ndtr). Both are called from
Python (the library through ctypes), so both timings include one call's
overhead, negligible at 10^6 values. Timings alternate between the two and
the best of many repeats is kept. Usage: bench/peer_ndtri.py [n] [repeats]
"""
import os
import sys
import timeit

import numpy as np
from scipy import special

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
import trova_ctypes as tc  # noqa: E402


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    lib = tc.load()
    rng = np.random.default_rng(7)
    # Uniform probabilities, plus a share in the far tails.
    p = rng.random(n)
    p[: n // 10] = np.exp(-rng.uniform(10.0, 700.0, n // 10))
    ours, theirs = np.empty(n), np.empty(n)
    call_ours = lambda: lib.trova_ndtri_as241_into(tc.ptr(p), n, tc.ptr(ours))  # noqa: E731
    call_theirs = lambda: special.ndtri(p, out=theirs)  # noqa: E731
    call_ours()
    call_theirs()
    rel = np.max(np.abs(ours - theirs) / np.maximum(np.abs(theirs), 1e-300))
    assert rel < 2e-15, f"the two quantiles differ by {rel:.3g}"
    t_ours, t_theirs = [], []
    for _ in range(repeats):
        t_ours.append(timeit.timeit(call_ours, number=1))
        t_theirs.append(timeit.timeit(call_theirs, number=1))
    best_ours, best_theirs = min(t_ours), min(t_theirs)
    print(f"{n} probabilities, best of {repeats} alternating repeats; max relative difference {rel:.2g}")
    print(f"{'kernel':16} {'ms':>8} {'Mvalues/s':>10}")
    print(f"{'trova AS 241':16} {best_ours * 1e3:8.2f} {n / best_ours / 1e6:10.1f}")
    print(f"{'SciPy ndtri':16} {best_theirs * 1e3:8.2f} {n / best_theirs / 1e6:10.1f}")
    print(f"trova/SciPy rate: {best_theirs / best_ours:.2f}")


if __name__ == "__main__":
    main()
