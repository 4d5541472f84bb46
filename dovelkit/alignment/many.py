"""Many pairwise alignments in one call: a list of pairs, or every pair of a set of structures,
aligned on every core and gathered into one table.

A structure is named as on the command line: a file path, optionally followed by ``:CHAIN``
(``1abc.pdb:B``); a path that exists as written is taken whole, colons and all. A pairs file has
one pair a line, the two structures separated by a tab (or, on a line without a tab, by spaces);
empty lines and lines starting with ``#`` are skipped; relative paths are taken from the current
directory, as on the command line.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from dovelkit.alignment.options import Options
from dovelkit.errors import UserError
from dovelkit.io.paths import PathLike
from dovelkit.io.paths import printable

if TYPE_CHECKING:
    from dovelkit.alignment.pairwise import PairwiseAlignment


@dataclass(frozen=True)
class Structure:
    """One chain of a structure file: ``chain`` None for the file's first protein chain."""

    path: str
    chain: str | None = None

    def __str__(self) -> str:
        return self.path if self.chain is None else f"{self.path}:{self.chain}"


def parse_structure(text: str) -> Structure:
    """``PATH`` or ``PATH:CHAIN`` as a Structure (a path that exists is never split)."""
    if ":" not in text or os.path.exists(text):
        return Structure(text)
    path, _, chain = text.rpartition(":")
    if not path or not chain or any(c.isspace() for c in chain):
        return Structure(text)  # not a chain suffix: reported as a missing file
    return Structure(path, chain)


def read_pairs(path: PathLike) -> list[tuple[Structure, Structure]]:
    """The pairs listed in a pairs file (see the module's description)."""
    name = os.fspath(path)
    pairs = []
    try:
        with open(name, encoding="utf-8") as fh:
            lines = fh.read().splitlines()
    except UnicodeDecodeError:
        raise UserError(f"{name}: not a text file of structure pairs") from None
    for number, line in enumerate(lines, start=1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        cells = [c.strip() for c in line.split("\t")] if "\t" in line else line.split()
        cells = [c for c in cells if c]
        if len(cells) != 2:
            raise UserError(f"{name} line {number}: expected two structures (A and B), found {len(cells)}")
        pairs.append((parse_structure(cells[0]), parse_structure(cells[1])))
    if not pairs:
        raise UserError(f"{name}: no pairs listed")
    return pairs


def every_pair(structures: Sequence[Structure]) -> list[tuple[Structure, Structure]]:
    """Every pair of distinct positions, in order: (1, 2), (1, 3), ..., (2, 3), ..."""
    import itertools

    return list(itertools.combinations(structures, 2))


# -- the work of one pair (in a worker process, or in this one) -----------------------------------

# Each structure is read once: as a domain (family level) or as plain arrays (fold level).
_loaded: dict[tuple[Structure, bool], Any] = {}


def _load(s: Structure, quick: bool = False, max_size: int | None = None) -> Any:
    got = _loaded.get((s, quick))
    if got is None:
        if quick:
            from dovelkit.alignment.light import read

            got = read(s.path, s.chain, max_size)
        else:
            from dovelkit.io.reading import load

            got = load(s.path, chain=s.chain, max_size=max_size)
        _loaded[(s, quick)] = got
    return got


def align_pair(a: Structure, b: Structure, how: Options, max_size: int | None = None) -> dict[str, Any]:
    """Align B onto A as ``how`` says: one row of the table, JSON-ready (what ``dovel align
    --json`` prints for the pair, with the structures as named under "files")."""
    result: PairwiseAlignment
    if how.fold:  # the fold level needs no domains, so no NumPy (dovelkit.alignment.light)
        from dovelkit.alignment.light import fold_align_read

        result = fold_align_read(_load(a, True, max_size), _load(b, True, max_size))
    else:
        from dovelkit.alignment.pairwise import align

        result = align(_load(a, False, max_size), _load(b, False, max_size), options=how)
    row = result.to_dict()
    row["files"] = {"fixed": str(a), "mobile": str(b)}
    return row


def _task(index: int, a: Structure, b: Structure, how: Options,
          max_size: int | None = None) -> tuple[int, dict[str, Any]]:
    return index, align_pair(a, b, how, max_size)


# Below this many pairs the work is done in this process unless workers are asked for: starting
# worker processes (an interpreter and the extension modules each, ~0.3 s) costs more than a
# second core saves at ~15 ms a pair (benchmarks/bench_many_pairs.py).
SMALL_JOB = 48


def align_pairs(pairs: Sequence[tuple[Structure, Structure]], how: Options | None = None,
                workers: int = 1, progress: Callable[[], None] | None = None,
                max_size: int | None = None) -> list[dict[str, Any]]:
    """Align every pair (B onto A) as ``how`` says (the fold level by default), on ``workers``
    processes (in this one when 1), and return the rows in the order of ``pairs``. ``progress()``
    is called once per pair done. ``max_size`` bounds each file's text as in ``dovelkit.load``.
    The first pair that fails (a file that cannot be read, a missing chain) stops the work and
    raises its error."""
    rows: list[dict[str, Any] | None] = [None] * len(pairs)
    for index, row in _run(pairs, how if how is not None else Options(), min(workers, len(pairs)), max_size):
        rows[index] = row
        if progress is not None:
            progress()
    return [r for r in rows if r is not None]


def align_many(pairs: Sequence[tuple[Structure | PathLike, Structure | PathLike]],
               options: Options | None = None, *, level: str | None = None, method: str | None = None,
               params: Any = None, workers: int | None = None,
               max_size: int | None = None) -> list[dict[str, Any]]:
    """Align each pair (the second structure onto the first) and return one row per pair, in the
    order given: what ``dovel align --json`` prints for the pair (``tsv(rows)`` makes the table of
    ``dovel align --all``). A structure is a
    ``Structure``, or a path optionally followed by ``:CHAIN``. How to align is ``options``, or
    ``level``/``method``/``params`` (the fold level by default). ``workers``: processes (default:
    every core from SMALL_JOB pairs on, this process below that)."""
    from dovelkit.alignment.options import options_of
    from dovelkit.runtime.pools import check_workers, default_workers

    def structure(x: Structure | PathLike) -> Structure:
        return x if isinstance(x, Structure) else parse_structure(os.fspath(x))

    todo = [(structure(a), structure(b)) for a, b in pairs]
    how = options_of(options, level, method, params)
    if workers is None:
        workers = default_workers() if len(todo) >= SMALL_JOB else 1
    return align_pairs(todo, how, check_workers(workers), max_size=max_size)


def _run(pairs: Sequence[tuple[Structure, Structure]], how: Options, workers: int,
         max_size: int | None) -> Iterator[tuple[int, dict[str, Any]]]:
    if workers <= 1:
        for index, (a, b) in enumerate(pairs):
            yield _task(index, a, b, how, max_size)
        return
    from dovelkit.runtime.pools import WorkerPool

    calls = ((_task, (index, a, b, how, max_size), f"aligning {b} onto {a}")
             for index, (a, b) in enumerate(pairs))
    with WorkerPool(workers) as pool:
        for _, result in pool.run(calls):
            yield result


# -- the table ---------------------------------------------------------------------------------

COLUMNS = ("fixed", "mobile", "id_fixed", "id_mobile", "length_fixed", "length_mobile", "n_aligned", "rmsd",
           "score", "seq_identity", "coverage_fixed", "coverage_mobile", "tm_fixed", "tm_mobile")


def _cell(x: Any, digits: int) -> str:
    return "" if x is None else f"{x:.{digits}f}"


def tsv(rows: Sequence[dict[str, Any]]) -> str:
    """The rows as tab-separated values under a header line; an RMSD of nothing aligned is empty."""
    lines = ["\t".join(COLUMNS)]
    for r in rows:
        cells = [r["files"]["fixed"], r["files"]["mobile"], r["fixed"]["id"], r["mobile"]["id"],
                 str(r["fixed"]["length"]), str(r["mobile"]["length"]), str(r["n_aligned"]), _cell(r["rmsd"], 3),
                 _cell(r["score"], 4), _cell(r["seq_identity"], 3), _cell(r["coverage_fixed"], 3),
                 _cell(r["coverage_mobile"], 3), _cell(r["tm_fixed"], 4), _cell(r["tm_mobile"], 4)]
        lines.append("\t".join(printable(c) for c in cells))
    return "\n".join(lines) + "\n"
