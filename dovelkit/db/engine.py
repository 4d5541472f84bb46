"""Searching queries against a database, or a list of domains, on every core or on a Dask cluster.

One engine runs every search through the stages of dovelkit.db.stages: a database with search
keys is prefiltered, and each query aligned with its best candidates; an exhaustive search --
``exhaustive=True``, a database without keys, or a list of domains -- makes every target a
candidate and goes through the same align and merge stages.

The targets are cut into parts (the row groups of a database, smaller parts of them for the
process pool, or runs of a list). Each part is aligned where it is read -- in this process, in a
worker process or on a Dask worker -- straight from its arrays, and its best hits come back with
the alignment behind each. Because the core treats every target on its own and ranks them by a
stable sort, the best ``max_hits`` of the whole search are among the best ``max_hits`` of each
part; the core's own selection, run on the hits of all parts, gives exactly the list
``dovel.scan_database`` returns for all targets at once.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

import dovel

from dovelkit import _core
from dovelkit.alignment.options import Options, options_of
from dovelkit.alignment.pairwise import PairwiseAlignment, from_core
from dovelkit.alignment.view import json_number
from dovelkit.db.stages import QUERIES_PER_CALL, Candidates, Merged, Part, Scan, align_part, every_target
from dovelkit.db.stages import prefilter as stage_prefilter
from dovelkit.db.statistics import e_value
from dovelkit.db.store import Database, DatabaseRef, open_targets
from dovelkit.io.paths import PathLike
from dovelkit.runtime.calls import Call, run_calls
from dovelkit.runtime.pools import WorkerPool, check_workers, default_workers, preload

if TYPE_CHECKING:
    from distributed import Client

# Worker processes start with the stages, whose functions the search sends them.
preload("dovelkit.db.stages")

# The ids, sources and chains of the slices last asked for, by database and slice.
_LABELS: dict[tuple[DatabaseRef, int], tuple[list[str], list[str], list[str]]] = {}


def _label(db: Database, position: int) -> tuple[str, str, str]:
    k, row = db.locate(position)
    key = (db.reference(), k)
    got = _LABELS.get(key)
    if got is None:
        if len(_LABELS) >= 64:
            _LABELS.clear()
        got = _LABELS[key] = db.labels(k)
    return got[0][row], got[1][row], got[2][row]


# Entries per part when the targets are a list.
_LIST_SLICE = 1000
# The smallest part of a slice that the process pool hands out as one task.
_MIN_PART = 50


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



def _slices_of(targets: Database | Sequence[dovel.Domain], workers: int) -> list[range]:
    if isinstance(targets, Database):
        return targets.slices
    n = len(targets)
    size = max(1, min(_LIST_SLICE, math.ceil(n / max(1, 4 * workers))))
    return [range(lo, min(lo + size, n)) for lo in range(0, n, size)]


def _parts_per_slice(n_slices: int, workers: int) -> int:
    """Enough tasks that no worker waits long for the last one: about eight per worker, in parts
    of at least _MIN_PART targets."""
    return max(1, min(math.ceil(8 * workers / max(1, n_slices)), _LIST_SLICE // _MIN_PART))


def _run(queries: Sequence[dovel.Domain], targets: Database | Sequence[dovel.Domain], scans: Sequence[Scan],
         exhaustive: bool, n_workers: int, client: Client | None, progress: bool, candidates: int | None,
         batch: int, details: Options | None) -> Iterator[tuple[int, SearchHits]]:
    """(index of the query, its hits) for each query, batch by batch, through the three stages."""
    from dovelkit.runtime.progress import progress_bar

    total = len(targets)
    single = len(queries) == 1
    slices = _slices_of(targets, n_workers)
    keyed = not exhaustive and isinstance(targets, Database) and targets.has_keys
    if not single:
        bar = progress_bar(len(queries), unit="query", desc="searching", enabled=progress)
    elif keyed:
        bar = progress_bar(len(slices), unit="slice", desc="searching", enabled=progress)
    else:
        bar = progress_bar(total, unit="target", desc="searching", enabled=progress)
    workers = min(n_workers, len(slices))
    pool = WorkerPool(workers) if client is None and workers > 1 else None
    local = pool is None and client is None
    source: Any = targets if local or not isinstance(targets, Database) else targets.reference()
    where = targets.path if isinstance(targets, Database) else "the target list"
    try:
        for lo in range(0, len(queries), batch):
            chunk = range(lo, min(lo + batch, len(queries)))
            batch_scans = [scans[i] for i in chunk]
            merged = [Merged(s) for s in batch_scans]
            prefilter: list[Candidates] | None = None
            # What each call aligns: (positions it covers, part, [(query in the batch, positions)]).
            tasks: list[tuple[range, Part, list[tuple[int, np.ndarray | None]]]] = []
            if keyed:
                assert isinstance(targets, Database)
                prefilter, work = stage_prefilter(targets, batch_scans, merged, source, pool, client, candidates)
                for k in sorted(work):
                    rng = slices[k]
                    for i in range(0, len(work[k]), QUERIES_PER_CALL):
                        items: list[tuple[int, np.ndarray | None]] = list(work[k][i:i + QUERIES_PER_CALL])
                        tasks.append((rng, ("db", source, k, rng.start, rng.stop), items))
            else:
                parts = _parts_per_slice(len(slices), workers) if pool is not None else 1
                everyone: list[tuple[int, np.ndarray | None]] = [(q, None) for q in range(len(batch_scans))]
                for rng, part in every_target(targets, slices, source, parts):
                    for i in range(0, len(everyone), QUERIES_PER_CALL):
                        tasks.append((rng, part, everyone[i:i + QUERIES_PER_CALL]))
            verb = "aligning candidates in slice" if keyed else "scanning targets"
            calls: Iterator[Call] = (
                (align_part, (part, [(batch_scans[q], pos) for q, pos in items]),
                 f"{verb} {part[2]} of {where}" if keyed else f"{verb} {rng.start} to {rng.stop - 1} of {where}")
                for rng, part, items in tasks)
            left: dict[int, int] = {}
            for rng, _, _ in tasks:
                left[rng.start] = left.get(rng.start, 0) + 1
            for i, per_query in run_calls(calls, pool, client):
                rng, _, items = tasks[i]
                for (q, _), got in zip(items, per_query):
                    merged[q].add(got)
                left[rng.start] -= 1
                if single and not keyed:
                    bar.update(len(rng))
                elif single and not left[rng.start]:  # the slice's last part
                    bar.update(1)
            for q, m in zip(chunk, merged):
                out = _hits(queries[q], targets, m.hits, details)
                scores = prefilter[q - lo].scores_by_position() if prefilter is not None else {}
                for hit in out:
                    hit.prefilter_score = scores.get(hit.position)
                    hit.z_score = m.z_score(hit.score, total, hit.z_score)
                    hit.e_value = total * m.tails[hit.position] if m.scan.fold else e_value(hit.score, total)
                if not single:
                    bar.update(1)
                aligned = len(prefilter[q - lo].positions) if prefilter is not None else total
                yield q, SearchHits(out, aligned, total)
        if pool is not None:
            pool.close()
            pool = None
    finally:
        if pool is not None:
            pool.stop()  # stops the worker processes now if the search ends early (error, Ctrl-C)
        bar.close()


def _scans(queries: Sequence[dovel.Domain], how: Options, cutoff: float, max_hits: int, details: bool,
           prefiltered: bool) -> list[Scan]:
    """What each query is aligned with. An exhaustive family-level search keeps the module's Z."""
    settings = how.settings()
    return [Scan((np.ascontiguousarray(q.coordinates), q.sequence), settings, cutoff, max_hits, how.quick,
                 how.scan_mode, details, how.fold, sums=how.fold or prefiltered, prefiltered=prefiltered)
            for q in queries]


def search(
    query: dovel.Domain,
    targets: Database | PathLike | Sequence[dovel.Domain],
    params: dovel.Parameters | None = None,
    score_cutoff: float = 0.0,
    max_hits: int = 100,
    *,
    level: str | None = None,
    method: str | None = None,
    options: Options | None = None,
    workers: int | None = None,
    client: Client | None = None,
    progress: bool = False,
    details: bool = False,
    exhaustive: bool = False,
    candidates: int | None = None,
    quick: bool | None = None,
    scan_mode: bool | None = None,
    mode: str | None = None,
) -> SearchHits:
    """Search ``query`` against ``targets``: a ``Database``, the path of one, or a list of domains.

    How to align is ``options`` (a ``dovelkit.Options``), or ``level``, ``method`` and ``params``
    as there: the fold level by default, the family level when asked for or when a method or
    parameters are given (``quick``, ``scan_mode`` and ``mode`` are deprecated aliases).

    A database with search keys is prefiltered: every entry's key is compared with the query's
    and only the best ``candidates`` (default: ``stages.candidate_count(len(db), fold)``: at
    the family level at least 32 and 0.3 % of the database, at the fold level at least 50 and
    0.5 %) are aligned; the list returned (a ``SearchHits``) tells how many: ``aligned`` of
    ``entries``, ``prefiltered`` when not all were. Each hit then carries its
    ``prefilter_score``, and its ``z_score`` is taken among all entries of the database (those not
    aligned counting as what the null model expects of them: score 0 at the family level, the mean
    TM-score of unrelated chains of their length at the fold level), so it does not depend on
    ``max_hits``. ``e_value`` is the expected number of chance hits this good in a database of this
    size (dovelkit.db.statistics), at either level; every hit is returned, whatever its E-value.

    With ``exhaustive=True`` -- and always for a database without keys (see ``Database.index``) or
    a list of domains -- every target is aligned, as follows:

    at the family level, the hits are those ``dovel.scan_database(query, all_targets, params,
    score_cutoff, max_hits, quick, scan_mode)`` returns (``quick`` and ``scan_mode`` the flags of the
    method) -- same order, rank, score, rmsd, n_aligned, seq_identity and Z-score: the module's,
    among the listed hits -- with the target's position, source path and chain id added. ``workers=None`` scans
    on every core through worker processes, ``workers=1`` in this process; ``client`` (a
    ``dask.distributed.Client``) sends one task per slice to a cluster, whose workers must be able
    to read the database at the same path (``workers`` is then not used). ``progress`` shows a
    bar on stderr. With ``details`` every hit carries ``alignment``: the alignment the scan ranked
    it by, as a ``PairwiseAlignment`` of the query (fixed) and the target (mobile) whose score,
    RMSD, identity and pair count are the hit's own. A hit with nothing aligned has RMSD +infinity.

    Every hit carries ``tm_query`` and ``tm_target``, the TM-scores of its alignment normalised by
    the query's length and by the target's. At the fold level every candidate is aligned as
    ``dovelkit.align(query, target)`` aligns it, and the hits are ranked by ``tm_query``, which is
    their ``score`` (``score_cutoff`` applies to it); rank follows from it as in the module's scan,
    and the Z-score is taken among all entries, listed or not, whether exhaustive or not.

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
    how = options_of(options, level, method, params, quick=quick, scan_mode=scan_mode, mode=mode)
    # The module checks the other arguments, with its own errors, before anything runs.
    dovel.scan_database(query, [], how.params, score_cutoff, max_hits, how.quick, how.scan_mode)
    cutoff = float(score_cutoff)
    max_hits = int(max_hits)
    n_workers = default_workers() if workers is None else check_workers(workers)
    if len(db_or_list) == 0 or max_hits == 0:
        return SearchHits([], 0, len(db_or_list))
    keyed = isinstance(db_or_list, Database) and db_or_list.has_keys and not exhaustive
    scans = _scans([query], how, cutoff, max_hits, details, keyed)
    return next(_run([query], db_or_list, scans, not keyed, n_workers, client, progress, candidates, 1,
                     how if details else None))[1]


def search_many(
    queries: Database | PathLike | Sequence[dovel.Domain],
    targets: Database | PathLike,
    params: dovel.Parameters | None = None,
    score_cutoff: float = 0.0,
    max_hits: int = 100,
    *,
    level: str | None = None,
    method: str | None = None,
    options: Options | None = None,
    workers: int | None = None,
    client: Client | None = None,
    progress: bool = False,
    exhaustive: bool = False,
    candidates: int | None = None,
    batch: int = 256,
    quick: bool | None = None,
    scan_mode: bool | None = None,
    mode: str | None = None,
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
    how = options_of(options, level, method, params, quick=quick, scan_mode=scan_mode, mode=mode)
    dovel.scan_database(dovel.Domain.from_arrays("q", np.zeros((1, 3)), "A"), [], how.params, score_cutoff,
                        max_hits, how.quick, how.scan_mode)
    n_workers = default_workers() if workers is None else check_workers(workers)
    keyed = db.has_keys and not exhaustive and len(db) > 0 and int(max_hits) > 0

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
        if len(db) == 0 or int(max_hits) == 0:
            for q in chunk:
                yield q, SearchHits([], 0, len(db))
            continue
        scans = _scans(chunk, how, float(score_cutoff), int(max_hits), False, keyed)
        for i, hits in _run(chunk, db, scans, not keyed, n_workers, client, progress and keyed, candidates,
                            len(chunk), None):
            yield chunk[i], hits


def _hits(query: dovel.Domain, targets: Database | Sequence[dovel.Domain], ranked: list[_core.Hit],
          details: Options | None) -> list[Hit]:
    """The search's hits with where each came from; with ``details`` (how they were aligned) each
    carries its own alignment, the one the scan ranked it by."""
    out = []
    for h in ranked:
        rmsd = h.rmsd if h.n_aligned else math.inf
        out.append(Hit(h.rank, "", h.score, rmsd, h.n_aligned, h.seq_identity, h.z_score, h.position, "", "",
                       tm_query=h.tm_query, tm_target=h.tm_target))
    # Where each hit came from, read in position order (one slice at a time).
    for hit, h in sorted(zip(out, ranked), key=lambda x: x[0].position):
        if isinstance(targets, Database) and details is None:
            hit.id, hit.source, hit.chain = _label(targets, hit.position)
            domain = None
        elif isinstance(targets, Database):
            e = targets.entry(hit.position)
            hit.id, hit.source, hit.chain = e.id, e.source, e.chain
            domain = e.domain()
        else:
            domain = targets[hit.position]
            hit.id, hit.source, hit.chain = domain.id, domain.pdb_file, domain.chain
        if details is not None and domain is not None:
            hit.alignment = from_core(query, domain, h.transform, h.pairs, h.distances, h.core_pairs, hit.rmsd,
                                      h.score, h.seq_identity, details, h.tm_query, h.tm_target)
    return out
