"""dovelkit: protein structures as users have them, for the ``dovel`` alignment module.

``dovel`` aligns C-alpha structures; ``dovelkit`` brings it the files people actually have
(PDB and mmCIF, plain or gzip-compressed), complete pairwise results, whole-structure output in
any format, a structure database with parallel and cluster search, and the ``dovel`` command.

The names below are imported on first use, so ``import dovelkit`` costs next to nothing and a
program pays only for what it touches (the database brings pyarrow, the reports plotly).

The package is cut in layers, lowest first; a module imports only from its own layer or lower
ones, and never names a higher one, not even as a string (tests/kit/test_layers.py):

- ``_startup``, ``errors``, ``_core`` (the extension): below everything;
- ``runtime``: where work runs (worker pools, calls here / on workers / on Dask, progress);
- ``io``: files (paths, reading, writing, atomic output, collections of inputs);
- ``alignment``: how to align (``Options``), pairwise, multiple and many alignments, their view;
- ``db``: the database, its search (prefilter, align, merge stages; the engine), the listing rule;
- ``report``: reports, figures, formatting;
- ``cli``: the ``dovel`` command; above it only this package's own ``__init__`` and ``__main__``.

How to align has one vocabulary everywhere: ``level`` ("fold", the default, or "family") and, at
the family level, ``method`` ("scan", the default; "direct": no superposition search; "quick").
"""

from __future__ import annotations

import dovelkit._startup  # noqa: F401 - first: Ctrl-C while the command starts
import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from dovelkit.db.clustering import Clustering as Clustering
    from dovelkit.db.clustering import cluster as cluster
    from dovelkit.db.store import Database as Database
    from dovelkit.alignment.multiple import MultipleAlignment as MultipleAlignment
    from dovelkit.alignment.multiple import msa as msa
    from dovelkit.alignment.pairwise import PairwiseAlignment as PairwiseAlignment
    from dovelkit.alignment.pairwise import align as align
    from dovelkit.alignment.complexes import ComplexAlignment as ComplexAlignment
    from dovelkit.alignment.complexes import align_complexes as align_complexes
    from dovelkit.alignment.many import align_many as align_many
    from dovelkit.alignment.options import Options as Options
    from dovelkit.alignment.options import parameters as parameters
    from dovelkit.io.reading import load as load
    from dovelkit.io.reading import load_chains as load_chains
    from dovelkit.report.document import Report as Report
    from dovelkit.report.document import msa_report as msa_report
    from dovelkit.report.document import pairwise_report as pairwise_report
    from dovelkit.report.search_page import search_report as search_report
    from dovelkit.db.engine import Hit as Hit
    from dovelkit.db.engine import search as search
    from dovelkit.db.engine import search_many as search_many
    from dovelkit.io.writing import write_moved as write_moved

    __version__: str

# Each top-level name and the module that defines it.
_HOME = {
    "Clustering": "dovelkit.db.clustering",
    "ComplexAlignment": "dovelkit.alignment.complexes",
    "Database": "dovelkit.db.store",
    "Hit": "dovelkit.db.engine",
    "MultipleAlignment": "dovelkit.alignment.multiple",
    "Options": "dovelkit.alignment.options",
    "PairwiseAlignment": "dovelkit.alignment.pairwise",
    "Report": "dovelkit.report.document",
    "align": "dovelkit.alignment.pairwise",
    "align_complexes": "dovelkit.alignment.complexes",
    "align_many": "dovelkit.alignment.many",
    "cluster": "dovelkit.db.clustering",
    "load": "dovelkit.io.reading",
    "load_chains": "dovelkit.io.reading",
    "msa": "dovelkit.alignment.multiple",
    "msa_report": "dovelkit.report.document",
    "pairwise_report": "dovelkit.report.document",
    "parameters": "dovelkit.alignment.options",
    "search": "dovelkit.db.engine",
    "search_many": "dovelkit.db.engine",
    "search_report": "dovelkit.report.search_page",
    "write_moved": "dovelkit.io.writing",
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
