"""The prefiltered search: compare keys first, align only the best candidates.

A batch of queries goes through a database in two passes, slice by slice, wherever the slices
run (here, on worker processes, on Dask):

1. every slice's search keys are read once and compared with every query of the batch
   (``prefilter_slice``); the caller keeps each query's best candidates over the whole database;
2. each slice holding candidates is read once and each query is aligned exactly with its own
   candidates there (``align_slice``): the slice sends back the best hits of each query and the
   sums of its candidates' scores and squared scores, from which the statistics over the whole
   database are made (see dovelkit.statistics). At the fold level the entries that were not
   aligned count by the null model, for their lengths, which the first pass reads from the keys:
   there every entry adds its expected score and squared score, and here the candidates' own
   replace them.

The number of candidates grows with the database: ``candidate_count``.
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from dovelkit import _core
from dovelkit.database import Database
from dovelkit.statistics import fold_null_moments

if TYPE_CHECKING:
    from distributed import Client

    from dovelkit.pools import WorkerPool
    from dovelkit.search import _Scan

# Candidates aligned per query, by level: at least MIN_CANDIDATES, and CANDIDATE_FRACTION of the
# database. Measured on every chain of the bundled entries (benchmarks/bench_prefilter_search.py
# quality, 71 chains, each a query): at the family level every relative the scan aligns ranks
# within the first 8 by prefilter score (10 candidates lose nothing), so 32 leave a fourfold margin
# and 0.3 % keep it on a large database; at the fold level relatives rank lower (40 candidates lose
# 9 of the 246 relatives it finds with E < 1, 50 none), so it aligns at least 50 and 0.5 %.
MIN_CANDIDATES = {"family": 32, "fold": 50}
CANDIDATE_FRACTION = {"family": 0.003, "fold": 0.005}

# Queries of a batch aligned with their candidates of one slice in one call (see search_batch).
QUERIES_PER_CALL = 16


def candidate_count(n_entries: int, fold: bool = False) -> int:
    """How many entries of a database of ``n_entries`` a query aligns, at the family level or
    (``fold``) the fold level."""
    level = "fold" if fold else "family"
    return min(n_entries, max(MIN_CANDIDATES[level], math.ceil(CANDIDATE_FRACTION[level] * n_entries)))


_AT_ENTRY = re.compile(r"at entry (\d+)")


def _open(source: Any) -> Database:
    from dovelkit.search import _open_cached

    return source if isinstance(source, Database) else _open_cached(source)


def prefilter_slice(source: Any, k: int, queries: Sequence[np.ndarray],
                    fold: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """Prefilter scores (float32, one row per query) of slice ``k`` of a database (open, or its
    reference), and the length of each entry; ``fold``: the fold level's length window (every entry
    compared whole). A damaged key raises ValueError naming its entry."""
    db = _open(source)
    data, offsets = db.read_keys(k)
    try:
        return _core.prefilter_scores(list(queries), data, offsets, fold=fold), _core.key_lengths(data, offsets)
    except ValueError as exc:
        found = _AT_ENTRY.search(str(exc))
        if found is None:
            raise
        what = str(exc).split(": ", 1)[-1]
        raise db.key_error(db.slices[k].start + int(found.group(1)), f"damaged search key ({what})") from None


# Databases of at least this many entries are prefiltered through an index of their keys (see
# prefilter_shard); below it every key is compared, which costs less than reading the query's word
# counts off it (benchmarks/bench_key_index.py speed). Both give the same candidates.
INDEX_MIN_ENTRIES = 5000
# Entries of the consecutive slices one index covers at most: a worker holds one such index
# (about 5 bytes per residue) while it serves a batch's queries.
SHARD_ENTRIES = 100_000

# A worker keeps the index it built last, for the next queries of the batch (or of the next one).
_SHARD: dict[Any, Any] = {}


def shards_of(db: Database) -> list[tuple[int, int]]:
    """Runs of consecutive slices (first, end) of at most SHARD_ENTRIES entries each (at least one
    slice)."""
    out: list[tuple[int, int]] = []
    first, count = 0, 0
    for k, r in enumerate(db.slices):
        if count and count + len(r) > SHARD_ENTRIES:
            out.append((first, k))
            first, count = k, 0
        count += len(r)
    if count or not out:
        out.append((first, db.n_slices))
    return out


def _shard_index(db: Database, shard: tuple[int, int], fold: bool) -> tuple[Any, np.ndarray]:
    """The key index of a run of slices, and its entries' lengths; built once per worker."""
    token = (db.path, db._stat.st_ino, db._stat.st_mtime_ns, shard, fold)
    got = _SHARD.get(token)
    if got is None:
        _SHARD.clear()  # one at a time: a worker's memory is one shard's index
        parts = [db.read_keys(k) for k in range(*shard)]
        data = np.concatenate([d for d, _ in parts])
        offsets = [np.zeros(1, dtype=np.int64)]
        end = 0
        for _, o in parts:
            o = np.asarray(o, dtype=np.int64)
            offsets.append(o[1:] - o[0] + end)
            end += int(o[-1] - o[0])
        column = np.concatenate(offsets)
        first = db.slices[shard[0]].start
        try:
            index = _core.KeyIndex(data, column, fold=fold)
        except ValueError as exc:
            found = _AT_ENTRY.search(str(exc))
            if found is None:
                raise
            what = str(exc).split(": ", 1)[-1]
            raise db.key_error(first + int(found.group(1)), f"damaged search key ({what})") from None
        got = _SHARD[token] = (index, _core.key_lengths(data, column))
    return got


def prefilter_shard(source: Any, shard: tuple[int, int], queries: Sequence[np.ndarray], k: int,
                    fold: bool = False) -> tuple[list[tuple[np.ndarray, np.ndarray]], list[list[tuple[float, float]]]]:
    """Each query's k best candidates (positions in the database, float32 prefilter scores) among the
    entries of a run of slices (first, end), found through the index of their keys -- exactly the
    candidates comparing every key gives -- and, at the fold level, the null model's sums over
    those entries for each query (see search_batch)."""
    db = _open(source)
    index, lengths = _shard_index(db, shard, fold)
    first = db.slices[shard[0]].start
    found, _ = index.search(list(queries), k=k)
    # The sums slice by slice, as the comparison of every key makes them (their exact sum is then
    # the same to the last bit).
    moments: list[list[tuple[float, float]]] = []
    for q in queries:
        moments.append([fold_null_moments(len(q), lengths[r.start - first:r.stop - first])
                        for r in db.slices[shard[0]:shard[1]]] if fold else [])
    return [(pos + first, score) for pos, score in found], moments


@dataclass
class SliceHits:
    """What one slice sends back for one query."""

    hits: list[_core.Hit]
    total: float  # sum of the candidates' scores
    total_sq: float  # ... and of their squares
    tails: dict[int, float]  # fold level: each hit's chance under the null model, by position


def align_slice(source: Any, k: int, work: Sequence[tuple[_Scan, np.ndarray]]) -> list[SliceHits]:
    """Align each query of ``work`` with its candidates (positions in the database) of slice ``k``."""
    from dovelkit.search import _entry_arrays, fold_tails

    db = _open(source)
    first = db.slices[k].start
    # Only the candidates' rows are decoded: a slice holds a few of a query's candidates among
    # its thousand entries.
    rows = sorted({int(p) - first for _, positions in work for p in positions})
    entries = dict(zip(rows, db.read_slice(k, rows)))
    out = []
    for scan, positions in work:
        chosen = [entries[int(p) - first] for p in positions]
        hits = _core.scan_targets(scan.query[0], scan.query[1], *_entry_arrays(chosen), 0, scan.settings,
                                  score_cutoff=0.0, max_hits=len(chosen), quick=scan.quick,
                                  scan_mode=scan.scan_mode, pairs=scan.pairs, fold=scan.fold)
        scores = np.array([h.score for h in hits], dtype=np.float64)
        total, total_sq = float(scores.sum()), float((scores * scores).sum())
        for h in hits:
            h.position = int(positions[h.position])
        best = _core.select_hits(hits, score_cutoff=scan.score_cutoff, max_hits=scan.max_hits) if hits else []
        tails: dict[int, float] = {}
        if scan.fold:  # the candidates' scores replace what the null model expected of them
            lengths = {int(p): len(e.coordinates) for p, e in zip(positions, chosen)}
            tails = fold_tails(scan, best, lengths.__getitem__)
            m1, m2 = fold_null_moments(len(scan.query[0]), np.array(list(lengths.values())))
            total, total_sq = total - m1, total_sq - m2
        out.append(SliceHits(best, total, total_sq, tails))
    return out


# A call for wherever the slices run: (function, arguments, what it does).
Call = tuple[Callable[..., Any], tuple[Any, ...], str]


def run_calls(calls: list[Call], pool: WorkerPool | None, client: Client | None) -> Iterator[tuple[int, Any]]:
    """Results of the calls as they finish: (index of the call, result)."""
    if client is not None:
        from distributed import as_completed

        futures = {client.submit(fn, *args, pure=False): i for i, (fn, args, _) in enumerate(calls)}
        try:
            for fut in as_completed(list(futures)):
                yield futures[fut], fut.result()
        except BaseException:
            client.cancel(list(futures))
            raise
        finally:
            futures.clear()  # the cluster may release what they hold
    elif pool is not None:
        yield from pool.run(iter(calls))
    else:
        for i, (fn, args, _) in enumerate(calls):
            yield i, fn(*args)


def _merge_top(best: tuple[np.ndarray, np.ndarray], positions: np.ndarray, scores: np.ndarray,
               k: int) -> tuple[np.ndarray, np.ndarray]:
    """The k best (position, score) of both, best first, equal scores by position."""
    pos = np.concatenate([best[0], positions])
    sc = np.concatenate([best[1], scores])
    if len(pos) > k:
        order = np.lexsort((pos, -sc))[:k]
        pos, sc = pos[order], sc[order]
    return pos, sc


@dataclass
class QueryResult:
    """The merged outcome of one query: its best hits, each candidate's prefilter score and the
    statistics' sums."""

    hits: list[_core.Hit]
    prefilter: dict[int, float]
    total: float
    total_sq: float
    tails: dict[int, float]  # fold level: the hits' chances under the null model


def _prefilter_every_key(db: Database, source: Any, queries: list[np.ndarray], scans: Sequence[_Scan], fold: bool,
                         k_best: int, pool: WorkerPool | None, client: Client | None,
                         best: list[tuple[np.ndarray, np.ndarray]], sums: list[tuple[list[float], list[float]]]) -> None:
    """The first pass slice by slice, every key compared with every query."""
    slices = db.slices
    calls: list[Call] = [(prefilter_slice, (source, k, queries, fold), f"comparing the keys of slice {k} of {db.path}")
                         for k in range(len(slices))]
    for k, (scores, slice_lengths) in run_calls(calls, pool, client):
        positions = np.arange(slices[k].start, slices[k].stop, dtype=np.int64)
        for q, scan in enumerate(scans):
            if scan.fold:
                m1, m2 = fold_null_moments(len(scan.query[0]), slice_lengths)
                sums[q][0].append(m1)
                sums[q][1].append(m2)
        for q in range(len(scans)):
            row = scores[q]
            if len(row) > k_best:
                keep = np.argpartition(-row, k_best - 1)[:k_best]
                best[q] = _merge_top(best[q], positions[keep], row[keep], k_best)
            else:
                best[q] = _merge_top(best[q], positions, row, k_best)


def _prefilter_by_index(db: Database, source: Any, queries: list[np.ndarray], scans: Sequence[_Scan], fold: bool,
                        k_best: int, pool: WorkerPool | None, client: Client | None,
                        best: list[tuple[np.ndarray, np.ndarray]], sums: list[tuple[list[float], list[float]]]) -> None:
    """The first pass through the key index of each run of slices: the batch's queries go in parts
    to the workers, each of which builds the run's index once."""
    workers = 1 if pool is None and client is None else max(2, len(pool.pids) if pool is not None else 2)
    per_call = max(1, -(-len(queries) // (2 * workers)))
    calls: list[Call] = []
    first_query: list[int] = []
    for shard in shards_of(db):
        for lo in range(0, len(queries), per_call):
            calls.append((prefilter_shard, (source, shard, queries[lo:lo + per_call], k_best, fold),
                          f"finding candidates in slices {shard[0]}-{shard[1] - 1} of {db.path}"))
            first_query.append(lo)
    for i, (found, moments) in run_calls(calls, pool, client):
        lo = first_query[i]
        for j, ((pos, score), per_slice) in enumerate(zip(found, moments)):
            q = lo + j
            if scans[q].fold:
                for m1, m2 in per_slice:
                    sums[q][0].append(m1)
                    sums[q][1].append(m2)
            best[q] = _merge_top(best[q], pos, score, k_best)


def search_batch(db: Database, scans: Sequence[_Scan], pool: WorkerPool | None, client: Client | None,
                 on_slice: Callable[[int], None] | None = None, candidates: int | None = None) -> list[QueryResult]:
    """Both passes of a batch of queries through ``db``."""
    source: Any = db if pool is None and client is None else db.reference()
    queries = [s.query[0] for s in scans]
    fold = any(s.fold for s in scans)  # a batch is searched at one level
    k_best = candidate_count(len(db), fold) if candidates is None else min(len(db), candidates)
    empty = (np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.float32))
    best = [empty for _ in scans]
    slices = db.slices
    # Fold level: every entry counts in the statistics by what the null model expects of it, until
    # the candidates' own scores replace it (align_slice).
    # The parts of each sum are added exactly (math.fsum), so the slices may finish in any order.
    sums: list[tuple[list[float], list[float]]] = [([], []) for _ in scans]
    if len(db) >= INDEX_MIN_ENTRIES:
        _prefilter_by_index(db, source, queries, scans, fold, k_best, pool, client, best, sums)
    else:
        _prefilter_every_key(db, source, queries, scans, fold, k_best, pool, client, best, sums)
    # Which slice each query's candidates fall in.
    starts = np.array([r.start for r in slices], dtype=np.int64)
    work: dict[int, list[tuple[int, np.ndarray]]] = {}
    for q, (pos, _) in enumerate(best):
        order = np.sort(pos)
        where = np.searchsorted(starts, order, side="right") - 1
        for k in np.unique(where):
            work.setdefault(int(k), []).append((q, order[where == k]))
    results = [QueryResult([], {int(p): float(s) for p, s in zip(*best[q])}, 0.0, 0.0, {}) for q in range(len(scans))]
    # A slice's queries go in parts of at most QUERIES_PER_CALL, so that the workers finish a batch
    # together instead of one waiting for the other's last slice.
    parts = [(k, work[k][i:i + QUERIES_PER_CALL]) for k in sorted(work)
             for i in range(0, len(work[k]), QUERIES_PER_CALL)]
    calls = [(align_slice, (source, k, [(scans[q], pos) for q, pos in part]),
              f"aligning candidates in slice {k} of {db.path}") for k, part in parts]
    left = {k: 0 for k in work}
    for k, _ in parts:
        left[k] += 1
    for i, per_query in run_calls(calls, pool, client):
        k, part = parts[i]
        for (q, _), got in zip(part, per_query):
            r = results[q]
            sums[q][0].append(got.total)
            sums[q][1].append(got.total_sq)
            r.tails.update(got.tails)
            if got.hits:
                scan = scans[q]
                r.hits = _core.select_hits(r.hits + got.hits, score_cutoff=scan.score_cutoff,
                                           max_hits=scan.max_hits)
        left[k] -= 1
        if on_slice is not None and not left[k]:  # the slice's last part
            on_slice(k)
    for r, (total, total_sq) in zip(results, sums):
        r.total, r.total_sq = math.fsum(total), math.fsum(total_sq)
    return results
