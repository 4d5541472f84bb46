"""The fold-level alignment of two structure files without NumPy: what ``dovel align FIXED MOBILE``
shows, so that the command is done before NumPy would have been imported (a tenth of a second).

The chains are read as ``dovelkit.load`` reads them and aligned by the same core function as
``dovelkit.align`` at the fold level, into the same ``PairwiseAlignment``, whose arrays are made
only when asked for: text and JSON need none.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, cast

from dovelkit import _core
from dovelkit.alignment.pairwise import PairwiseAlignment
from dovelkit.io.paths import PathLike
from dovelkit.io.reading import ChainData, domain_id, read_chain

_IDENTITY = [[1.0 if r == c else 0.0 for c in range(4)] for r in range(4)]


@dataclass(frozen=True)
class QuickChain:
    """A chain as read: what a result shows of it."""

    id: str
    chain: str  # the first character of the chain id, as a domain holds it
    sequence: str

    def __len__(self) -> int:
        return len(self.sequence)


Read = tuple[QuickChain, ChainData]


def read(path: PathLike, chain: str | None = None, max_size: int | None = None) -> Read:
    """One chain of a file, read as ``dovelkit.load`` reads it (the same errors)."""
    stem, data = read_chain(path, chain, max_size=max_size)
    return QuickChain(domain_id(stem, data), data.chain[0], data.sequence), data


def fold_align_read(fixed: Read, mobile: Read) -> PairwiseAlignment:
    """The fold-level alignment of two chains read by ``read``, its arrays made only when asked for."""
    (a, data_a), (b, data_b) = fixed, mobile
    r = _core.fold_align(data_a.points(), a.sequence, data_b.points(), b.sequence)
    pairs, distances, matrix = r.as_lists()
    chain_a, chain_b = cast(Any, a), cast(Any, b)  # chains as read stand for the domains
    if not pairs:  # as from_core makes nothing aligned
        return PairwiseAlignment(chain_a, chain_b, [list(row) for row in _IDENTITY], [], [], None, math.inf,
                                 float(r.tm_fixed), float(r.seq_identity), "fold", None, 0.0, 0.0)
    return PairwiseAlignment(chain_a, chain_b, matrix, pairs, distances, None, float(r.rmsd), float(r.tm_fixed),
                             float(r.seq_identity), "fold", None, float(r.tm_fixed), float(r.tm_mobile))


def fold_align_files(fixed: PathLike, mobile: PathLike, chain_fixed: str | None = None,
                     chain_mobile: str | None = None, max_size: int | None = None) -> PairwiseAlignment:
    """Read one chain of each file and align them at the fold level."""
    return fold_align_read(read(fixed, chain_fixed, max_size), read(mobile, chain_mobile, max_size))
