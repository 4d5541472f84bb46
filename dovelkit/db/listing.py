"""Which hits of a search are listed by default: the rule of ``dovel search``, shared by the
command and the benchmarks."""

from __future__ import annotations

from typing import Any

from dovelkit.db.statistics import FOLD_LIST_E as FOLD_LIST_E


def listed(hit: Any, level: str, max_e: float = FOLD_LIST_E) -> bool:
    """Whether ``hit`` is listed without --all: it aligned something (family level: score above
    0, which ranks it above those with nothing aligned) or, at the fold level where every target
    aligns, its E-value is below ``max_e`` (--evalue)."""
    if level == "fold":
        return hit.e_value is not None and bool(hit.e_value < max_e)
    return bool(hit.score > 0)
