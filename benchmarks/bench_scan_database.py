"""Database scan throughput: one real query against every bundled structure,
repeated to a few hundred targets, in each of the three per-target modes.

    PYTHONPATH=build/torva-py python3 benchmarks/bench_scan_database.py [n_targets] [query]

Reports targets per second for the whole call (argument conversion, the scan
and the hit list) and, separately, the cost of the call around the alignments:
the same call with max_hits=0 in quick mode on tiny targets, where the
alignment work is close to nothing.
"""
import glob
import os
import sys
import time

import numpy as np

import dovel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(os.path.dirname(ROOT), "shared", "data")


def bundled_domains():
    paths = sorted(glob.glob(os.path.join(DATA, "*.pdb")) + glob.glob(os.path.join(DATA, "families", "*", "*.pdb")))
    return [dovel.Domain.from_pdb(p) for p in paths]


def timed(fn, repeats):
    best = float("inf")
    result = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main():
    n_targets = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    query_name = sys.argv[2] if len(sys.argv) > 2 else "2trx"
    pool = bundled_domains()
    query = next(d for d in pool if d.id == query_name)
    targets = [pool[k % len(pool)] for k in range(n_targets)]
    residues = sum(len(t) for t in targets)
    print(f"query {query.id} ({len(query)} residues), {len(targets)} targets from {len(pool)} bundled structures, "
          f"{residues / len(targets):.0f} residues per target on average")

    modes = [("scan", dict()), ("full", dict(scan_mode=False)), ("quick", dict(scan_mode=False, quick=True))]
    for name, kwargs in modes:
        repeats = 1 if name == "scan" else 3
        seconds, hits = timed(lambda: dovel.scan_database(query, targets, **kwargs), repeats)
        print(f"{name:6s} {len(targets) / seconds:10.1f} targets/s  {seconds * 1000:9.1f} ms  "
              f"{len(hits)} hits, best {hits[0].target_id} {hits[0].score:.4f}")

    # Everything but the alignment: tiny targets (shorter than min_length, so
    # the refinement returns at once) and a full hit list built at the end.
    tiny = dovel.Domain.from_arrays("tiny", np.zeros((2, 3)), "AG")
    many = [tiny] * 10000
    seconds, hits = timed(lambda: dovel.scan_database(query, many, scan_mode=False, max_hits=10000), 5)
    print(f"call overhead: {seconds / len(many) * 1e6:.2f} us per target "
          f"(conversion, trivial alignment, ranking, {len(hits)} ScanHit objects)")


if __name__ == "__main__":
    main()
