"""Timing of the whole-file pipeline align_pdbs.

Cases:
  family     the bundled cytochrome c files of the demo (4 structures, 104-107 residues)
  mixed16    16 bundled structures of 100-260 residues from five families
  variants12 12 moved, jittered and trimmed copies of carbonic anhydrase 1azm (~240 residues)

The all-against-all pairwise table costs N(N-1)/2 engine alignments and
dominates; the per-structure scan pre-alignment costs N-1 scans. Each case is
run a few times and the median wall time is printed, with the time of the
multiple alignment alone (multiple_align on the pre-aligned files) beside it.

Usage: PYTHONPATH=build/torva-py python3 benchmarks/bench_msa.py [repeats]
"""

import os
import statistics
import sys
import tempfile
import time

import numpy as np

import dovel

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
FAM = os.path.join(ROOT, "tests", "data", "families")


def fam(*names):
    return [os.path.join(FAM, n + ".pdb") for n in names]


def write_variant(src, dst, rng, cut):
    """Copy of `src` with every atom rotated and shifted, jittered, and residues cut[0]..cut[1] dropped."""
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q @ np.diag(np.sign(np.diag(r)))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    shift = rng.uniform(-50, 50, size=3)
    with open(src) as fh, open(dst, "w") as out:
        for line in fh:
            if line.startswith(("ATOM  ", "HETATM")):
                try:
                    resseq = int(line[22:26])
                except ValueError:
                    resseq = None
                if resseq is not None and cut[0] <= resseq < cut[1]:
                    continue
                x = np.array([float(line[30:38]), float(line[38:46]), float(line[46:54])])
                y = q @ x + shift + rng.normal(scale=0.4, size=3)
                line = f"{line[:30]}{y[0]:8.3f}{y[1]:8.3f}{y[2]:8.3f}{line[54:]}"
            out.write(line)


def timed(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), out


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.TemporaryDirectory() as tmp:
        rng = np.random.default_rng(2024)
        src = os.path.join(FAM, "carbonic_anhydrase", "1azm.pdb")
        variants = []
        for k in range(12):
            dst = os.path.join(tmp, f"ca_variant{k:02d}.pdb")
            start = int(rng.integers(20, 220))
            write_variant(src, dst, rng, (start, start + int(rng.integers(0, 12))))
            variants.append(dst)
        cases = {
            "family": fam("cytochrome_c/1hrc", "cytochrome_c/1ycc", "cytochrome_c/1co6", "cytochrome_c/1crc"),
            "mixed16": fam("cytochrome_c/1hrc", "cytochrome_c/1ycc", "cytochrome_c/1co6", "cytochrome_c/1c2r",
                           "thioredoxin/2trx", "thioredoxin/1ert", "thioredoxin/3trx", "thioredoxin/1dsb",
                           "cytochrome_cprime_b562/1a7v", "cytochrome_cprime_b562/2ccy",
                           "cytochrome_cprime_b562/1rcp", "cytochrome_cprime_b562/256b",
                           "microbial_ribonuclease/1bni", "microbial_ribonuclease/9rnt",
                           "carbonic_anhydrase/1azm", "carbonic_anhydrase/1oq5"),
            "variants12": variants,
        }
        print(f"{'case':<11}{'N':>3}{'residues':>10}{'pairs':>6}{'align_pdbs s':>14}{'multiple_align s':>18}"
              f"{'per pair ms':>13}{'columns':>9}{'core':>6}")
        for name, files in cases.items():
            out = os.path.join(tmp, "out_" + name)
            t_all, result = timed(lambda: dovel.align_pdbs(files, out), repeats)
            stems = [os.path.splitext(os.path.basename(f))[0] for f in files]
            aligned = [dovel.Domain.from_pdb(os.path.join(out, f"aligned_{s}.pdb")) for s in stems]
            t_msa, _ = timed(lambda: dovel.multiple_align(aligned), repeats)
            n = len(files)
            pairs = n * (n - 1) // 2
            sizes = [len(d) for d in aligned]
            print(f"{name:<11}{n:>3}{f'{min(sizes)}-{max(sizes)}':>10}{pairs:>6}{t_all:>14.3f}{t_msa:>18.3f}"
                  f"{1000 * t_msa / pairs:>13.1f}{result.n_columns:>9}{result.n_core:>6}")


if __name__ == "__main__":
    main()
