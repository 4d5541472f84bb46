"""The word index of the search keys against the exhaustive prefilter: candidates and costs.

quality -- real chains only (the bundled entries and families, ../shared/bench/entries and
           ../shared/bench/chains): every chain a query (from its trace, as a search makes it) against a
           column of all their keys, at both levels' windows; how many of the exhaustive prefilter's k
           best (positive scores) the index returns (all of them, but for ties at the k-th score that
           float32 scores cannot tell apart), and whether its scores are the prefilter's own. Queries
           made from keys (those of clustering) are checked for exact equality.
speed   -- a column of synthetic variants of the real chains (as bench_prefilter_search.py makes them):
           building the index, its bytes per entry, and the cost of a query by the index and by the
           exhaustive prefilter, per query and per pair, on one core.
"""

from __future__ import annotations

import argparse
import glob
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)
sys.path.insert(0, HERE)

import dovelkit  # noqa: E402
from dovelkit import _core  # noqa: E402

SHARED = os.environ.get("DOVEL_SHARED", os.path.join(ROOT, "..", "shared"))
if not os.path.isdir(SHARED) and os.path.isdir("/work/shared"):
    SHARED = "/work/shared"


def real_traces() -> list[tuple[str, np.ndarray]]:
    """(name, C-alpha trace) of every chain of the real entries at hand."""
    import real_chains

    out = [(d.id, d.coordinates) for d, _ in real_chains.labelled_chains(every_chain=True)]
    out += [(d.id, d.coordinates) for d in real_chains.other_chains()]
    paths = sorted(glob.glob(os.path.join(SHARED, "bench", "entries", "*.pdb")))
    paths += sorted(glob.glob(os.path.join(SHARED, "bench", "chains", "chains", "*.pdb")))
    for p in paths:
        try:
            chains = dovelkit.load_chains(p)
        except (OSError, ValueError):
            continue
        out += [(os.path.basename(p) + ":" + d.id, d.coordinates) for d in chains]
    return [(n, np.ascontiguousarray(c, dtype=np.float64)) for n, c in out if len(c) >= 10]


def column(traces: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    keys = [_core.search_key(t) for t in traces]
    offsets = np.zeros(len(keys) + 1, dtype=np.int64)
    offsets[1:] = np.cumsum([len(k) for k in keys])
    return np.frombuffer(b"".join(keys), dtype=np.uint8), offsets


def quality() -> None:
    named = real_traces()
    traces = [c for _, c in named]
    data, offsets = column(traces)
    n = len(traces)
    print(f"{n} real chains ({sum(len(t) for t in traces)} residues); shared data from {os.path.abspath(SHARED)}")
    for fold in (False, True):
        index = _core.KeyIndex(data, offsets, fold=fold)
        scores = _core.prefilter_scores(traces, data, offsets, fold=fold)
        for k in (10, 50, 100):
            found = wanted = same_scores = total = 0
            exact_rows = 0
            t_index = time.perf_counter()
            got, stats = index.search(traces, k=k)
            t_index = time.perf_counter() - t_index
            for q in range(n):
                row = scores[q].astype(np.float64)
                want = [int(i) for i in _core.top_candidates(row, k) if row[i] > 0]
                pos, sc = got[q]
                have = set(int(p) for p in pos)
                wanted += len(want)
                found += sum(1 for w in want if w in have)
                same_scores += int(np.sum(sc == scores[q][pos]))
                total += len(pos)
            # Queries from keys: the candidates found by the bound alone (no margin) against those of
            # every entry sharing a word scored (the others score 0), i.e. the exhaustive prefilter's.
            entries = np.arange(n, dtype=np.int64)
            by_key, _ = index.search_entries(entries, k=k, min_rescored=0, rescore_factor=0.0)
            full, _ = index.search_entries(entries, k=k, min_rescored=n)
            for q in range(n):
                exact_rows += bool(np.array_equal(by_key[q][0], full[q][0]) and np.array_equal(by_key[q][1], full[q][1]))
            print(f"{'fold' if fold else 'family'} window, k={k}: trace queries get {found}/{wanted} "
                  f"({100 * found / max(1, wanted):.2f} %) of the exhaustive candidates of positive score; "
                  f"{same_scores}/{total} scores equal the prefilter's; key queries whose candidates are the exhaustive ones: "
                  f"{exact_rows}/{n}; per query {1e3 * t_index / n:.2f} ms, postings {stats[0] / n:.0f}, "
                  f"touched {stats[1] / n:.0f}, scored {stats[2] / n:.0f}", flush=True)


def speed(work: str, entries: int, queries: int) -> None:
    from bench_prefilter_search import variants

    from dovelkit.db.store import Database

    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, f"variants-{entries}.parquet")
    if not os.path.exists(path):
        t = time.perf_counter()
        Database.from_domains(path, variants(entries))
        print(f"created {entries} entries in {time.perf_counter() - t:.0f} s", flush=True)
    db = Database.open(path)
    parts = [db.read_keys(k) for k in range(db.n_slices)]
    data = np.concatenate([d for d, _ in parts])
    offs = [np.asarray(o, dtype=np.int64) - int(o[0]) for _, o in parts]
    offsets = np.zeros(1, dtype=np.int64)
    for o in offs:
        offsets = np.concatenate([offsets, o[1:] + offsets[-1]])
    residues = int(_core.key_lengths(data, offsets).sum())
    sample = [db[i].coordinates for i in range(0, len(db), max(1, len(db) // queries))][:queries]
    for fold in (False, True):
        t = time.perf_counter()
        index = _core.KeyIndex(data, offsets, fold=fold)
        t_build = time.perf_counter() - t
        t = time.perf_counter()
        exh = _core.prefilter_scores(sample, data, offsets, fold=fold)
        t_exh = (time.perf_counter() - t) / len(sample)
        k = max(50, int(np.ceil(0.005 * len(db)))) if fold else max(32, int(np.ceil(0.003 * len(db))))
        t = time.perf_counter()
        got, stats = index.search(sample, k=k)
        t_ix = (time.perf_counter() - t) / len(sample)
        found = wanted = 0
        for q, (pos, _) in enumerate(got):
            row = exh[q].astype(np.float64)
            want = [int(i) for i in _core.top_candidates(row, k) if row[i] > 0]
            wanted += len(want)
            found += len(set(want) & set(int(p) for p in pos))
        t = time.perf_counter()
        by_key, kstats = index.search_entries(np.arange(0, len(db), max(1, len(db) // queries), dtype=np.int64)[:queries], k=k)
        t_key = (time.perf_counter() - t) / queries
        print(f"{len(db)} entries ({residues / len(db):.0f} residues each), {'fold' if fold else 'family'} window, "
              f"k={k}: index built in {t_build:.2f} s, {index.memory_bytes / len(db):.0f} bytes per entry "
              f"({index.memory_bytes / residues:.2f} per residue); per query: exhaustive {1e3 * t_exh:.1f} ms "
              f"({1e9 * t_exh / len(db):.0f} ns per pair), index from a trace {1e3 * t_ix:.2f} ms "
              f"({1e9 * t_ix / len(db):.1f} ns per pair; postings {stats[0] / len(sample):.0f}, scored "
              f"{stats[2] / len(sample):.0f}), from a key {1e3 * t_key:.2f} ms (scored {kstats[2] / queries:.0f}); "
              f"exhaustive candidates found {found}/{wanted}", flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("what", choices=("quality", "speed"))
    ap.add_argument("--work", default="/tmp/dovel-bench-prefilter")
    ap.add_argument("--entries", type=int, default=10_000)
    ap.add_argument("--queries", type=int, default=100)
    args = ap.parse_args()
    if args.what == "quality":
        quality()
    else:
        speed(args.work, args.entries, args.queries)
    return 0


if __name__ == "__main__":
    sys.exit(main())
