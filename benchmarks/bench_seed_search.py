#!/usr/bin/env python3
"""Scan alignment of real homologues in their deposited frames, against TM-align.

For every pair of ../shared/data/families/tmalign_pairs.tsv (homologues within a
family, and unrelated structures against the first member of each family) it
reports the window search alone, the search with the fragment-seed fallback,
TM-align's aligned length and RMSD (from the table), and the time of each:
the two searches as the thread CPU time of bench_seed_pairs (best of three),
TM-align as the wall time of /usr/bin/TMalign on the same files (best of
three). It also runs the refinement from TM-align's own superposition, the way
the scan continues from a window ("from TM frame"): the best any starting
frame search can hope for with the scan's refinement settings.

With --deletions it also runs, for every close pair (TM-score 0.8 or more), the
second chain with an internal stretch removed (12 residues at 30 %, 20 at 55 %,
8 at 75 % of its length): homologues that are not colinear by construction.

  python3 benchmarks/bench_seed_search.py [--exe build/benchmarks/bench_seed_pairs] [--deletions] [--no-tmalign]

Goal checked in the summary, for pairs with a TM-score of 0.6 or more (either
normalisation): a positive score, at least two thirds of TM-align's aligned
length, and an RMSD no more than 1 A above TM-align's. Unrelated pairs should
keep a low score, and a pair that both searches fail should cost at most three
times what the window search costs.
"""

import argparse
import csv
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAMILIES = os.path.join(os.path.dirname(ROOT), "shared", "data", "families")


def run_pairs(exe, lines, repeats):
    out = subprocess.run([exe, str(repeats), "-"], input="".join(lines), capture_output=True, text=True, check=True)
    return list(csv.DictReader(out.stdout.splitlines(), delimiter="\t"))


def tmalign(exe, f1, f2):
    """Best wall time of three runs, and the superposition of f2 onto f1 as 12 numbers."""
    best = None
    with tempfile.TemporaryDirectory() as tmp:
        matrix = os.path.join(tmp, "m.txt")
        for _ in range(3):
            t0 = time.perf_counter()
            # TM-align moves its first chain onto its second: give it the moving one first.
            subprocess.run([exe, os.path.join(FAMILIES, f2), os.path.join(FAMILIES, f1), "-m", matrix],
                           capture_output=True, check=True)
            dt = (time.perf_counter() - t0) * 1e3
            best = dt if best is None else min(best, dt)
        with open(matrix) as f:
            lines = f.read().splitlines()
    numbers = []
    for line in lines:
        parts = line.split()
        if len(parts) == 5 and parts[0] in ("1", "2", "3"):
            numbers += parts[1:]
    return best, numbers


def fmt_outcome(score, n, rmsd):
    return f"{float(score):7.4f} {int(n):4d} {float(rmsd):7.2f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--exe", default=os.path.join(ROOT, "build", "benchmarks", "bench_seed_pairs"))
    ap.add_argument("--deletions", action="store_true")
    ap.add_argument("--no-tmalign", action="store_true", help="skip timing TM-align")
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()

    if not os.path.exists(args.exe):
        sys.exit(f"{args.exe} not found: build the benchmarks first (-DTORVA_BUILD_BENCHMARKS=ON)")
    tm_exe = None if args.no_tmalign else shutil.which("TMalign")

    with open(os.path.join(FAMILIES, "tmalign_pairs.tsv")) as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    frames = {}
    for r in rows:
        frames[(r["file1"], r["file2"])] = tmalign(tm_exe, r["file1"], r["file2"]) if tm_exe else (float("nan"), [])

    def line(r, deletion=(0, 0)):
        numbers = frames[(r["file1"], r["file2"])][1]
        return "\t".join([r["file1"], r["file2"], str(deletion[0]), str(deletion[1])] + numbers) + "\n"

    results = run_pairs(args.exe, [line(r) for r in rows], args.repeats)

    print(f"{'pair':<44} {'TM':>5} | {'window search':^20} {'ms':>6} | {'with seeds':^20} {'ms':>6} | "
          f"{'from TM frame':^20} | {'TM-align':^12} {'ms':>6}")
    print(f"{'':<44} {'':>5} | {'score':>7} {'n':>4} {'rmsd':>7} {'':>6} | {'score':>7} {'n':>4} {'rmsd':>7} {'':>6} | "
          f"{'score':>7} {'n':>4} {'rmsd':>7} | {'n':>4} {'rmsd':>7} {'':>6}")
    homologues, unrelated, fail_ratios = [], [], []
    w_total = s_total = t_total = 0.0
    for r, b in zip(rows, results):
        tm = max(float(r["tm_score_norm_file1"]), float(r["tm_score_norm_file2"]))
        t_ms = frames[(r["file1"], r["file2"])][0]
        ref = fmt_outcome(b["r_score"], b["r_n"], b["r_rmsd"]) if b["r_score"] else f"{'-':>20}"
        name = f"{os.path.basename(r['file1'])[:-4]} / {os.path.basename(r['file2'])[:-4]} ({r['family'][:18]})"
        print(f"{name:<44} {tm:5.2f} | {fmt_outcome(b['w_score'], b['w_n'], b['w_rmsd'])} {float(b['w_ms']):6.1f} | "
              f"{fmt_outcome(b['s_score'], b['s_n'], b['s_rmsd'])} {float(b['s_ms']):6.1f} | {ref} | "
              f"{int(r['aligned_length']):4d} {float(r['rmsd']):7.2f} {t_ms:6.1f}")
        w_total += float(b["w_ms"])
        s_total += float(b["s_ms"])
        t_total += t_ms if t_ms == t_ms else 0.0
        s_score, s_n, s_rmsd = float(b["s_score"]), int(b["s_n"]), float(b["s_rmsd"])
        if r["family"] == "unrelated":
            unrelated.append((float(b["w_score"]), s_score))
        elif tm >= 0.6:
            goal = s_score > 0 and s_n >= 2 * int(r["aligned_length"]) / 3 and s_rmsd <= float(r["rmsd"]) + 1.0
            reachable = bool(b["r_score"]) and float(b["r_score"]) > 0
            homologues.append((float(b["w_score"]) > 0, s_score > 0, goal, reachable))
        if float(b["w_score"]) <= 0 and s_score <= 0:
            fail_ratios.append(float(b["s_ms"]) / float(b["w_ms"]))

    n = len(homologues)
    print()
    print(f"pairs with TM-score >= 0.6: {n}")
    print(f"  positive score, window search: {sum(h[0] for h in homologues)} ({100 * sum(h[0] for h in homologues) / n:.0f} %)")
    print(f"  positive score, with seeds:    {sum(h[1] for h in homologues)} ({100 * sum(h[1] for h in homologues) / n:.0f} %)")
    if any(b["r_score"] for b in results):
        print(f"  positive score from TM-align's own superposition: {sum(h[3] for h in homologues)} "
              f"(the ceiling for any choice of starting frame)")
    print(f"  positive, n >= 2/3 of TM-align's, RMSD <= TM-align's + 1 A: {sum(h[2] for h in homologues)} "
          f"({100 * sum(h[2] for h in homologues) / n:.0f} %)")
    print(f"unrelated pairs: {len(unrelated)}, highest score window search {max(u[0] for u in unrelated):.4f}, "
          f"with seeds {max(u[1] for u in unrelated):.4f}")
    if fail_ratios:
        print(f"pairs both searches fail: {len(fail_ratios)}, cost with seeds / window search: "
              f"mean {sum(fail_ratios) / len(fail_ratios):.2f}, max {max(fail_ratios):.2f}")
    print(f"total time: window search {w_total:.0f} ms, with seeds {s_total:.0f} ms, TM-align {t_total:.0f} ms")

    if args.deletions:
        lines = []
        for r in rows:
            tm = max(float(r["tm_score_norm_file1"]), float(r["tm_score_norm_file2"]))
            if r["family"] == "unrelated" or tm < 0.8:
                continue
            length = int(r["L2"])
            for frac, count in ((0.30, 12), (0.55, 20), (0.75, 8)):
                lines.append(line(r, (int(length * frac), count)))
        dels = run_pairs(args.exe, lines, args.repeats)
        print()
        print(f"{'pair with a deletion in the second chain':<50} | {'window search':^20} | {'with seeds':^20} | "
              f"{'from TM frame':^20}")
        for b in dels:
            name = f"{os.path.basename(b['file1'])} / {os.path.basename(b['file2'])}"
            ref = fmt_outcome(b["r_score"], b["r_n"], b["r_rmsd"]) if b["r_score"] else f"{'-':>20}"
            print(f"{name:<50} | {fmt_outcome(b['w_score'], b['w_n'], b['w_rmsd'])} | "
                  f"{fmt_outcome(b['s_score'], b['s_n'], b['s_rmsd'])} | {ref}")
        wpos = sum(float(b["w_score"]) > 0 for b in dels)
        spos = sum(float(b["s_score"]) > 0 for b in dels)
        rpos = sum(bool(b["r_score"]) and float(b["r_score"]) > 0 for b in dels)
        print(f"deletion cases: {len(dels)}, positive score: window search {wpos}, with seeds {spos}, "
              f"from TM frame {rpos}")


if __name__ == "__main__":
    main()
