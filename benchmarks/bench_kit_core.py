#!/usr/bin/env python3
"""dovelkit.align and dovelkit.search before and after the kit reached the core directly.

The "before" kit is the dovelkit package of another revision (default: the parent of the commit
that added dovelkit._core's alignment calls), exported with `git archive` into a temporary
directory; both kits run on the dovel module of this build, each in its own process, one after
the other in one run:

- align: dovelkit.align on every pair of ../shared/data/families/tmalign_pairs.tsv (families and
  unrelated chains), best of 3 passes;
- search: dovelkit.search of 1hrc over 10^4 targets (the bundled chains in random frames, as a
  database), scan mode, workers=1 and workers=2.

Both kits must report the same hits (id, score, n_aligned); the script checks it.

  PYTHONPATH=<module dir> python3 benchmarks/bench_kit_core.py [--before REV] [--targets 10000]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

RUN = r"""
import csv, glob, json, os, sys, time
import numpy as np
import dovel, dovelkit
from dovelkit.db.store import Database

root, n_targets, db_path, what = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
fam = os.path.join(os.path.dirname(root), "shared", "data", "families")
out = {}
if what == "align":
    with open(os.path.join(fam, "tmalign_pairs.tsv")) as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    pairs = [(dovelkit.load(os.path.join(fam, r["file1"]), chain=r["chain1"]),
              dovelkit.load(os.path.join(fam, r["file2"]), chain=r["chain2"])) for r in rows]
    best = float("inf")
    for _ in range(3):
        t = time.perf_counter()
        for a, b in pairs:
            dovelkit.align(a, b)
        best = min(best, time.perf_counter() - t)
    print(json.dumps({"align_pairs": len(pairs), "align_s": best}))
    sys.exit(0)

if not os.path.exists(db_path):
    rng = np.random.default_rng(5)
    chains = []
    for p in sorted(glob.glob(os.path.join(fam, "*", "*.pdb"))):
        chains.extend(dovelkit.load_chains(p))
    def rotation():
        q = rng.normal(size=4); q /= np.linalg.norm(q); w, x, y, z = q
        return np.array([[1-2*(y*y+z*z), 2*(x*y-z*w), 2*(x*z+y*w)], [2*(x*y+z*w), 1-2*(x*x+z*z), 2*(y*z-x*w)],
                         [2*(x*z-y*w), 2*(y*z+x*w), 1-2*(x*x+y*y)]])
    targets = []
    for k in range(n_targets):
        d = chains[k % len(chains)]
        c = np.round(d.coordinates @ rotation().T + rng.normal(scale=20.0, size=3), 3)
        targets.append(dovel.Domain.from_arrays(f"{d.id}_{k}", np.ascontiguousarray(c), d.sequence, d.chain))
    Database.from_domains(db_path + ".tmp", targets)
    os.replace(db_path + ".tmp", db_path)
query = dovelkit.load(os.path.join(fam, "cytochrome_c", "1hrc.pdb"))
w = int(what)
t = time.perf_counter()
hits = dovelkit.search(query, db_path, workers=w, max_hits=100)
out["search_s"] = time.perf_counter() - t
out["hits"] = [(h.id, h.score, h.n_aligned) for h in hits]
print(json.dumps(out))
"""


def run(kit_dir: str, n: int, db: str, what: str) -> dict[str, Any]:
    module_dirs = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([kit_dir] + module_dirs))
    p = subprocess.run([sys.executable, "-c", RUN, ROOT, str(n), db, what], env=env, capture_output=True, text=True,
                       check=True, cwd=kit_dir)
    return json.loads(p.stdout.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--before", default="bcfe3fd", help="revision of the 'before' kit")
    ap.add_argument("--targets", type=int, default=10_000)
    ap.add_argument("--rounds", type=int, default=2)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        before = os.path.join(tmp, "before")
        os.mkdir(before)
        archive = subprocess.run(["git", "-C", ROOT, "archive", args.before, "dovelkit"], check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", before], input=archive, check=True)
        db = os.path.join(tmp, "targets.parquet")
        # The database is written once, by the "before" kit: a file without search keys, which the
        # "after" kit searches exhaustively, target by target, as the "before" kit does.
        run(before, args.targets, db, "1")
        # Old and new alternate, and each keeps its best run: the machine may be shared.
        kits = {"before": before, "after": ROOT}
        best: dict[tuple[str, str], float] = {}
        hits: dict[tuple[str, str], Any] = {}
        for _ in range(args.rounds):
            for what in ("align", "1", "2"):
                for name, kit in kits.items():
                    r = run(kit, args.targets, db, what)
                    key = (name, what)
                    seconds = r["align_s"] if what == "align" else r["search_s"]
                    best[key] = min(best.get(key, float("inf")), seconds)
                    if what != "align":
                        hits[key] = r["hits"]
                    else:
                        n_pairs = r["align_pairs"]
    for what in ("1", "2"):
        assert hits[("before", what)] == hits[("after", what)], "the two kits found different hits"
    print(f"| run (best of {args.rounds}, alternating) | before ({args.before}) | after |")
    print("|---|---|---|")
    print(f"| dovelkit.align, {n_pairs} bundled pairs (best of 3 passes) | {best[('before', 'align')]:.2f} s | "
          f"{best[('after', 'align')]:.2f} s |")
    for w in ("1", "2"):
        print(f"| dovelkit.search, 1hrc against {args.targets} targets, scan mode, workers={w} | "
              f"{best[('before', w)]:.1f} s | {best[('after', w)]:.1f} s |")

if __name__ == "__main__":
    main()
