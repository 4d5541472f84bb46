"""Reading and rewriting the footer of a Parquet file (its Thrift compact-protocol FileMetaData), to
damage a database's description of itself the way a faulty disk or a hostile file would.

A struct is a list of [field id, type, value] (type from the compact protocol), a list is
[element type, [values]], a map is [key type, value type, [(key, value), ...]].
"""

from __future__ import annotations

import struct

STOP, TRUE, FALSE, BYTE, I16, I32, I64, DOUBLE, BINARY, LIST, SET, MAP, STRUCT = range(13)


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
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

    def zigzag(self) -> int:
        n = self.varint()
        return (n >> 1) ^ -(n & 1)

    def value(self, kind: int):
        if kind in (TRUE, FALSE):
            return kind == TRUE
        if kind == BYTE:
            return self.byte()
        if kind in (I16, I32, I64):
            return self.zigzag()
        if kind == DOUBLE:
            v = struct.unpack_from("<d", self.data, self.pos)[0]
            self.pos += 8
            return v
        if kind == BINARY:
            n = self.varint()
            v = self.data[self.pos:self.pos + n]
            self.pos += n
            return bytes(v)
        if kind in (LIST, SET):
            head = self.byte()
            size, elem = head >> 4, head & 0x0F
            if size == 15:
                size = self.varint()
            if elem in (TRUE, FALSE):
                return [elem, [self.byte() == 1 for _ in range(size)]]
            return [elem, [self.value(elem) for _ in range(size)]]
        if kind == MAP:
            size = self.varint()
            if size == 0:
                return [0, 0, []]
            types = self.byte()
            kt, vt = types >> 4, types & 0x0F
            return [kt, vt, [(self.value(kt), self.value(vt)) for _ in range(size)]]
        if kind == STRUCT:
            return self.struct()
        raise ValueError(f"unknown compact type {kind}")

    def struct(self) -> list:
        fields = []
        last = 0
        while True:
            head = self.byte()
            kind = head & 0x0F
            if kind == STOP:
                return fields
            delta = head >> 4
            fid = last + delta if delta else self.zigzag()
            fields.append([fid, kind, self.value(kind)])
            last = fid


class _Writer:
    def __init__(self) -> None:
        self.out = bytearray()

    def varint(self, n: int) -> None:
        while True:
            b = n & 0x7F
            n >>= 7
            if n:
                self.out.append(b | 0x80)
            else:
                self.out.append(b)
                return

    def zigzag(self, n: int) -> None:
        self.varint((n << 1) ^ (n >> 63))

    def value(self, kind: int, v) -> None:
        if kind in (TRUE, FALSE):
            return
        if kind == BYTE:
            self.out.append(v & 0xFF)
        elif kind in (I16, I32, I64):
            self.zigzag(v)
        elif kind == DOUBLE:
            self.out += struct.pack("<d", v)
        elif kind == BINARY:
            self.varint(len(v))
            self.out += v
        elif kind in (LIST, SET):
            elem, items = v
            if len(items) < 15:
                self.out.append((len(items) << 4) | elem)
            else:
                self.out.append(0xF0 | elem)
                self.varint(len(items))
            for item in items:
                if elem in (TRUE, FALSE):
                    self.out.append(1 if item else 2)
                else:
                    self.value(elem, item)
        elif kind == MAP:
            kt, vt, items = v
            self.varint(len(items))
            if items:
                self.out.append((kt << 4) | vt)
                for key, val in items:
                    self.value(kt, key)
                    self.value(vt, val)
        elif kind == STRUCT:
            self.struct(v)
        else:
            raise ValueError(f"unknown compact type {kind}")

    def struct(self, fields: list) -> None:
        last = 0
        for fid, kind, v in fields:
            if kind in (TRUE, FALSE):
                kind = TRUE if v else FALSE
            if 0 < fid - last <= 15:
                self.out.append(((fid - last) << 4) | kind)
            else:
                self.out.append(kind)
                self.zigzag(fid)
            self.value(kind, v)
            last = fid
        self.out.append(STOP)


def split(data: bytes) -> tuple[bytes, list]:
    """The file's bytes before the footer, and the footer decoded."""
    assert data[-4:] == b"PAR1"
    n = struct.unpack("<I", data[-8:-4])[0]
    start = len(data) - 8 - n
    return data[:start], _Reader(data[start:len(data) - 8]).struct()


def join(body: bytes, footer: list) -> bytes:
    w = _Writer()
    w.struct(footer)
    return body + bytes(w.out) + struct.pack("<I", len(w.out)) + b"PAR1"


def field(fields: list, fid: int) -> list:
    """The [id, type, value] entry of field ``fid`` (KeyError when absent)."""
    for f in fields:
        if f[0] == fid:
            return f
    raise KeyError(fid)


# FileMetaData: 3 num_rows, 4 row_groups; RowGroup: 1 columns, 3 num_rows; ColumnChunk: 3 meta_data;
# ColumnMetaData: 5 num_values.
def row_groups(footer: list) -> list:
    return field(footer, 4)[2][1]


def set_row_count(data: bytes, group: int, n: int, also_file: bool = True) -> bytes:
    """The file with row group ``group`` claiming ``n`` rows (and the file's total to match)."""
    body, footer = split(data)
    groups = row_groups(footer)
    old = field(groups[group], 3)[2]
    field(groups[group], 3)[2] = n
    if also_file:
        field(footer, 3)[2] += n - old
    return join(body, footer)


def integer_fields(node, path=()):
    """(path, value) of every integer field in the footer, for random damage."""
    if isinstance(node, list) and node and isinstance(node[0], list) and len(node[0]) == 3 and isinstance(node[0][0], int):
        for i, (fid, kind, v) in enumerate(node):
            if kind in (I16, I32, I64):
                yield path + (i,), v
            elif kind == STRUCT:
                yield from integer_fields(v, path + (i, 2))
            elif kind == LIST and v[0] == STRUCT:
                for j, item in enumerate(v[1]):
                    yield from integer_fields(item, path + (i, 2, 1, j))


def set_at(footer: list, path: tuple, value: int) -> None:
    node = footer
    for step in path:
        node = node[step]
    node[2] = value
