import math
import os
import pathlib

import numpy as np
import pytest

import dovel
from conftest import data_path, random_rotation, read_ca

SHAPE = r"^Coordinates must have shape \(N, 3\)$"


def dssp_file(tmp_path, rows, name="x.dssp"):
    """A minimal DSSP file: rows of (residue number, chain, DSSP letter)."""
    lines = ["HEADER    TEST", "  #  RESIDUE AA STRUCTURE BP1 BP2  ACC"]
    for k, (num, chain, letter) in enumerate(rows, 1):
        lines.append(f"{k:5d}{num:5d} {chain} A  {letter}              0   0   10")
    path = tmp_path / name
    path.write_text("\n".join(lines) + "\n")
    return str(path)


# ---------------------------------------------------------------- construction

def test_empty_domain():
    d = dovel.Domain("1abc")
    assert len(d) == 0 and not d and bool(d) is False
    assert d.id == "1abc" and d.chain == "A" and d.pdb_file == "" and d.has_dssp is False
    assert d.sequence == "" and d.secondary_structure == ""
    c = d.coordinates
    assert c.shape == (0, 3) and c.dtype == np.float64
    assert d.ss_content() == (0.0, 0.0, 0.0)
    assert repr(d) == "Domain(id='1abc', chain='A', n_residues=0)"
    assert str(d) == "<Domain 1abc chain A with 0 residues>"
    assert dovel.Domain("x", "B").chain == "B"
    assert dovel.Domain(id="x", chain=None).chain == "A"
    assert dovel.Domain(chain="é", id="y").chain == "é"


def test_constructor_errors():
    with pytest.raises(TypeError, match=r"^Domain\(\) missing 1 required positional argument: 'id'$"):
        dovel.Domain()
    with pytest.raises(TypeError, match=r"^Domain\(\) takes from 1 to 2 positional arguments but 3 were given$"):
        dovel.Domain("a", "A", "B")
    with pytest.raises(TypeError, match=r"^Domain\(\) got an unexpected keyword argument 'name'$"):
        dovel.Domain("a", name="b")
    with pytest.raises(TypeError, match="^argument 'id': 'bytes' object cannot be cast as 'str'$"):
        dovel.Domain(b"a", chain="AB")  # id is converted before chain
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        dovel.Domain("a", "AB")
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        dovel.Domain("a", "")
    with pytest.raises(TypeError, match="^argument 'chain': 'int' object cannot be cast as 'str'$"):
        dovel.Domain("a", 1)


def test_from_arrays_values():
    coords = np.arange(9.0).reshape(3, 3)
    before = coords.copy()
    d = dovel.Domain.from_arrays("t", coords, "ACD")
    assert (d.id, d.chain, d.pdb_file, d.sequence, d.secondary_structure) == ("t", "A", "", "ACD", "CCC")
    assert d.ss_content() == (0.0, 0.0, 1.0) and d.has_dssp is False and len(d) == 3 and d
    assert np.array_equal(d.coordinates, coords) and np.array_equal(coords, before)
    assert dovel.Domain.from_arrays("t", np.zeros((3, 3)), "acd", None).sequence == "acd"
    # Code points, not bytes, are counted; letters are kept as given.
    assert dovel.Domain.from_arrays("t", np.zeros((2, 3)), "é*", chain="Z").sequence == "é*"
    assert dovel.Domain.from_arrays("t", np.zeros((0, 3)), "").coordinates.shape == (0, 3)
    # Any memory layout is read through its strides.
    f = np.asfortranarray(coords)
    assert np.array_equal(dovel.Domain.from_arrays("t", f, "ACD").coordinates, coords)
    assert np.array_equal(dovel.Domain.from_arrays("t", coords[::-1], "ACD").coordinates, coords[::-1])
    wide = np.arange(18.0).reshape(3, 6)
    assert np.array_equal(dovel.Domain.from_arrays("t", wide[:, ::2], "ACD").coordinates, wide[:, ::2])


def test_from_arrays_errors_in_order():
    z = np.zeros((3, 3))
    with pytest.raises(ValueError, match="^Number of coordinates must match sequence length$"):
        dovel.Domain.from_arrays("t", z, "AC")
    with pytest.raises(ValueError, match=SHAPE):
        dovel.Domain.from_arrays("t", np.zeros((3, 2)), "AC")  # columns checked before length
    with pytest.raises(ValueError, match=SHAPE):
        dovel.Domain.from_arrays("t", np.zeros((3, 4)), "ACD")
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        dovel.Domain.from_arrays("t", z, "ACD", "AB")
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        dovel.Domain.from_arrays("t", np.zeros((3, 2)), "AC", "AB")  # chain converted before the shape checks
    with pytest.raises(TypeError, match="^argument 'id': 'int' object cannot be cast as 'str'$"):
        dovel.Domain.from_arrays(1, [[0, 0, 0]], 5, "AB")
    with pytest.raises(TypeError, match="^argument 'coords': 'list' object cannot be cast as 'ndarray'$"):
        dovel.Domain.from_arrays("t", [[0, 0, 0]], 5)
    with pytest.raises(TypeError, match="^argument 'coords': 'ndarray' object cannot be cast as 'ndarray'$"):
        dovel.Domain.from_arrays("t", z.astype(np.float32), "ACD")
    with pytest.raises(TypeError, match="^argument 'sequence': 'list' object cannot be cast as 'str'$"):
        dovel.Domain.from_arrays("t", z, list("ACD"))
    with pytest.raises(TypeError, match=r"^Domain.from_arrays\(\) missing 1 required positional argument: "
                                        r"'sequence'$"):
        dovel.Domain.from_arrays("t", z)


# ---------------------------------------------------------------- readers

def test_from_pdb_real_files():
    path = data_path("1orc.pdb")
    d = dovel.Domain.from_pdb(path)
    assert (d.id, d.chain, d.pdb_file, len(d), d.has_dssp) == ("1orc", "A", path, 64, False)
    assert d.sequence == "QRITLKDYAMRFGQTKTAKDLGVYQSAINKAIHAGRKIFLTINADGSVYAEEVKDGEVKPFPSN"
    assert d.secondary_structure == "C" * 64
    assert np.array_equal(d.coordinates, read_ca(path))
    assert repr(d) == "Domain(id='1orc', chain='A', n_residues=64)"
    c = dovel.Domain.from_pdb(path=data_path("2beg.pdb"), chain="C")
    assert c.chain == "C" and np.array_equal(c.coordinates, read_ca(data_path("2beg.pdb"), "C"))
    assert not np.array_equal(c.coordinates, read_ca(data_path("2beg.pdb"), "A"))


def test_from_pdb_errors():
    with pytest.raises(ValueError, match="^Failed to parse PDB: I/O error: "):
        dovel.Domain.from_pdb(data_path("missing.pdb"))
    path = data_path("1orc.pdb")
    with pytest.raises(ValueError, match=f"^Failed to parse PDB: PDB parsing error: No C-alpha atoms found in "
                                         f"chain 'Z' of {path}$"):
        dovel.Domain.from_pdb(path, "Z")
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        dovel.Domain.from_pdb(path, "AB")
    for bad in (pathlib.Path(path), path.encode()):
        with pytest.raises(TypeError, match=f"^argument 'path': '{type(bad).__qualname__}' object cannot be cast "
                                            f"as 'str'$"):
            dovel.Domain.from_pdb(bad)


def test_from_dssp_and_load_dssp():
    pdb, dssp = data_path("1k6p.pdb"), data_path("1k6p.dssp")
    d = dovel.Domain.from_dssp(pdb, dssp, "B")
    plain = dovel.Domain.from_pdb(pdb, "B")
    assert d.has_dssp and d.chain == "B" and d.pdb_file == pdb
    assert d.sequence == plain.sequence and np.array_equal(d.coordinates, plain.coordinates)
    assert set(d.secondary_structure) <= set("HEC") and "E" in d.secondary_structure
    plain.load_dssp(path=dssp)
    assert plain.has_dssp and plain.secondary_structure == d.secondary_structure
    h, e, c = d.ss_content()
    assert math.isclose(h + e + c, 1.0) and e == d.secondary_structure.count("E") / len(d)


def test_from_dssp_errors_in_order():
    pdb = data_path("1orc.pdb")
    with pytest.raises(ValueError, match="^Failed to parse PDB: I/O error: "):
        dovel.Domain.from_dssp(data_path("missing.pdb"), data_path("missing.dssp"))
    with pytest.raises(ValueError, match="^Failed to parse DSSP: I/O error: "):
        dovel.Domain.from_dssp(pdb, data_path("missing.dssp"))
    with pytest.raises(TypeError, match="^argument 'dssp_path': 'NoneType' object cannot be cast as 'str'$"):
        dovel.Domain.from_dssp(pdb, None, "AB")
    with pytest.raises(TypeError, match="^argument 'pdb_path': 'int' object cannot be cast as 'str'$"):
        dovel.Domain.from_dssp(1, None)
    with pytest.raises(TypeError, match=r"^Domain.from_dssp\(\) missing 1 required positional argument: "
                                        r"'dssp_path'$"):
        dovel.Domain.from_dssp(pdb)


def test_load_dssp_failure_changes_nothing(tmp_path):
    d = dovel.Domain.from_arrays("t", np.zeros((4, 3)), "AAAA")
    with pytest.raises(ValueError, match="^Failed to parse DSSP: I/O error: "):
        d.load_dssp(str(tmp_path / "missing.dssp"))
    assert d.has_dssp is False and d.secondary_structure == "CCCC"
    with pytest.raises(TypeError, match="^argument 'path': 'PosixPath' object cannot be cast as 'str'$"):
        d.load_dssp(tmp_path / "x.dssp")
    # The borrow taken by the failed calls was released.
    d.load_dssp(dssp_file(tmp_path, [(1, "A", "H"), (2, "A", "G"), (3, "A", "B"), (4, "A", "T")]))
    assert d.has_dssp and d.secondary_structure == "HHEC"
    assert d.ss_content() == (0.5, 0.25, 0.25)
    # A second file changes only the residues it names.
    d.load_dssp(dssp_file(tmp_path, [(4, "A", "E"), (9, "A", "H")], "y.dssp"))
    assert d.secondary_structure == "HHEE"
    other_chain = dovel.Domain.from_arrays("t", np.zeros((2, 3)), "AA", "B")
    other_chain.load_dssp(dssp_file(tmp_path, [(1, "A", "H"), (2, "B", "E")], "z.dssp"))
    assert other_chain.secondary_structure == "CE"


def test_borrow_order_of_load_dssp_and_setters(tmp_path):
    # While pairwise_align holds shared borrows: load_dssp asks for exclusive
    # access before it looks at its argument, setters convert their value first.
    d = dovel.Domain.from_arrays("t", np.zeros((4, 3)), "AAAA")
    seen = []

    class During:
        def __index__(self):
            for action in (lambda: d.load_dssp(123), lambda: setattr(d, "id", 5),
                           lambda: setattr(d, "coordinates", [1]), lambda: setattr(d, "id", "x")):
                try:
                    action()
                except (RuntimeError, TypeError) as e:
                    seen.append((type(e).__name__, str(e)))
            return 5

    dovel.pairwise_align(d, d, None, True, During())
    assert seen == [("RuntimeError", "Already borrowed"),
                    ("TypeError", "argument 'id': 'int' object cannot be cast as 'str'"),
                    ("TypeError", "argument 'coords': 'list' object cannot be cast as 'ndarray'"),
                    ("RuntimeError", "Already borrowed")]
    assert d.id == "t"
    d.load_dssp(dssp_file(tmp_path, [(1, "A", "H")]))
    assert d.secondary_structure == "HCCC"


# ---------------------------------------------------------------- attributes

def test_attribute_table_and_docs():
    names = [k for k in vars(dovel.Domain) if not k.startswith("_")]
    assert names[-7:] == ["pdb_file", "id", "chain", "sequence", "secondary_structure", "has_dssp", "coordinates"]
    assert dovel.Domain.id.__doc__ == "Returns the domain identifier."
    assert dovel.Domain.coordinates.__doc__ == "Returns C-alpha coordinates as numpy array (N x 3)."
    assert dovel.Domain.__doc__.startswith("Python wrapper for Domain.\n\nRepresents a protein domain")
    assert dovel.Domain.__text_signature__ == "(id, chain=None)"
    assert dovel.Domain.__module__ == "builtins" and dovel.Domain.__qualname__ == "Domain"
    import inspect
    assert str(inspect.signature(dovel.Domain.to_pdb)) == "(self, /, path, transform=None, full=True)"
    assert str(inspect.signature(dovel.Domain.from_dssp)) == "(pdb_path, dssp_path, chain=None)"


def test_setters_and_their_failures():
    coords = np.arange(12.0).reshape(4, 3)
    d = dovel.Domain.from_arrays("t", coords, "ACDE")
    d.id = "new"
    d.chain = "B"
    assert (d.id, d.chain, d.sequence, d.secondary_structure) == ("new", "B", "ACDE", "CCCC")
    assert repr(d) == "Domain(id='new', chain='B', n_residues=4)"
    assert np.array_equal(d.coordinates, coords)
    for attr, bad, exc, msg in [
        ("id", 5, TypeError, "^argument 'id': 'int' object cannot be cast as 'str'$"),
        ("id", None, TypeError, "^argument 'id': 'NoneType' object cannot be cast as 'str'$"),
        ("chain", "AB", ValueError, "^expected a string of length 1$"),
        ("chain", "", ValueError, "^expected a string of length 1$"),
        ("chain", b"A", TypeError, "^argument 'chain': 'bytes' object cannot be cast as 'str'$"),
        ("coordinates", coords[:3], ValueError, "^Expected 4 coordinates, got 3$"),
        ("coordinates", np.zeros((5, 3)), ValueError, "^Expected 4 coordinates, got 5$"),
        ("coordinates", np.zeros((3, 2)), ValueError, SHAPE),
        ("coordinates", np.zeros((4, 4)), ValueError, SHAPE),
        ("coordinates", coords.tolist(), TypeError, "^argument 'coords': 'list' object cannot be cast as 'ndarray'$"),
        ("coordinates", np.zeros(12), TypeError, "^argument 'coords': 'ndarray' object cannot be cast as 'ndarray'$"),
    ]:
        with pytest.raises(exc, match=msg):
            setattr(d, attr, bad)
        assert (d.id, d.chain) == ("new", "B") and np.array_equal(d.coordinates, coords), (attr, bad)
    for attr in ("id", "chain", "coordinates"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(d, attr)
    for attr in ("pdb_file", "sequence", "secondary_structure", "has_dssp"):
        with pytest.raises(AttributeError):
            setattr(d, attr, getattr(d, attr))
    moved = np.asfortranarray(coords + 1.5)
    d.coordinates = moved
    assert np.array_equal(d.coordinates, coords + 1.5) and d.sequence == "ACDE"
    moved[0, 0] = 99.0
    assert d.coordinates[0, 0] == 1.5
    with pytest.raises(ValueError, match="^Expected 0 coordinates, got 1$"):
        dovel.Domain("e").coordinates = np.zeros((1, 3))
    e = dovel.Domain("e")
    e.coordinates = np.zeros((0, 3))
    assert len(e) == 0


def test_every_read_is_a_new_object():
    d = dovel.Domain.from_pdb(data_path("1ubq.pdb"))
    c = d.coordinates
    assert c is not d.coordinates and c.flags.c_contiguous and c.flags.writeable
    c[:] = 0
    assert np.array_equal(d.coordinates, read_ca(data_path("1ubq.pdb")))
    assert d.ss_content() is not d.ss_content()


def test_copy_is_deep():
    d = dovel.Domain.from_pdb(data_path("1ubq.pdb"))
    c = d.copy()
    assert c is not d and repr(c) == repr(d) and c.pdb_file == d.pdb_file
    c.id = "other"
    c.chain = "Q"
    c.coordinates = np.zeros((len(d), 3))
    assert d.id == "1ubq" and d.chain == "A" and np.array_equal(d.coordinates, read_ca(data_path("1ubq.pdb")))
    with pytest.raises(TypeError, match=r"^Domain.copy\(\) takes 0 positional arguments but 1 was given$"):
        d.copy(1)


def test_repr_and_str_do_not_escape():
    d = dovel.Domain("it's \"odd\"\n", "é")
    assert repr(d) == "Domain(id='it's \"odd\"\n', chain='é', n_residues=0)"
    assert str(d) == "<Domain it's \"odd\"\n chain é with 0 residues>"


# ---------------------------------------------------------------- writing

def test_to_pdb_from_arrays_writes_c_alpha_file(tmp_path):
    d = dovel.Domain.from_arrays("t", np.array([[11.639, 6.071, -5.147], [-0.0001, 1e6, np.nan]]), "Aa")
    out = tmp_path / "ca.pdb"
    d.to_pdb(str(out))  # full=True, but there is no source file
    assert out.read_text().split("\n") == [
        "REMARK   Generated by Torvaline",
        "REMARK   Domain: t",
        "ATOM      1  CA  ALA A1         11.639   6.071  -5.147  1.00  0.00           C",
        "ATOM      2  CA  ALA A2         -0.0001000000.000     NaN  1.00  0.00           C",
        "END",
        "",
    ]


def test_to_pdb_round_trips(tmp_path, rng):
    src = data_path("1k6p.pdb")
    d = dovel.Domain.from_pdb(src, "B")
    orig = d.coordinates
    t = dovel.Transform.from_matrix(random_rotation(rng), np.array([10.0, -3.0, 4.5]))
    moved = t.apply(orig)

    full = tmp_path / "full.pdb"
    d.to_pdb(str(full), t)
    back = dovel.Domain.from_pdb(str(full), "B")
    assert back.sequence == d.sequence and np.allclose(back.coordinates, moved, atol=5e-4)
    # Chain A is copied untouched by the whole-file writer.
    assert np.array_equal(dovel.Domain.from_pdb(str(full), "A").coordinates, read_ca(src, "A"))
    assert sum(1 for line in open(full) if line.startswith("HETATM")) > 0

    ca = tmp_path / "ca.pdb"
    d.to_pdb(path=str(ca), transform=t, full=False)
    text = ca.read_text()
    assert text.startswith("REMARK   Generated by Torvaline\nREMARK   Domain: 1k6p\n") and "HETATM" not in text
    back = dovel.Domain.from_pdb(str(ca))
    assert back.chain == "B" and back.sequence == d.sequence and np.allclose(back.coordinates, moved, atol=5e-4)

    plain = tmp_path / "plain.pdb"
    d.to_pdb(str(plain), None, False)
    assert np.allclose(dovel.Domain.from_pdb(str(plain)).coordinates, orig, atol=5e-4)
    # Nothing about the domain or the transform changed.
    assert np.array_equal(d.coordinates, orig) and np.array_equal(t.apply(orig), moved)


def test_to_pdb_errors_leave_domain_unchanged(tmp_path):
    d = dovel.Domain.from_pdb(data_path("1ubq.pdb"))
    before = (repr(d), d.pdb_file, d.coordinates)
    with pytest.raises(OSError, match="^Failed to write PDB: I/O error: "):
        d.to_pdb(str(tmp_path / "missing_dir" / "x.pdb"))
    with pytest.raises(IOError, match="^Failed to write PDB: I/O error: "):
        d.to_pdb(str(tmp_path / "missing_dir" / "x.pdb"), full=False)
    with pytest.raises(TypeError, match="^argument 'full': 'int' object cannot be cast as 'bool'$"):
        d.to_pdb(str(tmp_path / "x.pdb"), full=1)
    with pytest.raises(TypeError, match="^argument 'full': 'NoneType' object cannot be cast as 'bool'$"):
        d.to_pdb(str(tmp_path / "x.pdb"), None, None)
    with pytest.raises(TypeError, match="^argument 'transform': 'ndarray' object cannot be cast as 'Transform'$"):
        d.to_pdb(str(tmp_path / "x.pdb"), np.eye(4), full=1)  # transform converted before full
    with pytest.raises(TypeError, match="^argument 'path': 'PosixPath' object cannot be cast as 'str'$"):
        d.to_pdb(tmp_path / "x.pdb", np.eye(4))
    assert not os.path.exists(tmp_path / "x.pdb")
    assert (repr(d), d.pdb_file) == before[:2] and np.array_equal(d.coordinates, before[2])
    d.to_pdb(str(tmp_path / "x.pdb"), full=np.bool_(False))
    assert (tmp_path / "x.pdb").read_text().startswith("REMARK   Generated by Torvaline")


def test_to_pdb_after_chain_change_filters_new_chain(tmp_path):
    # The whole-file writer moves the atoms of the domain's current chain.
    d = dovel.Domain.from_pdb(data_path("1k6p.pdb"), "A")
    d.chain = "B"
    t = dovel.Transform.from_matrix(np.eye(3), np.array([1.0, 0.0, 0.0]))
    out = str(tmp_path / "o.pdb")
    d.to_pdb(out, t)
    assert np.array_equal(dovel.Domain.from_pdb(out, "A").coordinates, read_ca(data_path("1k6p.pdb"), "A"))
    assert np.allclose(dovel.Domain.from_pdb(out, "B").coordinates,
                       read_ca(data_path("1k6p.pdb"), "B") + [1, 0, 0], atol=5e-4)


@pytest.mark.parametrize("pdb, dssp, chain", [
    ("1orc.pdb", "1orc.dssp", None),  # insertion codes 56A-56E
    ("1k6p.pdb", "1k6p.dssp", "B"),
    ("2beg.pdb", "2beg.dssp", "D"),
    (("families", "thioredoxin", "2trx.pdb"), ("families", "thioredoxin", "2trx.dssp"), "A"),
])
def test_dssp_codes_match_an_independent_reading(pdb, dssp, chain):
    pdb = data_path(*pdb) if isinstance(pdb, tuple) else data_path(pdb)
    dssp = data_path(*dssp) if isinstance(dssp, tuple) else data_path(dssp)
    d = dovel.Domain.from_dssp(pdb, dssp, chain)
    # Labels of the C-alpha residues in file order, read here without the library.
    labels, last = [], None
    for line in open(pdb, encoding="utf-8"):
        if line.startswith("ENDMDL"):
            break
        if line.startswith("ATOM") and line[12:16] == " CA " and line[16] in " A1LO" and line[21] == d.chain:
            key = line[22:27]
            if key != last:
                labels.append(line[22:26].strip() + line[26].strip())
                last = key
    codes = {}
    in_body = False
    for line in open(dssp, encoding="utf-8"):
        if not in_body:
            in_body = "  #  RESIDUE" in line
            continue
        if len(line.rstrip("\n")) <= 16 or line[13] == "!" or line[11] not in (" ", d.chain):
            continue
        codes[line[5:10].strip() + line[10].strip()] = "H" if line[16] in "HGI" else "E" if line[16] in "EB" else "C"
    expected = "".join(codes.get(label, "C") for label in labels)
    assert len(labels) == len(d) and d.secondary_structure == expected
    assert "H" in expected or "E" in expected
    h, e, c = d.ss_content()
    assert (h, e, c) == (expected.count("H") / len(d), expected.count("E") / len(d), expected.count("C") / len(d))
