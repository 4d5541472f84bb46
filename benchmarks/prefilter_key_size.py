"""Size of search keys under zstd, as the database stores them.

Reads the length-prefixed key streams that `bench_prefilter --keys-out FILE`
writes (FILE: the benchmark column; FILE.pool: one key per real chain) and
reports raw bytes per key and zstd-compressed bytes per key, for the keys
stored as one Parquet binary column and for the letter bytes compressed
together (level 3, as pyarrow's default).

    python3 benchmarks/prefilter_key_size.py /tmp/keys.bin
"""

import io
import struct
import sys

import pyarrow as pa
import pyarrow.parquet as pq


def read_keys(path):
    keys = []
    with open(path, "rb") as f:
        data = f.read()
    pos = 0
    while pos < len(data):
        (n,) = struct.unpack_from("<I", data, pos)
        keys.append(data[pos + 4 : pos + 4 + n])
        pos += 4 + n
    return keys


def parquet_bytes(keys, compression):
    buf = io.BytesIO()
    pq.write_table(pa.table({"key": pa.array(keys, pa.binary())}), buf, compression=compression)
    return buf.tell()


def report(name, keys):
    raw = sum(len(k) for k in keys)
    blob = b"".join(keys)
    zstd = len(pa.compress(blob, codec="zstd", asbytes=True))
    empty = parquet_bytes([b""], "zstd")
    pz = parquet_bytes(keys, "zstd") - empty
    pn = parquet_bytes(keys, "none") - empty
    n = len(keys)
    print(f"{name}: {n} keys, raw {raw / n:.1f} B/key; zstd over the concatenated keys {zstd / n:.1f} B/key; "
          f"Parquet column {pn / n:.1f} B/key uncompressed, {pz / n:.1f} B/key zstd")


def main():
    path = sys.argv[1]
    report("real chains", read_keys(path + ".pool"))
    report("benchmark column", read_keys(path))


if __name__ == "__main__":
    main()
