#!/usr/bin/env -S /usr/bin/python3
"""The library's array-form normal quantile (AS 241) against SciPy's
special.ndtri on the same probabilities, in one process.

The values are checked to agree first (2e-15 relative: over 10^6 random
probabilities a few differ by just above 1e-15 near p = 0.14, where SciPy's
own value is mostly the one further from the true quantile by ndtr). Both are called from
Python (the library through ctypes), so both timings include one call's
overhead, negligible at 10^6 values. Timings alternate between the two and
the median of the repeats is kept. Usage: bench/peer_ndtri.py [n] [repeats]
"""
import sys

import peer_common as pc
import numpy as np  # noqa: E402
from scipy import special  # noqa: E402

import trova_ctypes as tc  # noqa: E402


def measure(timing=pc.Timing(repeats=15), n=1_000_000):
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
    t_ours, t_theirs = pc.paired(call_ours, call_theirs, timing)
    return [pc.Row("Normal quantile", f"AS 241 array form, {n:.0e} probabilities", t_ours, t_theirs,
                   "SciPy special.ndtri", f"max relative difference {rel:.2g}")]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    timing = pc.Timing(repeats=int(sys.argv[2]) if len(sys.argv) > 2 else 15)
    pc.report(measure(timing, n), timing)


if __name__ == "__main__":
    main()
