"""How numbers and hits are written, the same in the commands' output and in the reports.

"Nothing aligned" has one value: an RMSD of +infinity, written "-" in text and null in JSON.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Protocol

from dovelkit.alignment.view import json_number as json_number
from dovelkit.io.paths import printable as printable


def number(x: float | None, digits: int) -> str:
    """``x`` with ``digits`` decimals; "-" for None and for a non-finite value (nothing aligned, no
    Z-score)."""
    if x is None or not math.isfinite(x):
        return "-"
    return f"{x:.{digits}f}"


def expected(x: float | None) -> str:
    """An E-value with two significant digits ("3.2e-05", "0.41", "12"); "-" for None."""
    if x is None or not math.isfinite(x):
        return "-"
    return f"{x:.2g}"


class HitLike(Protocol):
    rank: int
    id: str
    score: float
    rmsd: float
    n_aligned: int
    seq_identity: float
    z_score: float | None
    tm_query: float
    tm_target: float
    source: str
    chain: str


# The columns of a hit table; "id" and "source" are left-aligned, the others right-aligned.
HIT_COLUMNS = ("rank", "id", "score", "tm_query", "tm_target", "z_score", "e_value", "rmsd", "n_aligned",
               "seq_identity", "chain", "source")
LEFT_COLUMNS = frozenset({"id", "chain", "source"})


def hit_cells(hit: HitLike) -> list[str]:
    """The cells of one hit in the order of HIT_COLUMNS."""
    return [str(hit.rank), printable(hit.id), number(hit.score, 4), number(hit.tm_query, 4), number(hit.tm_target, 4),
            number(hit.z_score, 2), expected(getattr(hit, "e_value", None)), number(hit.rmsd, 3),
            str(hit.n_aligned), number(hit.seq_identity, 3), printable(hit.chain or "-"), printable(hit.source or "-")]


def hit_table(hits: Sequence[HitLike], after_row: Sequence[str] | None = None) -> str:
    """The hits as an aligned text table with a header line, best first ("no hits" for none).
    ``after_row[k]``, when given, is a line printed under the row of hit k."""
    if not hits:
        return "no hits\n"
    rows = [list(HIT_COLUMNS)] + [hit_cells(h) for h in hits]
    widths = [max(len(r[c]) for r in rows) for c in range(len(HIT_COLUMNS))]
    out = []
    for k, r in enumerate(rows):
        cells = [v.ljust(w) if HIT_COLUMNS[c] in LEFT_COLUMNS else v.rjust(w)
                 for c, (v, w) in enumerate(zip(r, widths))]
        out.append("  ".join(cells).rstrip())
        if after_row is not None and k > 0:
            out.append(after_row[k - 1])
    return "\n".join(out) + "\n"
