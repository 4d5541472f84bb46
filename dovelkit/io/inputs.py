"""The structure files a collection is made of: the files and directories given, and each file's
chains read as plain values (in a worker process when there are several)."""

from __future__ import annotations

import os
import stat
from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np

from dovelkit.io.paths import PathLike, display_path, not_regular, printable
from dovelkit.runtime.pools import WorkerPool
from dovelkit.io.reading import file_stem, load_chains

# Files taken from a directory: the suffixes of structure files, optionally gzip-compressed.
# A file named on the command line is read whatever its name.
_STRUCTURE_SUFFIXES = (".pdb", ".ent", ".cif", ".mmcif")


def _is_structure_name(name: str) -> bool:
    lower = name.lower()
    if lower.endswith(".gz"):
        lower = lower[:-3]
    return lower.endswith(_STRUCTURE_SUFFIXES)


def collect_files(inputs: Iterable[PathLike], skipped: list[tuple[str, str]] | None = None) -> list[str]:
    """The structure files named by ``inputs``: files as given, directories searched recursively.

    Files found in directories are those with a structure suffix (.pdb, .ent, .cif, .mmcif,
    optionally followed by .gz), hidden files and directories left out, in sorted order. Only
    regular files (or links to them) are taken: a FIFO, a device or a socket, named or found, is
    left out, as is a directory that cannot be listed; each goes to ``skipped`` as (path, reason)
    when a list is given. A file reached twice (named twice, or in a directory and its
    subdirectory) is taken once, where first met. Paths are str (a bytes path is decoded as the
    file system does, undecodable bytes kept). Raises FileNotFoundError for an input that does
    not exist.
    """
    files: list[str] = []
    seen: set[tuple[int, int]] = set()
    dropped: list[tuple[str, str]] = skipped if skipped is not None else []

    def skip(path: str, reason: str) -> None:
        dropped.append((display_path(path), reason))

    def take(path: str, info: os.stat_result) -> None:
        reason = not_regular(info.st_mode)
        if reason is not None:
            skip(path, reason)
            return
        key = (info.st_dev, info.st_ino)
        if key not in seen:
            seen.add(key)
            files.append(path)

    def unreadable(exc: OSError) -> None:
        skip(os.fsdecode(exc.filename) if exc.filename is not None else "?",
             f"cannot list the directory: {exc.strerror or exc}")

    for item in inputs:
        path = os.fspath(item)
        if not isinstance(path, str):
            path = os.fsdecode(path)
        try:
            info = os.stat(path)
        except FileNotFoundError:
            raise FileNotFoundError(2, "No such file or directory", path) from None
        except OSError as exc:
            skip(path, exc.strerror or str(exc))
            continue
        if stat.S_ISDIR(info.st_mode):
            found: list[str] = []
            for root, dirs, names in os.walk(path, onerror=unreadable):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                found.extend(
                    os.path.join(root, n) for n in names if not n.startswith(".") and _is_structure_name(n)
                )
            for name in sorted(found):
                try:
                    take(name, os.stat(name))
                except OSError as exc:  # a dangling link, or gone since listed
                    skip(name, exc.strerror or str(exc))
        else:
            take(path, info)
    return files


def _read_file(path: str, max_size: int | None = None) -> tuple[str, list[tuple[str, str, str, str, bytes, int]] | str]:
    """Every protein chain of one file as plain values, or the reason it cannot be read.

    The path comes back as text fit for display and storage (see ``_display``)."""
    shown = display_path(path)
    try:
        domains = load_chains(path, max_size=max_size)
    except (OSError, ValueError) as exc:
        if isinstance(exc, OSError) and exc.strerror:
            return shown, exc.strerror
        text = display_path(str(exc))
        for prefix in (f"{shown}: ", f"{shown}, "):  # "<path>, line 12: ..." gives "line 12: ..."
            if text.startswith(prefix):
                return shown, text[len(prefix):]
        return shown, text
    except Exception as exc:  # a reader fault on a strange file: report it, keep going
        return shown, display_path(f"{type(exc).__name__}: {exc}")
    stem = printable(display_path(file_stem(path)))  # as the ids begin
    chains = []
    for d in domains:
        chain = d.id[len(stem) + 1:] if d.id.startswith(stem + "_") else d.chain
        coords = np.ascontiguousarray(d.coordinates, dtype=np.float64)
        chains.append((d.id, chain, d.sequence, d.secondary_structure, coords.tobytes(), len(d)))
    return shown, chains


def read_files(files: list[str], workers: int, max_size: int | None = None) -> Iterator[tuple[str, Any]]:
    """Read the files in order, on ``workers`` processes (in this one when 1): (path as text, the
    chains or the reason the file was not read). Each process holds one file's text at a time,
    at most ``max_size`` bytes of it (see ``dovelkit.io.reading.read_structure``)."""
    if workers <= 1 or len(files) <= 1:
        for path in files:
            yield _read_file(path, max_size)
        return
    with WorkerPool(workers) as pool:
        calls = ((_read_file, (path, max_size), f"reading {path}") for path in files)
        for _, result in pool.run(calls, ordered=True, window=8 * workers):
            yield result
