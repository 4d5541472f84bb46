"""Searching one query against a database on every core, or on a Dask cluster.

The targets are cut into slices (the row groups of a database, or runs of a list). Each slice is
scanned by ``dovel.scan_database`` where it is read -- in this process, in a worker process or on
a Dask worker -- and only positions and scores come back. Because the module treats every target
on its own and ranks them by a stable sort, the best ``max_hits`` of the whole search are among
the best ``max_hits`` of each slice; merging those by (score, position) and then ranking and
attaching Z-scores the way the module does gives exactly the list ``dovel.scan_database`` returns
for all targets at once.
"""

from __future__ import annotations

import heapq
import math
from collections.abc import Generator, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

import dovel

from dovelkit.database import Database, DatabaseRef, Entry, open_targets
from dovelkit.paths import PathLike
from dovelkit.pools import WorkerPool, check_workers, default_workers
from dovelkit.pairwise import PairwiseAlignment, align

if TYPE_CHECKING:
    from distributed import Client

# The Parameters attributes, which travel to worker processes as plain values.
_PARAM_FIELDS = (
    "n_passes", "e1", "e2", "gap_open", "gap_extend", "use_secondary",
    "max_iter", "cutoff_dist", "score_cutoff", "convergence", "verbosity",
)

# Entries per slice when the targets are a list.
_LIST_SLICE = 1000
# Targets per call of the module within a slice.
_CHUNK = 64
# The smallest part of a slice that the process pool hands out as one task.
_MIN_PART = 50

# The hits of a slice: (position, score, rmsd, n_aligned, seq_identity) of each.
_SliceHits = list[tuple[int, float, float, int, float]]
# How many targets a slice held, and its hits.
_Runs = Generator[tuple[int, _SliceHits], None, None]


@dataclass
class Hit:
    """One hit of a search: the fields of ``dovel.ScanHit`` and where the target came from."""

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

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready fields (with the alignment's summary when there is one)."""
        out: dict[str, Any] = {
            "rank": self.rank, "id": self.id, "score": _json_float(self.score),
            "rmsd": _json_float(self.rmsd), "n_aligned": self.n_aligned,
            "seq_identity": _json_float(self.seq_identity),
            "z_score": None if self.z_score is None else _json_float(self.z_score),
            "position": self.position, "source": self.source, "chain": self.chain,
        }
        if self.alignment is not None:
            out["alignment"] = self.alignment.to_dict()
        return out


def _json_float(x: float) -> float | None:
    return x if math.isfinite(x) else None


# --------------------------------------------------------------------------------------------
# What travels to a worker


def _params_values(params: dovel.Parameters | None) -> tuple[Any, ...] | None:
    if params is None:
        return None
    return tuple(getattr(params, name) for name in _PARAM_FIELDS)


def _params_from(values: tuple[Any, ...] | None) -> dovel.Parameters | None:
    if values is None:
        return None
    params = dovel.Parameters()
    for name, value in zip(_PARAM_FIELDS, values):
        setattr(params, name, value)
    return params


def _domain_values(d: dovel.Domain) -> tuple[np.ndarray, str, str]:
    return (d.coordinates, d.sequence, d.chain)


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


def scan_slice(
    source: tuple[Any, ...],
    query: tuple[np.ndarray, str, str] | dovel.Domain,
    params: tuple[Any, ...] | None,
    score_cutoff: float,
    max_hits: int,
    quick: bool,
    scan_mode: bool,
) -> list[tuple[int, float, float, int, float]]:
    """Scan one slice; return (position, score, rmsd, n_aligned, seq_identity) of its best hits.

    ``source`` is ("db", open Database or its reference, slice index[, first position, end position]) for a
    slice of a database or a part of one, or ("list", first position, [(coords, sequence, chain), ...]). Every target is named by its position, so the hits say where they came from.
    """
    if source[0] == "db":
        k = source[2]
        if isinstance(source[1], Database):  # in this process: the caller's open database
            db = source[1]
            entries = db.read_slice(k)
        else:  # in a worker: the caller's file, opened once
            db = _open_cached(source[1])
            entries = _read_slice_cached(db, k)
        first = db.slices[k].start
        part = range(first, db.slices[k].stop) if len(source) == 3 else range(source[3], source[4])
        targets = [dovel.Domain.from_arrays(str(i), entries[i - first].coordinates, entries[i - first].sequence,
                                            entries[i - first].chain[:1] or None) for i in part]
    else:
        first = source[1]
        targets = [
            dovel.Domain.from_arrays(str(first + r), coords, seq, chain or None)
            for r, (coords, seq, chain) in enumerate(source[2])
        ]
    q = query if isinstance(query, dovel.Domain) else dovel.Domain.from_arrays("query", *query)
    return _scan_chunks(q, targets, _params_from(params), score_cutoff, max_hits, quick, scan_mode)


def _scan_chunks(
    query: dovel.Domain, targets: list[dovel.Domain], params: dovel.Parameters | None, score_cutoff: float,
    max_hits: int, quick: bool, scan_mode: bool,
) -> list[tuple[int, float, float, int, float]]:
    """The best hits of targets named by their positions, scanned a few at a time: the module holds
    the interpreter lock for a whole call, and short calls let Ctrl-C through promptly."""
    best = _Best(max_hits)
    for lo in range(0, len(targets), _CHUNK):
        chunk = targets[lo:lo + _CHUNK]
        hits = dovel.scan_database(query, chunk, params, score_cutoff, min(max_hits, len(chunk)), quick, scan_mode)
        best.add([(int(h.target_id), h.score, h.rmsd, h.n_aligned, h.seq_identity) for h in hits])
    return best.hits


def _scan_list_slice(
    query: dovel.Domain, targets: Sequence[dovel.Domain], first: int, params: dovel.Parameters | None,
    score_cutoff: float, max_hits: int, quick: bool, scan_mode: bool,
) -> list[tuple[int, float, float, int, float]]:
    """``scan_slice`` in this process for domains at hand: copies renamed by position."""
    copies = []
    for r, d in enumerate(targets):
        c = d.copy()
        c.id = str(first + r)
        copies.append(c)
    return _scan_chunks(query, copies, params, score_cutoff, max_hits, quick, scan_mode)


# --------------------------------------------------------------------------------------------
# Merging


def _order(h: tuple[int, float, float, int, float]) -> tuple[float, int]:
    return (-h[1], h[0])


class _Best:
    """The best ``k`` hits seen so far, by score and then position (the module's order)."""

    def __init__(self, k: int) -> None:
        self.k = k
        self.hits: list[tuple[int, float, float, int, float]] = []

    def add(self, hits: list[tuple[int, float, float, int, float]]) -> None:
        if hits:
            self.hits = heapq.nsmallest(self.k, self.hits + hits, key=_order)

    def ranked(self) -> list[tuple[int, float, float, int, float]]:
        return sorted(self.hits, key=_order)


def z_scores(scores: Sequence[float]) -> list[float | None]:
    """Z-scores of the returned hits' scores, computed as the module computes them: mean and
    population standard deviation summed in rank order; none with fewer than two hits or a
    spread below 1e-10."""
    n = len(scores)
    if n < 2:
        return [None] * n
    total = 0.0
    for s in scores:
        total += s
    mean = total / float(n)
    squares = 0.0
    for s in scores:
        squares += (s - mean) * (s - mean)
    sd = math.sqrt(squares / float(n))
    if sd < 1e-10:
        return [None] * n
    return [(s - mean) / sd for s in scores]


# --------------------------------------------------------------------------------------------
# Running the slices


def _slices_of(targets: Database | Sequence[dovel.Domain], workers: int) -> list[range]:
    if isinstance(targets, Database):
        return targets.slices
    n = len(targets)
    size = max(1, min(_LIST_SLICE, math.ceil(n / max(1, 4 * workers))))
    return [range(lo, min(lo + size, n)) for lo in range(0, n, size)]


def _run_here(
    query: dovel.Domain, targets: Database | Sequence[dovel.Domain], slices: Sequence[range],
    params: dovel.Parameters | None, cutoff: float, max_hits: int, quick: bool, scan_mode: bool,
) -> _Runs:
    for k, rng in enumerate(slices):
        if isinstance(targets, Database):
            hits = scan_slice(("db", targets, k), query, _params_values(params), cutoff, max_hits, quick, scan_mode)
        else:
            hits = _scan_list_slice(query, targets[rng.start:rng.stop], rng.start, params, cutoff, max_hits, quick,
                                    scan_mode)
        yield len(rng), hits


def _sources(targets: Database | Sequence[dovel.Domain], slices: Sequence[range],
             parts: int = 1) -> Iterator[tuple[range, tuple[Any, ...]]]:
    """What each task scans, with the positions it covers: a database slice in ``parts`` parts
    (each task still reads its whole slice, so memory stays bounded by one slice), or a run of
    list targets sent whole."""
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
            yield rng, ("list", rng.start, [_domain_values(targets[i]) for i in rng])


def _parts_per_slice(n_slices: int, workers: int) -> int:
    """Enough tasks that no worker waits long for the last one: about eight per worker, in parts
    of at least _MIN_PART targets."""
    return max(1, min(math.ceil(8 * workers / max(1, n_slices)), _LIST_SLICE // _MIN_PART))


def _run_pool(
    query: dovel.Domain, targets: Database | Sequence[dovel.Domain], slices: Sequence[range],
    params: dovel.Parameters | None, cutoff: float, max_hits: int, quick: bool, scan_mode: bool, workers: int,
) -> _Runs:
    args = (_domain_values(query), _params_values(params), cutoff, max_hits, quick, scan_mode)
    sizes: list[int] = []
    where = targets.path if isinstance(targets, Database) else "the target list"

    def calls() -> Iterator[tuple[Any, tuple[Any, ...], str]]:
        for rng, src in _sources(targets, slices, _parts_per_slice(len(slices), workers)):
            sizes.append(len(rng))
            yield scan_slice, (src, *args), f"scanning targets {rng.start} to {rng.stop - 1} of {where}"

    with WorkerPool(workers) as pool:
        for i, hits in pool.run(calls()):
            yield sizes[i], hits


def _run_dask(
    query: dovel.Domain, targets: Database | Sequence[dovel.Domain], slices: Sequence[range],
    params: dovel.Parameters | None, cutoff: float, max_hits: int, quick: bool, scan_mode: bool, client: Client,
) -> _Runs:
    from distributed import as_completed

    args = (_domain_values(query), _params_values(params), cutoff, max_hits, quick, scan_mode)
    futures = {}
    for rng, src in _sources(targets, slices):
        futures[client.submit(scan_slice, src, *args, pure=False)] = len(rng)
    try:
        for fut in as_completed(list(futures)):
            yield futures[fut], fut.result()
    except BaseException:
        client.cancel(list(futures))
        raise
    finally:
        futures.clear()


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
) -> list[Hit]:
    """Search ``query`` against ``targets``: a ``Database``, the path of one, or a list of domains.

    The hits are those ``dovel.scan_database(query, all_targets, params, score_cutoff, max_hits,
    quick, scan_mode)`` returns -- same order, rank, score, rmsd, n_aligned, seq_identity and
    Z-score -- with the target's position, source path and chain id added. ``workers=None`` scans
    on every core through worker processes, ``workers=1`` in this process; ``client`` (a
    ``dask.distributed.Client``) sends one task per slice to a cluster, whose workers must be able
    to read the database at the same path (``workers`` is then not used). ``progress`` shows a bar on stderr. With ``details``
    every hit carries ``alignment``, the ``dovelkit.align`` of the query and its target (a full
    pairwise alignment, in scan mode when ``scan_mode``).

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
    cutoff = float(score_cutoff)
    max_hits = int(max_hits)
    quick, scan_mode = bool(quick), bool(scan_mode)
    n_workers = default_workers() if workers is None else check_workers(workers)
    total = len(db_or_list)
    if total == 0 or max_hits == 0:
        return []

    slices = _slices_of(db_or_list, n_workers)
    from dovelkit.progress import progress_bar

    bar = progress_bar(total, unit="target", desc="searching", enabled=progress)
    best = _Best(max_hits)
    runs: _Runs | None = None
    try:
        if client is not None:
            runs = _run_dask(query, db_or_list, slices, params, cutoff, max_hits, quick, scan_mode, client)
        elif min(n_workers, len(slices)) <= 1:
            runs = _run_here(query, db_or_list, slices, params, cutoff, max_hits, quick, scan_mode)
        else:
            runs = _run_pool(query, db_or_list, slices, params, cutoff, max_hits, quick, scan_mode,
                             min(n_workers, len(slices)))
        for size, hits_of_slice in runs:
            best.add(hits_of_slice)
            bar.update(size)
    finally:
        if runs is not None:
            runs.close()  # stops the worker processes now if the search ends early (error, Ctrl-C)
        bar.close()
    return _hits(query, db_or_list, best.ranked(), params, scan_mode, details)


def _hits(
    query: dovel.Domain, targets: Database | Sequence[dovel.Domain], ranked: _SliceHits,
    params: dovel.Parameters | None, scan_mode: bool, details: bool,
) -> list[Hit]:
    zs = z_scores([h[1] for h in ranked])
    out = []
    for rank, ((pos, score, rmsd, n_aligned, identity), z) in enumerate(zip(ranked, zs), start=1):
        out.append(Hit(rank, "", score, rmsd, n_aligned, identity, z, pos, "", ""))
    # Where each hit came from, read in position order (one slice at a time).
    for hit in sorted(out, key=lambda h: h.position):
        if isinstance(targets, Database):
            e = targets.entry(hit.position)
            hit.id, hit.source, hit.chain = e.id, e.source, e.chain
            if details:
                hit.alignment = align(query, e.domain(), params, scan=scan_mode)
        else:
            domain = targets[hit.position]
            hit.id, hit.source, hit.chain = domain.id, domain.pdb_file, domain.chain
            if details:
                hit.alignment = align(query, domain, params, scan=scan_mode)
    return out
