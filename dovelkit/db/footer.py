"""A strict, bounded reader of a Parquet file's footer (its Thrift compact-protocol FileMetaData).

The database checks the file's description of itself here, in plain Python, before the Parquet
reader builds anything from it: a damaged footer then gives an error, never a huge allocation
(every count is checked against the bytes left) nor a fault of the reader's own metadata objects.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any

_STOP, _TRUE, _FALSE, _BYTE, _I16, _I32, _I64, _DOUBLE, _BINARY, _LIST, _SET, _MAP, _STRUCT = range(13)
_MAX_DEPTH = 32


class FooterError(ValueError):
    pass


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            raise FooterError("the footer ends early")
        b = self.data[self.pos]
        self.pos += 1
        return b

    def varint(self) -> int:
        shift = result = 0
        while True:
            b = self.byte()
            result |= (b & 0x7F) << shift
            if not b & 0x80:
                return result
            shift += 7
            if shift > 63:
                raise FooterError("a number of the footer is too long")

    def zigzag(self) -> int:
        n = self.varint()
        return (n >> 1) ^ -(n & 1)

    def count(self, n: int) -> int:
        if n > len(self.data) - self.pos:
            raise FooterError(f"the footer claims {n} items in {len(self.data) - self.pos} bytes")
        return n

    def value(self, kind: int, depth: int) -> Any:
        if depth > _MAX_DEPTH:
            raise FooterError("the footer nests too deep")
        if kind in (_TRUE, _FALSE):
            return kind == _TRUE
        if kind == _BYTE:
            return self.byte()
        if kind in (_I16, _I32, _I64):
            return self.zigzag()
        if kind == _DOUBLE:
            self.count(8)
            self.pos += 8
            return struct.unpack_from("<d", self.data, self.pos - 8)[0]
        if kind == _BINARY:
            n = self.count(self.varint())
            self.pos += n
            return self.data[self.pos - n:self.pos]
        if kind in (_LIST, _SET):
            head = self.byte()
            size, elem = head >> 4, head & 0x0F
            if size == 15:
                size = self.varint()
            self.count(size)
            if elem in (_TRUE, _FALSE):
                return [self.byte() == 1 for _ in range(size)]
            return [self.value(elem, depth + 1) for _ in range(size)]
        if kind == _MAP:
            size = self.count(self.varint())
            if size == 0:
                return {}
            types = self.byte()
            return dict((self.value(types >> 4, depth + 1), self.value(types & 0x0F, depth + 1))
                        for _ in range(size))
        if kind == _STRUCT:
            return self.struct(depth + 1)
        raise FooterError(f"unknown field type {kind} in the footer")

    def struct(self, depth: int = 0) -> dict[int, Any]:
        fields: dict[int, Any] = {}
        last = 0
        while True:
            head = self.byte()
            kind = head & 0x0F
            if kind == _STOP:
                return fields
            delta = head >> 4
            fid = last + delta if delta else self.zigzag()
            fields[fid] = self.value(kind, depth)
            last = fid


@dataclass
class Column:
    path: str
    num_values: int
    compressed: int
    uncompressed: int
    start: int = 0  # where the column chunk's first page begins in the file


@dataclass
class Pages:
    """What the page headers of one column chunk say: the values of its data pages, and the rows
    where the pages tell them (version 2 data pages)."""

    values: int
    rows: int | None


@dataclass
class RowGroup:
    num_rows: int
    columns: list[Column]


@dataclass
class Footer:
    num_rows: int
    row_groups: list[RowGroup]


def _int(fields: dict[int, Any], fid: int, what: str) -> int:
    v = fields.get(fid)
    if not isinstance(v, int) or isinstance(v, bool):
        raise FooterError(f"the footer has no {what}")
    return v


def read(handle: Any, size: int) -> Footer:
    """The footer of the open file ``handle`` (``size`` bytes), checked for what it must hold."""
    if size < 12:
        raise FooterError(f"a file of {size} bytes is too small")
    handle.seek(size - 8)
    tail = handle.read(8)
    if len(tail) != 8 or tail[4:] != b"PAR1":
        raise FooterError("no Parquet footer")
    n = struct.unpack("<I", tail[:4])[0]
    if n > size - 12:
        raise FooterError(f"a footer of {n} bytes in a file of {size}")
    handle.seek(size - 8 - n)
    data = handle.read(n)
    if len(data) != n:
        raise FooterError("the footer cannot be read whole")
    meta = _Reader(data).struct()
    groups = []
    for g in meta.get(4, []) or []:
        if not isinstance(g, dict):
            raise FooterError("a row group of the footer is not a record")
        columns = []
        for c in g.get(1, []) or []:
            cm = c.get(3) if isinstance(c, dict) else None
            if not isinstance(cm, dict):
                raise FooterError("a column of the footer has no description")
            path = cm.get(3)
            if not isinstance(path, list) or not all(isinstance(p, bytes) for p in path):
                raise FooterError("a column of the footer has no name")
            dictionary = cm.get(11)
            start = dictionary if isinstance(dictionary, int) and dictionary > 0 else _int(cm, 9, "page offset")
            columns.append(Column(b".".join(path).decode("utf-8", "replace"), _int(cm, 5, "value count"),
                                  _int(cm, 7, "compressed size"), _int(cm, 6, "size"), start))
        groups.append(RowGroup(_int(g, 3, "row count"), columns))
    if not isinstance(meta.get(4), list):
        raise FooterError("the footer has no row groups")
    _check_layout(groups, size - 8 - n)
    return Footer(_int(meta, 3, "row count"), groups)


def _check_layout(groups: list[RowGroup], end: int) -> None:
    """The column chunks must lie one after the other, in the order the footer lists them, from
    the file's magic number to its footer: a chunk listed twice, out of its place, or not at all
    (a row group dropped) leaves an overlap or a gap."""
    at = 4
    for k, group in enumerate(groups):
        for column in group.columns:
            if column.start != at or column.compressed < 0:
                what = "overlaps another" if column.start < at else "leaves a gap before it"
                raise FooterError(f"slice {k}: the {column.path.split('.')[0]} column's pages are not where the "
                                  f"footer's layout puts them (byte {column.start}, expected {at}: it {what})")
            at += column.compressed
    if at != end:
        raise FooterError(f"the column chunks end at byte {at}, not where the footer begins ({end})")


# PageHeader: 1 type, 3 compressed size, 5 data page header (1 num_values), 8 data page header
# version 2 (1 num_values, 3 num_rows). Page types: 0 data, 2 dictionary, 3 data version 2.
_DATA_PAGE, _DATA_PAGE_V2 = 0, 3


def read_pages(handle: Any, column: Column) -> Pages:
    """The page headers of one column chunk, read from the file: they must fill the chunk exactly."""
    end = column.start + column.compressed
    at = column.start
    values = 0
    rows: int | None = None
    while at < end:
        want = min(end - at, 1 << 12)
        while True:
            handle.seek(at)
            data = handle.read(want)
            reader = _Reader(data)
            try:
                header = reader.struct()
                break
            except FooterError:
                if want >= min(end - at, 1 << 24):
                    raise FooterError(f"a page header of the {column.path} column cannot be read") from None
                want = min(end - at, want * 8)
        size = header.get(3)
        kind = header.get(1)
        if not isinstance(size, int) or size < 0 or at + reader.pos + size > end:
            raise FooterError(f"a page of the {column.path} column runs past its column chunk")
        if kind == _DATA_PAGE or kind == _DATA_PAGE_V2:
            page = header.get(5 if kind == _DATA_PAGE else 8)
            if not isinstance(page, dict) or not isinstance(page.get(1), int) or page[1] < 0:
                raise FooterError(f"a page of the {column.path} column has no value count")
            values += page[1]
            if kind == _DATA_PAGE_V2 and isinstance(page.get(3), int):
                rows = (rows or 0) + page[3]
        at += reader.pos + size
    return Pages(values, rows)
