"""Clustering a database at the fold level: groups of chains, one representative each.

The rule: a member joins a representative when their fold-level alignment (the member fixed, the
representative moved onto it) has a TM-score, normalised by the member's length, of at least
``tm`` (0.5: the same fold), and covers at least ``coverage`` (0.7) of the member's residues
(``cov_mode`` 1), of the representative's (2) or of both (0, the default: a domain does not join a
chain of several, and terminal extensions of up to about a third are tolerated). Every member of a cluster was aligned with its
representative and passed; that is the guarantee the clustering keeps, whatever prunes the work.

The cascade (no all-against-all):

1. **Candidates.** A round over many entries (more than ``INDEX_MAX_ENTRIES``) groups them by
   shared words in time linear in their residues: each entry picks the 16 distinct words of its key
   with the lowest hash (leaving out words repeated in it), the entries that picked the same word
   form a group, and the group's longest entry is a candidate for the others. A smaller round
   indexes the keys of its entries (dovelkit._core KeyIndex) and finds each one's ``candidates``
   best by prefilter score, each entry's trace a query as in a search, at a cost that grows with
   the words they share rather than with the number of pairs: exactly the candidates the
   exhaustive prefilter gives.
2. **Provisional representatives.** A greedy set cover over the candidates' graph picks the
   entries that would represent the most others; among equals, the longer chain, then the earlier
   entry.
3. **Alignment against representatives only.** Each other entry is aligned with the provisional
   representatives among its candidates (its own first; at most ``tries``) and joins the first
   whose alignment passes the rule.
4. **Rounds.** Entries that joined no one are clustered again among themselves from step 1 (a
   fresh index or grouping of only them); a round that places nothing, or ``rounds`` rounds, leaves
   the rest as clusters of one.
5. **Representatives against each other.** The representatives are indexed, each is aligned with
   its ``tries`` best candidates among them, and a cluster joins a larger one (equal sizes: the one
   of the longer representative) when its representative and every one of its members pass the
   rule against that one's representative; repeated while clusters join (at most ``rounds``
   times).

``method="components"`` instead joins, in one cluster, every pair that passed the rule in steps 3
and 5 (connected components, single linkage): members are then linked to their representative by a
chain of passing pairs, not always by one.

Every step depends only on the database and the options -- never on the number of workers or on
the order in which they finish -- so the result is the same on one core, on several and on Dask.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from dovelkit import _core
from dovelkit.db.stages import key_column, open_source
from dovelkit.db.store import Database, Entry
from dovelkit.io.paths import PathLike
from dovelkit.runtime.calls import run_calls
from dovelkit.runtime.pools import WorkerPool, check_workers, default_workers, preload
from dovelkit.runtime.progress import progress_bar

if TYPE_CHECKING:
    from distributed import Client

COVERAGE_MODES = (0, 1, 2)
METHODS = ("set-cover", "components")

# A round over more entries than this finds candidates by groups of shared words (linear time), a
# smaller one through the key index (each entry's best candidates by prefilter score).
INDEX_MAX_ENTRIES = 20_000
# Words of lowest hash each entry picks for the groups.
WORDS_PER_ENTRY = 16

# The workers import this module before the first task.
preload(__name__)

# Entries placed per call on a worker (prefilter queries, alignments).
_QUERIES_PER_CALL = 500
_PAIRS_PER_CALL = 200


@dataclass(frozen=True)
class Rule:
    """When a member may join a representative."""

    tm: float = 0.5
    coverage: float = 0.7
    cov_mode: int = 0

    def passes(self, tm_member: float, cov_member: float, cov_rep: float) -> bool:
        if tm_member < self.tm:
            return False
        if self.cov_mode == 1:
            return cov_member >= self.coverage
        if self.cov_mode == 2:
            return cov_rep >= self.coverage
        return cov_member >= self.coverage and cov_rep >= self.coverage


@dataclass
class Clustering:
    """The clusters of a database: every entry's representative (positions), and each member's
    alignment figures with it (a representative has TM-score 1 and coverage 1 with itself)."""

    path: str
    ids: list[str]
    representative: np.ndarray  # int64, one per entry
    tm: np.ndarray  # TM-score of the member's alignment with its representative (by the member)
    coverage: np.ndarray  # fraction of the member's residues aligned
    rule: Rule
    method: str

    @property
    def n_clusters(self) -> int:
        return int(np.sum(self.representative == np.arange(len(self.representative))))

    def clusters(self) -> dict[int, list[int]]:
        """Members of each cluster by representative (positions), the representative first, then
        the others in database order; clusters by size, largest first, equal sizes by position."""
        groups: dict[int, list[int]] = {}
        for i, r in enumerate(self.representative.tolist()):
            groups.setdefault(r, []).append(i)
        for r, members in groups.items():
            members.remove(r)
            members.insert(0, r)
        return dict(sorted(groups.items(), key=lambda kv: (-len(kv[1]), kv[0])))

    def rows(self) -> list[tuple[str, str]]:
        """(representative id, member id) for every entry, a representative also as its own member."""
        return [(self.ids[r], self.ids[m]) for r, members in self.clusters().items() for m in members]

    def sizes(self) -> list[int]:
        return [len(m) for m in self.clusters().values()]

    def write_tsv(self, path: PathLike) -> None:
        """The two-column table (representative, member), written whole or not at all."""
        from dovelkit.io.atomic import write_atomically

        write_atomically(path, self.tsv().encode())

    def tsv(self) -> str:
        """The two-column table as text."""
        return "".join(f"{rep}\t{member}\n" for rep, member in self.rows())

    def write_representatives(self, path: PathLike) -> Database:
        """The representatives as a database of their own (with search keys)."""
        source = Database.open(self.path)
        reps = sorted(self.clusters())
        return Database.from_domains(path, (source[r] for r in reps))


# --------------------------------------------------------------------------------------------
# What the workers do


_KEYS: dict[Any, tuple[np.ndarray, np.ndarray]] = {}
_SUBSET: dict[Any, Any] = {}
_ENTRIES: dict[int, Entry] = {}
_ENTRY_DB: list[Any] = [None]
_MAX_ENTRIES = 20000


def _open(source: Any) -> Database:
    return open_source(source)


def _all_keys(db: Database) -> tuple[np.ndarray, np.ndarray]:
    """Every key of the database as one column (data, int64 offsets), kept for the next call."""
    token = (db.path, db._stat.st_ino, db._stat.st_mtime_ns)
    got = _KEYS.get(token)
    if got is None:
        _KEYS.clear()
        got = _KEYS[token] = key_column(db, 0, db.n_slices)
    return got


def _subset_index(db: Database, token: Any, members: np.ndarray) -> Any:
    """The key index of the entries at ``members`` (positions, ascending), kept under ``token``."""
    got = _SUBSET.get(token)
    if got is None:
        _SUBSET.clear()
        data, offsets = _all_keys(db)
        lo, hi = offsets[members], offsets[members + 1]
        lengths = hi - lo
        sub_off = np.zeros(len(members) + 1, dtype=np.int64)
        np.cumsum(lengths, out=sub_off[1:])
        idx = np.concatenate([np.arange(a, b) for a, b in zip(lo.tolist(), hi.tolist())]) if len(members) else \
            np.zeros(0, np.int64)
        sub_data = np.ascontiguousarray(data[idx]) if len(idx) else np.zeros(0, np.uint8)
        try:
            got = _SUBSET[token] = _core.KeyIndex(sub_data, sub_off, fold=True)
        except ValueError as exc:
            raise db.key_error(int(members[0]) if len(members) else 0, f"damaged search key ({exc})") from None
    return got


def candidates_part(source: Any, token: Any, members: np.ndarray, queries: np.ndarray,
                    k: int) -> list[tuple[np.ndarray, np.ndarray]]:
    """The ``k`` best candidates (positions in the database, prefilter scores), the entry itself
    left out, of each entry at ``members[queries]`` among the entries at ``members``."""
    db = _open(source)
    index = _subset_index(db, token, members)
    # Queries made from the entries' traces, as a search makes them: their words also count under
    # the letters across a nearby boundary, which finds relatives that the keys alone rank low.
    entries = _entries(db, members[queries].tolist())
    traces = [entries[int(p)].coordinates for p in members[queries].tolist()]
    found, _ = index.search(traces, k=k + 1, min_score=1e-9)
    out = []
    for q, (pos, score) in zip(queries.tolist(), found):
        keep = pos != q
        out.append((members[pos[keep]][:k], score[keep][:k]))
    return out


def _entries(db: Database, positions: Sequence[int]) -> dict[int, Entry]:
    """The entries at ``positions``, read slice by slice and kept for the next calls."""
    if _ENTRY_DB[0] is not db:
        _ENTRIES.clear()
        _ENTRY_DB[0] = db
    wanted = sorted({int(p) for p in positions} - _ENTRIES.keys())
    if len(_ENTRIES) + len(wanted) > _MAX_ENTRIES:
        _ENTRIES.clear()
        wanted = sorted({int(p) for p in positions})
    starts = [s.start for s in db.slices]
    by_slice: dict[int, list[int]] = {}
    for p in wanted:
        from bisect import bisect_right

        by_slice.setdefault(bisect_right(starts, p) - 1, []).append(p)
    for k, ps in by_slice.items():
        for p, e in zip(ps, db.read_slice(k, [p - starts[k] for p in ps])):
            _ENTRIES[p] = e
    return {int(p): _ENTRIES[int(p)] for p in positions}


def align_part(source: Any, pairs: np.ndarray) -> np.ndarray:
    """Fold-level alignment of each (member, representative) pair (positions): TM-score by the
    member, by the representative, and the fractions of each aligned, one row per pair."""
    db = _open(source)
    entries = _entries(db, pairs.reshape(-1).tolist())
    out = np.zeros((len(pairs), 4), dtype=np.float64)
    for i, (m, r) in enumerate(pairs.tolist()):
        a, b = entries[m], entries[r]
        got = _core.fold_align(a.coordinates, a.sequence, b.coordinates, b.sequence)
        out[i] = (got.tm_fixed, got.tm_mobile, got.n_aligned / max(1, len(a.coordinates)),
                  got.n_aligned / max(1, len(b.coordinates)))
    return out


# --------------------------------------------------------------------------------------------
# The cascade


class _Runner:
    """Runs calls here, on worker processes or on Dask, in order of submission for the results."""

    def __init__(self, db: Database, workers: int, client: Client | None, progress: bool) -> None:
        self.db = db
        self.client = client
        self.pool: WorkerPool | None = None
        if client is None and workers > 1:
            self.pool = WorkerPool(workers)
        self.source: Any = db if self.pool is None and client is None else db.reference()
        self.progress = progress

    def run(self, calls: list[tuple[Callable[..., Any], tuple[Any, ...], str]], desc: str) -> list[Any]:
        out: list[Any] = [None] * len(calls)
        bar = progress_bar(len(calls), unit="part", desc=desc, enabled=self.progress)
        try:
            for i, got in run_calls(calls, self.pool, self.client):
                out[i] = got
                bar.update(1)
        finally:
            bar.close()
        return out

    def close(self) -> None:
        if self.pool is not None:
            self.pool.close()
            self.pool = None

    def stop(self) -> None:
        if self.pool is not None:
            self.pool.stop()
            self.pool = None


def _candidates(runner: _Runner, members: np.ndarray, k: int, round_: int) -> list[tuple[np.ndarray, np.ndarray]]:
    token = (runner.db.path, round_, len(members), int(members.sum()) if len(members) else 0)
    local = np.arange(len(members), dtype=np.int64)
    calls = [(candidates_part, (runner.source, token, members, local[lo:lo + _QUERIES_PER_CALL], k),
              "finding candidates by the key index")
             for lo in range(0, len(members), _QUERIES_PER_CALL)]
    out: list[tuple[np.ndarray, np.ndarray]] = []
    for part in runner.run(calls, f"candidates (round {round_ + 1})"):
        out.extend(part)
    return out


def _align(runner: _Runner, pairs: list[tuple[int, int]], desc: str) -> np.ndarray:
    if not pairs:
        return np.zeros((0, 4))
    arr = np.array(pairs, dtype=np.int64)
    calls = [(align_part, (runner.source, arr[lo:lo + _PAIRS_PER_CALL]), "aligning members with representatives")
             for lo in range(0, len(arr), _PAIRS_PER_CALL)]
    return np.concatenate(runner.run(calls, desc))


def _rank_of(lengths: np.ndarray) -> np.ndarray:
    """Longer chains first, then earlier entries: the order of preference for representatives."""
    order = np.lexsort((np.arange(len(lengths)), -lengths))
    rank = np.empty(len(lengths), dtype=np.int64)
    rank[order] = np.arange(len(lengths))
    return rank


def cluster(
    db: Database | PathLike,
    *,
    tm: float = 0.5,
    coverage: float = 0.7,
    cov_mode: int = 0,
    method: str = "set-cover",
    candidates: int = 20,
    tries: int = 3,
    rounds: int = 3,
    workers: int | None = None,
    client: Client | None = None,
    progress: bool = False,
) -> Clustering:
    """Cluster a database (or the path of one) at the fold level; see the module's description.

    ``tm``: the least TM-score (normalised by the member) of a member with its representative;
    ``coverage``, ``cov_mode``: the least fraction of the member's residues (1), of the
    representative's (2), or of both (0) that their alignment covers; ``method``: "set-cover"
    (greedy set cover, every member passed the rule with its representative) or "components";
    ``candidates``: prefilter candidates per entry; ``tries``: representatives a member is aligned
    with at most in a round; ``rounds``: rounds of the cascade. ``workers``/``client`` as for
    ``dovelkit.search``.
    """
    if not isinstance(tm, (int, float)) or isinstance(tm, bool) or not 0.0 <= tm <= 1.0:
        raise ValueError(f"tm must be a number from 0 to 1, not {tm!r}")
    if not isinstance(coverage, (int, float)) or isinstance(coverage, bool) or not 0.0 <= coverage <= 1.0:
        raise ValueError(f"coverage must be a number from 0 to 1, not {coverage!r}")
    if cov_mode not in COVERAGE_MODES or isinstance(cov_mode, bool):
        raise ValueError(f"cov_mode must be 0 (both), 1 (the member) or 2 (the representative), not {cov_mode!r}")
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(METHODS)}, not {method!r}")
    for name, value in (("candidates", candidates), ("tries", tries), ("rounds", rounds)):
        if isinstance(value, bool) or not isinstance(value, int) or value < 1:
            raise ValueError(f"{name} must be a positive int, not {value!r}")
    n_workers = default_workers() if workers is None else check_workers(workers)
    rule = Rule(float(tm), float(coverage), int(cov_mode))
    if isinstance(db, Database):
        return _cluster(db, rule, method, candidates, tries, rounds, n_workers, client, progress)
    with Database.open(db) as opened:
        return _cluster(opened, rule, method, candidates, tries, rounds, n_workers, client, progress)


def _cluster(db: Database, rule: Rule, method: str, k: int, tries: int, rounds: int, workers: int,
             client: Client | None, progress: bool) -> Clustering:
    n = len(db)
    if n and not db.has_keys:
        from dovelkit.db.store import INDEX_HINT

        raise ValueError(f"{db.path}: the database holds no search keys; " + INDEX_HINT.format(path=db.path))
    data, offsets = _all_keys(db) if n else (np.zeros(0, np.uint8), np.zeros(1, np.int64))
    try:
        lengths = _core.key_lengths(data, offsets) if n else np.zeros(0, np.int64)
    except ValueError as exc:
        raise ValueError(f"{db.path}: damaged search key ({exc})") from None
    rank = _rank_of(lengths)
    rep = np.full(n, -1, dtype=np.int64)
    tm = np.zeros(n)
    cov = np.zeros(n)
    passed: list[tuple[int, int]] = []  # (representative, member) pairs that passed, for components
    runner = _Runner(db, min(workers, max(1, db.n_slices)), client, progress)
    try:
        left = np.arange(n, dtype=np.int64)
        for r in range(rounds):
            if len(left) == 0:
                break
            placed = _round(runner, left, rank, rule, k, tries, r, rep, tm, cov, passed)
            left = np.flatnonzero(rep < 0).astype(np.int64)
            if placed == 0:
                break
        for i in left.tolist():  # clusters of one
            rep[i], tm[i], cov[i] = i, 1.0, 1.0
        # Clusters join larger ones while any does (a few passes at most: each pass joins or stops).
        for _ in range(rounds):
            if not _merge_representatives(runner, rank, rule, tries, rep, tm, cov, passed):
                break
        runner.close()
    finally:
        runner.stop()
    if method == "components":
        src = np.array([a for a, _ in passed], dtype=np.int64)
        dst = np.array([b for _, b in passed], dtype=np.int64)
        rep = _core.connected_components(n, src, dst, rank)
        # Figures of a member with its component's representative are those of its own link.
        for i in range(n):
            if rep[i] == i:
                tm[i] = cov[i] = 1.0
        rep = np.asarray(rep, dtype=np.int64)
    return Clustering(db.path, list(db.ids), rep, tm, cov, rule, method)


def _grouped(runner: _Runner, members: np.ndarray, rank: np.ndarray, r: int) -> list[tuple[np.ndarray, np.ndarray]]:
    """Candidates by shared words of low hash (KeyIndex.word_groups), in time linear in the entries:
    for each entry the centres of its groups, those sharing more groups first (positions, counts)."""
    token = (runner.db.path, "groups", r, len(members), int(members.sum()) if len(members) else 0)
    index = _subset_index(runner.db, token, members)
    centres, who, shared = index.word_groups(rank[members], words=WORDS_PER_ENTRY, seed=r)
    out: list[tuple[np.ndarray, np.ndarray]] = [(np.zeros(0, np.int64), np.zeros(0, np.int64))] * len(members)
    bounds = np.searchsorted(who, np.arange(len(members) + 1))
    for i in np.flatnonzero(np.diff(bounds)).tolist():
        c, n = centres[bounds[i]:bounds[i + 1]], shared[bounds[i]:bounds[i + 1]]
        order = np.lexsort((rank[members[c]], -n))
        out[i] = (members[c[order]], n[order])
    return out


def _round(runner: _Runner, members: np.ndarray, rank: np.ndarray, rule: Rule, k: int, tries: int, r: int,
           rep: np.ndarray, tm: np.ndarray, cov: np.ndarray, passed: list[tuple[int, int]]) -> int:
    """One round over ``members`` (positions not yet placed): returns how many were placed."""
    m = len(members)
    local = {int(p): i for i, p in enumerate(members.tolist())}
    src: list[int] = []
    dst: list[int] = []
    if m > INDEX_MAX_ENTRIES:
        # Many entries: groups by shared words, each group's centre a candidate for its members.
        found = _grouped(runner, members, rank, r)
        for i, (pos, _) in enumerate(found):
            for p in pos.tolist():
                src.append(local[p])
                dst.append(i)
    else:
        # The prefilter's graph both ways, in local numbers: each entry with its candidates.
        found = _candidates(runner, members, k, r)
        for i, (pos, _) in enumerate(found):
            for p in pos.tolist():
                j = local[p]
                src += [i, j]
                dst += [j, i]
    provisional = _core.greedy_set_cover(m, np.array(src, dtype=np.int64), np.array(dst, dtype=np.int64),
                                         rank[members])
    is_rep = provisional == np.arange(m)
    # Each other entry tries its own provisional representative first, then the others among its
    # candidates by prefilter score.
    tries_of: list[list[int]] = []
    for i in range(m):
        if is_rep[i]:
            tries_of.append([])
            continue
        order = [int(provisional[i])] + [local[p] for p in found[i][0].tolist() if is_rep[local[p]]]
        seen: list[int] = []
        for j in order:
            if j not in seen:
                seen.append(j)
        tries_of.append(seen[:tries])
    # Aligned in waves: first try of everyone, then the second of those not yet placed, ...
    placed_here = np.zeros(m, dtype=bool)
    for t in range(tries):
        wave = [(i, tries_of[i][t]) for i in range(m) if not placed_here[i] and len(tries_of[i]) > t]
        if not wave:
            break
        figures = _align(runner, [(int(members[i]), int(members[j])) for i, j in wave],
                         f"aligning (round {r + 1}, try {t + 1})")
        for (i, j), (tm_m, _tm_r, cov_m, cov_r) in zip(wave, figures.tolist()):
            if rule.passes(tm_m, cov_m, cov_r):
                placed_here[i] = True
                p, q = int(members[i]), int(members[j])
                rep[p], tm[p], cov[p] = q, tm_m, cov_m
                passed.append((q, p))
    # The provisional representatives stay; those no one joined may still join another cluster in
    # the last step.
    for i in np.flatnonzero(is_rep).tolist():
        p = int(members[i])
        rep[p], tm[p], cov[p] = p, 1.0, 1.0
    return int(placed_here.sum())


def _merge_representatives(runner: _Runner, rank: np.ndarray, rule: Rule, tries: int, rep: np.ndarray,
                           tm: np.ndarray, cov: np.ndarray, passed: list[tuple[int, int]]) -> int:
    """Step 5: a cluster joins a larger one (equal sizes: the earlier representative's) when its
    representative and all its members pass the rule against that one's representative. Returns
    the number of clusters that joined another."""
    reps = np.flatnonzero(rep == np.arange(len(rep))).astype(np.int64)
    if len(reps) < 2:
        return 0
    members_of: dict[int, list[int]] = {}
    for i, r in enumerate(rep.tolist()):
        if r != i:
            members_of.setdefault(r, []).append(i)

    def order(r: int) -> tuple[int, int]:  # smaller first: the smaller cluster joins the larger
        return (len(members_of.get(r, [])), -int(rank[r]))

    found = _candidates(runner, reps, tries, 1000 + int(len(reps)))
    # (smaller, larger) representative pairs among each one's best candidates, by prefilter score.
    pairs: list[tuple[int, int]] = []
    seen: set[tuple[int, int]] = set()
    for i, (pos, _) in enumerate(found):
        a = int(reps[i])
        for p in pos.tolist():
            pair = (a, int(p)) if order(a) < order(int(p)) else (int(p), a)
            if pair not in seen:
                seen.add(pair)
                pairs.append(pair)
    figures = _align(runner, pairs, "aligning representatives")
    ok = [(a, b, f) for (a, b), f in zip(pairs, figures.tolist()) if rule.passes(f[0], f[2], f[3])]
    for a, b, _ in ok:
        passed.append((b, a))
    if not ok:
        return 0
    # Every member of the smaller cluster against the larger one's representative.
    checks = list(dict.fromkeys((m, b) for a, b, _ in ok for m in members_of.get(a, [])))
    result = dict(zip(checks, _align(runner, checks, "aligning members with representatives").tolist()))
    # Decided smallest cluster first; a cluster that took others in does not move any more.
    ok.sort(key=lambda abf: order(abf[0]))
    moved: set[int] = set()
    grown: set[int] = set()
    for a, b, f in ok:
        if a in moved or a in grown or b in moved:
            continue
        if not all(rule.passes(result[(m, b)][0], result[(m, b)][2], result[(m, b)][3])
                   for m in members_of.get(a, [])):
            continue
        moved.add(a)
        grown.add(b)
        rep[a], tm[a], cov[a] = b, f[0], f[2]
        for m in members_of.get(a, []):
            g = result[(m, b)]
            rep[m], tm[m], cov[m] = b, g[0], g[2]
            passed.append((b, m))
    return len(moved)
