"""The structure files a collection is made of: the files and directories given, and each file's
chains read as plain values (in a worker process when there are several)."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np

from dovelkit.paths import PathLike
from dovelkit.pools import WorkerPool
from dovelkit.reading import file_stem, load_chains

# Files taken from a directory: the suffixes of structure files, optionally gzip-compressed.
# A file named on the command line is read whatever its name.
_STRUCTURE_SUFFIXES = (".pdb", ".ent", ".cif", ".mmcif")


def _is_structure_name(name: str) -> bool:
    lower = name.lower()
    if lower.endswith(".gz"):
        lower = lower[:-3]
    return lower.endswith(_STRUCTURE_SUFFIXES)


def collect_files(inputs: Iterable[PathLike]) -> list[str]:
    """The structure files named by ``inputs``: files as given, directories searched recursively.

    Files found in directories are those with a structure suffix (.pdb, .ent, .cif, .mmcif,
    optionally followed by .gz), hidden files and directories left out, in sorted order.
    Raises FileNotFoundError for an input that does not exist.
    """
    files: list[str] = []
    for item in inputs:
        path = os.fspath(item)
        if not isinstance(path, str):
            path = os.fsdecode(path)
        if os.path.isdir(path):
            found: list[str] = []
            for root, dirs, names in os.walk(path):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                found.extend(
                    os.path.join(root, n) for n in names if not n.startswith(".") and _is_structure_name(n)
                )
            files.extend(sorted(found))
        elif os.path.exists(path):
            files.append(path)
        else:
            raise FileNotFoundError(2, "No such file or directory", path)
    return files


def _read_file(path: str) -> tuple[str, list[tuple[str, str, str, str, bytes, int]] | str]:
    """Every protein chain of one file as plain values, or the reason it cannot be read."""
    try:
        domains = load_chains(path)
    except (OSError, ValueError) as exc:
        if isinstance(exc, OSError) and exc.strerror:
            return path, exc.strerror
        text = str(exc)
        prefix = f"{path}: "
        return path, text[len(prefix):] if text.startswith(prefix) else text
    except Exception as exc:  # a reader fault on a strange file: report it, keep going
        return path, f"{type(exc).__name__}: {exc}"
    stem = file_stem(path)
    chains = []
    for d in domains:
        chain = d.id[len(stem) + 1:] if d.id.startswith(stem + "_") else d.chain
        coords = np.ascontiguousarray(d.coordinates, dtype=np.float64)
        chains.append((d.id, chain, d.sequence, d.secondary_structure, coords.tobytes(), len(d)))
    return path, chains


def read_files(files: list[str], workers: int) -> Iterator[tuple[str, Any]]:
    """Read the files in order, on ``workers`` processes (in this one when 1)."""
    if workers <= 1 or len(files) <= 1:
        for path in files:
            yield _read_file(path)
        return
    with WorkerPool(workers) as pool:
        calls = ((_read_file, (path,), f"reading {path}") for path in files)
        for _, result in pool.run(calls, ordered=True, window=8 * workers):
            yield result
