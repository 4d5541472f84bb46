"""A structure database: every protein chain of a collection of files, in one Parquet file.

Each entry holds the chain's id, source path, chain id, sequence, secondary structure and C-alpha
coordinates. Entries are stored in row groups of a fixed number of entries, so one slice of the
database (one row group) reads on its own: a search worker only ever holds the slice it scans.
"""

from __future__ import annotations

import os
import time
from bisect import bisect_right
from collections.abc import Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

import dovel

from dovelkit.atomic import replacing
from dovelkit.inputs import collect_files, read_files
from dovelkit.reading import check_max_size
from dovelkit.paths import PathLike
from dovelkit.pools import check_workers, default_workers

FORMAT_NAME = b"dovel-structure-database"
FORMAT_VERSION = b"1"
DEFAULT_ROWS_PER_GROUP = 1000

SCHEMA = pa.schema(
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
    ],
    metadata={b"format": FORMAT_NAME, b"version": FORMAT_VERSION},
)


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
        )
        self.columns: dict[str, list[Any]] = {name: [] for name in SCHEMA.names}

    def add(self, id_: str, source: str, chain: str, sequence: str, ss: str, coords: np.ndarray) -> None:
        c = self.columns
        c["id"].append(id_)
        c["source"].append(source)
        c["chain"].append(chain)
        c["sequence"].append(sequence)
        c["secondary_structure"].append(ss)
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
        table = pa.Table.from_arrays(arrays, schema=self.writer.schema)
        self.writer.write_table(table, row_group_size=self.rows_per_group)
        self.columns = {name: [] for name in SCHEMA.names}

    def close(self) -> None:
        self.flush()
        self.writer.close()


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
        writer = _GroupWriter(tmp, rows_per_group)
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
                writer.add(id_, source, chain, sequence, ss, coords)
                summary.entries += 1
            if summary.entries == 0:
                raise ValueError("no protein chain found in the inputs; nothing written")
        except BaseException:
            writer.writer.close()
            raise
        writer.close()
    summary.bytes = os.path.getsize(target)


# --------------------------------------------------------------------------------------------
# Reading


class Database:
    """A structure database in a Parquet file, read slice by slice.

    ``len(db)``, ``db.ids``, ``db[i]`` (a ``dovel.Domain``), ``db.get(id)``, ``db.entry(i)``
    (every stored field, secondary structure included), ``iter(db)`` and ``db.iter_slices()``
    read only what they need: one row group, or one column.
    """

    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)
        self.summary: CreationSummary | None = None
        try:
            self._file = pq.ParquetFile(self.path)
        except (pa.ArrowInvalid, pa.ArrowIOError) as exc:
            if isinstance(exc, OSError) and not os.path.exists(self.path):
                raise FileNotFoundError(2, "No such file or directory", self.path) from None
            raise ValueError(f"{self.path}: not a structure database ({exc})") from None
        meta = self._file.schema_arrow.metadata or {}
        if meta.get(b"format") != FORMAT_NAME or self._file.schema_arrow.names != SCHEMA.names:
            raise ValueError(f"{self.path}: not a structure database (a Parquet file of other content)")
        counts = [self._file.metadata.row_group(k).num_rows for k in range(self._file.num_row_groups)]
        self._starts = [0]
        for n in counts:
            self._starts.append(self._starts[-1] + n)
        self._cache: tuple[int, pa.Table] | None = None
        self._ids: list[str] | None = None

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
        ``dovelkit.reading.read_structure``); it holds in every reading process.
        """
        if isinstance(inputs, (str, bytes, os.PathLike)):
            inputs = [inputs]
        start = time.perf_counter()
        check_max_size(max_size)
        summary = CreationSummary()
        files = collect_files(inputs, summary.skipped)
        n_workers = default_workers() if workers is None else check_workers(workers)
        bar = None
        if progress:
            from dovelkit.progress import progress_bar

            bar = progress_bar(total=len(files), unit="file", desc="reading")

        def records() -> Generator[Any, None, None]:
            for fpath, result in read_files(files, min(n_workers, len(files)), max_size):
                if bar is not None:
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
            if bar is not None:
                bar.close()
        summary.seconds = time.perf_counter() - start
        db = cls(path)
        db.summary = summary
        return db

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

    def _group(self, k: int) -> pa.Table:
        if self._cache is None or self._cache[0] != k:
            self._cache = (k, self._file.read_row_group(k))
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

    # ---- entries

    def entry(self, i: int) -> Entry:
        """Every stored field of entry ``i``."""
        k, row = self._locate(i)
        return _entries(self._group(k), row, row + 1)[0]

    def __getitem__(self, i: int) -> dovel.Domain:
        return self.entry(i).domain()

    def read_slice(self, k: int) -> list[Entry]:
        """The entries of slice ``k``."""
        if not 0 <= k < self.n_slices:
            raise IndexError(f"slice index out of range (0 to {self.n_slices - 1})")
        table = self._file.read_row_group(k)
        return _entries(table, 0, table.num_rows)

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
            self._ids = self._file.read(columns=["id"]).column("id").to_pylist()
        return self._ids

    def position(self, id_: str) -> int | None:
        """The position of the entry with this id, or None; reads the id column slice by slice."""
        if self._ids is not None:
            try:
                return self._ids.index(id_)
            except ValueError:
                return None
        for k in range(self.n_slices):
            column = self._file.read_row_group(k, columns=["id"]).column("id")
            hit = pc.index(column, id_).as_py()
            if hit >= 0:
                return self._starts[k] + int(hit)
        return None

    def get(self, id_: str, default: Any = None) -> dovel.Domain | Any:
        """The domain with this id, or ``default``."""
        i = self.position(id_)
        return default if i is None else self[i]


def _entries(table: pa.Table, lo: int, hi: int) -> list[Entry]:
    part = table.slice(lo, hi - lo)
    ids = part.column("id").to_pylist()
    sources = part.column("source").to_pylist()
    chains = part.column("chain").to_pylist()
    seqs = part.column("sequence").to_pylist()
    sss = part.column("secondary_structure").to_pylist()
    milli, milli_off = _flat_lists(part.column("coordinates_milli"))
    exact, exact_off = _flat_lists(part.column("coordinates"))
    out = []
    for r in range(len(ids)):
        n = len(seqs[r])
        if milli_off[r + 1] > milli_off[r]:
            planar = milli[milli_off[r]: milli_off[r + 1]].astype(np.float64) / 1000.0
            xyz = np.ascontiguousarray(planar.reshape(3, n).T)
        else:
            xyz = np.array(exact[exact_off[r]: exact_off[r + 1]], dtype=np.float64).reshape(n, 3)
        out.append(Entry(ids[r], sources[r], chains[r], seqs[r], sss[r], xyz))
    return out


def _flat_lists(column: pa.ChunkedArray) -> tuple[np.ndarray, np.ndarray]:
    """The values of a list column and each row's offsets into them (starting at 0)."""
    lists = column.combine_chunks()
    offsets = lists.offsets.to_numpy()
    return lists.flatten().to_numpy(zero_copy_only=False), offsets - offsets[0]


def open_targets(targets: Database | PathLike | Sequence[dovel.Domain]) -> Database | Sequence[dovel.Domain]:
    """A database from a path, a Database as is, or a list of domains as is."""
    if isinstance(targets, Database):
        return targets
    if isinstance(targets, (str, os.PathLike)):
        return Database.open(targets)
    return targets
