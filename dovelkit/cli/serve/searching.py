"""What the server asks of the library: open databases, read an uploaded query, search, align one hit.

This is the one module of the server that calls the library, through the functions behind its
public names (load, search, align) and the command's listing rule, so that a search through the server lists what ``dovel search
--json`` prints for the same query and database.
"""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass, field
from typing import Any

LEVELS = ("fold", "family")


@dataclass
class Catalogue:
    """One database the server searches: its name on the page and in the API, and its file."""

    name: str
    path: str
    entries: int
    _lock: threading.Lock = field(default_factory=threading.Lock, repr=False)
    _db: Any = field(default=None, repr=False)  # an open Database for reading single entries

    def info(self) -> dict[str, Any]:
        return {"name": self.name, "entries": self.entries}

    def entry(self, position: int) -> Any:
        """Entry ``position`` of the database (thread-safe: reports read entries while searches run)."""
        from dovelkit.db.store import Database

        with self._lock:
            if self._db is None:
                self._db = Database.open(self.path)
            return self._db.entry(position)

    def close(self) -> None:
        with self._lock:
            if self._db is not None:
                self._db.close()
                self._db = None


def open_catalogues(paths: list[str]) -> list[Catalogue]:
    """Open each database once to check it and count its entries; names are the file stems, made
    unique. ValueError (one line) for a file that is not a database."""
    from dovelkit.db.store import Database

    out: list[Catalogue] = []
    seen: dict[str, int] = {}
    for path in paths:
        if not os.path.isfile(path):
            raise ValueError(f"{path}: no such database file")
        try:
            with Database.open(path) as db:
                entries = sum(len(r) for r in db.slices)
        except (OSError, ValueError) as exc:
            text = str(exc) if not isinstance(exc, OSError) or not exc.strerror else exc.strerror
            raise ValueError(text if text.startswith(path) else f"{path}: {text}") from None
        stem = os.path.basename(path)
        for suffix in (".parquet", ".db"):
            if stem.endswith(suffix):
                stem = stem[: -len(suffix)]
        seen[stem] = seen.get(stem, 0) + 1
        name = stem if seen[stem] == 1 else f"{stem}-{seen[stem]}"
        out.append(Catalogue(name, os.path.abspath(path), entries))
    return out


def read_query(path: str, chain: str | None, max_size: int) -> Any:
    """The query chain of an uploaded file (ValueError/OSError with the reader's message)."""
    from dovelkit.io.reading import load

    return load(path, chain=chain or None, max_size=max_size)


# The name an upload is stored under, whatever the client called it (plus the format's suffix).
STORED_STEM = "query"


def query_id(query: Any, shown_name: str) -> str:
    """The id the command gives the query when it reads the file by its own name: the stored
    file's stem replaced by the stem of the name the client gave."""
    from dovelkit.io.paths import display_path
    from dovelkit.io.reading import file_stem

    stem = display_path(file_stem(shown_name)) if shown_name else STORED_STEM
    return stem + str(query.id)[len(STORED_STEM):]


def query_dict(query: Any, shown_name: str) -> dict[str, Any]:
    """The "query" object of ``dovel search --json``, the source being the uploaded file's name."""
    return {"id": query_id(query, shown_name), "source": shown_name, "chain": query.chain, "length": len(query)}


def listed(hit: Any, level: str) -> bool:
    from dovelkit.db.listing import listed as command_listed

    return command_listed(hit, level)


def search(query: Any, catalogue: Catalogue, level: str, top: int, workers: int) -> list[dict[str, Any]]:
    """The hits ``dovel search --json --top TOP`` lists for this query and database (at ``level``)."""
    from dovelkit.db.engine import search as run_search

    hits = run_search(query, catalogue.path, max_hits=top, level=level, workers=workers)
    return [h.to_dict() for h in hits if listed(h, level)]


def align(query: Any, target: Any, level: str) -> Any:
    from dovelkit.alignment.pairwise import align as run_align

    return run_align(query, target, level=level)
