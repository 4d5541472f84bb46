"""The fold-level alignment of two structure files without NumPy: what ``dovel align FIXED MOBILE``
shows, so that the command is done before NumPy would have been imported (a tenth of a second).

The chains are read as ``dovelkit.load`` reads them and aligned by the same core function as
``dovelkit.align(..., mode="fold")``; the result shows itself as a ``PairwiseAlignment`` does
(text, JSON), number for number.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from dovelkit import _core
from dovelkit.alignment_view import AlignmentView
from dovelkit.paths import PathLike
from dovelkit.reading import ChainData, domain_id, read_chain

_IDENTITY = [[1.0 if r == c else 0.0 for c in range(4)] for r in range(4)]


@dataclass(frozen=True)
class QuickChain:
    """A chain as read: what a result shows of it."""

    id: str
    chain: str  # the first character of the chain id, as a domain holds it
    sequence: str

    def __len__(self) -> int:
        return len(self.sequence)


@dataclass(frozen=True, eq=False)
class QuickAlignment(AlignmentView):
    """The fold-level alignment of ``mobile`` onto ``fixed`` (see ``PairwiseAlignment``)."""

    fixed: QuickChain
    mobile: QuickChain
    pairs: list[list[int]]
    distances: list[float]
    matrix: list[list[float]]
    rmsd: float
    score: float
    seq_identity: float
    tm_fixed: float
    tm_mobile: float
    mode: str = "fold"
    fold_level: AlignmentView | None = None

    def pair_list(self) -> list[list[int]]:
        return self.pairs

    def distance_list(self) -> list[float]:
        return self.distances

    def matrix_list(self) -> list[list[float]]:
        return self.matrix


Read = tuple[QuickChain, ChainData]


def read(path: PathLike, chain: str | None = None, max_size: int | None = None) -> Read:
    """One chain of a file, read as ``dovelkit.load`` reads it (the same errors)."""
    stem, data = read_chain(path, chain, max_size=max_size)
    return QuickChain(domain_id(stem, data), data.chain[0], data.sequence), data


def fold_align_read(fixed: Read, mobile: Read) -> QuickAlignment:
    """The fold-level alignment of two chains read by ``read``."""
    (a, data_a), (b, data_b) = fixed, mobile
    r = _core.fold_align(data_a.points(), a.sequence, data_b.points(), b.sequence)
    pairs, distances, matrix = r.as_lists()
    if not pairs:  # as a PairwiseAlignment shows nothing aligned
        return QuickAlignment(a, b, [], [], [list(row) for row in _IDENTITY], math.inf, float(r.tm_fixed),
                              float(r.seq_identity), 0.0, 0.0)
    return QuickAlignment(a, b, pairs, distances, matrix, float(r.rmsd), float(r.tm_fixed), float(r.seq_identity),
                          float(r.tm_fixed), float(r.tm_mobile))


def fold_align_files(fixed: PathLike, mobile: PathLike, chain_fixed: str | None = None,
                     chain_mobile: str | None = None, max_size: int | None = None) -> QuickAlignment:
    """Read one chain of each file and align them at the fold level."""
    return fold_align_read(read(fixed, chain_fixed, max_size), read(mobile, chain_mobile, max_size))
