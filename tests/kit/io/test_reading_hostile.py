"""Reading files that are odd, old or hostile: real entries, the damage applied here."""

from __future__ import annotations

import gzip
import os
import pathlib
import subprocess
import sys
import textwrap
import zlib

import gemmi
import numpy as np
import pytest

import conftest

import dovel
import dovelkit
from dovelkit.db.store import Database
from dovelkit.io.inputs import collect_files
from dovelkit.io.reading import DEFAULT_MAX_SIZE, read_structure

DATA = pathlib.Path(conftest.DATA)
UBQ = DATA / "1ubq.pdb"


def same_domain(a: dovel.Domain, b: dovel.Domain) -> bool:
    return a.sequence == b.sequence and np.array_equal(a.coordinates, b.coordinates)


def edit_atoms(text: str, edit) -> str:
    """``text`` with ``edit(index, line)`` applied to its ATOM/HETATM lines (index counts them)."""
    out, k = [], 0
    for line in text.splitlines(keepends=True):
        if line.startswith(("ATOM  ", "HETATM")):
            line = edit(k, line)
            k += 1
        out.append(line)
    return "".join(out)


def as_cif(st: gemmi.Structure, path: pathlib.Path) -> pathlib.Path:
    st.setup_entities()
    st.make_mmcif_document().write_file(str(path))
    return path


def test_free_amino_acids_after_ter_are_not_the_chain(tmp_path: pathlib.Path) -> None:
    # 3EMS: four HETATM ARG ligands in chain A after its TER; lysozyme has 129 residues.
    path = DATA / "3ems.pdb"
    domain = dovelkit.load(path, chain="A")
    assert len(domain) == 129 and domain.sequence.endswith("GCRL")
    assert same_domain(domain, dovel.Domain.from_pdb(str(path), "A"))
    assert same_domain(dovelkit.load(as_cif(read_structure(path), tmp_path / "3ems.cif")), domain)
    # ATOM records after a TER still continue the chain (old files end fragments with TER).
    text = UBQ.read_text()
    cut = text.index("ATOM    300 ")
    split = tmp_path / "split.pdb"
    split.write_text(text[:cut] + "TER\n" + text[cut:])
    assert same_domain(dovelkit.load(split), dovelkit.load(UBQ))
    # Selenomethionines inside the chain stay (1A8O: MMMM).
    assert dovelkit.load(DATA / "1a8o.pdb").sequence.count("M") == 4


def test_legacy_layout_reads_like_the_module() -> None:
    # 1HPV: entry id and line number in columns 73-80 on every line (gemmi alone refuses it).
    with pytest.raises(RuntimeError):
        gemmi.read_structure(str(DATA / "1hpv.pdb"))
    domains = dovelkit.load_chains(DATA / "1hpv.pdb")
    assert [(d.id, len(d)) for d in domains] == [("1hpv_A", 99), ("1hpv_B", 99)]
    for d in domains:
        assert same_domain(d, dovel.Domain.from_pdb(str(DATA / "1hpv.pdb"), d.chain))


def test_dssp_of_another_structure_is_refused(tmp_path: pathlib.Path) -> None:
    # Two HIV-1 proteases: same numbering, a mutant's amino acids.
    with pytest.raises(ValueError, match=r"1k6p\.dssp: .*residue 7 is K there, Q in chain A"):
        dovelkit.load(DATA / "1hpv.pdb", chain="A", dssp=DATA / "1k6p.dssp")
    # Ubiquitin with the DSSP file of an amyloid fibril (numbered from 17) and of Cro (from 3).
    with pytest.raises(ValueError, match=r"2beg\.dssp: .*residue 17 is L there, V in chain A"):
        dovelkit.load(UBQ, dssp=DATA / "2beg.dssp")
    with pytest.raises(ValueError, match=r"1orc\.dssp: .*residue 3 is Q there, I in chain A"):
        dovelkit.load(UBQ, dssp=DATA / "1orc.dssp")
    # A DSSP residue the chain does not hold: 1ORC's chain cut before its last residue.
    text = (DATA / "1orc.pdb").read_text()
    short = tmp_path / "1orc.pdb"
    short.write_text(edit_atoms(text, lambda k, line: "" if line[22:26].strip() == "61" else line))
    with pytest.raises(ValueError, match=r"its residue 61 \(N\) is not in chain A"):
        dovelkit.load(short, dssp=DATA / "1orc.dssp")
    # No line of the chain at all: 1K6P's DSSP file for a chain named C.
    renamed = tmp_path / "c.pdb"
    renamed.write_text(edit_atoms((DATA / "1k6p.pdb").read_text(), lambda k, line: line[:21] + "C" + line[22:]))
    with pytest.raises(ValueError, match="no residue of chain C"):
        dovelkit.load(renamed, chain="C", dssp=DATA / "1k6p.dssp")
    # The right file still applies, bridged cysteines (lower-case in DSSP) included.
    assert dovelkit.load(DATA / "1k6p.pdb", chain="B", dssp=DATA / "1k6p.dssp").has_dssp


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda k, line: line[:30] + "     abc" + line[38:] if k == 40 else line, r"x coordinate 'abc' is not a number"),
        (lambda k, line: line[:38] + " " * 8 + line[46:] if k == 40 else line, r"blank y coordinate"),
        (lambda k, line: line[:46] + "     nan" + line[54:] if k == 40 else line, r"z coordinate 'nan' is not"),
        (lambda k, line: line[:30] + "     inf" + line[38:] if k == 40 else line, r"x coordinate 'inf' is not"),
        (lambda k, line: line[:30] + "  1.2e30" + line[38:] if k == 40 else line, r"x coordinate '1.2e30' is not"),
        (lambda k, line: line[:40] + "\n" if k == 40 else line, r"atom record cut short \(40 columns\)"),
    ],
    ids=["abc", "blank", "nan", "inf", "exponent", "cut"],
)
def test_unreadable_coordinates_refuse_the_file(tmp_path: pathlib.Path, damage, message) -> None:
    text = UBQ.read_text()
    line_no = text[: text.index("ATOM     41 ")].count("\n") + 1  # the 41st atom record
    for name, data in (("bad.pdb", edit_atoms(text, damage).encode()),
                       ("bad.pdb.gz", gzip.compress(edit_atoms(text, damage).encode()))):
        path = tmp_path / name
        path.write_bytes(data)
        for read in (dovelkit.load, dovelkit.load_chains, read_structure):
            with pytest.raises(ValueError, match=rf"{path}, line {line_no}: {message}"):
                read(path)


def test_nul_bytes_and_non_finite_mmcif(tmp_path: pathlib.Path) -> None:
    text = UBQ.read_bytes()
    at = text.index(b"ATOM    300 ")
    paged = tmp_path / "paged.pdb"
    paged.write_bytes(text[:at] + b"\0" * 4096 + text[at:])
    line_no = text[:at].count(b"\n") + 1
    with pytest.raises(ValueError, match=rf"{paged}, line {line_no}: NUL bytes"):
        dovelkit.load(paged)
    # Zero padding after the text is no damage.
    padded = tmp_path / "padded.pdb"
    padded.write_bytes(text + b"\0" * 512)
    assert same_domain(dovelkit.load(padded), dovelkit.load(UBQ))
    # mmCIF: a value gemmi reads as NaN ('abc', '?', 'nan') or infinity, named by its line.
    cif = as_cif(gemmi.read_structure(str(UBQ)), tmp_path / "u.cif").read_text()
    lines = cif.splitlines(keepends=True)
    row = next(i for i, line in enumerate(lines) if line.startswith("ATOM") and line.split()[1] == "123")
    for value in ("abc", "?", "nan", "1e999"):
        fields = lines[row].split()
        fields[11] = value  # Cartn_y
        damaged = tmp_path / "bad.cif"
        damaged.write_text("".join(lines[:row] + [" ".join(fields) + "\n"] + lines[row + 1:]))
        with pytest.raises(ValueError, match=rf"{damaged}, line {row + 1}: coordinates of atom 123 .* not finite"):
            dovelkit.load(damaged)


def test_numbering_that_starts_again_keeps_every_residue(tmp_path: pathlib.Path) -> None:
    # Ubiquitin's residues 39-76 renumbered 1-38: two runs of 1..38 in chain A.
    def renumber(k: int, line: str) -> str:
        n = int(line[22:26])
        return line[:22] + f"{n - 38:4d}" + line[26:] if line[17:20] != "HOH" and n > 38 else line

    whole = dovelkit.load(UBQ)
    path = tmp_path / "twice.pdb"
    path.write_text(edit_atoms(UBQ.read_text(), renumber))
    domain = dovelkit.load(path)
    assert len(domain) == 76 and same_domain(domain, whole)
    gz = tmp_path / "twice.pdb.gz"
    gz.write_bytes(gzip.compress(path.read_bytes()))
    assert same_domain(dovelkit.load_chains(gz)[0], whole)
    # The legacy layout with restarted numbering, and a second model numbered the same.
    legacy = (DATA / "1hpv.pdb").read_text()
    restarted = tmp_path / "1hpv.pdb"
    restarted.write_text(edit_atoms(legacy, lambda k, line: line[:22] + f"{int(line[22:26]) % 50:4d}" + line[26:]))
    assert [len(d) for d in dovelkit.load_chains(restarted)] == [99, 99]
    nmr = dovelkit.load(DATA / "1d3z.pdb", model=2)
    assert len(nmr) == 76
    # The moved copy written from such a file carries no trace of the marks.
    out = tmp_path / "moved.pdb"
    dovelkit.write_moved(path, dovel.Transform(), out)
    assert "~" not in "".join(line[72:76] for line in out.read_text().splitlines() if line.startswith("ATOM"))


def test_blank_chain_ids(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "nochain.pdb"
    path.write_text(edit_atoms((DATA / "1k6p.pdb").read_text(), lambda k, line: line[:21] + " " + line[22:]))
    domains = dovelkit.load_chains(path)
    assert [(d.id, d.chain) for d in domains] == [("nochain__", "_")]
    assert len(domains[0]) == 198  # both chains under one blank id: one chain
    assert same_domain(dovelkit.load(path, chain="_"), domains[0])
    with pytest.raises(ValueError, match=r"no chain 'A' in .* \(chains: _\)"):
        dovelkit.load(path, chain="A")
    db = Database.create(tmp_path / "db.parquet", [path], workers=1)
    assert len(db) == 1 and not db.summary.skipped


def test_special_files_are_refused_without_waiting(tmp_path: pathlib.Path) -> None:
    fifo = tmp_path / "x.pdb"
    os.mkfifo(fifo)
    for path, kind in ((fifo, "a FIFO"), ("/dev/zero", "a character device")):
        for read in (dovelkit.load, dovelkit.load_chains, read_structure):
            with pytest.raises(OSError, match=f"not a regular file \\({kind}\\)"):
                read(path)
    with pytest.raises(IsADirectoryError):
        dovelkit.load(tmp_path)
    # The command names the file in one line; nothing waits for a writer on the FIFO.
    result = conftest.dovel_cmd("align", fifo, UBQ, timeout=120)
    assert conftest.one_line_error(result) == f"dovel align: {fifo}: not a regular file (a FIFO)"


def test_collection_lists_what_it_does_not_read(tmp_path: pathlib.Path, monkeypatch) -> None:
    top = tmp_path / "in"
    (top / "sub").mkdir(parents=True)
    (top / "locked").mkdir()
    for name in ("1ubq.pdb", "3ems.pdb"):
        (top / "sub" / name).write_bytes((DATA / name).read_bytes())
    (top / "locked" / "1a8o.pdb").write_bytes((DATA / "1a8o.pdb").read_bytes())
    os.mkfifo(top / "fifo.pdb")
    (top / "dangling.pdb").symlink_to(top / "gone.pdb")
    (top / "link.pdb").symlink_to(top / "sub" / "1ubq.pdb")
    real_scandir = os.scandir

    def scandir(path):  # root reads any directory: make one unreadable here
        if os.fspath(path).endswith("locked"):
            raise PermissionError(13, "Permission denied", os.fspath(path))
        return real_scandir(path)

    monkeypatch.setattr(os, "scandir", scandir)
    skipped: list[tuple[str, str]] = []
    files = collect_files([top, top / "sub", top / "sub" / "1ubq.pdb", "/dev/zero"], skipped)
    # link.pdb is met first (sorted), then sub/1ubq.pdb is the same file: read once.
    assert files == [str(top / "link.pdb"), str(top / "sub" / "3ems.pdb")]
    assert sorted(skipped) == sorted([
        (str(top / "dangling.pdb"), "No such file or directory"),
        (str(top / "fifo.pdb"), "not a regular file (a FIFO)"),
        (str(top / "locked"), "cannot list the directory: Permission denied"),
        ("/dev/zero", "not a regular file (a character device)"),
    ])
    db = Database.create(tmp_path / "db.parquet", [top, top / "sub", "/dev/zero"], workers=2)
    assert sorted(db.ids) == ["3ems_A", "link_A"]
    assert len(db.summary.skipped) == 4 and db.summary.files_read == 2


def test_db_create_command_skips_special_files(tmp_path: pathlib.Path) -> None:
    top = tmp_path / "in"
    top.mkdir()
    (top / "1ubq.pdb").write_bytes(UBQ.read_bytes())
    os.mkfifo(top / "x.pdb")
    result = conftest.dovel_cmd("db", "create", tmp_path / "db.parquet", top, "/dev/zero", "--workers", "2",
                                timeout=300)
    assert result.returncode == 0, result.stderr
    lines = result.stderr.strip().splitlines()
    assert f"dovel db: skipped {top / 'x.pdb'}: not a regular file (a FIFO)" in lines
    assert "dovel db: skipped /dev/zero: not a regular file (a character device)" in lines
    assert len(Database.open(tmp_path / "db.parquet")) == 1


def test_file_names_that_are_not_utf8(tmp_path: pathlib.Path) -> None:
    raw = os.fsencode(tmp_path) + b"/caf\xe9.pdb"
    with open(raw, "wb") as fh:
        fh.write(UBQ.read_bytes())
    expected = dovelkit.load(UBQ)
    for path in (raw, os.fsdecode(raw), pathlib.Path(os.fsdecode(raw))):
        domain = dovelkit.load(path)
        assert domain.id == "caf\\xe9_A" and same_domain(domain, expected)
    assert dovelkit.load_chains(raw)[0].id == "caf\\xe9_A"
    db = Database.create(tmp_path / "db.parquet", [os.fsencode(tmp_path)], workers=1)
    assert len(db) == 1 and not db.summary.skipped
    result = conftest.dovel_cmd("search", UBQ, tmp_path, "--workers", "1", "--quiet", timeout=300)
    assert result.returncode == 0, result.stderr
    assert "caf\\xe9_A" in result.stdout


def _bomb(path: pathlib.Path, inflated: int) -> None:
    """A gzip file of ``inflated`` zero bytes, written in pieces (the test holds none of it)."""
    packer = zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    block = b"\0" * (1 << 20)
    with open(path, "wb") as fh:
        for _ in range(inflated >> 20):
            fh.write(packer.compress(block))
        fh.write(packer.flush())


def test_size_limit(tmp_path: pathlib.Path) -> None:
    assert DEFAULT_MAX_SIZE == 512 << 20
    size = UBQ.stat().st_size
    gz = tmp_path / "1ubq.pdb.gz"
    gz.write_bytes(gzip.compress(UBQ.read_bytes()))
    with pytest.raises(ValueError, match=rf"1ubq.pdb: {size} bytes, more than 64 KiB, the limit"):
        dovelkit.load(UBQ, max_size=64 << 10)
    with pytest.raises(ValueError, match=r"1ubq.pdb.gz: inflates to more than 64 KiB"):
        dovelkit.load_chains(gz, max_size=64 << 10)
    assert same_domain(dovelkit.load(gz, max_size=size), dovelkit.load(UBQ))
    for bad, kind in ((0, ValueError), (-1, ValueError), (1.5, TypeError), ("1G", TypeError), (True, TypeError)):
        with pytest.raises(kind):
            dovelkit.load(UBQ, max_size=bad)
    # The command's option: a size with a unit, refused past it in one line.
    result = conftest.dovel_cmd("align", gz, gz, "--max-size", "64K")
    assert conftest.one_line_error(result).endswith("inflates to more than 64 KiB, the limit of one structure (max_size)")
    assert conftest.dovel_cmd("align", UBQ, gz, "--max-size", "1M").returncode == 0
    # ... at every level, and for tables of many pairs too
    for args in ((gz, gz, "--family"), ("--all", gz, UBQ, gz), ("--all", gz, UBQ, "--family")):
        result = conftest.dovel_cmd("align", *args, "--max-size", "64K")
        assert conftest.one_line_error(result).endswith("inflates to more than 64 KiB, the limit of one structure (max_size)")


def test_gzip_bomb_memory_stays_bounded(tmp_path: pathlib.Path) -> None:
    # 1 GiB of zeros in about 1 MB; read in a fresh process whose peak memory is then compared
    # with the same process reading a real entry. The limit is 64 MiB here, the whole of the
    # bomb would be 1 GiB.
    bomb = tmp_path / "bomb.pdb.gz"
    _bomb(bomb, 1 << 30)
    code = textwrap.dedent(f"""
        import resource, sys
        import dovelkit
        dovelkit.load({str(UBQ)!r})
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            dovelkit.load({str(bomb)!r}, max_size=64 << 20)
        except ValueError as exc:
            print(exc)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=conftest.kit_env(),
                         timeout=300)
    assert out.returncode == 0, out.stderr
    message, grown_mib = out.stdout.strip().splitlines()
    assert message == f"{bomb}: inflates to more than 64 MiB, the limit of one structure (max_size)"
    assert int(grown_mib) < 200
