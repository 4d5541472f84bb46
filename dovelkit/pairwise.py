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
from dovelkit.formatting import json_number

# Marks of the middle line of PairwiseAlignment.text(): a pair whose C-alpha atoms lie within
# CLOSE of each other after the superposition gets ':', within NEAR '.', farther pairs and gaps ' '.
CLOSE = 3.0
NEAR = 5.0


@dataclass(frozen=True, eq=False)
class PairwiseAlignment:
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

    @property
    def len_fixed(self) -> int:
        return len(self.fixed)

    @property
    def len_mobile(self) -> int:
        return len(self.mobile)

    @property
    def coverage_fixed(self) -> float:
        return self.n_aligned / self.len_fixed if self.len_fixed else 0.0

    @property
    def coverage_mobile(self) -> float:
        return self.n_aligned / self.len_mobile if self.len_mobile else 0.0

    def moved_coordinates(self) -> np.ndarray:
        """``mobile``'s C-alpha coordinates moved onto ``fixed`` by ``transform``."""
        return self.transform.apply(self.mobile.coordinates)

    def __repr__(self) -> str:
        return (f"PairwiseAlignment(fixed='{self.fixed.id}', mobile='{self.mobile.id}', n_aligned={self.n_aligned}, "
                f"rmsd={self.rmsd:.3f}, score={self.score:.4f}, seq_identity={self.seq_identity:.3f}, "
                f"tm_fixed={self.tm_fixed:.4f}, tm_mobile={self.tm_mobile:.4f})")

    # ------------------------------------------------------------------ the aligned sequences

    def _columns(self) -> list[tuple[int | None, int | None]]:
        """Every residue of both chains once, in order: pairs, and each chain's unpaired residues
        against a gap (those of ``fixed`` before those of ``mobile`` between two pairs)."""
        cols: list[tuple[int | None, int | None]] = []
        i = j = 0
        for pi, pj in self.pairs.tolist():
            cols.extend((k, None) for k in range(i, pi))
            cols.extend((None, k) for k in range(j, pj))
            cols.append((pi, pj))
            i, j = pi + 1, pj + 1
        cols.extend((k, None) for k in range(i, self.len_fixed))
        cols.extend((None, k) for k in range(j, self.len_mobile))
        return cols

    def gapped_sequences(self) -> tuple[str, str]:
        """Both sequences in full, with '-' where the other chain has a residue that is not paired."""
        seq_a, seq_b = self.fixed.sequence, self.mobile.sequence
        cols = self._columns()
        return ("".join("-" if i is None else seq_a[i] for i, _ in cols),
                "".join("-" if j is None else seq_b[j] for _, j in cols))

    def _marks(self) -> str:
        dist = {int(i): float(d) for (i, _), d in zip(self.pairs.tolist(), self.distances)}
        out = []
        for i, j in self._columns():
            if i is None or j is None:
                out.append(" ")
            else:
                d = dist[i]
                out.append(":" if d <= CLOSE else "." if d <= NEAR else " ")
        return "".join(out)

    def text(self, width: int = 60) -> str:
        """The two sequences aligned with gaps ('-'), in blocks of ``width`` columns.

        Each block shows ``fixed``'s line, a marks line and ``mobile``'s line; every sequence line starts
        with the 1-based number of its first residue in the block and ends with that of its last.
        Marks: ':' a pair whose C-alpha atoms are at most 3.0 Å apart after the superposition,
        '.' at most 5.0 Å, blank for a farther pair or a gap.
        """
        if isinstance(width, bool) or not isinstance(width, int) or width < 1:
            raise ValueError(f"width must be a positive int, not {width!r}")
        line_a, line_b = self.gapped_sequences()
        marks = self._marks()
        name_a, name_b = self.fixed.id or "fixed", self.mobile.id or "mobile"
        name_w = max(len(name_a), len(name_b))
        num_w = len(str(max(self.len_fixed, self.len_mobile, 1)))
        blocks = []
        next_a = next_b = 1  # 1-based number of the next residue of each chain
        for start in range(0, len(line_a), width):
            chunk_a, chunk_b = line_a[start:start + width], line_b[start:start + width]
            rows = []
            for name, chunk, first in ((name_a, chunk_a, next_a), (name_b, chunk_b, next_b)):
                count = len(chunk) - chunk.count("-")
                last = first + count - 1 if count else first - 1
                rows.append(f"{name:<{name_w}} {first:>{num_w}} {chunk} {last}")
            mid = f"{'':<{name_w}} {'':>{num_w}} {marks[start:start + width]}"
            next_a += len(chunk_a) - chunk_a.count("-")
            next_b += len(chunk_b) - chunk_b.count("-")
            blocks.append("\n".join([rows[0], mid, rows[1]]))
        legend = f"(':' C-alpha pair within {CLOSE:.1f} A, '.' within {NEAR:.1f} A)"
        return "\n\n".join(blocks + [legend]) + "\n"

    def to_fasta(self, width: int = 60) -> str:
        """The pair as aligned FASTA: both full sequences with gaps, lines of ``width`` characters."""
        out = []
        for name, seq in zip((self.fixed.id or "fixed", self.mobile.id or "mobile"), self.gapped_sequences()):
            out.append(f">{name}")
            out.extend(seq[k:k + width] for k in range(0, len(seq), width))
        return "\n".join(out) + "\n"

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready summary: the two chains, the statistics, the pairs with their distances and
        the 4x4 transform (non-finite numbers become None)."""
        return {
            "fixed": {"id": self.fixed.id, "chain": self.fixed.chain, "length": self.len_fixed},
            "mobile": {"id": self.mobile.id, "chain": self.mobile.chain, "length": self.len_mobile},
            "mode": self.mode,
            "n_aligned": self.n_aligned,
            "rmsd": json_number(self.rmsd),
            "score": json_number(self.score),
            "seq_identity": json_number(self.seq_identity),
            "tm_fixed": json_number(self.tm_fixed),
            "tm_mobile": json_number(self.tm_mobile),
            "coverage_fixed": self.coverage_fixed,
            "coverage_mobile": self.coverage_mobile,
            "transform": self.transform.transformation_matrix().tolist(),
            "pairs": self.pairs.tolist(),
            "distances": [float(d) for d in self.distances],
            "fold_level": None if self.fold_level is None else self.fold_level.to_dict(),
        }


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
