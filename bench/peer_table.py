#!/usr/bin/env -S /usr/bin/python3
"""Every peer comparison in one process and one table: the library against
NumPy, statsmodels, scikit-learn and Dynare, each pair checked to agree first, each
time a median over alternating repetitions, the ratio peer time / library
time (> 1: the library is faster). scripts/bench-peers builds the library
and runs this; it runs on its own on a built tree.

Usage: bench/peer_table.py [--quick] [--only SECTION[,SECTION...]] [--json FILE]
Sections: rng, ndtri, kalman, lasso, diagnostics, stability, wald, scaling, study,
second_order (the N-sector model's solution chain against Dynare under Octave,
from scripts/install-deps peers; without them, the library's rows alone).
--json FILE also writes the table as a JSON list of rows (section, case,
library_s, peer, peer_s, ratio; seconds, ratio = peer / library). The study's
stages must add up to its whole replication within 15%, library and peer
alike; if not, the script says so and exits with status 1.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_common as pc  # noqa: E402  (first: it sets the BLAS threads before NumPy loads)

import peer_kalman  # noqa: E402
import peer_ndtri  # noqa: E402
import peer_regression  # noqa: E402
import peer_residual_diagnostics  # noqa: E402
import peer_rng  # noqa: E402
import peer_second_order  # noqa: E402
import peer_stability  # noqa: E402
import peer_study  # noqa: E402
import peer_wald  # noqa: E402

# The Wald tests in the table: each kind with statsmodels' own Bartlett
# weights and Wooldridge's rule, and with the QS kernel and Andrews' rule
# (bench/peer_wald.py times every kernel and bandwidth mode).
WALD_CASES = [(kind, kernel, mode) for kind in peer_wald.wc.KINDS
              for kernel, mode in ((peer_wald.wc.BARTLETT, peer_wald.wc.WOOLDRIDGE),
                                   (peer_wald.wc.QS, peer_wald.wc.ANDREWS))]


def sections(quick):
    """Name -> function of the timing returning rows, in the table's order."""
    return {
        "rng": lambda t: peer_rng.measure(t),
        "ndtri": lambda t: peer_ndtri.measure(t),
        "kalman": lambda t: peer_kalman.measure(t),
        "lasso": lambda t: peer_regression.measure(t),
        "diagnostics": lambda t: peer_residual_diagnostics.measure(t),
        "stability": lambda t: peer_stability.measure(t),
        "wald": lambda t: peer_wald.measure(t, WALD_CASES),
        "scaling": lambda t: peer_study.measure_scaling(t, n_rep=1000 if quick else 2000),
        "study": lambda t: peer_study.measure_replication(t, n_rep=300 if quick else 1000, n_peer=10 if quick else 40),
        "second_order": lambda t: peer_second_order.measure(t),
    }


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[:3]


def load_line():
    return "load average (1, 5, 15 min): " + ", ".join(load())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer and shorter repetitions (about 30 s)")
    ap.add_argument("--only", default="", help="comma-separated sections: " + ", ".join(sections(False)))
    ap.add_argument("--json", metavar="FILE", help="also write the table as a JSON list of rows to FILE")
    args = ap.parse_args()
    timing = pc.QUICK if args.quick else pc.Timing()
    table = sections(args.quick)
    wanted = [s for s in args.only.split(",") if s] or list(table)
    unknown = [s for s in wanted if s not in table]
    if unknown:
        ap.error(f"unknown section(s) {', '.join(unknown)}; choose from {', '.join(table)}")
    for line in pc.machine_lines():
        print(line)
    busy = float(load()[0]) > 0.5
    print(load_line() + (" -- other processes are busy: times are noisier, the scaling unreliable" if busy else ""))
    start = time.perf_counter()
    rows = []
    for name in dict.fromkeys(wanted):
        rows += table[name](timing)
    pc.print_table(rows, timing)
    ok = pc.print_stage_check(rows)
    if args.json:
        pc.write_json(rows, args.json)
    print(f"{len(rows)} rows in {time.perf_counter() - start:.0f} s; {load_line()}")
    if not ok:
        sys.exit(1)


if __name__ == "__main__":
    main()
