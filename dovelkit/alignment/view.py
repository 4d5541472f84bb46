"""What every pairwise result shows -- sizes, coverage, the aligned sequences, the JSON summary --
from plain values, so that it needs no NumPy: ``PairwiseAlignment`` (dovelkit.alignment.pairwise) and the
command's quick fold-level result (dovelkit.alignment.light) both show themselves through it."""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from typing import Any, Protocol


def json_number(x: float | None) -> float | None:
    """``x`` as a JSON number: None (null) for None and for a non-finite value."""
    return float(x) if x is not None and math.isfinite(x) else None

# Marks of the middle line of text(): a pair whose C-alpha atoms lie within CLOSE of each other
# after the superposition gets ':', within NEAR '.', farther pairs and gaps ' '.
CLOSE = 3.0
NEAR = 5.0


def alignment_columns(pairs: Iterable[Sequence[int]], len_a: int, len_b: int) -> list[tuple[int | None, int | None]]:
    """The columns of a pairwise alignment: every residue of both chains once, in order, the pairs
    ((index in a, index in b), both rising) and each chain's unpaired residues against a gap
    (those of a before those of b between two pairs)."""
    cols: list[tuple[int | None, int | None]] = []
    i = j = 0
    for pi, pj in pairs:
        pi, pj = int(pi), int(pj)
        cols.extend((k, None) for k in range(i, pi))
        cols.extend((None, k) for k in range(j, pj))
        cols.append((pi, pj))
        i, j = pi + 1, pj + 1
    cols.extend((k, None) for k in range(i, len_a))
    cols.extend((None, k) for k in range(j, len_b))
    return cols


class Chain(Protocol):
    """What a result shows of a chain (a ``dovel.Domain`` has it)."""

    @property
    def id(self) -> str: ...
    @property
    def chain(self) -> str: ...
    @property
    def sequence(self) -> str: ...
    def __len__(self) -> int: ...


class AlignmentView:
    """Shown by a result that has ``fixed``, ``mobile``, ``rmsd``, ``score``, ``seq_identity``,
    ``level``, ``method``, ``tm_fixed``, ``tm_mobile``, ``fold_level`` and gives its pairs, distances and 4x4
    transform as lists (``pair_list``, ``distance_list``, ``matrix_list``)."""

    fixed: Chain
    mobile: Chain
    rmsd: float
    score: float
    seq_identity: float
    level: str
    method: str | None
    tm_fixed: float
    tm_mobile: float
    fold_level: AlignmentView | None

    def pair_list(self) -> list[list[int]]:
        raise NotImplementedError

    def distance_list(self) -> list[float]:
        raise NotImplementedError

    def matrix_list(self) -> list[list[float]]:
        raise NotImplementedError

    @property
    def n_aligned(self) -> int:
        return len(self.pair_list())

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

    def _columns(self) -> list[tuple[int | None, int | None]]:
        return alignment_columns(self.pair_list(), self.len_fixed, self.len_mobile)

    def gapped_sequences(self) -> tuple[str, str]:
        """Both sequences in full, with '-' where the other chain has a residue that is not paired."""
        seq_a, seq_b = self.fixed.sequence, self.mobile.sequence
        cols = self._columns()
        return ("".join("-" if i is None else seq_a[i] for i, _ in cols),
                "".join("-" if j is None else seq_b[j] for _, j in cols))

    def _marks(self) -> str:
        dist = {int(i): float(d) for (i, _), d in zip(self.pair_list(), self.distance_list())}
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
            "level": self.level,
            "method": self.method,
            "n_aligned": self.n_aligned,
            "rmsd": json_number(self.rmsd),
            "score": json_number(self.score),
            "seq_identity": json_number(self.seq_identity),
            "tm_fixed": json_number(self.tm_fixed),
            "tm_mobile": json_number(self.tm_mobile),
            "coverage_fixed": self.coverage_fixed,
            "coverage_mobile": self.coverage_mobile,
            "transform": self.matrix_list(),
            "pairs": self.pair_list(),
            "distances": [float(d) for d in self.distance_list()],
            "fold_level": None if self.fold_level is None else self.fold_level.to_dict(),
        }
