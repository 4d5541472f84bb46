import inspect
import os
import pathlib
import re
import shutil

import numpy as np
import pytest

import dovel
from conftest import data_path, interrupt_child, random_rotation, read_ca

FAMILY = "cytochrome_c"
NAMES = ["1hrc", "1ycc", "1co6", "1crc"]
FILES = [data_path("families", FAMILY, f"{n}.pdb") for n in NAMES]


def kabsch_rmsd(a, b):
    """Plain RMSD after optimal superposition, computed with numpy alone."""
    a = a - a.mean(axis=0)
    b = b - b.mean(axis=0)
    u, _, vt = np.linalg.svd(b.T @ a)
    d = np.sign(np.linalg.det(u @ vt))
    r = u @ np.diag([1.0, 1.0, d]) @ vt
    return float(np.sqrt(((b @ r - a) ** 2).sum(axis=1).mean()))


def moved_file(src, dst, rotation, shift):
    """Writes `src` with every atom moved, so it no longer shares a frame with the others."""
    with open(src) as fh, open(dst, "w") as out:
        for line in fh:
            if line.startswith(("ATOM  ", "HETATM")):
                x = np.array([float(line[30:38]), float(line[38:46]), float(line[46:54])])
                y = rotation @ x + shift
                line = f"{line[:30]}{y[0]:8.3f}{y[1]:8.3f}{y[2]:8.3f}{line[54:]}"
            out.write(line)


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """One real run over the family, with one member thrown into another frame."""
    tmp = tmp_path_factory.mktemp("family")
    rng = np.random.default_rng(7)
    inputs = list(FILES)
    inputs[2] = str(tmp / "1co6_moved.pdb")
    moved_file(FILES[2], inputs[2], random_rotation(rng), np.array([40.0, -25.0, 60.0]))
    out = tmp / "out" / "nested"
    result = dovel.align_pdbs(inputs, str(out))
    return inputs, out, result


def test_checks_before_any_file_is_read(tmp_path):
    missing = str(tmp_path / "missing.pdb")
    out = str(tmp_path / "out")
    with pytest.raises(ValueError, match="^Need at least 2 PDB files$"):
        dovel.align_pdbs([missing], out)
    with pytest.raises(ValueError, match="^Need at least 2 PDB files$"):
        dovel.align_pdbs([], out)
    with pytest.raises(ValueError, match="^Reference index 2 out of range for 2 structures$"):
        dovel.align_pdbs([missing, missing], out, reference_index=2)
    with pytest.raises(TypeError, match="^argument 'pdb_files': .*str"):
        dovel.align_pdbs(FILES[0], out)
    with pytest.raises(TypeError, match="^argument 'pdb_files'"):
        dovel.align_pdbs([pathlib.Path(FILES[0]), FILES[1]], out)
    with pytest.raises(TypeError, match="^argument 'output_dir'"):
        dovel.align_pdbs(FILES[:2], tmp_path)
    with pytest.raises(TypeError, match="^argument 'params'"):
        dovel.align_pdbs(FILES[:2], out, params={})
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        dovel.align_pdbs(FILES[:2], out, chain="AB")
    with pytest.raises(OverflowError):
        dovel.align_pdbs(FILES[:2], out, reference_index=-1)
    with pytest.raises(TypeError, match="^argument 'reference_index'"):
        dovel.align_pdbs(FILES[:2], out, reference_index=None)
    with pytest.raises(TypeError, match=r"align_pdbs\(\) missing 1 required positional argument: 'output_dir'"):
        dovel.align_pdbs(FILES[:2])
    assert not os.path.exists(out)
    assert str(inspect.signature(dovel.align_pdbs)) == \
        "(pdb_files, output_dir, params=None, chain=None, reference_index=0)"


def test_reading_failures_name_the_file_and_write_nothing(tmp_path):
    out = tmp_path / "out"
    missing = str(tmp_path / "missing.pdb")
    with pytest.raises(ValueError, match=f"^Failed to parse {missing}: I/O error: "):
        dovel.align_pdbs([FILES[0], missing, "also-missing.pdb"], str(out))
    empty = tmp_path / "empty.pdb"
    empty.write_text("")
    with pytest.raises(ValueError, match=f"^Failed to parse {empty}: PDB parsing error: "):
        dovel.align_pdbs([str(empty), FILES[0]], str(out))
    with pytest.raises(ValueError, match=f"^Failed to parse {FILES[0]}: PDB parsing error: "):
        dovel.align_pdbs([FILES[0], FILES[1]], str(out), chain="Z")
    assert not out.exists()


def test_output_failures(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(OSError, match="^Failed to create output directory: "):
        dovel.align_pdbs(FILES[:2], str(blocker / "out"))
    out = tmp_path / "out"
    (out / "aligned_1ycc.pdb").mkdir(parents=True)
    with pytest.raises(OSError, match=f"^Failed to write {out / 'aligned_1ycc.pdb'}: "):
        dovel.align_pdbs(FILES[:2], str(out))
    # The file written before the failure stays.
    assert (out / "aligned_1hrc.pdb").is_file()


def test_result_and_written_files(run):
    inputs, out, r = run
    n = len(inputs)
    assert isinstance(r, dovel.MultipleAlignmentResult)
    assert sorted(os.listdir(out)) == sorted(["aligned_1hrc.pdb", "aligned_1ycc.pdb", "aligned_1co6_moved.pdb",
                                              "aligned_1crc.pdb"])
    assert len(r.transforms) == n and len(r.full_transforms) == n
    assert np.allclose(r.full_transforms[0].rotation, np.eye(3)) and np.allclose(r.full_transforms[0].translation, 0)
    # Each output is its input moved by its full transform; the reference stays put.
    for k, path in enumerate(inputs):
        written = out / f"aligned_{pathlib.Path(path).stem}.pdb"
        expected = r.full_transforms[k].apply(read_ca(path))
        assert np.allclose(read_ca(str(written)), expected, atol=2e-3)
    assert np.allclose(read_ca(str(out / "aligned_1hrc.pdb")), read_ca(FILES[0]), atol=1e-9)


def test_outputs_lie_superposed_on_the_reference(run, capsys):
    inputs, out, r = run
    stems = [pathlib.Path(p).stem for p in inputs]
    coords = [read_ca(str(out / f"aligned_{s}.pdb")) for s in stems]
    core = [r.columns[c] for c in r.core_positions]
    assert len(core) >= 70
    ref = coords[0][[col[0] for col in core]]
    report = []
    for k in range(1, len(inputs)):
        mine = coords[k][[col[k] for col in core]]
        rmsd = float(np.sqrt(((mine - ref) ** 2).sum(axis=1).mean()))
        best = kabsch_rmsd(ref, mine)
        report.append(f"{stems[k]}: core C-alpha RMSD to {stems[0]} {rmsd:.2f} A (best fit {best:.2f} A)")
        # Read back as written, the core already sits on the reference: the
        # written frame is close to the best rigid fit of those columns.
        assert rmsd < 1.5
        assert rmsd < best + 0.25
    # The moved member went back to the family's frame.
    assert np.linalg.norm(r.full_transforms[2].translation) > 1.0
    with capsys.disabled():
        print(f"\n{r.n_core} core columns of {r.n_columns}\n" + "\n".join(report))


def test_reference_index_keeps_that_structure_fixed(tmp_path):
    r = dovel.align_pdbs(FILES[:2], str(tmp_path), reference_index=1)
    assert np.allclose(r.full_transforms[1].rotation, np.eye(3)) and np.allclose(r.full_transforms[1].translation, 0)
    assert np.allclose(read_ca(str(tmp_path / "aligned_1ycc.pdb")), read_ca(FILES[1]), atol=1e-9)
    moved = read_ca(str(tmp_path / "aligned_1hrc.pdb"))
    assert np.allclose(moved, r.full_transforms[0].apply(read_ca(FILES[0])), atol=2e-3)
    assert r.n_core >= 90 and r.n_columns >= 104


def test_outputs_that_would_collide_are_refused_before_anything_is_written(tmp_path):
    # Two entries of the same name from different directories: both would be aligned_prot.pdb.
    for sub, src in (("a", FILES[0]), ("b", FILES[1])):
        (tmp_path / sub).mkdir()
        shutil.copy(src, tmp_path / sub / "prot.pdb")
    a, b = str(tmp_path / "a" / "prot.pdb"), str(tmp_path / "b" / "prot.pdb")
    out = tmp_path / "out"
    expected = f"Output path {out / 'aligned_prot.pdb'} would be written for both {a} and {b}"
    with pytest.raises(ValueError, match=f"^{re.escape(expected)}$"):
        dovel.align_pdbs([a, FILES[2], b], str(out))
    assert not out.exists()
    # The same file twice clashes too; the check comes before the files are read.
    missing = str(tmp_path / "missing.pdb")
    with pytest.raises(ValueError, match="^Output path .*aligned_missing.pdb would be written for both"):
        dovel.align_pdbs([missing, FILES[0], missing], str(out))
    assert not out.exists()
    # Distinct names behave as before.
    r = dovel.align_pdbs([a, FILES[2]], str(out))
    assert sorted(os.listdir(out)) == ["aligned_1co6.pdb", "aligned_prot.pdb"]
    assert len(r.transforms) == 2


def test_ctrl_c_stops_align_pdbs_and_leaves_only_whole_files(tmp_path):
    # 60 structures of about 260 residues: about 3 s uninterrupted.
    family = [data_path("families", "carbonic_anhydrase", f"{n}.pdb") for n in ("1azm", "1jd0", "1oq5")]
    inputs = []
    for k in range(60):
        inputs.append(str(tmp_path / f"s{k}.pdb"))
        shutil.copy(family[k % 3], inputs[-1])
    out = tmp_path / "out"
    lines = interrupt_child(f"""
        import time
        import dovel
        print("ready", flush=True)
        start = time.monotonic()
        try:
            dovel.align_pdbs({inputs!r}, {str(out)!r})
            print("finished", time.monotonic() - start)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start)
    """, delay=0.3)
    assert lines[0].split()[0] == "interrupted"
    # Whatever was written is whole: as many lines as its input, and nothing else lies there.
    written = sorted(os.listdir(out)) if out.exists() else []
    for name in written:
        assert name.startswith("aligned_s") and name.endswith(".pdb")
        src = tmp_path / name[len("aligned_"):]
        with open(src) as a, open(out / name) as b:
            assert len(b.read().splitlines()) == len(a.read().splitlines())
