"""Complete pairwise results: one alignment with its superposition, residue pairs and statistics.

:func:`align` runs the alignment ``dovel.pairwise_align`` runs -- in scan mode for chains in any
frames, or directly -- through the kit's own view of the core, which hands out what the module
keeps to itself: the residue pairs of a scan. Every number of the :class:`PairwiseAlignment` it
returns comes from that one alignment, the TM-scores included.

With ``mode="fold"`` it runs the fold-level alignment instead: the alignment of the two chains
that maximises TM-score, the same (transposed) whichever chain is given first.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np

import dovel

from dovelkit import _core
from dovelkit.alignment_view import CLOSE, NEAR, AlignmentView  # noqa: F401 - CLOSE, NEAR: the marks' distances


@dataclass(frozen=True, eq=False)
class PairwiseAlignment(AlignmentView):
    """One pairwise alignment of chain ``mobile`` onto chain ``fixed``.

    ``transform`` maps ``mobile`` from its original frame onto ``fixed``; ``pairs`` lists the
    aligned residues as (index in ``fixed``, index in ``mobile``), 0-based and increasing in both,
    and ``n_aligned`` is their number. ``distances`` are the pairs' C-alpha distances with this
    transform; ``rmsd`` is theirs, and ``seq_identity`` is the fraction of identical residues
    among the pairs flagged in ``core_pairs`` (the alignment's structural core: close pairs with
    close neighbours). Score, RMSD and identity are the numbers ``dovel.pairwise_align`` reports for
    the same alignment. An alignment without pairs (nothing found) has ``rmsd`` +infinity, ``score``
    0 and identity 0.

    ``tm_fixed`` and ``tm_mobile`` are the TM-scores of the pairs, normalised by the length of
    ``fixed`` and of ``mobile``, each under the superposition that maximises it (0.5 and above:
    the same fold). In fold mode (``mode`` "fold") the pairs are the fold-level alignment,
    ``score`` is ``tm_fixed``, every pair is a core pair, ``transform`` (and so ``distances``) is
    the superposition that maximises ``tm_fixed``, and ``rmsd`` is the least-squares RMSD of the
    pairs under their own best fit.

    A family-level alignment that finds nothing is not left blank: ``fold_level`` then holds the
    fold-level alignment of the same chains, the best superposition found, and ``tm_fixed`` and
    ``tm_mobile`` are its TM-scores (the rest stays the module's: no pairs, score 0).

    ``fixed`` and ``mobile`` are the domains given to :func:`align` (not copies); ``mobile`` is
    never moved.
    """

    fixed: dovel.Domain
    mobile: dovel.Domain
    transform: dovel.Transform
    pairs: np.ndarray
    distances: np.ndarray
    core_pairs: np.ndarray  # bool per pair
    rmsd: float
    score: float
    seq_identity: float
    mode: str = field(default="scan")  # "scan", "direct", "quick" (a search hit) or "fold": how it was found
    tm_fixed: float = 0.0
    tm_mobile: float = 0.0
    fold_level: PairwiseAlignment | None = None  # when the family level aligned nothing

    @property
    def n_aligned(self) -> int:
        return int(self.pairs.shape[0])

    def pair_list(self) -> list[list[int]]:
        return list(self.pairs.tolist())

    def distance_list(self) -> list[float]:
        return list(self.distances.tolist())

    def matrix_list(self) -> list[list[float]]:
        return list(self.transform.transformation_matrix().tolist())

    def moved_coordinates(self) -> np.ndarray:
        """``mobile``'s C-alpha coordinates moved onto ``fixed`` by ``transform``."""
        return self.transform.apply(self.mobile.coordinates)

    def __repr__(self) -> str:
        return (f"PairwiseAlignment(fixed='{self.fixed.id}', mobile='{self.mobile.id}', n_aligned={self.n_aligned}, "
                f"rmsd={self.rmsd:.3f}, score={self.score:.4f}, seq_identity={self.seq_identity:.3f}, "
                f"tm_fixed={self.tm_fixed:.4f}, tm_mobile={self.tm_mobile:.4f})")


def settings_of(params: dovel.Parameters | _core.Settings | None) -> _core.Settings:
    """The core's plain-value settings for ``params`` (the defaults for None)."""
    if params is None:
        return _core.Settings()
    if isinstance(params, _core.Settings):
        return params
    if not isinstance(params, dovel.Parameters):
        raise TypeError(f"params must be a dovel.Parameters or None, not {type(params).__name__}")
    return _core.Settings.from_parameters(params)


def transform_of(matrix: np.ndarray) -> dovel.Transform:
    """A ``dovel.Transform`` of a 4x4 matrix, value for value."""
    return dovel.Transform.from_matrix(np.ascontiguousarray(matrix[:3, :3]), np.ascontiguousarray(matrix[:3, 3]))


def from_core(fixed: dovel.Domain, mobile: dovel.Domain, matrix: np.ndarray, pairs: np.ndarray | None,
              distances: np.ndarray | None, core_pairs: np.ndarray | None, rmsd: float, score: float,
              seq_identity: float, mode: str, tm_fixed: float = 0.0, tm_mobile: float = 0.0) -> PairwiseAlignment:
    """A PairwiseAlignment of one alignment of the core: nothing aligned gives RMSD +infinity and the
    identity transform (``mobile`` stays where it is)."""
    if pairs is None or distances is None or core_pairs is None or len(pairs) == 0:
        empty = np.zeros((0, 2), dtype=np.int64)
        none = np.zeros(0, dtype=np.float64)
        flags = np.zeros(0, dtype=bool)
        for a in (empty, none, flags):
            a.setflags(write=False)
        return PairwiseAlignment(fixed, mobile, dovel.Transform(), empty, none, flags, math.inf, float(score),
                                 float(seq_identity), mode, 0.0, 0.0)
    flags = np.asarray(core_pairs, dtype=bool)
    flags.setflags(write=False)
    return PairwiseAlignment(fixed, mobile, transform_of(matrix), pairs, distances, flags, float(rmsd),
                             float(score), float(seq_identity), mode, float(tm_fixed), float(tm_mobile))


MODES = ("family", "fold")


def check_mode(mode: object) -> str:
    """``mode`` itself when it is "family" or "fold"; ValueError otherwise."""
    if mode not in MODES:
        raise ValueError(f"mode must be 'family' or 'fold', not {mode!r}")
    return str(mode)


def fold_align(fixed: dovel.Domain, mobile: dovel.Domain) -> PairwiseAlignment:
    """The fold-level alignment of ``mobile`` onto ``fixed`` (``mode`` "fold", ``score`` its TM-score
    normalised by ``fixed``)."""
    r = _core.fold_align(fixed.coordinates, fixed.sequence, mobile.coordinates, mobile.sequence)
    pairs = r.pairs
    flags = np.ones(len(pairs), dtype=bool)
    return from_core(fixed, mobile, r.transform, pairs, r.distances, flags, r.rmsd, r.tm_fixed, r.seq_identity,
                     "fold", r.tm_fixed, r.tm_mobile)


def align(fixed: dovel.Domain, mobile: dovel.Domain, params: dovel.Parameters | None = None,
          scan: bool = True, mode: str = "family") -> PairwiseAlignment:
    """Align chain ``mobile`` onto chain ``fixed`` and return the complete result.

    ``mode="family"`` (the default) runs the module's method. With ``scan`` (the default) the
    chains may lie in any frames: the alignment is the one the scan-mode ``dovel.pairwise_align``
    makes, with its pairs. With ``scan=False`` it is the direct ``dovel.pairwise_align`` from the
    frames as given: the chains must already be roughly superposed. Score, RMSD, identity and
    transform are those the module reports, bit for bit, and the TM-scores are those of its pairs.
    When the module aligns nothing, the result also carries the fold-level alignment of the chains
    (``fold_level``) and its TM-scores (see :class:`PairwiseAlignment`).

    ``mode="fold"`` aligns at the fold level: the alignment that maximises TM-score, whatever the
    frames (``params`` and ``scan`` are not used). ``align(a, b)`` and ``align(b, a)`` then give
    the same pairs, transposed, and the same TM-scores, swapped. Every pair of non-empty chains
    gets a result, however weak.

    Raises TypeError for arguments of the wrong type and ValueError for a mode other than
    "family" and "fold" or when the engine fails.
    """
    if not isinstance(fixed, dovel.Domain):
        raise TypeError(f"fixed must be a dovel.Domain, not {type(fixed).__name__}")
    if not isinstance(mobile, dovel.Domain):
        raise TypeError(f"mobile must be a dovel.Domain, not {type(mobile).__name__}")
    if check_mode(mode) == "fold":
        settings_of(params)  # the same TypeError for a wrong params in either mode
        return fold_align(fixed, mobile)
    settings = settings_of(params)
    r = _core.align_pair(fixed.coordinates, fixed.sequence, mobile.coordinates, mobile.sequence, settings,
                         scan=bool(scan))
    if len(r.pairs) == 0:
        blank = from_core(fixed, mobile, r.transform, r.pairs, r.distances, r.core_pairs, r.rmsd, r.score,
                          r.seq_identity, "scan" if scan else "direct")
        if not (len(fixed) and len(mobile)):
            return blank
        # Nothing at the family level: the best superposition found at the fold level, with its TM-scores.
        found = fold_align(fixed, mobile)
        return replace(blank, tm_fixed=found.tm_fixed, tm_mobile=found.tm_mobile, fold_level=found)
    tm = _core.tm_score(fixed.coordinates, mobile.coordinates, r.pairs)
    return from_core(fixed, mobile, r.transform, r.pairs, r.distances, r.core_pairs, r.rmsd, r.score,
                     r.seq_identity, "scan" if scan else "direct", tm.tm_fixed, tm.tm_mobile)
