"""dovelkit.load / load_chains on real entries: PDB and mmCIF, plain and gzip, through gemmi."""

from __future__ import annotations

import gzip
import pathlib
import shutil

import gemmi
import numpy as np
import pytest

import conftest

import dovel
import dovelkit
from dovelkit.io.reading import file_stem, read_structure

DATA = pathlib.Path(conftest.DATA)
MMCIF = DATA / "mmcif"
PDB_FILES = sorted(DATA.glob("*.pdb")) + sorted(DATA.glob("families/*/*.pdb"))
DSSP_FILES = sorted(DATA.glob("*.dssp")) + sorted(DATA.glob("families/*/*.dssp"))
# Entries holding amino acids written as HETATM (which Domain.from_pdb does not read), with the
# one-letter codes load gives them: selenomethionine, methionine sulfoxide, trimethyllysine.
MODIFIED = {"1a8o": "MMMM", "2juy_crlf": "M", "1ycc": "K"}


def same_domain(a: dovel.Domain, b: dovel.Domain) -> bool:
    return a.sequence == b.sequence and np.array_equal(a.coordinates, b.coordinates)


def hetatm_mask(path: pathlib.Path, domain: dovel.Domain, chain: str) -> np.ndarray:
    """True at the residues of `domain` that are amino acids written as HETATM in `path`."""
    hetero = [
        r.find_atom("CA", "*").pos.tolist()
        for r in read_structure(path)[0][chain]
        if r.het_flag == "H" and r.find_atom("CA", "*") is not None
        and (info := gemmi.find_tabulated_residue(r.name)) is not None and info.is_amino_acid()
    ]
    coords = domain.coordinates
    return np.array([any(np.array_equal(c, h) for h in hetero) for c in coords], dtype=bool)


@pytest.fixture(scope="session")
def copies(tmp_path_factory: pytest.TempPathFactory) -> dict[str, dict[str, pathlib.Path]]:
    """For every bundled PDB entry: mmCIF, gzip PDB and gzip mmCIF copies written by gemmi."""
    out = tmp_path_factory.mktemp("copies")
    result = {}
    for path in PDB_FILES:
        stem = path.stem
        st = read_structure(path)
        st.setup_entities()
        cif = out / f"{stem}.cif"
        st.make_mmcif_document().write_file(str(cif))
        pdb_gz = out / f"{stem}.pdb.gz"
        pdb_gz.write_bytes(gzip.compress(path.read_bytes()))
        cif_gz = out / f"{stem}.cif.gz"
        cif_gz.write_bytes(gzip.compress(cif.read_bytes()))
        result[stem] = {"cif": cif, "pdb.gz": pdb_gz, "cif.gz": cif_gz}
    return result


@pytest.mark.parametrize("path", PDB_FILES, ids=lambda p: p.stem)
def test_pdb_chains_match_module_reader(path: pathlib.Path) -> None:
    domains = dovelkit.load_chains(path)
    assert [d.id for d in domains] == [f"{path.stem}_{d.chain}" for d in domains]
    assert dovelkit.load(path).id == domains[0].id
    for domain in domains:
        chain = domain.chain
        ref = dovel.Domain.from_pdb(str(path), chain)
        assert same_domain(dovelkit.load(str(path), chain=chain), domain)
        mask = hetatm_mask(path, domain, chain)
        if path.stem not in MODIFIED:
            assert not mask.any()
        extra = "".join(np.array(list(domain.sequence))[mask])
        assert extra == (MODIFIED.get(path.stem, "") if chain == "A" else "")
        # Without the HETATM residues the module's own reader gives the same chain, exactly.
        assert "".join(np.array(list(domain.sequence))[~mask]) == ref.sequence
        assert np.array_equal(domain.coordinates[~mask], ref.coordinates)
        assert domain.secondary_structure == "C" * len(domain) and not domain.has_dssp


@pytest.mark.parametrize("path", PDB_FILES, ids=lambda p: p.stem)
def test_mmcif_and_gzip_copies_give_the_same_domains(path: pathlib.Path, copies) -> None:
    expected = dovelkit.load_chains(path)
    for kind, copy in copies[path.stem].items():
        got = dovelkit.load_chains(copy)
        assert [d.id for d in got] == [d.id for d in expected], kind
        assert all(same_domain(a, b) for a, b in zip(got, expected)), kind


def test_format_is_told_by_content(tmp_path: pathlib.Path, copies) -> None:
    expected = dovelkit.load(DATA / "1ubq.pdb")
    disguised = {
        "gzip_mmcif.pdb": copies["1ubq"]["cif.gz"].read_bytes(),
        "pdb_text.cif": (DATA / "1ubq.pdb").read_bytes(),
        "mmcif_text.pdb.gz": copies["1ubq"]["cif"].read_bytes(),
        "noext": copies["1ubq"]["pdb.gz"].read_bytes(),
    }
    for name, content in disguised.items():
        path = tmp_path / name
        path.write_bytes(content)
        assert same_domain(dovelkit.load(path), expected), name
    # An mmCIF file opening with comment lines is still mmCIF.
    commented = tmp_path / "commented"
    commented.write_bytes(b"# written by hand\n#\n" + copies["1ubq"]["cif"].read_bytes())
    assert same_domain(dovelkit.load(commented), expected)


def test_real_mmcif_entries() -> None:
    # Selenomethionine as HETATM: 70 residues, the four MSE read as M; same as the PDB entry.
    a8o = dovelkit.load(MMCIF / "1A8O.cif")
    assert (a8o.id, len(a8o)) == ("1A8O_A", 70)
    assert same_domain(a8o, dovelkit.load(DATA / "1a8o.pdb"))
    # Every M is an MSE (the entry has no other methionine); the 66 ATOM residues are the rest.
    assert a8o.sequence.count("M") == 4
    assert a8o.sequence.replace("M", "") == dovel.Domain.from_pdb(str(DATA / "1a8o.pdb")).sequence
    # Several models: each its own coordinates; a missing model names the path.
    m1, m2 = (dovelkit.load(MMCIF / "2OFG.cif", model=m) for m in (1, 2))
    assert m1.id == m2.id == "2OFG_X" and len(m1) == 106
    assert len(m2) != len(m1) or not np.array_equal(m1.coordinates, m2.coordinates)
    assert same_domain(dovelkit.load_chains(MMCIF / "2OFG.cif", model=3)[0], dovelkit.load(MMCIF / "2OFG.cif", model=3))
    for bad in (0, 4, 99):
        with pytest.raises(ValueError, match=f"no model {bad} in .*2OFG.cif"):
            dovelkit.load(MMCIF / "2OFG.cif", model=bad)
    with pytest.raises(TypeError):
        dovelkit.load(MMCIF / "2OFG.cif", model="1")  # type: ignore[arg-type]
    # Five chains in file order (gzip mmCIF), and a chain picked by name.
    bd2 = dovelkit.load_chains(MMCIF / "1BD2.cif.gz")
    assert [d.id for d in bd2] == [f"1BD2_{c}" for c in "ABCDE"]
    assert same_domain(dovelkit.load(MMCIF / "1BD2.cif.gz", chain="C"), bd2[2]) and len(bd2[2]) == 9
    # A protein chain and a peptide chain.
    zhl = dovelkit.load_chains(MMCIF / "4ZHL.cif")
    assert [(d.id, d.chain) for d in zhl] == [("4ZHL_U", "U"), ("4ZHL_P", "P")]
    assert len(zhl[1]) == 10 and same_domain(dovelkit.load(MMCIF / "4ZHL.cif"), zhl[0])
    assert [len(dovelkit.load(MMCIF / f)) for f in ("1GBT.cif", "5PTI.cif.gz")] == [223, 58]


def test_multi_character_chain_ids(tmp_path: pathlib.Path) -> None:
    st = gemmi.read_structure(str(DATA / "1k6p.pdb"))
    for ch in st[0]:
        ch.name = {"A": "AAA", "B": "B2"}[ch.name]
    st.setup_entities()
    path = tmp_path / "x.cif"
    st.make_mmcif_document().write_file(str(path))
    domains = dovelkit.load_chains(path)
    assert [(d.id, d.chain) for d in domains] == [("x_AAA", "A"), ("x_B2", "B")]
    b2 = dovelkit.load(path, chain="B2")
    assert b2.id == "x_B2" and same_domain(b2, dovel.Domain.from_pdb(str(DATA / "1k6p.pdb"), "B"))
    with pytest.raises(ValueError, match=r"no chain 'B' in .*x\.cif \(chains: AAA, B2\)"):
        dovelkit.load(path, chain="B")


@pytest.mark.parametrize("dssp", DSSP_FILES, ids=lambda p: p.stem)
def test_dssp_matches_module_reader(dssp: pathlib.Path, copies) -> None:
    pdb = dssp.with_suffix(".pdb")
    for chain in (d.chain for d in dovelkit.load_chains(pdb)):
        ref = dovel.Domain.from_dssp(str(pdb), str(dssp), chain)
        for source in (pdb, copies[pdb.stem]["cif.gz"]):
            domain = dovelkit.load(source, chain=chain, dssp=dssp)
            assert domain.has_dssp
            mask = hetatm_mask(pdb, domain, chain)
            ss = "".join(np.array(list(domain.secondary_structure))[~mask])
            assert ss == ref.secondary_structure, (source, chain)
            assert same_domain(dovelkit.load(source, chain=chain), domain)
    assert set(ref.secondary_structure) <= set("HEC")


def test_dssp_errors(tmp_path: pathlib.Path) -> None:
    not_dssp = tmp_path / "x.dssp"
    not_dssp.write_text("hello\n")
    with pytest.raises(ValueError, match="x.dssp"):
        dovelkit.load(DATA / "1orc.pdb", dssp=not_dssp)
    with pytest.raises(OSError):
        dovelkit.load(DATA / "1orc.pdb", dssp=tmp_path / "missing.dssp")


def _two_chain_file(tmp_path: pathlib.Path) -> pathlib.Path:
    st = gemmi.read_structure(str(DATA / "1k6p.pdb"))
    st[0]["B"].name = "C"
    st.setup_entities()
    path = tmp_path / "1abc.cif.gz"
    path.write_bytes(gzip.compress(st.make_mmcif_document().as_string().encode()))
    return path


def test_errors(tmp_path: pathlib.Path) -> None:
    with pytest.raises(FileNotFoundError):
        dovelkit.load(tmp_path / "missing.pdb")
    with pytest.raises(OSError):
        dovelkit.load(tmp_path)
    with pytest.raises(OSError):
        dovelkit.load_chains(tmp_path)

    pdb_text = (DATA / "1ubq.pdb").read_text()
    water = "".join(line + "\n" for line in pdb_text.splitlines() if line.startswith("HETATM"))
    dna = "".join(
        f"ATOM  {i + 1:5d} {name:<4s} {res} B{num:4d}    {1.5 * i:8.3f}{2.0:8.3f}{3.0:8.3f}  1.00  0.00           {name[0]}\n"
        for i, (name, res, num) in enumerate(
            [("P", " DA", 1), ("C4'", " DA", 1), ("C1'", " DA", 1), ("P", " DG", 2), ("C4'", " DG", 2)]
        )
    )
    bad = {
        "empty.pdb": b"",
        "text.pdb": b"just some text\nthat is not a structure\n",
        "garbage.cif": bytes(range(256)) * 8,
        "truncated.pdb.gz": gzip.compress((DATA / "1ubq.pdb").read_bytes())[:3000],
        "garbage.gz": b"\x1f\x8b" + bytes(range(200)),
        "water.pdb": water.encode(),
        "dna.pdb": dna.encode(),
        "header_only.pdb": b"HEADER    NOTHING\nEND\n",
        "broken.cif": b"data_x\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n1\n",
    }
    for name, content in bad.items():
        path = tmp_path / name
        path.write_bytes(content)
        for read in (dovelkit.load, dovelkit.load_chains):
            with pytest.raises(ValueError) as info:
                read(path)
            assert str(path) in str(info.value), (name, info.value)
    assert "no protein chain" in str(pytest.raises(ValueError, dovelkit.load, tmp_path / "water.pdb").value)
    assert "no protein chain" in str(pytest.raises(ValueError, dovelkit.load, tmp_path / "dna.pdb").value)

    two = _two_chain_file(tmp_path)
    with pytest.raises(ValueError) as info:
        dovelkit.load(str(two), chain="B")
    assert str(info.value) == f"no chain 'B' in {two} (chains: A, C)"
    assert dovelkit.load(two, chain="C").id == "1abc_C"
    with pytest.raises(TypeError):
        dovelkit.load(two, chain=1)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        dovelkit.load(12345)  # type: ignore[arg-type]


def test_paths_and_stems(tmp_path: pathlib.Path) -> None:
    target = tmp_path / "AF-P69905-F1-model_v4.cif.gz"
    shutil.copy(MMCIF / "5PTI.cif.gz", target)
    assert dovelkit.load(target).id == "AF-P69905-F1-model_v4_A"
    assert dovelkit.load(str(target).encode()).id == "AF-P69905-F1-model_v4_A"
    assert isinstance(read_structure(target), gemmi.Structure)
    stems = {
        "1abc.cif.gz": "1abc", "dir/1ABC.PDB": "1ABC", "pdb1abc.ent.gz": "pdb1abc", "x.mmcif": "x",
        "x.pdb.txt": "x.pdb.txt", "x.gz.pdb": "x.gz", "archive.tar.gz": "archive.tar", ".gz": ".gz",
    }
    assert {name: file_stem(pathlib.Path(name)) for name in stems} == stems
