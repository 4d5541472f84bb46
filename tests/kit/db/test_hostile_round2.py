"""Hostile inputs, second round: coordinates far out, databases whose footer was edited or whose
coordinates compress to nothing, chains interrupted by others, names that carry control
characters, and the messages of what goes wrong. Every file is made here from the project's own
test data."""

from __future__ import annotations

import gzip
import json
import os
import pathlib
import re
import shutil
import sys
import time

import gemmi
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import parquet_footer as pf
from conftest import DATA, dovel_cmd, one_line_error

import dovel
import dovelkit
from dovelkit import Database
from dovelkit.db.store import DatabaseError
from dovelkit.io.reading import MAX_COORDINATE

DATA_DIR = pathlib.Path(DATA)
UBQ = DATA_DIR / "1ubq.pdb"
GBT = DATA_DIR / "mmcif" / "1GBT.cif"
FILES = ["1o1z.pdb", "1ubq.pdb", "1k6p.pdb", "2beg.pdb", "1orc.pdb", "1ejg.pdb", "1a8o.pdb"]


def line_of(path: pathlib.Path, message: str) -> str:
    """The text of the line a message names ("<path>, line N: ...")."""
    m = re.search(r", line (\d+)", message)
    assert m is not None and str(path) in message, message
    data = path.read_bytes()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return data.decode("latin-1").splitlines()[int(m.group(1)) - 1]


def pdb_with_ca_x(path: pathlib.Path, residue: int, field: str) -> pathlib.Path:
    """1UBQ with the x field (8 columns) of one residue's CA replaced."""
    out = []
    for line in UBQ.read_text().splitlines(keepends=True):
        if line.startswith("ATOM") and line[12:16] == " CA " and int(line[22:26]) == residue:
            line = line[:30] + field.rjust(8) + line[38:]
        out.append(line)
    path.write_text("".join(out))
    return path


def cif_with_ca_x(path: pathlib.Path, value: float, residue: int | None) -> pathlib.Path:
    """1GBT as mmCIF with the CA x of one residue (every residue for None) set to ``value``, the
    file's other text as it was."""
    doc = gemmi.cif.read(str(GBT))
    table = doc.sole_block().find("_atom_site.", ["label_atom_id", "label_seq_id", "Cartn_x"])
    for row in table:
        if row[0] == "CA" and (residue is None or row[1] == str(residue)):
            row[2] = repr(value)
    doc.write_file(str(path))
    return path


# ---- coordinates beyond the range: refused by the reader, with file and line, in every format


@pytest.fixture
def far_files(tmp_path):
    cases = {
        "cif-1e308": cif_with_ca_x(tmp_path / "1gbt_far.cif", 1e308, 30),
        "cif-all-1e300": cif_with_ca_x(tmp_path / "1gbt_all.cif", 1e300, None),
        "cif-1e5": cif_with_ca_x(tmp_path / "1gbt_edge.cif", -MAX_COORDINATE, 30),
        "pdb-99999999": pdb_with_ca_x(tmp_path / "ubq_far.pdb", 30, "99999999"),
        "pdb-minus-9999999": pdb_with_ca_x(tmp_path / "ubq_neg.pdb", 30, "-9999999"),
    }
    gz = tmp_path / "ubq_far.pdb.gz"
    gz.write_bytes(gzip.compress(cases["pdb-99999999"].read_bytes()))
    cases["pdb-gzip"] = gz
    return cases


def test_far_coordinates_are_refused_with_file_and_line(far_files, tmp_path):
    for name, path in far_files.items():
        with pytest.raises(ValueError) as info:
            dovelkit.load(path)
        text = str(info.value)
        assert "out of range" in text and "100000" in text, (name, text)
        assert " CA " in line_of(path, text), (name, text)
        with pytest.raises(ValueError, match="out of range"):
            dovelkit.load_chains(path)
    # just inside the bound is read
    inside = pdb_with_ca_x(tmp_path / "inside.pdb", 30, "99999.99")
    assert dovelkit.load(inside).coordinates[29, 0] == 99999.99


def test_the_commands_refuse_far_coordinates_at_once(far_files, tmp_path):
    far, fine = far_files["cif-1e308"], DATA_DIR / "mmcif" / "1GBT.cif"
    for path in (far, far_files["pdb-99999999"]):
        for level in ("--fold", "--family"):
            start = time.monotonic()
            line = one_line_error(dovel_cmd("align", fine, path, level, timeout=60))
            assert time.monotonic() - start < 30
            assert str(path) in line and "line" in line and "out of range" in line, line
    result = dovel_cmd("db", "create", tmp_path / "db.parquet", far, UBQ, "--workers", "1")
    assert result.returncode == 0, result.stderr
    assert f"skipped {far}: line" in result.stderr and "out of range" in result.stderr
    assert Database.open(tmp_path / "db.parquet").ids == ["1ubq_A"]


def _database_with(tmp_path: pathlib.Path, name: str, victim: int, value: float) -> tuple[pathlib.Path, str]:
    """The 12-entry database with one coordinate of entry ``victim`` set to ``value`` (stored as
    float64, as a chain thousandths do not hold is)."""
    src = Database.create(tmp_path / "src.parquet", [DATA_DIR / f for f in FILES], workers=1)
    table = pq.read_table(src.path)
    milli = table.column("coordinates_milli").to_pylist()
    exact = table.column("coordinates").to_pylist()
    xyz = src.entry(victim).coordinates.copy()
    xyz[10, 0] = value
    milli[victim], exact[victim] = [], xyz.reshape(-1).tolist()
    table = table.set_column(5, table.schema.field(5), pa.array(milli, pa.list_(pa.int32())))
    table = table.set_column(6, table.schema.field(6), pa.array(exact, pa.list_(pa.float64())))
    path = tmp_path / name
    pq.write_table(table, path)
    return path, src.ids[victim]


@pytest.mark.parametrize("value, what", [(1e9, "out of range"), (float("nan"), "not a finite number")])
def test_far_or_nan_coordinates_in_a_database_name_the_entry(tmp_path, value, what):
    path, victim = _database_with(tmp_path, "bad.parquet", 5, value)
    db = Database.open(path)
    with pytest.raises(ValueError) as info:
        db.read_slice(0)
    assert f"entry '{victim}' (row 5)" in str(info.value) and what in str(info.value)
    line = one_line_error(dovel_cmd("search", UBQ, path, "--exhaustive", "-q", "--workers", "1", timeout=60))
    assert str(path) in line and f"entry '{victim}'" in line and what in line, line
    # and the writer stores no such entry in the first place
    bad = dovelkit.load(UBQ)
    coords = bad.coordinates.copy()
    coords[3, 1] = value
    bad.coordinates = coords
    with pytest.raises(ValueError, match=f"entry '1ubq_A'.*{what}"):
        Database.from_domains(tmp_path / "new.parquet", [bad])
    assert not (tmp_path / "new.parquet").exists()


# ---- a database is verified before it replaces anything; the reader takes what the writer writes


def _degenerate_files(folder: pathlib.Path, whole: bool) -> pathlib.Path:
    """Chains of 1000 CA atoms: all at one point, or on whole-number coordinates."""
    folder.mkdir()
    for f in range(20):
        lines = []
        for i in range(1000):
            x, y, z = (float(i), float(f), 0.0) if whole else (1.0, 2.0, 3.0)
            lines.append(f"ATOM  {i + 1:5d}  CA  ALA A{i + 1:4d}    {x:8.3f}{y:8.3f}{z:8.3f}  1.00  0.00           C\n")
        (folder / f"c{f:02d}.pdb").write_text("".join(lines) + "END\n")
    return folder


@pytest.mark.parametrize("whole", [False, True], ids=["one-point", "whole-numbers"])
def test_db_create_reads_its_own_output_over_an_old_database(tmp_path, whole):
    target = tmp_path / "db.parquet"
    Database.create(target, [UBQ], workers=1)
    folder = _degenerate_files(tmp_path / "in", whole)
    result = dovel_cmd("db", "create", target, folder, "--workers", "1")
    assert result.returncode == 0, result.stderr
    db = Database.open(target)
    assert len(db) == 20 and all(len(db.entry(i).sequence) == 1000 for i in range(20))


def test_a_database_that_does_not_read_back_replaces_nothing(tmp_path, monkeypatch):
    target = tmp_path / "db.parquet"
    Database.create(target, [UBQ], workers=1)
    before = target.read_bytes()

    def refuse(self, k, rows=None):
        raise DatabaseError(f"{self.path}: damaged structure database: slice {k} (made up)")

    monkeypatch.setattr(Database, "read_slice", refuse)
    with pytest.raises(ValueError) as info:
        Database.create(target, [DATA_DIR / f for f in FILES], workers=1)
    text = str(info.value)
    assert text.startswith(f"{target}: the database written does not read back") and "nothing replaced" in text
    assert ".part" not in text
    assert target.read_bytes() == before and os.listdir(tmp_path) == ["db.parquet"]


# ---- structured footer edits: refused, never a silent wrong list


@pytest.fixture(scope="module")
def sliced(tmp_path_factory):
    d = tmp_path_factory.mktemp("footer")
    db = Database.create(d / "sliced.parquet", [DATA_DIR / f for f in FILES], workers=1, rows_per_group=4)
    # the same, written without the slice size in its metadata
    table = pq.read_table(db.path)
    meta = {k: v for k, v in table.schema.metadata.items() if k != b"rows_per_group"}
    pq.write_table(table.replace_schema_metadata(meta), d / "plain.parquet", row_group_size=4)
    return pathlib.Path(db.path), d / "plain.parquet"


def _edited(data: bytes, edit) -> bytes:
    body, footer = pf.split(data)
    edit(footer, pf.row_groups(footer))
    return pf.join(body, footer)


def _copy_chunk(column):
    def edit(footer, groups):
        chunks = pf.field(groups[1], 1)[2][1]
        chunks[column] = pf.field(groups[0], 1)[2][1][column]
    return edit


def _set_total(footer, groups):
    pf.field(footer, 3)[2] = sum(pf.field(g, 3)[2] for g in groups)


def _twice(footer, groups):
    groups.insert(1, groups[1])
    _set_total(footer, groups)


def _dropped(footer, groups):
    del groups[1]
    _set_total(footer, groups)


def _swapped(footer, groups):
    groups[0], groups[1] = groups[1], groups[0]


def _lowered(footer, groups):
    """The last slice one entry short, in its row count, its columns' value counts and the file's
    total: as if the writer had stopped an entry early."""
    last = groups[-1]
    pf.field(last, 3)[2] -= 1
    for chunk in pf.field(last, 1)[2][1]:
        meta = pf.field(chunk, 3)[2]
        pf.field(meta, 5)[2] -= 1
    _set_total(footer, groups)


EDITS = {"id copied": _copy_chunk(0), "source copied": _copy_chunk(1), "chain copied": _copy_chunk(2),
         "keys copied": _copy_chunk(7), "slice twice": _twice, "slice dropped": _dropped,
         "slices swapped": _swapped, "last slice lowered": _lowered}


@pytest.mark.parametrize("edit", list(EDITS))
@pytest.mark.parametrize("which", [0, 1], ids=["rows-per-group", "no-rows-per-group"])
def test_structured_footer_edits_are_refused(sliced, tmp_path, edit, which):
    bad = tmp_path / "bad.parquet"
    bad.write_bytes(_edited(sliced[which].read_bytes(), EDITS[edit]))
    with pytest.raises(ValueError) as info:
        db = Database.open(bad)
        db.ids
        for k in range(db.n_slices):
            db.read_slice(k)
            db.labels(k)
            db.read_keys(k)
    assert str(bad) in str(info.value) and "damaged structure database" in str(info.value), str(info.value)


def test_a_footer_edit_is_refused_by_the_search_command(sliced, tmp_path):
    bad = tmp_path / "bad.parquet"
    bad.write_bytes(_edited(sliced[0].read_bytes(), _copy_chunk(0)))
    line = one_line_error(dovel_cmd("search", DATA_DIR / "1sp1.pdb", bad, "-q", "--workers", "1"))
    assert str(bad) in line and "damaged structure database" in line


def test_duplicate_ids_are_refused(sliced, tmp_path):
    table = pq.read_table(sliced[0])
    ids = table.column("id").to_pylist()
    ids[9] = ids[2]  # one in another slice, one in the same slice
    ids[3] = ids[2]
    path = tmp_path / "dup.parquet"
    pq.write_table(table.set_column(0, table.schema.field(0), pa.array(ids)), path, row_group_size=4)
    db = Database.open(path)
    with pytest.raises(ValueError, match=f"id '{ids[2]}' .*twice"):
        db.read_slice(0)
    with pytest.raises(ValueError, match=f"id '{ids[2]}' .*twice"):
        db.ids


# ---- a chain interrupted by another is read whole


def test_a_chain_interrupted_by_another_is_read_whole(tmp_path):
    lines = UBQ.read_text().splitlines(keepends=True)
    atoms = [line for line in lines if line.startswith("ATOM")]
    first = [line for line in atoms if int(line[22:26]) <= 39]
    rest = [line for line in atoms if int(line[22:26]) > 39]
    other = [line[:21] + "B" + line[22:] for line in first[:80]]
    path = tmp_path / "aba.pdb"
    path.write_text("".join(first + other + rest) + "END\n")
    whole = dovelkit.load(UBQ)
    a = dovelkit.load(path, chain="A")
    assert a.sequence == whole.sequence and np.array_equal(a.coordinates, whole.coordinates)
    assert len(a) == len(dovel.Domain.from_pdb(str(path), "A"))
    chains = dovelkit.load_chains(path)
    assert [d.id for d in chains] == ["aba_A", "aba_B"] and len(chains[0]) == len(whole)
    result = dovel_cmd("db", "create", tmp_path / "db.parquet", path, "--workers", "1")
    assert result.returncode == 0, result.stderr
    # mmCIF too: the chain's parts are one chain
    cif = tmp_path / "aba.cif"
    st = gemmi.read_structure(str(path))
    st.setup_entities()
    st.make_mmcif_document().write_file(str(cif))
    assert dovelkit.load(cif, chain="A").sequence == whole.sequence


# ---- names with control characters leave every output well-formed

EVIL = ["evil\n>injected\nAAAA", "tab\there", "cr\rname", "esc\x1b[31mred", "bell\x07"]


@pytest.fixture
def evil_files(tmp_path):
    folder = tmp_path / "evil"
    folder.mkdir()
    sources = ["1sp1.pdb", "1sp2.pdb", "3znf.pdb", "1ubq.pdb", "1o1z.pdb"]
    paths = []
    for name, src in zip(EVIL, sources):
        path = folder / f"{name}.pdb"
        shutil.copy(DATA_DIR / src, path)
        paths.append(path)
    return folder, paths


def _clean_text(text: str) -> None:
    assert not re.search(r"[\x00-\x08\x0b-\x1f\x7f]", text), repr(text)


def test_names_leave_fasta_tsv_json_and_the_terminal_well_formed(evil_files, tmp_path):
    folder, paths = evil_files
    fasta = tmp_path / "out.fasta"
    result = dovel_cmd("msa", *paths[:4], "-o", tmp_path / "moved", "--fasta", fasta)
    assert result.returncode in (0, 3), result.stderr
    records = [line for line in fasta.read_text().splitlines() if line.startswith(">")]
    assert len(records) == 5, records  # four structures and the core line
    _clean_text(result.stdout)
    _clean_text(fasta.read_text())

    db = tmp_path / "db.parquet"
    made = dovel_cmd("db", "create", db, folder, "--workers", "1")
    assert made.returncode == 0, made.stderr
    _clean_text(made.stderr)
    out = tmp_path / "hits.tsv"
    found = dovel_cmd("search", paths[0], db, "-o", out, "--all", "--workers", "1", "-q")
    assert found.returncode == 0, found.stderr
    text = out.read_text()
    _clean_text(text.replace("\t", " "))
    rows = text.splitlines()
    assert len(rows) == 1 + len(paths) and len({row.count("\t") for row in rows}) == 1
    for command in (["search", paths[0], db, "--all", "--workers", "1", "-q"],
                    ["align", paths[0], paths[2]], ["align", paths[0], paths[2], "--family"]):
        shown = dovel_cmd(*command)
        assert shown.returncode == 0, shown.stderr
        _clean_text(shown.stdout + shown.stderr)
    many = dovel_cmd("search", db, db, "--all", "--workers", "1", "-q")
    assert many.returncode == 0, many.stderr
    _clean_text(many.stdout.replace("\t", " "))
    assert len({row.count("\t") for row in many.stdout.splitlines()}) == 1
    as_json = dovel_cmd("search", paths[0], db, "--json", "--all", "--workers", "1", "-q")
    assert {h["id"] for h in json.loads(as_json.stdout)["hits"]} == set(Database.open(db).ids)
    # an error naming such a file stays one line
    broken = folder / "bad\x1b]0;title\x07\n.pdb"
    broken.write_text("HEADER    nothing\n")
    line = one_line_error(dovel_cmd("align", paths[0], broken))
    _clean_text(line)


# ---- messages name what they are about


def test_non_utf8_residue_names_are_refused_with_file_and_line(tmp_path):
    data = UBQ.read_bytes()
    at = data.index(b"ATOM    100 ")
    path = tmp_path / "latin.pdb"
    path.write_bytes(data[:at + 17] + b"\xe9\xe9\xe9" + data[at + 20:])
    with pytest.raises(ValueError) as info:
        dovelkit.load(path)
    assert line_of(path, str(info.value)).startswith("ATOM    100 ")
    line = one_line_error(dovel_cmd("align", UBQ, path))
    assert str(path) in line and "line" in line


def test_a_scheduler_address_out_of_range_is_a_plain_mistake(tmp_path):
    address = "tcp://127.0.0.1:" + "9" * 30
    line = one_line_error(dovel_cmd("search", UBQ, DATA_DIR / "1o1z.pdb", "--scheduler", address,
                                    "--connect-timeout", "1", "-q"))
    assert address in line and "internal error" not in line, line


def test_outputs_are_checked_before_the_work(tmp_path):
    locked = pathlib.Path("/proc/self")  # a folder no one can make files in, root included
    targets = [DATA_DIR / f for f in FILES]
    for command in (["search", UBQ, *targets, "-o"], ["search", UBQ, *targets, "--html"], ["align", UBQ, GBT, "-o"],
                    ["db", "create"]):
        start = time.monotonic()
        out = locked / ("x.pdb" if command[0] == "align" else "x")
        args = command + [out] + (targets if command[0] == "db" else []) + (["-q"] if command[0] == "search" else [])
        line = one_line_error(dovel_cmd(*args))
        assert str(out) in line and "cannot be written" in line, line
        assert time.monotonic() - start < 5


def _double(x):
    return 2 * x


def test_a_killed_worker_server_is_started_again(tmp_path):
    import signal

    from dovelkit.runtime.pools import WorkerPool, _server_pid

    with WorkerPool(2) as pool:
        first = list(pool.run(((_double, (i,), f"doubling {i}") for i in range(4)), ordered=True))
        os.kill(_server_pid(), signal.SIGKILL)
        time.sleep(0.2)
        again = list(pool.run(((_double, (i,), f"doubling {i}") for i in range(40)), ordered=True))
    assert first == [(i, 2 * i) for i in range(4)] and again == [(i, 2 * i) for i in range(40)]
    with WorkerPool(1) as pool:  # a new pool after the kill
        os.kill(_server_pid(), signal.SIGKILL)
        time.sleep(0.2)
    with WorkerPool(2) as pool:
        assert [v for _, v in pool.run(((_double, (i,), "x") for i in range(3)), ordered=True)] == [0, 2, 4]


def test_a_full_disk_is_named_by_the_output(tmp_path, monkeypatch):
    import errno

    from dovelkit.io import atomic

    def full(fd):
        raise OSError(errno.ENOSPC, "No space left on device")

    target = tmp_path / "db.parquet"
    monkeypatch.setattr(atomic.os, "fsync", full)
    with pytest.raises(OSError) as info:
        Database.create(target, [UBQ], workers=1)
    assert info.value.filename == str(target) and info.value.errno == errno.ENOSPC
    assert os.listdir(tmp_path) == []



def _kill_the_server_of(args):
    """Run the command, SIGKILL the server that forks its workers as soon as it runs; (status,
    stdout, stderr, whether it was killed)."""
    import signal
    import subprocess

    from conftest import kit_env

    proc = subprocess.Popen([sys.executable, "-m", "dovelkit", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=kit_env())
    killed = False
    deadline = time.monotonic() + 60
    while not killed and proc.poll() is None and time.monotonic() < deadline:
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                cmdline = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes()
                parent = int(pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            if parent == proc.pid and b"forkserver" in cmdline:
                os.kill(int(pid), signal.SIGKILL)
                killed = True
                break
        time.sleep(0.005)
    out, err = proc.communicate(timeout=300)
    return proc.returncode, out, err, killed


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="/proc")
def test_a_search_whose_worker_server_is_killed_gives_the_same_table(tmp_path):
    db = Database.create(tmp_path / "db.parquet", [DATA_DIR / f for f in FILES], workers=1, rows_per_group=2).path
    clean = dovel_cmd("search", db, db, "--workers", "2", "-q")
    assert clean.returncode == 0, clean.stderr
    status, out, err, killed = _kill_the_server_of(["search", db, db, "--workers", "2", "-q"])
    assert killed and status == 0, err
    assert out == clean.stdout


# ---- memory: what is built from a large file stays a small multiple of its text

MEMORY_PROBE = """
import resource, sys, dovelkit
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
chains = dovelkit.load_chains(sys.argv[1])
print(len(chains), sum(len(c) for c in chains), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base)
"""


def _large_cif(path: pathlib.Path, copies: int) -> int:
    """1GBT's atoms written ``copies`` times, each copy a chain of its own (ids C0, C1, ...)."""
    lines = GBT.read_text().splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("ATOM"))
    end = start
    while end < len(lines) and lines[end].startswith(("ATOM", "HETATM")):
        end += 1
    header = lines[start - 1::-1]
    columns = [line.strip() for line in reversed(header[:next(i for i, h in enumerate(header) if h == "loop_")])]
    asym = [columns.index("_atom_site.label_asym_id"), columns.index("_atom_site.auth_asym_id")]
    rows = [line.split() for line in lines[start:end] if line.startswith("ATOM")]
    with open(path, "w") as fh:
        fh.write("\n".join(lines[:start]) + "\n")
        for c in range(copies):
            for row in rows:
                for k in asym:
                    row[k] = f"C{c}"
            fh.write("\n".join(" ".join(row) for row in rows) + "\n")
        fh.write("\n".join(lines[end:]) + "\n")
    return copies * len(rows)


def test_a_large_file_is_read_in_a_small_multiple_of_its_text(tmp_path):
    import subprocess

    from conftest import kit_env

    path = tmp_path / "large.cif"
    atoms = _large_cif(path, 300)
    size = path.stat().st_size
    result = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path)], capture_output=True, text=True,
                            env=kit_env(), timeout=120)
    assert result.returncode == 0, result.stderr
    n_chains, residues, grown_kb = map(int, result.stdout.split())
    assert n_chains == 300 and residues == 300 * len(dovelkit.load(GBT))
    print(f"\n{atoms} atoms in {size >> 20} MB of mmCIF: read in {grown_kb >> 10} MB more")
    assert grown_kb * 1024 < 3 * size
