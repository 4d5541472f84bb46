"""The ``dovel align`` and ``dovel msa`` commands, run as a user runs them (a separate process)."""

import gzip
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import gemmi
import numpy as np
import pytest

import dovel
import dovelkit
from conftest import data_path, dovel_cmd, kit_env as env
FAM = data_path("families")
HRC, YCC, CO6, CRC = (f"{FAM}/cytochrome_c/{n}.pdb" for n in ("1hrc", "1ycc", "1co6", "1crc"))


def assert_user_error(p, *words):
    assert p.returncode == 1, p.stderr
    lines = p.stderr.splitlines()
    assert len(lines) == 1 and "Traceback" not in p.stderr, p.stderr
    for w in words:
        assert w in lines[0]


def test_align_writes_b_moved_and_reports(tmp_path):
    out = tmp_path / "ycc_on_hrc.cif.gz"
    p = dovel_cmd("align", HRC, YCC, "-o", out, "--json")
    assert p.returncode == 0, p.stderr
    data = json.loads(p.stdout)
    assert data["n_aligned"] > 95 and data["rmsd"] < 1.0 and data["files"]["output"] == str(out)
    T = np.array(data["transform"])
    # the written file is B moved by the reported transform, and lies on A
    b, moved = dovelkit.load(YCC), dovelkit.load(out)
    np.testing.assert_allclose(moved.coordinates, b.coordinates @ T[:3, :3].T + T[:3, 3], atol=2e-3)
    a = dovelkit.load(HRC)
    pairs = np.array(data["pairs"])
    d = np.linalg.norm(a.coordinates[pairs[:, 0]] - moved.coordinates[pairs[:, 1]], axis=1)
    assert np.sqrt(np.mean(d ** 2)) == pytest.approx(data["rmsd"], abs=5e-3)

    text = dovel_cmd("align", HRC, YCC, "--chain1", "A", "--chain2", "A")
    assert text.returncode == 0 and text.stderr == ""
    lines = text.stdout.splitlines()
    assert lines[0].split()[:2] == ["fixed", "1hrc_A"] and lines[1].split()[:2] == ["mobile", "1ycc_A"]
    assert lines[2].split()[:2] == ["n_aligned", str(data["n_aligned"])]
    assert data["fixed"]["id"] == "1hrc_A" and data["mobile"]["id"] == "1ycc_A"
    assert data["files"]["fixed"] == HRC and data["files"]["mobile"] == YCC
    assert any(x.startswith("RMSD") for x in lines) and any(x.startswith("identity") for x in lines)
    assert any(x.startswith("1ycc_A") for x in lines)


def test_align_direct_and_nothing_found(tmp_path):
    # an unrelated chain: nothing is found, which is not an error; B is written unmoved
    p = dovel_cmd("align", HRC, f"{FAM}/unrelated/1eh6.pdb", "-o", tmp_path / "x.pdb", "--family")
    assert p.returncode == 0 and "no alignment found" in p.stderr
    assert "n_aligned 0 pairs" in p.stdout and "RMSD      -\n" in p.stdout
    np.testing.assert_allclose(dovelkit.load(tmp_path / "x.pdb").coordinates,
                               dovelkit.load(f"{FAM}/unrelated/1eh6.pdb").coordinates, atol=1e-3)
    p = dovel_cmd("align", HRC, CRC, "--method", "direct", "--json")
    assert p.returncode == 0 and (json.loads(p.stdout)["level"], json.loads(p.stdout)["method"]) == ("family", "direct")


def test_help_shows_examples():
    for args in ([], ["align"], ["msa"]):
        p = dovel_cmd(*args, "--help")
        assert p.returncode == 0 and "examples:" in p.stdout and "dovel" in p.stdout
    for args in (["align"], ["msa"], ["search"], ["db", "create"], ["db", "index"], ["db", "info"]):
        p = dovel_cmd(*args, "--help")
        # argparse formats '%' in option help but not in descriptions and epilogs
        assert p.returncode == 0 and "%%" not in p.stdout, (args, p.stdout)


def test_user_errors_are_one_line(tmp_path):
    assert_user_error(dovel_cmd("align", HRC, tmp_path / "missing.pdb"), "missing.pdb")
    assert_user_error(dovel_cmd("align", HRC, YCC, "--chain2", "Q"), "chain 'Q'")
    assert_user_error(dovel_cmd("align", HRC, YCC, "-o", tmp_path / "out.txt"), "out.txt")
    assert_user_error(dovel_cmd("align", HRC, YCC, "-o", tmp_path / "nodir" / "x.pdb"), "nodir")
    notes = tmp_path / "notes.txt"
    notes.write_text("not a structure\n")
    assert_user_error(dovel_cmd("align", HRC, notes), "notes.txt")
    # an output directory below a regular file cannot exist
    assert_user_error(dovel_cmd("msa", HRC, YCC, "-o", notes / "out"), "notes.txt")
    assert_user_error(dovel_cmd("msa", HRC, YCC, "--chain", "A", "A", "A", "-o", tmp_path / "o"), "--chain")
    assert_user_error(dovel_cmd("msa", HRC, "-o", tmp_path / "o"), "at least 2")
    # two inputs that would be written under the same name: refused before anything is written
    other = tmp_path / "copy"
    other.mkdir()
    shutil.copy(YCC, other / "1hrc.pdb")
    assert_user_error(dovel_cmd("msa", HRC, YCC, other / "1hrc.pdb", "-o", tmp_path / "o"), "1hrc.pdb")
    # writing the moved copies over their own inputs
    assert_user_error(dovel_cmd("msa", "1hrc.pdb", "1ycc.pdb", "-o", ".", cwd=os.path.dirname(HRC)), "overwrite")
    assert not (tmp_path / "o").exists()


def test_msa_writes_every_structure_in_its_own_format(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    shutil.copy(HRC, src / "1hrc.pdb")
    st = gemmi.read_structure(YCC)
    st.setup_entities()
    doc = st.make_mmcif_document()
    (src / "1ycc.cif").write_text(doc.as_string())
    shutil.copy(CO6, src / "1co6")  # no suffix: written as what it holds
    with open(CRC, "rb") as fh:
        (src / "1crc.pdb.gz").write_bytes(gzip.compress(fh.read()))
    inputs = [src / "1hrc.pdb", src / "1ycc.cif", src / "1co6", src / "1crc.pdb.gz"]
    out, fasta = tmp_path / "out" / "deeper", tmp_path / "family.fasta"
    p = dovel_cmd("msa", *inputs, "--chain", "A", "-o", out, "--fasta", fasta)
    assert p.returncode == 0, p.stderr
    assert sorted(os.listdir(out)) == ["1co6.pdb", "1crc.pdb.gz", "1hrc.pdb", "1ycc.cif"]
    assert (out / "1ycc.cif").read_text().startswith("data_")

    # the reference is unmoved; the others lie on it over the core columns of the FASTA
    records = {}
    for block in fasta.read_text().split(">")[1:]:
        name, *seq = block.splitlines()
        records[name] = "".join(seq)
    core = [c for c, x in enumerate(records.pop("core")) if x == "*"]
    assert len(core) > 80
    written = [dovelkit.load(out / n) for n in ("1hrc.pdb", "1ycc.cif", "1co6.pdb", "1crc.pdb.gz")]
    np.testing.assert_allclose(written[0].coordinates, dovelkit.load(HRC).coordinates, atol=1e-3)
    seqs = list(records.values())
    index = [np.cumsum([c != "-" for c in s]) - 1 for s in seqs]
    table = {line.split()[0]: line.split() for line in p.stdout.splitlines()[1:5]}
    for k, d in enumerate(written):
        ca0 = written[0].coordinates[index[0][core]]
        cak = d.coordinates[index[k][core]]
        rmsd = float(np.sqrt(np.mean(np.sum((ca0 - cak) ** 2, axis=1))))
        assert rmsd < 1.5
        assert float(table[list(table)[k]][-1]) == pytest.approx(rmsd, abs=2e-3)
    assert [s.replace("-", "") for s in seqs] == [dovelkit.load(x).sequence for x in inputs]

    # without --fasta the alignment follows the table on stdout
    p = dovel_cmd("msa", HRC, CRC, "-o", tmp_path / "out2")
    assert p.returncode == 0 and ">core" in p.stdout and ">1hrc_A" in p.stdout


def test_ctrl_c_exits_130_and_leaves_no_partial_file(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    ca = [f"{FAM}/carbonic_anhydrase/{n}.pdb" for n in ("1azm", "1oq5", "1jd0")]
    for k in range(12):
        for path in ca:
            shutil.copy(path, src / f"{k}_{os.path.basename(path)}")
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, "-m", "dovelkit", "msa", *sorted(map(str, src.iterdir())),
                             "-o", str(out), "--fasta", str(tmp_path / "a.fasta")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env())
    deadline = time.monotonic() + 60
    while not out.exists() and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=120)
    assert proc.returncode == 130, stderr
    assert "Traceback" not in stderr and len(stderr.splitlines()) == 1
    assert os.listdir(out) == [] and not (tmp_path / "a.fasta").exists()


def test_progress_only_on_a_terminal(tmp_path):
    import pty

    master, slave = pty.openpty()
    try:
        proc = subprocess.Popen([sys.executable, "-m", "dovelkit", "msa", HRC, CRC, YCC, "-o", str(tmp_path / "o")],
                                stdout=subprocess.PIPE, stderr=slave, env=env())
        os.close(slave)
        stdout, _ = proc.communicate(timeout=120)
        seen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal is closed once the process is gone
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(master)
    assert proc.returncode == 0
    assert b"aligning" in seen and b"writing" in seen and seen.endswith(b"\r\x1b[K")  # erased at the end
    assert b"aligning" not in stdout
    piped = dovel_cmd("msa", HRC, CRC, "-o", tmp_path / "p")
    assert piped.returncode == 0 and piped.stderr == ""


def test_an_internal_error_of_the_module_is_one_line_and_status_1(monkeypatch, capsys):
    """The module's internal error derives from BaseException; the command still prints one line."""
    import dovel
    import dovelkit.cli.cmd_align as align_command
    from dovelkit import cli

    def broken(args):
        dovel.centroid(np.zeros((0, 3)))  # an empty point set breaks the core's invariant

    with pytest.raises(BaseException) as caught:
        broken(None)
    assert not isinstance(caught.value, Exception)
    monkeypatch.setattr(align_command, "run", broken)
    assert cli.main(["align", HRC, YCC]) == 1
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 1 and err[0].startswith("dovel align: internal error: ")
