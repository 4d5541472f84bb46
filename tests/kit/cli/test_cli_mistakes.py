"""Mistakes a new user makes on the command line: each one gets one clear line, status 1, and
leaves nothing behind."""

import os

import pytest

from conftest import data_path, dovel_cmd, one_line_error

CYT = data_path("families", "cytochrome_c")
HRC, YCC = os.path.join(CYT, "1hrc.pdb"), os.path.join(CYT, "1ycc.pdb")


def test_a_directory_or_a_file_in_the_wrong_place(tmp_path):
    # a directory where a structure file belongs: said so, not "no such file"
    for args in (("align", HRC, tmp_path), ("msa", tmp_path, HRC, "-o", tmp_path / "o"), ("search", tmp_path, HRC)):
        line = one_line_error(dovel_cmd(*args))
        assert "is a directory" in line and "no such file" not in line, line
    # an output below a regular file: the file is named as what stands in the way
    afile = tmp_path / "afile"
    afile.write_text("x\n")
    for option in ("-o", "--html"):
        line = one_line_error(dovel_cmd("align", HRC, YCC, option, afile / "x.pdb"))
        assert f"{afile} is a file, not a directory" in line and "does not exist" not in line, line
    assert "is a file" in one_line_error(dovel_cmd("align", HRC, YCC, "-o", afile / "deeper" / "x.pdb"))
    assert "does not exist" in one_line_error(dovel_cmd("align", HRC, YCC, "-o", tmp_path / "nodir" / "x.pdb"))
    assert afile.read_text() == "x\n"


@pytest.mark.parametrize("args, option", [
    (("search", HRC, CYT, "--connect-timeout", "-1"), "--connect-timeout"),
    (("search", HRC, CYT, "--connect-timeout", "nan"), "--connect-timeout"),
    (("search", HRC, CYT, "--top", "0"), "--top"),
    (("search", HRC, CYT, "--top", "2.5"), "--top"),
    (("search", HRC, CYT, "--cutoff", "inf"), "--cutoff"),
    (("search", HRC, CYT, "--workers", "0"), "--workers"),
    (("db", "create", "x.parquet", CYT, "--slice-size", "-3"), "--slice-size"),
    (("align", "--all", HRC, YCC, "--workers", "many"), "--workers"),
])
def test_bad_numbers_are_refused_before_any_work(tmp_path, args, option):
    r = dovel_cmd(*args, cwd=tmp_path)
    line = one_line_error(r)
    assert line.startswith("dovel ") and f"argument {option}" in line and "usage" not in r.stderr, line
    assert r.stdout == "" and os.listdir(tmp_path) == []


def test_other_argument_mistakes_are_one_line_too():
    assert "--nonsense" in one_line_error(dovel_cmd("align", HRC, YCC, "--nonsense"))
    assert "invalid choice" in one_line_error(dovel_cmd("search", HRC, CYT, "--method", "fast"))
    assert "COMMAND" in one_line_error(dovel_cmd())
    assert dovel_cmd("align", "--help").returncode == 0


def test_msa_checks_every_output_before_creating_anything(tmp_path):
    out = tmp_path / "out" / "deeper"
    for option, path in (("--fasta", "/proc/x.fasta"), ("--html", "/proc/x.html"),
                         ("--fasta", tmp_path / "nodir" / "x.fasta")):
        line = one_line_error(dovel_cmd("msa", HRC, YCC, "-o", out, option, path))
        assert str(path) in line and ".part" not in line and "probe" not in line, line
        assert os.listdir(tmp_path) == []
    # a structure that fails to load after the checks: the directories made for it are removed
    assert "chain 'Q'" in one_line_error(dovel_cmd("msa", HRC, YCC, "--chain", "Q", "-o", out))
    assert os.listdir(tmp_path) == []
    # an existing directory that is not writable is refused up front
    if os.geteuid() != 0:
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o500)
        assert "locked" in one_line_error(dovel_cmd("msa", HRC, YCC, "-o", locked / "o"))
