"""Searching queries against a database on every core, or on a Dask cluster.

A database with search keys is searched in two passes by default (dovelkit.prefiltered): the
keys of every entry are compared with the query's and only the best candidates are aligned.
``exhaustive=True`` -- and a database without keys, or a list of domains -- aligns every target:

The targets are cut into slices (the row groups of a database, or runs of a list). Each slice is
scanned by the core where it is read -- in this process, in a worker process or on a Dask worker
-- straight from its arrays, and its best hits come back with the alignment behind each. Because
the core treats every target on its own and ranks them by a stable sort, the best ``max_hits`` of
the whole search are among the best ``max_hits`` of each slice; the core's own selection, run on
the hits of all slices in target order, gives exactly the list ``dovel.scan_database`` returns
for all targets at once.
"""

from __future__ import annotations

import math
import os
from bisect import bisect_right
from collections.abc import Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

import dovel

from dovelkit import _core
from dovelkit.database import Database, DatabaseRef, Entry, open_targets
from dovelkit.formatting import json_number
from dovelkit.pairwise import PairwiseAlignment, check_mode, from_core, settings_of
from dovelkit.paths import PathLike
from dovelkit.pools import WorkerPool, check_workers, default_workers
from dovelkit.prefiltered import run_calls, search_batch
from dovelkit.statistics import e_value, fold_null_tail, z_score

if TYPE_CHECKING:
    from distributed import Client

# Entries per slice when the targets are a list.
_LIST_SLICE = 1000
# The smallest part of a slice that the process pool hands out as one task.
_MIN_PART = 50

@dataclass
class SliceResult:
    """What the scan of a slice sends back: its best hits and, at the fold level, the sums of the
    scores of all its targets and each hit's chance under the null model (dovelkit.statistics)."""

    hits: list[_core.Hit]
    total: float = 0.0
    total_sq: float = 0.0
    tails: dict[int, float] = field(default_factory=dict)


# How many targets a slice held, and what its scan sent back.
_Runs = Generator[tuple[int, SliceResult], None, None]

# Targets as the core reads them: coordinates (M, 3), offsets (n + 1) and the sequences joined.
_Arrays = tuple[np.ndarray, np.ndarray, str]


@dataclass
class Hit:
    """One hit of a search: the fields of ``dovel.ScanHit``, where the target came from and, with
    ``details``, the alignment behind the hit. ``rmsd`` is +infinity when nothing is aligned."""

    rank: int
    id: str
    score: float
    rmsd: float
    n_aligned: int
    seq_identity: float
    z_score: float | None
    position: int  # index of the target in the database or list
    source: str  # source path ("" when unknown)
    chain: str  # chain id ("" when unknown)
    alignment: PairwiseAlignment | None = None  # with details=True
    # The prefilter's score of the target (None in an exhaustive search).
    prefilter_score: float | None = None
    # Expected number of chance hits at least this good in a database of this size.
    e_value: float | None = None
    tm_query: float = 0.0  # TM-score of the hit's alignment normalised by the query's length
    tm_target: float = 0.0  # ... and by the target's

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready fields (with the alignment's summary when there is one)."""
        out: dict[str, Any] = {
            "rank": self.rank, "id": self.id, "score": json_number(self.score),
            "rmsd": json_number(self.rmsd), "n_aligned": self.n_aligned,
            "seq_identity": json_number(self.seq_identity), "z_score": json_number(self.z_score),
            "tm_query": json_number(self.tm_query), "tm_target": json_number(self.tm_target),
            "position": self.position, "source": self.source, "chain": self.chain,
            "prefilter_score": json_number(self.prefilter_score), "e_value": json_number(self.e_value),
        }
        if self.alignment is not None:
            out["alignment"] = self.alignment.to_dict()
        return out


class SearchHits(list):  # type: ignore[type-arg]
    """The hits of one search (a list of ``Hit``, best first) and how many targets it aligned:
    ``aligned`` of the ``entries`` searched. A prefiltered search aligns only the candidates its
    keys chose (``prefiltered`` is then true); an exhaustive one aligns every target."""

    def __init__(self, hits: Iterable[Hit] = (), aligned: int = 0, entries: int = 0) -> None:
        super().__init__(hits)
        self.aligned = aligned
        self.entries = entries

    @property
    def prefiltered(self) -> bool:
        return self.aligned < self.entries


# --------------------------------------------------------------------------------------------
# What a slice scans


def _arrays(coordinates: Sequence[np.ndarray], sequences: Sequence[str]) -> _Arrays:
    offsets = np.zeros(len(coordinates) + 1, dtype=np.int64)
    np.cumsum([len(c) for c in coordinates], out=offsets[1:])
    flat = np.concatenate([np.asarray(c, dtype=np.float64).reshape(-1, 3) for c in coordinates]) \
        if coordinates else np.zeros((0, 3))
    return flat, offsets, "".join(sequences)


def _domain_arrays(domains: Sequence[dovel.Domain]) -> _Arrays:
    return _arrays([d.coordinates for d in domains], [d.sequence for d in domains])


def _entry_arrays(entries: Sequence[Entry]) -> _Arrays:
    return _arrays([e.coordinates for e in entries], [e.sequence for e in entries])


# A worker keeps the database it has opened (the file's footer is read once).
_OPEN: dict[Any, Database] = {}


def _open_cached(ref: Any) -> Database:
    db = _OPEN.get(ref)
    if db is None:
        for old in _OPEN.values():
            old.close()
        _OPEN.clear()
        db = _OPEN[ref] = Database.from_reference(ref) if isinstance(ref, DatabaseRef) else Database.open(ref)
    return db


# ... and the last slice it has read (with the database it came from), for the next part of it.
_LAST_SLICE: list[tuple[Database, int, list[Entry]]] = []


def _read_slice_cached(db: Database, k: int) -> list[Entry]:
    if _LAST_SLICE and _LAST_SLICE[0][0] is db and _LAST_SLICE[0][1] == k:
        return _LAST_SLICE[0][2]
    _LAST_SLICE.clear()
    entries = db.read_slice(k)
    _LAST_SLICE.append((db, k, entries))
    return entries


# The ids, sources and chains of the slices last asked for, by database.
_LABELS: dict[tuple[int, int, int, int], tuple[list[str], list[str], list[str]]] = {}


def _label(db: Database, position: int) -> tuple[str, str, str]:
    k = bisect_right(db._starts, position) - 1
    key = (id(db), db._stat.st_ino, db._stat.st_mtime_ns, k)
    got = _LABELS.get(key)
    if got is None:
        if len(_LABELS) >= 64:
            _LABELS.clear()
        got = _LABELS[key] = db.labels(k)
    row = position - db._starts[k]
    return got[0][row], got[1][row], got[2][row]


@dataclass(frozen=True)
class _Scan:
    """What every slice of one search is scanned with; pickled as it is to the workers."""

    query: tuple[np.ndarray, str]
    settings: _core.Settings
    score_cutoff: float
    max_hits: int
    quick: bool
    scan_mode: bool
    pairs: bool
    fold: bool = False  # fold mode: fold alignments ranked by TM-score normalised by the query

    def run(self, first: int, arrays: _Arrays) -> SliceResult:
        coords, offsets, sequences = arrays
        if not self.fold:
            return SliceResult(_core.scan_targets(
                self.query[0], self.query[1], coords, offsets, sequences, first, self.settings,
                score_cutoff=self.score_cutoff, max_hits=self.max_hits, quick=self.quick, scan_mode=self.scan_mode,
                pairs=self.pairs))
        # Every target's TM-score counts in the statistics, listed or not.
        n = len(offsets) - 1
        every = _core.scan_targets(self.query[0], self.query[1], coords, offsets, sequences, first, self.settings,
                                   score_cutoff=min(0.0, self.score_cutoff), max_hits=n, quick=self.quick,
                                   scan_mode=self.scan_mode, pairs=self.pairs, fold=True)
        scores = np.array([h.score for h in every], dtype=np.float64)
        best = _core.select_hits(every, score_cutoff=self.score_cutoff, max_hits=self.max_hits) if every else []
        tails = fold_tails(self, best, lambda p: int(offsets[p - first + 1] - offsets[p - first]))
        return SliceResult(best, float(scores.sum()), float((scores * scores).sum()), tails)


def fold_tails(scan: _Scan, hits: Sequence[_core.Hit], target_length: Any) -> dict[int, float]:
    """Each fold-level hit's chance under the null model, by position (``target_length`` gives
    the length of the target at a position)."""
    n = len(scan.query[0])
    return {h.position: fold_null_tail(h.score, n, target_length(h.position)) for h in hits}


def scan_slice(source: tuple[Any, ...], scan: _Scan) -> SliceResult:
    """Scan one slice; return its best hits, each named by its target's position (SliceResult).

    ``source`` is ("db", open Database or its reference, slice index[, first position, end
    position]) for a slice of a database or a part of one, or ("list", first position, arrays) for
    targets at hand.
    """
    if source[0] == "list":
        return scan.run(source[1], source[2])
    k = source[2]
    if isinstance(source[1], Database):  # in this process: the caller's open database
        db = source[1]
        entries = db.read_slice(k)
    else:  # in a worker: the caller's file, opened once
        db = _open_cached(source[1])
        entries = _read_slice_cached(db, k)
    first = db.slices[k].start
    lo, hi = (first, db.slices[k].stop) if len(source) == 3 else (source[3], source[4])
    return scan.run(lo, _entry_arrays(entries[lo - first:hi - first]))


# --------------------------------------------------------------------------------------------
# Running the slices


def _slices_of(targets: Database | Sequence[dovel.Domain], workers: int) -> list[range]:
    if isinstance(targets, Database):
        return targets.slices
    n = len(targets)
    size = max(1, min(_LIST_SLICE, math.ceil(n / max(1, 4 * workers))))
    return [range(lo, min(lo + size, n)) for lo in range(0, n, size)]


def _run_here(targets: Database | Sequence[dovel.Domain], slices: Sequence[range], scan: _Scan) -> _Runs:
    for k, rng in enumerate(slices):
        if isinstance(targets, Database):
            got = scan_slice(("db", targets, k), scan)
        else:
            got = scan.run(rng.start, _domain_arrays(targets[rng.start:rng.stop]))
        yield len(rng), got


def _sources(targets: Database | Sequence[dovel.Domain], slices: Sequence[range],
             parts: int = 1) -> Iterator[tuple[range, tuple[Any, ...]]]:
    """What each task scans, with the positions it covers: a database slice in ``parts`` parts
    (each task still reads its whole slice, so memory stays bounded by one slice), or a run of
    list targets sent whole, as arrays."""
    for k, rng in enumerate(slices):
        if isinstance(targets, Database):
            path = targets.reference()
            if parts <= 1:
                yield rng, ("db", path, k)
                continue
            step = math.ceil(len(rng) / parts)
            for lo in range(rng.start, rng.stop, step):
                hi = min(lo + step, rng.stop)
                yield range(lo, hi), ("db", path, k, lo, hi)
        else:
            yield rng, ("list", rng.start, _domain_arrays(targets[rng.start:rng.stop]))


def _parts_per_slice(n_slices: int, workers: int) -> int:
    """Enough tasks that no worker waits long for the last one: about eight per worker, in parts
    of at least _MIN_PART targets."""
    return max(1, min(math.ceil(8 * workers / max(1, n_slices)), _LIST_SLICE // _MIN_PART))


def _run_pool(targets: Database | Sequence[dovel.Domain], slices: Sequence[range], scan: _Scan,
              workers: int) -> _Runs:
    sizes: list[int] = []
    where = targets.path if isinstance(targets, Database) else "the target list"

    def calls() -> Iterator[tuple[Any, tuple[Any, ...], str]]:
        for rng, src in _sources(targets, slices, _parts_per_slice(len(slices), workers)):
            sizes.append(len(rng))
            yield scan_slice, (src, scan), f"scanning targets {rng.start} to {rng.stop - 1} of {where}"

    with WorkerPool(workers) as pool:
        for i, hits in pool.run(calls()):
            yield sizes[i], hits


def _run_dask(targets: Database | Sequence[dovel.Domain], slices: Sequence[range], scan: _Scan,
              client: Client) -> _Runs:
    sources = list(_sources(targets, slices))
    calls = [(scan_slice, (src, scan), f"scanning targets {rng.start} to {rng.stop - 1}") for rng, src in sources]
    for i, got in run_calls(calls, None, client):
        yield len(sources[i][0]), got


def search(
    query: dovel.Domain,
    targets: Database | PathLike | Sequence[dovel.Domain],
    params: dovel.Parameters | None = None,
    score_cutoff: float = 0.0,
    max_hits: int = 100,
    quick: bool = False,
    scan_mode: bool = True,
    workers: int | None = None,
    client: Client | None = None,
    progress: bool = False,
    details: bool = False,
    exhaustive: bool = False,
    candidates: int | None = None,
    mode: str = "family",
) -> SearchHits:
    """Search ``query`` against ``targets``: a ``Database``, the path of one, or a list of domains.

    A database with search keys is prefiltered: every entry's key is compared with the query's
    and only the best ``candidates`` (default: ``prefiltered.candidate_count(len(db), fold)``: at
    the family level at least 32 and 0.3 % of the database, at the fold level at least 50 and
    0.5 %) are aligned; the list returned (a ``SearchHits``) tells how many: ``aligned`` of
    ``entries``, ``prefiltered`` when not all were. Each hit then carries its
    ``prefilter_score``, and its ``z_score`` is taken among all entries of the database (those not
    aligned counting as what the null model expects of them: score 0 at the family level, the mean
    TM-score of unrelated chains of their length at the fold level), so it does not depend on
    ``max_hits``. ``e_value`` is the expected number of chance hits this good in a database of this
    size (dovelkit.statistics), at either level; every hit is returned, whatever its E-value.

    With ``exhaustive=True`` -- and always for a database without keys (see ``Database.index``) or
    a list of domains -- every target is aligned, as follows:

    The hits are those ``dovel.scan_database(query, all_targets, params, score_cutoff, max_hits,
    quick, scan_mode)`` returns -- same order, rank, score, rmsd, n_aligned, seq_identity and
    Z-score -- with the target's position, source path and chain id added. ``workers=None`` scans
    on every core through worker processes, ``workers=1`` in this process; ``client`` (a
    ``dask.distributed.Client``) sends one task per slice to a cluster, whose workers must be able
    to read the database at the same path (``workers`` is then not used). ``progress`` shows a
    bar on stderr. With ``details`` every hit carries ``alignment``: the alignment the scan ranked
    it by, as a ``PairwiseAlignment`` of the query (fixed) and the target (mobile) whose score,
    RMSD, identity and pair count are the hit's own. A hit with nothing aligned has RMSD +infinity.

    Every hit carries ``tm_query`` and ``tm_target``, the TM-scores of its alignment normalised by
    the query's length and by the target's. With ``mode="fold"`` every target is aligned at the fold
    level (as ``dovelkit.align(query, target, mode="fold")`` aligns it; ``params``, ``quick`` and
    ``scan_mode`` are not used) and the hits are ranked by ``tm_query``, which is their ``score``
    (``score_cutoff`` applies to it); rank follows from it as in the module's scan, and the Z-score
    is taken among all targets, listed or not.

    Worker processes start a fresh interpreter, so a script that searches with ``workers`` other
    than 1 needs the usual ``if __name__ == "__main__":`` guard. Errors: those of
    ``dovel.scan_database`` for its arguments (TypeError, OverflowError) and for a failing
    alignment (ValueError "Scan failed: ..."); ValueError for ``workers`` below 1.
    """
    db_or_list = open_targets(targets)
    if not isinstance(db_or_list, Database):
        if isinstance(db_or_list, (bytes, dovel.Domain)) or not isinstance(db_or_list, Sequence):
            raise TypeError(
                "targets must be a dovelkit.Database, the path of one, or a list of dovel.Domain objects"
            )
        for i, d in enumerate(db_or_list):
            if not isinstance(d, dovel.Domain):
                raise TypeError(f"targets[{i}] is a {type(d).__name__}, not a dovel.Domain")
    # The module checks the other arguments, with its own errors, before anything runs.
    dovel.scan_database(query, [], params, score_cutoff, max_hits, quick, scan_mode)
    fold = check_mode(mode) == "fold"
    cutoff = float(score_cutoff)
    max_hits = int(max_hits)
    quick, scan_mode = bool(quick), bool(scan_mode)
    n_workers = default_workers() if workers is None else check_workers(workers)
    total = len(db_or_list)
    if total == 0 or max_hits == 0:
        return SearchHits([], 0, total)
    if isinstance(db_or_list, Database) and db_or_list.has_keys and not exhaustive:
        return next(iter(_search_prefiltered([query], db_or_list, params, cutoff, max_hits, quick, scan_mode,
                                             n_workers, client, progress, details, candidates, fold=fold)))[1]

    slices = _slices_of(db_or_list, n_workers)
    scan = _Scan((np.ascontiguousarray(query.coordinates), query.sequence), settings_of(params), cutoff, max_hits,
                 quick, scan_mode, details, fold)
    from dovelkit.progress import progress_bar

    bar = progress_bar(total, unit="target", desc="searching", enabled=progress)
    best: list[_core.Hit] = []
    sums: tuple[list[float], list[float]] = ([], [])  # added exactly: slices finish in any order
    tails: dict[int, float] = {}
    runs: _Runs | None = None
    try:
        if client is not None:
            runs = _run_dask(db_or_list, slices, scan, client)
        elif min(n_workers, len(slices)) <= 1:
            runs = _run_here(db_or_list, slices, scan)
        else:
            runs = _run_pool(db_or_list, slices, scan, min(n_workers, len(slices)))
        for size, got in runs:
            if got.hits:
                best = _core.select_hits(best + got.hits, score_cutoff=cutoff, max_hits=max_hits)
            sums[0].append(got.total)
            sums[1].append(got.total_sq)
            tails.update(got.tails)
            bar.update(size)
    finally:
        if runs is not None:
            runs.close()  # stops the worker processes now if the search ends early (error, Ctrl-C)
        bar.close()
    how = "fold" if fold else "scan" if scan_mode else "quick" if quick else "direct"
    out = _hits(query, db_or_list, best, how if details else None)
    for hit in out:
        if fold:  # every target was aligned: Z among all of them, not only those listed
            hit.z_score = z_score(hit.score, total, math.fsum(sums[0]), math.fsum(sums[1]))
            hit.e_value = total * tails[hit.position]
        else:
            hit.e_value = e_value(hit.score, total)
    return SearchHits(out, total, total)


def _search_prefiltered(queries: Sequence[dovel.Domain], db: Database, params: dovel.Parameters | None,
                        cutoff: float, max_hits: int, quick: bool, scan_mode: bool, n_workers: int,
                        client: Client | None, progress: bool, details: bool, candidates: int | None,
                        batch: int = 1, fold: bool = False) -> Iterator[tuple[int, SearchHits]]:
    """(index of the query, its hits) for each query, batch by batch."""
    from dovelkit.progress import progress_bar

    settings = settings_of(params)
    how = "fold" if fold else "scan" if scan_mode else "quick" if quick else "direct"
    total = len(db)
    single = len(queries) == 1
    bar = progress_bar(db.n_slices if single else len(queries), unit="slice" if single else "query",
                       desc="searching", enabled=progress)
    pool = None
    try:
        workers = min(n_workers, db.n_slices)
        if client is None and workers > 1:
            pool = WorkerPool(workers)
        for lo in range(0, len(queries), batch):
            chunk = queries[lo:lo + batch]
            scans = [_Scan((np.ascontiguousarray(q.coordinates), q.sequence), settings, cutoff, max_hits, quick,
                           scan_mode, details, fold) for q in chunk]
            results = search_batch(db, scans, pool, client, (lambda _k: bar.update(1)) if single else None,
                                   candidates)
            for i, (q, r) in enumerate(zip(chunk, results)):
                out = _hits(q, db, r.hits, how if details else None)
                for hit in out:
                    hit.prefilter_score = r.prefilter.get(hit.position)
                    hit.z_score = z_score(hit.score, total, r.total, r.total_sq)
                    hit.e_value = total * r.tails[hit.position] if fold else e_value(hit.score, total)
                if not single:
                    bar.update(1)
                yield lo + i, SearchHits(out, len(r.prefilter), total)
        if pool is not None:
            pool.close()
            pool = None
    finally:
        if pool is not None:
            pool.stop()
        bar.close()


def search_many(
    queries: Database | PathLike | Sequence[dovel.Domain],
    targets: Database | PathLike,
    params: dovel.Parameters | None = None,
    score_cutoff: float = 0.0,
    max_hits: int = 100,
    quick: bool = False,
    scan_mode: bool = True,
    workers: int | None = None,
    client: Client | None = None,
    progress: bool = False,
    exhaustive: bool = False,
    candidates: int | None = None,
    batch: int = 256,
    mode: str = "family",
) -> Iterator[tuple[dovel.Domain, SearchHits]]:
    """Search every query against the database ``targets``; yields (query, its hits) query by query,
    in the queries' order, as each is done.

    ``queries`` is a list of domains, a ``Database`` or the path of one (the same database as
    ``targets`` makes an all-against-all). The hits of each query are those ``search`` returns
    for it (``mode`` as there). Queries go through the database ``batch`` at a time: each slice's keys and entries
    are read once per batch. A database without keys, or ``exhaustive``, searches each query
    through every target with ``search``.
    """
    db = open_targets(targets)
    if not isinstance(db, Database):
        raise TypeError("targets must be a dovelkit.Database or the path of one")
    if isinstance(batch, bool) or not isinstance(batch, int) or batch < 1:
        raise ValueError(f"batch must be a positive int, not {batch!r}")
    source = queries
    if isinstance(source, (str, os.PathLike)):
        source = Database.open(source)
    dovel.scan_database(dovel.Domain.from_arrays("q", np.zeros((1, 3)), "A"), [], params, score_cutoff, max_hits,
                        quick, scan_mode)
    n_workers = default_workers() if workers is None else check_workers(workers)
    fold = check_mode(mode) == "fold"

    def batches() -> Iterator[list[dovel.Domain]]:
        if isinstance(source, Database):
            chunk: list[dovel.Domain] = []
            for part in source.iter_slices():
                for d in part:
                    chunk.append(d)
                    if len(chunk) == batch:
                        yield chunk
                        chunk = []
            if chunk:
                yield chunk
        else:
            items = list(source)
            for i, d in enumerate(items):
                if not isinstance(d, dovel.Domain):
                    raise TypeError(f"queries[{i}] is a {type(d).__name__}, not a dovel.Domain")
            for lo in range(0, len(items), batch):
                yield items[lo:lo + batch]

    for chunk in batches():
        if exhaustive or not db.has_keys or len(db) == 0 or int(max_hits) == 0:
            for q in chunk:
                yield q, search(q, db, params, score_cutoff, max_hits, quick, scan_mode, n_workers, client,
                                False, exhaustive=True, mode=mode)
            continue
        for i, hits in _search_prefiltered(chunk, db, params, float(score_cutoff), int(max_hits), bool(quick),
                                           bool(scan_mode), n_workers, client, progress, False, candidates,
                                           batch=len(chunk), fold=fold):
            yield chunk[i], hits


def _hits(query: dovel.Domain, targets: Database | Sequence[dovel.Domain], ranked: list[_core.Hit],
          mode: str | None) -> list[Hit]:
    """The search's hits with where each came from; with ``mode`` (details) each carries its own
    alignment, the one the scan ranked it by."""
    out = []
    for h in ranked:
        rmsd = h.rmsd if h.n_aligned else math.inf
        out.append(Hit(h.rank, "", h.score, rmsd, h.n_aligned, h.seq_identity, h.z_score, h.position, "", "",
                       tm_query=h.tm_query, tm_target=h.tm_target))
    # Where each hit came from, read in position order (one slice at a time).
    for hit, h in sorted(zip(out, ranked), key=lambda x: x[0].position):
        if isinstance(targets, Database) and mode is None:
            hit.id, hit.source, hit.chain = _label(targets, hit.position)
            domain = None
        elif isinstance(targets, Database):
            e = targets.entry(hit.position)
            hit.id, hit.source, hit.chain = e.id, e.source, e.chain
            domain = e.domain() if mode is not None else None
        else:
            domain = targets[hit.position]
            hit.id, hit.source, hit.chain = domain.id, domain.pdb_file, domain.chain
        if mode is not None and domain is not None:
            hit.alignment = from_core(query, domain, h.transform, h.pairs, h.distances, h.core_pairs, hit.rmsd,
                                      h.score, h.seq_identity, mode, h.tm_query, h.tm_target)
    return out
