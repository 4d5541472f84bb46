"""Damaged files: the readers raise OSError, ValueError or TypeError and nothing else.

A seeded, bounded loop (a few seconds): real entries with bytes flipped, lines dropped, duplicated
or cut, truncated, coordinates made junk, NUL pages, numbering restarted, chain ids blanked, and
all of that compressed; plus compressed garbage, and reads under a size limit near the text's.
Also coordinates far out (PDB fields and mmCIF values), names that are not UTF-8, and a chain's
lines interrupted by another chain's: whatever reads holds finite coordinates within the bound.
"""

from __future__ import annotations

import gzip
import os
import pathlib
import random

import pytest

import conftest

import dovelkit
from dovelkit.io.reading import MAX_COORDINATE, read_structure

DATA = pathlib.Path(conftest.DATA)
SEEDS = [DATA / "1ubq.pdb", DATA / "2juy_crlf.pdb", DATA / "mmcif" / "1A8O.cif", DATA / "mmcif" / "5PTI.cif.gz"]
ROUNDS = int(os.environ.get("DOVEL_FUZZ_ROUNDS", "80"))
ALLOWED = (OSError, ValueError, TypeError)
TOKENS = [b"ATOM  ", b"HETATM", b"MODEL ", b"ENDMDL", b"TER", b"data_", b"loop_", b"_atom_site.", b"\x00",
          b"\r", b"\n", b"'", b'"', b";", b"#", b"?", b".", b"-", b"nan", b"1e308", b"\xff\xfe", b"  CA "]


def _hostile(rng: random.Random, lines: list[bytes], i: int) -> None:
    """Damage aimed at the checks around gemmi: coordinates, NUL pages, numbering, chain ids."""
    line = lines[i]
    choice = rng.randrange(7)
    if choice == 0 and len(line) > 54:  # a coordinate field of junk
        at = 30 + 8 * rng.randrange(3)
        lines[i] = line[:at] + rng.choice([b"     abc", b" " * 8, b"     nan", b"    -inf", b" 1.0e400", b"--1..2  "]) + line[at + 8:]
    elif choice == 1:  # a page of NUL bytes
        lines[i] = b"\0" * rng.choice([1, 512, 4096]) + line
    elif choice == 2 and len(line) > 26:  # numbering that starts again from here
        for j in range(i, min(len(lines), i + 400)):
            if lines[j][:6] in (b"ATOM  ", b"HETATM") and len(lines[j]) > 26 and lines[j][22:26].strip().isdigit():
                lines[j] = lines[j][:22] + b"%4d" % (int(lines[j][22:26]) % 7) + lines[j][26:]
    elif choice == 3 and len(line) > 22:  # a blank or odd chain id
        lines[i] = line[:21] + rng.choice([b" ", b"\xff", b"~"]) + line[22:]
    elif choice == 4 and len(line) > 54:  # a coordinate far out: a PDB field, or any mmCIF value
        far = rng.choice([b"99999999", b"-9999999", b"99999.99", b"-1.0e+05", b"  100000"])
        if line.startswith((b"ATOM  ", b"HETATM")) and line[6:11].strip().isdigit():
            at = 30 + 8 * rng.randrange(3)
            lines[i] = line[:at] + far + line[at + 8:]
        else:
            words = line.split(b" ")
            k = rng.randrange(len(words))
            words[k] = rng.choice([b"1e308", b"1e300", b"-1e9", far.strip()])
            lines[i] = b" ".join(words)
    elif choice == 5 and len(line) > 20:  # bytes that are not UTF-8 in a name
        at = rng.randrange(12, 21)
        lines[i] = line[:at] + rng.choice([b"\xe9", b"\xff\xfe", b"\xc3"]) + line[at + 1:]
    else:  # a run of lines moved later, under another chain id: the chain read around it
        j = min(len(lines), i + rng.randint(5, 80))
        moved = [x[:21] + b"Z" + x[22:] if len(x) > 22 else x for x in lines[i:j]]
        del lines[i:j]
        at = min(len(lines), i + rng.randint(1, 200))
        lines[at:at] = moved


def _mutate(rng: random.Random, data: bytes) -> bytes:
    buf = bytearray(data)
    for _ in range(rng.randint(1, 6)):
        kind = rng.randrange(7)
        if not buf:
            buf.extend(rng.choice(TOKENS))
        elif kind == 0:  # flip bytes
            for _ in range(rng.randint(1, 20)):
                buf[rng.randrange(len(buf))] = rng.randrange(256)
        elif kind == 1:  # truncate
            del buf[rng.randrange(len(buf)) :]
        elif kind == 2:  # insert a token
            pos = rng.randrange(len(buf))
            buf[pos:pos] = rng.choice(TOKENS) * rng.randint(1, 3)
        else:  # drop, duplicate or cut lines
            lines = bytes(buf).split(b"\n")
            i = rng.randrange(len(lines))
            j = min(len(lines), i + rng.randint(1, 50))
            if kind == 3:
                del lines[i:j]
            elif kind == 4:
                lines[i:i] = lines[i:j]
            elif kind == 6:
                _hostile(rng, lines, i)
            else:
                lines[i] = lines[i][: rng.randrange(len(lines[i]) + 1)]
            buf = bytearray(b"\n".join(lines))
    return bytes(buf)


def _check(path: pathlib.Path, max_size: int | None = None) -> None:
    for read in (read_structure, dovelkit.load, dovelkit.load_chains):
        try:
            result = read(path, max_size=max_size)
        except ALLOWED:
            continue
        for domain in result if isinstance(result, list) else [result] if read is dovelkit.load else []:
            assert len(domain) == len(domain.sequence) == domain.coordinates.shape[0] > 0
            assert (abs(domain.coordinates) < MAX_COORDINATE).all()


@pytest.mark.parametrize("seed_file", SEEDS, ids=lambda p: p.name)
def test_damaged_files_raise_documented_errors(seed_file: pathlib.Path, tmp_path: pathlib.Path) -> None:
    raw = seed_file.read_bytes()
    plain = gzip.decompress(raw) if raw[:2] == b"\x1f\x8b" else raw
    rng = random.Random(f"dovel-{seed_file.name}")
    path = tmp_path / "fuzzed"
    for _ in range(ROUNDS):
        content = _mutate(rng, plain)
        choice = rng.random()
        if choice < 0.25:
            content = gzip.compress(content)
        elif choice < 0.35:  # compressed, then damaged as compressed data
            content = _mutate(rng, gzip.compress(content))
        elif choice < 0.4:
            content = gzip.compress(rng.randbytes(rng.randint(0, 2000)))
        path.write_bytes(content)
        # Now and then a limit near the text's size: refused or read whole, nothing between.
        _check(path, rng.choice([None, None, None, max(1, len(plain) + rng.randint(-2000, 2000))]))
