"""What dovel align gives TM-align users: TM-scores by a given length or d0, both chains in one
superposed file with a PyMOL script, and DSSP files for the report."""

import json
import math

import gemmi
import numpy as np
import pytest

import dovelkit
from dovelkit import _core
from conftest import data_path, dovel_cmd, one_line_error

ORC, K6P, O1Z = data_path("1orc.pdb"), data_path("1k6p.pdb"), data_path("1o1z.pdb")


def test_tm_score_by_a_given_length_and_d0():
    a, b = dovelkit.load(data_path("1sp1.pdb")), dovelkit.load(data_path("1sp2.pdb"))
    aln = dovelkit.align(a, b)
    own = aln.tm_score_by()
    assert own.score == _core.tm_score(a.coordinates, b.coordinates, aln.pairs).tm_fixed
    assert own.length == len(a) and own.d0 == pytest.approx(1.24 * (len(a) - 15) ** (1 / 3) - 1.8)
    # with d0 fixed the best superposition does not depend on the length: the score scales as 1/L
    d0 = 2.5
    by_40, by_80 = aln.tm_score_by(40, d0), aln.tm_score_by(80, d0)
    assert by_40.score * 40 == pytest.approx(by_80.score * 80, rel=1e-12) and by_40.d0 == d0
    assert aln.tm_score_by(40, 5.0).score > by_40.score  # a larger scale forgives more
    for bad in ({"length": 0}, {"length": math.nan}, {"d0": -1.0}, {"d0": 0.0}):
        with pytest.raises(ValueError):
            aln.tm_score_by(**bad)
    with pytest.raises(ValueError, match="length"):
        _core.tm_score_by(a.coordinates, b.coordinates, aln.pairs, 0.5)


def test_align_prints_the_given_tm_score_and_writes_one_superposed_file(tmp_path):
    p = dovel_cmd("align", ORC, K6P, "--tm-length", "100", "--json")
    data = json.loads(p.stdout)
    given = data["tm_given"]
    assert given["length"] == 100 and given["score"] < data["tm_fixed"] and len(given["transform"]) == 4
    text = dovel_cmd("align", ORC, K6P, "--tm-d0", "4").stdout
    assert "(by the given length 64, d0 4.00 A)" in text

    out = tmp_path / "both.pdb"
    p = dovel_cmd("align", O1Z, O1Z, "--model2", "1", "--superposed", out)
    assert p.returncode == 0, p.stderr
    st = gemmi.read_structure(str(out))
    assert [c.name for c in st[0]] == ["A", "B"]
    aln = dovelkit.align(dovelkit.load(O1Z), dovelkit.load(O1Z))
    ca_b = [r.get_ca().pos.tolist() for r in st[0]["B"] if r.get_ca() is not None and r.het_flag == "A"]
    np.testing.assert_allclose(ca_b[:len(aln.mobile)], aln.moved_coordinates(), atol=2e-3)
    script = (tmp_path / "both.pml").read_text()
    assert script.startswith("# 1o1z_A") and "load both.pdb, superposed" in script
    assert "chain A and resi \\-3+\\-2+" in script  # negative numbers escaped for PyMOL

    bad = tmp_path / "both.cif"
    assert "ends in .pdb" in one_line_error(dovel_cmd("align", ORC, K6P, "--superposed", bad))
    assert not bad.exists()
    assert "--complex" in one_line_error(dovel_cmd("align", ORC, K6P, "--complex", "--tm-length", "50"))
    assert "one pair" in one_line_error(dovel_cmd("align", "--all", ORC, K6P, O1Z, "--superposed", out))


def test_align_takes_dssp_files_for_the_report(tmp_path):
    html = tmp_path / "r.html"
    p = dovel_cmd("align", ORC, K6P, "--dssp1", data_path("1orc.dssp"), "--dssp2", data_path("1k6p.dssp"),
                  "--html", html)
    assert p.returncode == 0, p.stderr
    assert "No secondary structure was loaded" not in html.read_text()
    # a DSSP file of another chain is refused, naming it, and nothing is written
    line = one_line_error(dovel_cmd("align", ORC, K6P, "--dssp1", data_path("1k6p.dssp"),
                                    "--html", tmp_path / "no.html"))
    assert "1k6p.dssp" in line and not (tmp_path / "no.html").exists()


def test_a_given_alignment_is_scored_not_searched(tmp_path):
    a, b = dovelkit.load(ORC), dovelkit.load(K6P)
    found = dovelkit.align(a, b)
    fasta = tmp_path / "given.fasta"
    fasta.write_text(found.to_fasta(width=17))
    p = dovel_cmd("align", ORC, K6P, "--alignment", fasta, "--json")
    assert p.returncode == 0, p.stderr
    given = json.loads(p.stdout)
    assert given["level"] == "given" and given["pairs"] == found.pairs.tolist()
    tm = _core.tm_score(a.coordinates, b.coordinates, found.pairs)
    assert (given["tm_fixed"], given["tm_mobile"]) == (tm.tm_fixed, tm.tm_mobile)
    assert given["rmsd"] == pytest.approx(tm.rmsd) and given["residues"] == found.residue_pairs()
    # the distances are those of the transform reported
    m = np.array(given["transform"])
    moved = b.coordinates @ m[:3, :3].T + m[:3, 3]
    pairs = np.array(given["pairs"])
    np.testing.assert_allclose(np.linalg.norm(a.coordinates[pairs[:, 0]] - moved[pairs[:, 1]], axis=1),
                               given["distances"], atol=1e-9)
    # a shifted alignment scores lower; a sequence that is not the chain's is refused by residue
    shifted = tmp_path / "shifted.fasta"
    ga, gb = found.gapped_sequences()
    shifted.write_text(f">a\n{ga}-\n>b\n-{gb}\n")
    worse = json.loads(dovel_cmd("align", ORC, K6P, "--alignment", shifted, "--json").stdout)
    assert worse["tm_fixed"] < given["tm_fixed"]
    wrong = tmp_path / "wrong.fasta"
    wrong.write_text(f">a\n{gb}\n>b\n{ga}\n")
    assert "not 1orc_A's: residue 1" in one_line_error(dovel_cmd("align", ORC, K6P, "--alignment", wrong))
    three = tmp_path / "three.fasta"
    three.write_text(">a\nAG\n>b\nAG\n>c\nAG\n")
    assert "2 FASTA records, not 3" in one_line_error(dovel_cmd("align", ORC, K6P, "--alignment", three))
    assert "--family" in one_line_error(dovel_cmd("align", ORC, K6P, "--alignment", fasta, "--family"))
