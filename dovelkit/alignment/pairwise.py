"""Complete pairwise results: one alignment with its superposition, residue pairs and statistics.

:func:`align` runs the alignment ``dovel.pairwise_align`` runs -- in scan mode for chains in any
frames, or directly -- through the kit's own view of the core, which hands out what the module
keeps to itself: the residue pairs of a scan. Every number of the :class:`PairwiseAlignment` it
returns comes from that one alignment, the TM-scores included.

At the fold level (the default, ``level="fold"``) it runs the fold-level alignment: the alignment
of the two chains that maximises TM-score, the same (transposed) whichever chain is given first.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any

import dovel

from dovelkit import _core
from dovelkit.alignment.options import Options, options_of
from dovelkit.alignment.view import CLOSE, NEAR, AlignmentView  # noqa: F401 - CLOSE, NEAR: the marks' distances

if TYPE_CHECKING:
    import numpy as np


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
    the same fold). ``level`` ("fold" or "family") and ``method`` (at the family level "scan",
    "direct" or "quick"; None at the fold level) say how it was found. At the fold level the pairs
    are the fold-level alignment,
    ``score`` is ``tm_fixed``, every pair is a core pair, ``transform`` (and so ``distances``) is
    the superposition that maximises ``tm_fixed``, and ``rmsd`` is the least-squares RMSD of the
    pairs under their own best fit.

    A family-level alignment that finds nothing is not left blank: ``fold_level`` then holds the
    fold-level alignment of the same chains, the best superposition found, and ``tm_fixed`` and
    ``tm_mobile`` are its TM-scores (the rest stays the module's: no pairs, score 0).

    ``fixed`` and ``mobile`` are the domains given to :func:`align` (not copies); ``mobile`` is
    never moved. (``dovel align`` at the fold level reads its chains without making domains, and
    its results hold the chains as read: id, chain and sequence.)

    The arrays are made on first use: a result made from plain lists (the command's NumPy-free
    path) shows itself -- text, JSON, FASTA -- without NumPy.
    """

    fixed: dovel.Domain
    mobile: dovel.Domain
    _transform: Any  # a dovel.Transform, or its 4x4 matrix as lists
    _pairs: Any  # (n, 2) int64 array, or lists
    _distances: Any  # float64 array, or a list
    _core_pairs: Any  # bool array; None: every pair is a core pair
    rmsd: float
    score: float
    seq_identity: float
    level: str = "family"
    method: str | None = "scan"
    tm_fixed: float = 0.0
    tm_mobile: float = 0.0
    fold_level: PairwiseAlignment | None = None  # when the family level aligned nothing

    @property
    def transform(self) -> dovel.Transform:
        """Maps ``mobile`` from its original frame onto ``fixed``."""
        if not isinstance(self._transform, dovel.Transform):
            import numpy as np

            object.__setattr__(self, "_matrix", self._transform)
            object.__setattr__(self, "_transform", transform_of(np.array(self._transform, dtype=np.float64)))
        transform: dovel.Transform = self._transform
        return transform

    @property
    def pairs(self) -> np.ndarray:
        """(index in ``fixed``, index in ``mobile``) of each aligned pair, int64, read-only."""
        return self._array("_pairs", "int64", (-1, 2))

    @property
    def distances(self) -> np.ndarray:
        """The pairs' C-alpha distances under ``transform`` (float64, read-only)."""
        return self._array("_distances", "float64", (-1,))

    @property
    def core_pairs(self) -> np.ndarray:
        """Whether each pair is in the alignment's structural core (bool, read-only)."""
        if self._core_pairs is None:
            import numpy as np

            object.__setattr__(self, "_core_pairs", np.ones(self.n_aligned, dtype=bool))
        return self._array("_core_pairs", "bool", (-1,))

    def _array(self, name: str, dtype: str, shape: tuple[int, ...]) -> np.ndarray:
        import numpy as np

        value: np.ndarray = getattr(self, name)
        if not isinstance(value, np.ndarray):
            value = np.array(value, dtype=dtype).reshape(shape)
            value.setflags(write=False)
            object.__setattr__(self, name, value)
        return value

    @property
    def n_aligned(self) -> int:
        return len(self._pairs)

    def pair_list(self) -> list[list[int]]:
        return self._pairs if isinstance(self._pairs, list) else list(self._pairs.tolist())

    def distance_list(self) -> list[float]:
        return self._distances if isinstance(self._distances, list) else list(self._distances.tolist())

    def matrix_list(self) -> list[list[float]]:
        matrix = getattr(self, "_matrix", None)
        if matrix is None and not isinstance(self._transform, dovel.Transform):
            matrix = self._transform
        if matrix is not None:
            return list(matrix)
        return list(self._transform.transformation_matrix().tolist())

    def moved_coordinates(self) -> np.ndarray:  # a domain's
        """``mobile``'s C-alpha coordinates moved onto ``fixed`` by ``transform``."""
        return self.transform.apply(self.mobile.coordinates)

    @property
    def mode(self) -> str:
        """Deprecated: ``level`` and ``method``."""
        import warnings

        warnings.warn("PairwiseAlignment.mode is deprecated; use level and method", DeprecationWarning, stacklevel=2)
        return self.method or self.level

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
    import numpy as np

    return dovel.Transform.from_matrix(np.ascontiguousarray(matrix[:3, :3]), np.ascontiguousarray(matrix[:3, 3]))


def from_core(fixed: dovel.Domain, mobile: dovel.Domain, matrix: np.ndarray, pairs: np.ndarray | None,
              distances: np.ndarray | None, core_pairs: np.ndarray | None, rmsd: float, score: float,
              seq_identity: float, how: Options, tm_fixed: float = 0.0, tm_mobile: float = 0.0) -> PairwiseAlignment:
    """A PairwiseAlignment of one alignment of the core, made as ``how`` says: nothing aligned gives
    RMSD +infinity and the identity transform (``mobile`` stays where it is)."""
    import numpy as np

    level, method = str(how.level), how.method
    if pairs is None or distances is None or core_pairs is None or len(pairs) == 0:
        empty = np.zeros((0, 2), dtype=np.int64)
        none = np.zeros(0, dtype=np.float64)
        flags = np.zeros(0, dtype=bool)
        for a in (empty, none, flags):
            a.setflags(write=False)
        return PairwiseAlignment(fixed, mobile, dovel.Transform(), empty, none, flags, math.inf, float(score),
                                 float(seq_identity), level, method, 0.0, 0.0)
    flags = np.asarray(core_pairs, dtype=bool)
    flags.setflags(write=False)
    return PairwiseAlignment(fixed, mobile, transform_of(matrix), pairs, distances, flags, float(rmsd),
                             float(score), float(seq_identity), level, method, float(tm_fixed), float(tm_mobile))


_FOLD = Options("fold")


def fold_align(fixed: dovel.Domain, mobile: dovel.Domain) -> PairwiseAlignment:
    """The fold-level alignment of ``mobile`` onto ``fixed`` (``score`` its TM-score normalised by
    ``fixed``)."""
    import numpy as np

    r = _core.fold_align(fixed.coordinates, fixed.sequence, mobile.coordinates, mobile.sequence)
    pairs = r.pairs
    flags = np.ones(len(pairs), dtype=bool)
    return from_core(fixed, mobile, r.transform, pairs, r.distances, flags, r.rmsd, r.tm_fixed, r.seq_identity,
                     _FOLD, r.tm_fixed, r.tm_mobile)


def align(fixed: dovel.Domain, mobile: dovel.Domain, params: dovel.Parameters | None = None,
          scan: bool | None = None, mode: str | None = None, *, level: str | None = None,
          method: str | None = None, options: Options | None = None) -> PairwiseAlignment:
    """Align chain ``mobile`` onto chain ``fixed`` and return the complete result.

    How is ``options`` (a ``dovelkit.Options``), or ``level``, ``method`` and ``params`` as there:
    the fold level by default, the family level when asked for or when a method or parameters are
    given.

    At the fold level the alignment is the one that maximises TM-score, whatever the frames.
    ``align(a, b)`` and ``align(b, a)`` give the same pairs, transposed, and the same TM-scores,
    swapped. Every pair of non-empty chains gets a result, however weak.

    At the family level (``level="family"``) it runs the module's method. ``method="scan"`` (the
    default): the chains may lie in any frames, and the alignment is the one the scan-mode
    ``dovel.pairwise_align`` makes, with its pairs. ``method="direct"``: the direct
    ``dovel.pairwise_align`` from the frames as given (the chains must already be roughly
    superposed). Score, RMSD, identity and transform are those the module reports, bit for bit,
    and the TM-scores are those of its pairs. When the module aligns nothing, the result also
    carries the fold-level alignment of the chains (``fold_level``) and its TM-scores (see
    :class:`PairwiseAlignment`). ``method="quick"`` is a choice of the search only.

    ``mode`` (a level) and ``scan`` (``method`` "scan" or "direct") are deprecated aliases.

    Raises TypeError for arguments of the wrong type and ValueError for an unknown level or method
    or when the engine fails.
    """
    if not isinstance(fixed, dovel.Domain):
        raise TypeError(f"fixed must be a dovel.Domain, not {type(fixed).__name__}")
    if not isinstance(mobile, dovel.Domain):
        raise TypeError(f"mobile must be a dovel.Domain, not {type(mobile).__name__}")
    how = options_of(options, level, method, params, mode=mode, scan=scan)
    if how.fold:
        return fold_align(fixed, mobile)
    if how.quick:
        raise ValueError("method 'quick' is a choice of the search; a pairwise alignment is 'scan' or 'direct'")
    r = _core.align_pair(fixed.coordinates, fixed.sequence, mobile.coordinates, mobile.sequence, how.settings(),
                         scan=how.scan_mode)
    if len(r.pairs) == 0:
        blank = from_core(fixed, mobile, r.transform, r.pairs, r.distances, r.core_pairs, r.rmsd, r.score,
                          r.seq_identity, how)
        if not (len(fixed) and len(mobile)):
            return blank
        # Nothing at the family level: the best superposition found at the fold level, with its TM-scores.
        found = fold_align(fixed, mobile)
        return replace(blank, tm_fixed=found.tm_fixed, tm_mobile=found.tm_mobile, fold_level=found)
    tm = _core.tm_score(fixed.coordinates, mobile.coordinates, r.pairs)
    return from_core(fixed, mobile, r.transform, r.pairs, r.distances, r.core_pairs, r.rmsd, r.score,
                     r.seq_identity, how, tm.tm_fixed, tm.tm_mobile)
