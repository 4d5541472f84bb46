"""PATH:CHAIN, --chain and --model name the same chain in align, msa and search."""

import json
import os

import pytest

import dovelkit
from conftest import ROOT, data_path, dovel_cmd, one_line_error

NMR = data_path("1d3z.pdb")  # ubiquitin, 10 models
NI7 = os.path.join(ROOT, "examples", "data", "1ni7.pdb.gz")  # 20 models


def test_align_takes_a_model_of_each_structure(tmp_path):
    same = json.loads(dovel_cmd("align", NMR, NMR, "--json").stdout)
    other = json.loads(dovel_cmd("align", NMR, f"{NMR}:A", "--model2", "5", "--json").stdout)
    assert same["rmsd"] < 1e-6 and 0.05 < other["rmsd"] < 2.0 and other["n_aligned"] >= len(dovelkit.load(NMR)) - 2
    # the family level, the report path (NumPy) and the fold level's quick path read the same model
    family = json.loads(dovel_cmd("align", NMR, NMR, "--model2", "5", "--family", "--json").stdout)
    direct = dovelkit.align(dovelkit.load(NMR), dovelkit.load(NMR, model=5), level="family")
    assert family["rmsd"] == pytest.approx(direct.rmsd, abs=1e-9)
    both = json.loads(dovel_cmd("align", NI7, NI7, "--model", "7", "--json").stdout)
    assert both["rmsd"] < 1e-6  # --model: the same model of both
    assert "no model 11" in one_line_error(dovel_cmd("align", NMR, NMR, "--model1", "11"))
    assert "not both" in one_line_error(dovel_cmd("align", NMR, NMR, "--model", "2", "--model1", "3"))
    assert "given twice" in one_line_error(dovel_cmd("align", f"{NMR}:A", NMR, "--chain1", "A"))
    rows = json.loads(dovel_cmd("align", "--all", NMR, f"{NMR}:A", "--model", "4", "--json").stdout)
    assert rows[0]["rmsd"] < 1e-6


def test_msa_takes_path_chain_and_a_model_per_file(tmp_path):
    p = dovel_cmd("msa", NI7, f"{NI7}:A", "--model", "1", "7", "--fasta", "-")
    assert p.returncode == 0, p.stderr
    rmsd = [line.split()[-1] for line in p.stdout.splitlines()[1:3]]
    assert rmsd[0] == "0.000" and float(rmsd[1]) > 0.05
    assert "given twice" in one_line_error(dovel_cmd("msa", f"{NI7}:A", NI7, "--chain", "A"))
    assert "--model" in one_line_error(dovel_cmd("msa", NI7, NI7, NI7, "--model", "1", "2"))
    assert "no model 30" in one_line_error(dovel_cmd("msa", NI7, NI7, "--model", "30"))
    assert not list(tmp_path.iterdir())


def test_search_query_as_path_chain_with_a_model(tmp_path):
    targets = [data_path("1ubq.pdb"), data_path("1sp1.pdb")]
    plain = json.loads(dovel_cmd("search", NMR, *targets, "--json").stdout)
    named = json.loads(dovel_cmd("search", f"{NMR}:A", "--model", "3", *targets, "--json", "--details").stdout)
    assert named["query"]["id"] == plain["query"]["id"] == "1d3z_A"
    top = {h["id"]: h for h in named["hits"]}["1ubq_A"]
    assert top["rmsd"] != {h["id"]: h for h in plain["hits"]}["1ubq_A"]["rmsd"]  # another model
    residues = top["alignment"]["residues"]
    assert residues[0] == ["1", "1"] and len(residues) == top["n_aligned"]
    tsv = dovel_cmd("search", f"{NMR}:A", *targets, "--details", "-o", tmp_path / "hits.tsv")
    assert tsv.returncode == 0, tsv.stderr
    header, first = (tmp_path / "hits.tsv").read_text().splitlines()[:2]
    assert header.split("\t")[-1] == "residues" and first.split("\t")[-1].startswith("1:1,2:2")
    assert "given twice" in one_line_error(dovel_cmd("search", f"{NMR}:A", *targets, "--chain", "A"))
    assert "no chain 'Q'" in one_line_error(dovel_cmd("search", f"{NMR}:Q", *targets))


def test_msa_takes_one_dssp_file_per_structure(tmp_path):
    orc, k6p = data_path("1orc.pdb"), data_path("1k6p.pdb")
    html = tmp_path / "m.html"
    p = dovel_cmd("msa", orc, k6p, "--dssp", data_path("1orc.dssp"), "-", "--html", html)
    assert p.returncode in (0, 3), p.stderr
    page = html.read_text()
    assert "1orc_A helix (" in page and "1k6p_A helix (" not in page
    line = one_line_error(dovel_cmd("msa", orc, k6p, "--dssp", data_path("1k6p.dssp"), "-"))
    assert "1k6p.dssp" in line
    assert "one file per structure" in one_line_error(dovel_cmd("msa", orc, k6p, "--dssp", data_path("1orc.dssp")))
