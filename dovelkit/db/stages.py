"""The stages of a search: prefilter, align, merge.

A batch of queries goes through the targets slice by slice, wherever the slices run (here, on
worker processes, on Dask):

1. prefilter (``prefilter_slice``, ``Candidates``): every slice's search keys are read once and
   compared with every query of the batch; each query keeps its best candidates over the whole
   database (``candidate_count``). A database of ``INDEX_MIN_ENTRIES`` or more goes through an index
   of the keys of each run of slices instead (``prefilter_shard``), which finds the same candidates
   without comparing every key. An exhaustive search skips this stage: every target is a
   candidate.
2. align (``align_part``): each part of a slice is read once and each query is aligned exactly
   with its candidates there (all of its rows, or the chosen ones). A part sends back, per query,
   a ``SliceResult``: its best hits, and the sums of the scores and squared scores of every target
   it aligned, from which the statistics over the whole database are made (dovelkit.db.statistics).
3. merge (``Merged``): the hits of all parts are selected by the core (``select_hits``, the
   module's own ranking: the best ``max_hits`` of the whole search are among the best of each
   part) and the sums added exactly (``math.fsum``: parts may finish in any order).

Fold level: every hit carries the chance P that an unrelated chain of its length aligns as well
(dovelkit.db.statistics); the hits are selected and ranked by it, smallest first (equal chances
by position), and its E-value and Z-score both follow from it.

Family level: the Z of a hit is taken among all entries of the database, those not aligned
counting as score 0 (what the scan gives unrelated chains). One rule keeps the module's
definition: an exhaustive family-level search gives the hits exactly as ``dovel.scan_database``
does, Z among the listed hits included (``Scan.sums`` is then off, and the merge keeps the Z the
core's selection gives).
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

import dovel

from dovelkit import _core
from dovelkit.db.statistics import fold_null_log_tail, z_of_tail, z_score
from dovelkit.db.store import Database, DatabaseRef, Entry
from dovelkit.runtime.calls import Call, run_calls

if TYPE_CHECKING:
    from distributed import Client

    from dovelkit.runtime.pools import WorkerPool

# Candidates aligned per query, by level: at least MIN_CANDIDATES, and CANDIDATE_FRACTION of the
# database. Measured on every chain of the bundled entries (benchmarks/bench_prefilter_search.py
# quality, 71 chains, each a query): at the family level every relative the scan aligns ranks
# within the first 8 by prefilter score (10 candidates lose nothing), so 32 leave a fourfold margin
# and 0.3 % keep it on a large database; at the fold level relatives rank lower (40 candidates lose
# 9 of the 246 relatives it finds with E < 1, 50 none), so it aligns at least 50 and 0.5 %.
MIN_CANDIDATES = {"family": 32, "fold": 50}
CANDIDATE_FRACTION = {"family": 0.003, "fold": 0.005}

# Queries of a batch aligned with their candidates of one part in one call, so that the workers
# finish a batch together instead of one waiting for the other's last slice.
QUERIES_PER_CALL = 16


def candidate_count(n_entries: int, fold: bool = False) -> int:
    """How many entries of a database of ``n_entries`` a query aligns, at the family level or
    (``fold``) the fold level."""
    level = "fold" if fold else "family"
    return min(n_entries, max(MIN_CANDIDATES[level], math.ceil(CANDIDATE_FRACTION[level] * n_entries)))


@dataclass(frozen=True)
class Scan:
    """What one query is aligned with, and how; pickled as it is to the workers."""

    query: tuple[np.ndarray, str]
    settings: _core.Settings
    score_cutoff: float
    max_hits: int
    quick: bool
    scan_mode: bool
    pairs: bool  # the hits carry their alignments
    fold: bool = False  # fold level: fold alignments ranked by their chance under the null model
    sums: bool = True  # sum the scores of every target aligned (off: the module's Z, see above)
    prefiltered: bool = False  # only the prefilter's candidates are aligned


@dataclass
class SliceResult:
    """What the align stage sends back for one query and one part of the targets."""

    hits: list[_core.Hit]
    total: float = 0.0  # sum of the scores of the targets aligned
    total_sq: float = 0.0  # ... and of their squares
    tails: dict[int, float] = field(default_factory=dict)  # fold level: ln of each hit's chance, by position
    lengths: dict[int, int] = field(default_factory=dict)  # each hit's target length, by position


# Targets as the core reads them: coordinates (M, 3), offsets (n + 1) and the sequences joined.
Arrays = tuple[np.ndarray, np.ndarray, str]


def target_arrays(coordinates: Sequence[np.ndarray], sequences: Sequence[str]) -> Arrays:
    offsets = np.zeros(len(coordinates) + 1, dtype=np.int64)
    np.cumsum([len(c) for c in coordinates], out=offsets[1:])
    flat = np.concatenate([np.asarray(c, dtype=np.float64).reshape(-1, 3) for c in coordinates]) \
        if coordinates else np.zeros((0, 3))
    return flat, offsets, "".join(sequences)


def entry_arrays(entries: Sequence[Entry]) -> Arrays:
    return target_arrays([e.coordinates for e in entries], [e.sequence for e in entries])


# --------------------------------------------------------------------------------------------
# Reading in a worker

# A worker keeps the database it has opened (the file's footer is read once) ...
_OPEN: dict[Any, Database] = {}
# ... and the last slice it has read (with the database it came from), for the next part of it.
_LAST_SLICE: list[tuple[Database, int, list[Entry]]] = []


def open_source(source: Database | DatabaseRef | Any) -> Database:
    """The caller's open database as is, or in a worker the caller's file, opened once."""
    if isinstance(source, Database):
        return source
    db = _OPEN.get(source)
    if db is None:
        for old in _OPEN.values():
            old.close()
        _OPEN.clear()
        _LAST_SLICE.clear()
        db = _OPEN[source] = Database.from_reference(source) if isinstance(source, DatabaseRef) \
            else Database.open(source)
    return db


def _read_slice(source: Any, db: Database, k: int) -> list[Entry]:
    if isinstance(source, Database):  # in this process: nothing kept once the search is done
        return db.read_slice(k)
    if _LAST_SLICE and _LAST_SLICE[0][0] is db and _LAST_SLICE[0][1] == k:
        return _LAST_SLICE[0][2]
    _LAST_SLICE.clear()
    entries = db.read_slice(k)
    _LAST_SLICE.append((db, k, entries))
    return entries


# --------------------------------------------------------------------------------------------
# 1. Prefilter

_AT_ENTRY = re.compile(r"at entry (\d+)")


def prefilter_slice(source: Any, k: int, queries: Sequence[np.ndarray],
                    fold: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """Prefilter scores (float32, one row per query) of slice ``k`` of a database (open, or its
    reference), and the length of each entry; ``fold``: the fold level's length window (every entry
    compared whole). A damaged key raises ValueError naming its entry."""
    db = open_source(source)
    data, offsets = db.read_keys(k)
    try:
        return _core.prefilter_scores(list(queries), data, offsets, fold=fold), _core.key_lengths(data, offsets)
    except ValueError as exc:
        found = _AT_ENTRY.search(str(exc))
        if found is None:
            raise
        what = str(exc).split(": ", 1)[-1]
        raise db.key_error(db.slices[k].start + int(found.group(1)), f"damaged search key ({what})") from None


# Databases of at least this many entries are prefiltered through an index of their keys
# (``prefilter_shard``); below it every key is compared, which costs less than reading a query's
# word counts off it (benchmarks/bench_key_index.py speed). Both give the same candidates.
INDEX_MIN_ENTRIES = 5000
# Entries of the consecutive slices one index covers at most: a worker holds one such index (about
# 5 bytes per residue) while it serves a batch's queries.
SHARD_ENTRIES = 100_000

# A worker keeps the index it built last, for the next queries of the batch (or of the next one).
_SHARD: dict[Any, Any] = {}


def shards_of(db: Database) -> list[tuple[int, int]]:
    """Runs of consecutive slices (first, end) of at most SHARD_ENTRIES entries each (at least one
    slice each)."""
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


def key_column(db: Database, first: int, end: int) -> tuple[np.ndarray, np.ndarray]:
    """The keys of slices first .. end - 1 as one column: their bytes and int64 offsets from 0."""
    parts = [db.read_keys(k) for k in range(first, end)]
    data = np.concatenate([d for d, _ in parts]) if parts else np.zeros(0, np.uint8)
    offsets = [np.zeros(1, dtype=np.int64)]
    done = 0
    for _, o in parts:
        o = np.asarray(o, dtype=np.int64)
        offsets.append(o[1:] - o[0] + done)
        done += int(o[-1] - o[0])
    return data, np.concatenate(offsets)


def _shard_index(db: Database, shard: tuple[int, int], fold: bool) -> tuple[Any, np.ndarray]:
    """The key index of a run of slices, and its entries' lengths; built once per worker."""
    token = (db.path, db._stat.st_ino, db._stat.st_mtime_ns, shard, fold)
    got = _SHARD.get(token)
    if got is None:
        _SHARD.clear()  # one at a time: a worker's memory is one run's index
        data, column = key_column(db, *shard)
        try:
            index = _core.KeyIndex(data, column, fold=fold)
        except ValueError as exc:
            found = _AT_ENTRY.search(str(exc))
            if found is None:
                raise
            what = str(exc).split(": ", 1)[-1]
            raise db.key_error(db.slices[shard[0]].start + int(found.group(1)),
                               f"damaged search key ({what})") from None
        got = _SHARD[token] = (index, _core.key_lengths(data, column))
    return got


def prefilter_shard(source: Any, shard: tuple[int, int], queries: Sequence[np.ndarray], k: int,
                    fold: bool = False) -> list[tuple[np.ndarray, np.ndarray]]:
    """Each query's k best candidates (positions in the database, float32 prefilter scores) among the
    entries of a run of slices (first, end), found through the index of their keys -- exactly the
    candidates comparing every key gives."""
    db = open_source(source)
    index, _ = _shard_index(db, shard, fold)
    first = db.slices[shard[0]].start
    found, _ = index.search(list(queries), k=k)
    return [(pos + first, score) for pos, score in found]


class Candidates:
    """The best ``k`` entries of one query by prefilter score, over the slices seen so far: best
    first, equal scores by position (the core's ``top_candidates``)."""

    def __init__(self, k: int) -> None:
        self.k = k
        self.positions = np.zeros(0, dtype=np.int64)
        self.scores = np.zeros(0, dtype=np.float32)

    def add(self, positions: np.ndarray, scores: np.ndarray) -> None:
        pos = np.concatenate([self.positions, positions])
        sc = np.concatenate([self.scores, scores])
        order = np.argsort(pos, kind="stable")  # ties go to the lower position
        pos, sc = pos[order], sc[order]
        keep = _core.top_candidates(sc.astype(np.float64), self.k, -math.inf)
        self.positions, self.scores = pos[keep], sc[keep]

    def by_slice(self, starts: np.ndarray) -> dict[int, np.ndarray]:
        """The candidates' positions, in order, by the slice they fall in (``starts``: each
        slice's first position)."""
        order = np.sort(self.positions)
        where = np.searchsorted(starts, order, side="right") - 1
        return {int(k): order[where == k] for k in np.unique(where)}

    def scores_by_position(self) -> dict[int, float]:
        return {int(p): float(s) for p, s in zip(self.positions, self.scores)}


def every_target(targets: Database | Sequence[dovel.Domain], slices: Sequence[range], source: Any,
                  parts: int = 1) -> Iterator[tuple[range, Part]]:
    """The parts of an exhaustive search, with the positions each covers: a database slice in
    ``parts`` parts (each task still reads its whole slice, so memory stays bounded by one slice),
    or a run of list targets sent whole, as arrays."""
    for k, rng in enumerate(slices):
        if not isinstance(targets, Database):
            part = targets[rng.start:rng.stop]
            yield rng, ("list", rng.start, target_arrays([d.coordinates for d in part], [d.sequence for d in part]))
            continue
        step = math.ceil(len(rng) / max(1, parts))
        for lo in range(rng.start, rng.stop, step):
            hi = min(lo + step, rng.stop)
            yield range(lo, hi), ("db", source, k, lo, hi)


def prefilter(db: Database, scans: Sequence[Scan], merged: Sequence[Merged], source: Any,
                 pool: WorkerPool | None, client: Client | None,
                 candidates: int | None) -> tuple[list[Candidates], dict[int, list[tuple[int, np.ndarray]]]]:
    """The prefilter stage: each query's candidates, and by slice the queries with candidates there."""
    fold = any(s.fold for s in scans)  # a batch is searched at one level
    k_best = candidate_count(len(db), fold) if candidates is None else min(len(db), candidates)
    best = [Candidates(k_best) for _ in scans]
    slices = db.slices
    queries = [s.query[0] for s in scans]
    if len(db) >= INDEX_MIN_ENTRIES:
        # Through the index of each run of slices: the batch's queries go in parts to the workers,
        # each of which builds a run's index once.
        workers = 1 if pool is None and client is None else max(2, len(pool.pids) if pool is not None else 2)
        per_call = max(1, -(-len(queries) // (2 * workers)))
        calls: list[Call] = []
        first_query: list[int] = []
        for shard in shards_of(db):
            for lo in range(0, len(queries), per_call):
                calls.append((prefilter_shard, (source, shard, queries[lo:lo + per_call], k_best, fold),
                              f"finding candidates in slices {shard[0]}-{shard[1] - 1} of {db.path}"))
                first_query.append(lo)
        for i, found in run_calls(calls, pool, client):
            for j, (pos, score) in enumerate(found):
                best[first_query[i] + j].add(pos, score)
    else:
        calls = [(prefilter_slice, (source, k, queries, fold), f"comparing the keys of slice {k} of {db.path}")
                 for k in range(len(slices))]
        for k, (scores, _) in run_calls(calls, pool, client):
            positions = np.arange(slices[k].start, slices[k].stop, dtype=np.int64)
            for q in range(len(scans)):
                best[q].add(positions, scores[q])
    starts = np.array([r.start for r in slices], dtype=np.int64)
    work: dict[int, list[tuple[int, np.ndarray]]] = {}
    for q, c in enumerate(best):
        for k, positions in c.by_slice(starts).items():
            work.setdefault(k, []).append((q, positions))
    return best, work


# --------------------------------------------------------------------------------------------
# 2. Align

def align_targets(scan: Scan, first: int, arrays: Arrays, positions: np.ndarray | None = None) -> SliceResult:
    """Align the query of ``scan`` with targets given as arrays, the first at position ``first``
    -- or, with ``positions``, each at its own position."""
    coords, offsets, sequences = arrays
    q_coords, q_sequence = scan.query
    lengths = np.diff(offsets)
    at = {int(p): i for i, p in enumerate(positions)} if positions is not None else None

    def length_of(position: int) -> int:
        return int(lengths[at[position] if at is not None else position - first])

    if not scan.sums:  # the module's scan: the core keeps the best
        best = _core.scan_targets(
            q_coords, q_sequence, coords, offsets, sequences, first, scan.settings, score_cutoff=scan.score_cutoff,
            max_hits=scan.max_hits, quick=scan.quick, scan_mode=scan.scan_mode, pairs=scan.pairs)
        return SliceResult(best, lengths={h.position: length_of(h.position) for h in best})
    # Every target's score counts in the statistics, listed or not.
    n = len(offsets) - 1
    every = _core.scan_targets(q_coords, q_sequence, coords, offsets, sequences, first, scan.settings,
                               score_cutoff=min(0.0, scan.score_cutoff), max_hits=n, quick=scan.quick,
                               scan_mode=scan.scan_mode, pairs=scan.pairs, fold=scan.fold)
    if positions is not None:
        for h in every:
            h.position = int(positions[h.position - first])
    scores = np.array([h.score for h in every], dtype=np.float64)
    total, total_sq = float(scores.sum()), float((scores * scores).sum())
    tails: dict[int, float] = {}
    if scan.fold:  # every hit past the cutoff, ranked by its chance
        kept = _core.select_hits(every, score_cutoff=scan.score_cutoff, max_hits=n) if every else []
        n_query = len(q_coords)
        for h in kept:
            tails[h.position] = fold_null_log_tail(h.score, n_query, length_of(h.position))
        best = by_chance(kept, tails, scan.max_hits)
        tails = {h.position: tails[h.position] for h in best}
    else:
        best = _core.select_hits(every, score_cutoff=scan.score_cutoff, max_hits=scan.max_hits) if every else []
    return SliceResult(best, total, total_sq, tails, {h.position: length_of(h.position) for h in best})


def by_chance(hits: Sequence[_core.Hit], tails: dict[int, float], max_hits: int) -> list[_core.Hit]:
    """The ``max_hits`` fold-level hits least likely by chance (``tails``: ln P by position), equal
    chances in position order."""
    return sorted(hits, key=lambda h: (tails[h.position], h.position))[:max_hits]


# A part of the targets: ("db", open Database or its reference, slice index, first position, end
# position) or ("list", first position, arrays).
Part = tuple[Any, ...]


def align_part(part: Part, work: Sequence[tuple[Scan, np.ndarray | None]]) -> list[SliceResult]:
    """Align each query of ``work`` with its candidates in ``part``: every target of the part
    (positions None), or the given positions (in the part's slice)."""
    if part[0] == "list":
        return [align_targets(scan, part[1], part[2]) for scan, _ in work]
    _, source, k, lo, hi = part
    db = open_source(source)
    first = db.slices[k].start
    if all(positions is None for _, positions in work):
        arrays = entry_arrays(_read_slice(source, db, k)[lo - first:hi - first])
        return [align_targets(scan, lo, arrays) for scan, _ in work]
    # Only the candidates' rows are decoded: a slice holds a few of a query's candidates among
    # its thousand entries.
    rows = sorted({int(p) - first for _, positions in work if positions is not None for p in positions})
    entries = dict(zip(rows, db.read_slice(k, rows)))
    out = []
    for scan, positions in work:
        assert positions is not None
        chosen = entry_arrays([entries[int(p) - first] for p in positions])
        out.append(align_targets(scan, 0, chosen, positions))
    return out


# --------------------------------------------------------------------------------------------
# 3. Merge

class Merged:
    """The merged outcome of one query: its best hits and the statistics' sums, as parts come in."""

    def __init__(self, scan: Scan) -> None:
        self.scan = scan
        self.hits: list[_core.Hit] = []
        self._totals: list[float] = []
        self._squares: list[float] = []
        self.tails: dict[int, float] = {}
        self.lengths: dict[int, int] = {}

    def count(self, total: float, total_sq: float) -> None:
        """Add to the sums (a part's scores)."""
        self._totals.append(total)
        self._squares.append(total_sq)

    def add(self, got: SliceResult) -> None:
        self.tails.update(got.tails)
        self.lengths.update(got.lengths)
        if got.hits and self.scan.fold:
            self.hits = by_chance(self.hits + got.hits, self.tails, self.scan.max_hits)
        elif got.hits:
            self.hits = _core.select_hits(self.hits + got.hits, score_cutoff=self.scan.score_cutoff,
                                          max_hits=self.scan.max_hits)
        self.count(got.total, got.total_sq)

    def z_score(self, position: int, score: float, n_entries: int, module_z: float | None) -> float | None:
        """The Z-score of the hit at ``position`` of this score (see the module's docstring)."""
        if self.scan.fold:
            return z_of_tail(self.tails[position])
        if not self.scan.sums:
            return module_z
        return z_score(score, n_entries, math.fsum(self._totals), math.fsum(self._squares))

    def e_value(self, position: int, n_entries: int) -> float:
        """Fold level: the E-value of the hit at ``position`` among ``n_entries``."""
        return n_entries * math.exp(self.tails[position])
