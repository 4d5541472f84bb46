"""dovelkit: protein structures as users have them, for the ``dovel`` alignment module.

``dovel`` aligns C-alpha structures; ``dovelkit`` brings it the files people actually have
(PDB and mmCIF, plain or gzip-compressed), complete pairwise results, whole-structure output in
any format, a structure database with parallel and cluster search, and the ``dovel`` command.

The names below are imported on first use, so ``import dovelkit`` costs next to nothing and a
program pays only for what it touches (the database brings pyarrow, the reports plotly).
"""

from __future__ import annotations

import dovelkit._startup  # noqa: F401 - first: Ctrl-C while the command starts
import importlib
import sys
import types
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from dovelkit.clustering import Clustering as Clustering
    from dovelkit.clustering import cluster as cluster
    from dovelkit.database import Database as Database
    from dovelkit.multiple import MultipleAlignment as MultipleAlignment
    from dovelkit.multiple import msa as msa
    from dovelkit.pairwise import PairwiseAlignment as PairwiseAlignment
    from dovelkit.pairwise import align as align
    from dovelkit.presets import parameters as parameters
    from dovelkit.reading import load as load
    from dovelkit.reading import load_chains as load_chains
    from dovelkit.report import Report as Report
    from dovelkit.report import msa_report as msa_report
    from dovelkit.report import pairwise_report as pairwise_report
    from dovelkit.report import search_report as search_report
    from dovelkit.search import Hit as Hit
    from dovelkit.search import search as search
    from dovelkit.search import search_many as search_many
    from dovelkit.writing import write_moved as write_moved

    __version__: str

# Each top-level name and the module that defines it.
_HOME = {
    "Clustering": "dovelkit.clustering",
    "Database": "dovelkit.database",
    "Hit": "dovelkit.search",
    "MultipleAlignment": "dovelkit.multiple",
    "PairwiseAlignment": "dovelkit.pairwise",
    "Report": "dovelkit.report",
    "align": "dovelkit.pairwise",
    "cluster": "dovelkit.clustering",
    "load": "dovelkit.reading",
    "load_chains": "dovelkit.reading",
    "msa": "dovelkit.multiple",
    "msa_report": "dovelkit.report",
    "pairwise_report": "dovelkit.report",
    "parameters": "dovelkit.presets",
    "search": "dovelkit.search",
    "search_many": "dovelkit.search",
    "search_report": "dovelkit.report",
    "write_moved": "dovelkit.writing",
}

__all__ = ["__version__", *sorted(_HOME, key=lambda n: (n[0].islower(), n))]


def __getattr__(name: str) -> Any:
    if name == "__version__":
        import dovel

        value: Any = dovel.__version__
    elif name in _HOME:
        value = getattr(importlib.import_module(_HOME[name]), name)
    else:
        raise AttributeError(f"module 'dovelkit' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


class _Package(types.ModuleType):
    """``dovelkit.search`` is the search function, as it has always been, although a module of the
    same name defines it: importing that module must not put the module in the function's place."""

    def __setattr__(self, name: str, value: Any) -> None:
        if name == "search" and isinstance(value, types.ModuleType):
            return
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package
