#!/usr/bin/env python3
"""Many pairs: one `dovel align --pairs` call beside the TMalign program (Debian's tm-align) run once
per pair in a shell loop, and beside `dovel align` run once per pair, on the same 31 pairs: the
first 31 rows of ../shared/data/families/tmalign_pairs.tsv (homologues within the bundled families,
then unrelated chains against family members). Every figure is the wall time of whole processes,
the median of several rounds run in turn.

  PYTHONPATH=build/torva-py python3 benchmarks/bench_many_pairs.py [--pairs 31] [--rounds 3]
"""

from __future__ import annotations

import argparse
import csv
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAMILIES = os.path.join(os.path.dirname(ROOT), "shared", "data", "families")


def pairs(n: int) -> list[tuple[str, str, str, str]]:
    with open(os.path.join(FAMILIES, "tmalign_pairs.tsv"), newline="") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))[:n]
    return [(os.path.join(FAMILIES, r["file1"]), r["chain1"], os.path.join(FAMILIES, r["file2"]), r["chain2"])
            for r in rows]


def wall(script: str, env: dict[str, str]) -> float:
    t = time.perf_counter()
    subprocess.run(["bash", "-c", script], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                   cwd=ROOT, check=True)
    return time.perf_counter() - t


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--pairs", type=int, default=31)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([ROOT] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    script = shutil.which("dovel")
    dovel = script if script else f"{sys.executable} -m dovelkit"
    chosen = pairs(args.pairs)
    with tempfile.TemporaryDirectory() as tmp:
        listed = os.path.join(tmp, "pairs.tsv")
        with open(listed, "w") as fh:
            fh.writelines(f"{a}:{ca}\t{b}:{cb}\n" for a, ca, b, cb in chosen)
        loop_dovel = "\n".join(f"{dovel} align {a} {b} --chain1 {ca} --chain2 {cb}" for a, ca, b, cb in chosen)
        commands = [
            ("dovel align --pairs (default)", f"{dovel} align --pairs {listed}"),
            (f"dovel align --pairs --workers {os.cpu_count()}", f"{dovel} align --pairs {listed} --workers {os.cpu_count()}"),
            ("dovel align --pairs --workers 1", f"{dovel} align --pairs {listed} --workers 1"),
            ("dovel align, one process per pair", loop_dovel),
        ]
        tmalign = shutil.which("TMalign")
        if tmalign:
            # TMalign reads the first chain of each file; the bundled pairs are single-chain entries
            # or take chain A, the first
            commands.append(("TMalign, one process per pair", "\n".join(f"{tmalign} {a} {b}" for a, _, b, _ in chosen)))
        else:
            print("TMalign not found (Debian package tm-align): shown without it")
        for _, cmd in commands:
            wall(cmd, env)
        times: list[list[float]] = [[] for _ in commands]
        for _ in range(args.rounds):
            for k, (_, cmd) in enumerate(commands):
                times[k].append(wall(cmd, env))

    med = [statistics.median(t) for t in times]
    print(f"{len(chosen)} pairs of ../shared/data/families/tmalign_pairs.tsv, whole processes, "
          f"median of {args.rounds} rounds")
    print(f"{'command':<40} {'wall s':>8} {'per pair ms':>12} {'TMalign loop / this':>20}")
    for (name, _), m in zip(commands, med):
        ratio = f"{med[-1] / m:.1f}x" if tmalign else "-"
        print(f"{name:<40} {m:8.2f} {1000 * m / len(chosen):12.1f} {ratio:>20}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
