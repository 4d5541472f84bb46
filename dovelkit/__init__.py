"""dovelkit: protein structures as users have them, for the ``dovel`` alignment module.

``dovel`` aligns C-alpha structures; ``dovelkit`` brings it the files people actually have
(PDB and mmCIF, plain or gzip-compressed), complete pairwise results, whole-structure output in
any format, a structure database with parallel and cluster search, and the ``dovel`` command.
"""

from __future__ import annotations

import dovelkit._startup  # noqa: F401 - first: Ctrl-C while the command starts
import dovel

from dovelkit.database import Database
from dovelkit.multiple import MultipleAlignment, msa
from dovelkit.pairwise import PairwiseAlignment, align
from dovelkit.presets import parameters
from dovelkit.reading import load, load_chains
from dovelkit.report import Report, msa_report, pairwise_report, search_report
from dovelkit.search import Hit, search
from dovelkit.writing import write_moved

__version__ = dovel.__version__

__all__ = [
    "__version__",
    "Database",
    "Hit",
    "MultipleAlignment",
    "PairwiseAlignment",
    "Report",
    "align",
    "load",
    "load_chains",
    "msa",
    "msa_report",
    "pairwise_report",
    "parameters",
    "search",
    "search_report",
    "write_moved",
]
