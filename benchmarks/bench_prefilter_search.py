"""The prefiltered search against the exhaustive one: quality on real chains, speed at scale.

    PYTHONPATH=<module dir>:<repo> python3 benchmarks/bench_prefilter_search.py quality
    PYTHONPATH=<module dir>:<repo> python3 benchmarks/bench_prefilter_search.py speed \
        [--entries 1000000] [--work /tmp/dovel-bench-prefilter] [--sample 200]

quality -- real chains only: a database of every bundled chain (the families, the top-level
entries, tests/data/mmcif); each family chain is searched prefiltered and exhaustively (scan
mode, default parameters). Reported, side by side:
  - sensitivity before the first false positive (hits of the query's family among the hits ranked
    above the first hit of another family, over all of the family's other chains), mean over
    queries, for both searches;
  - the share of the exhaustive search's positive-score hits among the prefiltered top 100;
  - E-value calibration: the share of queries with a cross-family hit of E < 0.01;
  - how many candidates were aligned per query (of how many entries), and the rank by prefilter
    score of every same-family chain that the exhaustive search scores above 0 -- the margin the
    candidate count leaves on a small database.

speed -- a database of synthetic variants of real chains (random frame, 0.05 A noise, 0 to 4
residues trimmed per end; the cost of an entry does not depend on which chain it is): bytes per
entry, the prefilter's cost per entry per core, one query's wall time on 2 workers (prefiltered,
and the exhaustive search measured on a sample of slices and scaled), peak RSS of the workers,
and an all-against-all of the first 10^4 entries projected from --sample queries searched
through search_many in its default batches; one query and the all-against-all at both levels
(family and fold).
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
from dovelkit.database import Database  # noqa: E402
from dovelkit.prefiltered import candidate_count  # noqa: E402


def sensitivity(hits, family, families, n_relatives):
    found = 0
    for h in hits:
        f = families.get(h.id)
        if f is None or h.score <= 0:
            continue
        if f != family:
            break
        found += 1
    return found / max(1, n_relatives)


def quality(work: str) -> None:
    labelled = real_chains.labelled_chains()
    others = real_chains.other_chains()
    families = {d.id: f for d, f in labelled}
    path = os.path.join(work, "real.parquet")
    db = Database.from_domains(path, [d for d, _ in labelled] + others, rows_per_group=16)
    n = len(db)
    k = candidate_count(n)
    print(f"database: {n} real chains ({len(labelled)} in families), {k} candidates aligned per query")
    sens_full, sens_pref, kept, total_pos, cross_e, ranks = [], [], 0, 0, 0, []
    keys = [db.read_keys(s) for s in range(db.n_slices)]
    for q, fam in labelled:
        n_rel = sum(1 for f in families.values() if f == fam) - 1
        full = dovelkit.search(q, db, workers=1, max_hits=n, exhaustive=True)
        pref = dovelkit.search(q, db, workers=1, max_hits=100)
        # the query itself is not a relative of itself
        full_o = [h for h in full if h.id != q.id]
        pref_o = [h for h in pref if h.id != q.id]
        if n_rel:
            sens_full.append(sensitivity(full_o, fam, families, n_rel))
            sens_pref.append(sensitivity(pref_o, fam, families, n_rel))
        positive = {h.id for h in full if h.score > 0}
        top = {h.id for h in pref[:100] if h.score > 0}
        total_pos += len(positive)
        kept += len(positive & top)
        if any(families.get(h.id) not in (None, fam) and h.e_value < 0.01 for h in pref):
            cross_e += 1
        scores = np.concatenate([_core.prefilter_scores([q.coordinates], d, o)[0] for d, o in keys]).astype(np.float64)
        order = list(_core.top_candidates(scores, n))
        ids = db.ids
        for h in full_o:
            if h.score > 0 and families.get(h.id) == fam:
                ranks.append(order.index(ids.index(h.id)) + 1)
    print(f"sensitivity to the first false positive: exhaustive {np.mean(sens_full):.4f}, "
          f"prefiltered {np.mean(sens_pref):.4f} (mean over {len(sens_full)} queries)")
    print(f"exhaustive positive-score hits in the prefiltered top 100: {kept}/{total_pos} "
          f"({100 * kept / max(1, total_pos):.2f} %)")
    print(f"queries with a cross-family hit of E < 0.01: {cross_e}/{len(labelled)}")
    print(f"prefilter rank of relatives with a positive scan score (of {n - 1} others): max {max(ranks)}, "
          f"median {int(np.median(ranks))}, {len(ranks)} pairs; "
          f"within the first 10: {sum(r <= 10 for r in ranks)}/{len(ranks)}")


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
    # prefilter cost per entry on one core
    t = time.perf_counter()
    n_done = 0
    for k in range(min(db.n_slices, 50)):
        d, o = db.read_keys(k)
        _core.prefilter_scores([query.coordinates], d, o)
        n_done += len(o) - 1
    t_pref = time.perf_counter() - t
    print(f"prefilter incl. reading keys: {1e6 * t_pref / n_done:.2f} us per entry per core ({n_done} entries)")
    # one query, prefiltered, on 2 workers, at each level
    for mode in ("family", "fold"):
        with PeakRSS() as rss:
            t = time.perf_counter()
            hits = dovelkit.search(query, db, workers=2, mode=mode)
            wall = time.perf_counter() - t
        print(f"one query prefiltered ({mode}), 2 workers: {wall:.1f} s wall, {candidate_count(len(db))} candidates "
              f"aligned, {sum(h.score > 0 for h in hits)} hits; worker peak RSS "
              f"{max((v for _, v in rss.peaks.values()), default=0) / 2**20:.0f} MiB", flush=True)
    # the exhaustive search, on a sample of slices, scaled
    part = Database.from_domains(os.path.join(work, "part.parquet"), (db[i] for i in range(min(len(db), 2000))))
    t = time.perf_counter()
    dovelkit.search(query, part, workers=2, exhaustive=True)
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
    for mode in ("family", "fold"):
        t = time.perf_counter()
        for _ in dovelkit.search_many(queries, sdb, workers=2, mode=mode):
            pass
        per_query = (time.perf_counter() - t) / len(queries)
        print(f"all-against-all of {small} ({mode}): {per_query:.3f} s per query on 2 workers ({len(queries)} "
              f"sampled), projected {per_query * small / 60:.1f} min", flush=True)


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
