"""The prefiltered search against the exhaustive one: quality on real chains, speed at scale.

    PYTHONPATH=<module dir>:<repo> python3 benchmarks/bench_prefilter_search.py quality
    PYTHONPATH=<module dir>:<repo> python3 benchmarks/bench_prefilter_search.py speed \
        [--entries 1000000] [--work /tmp/dovel-bench-prefilter] [--sample 200]

quality -- real chains only: a database of every chain of every bundled entry (the families, the
top-level entries, ../shared/data/mmcif); every chain is searched against it, at the family level and at
the fold level, exhaustively, prefiltered with the default candidate count, and prefiltered with 10
candidates (so that the prefilter has to choose). Relatives are the chains of one family, or of one
group of real_chains.OTHER_GROUPS; every other pair counts as a false hit. Reported for each level
and each search:
  - sensitivity before the first false positive (relatives ranked above the first listed hit of
    another group, over all of the query's relatives), mean over the queries that have relatives;
  - the share of the exhaustive search's listed hits (family: score > 0; fold: E below the
    command's listing threshold) in the top 100 of each search;
  - E-value calibration: the share of queries with a hit of another group of E < 0.01;
  - the exhaustive hits listed by default, relatives and others, and at several E thresholds;
and the prefilter rank of every relative that the family level scores above 0 -- the margin the
candidate count leaves on a small database.

speed -- a database of synthetic variants of real chains (random frame, 0.05 A noise, 0 to 4
residues trimmed per end; the cost of an entry does not depend on which chain it is): bytes per
entry, the prefilter's cost per entry per core, one query's wall time on 2 workers (prefiltered,
and the exhaustive search measured on a sample of slices and scaled), peak RSS of the workers,
and an all-against-all of the first 10^4 entries projected from --sample queries searched
through search_many in its default batches (start-up of the workers included); one query and the
all-against-all at both levels (family and fold).
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

import real_chains

import dovel  # noqa: E402
import dovelkit  # noqa: E402
from dovelkit import _core  # noqa: E402
from dovelkit.db.listing import listed as command_listed  # noqa: E402
from dovelkit.db.store import Database  # noqa: E402
from dovelkit.db.stages import candidate_count  # noqa: E402
from dovelkit.db.statistics import FOLD_LIST_E  # noqa: E402


def sensitivity(hits, family, families, n_relatives, listed):
    """Share of the query's relatives ranked above its first listed hit of another group."""
    found = 0
    for h in hits:
        f = families.get(h.id)
        if f is None or not listed(h):
            continue
        if f != family:
            break
        found += 1
    return found / max(1, n_relatives)


def _listed(method: str):
    """What the command lists by default: a positive score (family), E below the threshold (fold)."""
    return lambda h: command_listed(h, method, FOLD_LIST_E)


def quality(work: str) -> None:
    labelled = real_chains.labelled_chains(every_chain=True)
    others = real_chains.other_chains()
    chains = [(d, "family/" + f) for d, f in labelled] + [(d, real_chains.other_group(d)) for d in others]
    families = {d.id: f for d, f in chains}
    path = os.path.join(work, "real.parquet")
    db = Database.from_domains(path, [d for d, _ in chains], rows_per_group=16)
    n = len(db)
    small = 10
    print(f"database: {n} real chains (every chain of every bundled entry; {len(labelled)} in the families, "
          f"{len(set(families.values()))} groups of related chains), {candidate_count(n)} (family) and {candidate_count(n, True)} (fold) candidates aligned per "
          f"query by default; every chain is a query; fold-level hits listed when E < {FOLD_LIST_E:g}")
    for method in ("family", "fold"):
        listed = _listed(method)
        runs = {"exhaustive": {"exhaustive": True, "max_hits": n},
                "prefiltered": {"max_hits": 100},
                f"prefiltered, {small} candidates": {"max_hits": 100, "candidates": small}}
        sens: dict[str, list[float]] = {r: [] for r in runs}
        cross: dict[str, int] = {r: 0 for r in runs}
        kept = {r: 0 for r in runs}
        total_listed = 0
        relatives_listed = cross_listed = n_relatives = 0
        cross_by_e = {0.01: 0, 0.1: 0, 1.0: 0, 10.0: 0}
        relatives_by_e = dict.fromkeys(cross_by_e, 0)
        for q, fam in chains:
            n_rel = sum(1 for f in families.values() if f == fam) - 1
            got = {r: [h for h in dovelkit.search(q, db, workers=1, mode=method, **kw) if h.id != q.id]
                   for r, kw in runs.items()}
            full_listed = {h.id for h in got["exhaustive"] if listed(h)}
            total_listed += len(full_listed)
            n_relatives += n_rel
            for r, hits in got.items():
                if n_rel:
                    sens[r].append(sensitivity(hits, fam, families, n_rel, listed))
                if any(families[h.id] != fam and h.e_value < 0.01 for h in hits):
                    cross[r] += 1
                kept[r] += len(full_listed & {h.id for h in hits[:100]})
            for h in got["exhaustive"]:
                same = families[h.id] == fam
                if listed(h):
                    relatives_listed += same
                    cross_listed += not same
                for e in cross_by_e:
                    if h.e_value < e:
                        relatives_by_e[e] += same
                        cross_by_e[e] += not same
        what = "score > 0" if method == "family" else f"E < {FOLD_LIST_E:g}"
        print(f"\n{method} level ({len(chains)} queries, {n_relatives} ordered pairs of relatives):")
        for r in runs:
            print(f"  {r:<28} sensitivity to the first false positive {np.mean(sens[r]):.4f} "
                  f"(mean over {len(sens[r])} queries with relatives); exhaustive hits with {what} in its top "
                  f"100: {kept[r]}/{total_listed}; queries with a cross-group hit of E < 0.01: "
                  f"{cross[r]}/{len(chains)} ({100 * cross[r] / len(chains):.1f} %)")
        print(f"  exhaustive, listed by default ({what}): {relatives_listed} relatives, {cross_listed} hits of "
              f"other groups")
        print("  exhaustive, hits below E (relatives / others): "
              + ", ".join(f"E < {e:g}: {relatives_by_e[e]}/{cross_by_e[e]}" for e in cross_by_e))
    # The margin the default candidate count leaves: the prefilter rank of relatives the family
    # level aligns.
    keys = [db.read_keys(s) for s in range(db.n_slices)]
    ids = db.ids
    ranks = []
    for q, fam in chains:
        full = dovelkit.search(q, db, workers=1, max_hits=n, exhaustive=True, level="family")
        scores = np.concatenate([_core.prefilter_scores([q.coordinates], d, o)[0] for d, o in keys])
        order = list(_core.top_candidates(scores.astype(np.float64), n))
        for h in full:
            if h.id != q.id and h.score > 0 and families.get(h.id) == fam:
                ranks.append(order.index(ids.index(h.id)) + 1)
    print(f"\nprefilter rank of relatives with a positive family-level score (of {n - 1} others): max {max(ranks)}, "
          f"median {int(np.median(ranks))}, {len(ranks)} pairs; within the first 10: "
          f"{sum(r <= 10 for r in ranks)}/{len(ranks)}")


# ---- speed


def variants(n: int, seed: int = 2026):
    source = [d for d, _ in real_chains.labelled_chains()] + real_chains.other_chains()
    rng = np.random.default_rng(seed)
    for i in range(n):
        d = source[int(rng.integers(len(source)))]
        q, r = np.linalg.qr(rng.normal(size=(3, 3)))
        q = q @ np.diag(np.sign(np.diag(r)))
        if np.linalg.det(q) < 0:
            q[:, 0] = -q[:, 0]
        xyz = d.coordinates @ q.T + rng.normal(scale=30.0, size=3) + rng.normal(scale=0.05, size=d.coordinates.shape)
        lo, hi = int(rng.integers(0, 5)), len(d) - int(rng.integers(0, 5))
        yield dovel.Domain.from_arrays(f"v{i:07d}", np.ascontiguousarray(np.round(xyz[lo:hi], 3)),
                                       d.sequence[lo:hi], "A")


def speed(work: str, entries: int, sample: int) -> None:
    from bench_search_scale import PeakRSS

    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, f"variants-{entries}.parquet")
    if not os.path.exists(path):
        t = time.perf_counter()
        Database.from_domains(path, variants(entries))
        print(f"created {entries} entries in {time.perf_counter() - t:.0f} s", flush=True)
    db = Database.open(path)
    size = os.path.getsize(path)
    print(f"database: {len(db)} entries, {size / len(db):.0f} bytes per entry")
    query = dovelkit.load(os.path.join(real_chains.DATA, "families", "thioredoxin", "2trx.pdb"))
    # prefilter cost per entry on one core, in each level's length window
    for fold in (False, True):
        t = time.perf_counter()
        n_done = 0
        for k in range(min(db.n_slices, 50)):
            d, o = db.read_keys(k)
            _core.prefilter_scores([query.coordinates], d, o, fold=fold)
            n_done += len(o) - 1
        t_pref = time.perf_counter() - t
        print(f"prefilter incl. reading keys ({'fold' if fold else 'family'} window): "
              f"{1e6 * t_pref / n_done:.2f} us per entry per core ({n_done} entries)", flush=True)
    # one query, prefiltered, on 2 workers, at each level
    for mode in ("family", "fold"):
        with PeakRSS() as rss:
            t = time.perf_counter()
            hits = dovelkit.search(query, db, workers=2, level=mode)
            wall = time.perf_counter() - t
        print(f"one query prefiltered ({mode}), 2 workers: {wall:.1f} s wall, {candidate_count(len(db), mode == 'fold')} candidates "
              f"aligned, {sum(h.score > 0 for h in hits)} hits; worker peak RSS "
              f"{max((v for _, v in rss.peaks.values()), default=0) / 2**20:.0f} MiB", flush=True)
    # the exhaustive search, on a sample of slices, scaled
    part = Database.from_domains(os.path.join(work, "part.parquet"), (db[i] for i in range(min(len(db), 2000))))
    t = time.perf_counter()
    dovelkit.search(query, part, workers=2, exhaustive=True, level="family")
    per = (time.perf_counter() - t) / len(part)
    print(f"exhaustive: {1e3 * per * 2:.2f} ms per entry per core; one query of {len(db)} entries "
          f"~{per * len(db):.0f} s wall on 2 workers")
    # all-against-all of 10^4 entries, projected from a sample of queries
    small = min(len(db), 10000)
    sub = os.path.join(work, f"first-{small}.parquet")
    if not os.path.exists(sub):
        Database.from_domains(sub, (db[i] for i in range(small)))
    sdb = Database.open(sub)
    queries = [sdb[i] for i in range(0, small, max(1, small // sample))][:sample]
    # The wall time of the whole sample, start of the worker processes included, over its size:
    # a slight overestimate of the cost per query of a search of all 10^4.
    for mode in ("family", "fold"):
        t = time.perf_counter()
        for _ in dovelkit.search_many(queries, sdb, workers=2, level=mode):
            pass
        per_query = (time.perf_counter() - t) / len(queries)
        print(f"all-against-all of {small} ({mode}): {per_query:.3f} s per query on 2 workers ({len(queries)} sampled), "
              f"projected {per_query * small / 60:.1f} min", flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("what", choices=("quality", "speed"))
    ap.add_argument("--work", default="/tmp/dovel-bench-prefilter")
    ap.add_argument("--entries", type=int, default=1_000_000)
    ap.add_argument("--sample", type=int, default=200)
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    if args.what == "quality":
        quality(args.work)
    else:
        speed(args.work, args.entries, args.sample)
    return 0


if __name__ == "__main__":
    sys.exit(main())
