"""dovelkit.write_moved: whole structures moved, in the format the output name asks for."""

import gzip
import os
import shutil

import gemmi
import numpy as np
import pytest

import dovel
import dovelkit
from conftest import data_path, random_rotation
from dovelkit.io import atomic, reading, writing

UBQ = data_path("1ubq.pdb")  # X-ray, rich PDB header
CRAMBIN = data_path("1ejg.pdb")  # ANISOU records
NMR = data_path("mmcif", "2OFG.cif")  # several models
PTI_GZ = data_path("mmcif", "5PTI.cif.gz")


@pytest.fixture
def transform(rng):
    return dovel.Transform.from_matrix(random_rotation(rng), np.array([12.5, -40.0, 7.25]))


def atoms(structure):
    """(model, chain, residue, atom, altloc) -> (position, aniso U or None), every model."""
    out = {}
    for m, model in enumerate(structure):
        for chain in model:
            for res in chain:
                for atom in res:
                    key = (m, chain.name, str(res.seqid), res.name, atom.name, atom.altloc)
                    u = atom.aniso
                    aniso = np.array(u.as_mat33().tolist()) if u.nonzero() else None
                    out[key] = (np.array(atom.pos.tolist()), aniso)
    return out


def assert_moved(src_path, out_path, transform, n_models=None):
    src = atoms(reading.read_structure(src_path))
    out = atoms(reading.read_structure(out_path))
    assert out.keys() == src.keys()
    R, t = transform.rotation, transform.translation
    for key, (pos, aniso) in src.items():
        new_pos, new_aniso = out[key]
        np.testing.assert_allclose(new_pos, R @ pos + t, atol=2e-3)  # files keep 3 decimals
        if aniso is not None:
            np.testing.assert_allclose(new_aniso, R @ aniso @ R.T, atol=2e-4)
    if n_models is not None:
        assert len({k[0] for k in out}) == n_models


@pytest.mark.parametrize("name", ["moved.pdb", "moved.cif", "moved.ent.gz", "moved.mmcif.gz"])
def test_pdb_source_every_format(tmp_path, transform, name):
    out = tmp_path / name
    dovelkit.write_moved(UBQ, transform, out)
    raw = out.read_bytes()
    assert (raw[:2] == b"\x1f\x8b") == name.endswith(".gz")
    text = (gzip.decompress(raw) if name.endswith(".gz") else raw).decode()
    assert text.startswith("data_1UBQ\n" if "cif" in name else "HEADER")
    assert_moved(UBQ, out, transform)
    # the chain reads back as the moved chain
    d, moved = dovelkit.load(UBQ), dovelkit.load(out)
    np.testing.assert_allclose(moved.coordinates, transform.apply(d.coordinates), atol=2e-3)
    assert moved.sequence == d.sequence


def test_pdb_header_records_are_kept(tmp_path, transform):
    out = tmp_path / "ubq.pdb"
    dovelkit.write_moved(UBQ, transform, str(out))
    src = open(UBQ).read().splitlines()
    new = out.read_text().splitlines()
    for record in ("HEADER", "TITLE ", "COMPND", "SOURCE", "KEYWDS", "EXPDTA", "AUTHOR", "REVDAT", "JRNL  ",
                   "SEQRES"):
        assert [x.rstrip() for x in src if x.startswith(record)] == \
               [x.rstrip() for x in new if x.startswith(record)], record
    for record in ("HELIX ", "SHEET ", "CRYST1"):  # rewritten by gemmi, but present
        assert sum(x.startswith(record) for x in src) == sum(x.startswith(record) for x in new) > 0
    order = [x[:6] for x in new if x[:6] in ("HEADER", "COMPND", "JRNL  ", "REMARK", "SEQRES", "ATOM  ")]
    assert order == sorted(order, key=["HEADER", "COMPND", "JRNL  ", "REMARK", "SEQRES", "ATOM  "].index)
    assert [x for x in src if x.startswith("REMARK 465")] == [x for x in new if x.startswith("REMARK 465")]


def test_anisotropic_parameters_rotate_with_the_atoms(tmp_path, transform):
    for name in ("c.pdb", "c.cif"):
        dovelkit.write_moved(CRAMBIN, transform, tmp_path / name)
        assert_moved(CRAMBIN, tmp_path / name, transform)
    assert sum(a[1] is not None for a in atoms(gemmi.read_structure(str(tmp_path / "c.cif"))).values()) > 300


def test_mmcif_sources_all_models_and_categories(tmp_path, transform):
    for name in ("nmr.cif", "nmr.pdb.gz"):
        dovelkit.write_moved(NMR, transform, tmp_path / name)
        assert_moved(NMR, tmp_path / name, transform, n_models=len(gemmi.read_structure(NMR)))
    before = gemmi.cif.read(NMR).sole_block()
    after = gemmi.cif.read(str(tmp_path / "nmr.cif")).sole_block()
    assert set(before.get_mmcif_category_names()) <= set(after.get_mmcif_category_names())
    assert list(before.find_values("_citation.title")) == list(after.find_values("_citation.title"))
    dovelkit.write_moved(PTI_GZ, transform, tmp_path / "pti.pdb")
    assert_moved(PTI_GZ, tmp_path / "pti.pdb", transform)
    assert (tmp_path / "pti.pdb").read_text().startswith("HEADER")


def test_bad_names_and_failures_leave_nothing(tmp_path, transform, monkeypatch):
    with pytest.raises(ValueError, match="must end in"):
        dovelkit.write_moved(UBQ, transform, tmp_path / "moved.txt")
    with pytest.raises(ValueError, match="must end in"):
        dovelkit.write_moved(UBQ, transform, tmp_path / "moved.gz")
    with pytest.raises(FileNotFoundError):
        dovelkit.write_moved(tmp_path / "missing.pdb", transform, tmp_path / "moved.pdb")
    with pytest.raises(TypeError):
        dovelkit.write_moved(UBQ, transform.transformation_matrix(), tmp_path / "moved.pdb")
    with pytest.raises(OSError):
        dovelkit.write_moved(UBQ, transform, tmp_path / "no" / "dir" / "moved.pdb")
    assert os.listdir(tmp_path) == []

    # an interrupt while renaming into place: the old file stays as it was, no temporary file left
    target = tmp_path / "moved.pdb"
    target.write_text("old\n")

    def interrupted(src, dst):
        raise KeyboardInterrupt

    monkeypatch.setattr(writing.os, "replace", interrupted)
    with pytest.raises(KeyboardInterrupt):
        dovelkit.write_moved(UBQ, transform, target)
    assert os.listdir(tmp_path) == ["moved.pdb"] and target.read_text() == "old\n"
    monkeypatch.undo()
    dovelkit.write_moved(UBQ, transform, target)
    assert os.listdir(tmp_path) == ["moved.pdb"] and target.read_text().startswith("HEADER")
    umask = os.umask(0)
    os.umask(umask)
    assert target.stat().st_mode & 0o777 == 0o666 & ~umask  # as a file created by open(), not the temporary's 0600


def test_several_files_appear_together_or_not_at_all(tmp_path, monkeypatch):
    real_fdopen = os.fdopen
    opened = []

    def failing_fdopen(fd, *args, **kwargs):
        opened.append(fd)
        if len(opened) == 3:
            os.close(fd)
            raise OSError(28, "No space left on device")
        return real_fdopen(fd, *args, **kwargs)

    monkeypatch.setattr(writing.os, "fdopen", failing_fdopen)
    files = [(tmp_path / f"f{k}.pdb", b"x") for k in range(4)]
    with pytest.raises(OSError, match="No space"):
        atomic.write_files_atomically(files)
    assert os.listdir(tmp_path) == []
    monkeypatch.undo()
    atomic.write_files_atomically(files)
    assert sorted(os.listdir(tmp_path)) == [f"f{k}.pdb" for k in range(4)]


def test_source_without_a_format_suffix(tmp_path, transform):
    src = tmp_path / "structure"
    shutil.copy(UBQ, src)
    dovelkit.write_moved(src, transform, tmp_path / "out.cif")
    assert_moved(UBQ, tmp_path / "out.cif", transform)
