import inspect
import os
import re
import shutil

import numpy as np
import pytest

import dovel
from conftest import data_path, random_rotation

CYT = [data_path("families", "cytochrome_c", f"{n}.pdb") for n in ("1hrc", "1ycc", "1c2r")]


@pytest.fixture(scope="module")
def family():
    return [dovel.Domain.from_pdb(p) for p in CYT]


@pytest.fixture(scope="module")
def family_result(family):
    return dovel.multiple_align(family)


def identity_like(t):
    return np.allclose(t.rotation, np.eye(3), atol=1e-12) and np.allclose(t.translation, 0.0, atol=1e-12)


def test_too_few_domains_and_wrong_types(family):
    d = family[0]
    for domains in ([], [d], ()):
        with pytest.raises(ValueError, match="^Need at least 2 domains for multiple alignment$"):
            dovel.multiple_align(domains)
    with pytest.raises(TypeError, match="^argument 'domains': .*str"):
        dovel.multiple_align("ab")
    with pytest.raises(TypeError, match="^argument 'domains': 'int' object cannot be cast as 'Domain'$"):
        dovel.multiple_align([d, 1])
    with pytest.raises(TypeError, match="^argument 'domains'"):
        dovel.multiple_align(5)
    with pytest.raises(TypeError, match="^argument 'params'"):
        dovel.multiple_align([d, d], params=1)
    with pytest.raises(TypeError, match="^argument 'pre_transforms': .*str"):
        dovel.multiple_align([d, d], pre_transforms="x")
    with pytest.raises(TypeError, match="^argument 'pre_transforms'"):
        dovel.multiple_align([d, d], pre_transforms=[dovel.Transform(), None])
    # Conversion errors come before the count check.
    with pytest.raises(TypeError, match="^argument 'pre_transforms'"):
        dovel.multiple_align([d], pre_transforms=[1])
    with pytest.raises(TypeError):
        dovel.MultipleAlignmentResult()


def test_signatures_and_docs():
    assert str(inspect.signature(dovel.multiple_align)) == "(domains, params=None, pre_transforms=None)"
    assert str(inspect.signature(dovel.transform_pdb_file)) == "(input_path, output_path, transform, chain=None)"
    assert str(inspect.signature(dovel.MultipleAlignmentResult.write_all)) == "(self, /, output_dir, prefix=None)"
    assert str(inspect.signature(dovel.MultipleAlignmentResult.get_transform)) == "(self, /, index)"
    assert dovel.MultipleAlignmentResult.__doc__ == "Python wrapper for multiple alignment result."
    names = [k for k in vars(dovel.MultipleAlignmentResult) if not k.startswith("__")]
    assert names == ["get_transform", "write_all", "transforms", "core_positions", "columns", "full_transforms",
                     "avg_rmsd", "score", "n_columns", "n_core"]
    assert dovel.MultipleAlignmentResult.n_core.__doc__ == "Number of core positions (all structures present)."
    assert not hasattr(dovel.MultipleAlignmentResult, "n_structures")


def check_consistent(r, domains):
    n = len(domains)
    assert len(r.transforms) == n
    assert all(identity_like(t) for t in r.transforms)
    cols = r.columns
    assert len(cols) == r.n_columns and all(len(c) == n for c in cols)
    assert r.core_positions == sorted(set(r.core_positions))
    assert len(r.core_positions) == r.n_core <= r.n_columns
    core = set(r.core_positions)
    for k, c in enumerate(cols):
        assert (k in core) == all(e is not None for e in c)
        assert any(e is not None for e in c)
    # Every residue of every structure appears exactly once, in order.
    for s, d in enumerate(domains):
        assert [c[s] for c in cols if c[s] is not None] == list(range(len(d)))
    assert r.score == pytest.approx(r.n_core / r.n_columns)
    full = r.full_transforms
    assert len(full) == n and all(identity_like(t) for t in full)
    for k in range(n):
        assert identity_like(r.get_transform(k))


def variant(base, name, cut, rng, noise=0.3):
    """`base` without residues cut[0]:cut[1], jittered, in the same frame."""
    keep = np.r_[0:cut[0], cut[1]:len(base)]
    coords = base.coordinates[keep] + rng.normal(scale=noise, size=(len(keep), 3))
    seq = "".join(base.sequence[k] for k in keep)
    return dovel.Domain.from_arrays(name, coords, seq)


def test_result_is_a_consistent_alignment(family, family_result):
    # Deposited homologues in unrelated frames: little or nothing aligns, but
    # the columns must still form a proper alignment.
    check_consistent(family_result, family)


def test_variants_in_one_frame_share_a_core(family, rng):
    base = family[0]
    domains = [base, variant(base, "v1", (10, 20), rng), variant(base, "v2", (50, 58), rng),
               variant(base, "v3", (10, 14), rng)]
    r = dovel.multiple_align(domains)
    check_consistent(r, domains)
    assert 60 <= r.n_core <= 104 - 18
    assert 0.2 < r.avg_rmsd < 1.0
    # Only residues that came from the same residue of the base share a column
    # (the local pairwise alignments may leave the short ends out).
    origin = [np.r_[0:len(base)], np.r_[0:10, 20:104], np.r_[0:50, 58:104], np.r_[0:10, 14:104]]
    for c in r.columns:
        present = [origin[s][e] for s, e in enumerate(c) if e is not None]
        assert len(set(present)) == 1


def test_every_read_is_a_new_object(family_result):
    r = family_result
    assert r.columns is not r.columns
    assert r.transforms[0] is not r.transforms[0]
    cols = r.columns
    cols[0][0] = "changed"
    assert r.columns[0][0] != "changed"


def test_two_identical_domains(family):
    d = family[0]
    for domains in ([d, d], (d, d.copy())):
        r = dovel.multiple_align(domains)
        assert r.n_columns == len(d) == r.n_core
        assert r.core_positions == list(range(len(d)))
        assert r.columns == [[k, k] for k in range(len(d))]
        assert r.score == 1.0
        assert r.avg_rmsd == pytest.approx(0.0, abs=1e-6)


def far_copy(d, name, shift):
    coords = d.coordinates + np.array([shift, 0.0, 0.0])
    return dovel.Domain.from_arrays(name, coords, d.sequence)


def test_tree_order_shows_in_the_columns(family):
    base = family[0]
    n = len(base)
    # Three copies out of each other's reach: no pair aligns, every distance ties,
    # so (0, 1) joins first and the groups follow in input order.
    far = [far_copy(base, f"f{k}", 1000.0 * k) for k in range(3)]
    r = dovel.multiple_align(far)
    assert r.n_core == 0 and r.score == 0.0
    owners = [next(s for s, e in enumerate(c) if e is not None) for c in r.columns]
    assert owners == [0] * n + [1] * n + [2] * n
    # Structures 0 and 2 coincide, 1 is far away: (0, 2) joins first and its
    # merged columns come before structure 1's.
    r = dovel.multiple_align([far[0], far[1], far_copy(base, "g", 0.0)])
    assert r.columns[:n] == [[k, None, k] for k in range(n)]
    assert r.columns[n:] == [[None, k, None] for k in range(n)]


def test_pre_transforms_and_full_transforms(family, tmp_path, rng):
    t = dovel.Transform.from_matrix(random_rotation(rng), np.array([1.0, -2.0, 3.0]))
    r = dovel.multiple_align(family, pre_transforms=[t])
    assert len(r.transforms) == 3
    full = r.full_transforms
    assert len(full) == 1
    assert np.allclose(full[0].rotation, t.rotation) and np.allclose(full[0].translation, t.translation)
    written = r.write_all(str(tmp_path))
    assert written == [os.path.join(str(tmp_path), "aligned_1hrc.pdb")]
    r = dovel.multiple_align(family, pre_transforms=[])
    assert r.full_transforms == [] and r.write_all(str(tmp_path / "none")) == []


def test_get_transform_bounds(family_result):
    with pytest.raises(ValueError, match="^Invalid domain index: 3$"):
        family_result.get_transform(3)
    with pytest.raises(OverflowError):
        family_result.get_transform(-1)
    with pytest.raises(TypeError):
        family_result.get_transform("0")


def test_repr(family_result):
    r = family_result
    text = repr(r)
    assert text == str(r)
    m = re.fullmatch(r"MultipleAlignmentResult\(n_structures=3, n_columns=(\d+), n_core=(\d+), avg_rmsd=(\d+\.\d{3})\)",
                     text)
    assert m and int(m[1]) == r.n_columns and int(m[2]) == r.n_core
    assert m[3] == f"{r.avg_rmsd:.3f}"


def test_write_all_naming_and_prefix(family, family_result, tmp_path):
    out = tmp_path / "a" / "b"
    written = family_result.write_all(str(out), prefix="x_")
    assert written == [os.path.join(str(out), f"x_{n}.pdb") for n in ("1hrc", "1ycc", "1c2r")]
    # Identity transforms: atoms unmoved, every line kept.
    for src, dst in zip(CYT, written):
        with open(src) as a, open(dst) as b:
            la, lb = a.read().splitlines(), b.read().splitlines()
        assert len(la) == len(lb)
        atoms = [(x, y) for x, y in zip(la, lb) if x.startswith(("ATOM  ", "HETATM"))]
        assert atoms and all(np.allclose([float(x[30:38]), float(x[38:46]), float(x[46:54])],
                                         [float(y[30:38]), float(y[38:46]), float(y[46:54])]) for x, y in atoms)
    assert family_result.write_all(str(out), None)[0].endswith("aligned_1hrc.pdb")


def test_write_all_failures(family, tmp_path):
    arr = dovel.Domain.from_arrays("arr", family[0].coordinates, family[0].sequence)
    r = dovel.multiple_align([family[1], arr])
    with pytest.raises(ValueError, match="^No source PDB file for domain 1$"):
        r.write_all(str(tmp_path / "o"))
    assert os.listdir(tmp_path / "o") == ["aligned_1ycc.pdb"]  # the earlier file stays
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(OSError, match="^Failed to create output directory: "):
        r.write_all(str(blocker / "sub"))
    (tmp_path / "w" / "aligned_1ycc.pdb").mkdir(parents=True)
    with pytest.raises(OSError, match="^Failed to write .*aligned_1ycc.pdb: "):
        r.write_all(str(tmp_path / "w"))
    with pytest.raises(TypeError, match="^argument 'output_dir'"):
        r.write_all(tmp_path)
    with pytest.raises(TypeError, match="^argument 'prefix'"):
        r.write_all(str(tmp_path), prefix=1)


def test_write_all_refuses_outputs_that_would_collide(family, tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    a, b = str(tmp_path / "a" / "x.pdb"), str(tmp_path / "b" / "x.pdb")
    shutil.copy(CYT[0], a)
    shutil.copy(CYT[1], b)
    r = dovel.multiple_align([dovel.Domain.from_pdb(a), family[2], dovel.Domain.from_pdb(b)])
    out = tmp_path / "o"
    with pytest.raises(ValueError, match=re.escape(f"Output path {out / 'p_x.pdb'} would be written for both {a} and {b}")):
        r.write_all(str(out), "p_")
    assert os.listdir(out) == []
    with pytest.raises(ValueError, match="^Output path .*aligned_x.pdb would be written for both"):
        r.write_all(str(out))
    assert os.listdir(out) == []


def test_transform_pdb_file(tmp_path, rng):
    src = data_path("1k6p.pdb")
    t = dovel.Transform.from_matrix(random_rotation(rng), np.array([5.0, 0.0, -1.0]))
    out = str(tmp_path / "moved.pdb")
    assert dovel.transform_pdb_file(src, out, t) is None
    moved = dovel.Domain.from_pdb(out, "B").coordinates
    orig = dovel.Domain.from_pdb(src, "B").coordinates
    assert np.allclose(moved, t.apply(orig), atol=1e-3)
    # A chain filter leaves the other chain where it was.
    dovel.transform_pdb_file(src, out, t, chain="A")
    assert np.allclose(dovel.Domain.from_pdb(out, "B").coordinates, orig, atol=1e-3)
    with pytest.raises(OSError, match="^Failed to transform PDB: "):
        dovel.transform_pdb_file(str(tmp_path / "missing.pdb"), out, t)
    with pytest.raises(OSError, match="^Failed to transform PDB: "):
        dovel.transform_pdb_file(src, str(tmp_path / "no" / "dir.pdb"), t)
    with pytest.raises(TypeError, match="^argument 'transform'"):
        dovel.transform_pdb_file(src, out, None)
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        dovel.transform_pdb_file(src, out, t, chain="AB")


def test_no_leaks_on_success_and_error_paths(tmp_path):
    from test_leaks import assert_flat

    small = [data_path(f) for f in ("1sp1.pdb", "1sp2.pdb", "3znf.pdb")]
    ds = [dovel.Domain.from_pdb(p) for p in small]
    r = dovel.multiple_align(ds, pre_transforms=[dovel.Transform()] * 3)
    out = str(tmp_path / "o")
    blocker = tmp_path / "file"
    blocker.write_text("x")
    assert_flat([
        lambda: dovel.multiple_align(ds),
        lambda: dovel.multiple_align(ds[:1]),
        lambda: dovel.multiple_align([ds[0], 1]),
        lambda: dovel.multiple_align(ds, pre_transforms=[1]),
        lambda: (r.transforms, r.columns, r.core_positions, r.full_transforms, r.score, r.avg_rmsd, repr(r)),
        lambda: (r.get_transform(1), r.get_transform(3)),
        lambda: r.write_all(out, "p_"),
        lambda: r.write_all(str(blocker / "x")),
        lambda: dovel.transform_pdb_file(small[0], out + "/t.pdb", dovel.Transform()),
        lambda: dovel.transform_pdb_file(small[0] + ".missing", out + "/t.pdb", dovel.Transform()),
        lambda: dovel.align_pdbs(small, out),
        lambda: dovel.align_pdbs(small, out, reference_index=5),
        lambda: dovel.align_pdbs([small[0], small[0] + ".missing"], out),
    ], n=300)
