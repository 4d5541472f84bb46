"""Clustering: quality on real chains, speed on synthetic variants of them.

quality -- a database of the real chains with TM-align's all-against-all (../shared/bench/chains, the
           first 222 of order.txt) and the bundled families (tests/data/families), clustered with the
           defaults on 2 workers:
           * TM-align's TM-score of every member with its representative (normalised by the member),
             from the shared table or by running TMalign on the pairs the table lacks: the share of
             members at or above the threshold - 0.05;
           * the number of clusters against a greedy set cover of the exact all-against-all (every
             ordered pair aligned as the clustering aligns them, the same rule and ranks);
           * each group whose members TM-align puts all above 0.5 to one another (both normalisations;
             groups.tsv's average-linkage groups and the bundled families): in one cluster or not.
speed   -- a database of N synthetic variants (benchmarks/bench_prefilter_search.py variants) clustered
           on 2 workers: wall time, clusters, peak memory of the workers and of this process.
"""

from __future__ import annotations

import argparse
import csv
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)
sys.path.insert(0, HERE)

import dovelkit  # noqa: E402
from dovelkit import _core  # noqa: E402
from dovelkit.db.store import Database  # noqa: E402

SHARED = os.environ.get("DOVEL_SHARED", os.path.join(ROOT, "..", "shared"))
if not os.path.isdir(SHARED) and os.path.isdir("/work/shared"):
    SHARED = "/work/shared"
FAMILIES = os.path.join(SHARED, "data", "families")
THREE = {"A": "ALA", "R": "ARG", "N": "ASN", "D": "ASP", "C": "CYS", "Q": "GLN", "E": "GLU", "G": "GLY", "H": "HIS",
         "I": "ILE", "L": "LEU", "K": "LYS", "M": "MET", "F": "PHE", "P": "PRO", "S": "SER", "T": "THR", "W": "TRP",
         "Y": "TYR", "V": "VAL"}


def _chains() -> list:
    chains_dir = os.path.join(SHARED, "bench", "chains")
    order = [line.strip() for line in open(os.path.join(chains_dir, "order.txt")) if line.strip()][:222]
    out = []
    for name in order:
        d = dovelkit.load(os.path.join(chains_dir, "chains", name))
        d.id = name
        out.append(d)
    for path in sorted(glob.glob(os.path.join(FAMILIES, "*", "*.pdb"))):
        d = dovelkit.load(path)
        d.id = os.path.relpath(path, FAMILIES)
        out.append(d)
    return out


def _tmalign_table() -> dict[tuple[str, str], float]:
    """TM-align's TM-score of (a, b) normalised by a, from the shared tables."""
    tm: dict[tuple[str, str], float] = {}
    with open(os.path.join(SHARED, "bench", "chains", "tmalign_all.tsv")) as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            tm[(row["chain1"], row["chain2"])] = float(row["tm1"])
            tm[(row["chain2"], row["chain1"])] = float(row["tm2"])
    with open(os.path.join(FAMILIES, "tmalign_pairs.tsv")) as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            tm[(row["file1"], row["file2"])] = float(row["tm_score_norm_file1"])
            tm[(row["file2"], row["file1"])] = float(row["tm_score_norm_file2"])
    return tm


def _ca_pdb(entry, path: str) -> None:
    with open(path, "w") as fh:
        for i, (xyz, aa) in enumerate(zip(entry.coordinates, entry.sequence)):
            fh.write(f"ATOM  {i + 1:5d}  CA  {THREE.get(aa, 'GLY')} A{i + 1:4d}    "
                     f"{xyz[0]:8.3f}{xyz[1]:8.3f}{xyz[2]:8.3f}  1.00  0.00           C\n")
        fh.write("END\n")


def _run_tmalign(a, b) -> float:
    """TM-align's TM-score of a with b, normalised by a (its Chain_1)."""
    with tempfile.TemporaryDirectory() as tmp:
        pa, pb = os.path.join(tmp, "a.pdb"), os.path.join(tmp, "b.pdb")
        _ca_pdb(a, pa)
        _ca_pdb(b, pb)
        out = subprocess.run([shutil.which("TMalign") or "TMalign", pa, pb], capture_output=True, text=True).stdout
    for line in out.splitlines():
        if line.startswith("TM-score=") and "Chain_1" in line:
            return float(line.split()[1])
    raise RuntimeError("TMalign gave no TM-score")


def _tmalign_pairs() -> list[tuple[tuple[str, str], float, float, float]]:
    """((member, representative), TM-score by the member, fraction of the member aligned, of the
    representative) for every ordered pair of TM-align's tables."""
    out = []
    with open(os.path.join(SHARED, "bench", "chains", "tmalign_all.tsv")) as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            a, b, la, lb = row["chain1"], row["chain2"], int(row["L1"]), int(row["L2"])
            n = int(row["aligned_length"])
            out.append(((a, b), float(row["tm1"]), n / la, n / lb))
            out.append(((b, a), float(row["tm2"]), n / lb, n / la))
    with open(os.path.join(FAMILIES, "tmalign_pairs.tsv")) as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            a, b, la, lb = row["file1"], row["file2"], int(row["L1"]), int(row["L2"])
            n = int(row["aligned_length"])
            out.append(((a, b), float(row["tm_score_norm_file1"]), n / la, n / lb))
            out.append(((b, a), float(row["tm_score_norm_file2"]), n / lb, n / la))
    return out


def quality(work: str, own: bool) -> None:
    from dovelkit.db.clustering import _align, _rank_of, _Runner

    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, "real-chains.parquet")
    if not os.path.exists(path):
        Database.from_domains(path, _chains(), rows_per_group=50)
    db = Database.open(path)
    ids = db.ids
    t = time.perf_counter()
    result = dovelkit.cluster(db, workers=2)
    wall = time.perf_counter() - t
    rule = result.rule
    print(f"{len(db)} real chains: {result.n_clusters} clusters in {wall:.1f} s on 2 workers "
          f"(rule: TM >= {rule.tm}, coverage >= {rule.coverage}, cov-mode {rule.cov_mode})", flush=True)
    # TM-align on the pairs made.
    table = _tmalign_table()
    scores = []
    ran = 0
    for r, m in result.rows():
        if r == m:
            continue
        got = table.get((m, r))
        if got is None:
            got = _run_tmalign(db.entry(ids.index(m)), db.entry(ids.index(r)))
            ran += 1
        scores.append(got)
    scores_a = np.array(scores)
    ok = int(np.sum(scores_a >= rule.tm - 0.05))
    print(f"members with TM-align's TM-score (by the member) >= {rule.tm - 0.05:.2f} to their representative: "
          f"{ok}/{len(scores_a)} ({100 * ok / max(1, len(scores_a)):.1f} %; TMalign run on {ran} pairs); "
          f">= {rule.tm:.2f}: {int(np.sum(scores_a >= rule.tm))}; lowest {scores_a.min() if len(scores_a) else 0:.3f}",
          flush=True)
    # Greedy set cover of an exact all-against-all under the same rule and ranks: TM-align's (the
    # shared table: every pair of the 222 chains and of each bundled family; pairs it lacks, between
    # unrelated proteins, count as failing), and with --own the clustering's own alignments of every
    # ordered pair.
    n = len(db)
    lengths = np.array([len(db.entry(i).coordinates) for i in range(n)])
    rank = _rank_of(lengths)
    where = {x: i for i, x in enumerate(ids)}
    edges = [(where[r], where[m]) for (m, r), tm, cm, cr in _tmalign_pairs()
             if m in where and r in where and rule.passes(tm, cm, cr)]
    ref = _core.greedy_set_cover(n, np.array([a for a, _ in edges], dtype=np.int64),
                                 np.array([b for _, b in edges], dtype=np.int64), rank)
    n_ref = int(np.sum(ref == np.arange(n)))
    print(f"greedy set cover of TM-align's all-against-all ({len(edges)} ordered pairs pass the rule): {n_ref} "
          f"clusters; the cascade's {result.n_clusters} are {100 * (result.n_clusters - n_ref) / n_ref:+.1f} %",
          flush=True)
    if own:
        runner = _Runner(db, 2, None, False)
        try:
            pairs = [(i, j) for i in range(n) for j in range(n) if i != j]
            t = time.perf_counter()
            figures = _align(runner, pairs, "all against all")
            t_all = time.perf_counter() - t
            runner.close()
        finally:
            runner.stop()
        ok_pairs = [(j, i) for (i, j), f in zip(pairs, figures.tolist()) if rule.passes(f[0], f[2], f[3])]
        exact = _core.greedy_set_cover(n, np.array([a for a, _ in ok_pairs], dtype=np.int64),
                                       np.array([b for _, b in ok_pairs], dtype=np.int64), rank)
        n_exact = int(np.sum(exact == np.arange(n)))
        print(f"greedy set cover of the clustering's own all-against-all ({len(pairs)} ordered pairs aligned in "
              f"{t_all:.0f} s on 2 workers, {len(ok_pairs)} pass): {n_exact} clusters; the cascade's are "
              f"{100 * (result.n_clusters - n_exact) / n_exact:+.1f} %", flush=True)
    # Groups TM-align puts all above 0.5 to one another.
    groups: dict[str, list[str]] = {}
    with open(os.path.join(SHARED, "bench", "chains", "groups.tsv")) as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            if row["group_avg"] not in ("", "NA") and row["file"] in ids:
                groups.setdefault(row["group_avg"], []).append(row["file"])
    for fam in ("cytochrome_c", "cytochrome_cprime_b562", "carbonic_anhydrase", "thioredoxin",
                "microbial_ribonuclease"):
        groups["family:" + fam] = [i for i in ids if i.startswith(fam + "/")]
    tight = {g: m for g, m in groups.items() if len(m) > 1 and all(
        min(table.get((a, b), 0.0), table.get((b, a), 0.0)) > 0.5 for a in m for b in m if a != b)}
    by_member = {m: r for r, m in result.rows()}
    together = [g for g, m in tight.items() if len({by_member[x] for x in m}) == 1]
    apart = sorted(set(tight) - set(together))
    print(f"groups TM-align puts all above 0.5 to one another: {len(together)}/{len(tight)} in one cluster"
          + (f"; split: {', '.join(apart)}" if apart else ""), flush=True)


def speed(work: str, entries: int) -> None:
    from bench_prefilter_search import variants
    from bench_search_scale import PeakRSS

    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, f"variants-{entries}.parquet")
    if not os.path.exists(path):
        Database.from_domains(path, variants(entries))
    db = Database.open(path)
    import resource

    with PeakRSS() as rss:
        t = time.perf_counter()
        result = dovelkit.cluster(db, workers=2, progress=sys.stderr.isatty())
        wall = time.perf_counter() - t
    worker = max((v for _, v in rss.peaks.values()), default=0)
    caller = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    sizes = result.sizes()
    print(f"{len(db)} entries: {result.n_clusters} clusters ({sum(s == 1 for s in sizes)} of one, largest {max(sizes)}) "
          f"in {wall:.0f} s ({wall / 60:.1f} min) on 2 workers; peak RSS: worker {worker / 2**20:.0f} MiB, "
          f"caller {caller / 2**20:.0f} MiB ({caller / len(db):.0f} bytes per entry)", flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("what", choices=("quality", "speed"))
    ap.add_argument("--work", default="/tmp/dovel-bench-cluster")
    ap.add_argument("--entries", type=int, default=100_000)
    ap.add_argument("--own", action="store_true", help="quality: also the clustering's own all-against-all")
    args = ap.parse_args()
    if args.what == "quality":
        quality(args.work, args.own)
    else:
        speed(args.work, args.entries)
    return 0


if __name__ == "__main__":
    sys.exit(main())
