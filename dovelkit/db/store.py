"""A structure database: every protein chain of a collection of files, in one Parquet file.

Each entry holds the chain's id, source path, chain id, sequence, secondary structure and C-alpha
coordinates. Entries are stored in row groups of a fixed number of entries, so one slice of the
database (one row group) reads on its own: a search worker only ever holds the slice it scans.
"""

from __future__ import annotations

import contextlib
import os
import socket
import stat
import time
import types
from bisect import bisect_right
from collections.abc import Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import dovel

from dovelkit.db import footer as _footer
from dovelkit.io.atomic import check_writable, replacing
from dovelkit.io.inputs import collect_files, read_files
from dovelkit.io.reading import MAX_COORDINATE, check_max_size, coordinate_range_text
from dovelkit.io.paths import PathLike
from dovelkit.runtime.progress import progress_bar
from dovelkit.runtime.pools import check_workers, default_workers

FORMAT_NAME = b"dovel-structure-database"
FORMAT_VERSION = b"2"
# Version 1 is version 2 without the search keys: still read, searched exhaustively.
_KEYLESS_VERSION = b"1"
DEFAULT_ROWS_PER_GROUP = 1000

_ENTRY_FIELDS = (
    [
        pa.field("id", pa.string(), nullable=False),
        pa.field("source", pa.string(), nullable=False),
        pa.field("chain", pa.string(), nullable=False),
        pa.field("sequence", pa.string(), nullable=False),
        pa.field("secondary_structure", pa.string(), nullable=False),
        # C-alpha coordinates in thousandths of an Angstrom, all x, then all y, then all z: exact
        # for coordinates read from PDB and mmCIF files (three decimals), and compact on disk.
        pa.field("coordinates_milli", pa.list_(pa.int32()), nullable=False),
        # The coordinates as float64 (x, y, z of each residue in turn) for a chain that thousandths
        # would not hold exactly; empty otherwise.
        pa.field("coordinates", pa.list_(pa.float64()), nullable=False),
    ]
)
_ENTRY_COLUMNS = [f.name for f in _ENTRY_FIELDS]

SCHEMA = pa.schema(
    # The search key of each chain (dovelkit._core.search_key: one byte per residue), compared with
    # a query's before anything is aligned.
    _ENTRY_FIELDS + [pa.field("keys", pa.binary(), nullable=False)],
    metadata={b"format": FORMAT_NAME, b"version": FORMAT_VERSION},
)
_KEYLESS_SCHEMA = pa.schema(_ENTRY_FIELDS, metadata={b"format": FORMAT_NAME, b"version": _KEYLESS_VERSION})
_SCHEMAS = {FORMAT_VERSION: SCHEMA, _KEYLESS_VERSION: _KEYLESS_SCHEMA}

# How to give an older database its keys (shown when a search goes through every entry for want of them).
INDEX_HINT = "add them with 'dovel db index {path}' (or create the database again) for a faster search"


@dataclass(frozen=True)
class Entry:
    """One stored chain, as the database holds it."""

    id: str
    source: str
    chain: str
    sequence: str
    secondary_structure: str
    coordinates: np.ndarray  # (N, 3) float64

    def domain(self) -> dovel.Domain:
        """A ``dovel.Domain`` of this chain (its secondary structure reads "C" throughout)."""
        return dovel.Domain.from_arrays(self.id, self.coordinates, self.sequence, self.chain[:1] or None)


@dataclass
class CreationSummary:
    """What ``Database.create`` did."""

    entries: int = 0
    files_read: int = 0
    skipped: list[tuple[str, str]] = field(default_factory=list)  # (path, reason) of unreadable files
    renamed: list[tuple[str, str]] = field(default_factory=list)  # (old id, new id)
    seconds: float = 0.0
    bytes: int = 0

    def text(self) -> str:
        parts = [f"{self.entries} entries from {self.files_read} files"]
        if self.skipped:
            parts.append(f"{len(self.skipped)} files skipped")
        if self.renamed:
            parts.append(f"{len(self.renamed)} ids renamed")
        parts.append(f"{self.bytes / max(self.entries, 1):.0f} bytes per entry")
        parts.append(f"{self.seconds:.1f} s")
        return ", ".join(parts)


# --------------------------------------------------------------------------------------------
# Creation


# The most coordinate values (3 per residue) one slice may hold: its entries are decoded together,
# as float64, so this bounds the memory of reading a slice (about 1.5 GB at most, far above any
# real slice: a thousand chains of 30,000 residues). The writer refuses a slice beyond it, and the
# reader one whose footer claims more, before anything is allocated.
MAX_SLICE_VALUES = 200_000_000

_NO_INTS = np.zeros(0, dtype=np.int32)
_NO_FLOATS = np.zeros(0, dtype=np.float64)
_INT32_LIMIT = 2**31 - 1


def _milli(coords: np.ndarray) -> np.ndarray | None:
    """The coordinates as int32 thousandths (planar: x..., y..., z...) when that is exact to the
    bit (the way back, ``milli / 1000.0``, gives the same float64 values), else None."""
    c = np.asarray(coords, dtype=np.float64)
    if c.size == 0:
        return None
    with np.errstate(invalid="ignore", over="ignore"):
        scaled = np.round(c * 1000.0)
        if not (np.all(np.isfinite(scaled)) and np.all(np.abs(scaled) <= _INT32_LIMIT)):
            return None
        ints = scaled.astype(np.int32)
    back = ints.astype(np.float64) / 1000.0
    if not np.array_equal(back.view(np.int64), np.ascontiguousarray(c).view(np.int64)):
        return None  # not three decimals, or a -0.0 that would come back as 0.0
    return np.ascontiguousarray(ints.T).reshape(-1)


def _list_array(values: list[np.ndarray], type_: pa.DataType) -> pa.ListArray:
    offsets = np.zeros(len(values) + 1, dtype=np.int32)
    np.cumsum([len(v) for v in values], out=offsets[1:])
    flat = np.concatenate(values) if values else np.zeros(0)
    return pa.ListArray.from_arrays(pa.array(offsets), pa.array(flat, type=type_))


def _core_module() -> types.ModuleType:
    """dovelkit._core, imported with Ctrl-C held off until its initialisation is done (an
    extension module interrupted half-way through its set-up cannot be unloaded cleanly)."""
    import signal
    import threading

    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_sigmask"):
        from dovelkit import _core
        return _core
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        from dovelkit import _core
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)
    return _core


def _search_key(coords: np.ndarray) -> bytes:
    key: bytes = _core_module().search_key(np.ascontiguousarray(coords, dtype=np.float64).reshape(-1, 3))
    return key


class _GroupWriter:
    """Buffers entries and writes them to a Parquet file in row groups of a fixed size."""

    def __init__(self, path: str, rows_per_group: int) -> None:
        self.rows_per_group = rows_per_group
        schema = SCHEMA.with_metadata(
            {**SCHEMA.metadata, b"rows_per_group": str(rows_per_group).encode()}
        )
        self.writer = pq.ParquetWriter(
            path,
            schema,
            compression="zstd",
            use_dictionary=["id", "source", "chain", "sequence", "secondary_structure"],
            column_encoding={"coordinates_milli.list.element": "DELTA_BINARY_PACKED"},
            write_statistics=["id"],
            write_page_checksum=True,
        )
        self.columns: dict[str, list[Any]] = {name: [] for name in SCHEMA.names}
        self.values = 0

    def add(self, id_: str, source: str, chain: str, sequence: str, ss: str, coords: np.ndarray) -> None:
        c = self.columns
        self.values += 3 * len(sequence)
        if self.values > MAX_SLICE_VALUES:
            raise ValueError(f"a slice of {self.rows_per_group} entries would hold more than {MAX_SLICE_VALUES} "
                             f"coordinate values (at entry '{id_}' from {source}); use a smaller slice size")
        c["id"].append(id_)
        c["source"].append(source)
        c["chain"].append(chain)
        c["sequence"].append(sequence)
        c["secondary_structure"].append(ss)
        c["keys"].append(_search_key(coords))
        milli = _milli(coords)
        c["coordinates_milli"].append(milli if milli is not None else _NO_INTS)
        c["coordinates"].append(_NO_FLOATS if milli is not None else np.ascontiguousarray(coords).reshape(-1))
        if len(c["id"]) >= self.rows_per_group:
            self.flush()

    def flush(self) -> None:
        c = self.columns
        if not c["id"]:
            return
        arrays = [pa.array(c[name], type=pa.string()) for name in SCHEMA.names[:5]]
        arrays.append(_list_array(c["coordinates_milli"], pa.int32()))
        arrays.append(_list_array(c["coordinates"], pa.float64()))
        arrays.append(pa.array(c["keys"], type=pa.binary()))
        table = pa.Table.from_arrays(arrays, schema=self.writer.schema)
        self.writer.write_table(table, row_group_size=self.rows_per_group)
        self.columns = {name: [] for name in SCHEMA.names}
        self.values = 0

    def close(self) -> None:
        self.flush()
        self.writer.close()


def coordinates_problem(coords: np.ndarray) -> str | None:
    """Why these coordinates cannot be stored (not finite, or beyond MAX_COORDINATE), or None."""
    c = np.asarray(coords, dtype=np.float64)
    with np.errstate(invalid="ignore"):
        if c.size and not np.all(np.abs(c) < MAX_COORDINATE):
            if not np.all(np.isfinite(c)):
                return "a coordinate is not a finite number"
            worst = float(np.max(np.abs(c)))
            return f"a coordinate of {worst:g} is out of range ({coordinate_range_text()})"
    return None


def _unique_name(base: str, taken: dict[str, str]) -> str:
    k = 2
    while f"{base}~{k}" in taken:
        k += 1
    return f"{base}~{k}"


def _write_database(
    path: PathLike,
    records: Iterable[tuple[str, str, str, str, str, np.ndarray] | tuple[str, str]],
    rename_duplicates: bool,
    rows_per_group: int,
    summary: CreationSummary,
) -> None:
    """Write the records (entries, or (path, reason) of skipped files) atomically to ``path``."""
    if isinstance(rows_per_group, bool) or not isinstance(rows_per_group, int) or rows_per_group < 1:
        raise ValueError(f"rows_per_group must be a positive int, not {rows_per_group!r}")
    target = os.path.abspath(os.fspath(path))
    if os.path.isdir(target):
        raise IsADirectoryError(21, "Is a directory", os.fspath(path))
    with replacing(target) as tmp:
        try:
            writer = _GroupWriter(tmp, rows_per_group)
        except (pa.ArrowException, OSError) as exc:
            raise OSError(getattr(exc, "errno", None) or 5, _one_line(exc).replace(tmp, os.fspath(path)),
                          os.fspath(path)) from None
        taken: dict[str, str] = {}
        try:
            for record in records:
                if len(record) == 2:
                    summary.skipped.append(record)
                    continue
                id_, source, chain, sequence, ss, coords = record
                if id_ in taken:
                    if not rename_duplicates:
                        raise ValueError(
                            f"duplicate id '{id_}' (from {taken[id_]} and {source}); "
                            "nothing written (rename the files, or let creation rename: --rename-duplicates)"
                        )
                    new = _unique_name(id_, taken)
                    summary.renamed.append((id_, new))
                    id_ = new
                taken[id_] = source
                problem = coordinates_problem(coords)
                if problem is not None:
                    raise ValueError(f"entry '{id_}' (from {source}): {problem}; nothing written")
                writer.add(id_, source, chain, sequence, ss, coords)
                summary.entries += 1
            if summary.entries == 0:
                raise ValueError("no protein chain found in the inputs; nothing written")
            writer.close()
            _verify(tmp, os.fspath(path))
        except (pa.ArrowException, OSError) as exc:
            with contextlib.suppress(Exception):
                writer.writer.close()
            if not isinstance(exc, pa.ArrowException) and exc.filename != tmp and tmp not in str(exc):
                raise  # not the writing: an input's error, say
            raise OSError(getattr(exc, "errno", None) or 5, _one_line(exc).replace(tmp, os.fspath(path)),
                          os.fspath(path)) from None
        except BaseException:
            with contextlib.suppress(Exception):
                writer.writer.close()
            raise
    summary.bytes = os.path.getsize(target)


def _verify(tmp: str, shown: str) -> None:
    """Read back the database just written to ``tmp`` as any reader will, before it replaces
    anything at its target: ValueError (the target left as it was) when it does not read whole."""
    try:
        with Database(tmp) as db:
            db.ids  # noqa: B018 - every id, checked for duplicates
            for k in range(db.n_slices):
                db.read_slice(k)
    except DatabaseError as exc:
        raise DatabaseError(f"{shown}: the database written does not read back ("
                            f"{str(exc).replace(tmp + ': ', '').replace(tmp, shown)}); nothing replaced") from None


# --------------------------------------------------------------------------------------------
# Reading


class DatabaseError(ValueError):
    """A file that is not a structure database, or a damaged one (the message names the file)."""


class DatabaseRef(NamedTuple):
    """What a worker process needs to read the very file a ``Database`` has open: its path, and
    who holds it open under which descriptor, with the file's identity to check it by."""

    path: str
    host: str
    pid: int
    fd: int
    dev: int
    ino: int
    mtime_ns: int
    size: int

    def matches(self, st: os.stat_result) -> bool:
        same = st.st_mtime_ns == self.mtime_ns and st.st_size == self.size
        if self.host == socket.gethostname():  # another host sees the same file under another device
            same = same and st.st_dev == self.dev and st.st_ino == self.ino
        return same


# Sanity bound of the file's own description of itself: at most this many entries per byte of the
# file (a real entry takes tens of bytes: an id of its own, at the least). Coordinate values are
# bounded per slice (MAX_SLICE_VALUES), not per byte: coordinates that repeat (a chain of points
# at one place, whole numbers) compress to next to nothing.
_ROWS_PER_BYTE = 4


class Database:
    """A structure database in a Parquet file, read slice by slice.

    ``len(db)``, ``db.ids``, ``db[i]`` (a ``dovel.Domain``), ``db.get(id)``, ``db.entry(i)``
    (every stored field, secondary structure included), ``iter(db)`` and ``db.iter_slices()``
    read only what they need: one row group, or one column.

    The file is held open: replaced on disk meanwhile, the database goes on reading the file it
    opened (and so do the worker processes of a search); rewritten in place, it refuses to read
    on. A file whose description of itself does not hold together, or an entry that is not what
    the format stores, is refused with ValueError naming the file (and the entry).
    """

    def __init__(self, path: PathLike, _expect: DatabaseRef | None = None) -> None:
        self.path = os.fspath(path)
        self.summary: CreationSummary | None = None
        self._handle = _open_handle(self.path, _expect)
        try:
            st = os.fstat(self._handle.fileno())
            if _expect is not None and not _expect.matches(st):
                raise DatabaseError(
                    f"{self.path}: the database changed on disk while in use (replaced or rewritten "
                    "since it was opened); open it again"
                )
            if not stat.S_ISREG(st.st_mode):
                raise DatabaseError(f"{self.path}: not a structure database (not a regular file)")
            self._stat = st
            self._size = st.st_size
            try:
                self._file = pq.ParquetFile(self._handle, page_checksum_verification=True)
            except MemoryError:
                raise DatabaseError(f"{self.path}: cannot be read: out of memory reading its footer") from None
            except Exception as exc:  # whatever a damaged footer makes the reader raise
                raise DatabaseError(f"{self.path}: not a structure database ({_one_line(exc)})") from None
            try:
                counts = self._check_metadata()
            except DatabaseError:
                raise
            except Exception as exc:
                raise self._bad(f"its footer cannot be read ({type(exc).__name__}: {_one_line(exc)})") from None
        except BaseException:
            self._handle.close()
            raise
        self._starts = [0]
        for n in counts:
            self._starts.append(self._starts[-1] + n)
        self._cache: tuple[int, list[Entry]] | None = None
        self._ids: list[str] | None = None

    def _bad(self, what: str) -> DatabaseError:
        return DatabaseError(f"{self.path}: damaged structure database: {what}")

    def _check_metadata(self) -> list[int]:
        """The row count of each row group, once the file's footer has been checked against itself
        and the file's size (before anything is allocated from it)."""
        schema = self._file.schema_arrow
        meta = schema.metadata or {}
        version = meta.get(b"version")
        expected = _SCHEMAS.get(version, SCHEMA) if isinstance(version, bytes) else SCHEMA
        if meta.get(b"format") != FORMAT_NAME or schema.names not in (SCHEMA.names, _KEYLESS_SCHEMA.names):
            raise DatabaseError(f"{self.path}: not a structure database (a Parquet file of other content)")
        if version not in _SCHEMAS:
            shown = version.decode("utf-8", "replace") if isinstance(version, bytes) else "none"
            raise DatabaseError(
                f"{self.path}: structure database of format version {shown}; this dovelkit reads version "
                f"{FORMAT_VERSION.decode()}, and reads version {_KEYLESS_VERSION.decode()} without search keys"
            )
        if schema.names != expected.names:
            raise self._bad(f"format version {version.decode()} stores the columns {', '.join(expected.names)}")
        self.has_keys = "keys" in expected.names
        for f in expected:
            if not schema.field(f.name).type.equals(f.type):
                raise self._bad(f"column {f.name} holds {schema.field(f.name).type}, not {f.type}")
        try:
            footer = _footer.read(self._handle, self._size)
        except _footer.FooterError as exc:
            raise self._bad(str(exc)) from None
        per_group = meta.get(b"rows_per_group")
        rows_per_group = int(per_group) if per_group is not None and per_group.isdigit() else None
        counts = []
        n_groups = len(footer.row_groups)
        if n_groups != self._file.metadata.num_row_groups:
            raise self._bad("the footer cannot be read consistently")
        for k, group in enumerate(footer.row_groups):
            n = group.num_rows
            where = f"slice {k}"
            if n < 0 or n > _ROWS_PER_BYTE * self._size:
                raise self._bad(f"{where} claims {n} entries in a file of {self._size} bytes")
            if rows_per_group is not None and (n > rows_per_group or (n < rows_per_group and k < n_groups - 1)):
                raise self._bad(f"{where} claims {n} entries; the file stores {rows_per_group} per slice")
            names = [c.path.split(".")[0] for c in group.columns]
            if names != expected.names:
                raise self._bad(f"{where} stores the columns {', '.join(names) or 'none'}")
            values = 0
            for column, name in zip(group.columns, names):
                if name in ("coordinates_milli", "coordinates"):
                    if column.num_values < n:
                        raise self._bad(f"{where} claims {n} entries but its {name} column has {column.num_values} values")
                    values += column.num_values
                elif column.num_values != n:
                    raise self._bad(f"{where} claims {n} entries but its {name} column has {column.num_values}")
                if not 0 <= column.compressed <= self._size:
                    raise self._bad(f"{where}: column {name} claims {column.compressed} bytes in a file of {self._size}")
            if values > MAX_SLICE_VALUES + n:  # an empty list still counts one value
                raise self._bad(f"{where} claims {values} coordinate values, more than a slice holds ({MAX_SLICE_VALUES})")
            counts.append(n)
        if sum(counts) != footer.num_rows:
            raise self._bad(f"{footer.num_rows} entries in all, but the slices hold {sum(counts)}")
        self._footer = footer
        self._pages_checked: set[int] = set()
        return counts

    def _check_pages(self, k: int) -> None:
        """The page headers of slice ``k`` against the footer: every column's pages hold the values
        the footer counts, and a column of one value per entry holds one per entry (a row count
        lowered in the footer would otherwise drop entries silently)."""
        if k in self._pages_checked:
            return
        group = self._footer.row_groups[k]
        for column in group.columns:
            name = column.path.split(".")[0]
            try:
                pages = _footer.read_pages(self._handle, column)
            except _footer.FooterError as exc:
                raise self._bad(f"slice {k}: {exc}") from None
            if pages.values != column.num_values:
                raise self._bad(f"slice {k}: the footer counts {column.num_values} values in the {name} column, "
                                f"its pages hold {pages.values}")
            flat = name not in ("coordinates_milli", "coordinates")
            if (flat and pages.values != group.num_rows) or (pages.rows is not None and pages.rows != group.num_rows):
                raise self._bad(f"slice {k} claims {group.num_rows} entries, its {name} column holds "
                                f"{pages.rows if pages.rows is not None else pages.values}")
        self._pages_checked.add(k)

    def reference(self) -> DatabaseRef:
        """How a worker process finds this very file (see ``Database.from_reference``)."""
        st = self._stat
        return DatabaseRef(os.path.abspath(self.path), socket.gethostname(), os.getpid(), self._handle.fileno(),
                           st.st_dev, st.st_ino, st.st_mtime_ns, st.st_size)

    @classmethod
    def from_reference(cls, ref: DatabaseRef) -> "Database":
        """The file a ``Database`` of another process has open: through that process's descriptor
        when it can be reached (same host, Linux), else by path; ValueError when the file found
        is not the one the other process opened."""
        db = cls(ref.path, _expect=ref)
        return db

    def close(self) -> None:
        """Close the file (the database reads nothing afterwards)."""
        self._handle.close()

    def __enter__(self) -> "Database":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ---- construction

    @classmethod
    def open(cls, path: PathLike) -> "Database":
        """Open an existing database (raises FileNotFoundError, or ValueError for another file)."""
        return cls(path)

    @classmethod
    def create(
        cls,
        path: PathLike,
        inputs: PathLike | Iterable[PathLike],
        workers: int | None = None,
        progress: bool = False,
        rename_duplicates: bool = False,
        rows_per_group: int = DEFAULT_ROWS_PER_GROUP,
        max_size: int | None = None,
    ) -> "Database":
        """Create a database at ``path`` from structure files and directories (searched recursively).

        Every protein chain becomes one entry. Files are read on ``workers`` processes (every core
        when None). A file that cannot be read is skipped and listed in the summary
        (``db.summary.skipped``, with the reason); an id met twice stops the creation with
        ValueError before anything is written, unless ``rename_duplicates`` (the later one is then
        stored as ``<id>~2``, ``<id>~3``, ...). The file is written atomically: an existing
        database at ``path`` stays untouched when creation fails. Files that are not regular
        (FIFOs, devices) and directories that cannot be listed are skipped and listed too; a file
        reached twice is read once. ``max_size`` bounds the structure text of one file (see
        ``dovelkit.io.reading.read_structure``); it holds in every reading process.
        """
        if isinstance(inputs, (str, bytes, os.PathLike)):
            inputs = [inputs]
        check_writable(path)
        start = time.perf_counter()
        check_max_size(max_size)
        summary = CreationSummary()
        files = collect_files(inputs, summary.skipped)
        n_workers = default_workers() if workers is None else check_workers(workers)
        bar = progress_bar(total=len(files), unit="file", desc="reading", enabled=progress)

        def records() -> Generator[Any, None, None]:
            for fpath, result in read_files(files, min(n_workers, len(files)), max_size):
                bar.update(1)
                if isinstance(result, str):
                    yield (fpath, result)
                    continue
                summary.files_read += 1
                for id_, chain, sequence, ss, coords, n in result:
                    yield (id_, fpath, chain, sequence, ss, np.frombuffer(coords, dtype=np.float64).reshape(n, 3))

        reading = records()
        try:
            _write_database(path, reading, rename_duplicates, rows_per_group, summary)
        finally:
            reading.close()  # stops the reading processes now when creation ends early
            bar.close()
        return cls._written(path, summary, start)

    @classmethod
    def _written(cls, path: PathLike, summary: CreationSummary, start: float) -> "Database":
        """The database just written at ``path``, opened, with the summary of its writing."""
        summary.seconds = time.perf_counter() - start
        db = cls(path)
        db.summary = summary
        return db

    @classmethod
    def index(cls, path: PathLike, progress: bool = False) -> "Database":
        """Give the database at ``path`` its search keys (a database written before they were
        stored): the file is written again with every entry as it was and a key for each, and
        replaced atomically (untouched when anything fails). A database that has its keys is left
        as it is."""
        start = time.perf_counter()
        with cls(path) as old:
            if old.has_keys:
                return cls(path)
            check_writable(path)
            rows = len(old.slices[0]) if old.slices else DEFAULT_ROWS_PER_GROUP
            per_group = (old._file.schema_arrow.metadata or {}).get(b"rows_per_group")
            if per_group is not None and per_group.isdigit():
                rows = int(per_group)
            summary = CreationSummary()
            bar = progress_bar(total=len(old), unit="entry", desc="indexing", enabled=progress)

            def records() -> Iterator[Any]:
                for k in range(old.n_slices):
                    entries = old.read_slice(k)
                    for e in entries:
                        yield (e.id, e.source, e.chain, e.sequence, e.secondary_structure, e.coordinates)
                    bar.update(len(entries))

            try:
                _write_database(path, records(), False, rows, summary)
            finally:
                bar.close()
        return cls._written(path, summary, start)

    @classmethod
    def from_domains(
        cls,
        path: PathLike,
        domains: Iterable[dovel.Domain],
        rename_duplicates: bool = False,
        rows_per_group: int = DEFAULT_ROWS_PER_GROUP,
    ) -> "Database":
        """Create a database from ``dovel.Domain`` objects, in the given order (the source is the
        domain's ``pdb_file``, the chain its ``chain``)."""
        start = time.perf_counter()
        summary = CreationSummary()

        def records() -> Iterator[Any]:
            for d in domains:
                if not isinstance(d, dovel.Domain):
                    raise TypeError(f"expected dovel.Domain objects, got {type(d).__name__}")
                yield (d.id, d.pdb_file, d.chain, d.sequence, d.secondary_structure, d.coordinates)

        _write_database(path, records(), rename_duplicates, rows_per_group, summary)
        summary.seconds = time.perf_counter() - start
        db = cls(path)
        db.summary = summary
        return db

    # ---- size and slices

    def __len__(self) -> int:
        return self._starts[-1]

    def __repr__(self) -> str:
        return f"Database({self.path!r}, entries={len(self)}, slices={self.n_slices})"

    @property
    def n_slices(self) -> int:
        return int(self._file.num_row_groups)

    @property
    def slices(self) -> list[range]:
        """The positions of each slice (row group), in order."""
        return [range(self._starts[k], self._starts[k + 1]) for k in range(self.n_slices)]

    def _read_group(self, k: int, columns: list[str] | None = None) -> pa.Table:
        """Row group ``k`` as stored, once the file is known to be the one opened."""
        if self._handle.closed:
            raise DatabaseError(f"{self.path}: the database is closed")
        st = os.fstat(self._handle.fileno())
        if (st.st_mtime_ns, st.st_size) != (self._stat.st_mtime_ns, self._stat.st_size):
            raise DatabaseError(f"{self.path}: the database was rewritten on disk while in use; open it again")
        try:
            self._check_pages(k)
        except OSError as exc:
            raise self._bad(f"slice {k} cannot be read ({_one_line(exc)})") from None
        try:
            return self._file.read_row_group(k, columns=columns, use_threads=False)
        except MemoryError:
            raise self._bad(f"slice {k} does not fit in memory as described") from None
        except Exception as exc:  # whatever damaged pages make the reader raise
            raise self._bad(f"slice {k} cannot be read ({type(exc).__name__}: {_one_line(exc)})") from None

    def _group(self, k: int) -> list[Entry]:
        if self._cache is None or self._cache[0] != k:
            self._cache = None
            self._cache = (k, self.read_slice(k))
        return self._cache[1]

    def _locate(self, i: int) -> tuple[int, int]:
        if isinstance(i, bool) or not isinstance(i, (int, np.integer)):
            raise TypeError(f"database indices must be integers, not {type(i).__name__}")
        n = len(self)
        if i < 0:
            i += n
        if not 0 <= i < n:
            raise IndexError(f"database index out of range (0 to {n - 1})")
        k = bisect_right(self._starts, i) - 1
        return k, int(i) - self._starts[k]

    def locate(self, i: int) -> tuple[int, int]:
        """The slice holding entry ``i`` and the entry's row in it."""
        return self._locate(i)

    # ---- entries

    def entry(self, i: int) -> Entry:
        """Every stored field of entry ``i``."""
        k, row = self._locate(i)
        return self._group(k)[row]

    def __getitem__(self, i: int) -> dovel.Domain:
        return self.entry(i).domain()

    def read_slice(self, k: int, rows: Sequence[int] | None = None) -> list[Entry]:
        """The entries of slice ``k``; with ``rows`` (positions within the slice), only those, in
        that order (only they are decoded and checked)."""
        if not 0 <= k < self.n_slices:
            raise IndexError(f"slice index out of range (0 to {self.n_slices - 1})")
        if rows is not None:
            n = len(self.slices[k])
            rows = [int(r) for r in rows]
            if any(not 0 <= r < n for r in rows):
                raise IndexError(f"row index out of range (0 to {n - 1}) in slice {k}")
        return _checked_entries(self._read_group(k, _ENTRY_COLUMNS), self, k, rows)

    def read_keys(self, k: int) -> tuple[np.ndarray, np.ndarray]:
        """The search keys of slice ``k`` as stored: all their bytes (uint8) and the offsets
        (int32, one more than the entries; key i is ``data[offsets[i] - offsets[0]:offsets[i + 1]
        - offsets[0]]``). ValueError when the database has none (see ``has_keys``) or the column
        is not what the format stores; the keys themselves are checked where they are compared."""
        if not self.has_keys:
            raise DatabaseError(f"{self.path}: the database holds no search keys; "
                                + INDEX_HINT.format(path=self.path))
        if not 0 <= k < self.n_slices:
            raise IndexError(f"slice index out of range (0 to {self.n_slices - 1})")
        column = self._read_group(k, ["keys"]).column("keys")
        if not column.type.equals(pa.binary()) or len(column) != len(self.slices[k]):
            raise self._bad(f"slice {k}: the key column holds {len(column)} values of {column.type}")
        keys = column.combine_chunks()
        if keys.null_count:
            r = int(np.flatnonzero(~keys.is_valid().to_numpy(zero_copy_only=False))[0])
            raise self.key_error(self.slices[k].start + r, "no search key")
        _, offsets_buf, data_buf = keys.buffers()
        offsets = np.frombuffer(offsets_buf, dtype=np.int32)[keys.offset: keys.offset + len(keys) + 1]
        data = (np.frombuffer(data_buf, dtype=np.uint8) if data_buf is not None else np.zeros(0, np.uint8))
        if len(offsets) != len(keys) + 1 or offsets[0] < 0 or offsets[-1] > len(data):
            raise self._bad(f"slice {k}: the key column's offsets point outside its data")
        return np.ascontiguousarray(data[offsets[0]:]), np.ascontiguousarray(offsets)

    def key_error(self, position: int, what: str) -> DatabaseError:
        """The error of a damaged search key, naming its entry."""
        try:
            name = repr(self._ids_of(bisect_right(self._starts, position) - 1)[position - self._starts[
                bisect_right(self._starts, position) - 1]])
        except Exception:
            name = "an entry"
        return self._bad(f"entry {name} (row {position}): {what}")

    def iter_slices(self) -> Iterator[list[dovel.Domain]]:
        """The domains slice by slice; only one slice is held at a time."""
        for k in range(self.n_slices):
            yield [e.domain() for e in self.read_slice(k)]

    def __iter__(self) -> Iterator[dovel.Domain]:
        for chunk in self.iter_slices():
            yield from chunk

    @property
    def ids(self) -> list[str]:
        """Every id in order (reads the id column only)."""
        if self._ids is None:
            ids: list[str] = []
            for k in range(self.n_slices):
                ids.extend(self._ids_of(k))
            twice = _first_repeat(ids)
            if twice is not None:
                raise self._bad(f"id {ids[twice[1]]!r} stored twice (rows {twice[0]} and {twice[1]})")
            self._ids = ids
        return self._ids

    def position(self, id_: str) -> int | None:
        """The position of the entry with this id, or None; reads the id column slice by slice."""
        if self._ids is not None:
            try:
                return self._ids.index(id_)
            except ValueError:
                return None
        for k in range(self.n_slices):
            try:
                return self._starts[k] + self._ids_of(k).index(id_)
            except ValueError:
                continue
        return None

    def _ids_of(self, k: int) -> list[str]:
        column = self._read_group(k, ["id"]).column("id")
        if column.type != pa.string() or len(column) != len(self.slices[k]) or column.null_count:
            _checked_entries(self._read_group(k), self, k)  # says which entry is wrong
        try:
            return [str(v) for v in column.to_pylist()]
        except Exception as exc:
            raise self._bad(f"slice {k}: the ids cannot be read ({type(exc).__name__}: {_one_line(exc)})") from None

    def labels(self, k: int) -> tuple[list[str], list[str], list[str]]:
        """The ids, source paths and chain ids of slice ``k`` (reads those columns only)."""
        table = self._read_group(k, ["id", "source", "chain"])
        if table.num_rows != len(self.slices[k]) or any(table.column(c).null_count for c in table.column_names):
            _checked_entries(self._read_group(k, _ENTRY_COLUMNS), self, k)  # says which entry is wrong
        try:
            return tuple([str(v) for v in table.column(c).to_pylist()] for c in ("id", "source", "chain"))  # type: ignore[return-value]
        except Exception as exc:
            raise self._bad(f"slice {k}: cannot be read ({type(exc).__name__}: {_one_line(exc)})") from None

    def get(self, id_: str, default: Any = None) -> dovel.Domain | Any:
        """The domain with this id, or ``default``."""
        i = self.position(id_)
        return default if i is None else self[i]


def _checked_entries(table: pa.Table, db: Database, k: int, rows: list[int] | None = None) -> list[Entry]:
    try:
        return _entries(table, db, k, rows)
    except DatabaseError:
        raise
    except Exception as exc:  # text that is not UTF-8, say
        raise db._bad(f"slice {k} cannot be read ({type(exc).__name__}: {_one_line(exc)})") from None


def _entries(table: pa.Table, db: Database, k: int, rows: list[int] | None = None) -> list[Entry]:
    """The entries of row group ``k`` of ``db`` (or only ``rows`` of it), each checked against what
    the format stores."""
    first = db.slices[k].start
    if table.num_rows != len(db.slices[k]):
        raise db._bad(f"slice {k} holds {table.num_rows} entries, not the {len(db.slices[k])} it claims")
    for f in _ENTRY_FIELDS:
        column = table.column(f.name)
        if not column.type.equals(f.type):
            raise db._bad(f"slice {k}: column {f.name} holds {column.type}, not {f.type}")
    if rows is not None:
        table = table.take(pa.array(rows, type=pa.int64()))
    row_of = list(range(table.num_rows)) if rows is None else rows
    ids = table.column("id").to_pylist()

    def bad(r: int, what: str) -> DatabaseError:
        name = f"entry {ids[r]!r}" if isinstance(ids[r], str) else "an entry"
        return db._bad(f"{name} (row {first + row_of[r]}): {what}")

    strings = {name: table.column(name).to_pylist() for name in SCHEMA.names[:5]}
    for name, values in strings.items():
        for r, v in enumerate(values):
            if v is None:
                raise bad(r, f"no {name}")
    twice = _first_repeat(ids)
    if twice is not None:
        raise db._bad(f"id {ids[twice[1]]!r} stored twice (rows {first + row_of[twice[0]]} and "
                      f"{first + row_of[twice[1]]})")
    milli, milli_off, milli_valid = _flat_lists(table.column("coordinates_milli"))
    exact, exact_off, exact_valid = _flat_lists(table.column("coordinates"))
    for values, offsets, scale in ((milli, milli_off, 1000.0), (exact, exact_off, 1.0)):
        with np.errstate(invalid="ignore"):
            far = np.flatnonzero(~(np.abs(values) < MAX_COORDINATE * scale))
        if far.size:  # NaN or beyond the bound: the first such row, named
            r = int(np.searchsorted(offsets, far[0], side="right")) - 1
            raise bad(r, coordinates_problem(values[offsets[r]:offsets[r + 1]] / scale) or "a coordinate out of range")
    seqs = strings["sequence"]
    out = []
    for r in range(len(ids)):
        if not ids[r]:
            raise bad(r, "empty id")
        n = len(seqs[r])
        if len(strings["secondary_structure"][r]) != n:
            raise bad(r, f"{len(strings['secondary_structure'][r])} secondary structure codes for {n} residues")
        m = int(milli_off[r + 1] - milli_off[r])
        e = int(exact_off[r + 1] - exact_off[r])
        if (m, e) not in ((3 * n, 0), (0, 3 * n)):
            raise bad(r, f"{m + e} coordinates stored for {n} residues (expected {3 * n})")
        if m:
            if not milli_valid[milli_off[r]: milli_off[r + 1]].all():
                raise bad(r, "a missing coordinate")
            planar = milli[milli_off[r]: milli_off[r + 1]].astype(np.float64) / 1000.0
            xyz = np.ascontiguousarray(planar.reshape(3, n).T)
        else:
            values = exact[exact_off[r]: exact_off[r + 1]]
            if not exact_valid[exact_off[r]: exact_off[r + 1]].all():
                raise bad(r, "a missing coordinate")
            xyz = np.array(values, dtype=np.float64).reshape(n, 3)
        out.append(Entry(ids[r], strings["source"][r], strings["chain"][r], seqs[r],
                         strings["secondary_structure"][r], xyz))
    return out


def _first_repeat(values: list[Any]) -> tuple[int, int] | None:
    """The positions of the first value met a second time, or None."""
    seen: dict[Any, int] = {}
    for i, v in enumerate(values):
        j = seen.setdefault(v, i)
        if j != i:
            return j, i
    return None


def _flat_lists(column: pa.ChunkedArray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The values of a list column, each row's offsets into them (starting at 0; a missing list
    counts as empty), and which values are present."""
    lists = column.combine_chunks()
    offsets = lists.offsets.to_numpy()
    values = lists.values.slice(offsets[0], offsets[-1] - offsets[0])
    valid = (np.ones(len(values), dtype=bool) if values.null_count == 0
             else values.is_valid().to_numpy(zero_copy_only=False))
    flat = values.fill_null(0).to_numpy(zero_copy_only=False)
    return flat, offsets - offsets[0], valid


def _open_handle(path: str, expect: DatabaseRef | None) -> pa.NativeFile:
    """The file opened natively; for a worker, the very file the caller holds open when it can
    be reached through the caller's descriptor (same host, Linux), else the one at the path."""
    if expect is not None and expect.host == socket.gethostname():
        with contextlib.suppress(OSError, pa.ArrowException):
            handle = pa.OSFile(f"/proc/{expect.pid}/fd/{expect.fd}")
            if expect.matches(os.fstat(handle.fileno())):
                return handle
            handle.close()
    try:
        return pa.OSFile(path)
    except (pa.ArrowException, OSError) as exc:
        if isinstance(exc, OSError) and exc.errno is not None:
            raise
        if not os.path.exists(path):
            raise FileNotFoundError(2, "No such file or directory", path) from None
        if os.path.isdir(path):
            raise IsADirectoryError(21, "Is a directory", path) from None
        if not os.access(path, os.R_OK):
            raise PermissionError(13, "Permission denied", path) from None
        raise DatabaseError(f"{path}: cannot be opened ({_one_line(exc)})") from None


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def open_targets(targets: Database | PathLike | Sequence[dovel.Domain]) -> Database | Sequence[dovel.Domain]:
    """A database from a path, a Database as is, or a list of domains as is."""
    if isinstance(targets, Database):
        return targets
    if isinstance(targets, (str, os.PathLike)):
        return Database.open(targets)
    return targets
