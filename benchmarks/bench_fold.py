"""Fold mode and TM-score of the core against TM-align, side by side in one run.

Pairs:
  - every pair of ../shared/data/families/tmalign_pairs.tsv (family members and
    unrelated chains),
  - the example entries shipped with tmtools (2gtl, 7ok9) and with Debian's
    tm-align (1ni7, 5eep), each pair of them,
  - three long pairs: four real chains (1azm, 1oq5, 1jd0, 1o1z; 1000 residues)
    laid end to end 60 A apart, against a copy moved rigidly, with Gaussian
    noise (sigma 0.8 A, seeded) on every atom and 12 residues cut out of
    each of two places; the same against a copy with noise only; and the same
    four chains end to end in another order (1oq5, 1o1z, 1azm, 1jd0), each in
    its deposited frame, so that no one superposition fits more than one part.

Each chain is read by the core's reader (bench_fold dump), and TM-align sees
exactly those C-alpha atoms, in process through tmtools (timed) and as the
TMalign binary (for its -I option, the TM-score of a given alignment).

Columns: TM-score normalised by chain 1 and by chain 2 for fold mode and for
TM-align, and CPU milliseconds per pair (best of --runs) for both. Then:
  - the TM-score of TM-align's own alignment computed by tm_score() against
    TMalign -I on the same alignment (largest difference),
  - how many pairs fold mode scores within 0.01 of TM-align or better, the
    means, and the time ratios.

  python3 benchmarks/bench_fold.py [--build build] [--runs 3]
"""

from __future__ import annotations

import argparse
import gzip
import math
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import tmtools

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"
THREE = {
    "A": "ALA", "R": "ARG", "N": "ASN", "D": "ASP", "C": "CYS", "Q": "GLN", "E": "GLU", "G": "GLY", "H": "HIS",
    "I": "ILE", "L": "LEU", "K": "LYS", "M": "MET", "F": "PHE", "P": "PRO", "S": "SER", "T": "THR", "W": "TRP",
    "Y": "TYR", "V": "VAL",
}


def write_ca(path: Path, seq: str, xyz: np.ndarray) -> None:
    with open(path, "w") as f:
        for k, (aa, p) in enumerate(zip(seq, xyz), start=1):
            f.write(
                "ATOM  %5d  CA  %3s A%4d    %8.3f%8.3f%8.3f  1.00  0.00           C\n"
                % (k, THREE.get(aa, "UNK"), k % 10000, p[0], p[1], p[2])
            )
        f.write("TER\nEND\n")


def dump(exe: Path, path: Path, chain: str) -> tuple[str, np.ndarray]:
    out = subprocess.run([str(exe), "dump", str(path), chain], check=True, capture_output=True, text=True).stdout
    lines = out.splitlines()
    return lines[0], np.array([[float(v) for v in l.split()] for l in lines[1:]], dtype=float)


def rotation(rng: random.Random) -> np.ndarray:
    q = np.array([rng.gauss(0, 1) for _ in range(4)])
    a, b, c, d = q / np.linalg.norm(q)
    return np.array([
        [a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)],
        [2 * (b * c + a * d), a * a - b * b + c * c - d * d, 2 * (c * d - a * b)],
        [2 * (b * d - a * c), 2 * (c * d + a * b), a * a - b * b - c * c + d * d],
    ])


def long_chains(exe: Path, tmp: Path) -> list[tuple[Path, Path, str]]:
    parts = ["carbonic_anhydrase/1azm.pdb", "carbonic_anhydrase/1oq5.pdb", "carbonic_anhydrase/1jd0.pdb"]
    seq, xyz = "", []
    for k, p in enumerate(parts + ["../1o1z.pdb"]):
        s, c = dump(exe, DATA / "families" / p, "A")
        seq += s
        xyz.append(c + np.array([60.0 * k, 0.0, 0.0]))
    xyz = np.vstack(xyz)
    base = tmp / "long.pdb"
    write_ca(base, seq, xyz)
    rng = random.Random(7)
    out = []
    for name, cut in (("long_cut", True), ("long_noise", False)):
        r = rotation(rng)
        moved = xyz @ r.T + np.array([20.0, -35.0, 50.0])
        moved += np.array([[rng.gauss(0, 0.8) for _ in range(3)] for _ in range(len(moved))])
        keep = np.ones(len(moved), bool)
        if cut:
            keep[300:312] = False
            keep[700:712] = False
        path = tmp / f"{name}.pdb"
        write_ca(path, "".join(a for a, k in zip(seq, keep) if k), moved[keep])
        out.append((base, path, name))
    # The same four chains in another order, each in its deposited frame: no
    # one superposition fits more than one of them.
    seq2, xyz2 = "", []
    for k, p in enumerate([parts[1], "../1o1z.pdb", parts[0], parts[2]]):
        s, c = dump(exe, DATA / "families" / p, "A")
        seq2 += s
        xyz2.append(c + np.array([60.0 * k, 0.0, 0.0]))
    path = tmp / "long_shuffled.pdb"
    write_ca(path, seq2, np.vstack(xyz2))
    out.append((base, path, "long_shuffled"))
    return out


def example_entries(tmp: Path) -> list[Path]:
    found = []
    tm_data = Path(tmtools.__file__).parent / "data"
    found += sorted(tm_data.glob("*.pdb"))
    for gz in sorted(Path("/usr/share/doc/tm-align/examples").glob("*.pdb.gz")):
        dest = tmp / gz.name[:-3]
        with gzip.open(gz, "rb") as src, open(dest, "wb") as dst:
            shutil.copyfileobj(src, dst)
        found.append(dest)
    return found


def tmalign_given(tm_bin: str, a: Path, b: Path, seqx: str, seqy: str, tmp: Path) -> tuple[float, float]:
    fasta = tmp / "given.fasta"
    fasta.write_text(f">a\n{seqx}\n>b\n{seqy}\n")
    out = subprocess.run([tm_bin, str(a), str(b), "-I", str(fasta)], check=True, capture_output=True, text=True).stdout
    tms = [float(v) for v in re.findall(r"TM-score= ([0-9.]+) \(if normalized by length of Chain_", out)]
    return tms[0], tms[1]


def pairs_of(seqx: str, seqy: str) -> str:
    i = j = 0
    out = []
    for a, b in zip(seqx, seqy):
        if a != "-" and b != "-":
            out.append(f"{i}:{j}")
        i += a != "-"
        j += b != "-"
    return ",".join(out)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=str(ROOT / "build"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--only", default="", help="substring of the pair name to run")
    args = ap.parse_args()
    exe = Path(args.build) / "benchmarks" / "bench_fold"
    tm_bin = shutil.which("TMalign")

    tmp = Path(tempfile.mkdtemp(prefix="bench-fold-"))
    try:
        jobs = []  # (name, file1, chain1, file2, chain2, runs)
        lines = (DATA / "families" / "tmalign_pairs.tsv").read_text().splitlines()[1:]
        for line in lines:
            f = line.split("\t")
            jobs.append((f"{Path(f[1]).stem}-{Path(f[3]).stem}", DATA / "families" / f[1], f[2],
                         DATA / "families" / f[3], f[4], args.runs))
        ex = example_entries(tmp)
        for a in range(len(ex)):
            for b in range(a + 1, len(ex)):
                jobs.append((f"{ex[a].stem}-{ex[b].stem}", ex[a], "A", ex[b], "A", args.runs))
        for base, other, name in long_chains(exe, tmp):
            jobs.append((name, base, "A", other, "A", 1))
        if args.only:
            jobs = [j for j in jobs if args.only in j[0]]

        rows = []
        worst_given = 0.0
        print(f"{'pair':22s} {'L1':>5s} {'L2':>5s}  {'fold TM1':>8s} {'TM2':>7s}  {'TMalign TM1':>11s} {'TM2':>7s}"
              f"  {'fold ms':>8s} {'TMalign ms':>10s}  {'given d':>7s}")
        for name, f1, c1, f2, c2, runs in jobs:
            s1, x1 = dump(exe, f1, c1)
            s2, x2 = dump(exe, f2, c2)
            ca1, ca2 = tmp / "a.pdb", tmp / "b.pdb"
            write_ca(ca1, s1, x1)
            write_ca(ca2, s2, x2)
            # TM-align in process.
            best = math.inf
            for _ in range(runs):
                t0 = time.process_time()
                res = tmtools.tm_align(x1, x2, s1, s2)
                best = min(best, time.process_time() - t0)
            tm_ms = best * 1e3
            # Fold mode.
            lst = tmp / "list.txt"
            lst.write_text(f"{ca1} A {ca2} A\n")
            out = subprocess.run([str(exe), "fold", str(lst), str(runs)], check=True, capture_output=True,
                                 text=True).stdout.split()
            fold_tm1, fold_tm2, fold_ms = float(out[2]), float(out[3]), float(out[6])
            # tm_score of TM-align's alignment against TMalign -I on it.
            given = pairs_of(res.seqxA, res.seqyA)
            mine = subprocess.run([str(exe), "score", str(ca1), "A", str(ca2), "A", given], check=True,
                                  capture_output=True, text=True).stdout.split()
            d_given = math.nan
            if tm_bin:
                g1, g2 = tmalign_given(tm_bin, ca1, ca2, res.seqxA, res.seqyA, tmp)
                d_given = max(abs(float(mine[0]) - g1), abs(float(mine[1]) - g2))
                worst_given = max(worst_given, d_given)
            rows.append((name, len(s1), len(s2), fold_tm1, fold_tm2, res.tm_norm_chain1, res.tm_norm_chain2,
                         fold_ms, tm_ms))
            print(f"{name:22s} {len(s1):5d} {len(s2):5d}  {fold_tm1:8.4f} {fold_tm2:7.4f}  "
                  f"{res.tm_norm_chain1:11.4f} {res.tm_norm_chain2:7.4f}  {fold_ms:8.1f} {tm_ms:10.1f}  "
                  f"{d_given:7.4f}", flush=True)

        short = [r for r in rows if not r[0].startswith("long")]
        longs = [r for r in rows if r[0].startswith("long")]
        n_ok = sum(1 for r in rows if r[3] >= r[5] - 0.01 and r[4] >= r[6] - 0.01)
        print()
        print(f"pairs: {len(rows)}; fold within 0.01 of TM-align or better (both normalisations): {n_ok} "
              f"({100.0 * n_ok / len(rows):.1f} %)")
        print(f"mean TM by chain 1: fold {np.mean([r[3] for r in rows]):.4f}  TM-align "
              f"{np.mean([r[5] for r in rows]):.4f}")
        print(f"mean TM by chain 2: fold {np.mean([r[4] for r in rows]):.4f}  TM-align "
              f"{np.mean([r[6] for r in rows]):.4f}")
        if short:
            print(f"time, all but the long pairs: fold {sum(r[7] for r in short):.1f} ms  TM-align "
                  f"{sum(r[8] for r in short):.1f} ms  ratio {sum(r[7] for r in short) / sum(r[8] for r in short):.3f}")
        for r in longs:
            print(f"time, {r[0]}: fold {r[7]:.1f} ms  TM-align {r[8]:.1f} ms  ratio {r[7] / r[8]:.3f}")
        print(f"tm_score of TM-align's alignment vs TMalign -I: largest difference {worst_given:.4f}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
