"""`dovel align --all` and `--pairs`: many pairs in one call give the table of what one `dovel align`
per pair gives, in the order asked, whatever the number of worker processes."""

import csv
import io
import json
import os

import pytest

from conftest import data_path, dovel_cmd, one_line_error
from dovelkit.alignment.many import Structure, parse_structure, read_pairs
from dovelkit.errors import UserError

CYT = data_path("families", "cytochrome_c")
HRC, YCC, CO6 = (os.path.join(CYT, f"{n}.pdb") for n in ("1hrc", "1ycc", "1co6"))
EH6 = data_path("families", "unrelated", "1eh6.pdb")
K6P = data_path("1k6p.pdb")  # two chains, A and B


def rows(stdout):
    return list(csv.DictReader(io.StringIO(stdout), delimiter="\t"))


def single(a, b):
    def split(s):
        s = parse_structure(s)
        return [s.path] + ([] if s.chain is None else [s.chain])
    pa, pb = split(a), split(b)
    args = ["align", pa[0], pb[0], "--json"] + (["--chain1", pa[1]] if len(pa) > 1 else []) \
        + (["--chain2", pb[1]] if len(pb) > 1 else [])
    r = dovel_cmd(*args)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def test_every_pair_matches_single_alignments(tmp_path):
    given = [HRC, YCC, f"{K6P}:B", EH6]
    r = dovel_cmd("align", "--all", *given, "--workers", "2")
    assert r.returncode == 0 and r.stderr == "", r.stderr
    table = rows(r.stdout)
    want = [(a, b) for k, a in enumerate(given) for b in given[k + 1:]]
    assert [(x["fixed"], x["mobile"]) for x in table] == want
    by_json = json.loads(dovel_cmd("align", "--all", *given, "--json", "--workers", "1").stdout)
    assert len(by_json) == len(want)
    for x, doc, (a, b) in zip(table, by_json, want):
        one = single(a, b)
        assert doc["files"] == {"fixed": a, "mobile": b}
        for key in ("n_aligned", "score", "rmsd", "seq_identity", "transform", "pairs", "fixed", "mobile"):
            assert doc[key] == one[key], (a, b, key)
        assert (x["id_fixed"], x["id_mobile"], int(x["n_aligned"])) == (one["fixed"]["id"], one["mobile"]["id"], one["n_aligned"])
        assert int(x["length_mobile"]) == one["mobile"]["length"]
        if one["n_aligned"]:
            assert float(x["rmsd"]) == pytest.approx(one["rmsd"], abs=5e-4)
            assert float(x["score"]) == pytest.approx(one["score"], abs=5e-5)
        else:
            assert x["rmsd"] == "" and float(x["score"]) == 0.0
    assert table[1]["id_mobile"] == "1k6p_B" and any(int(x["n_aligned"]) > 90 for x in table)


def test_a_pairs_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.symlink(CYT, tmp_path / "cyt:dir")  # a path with a colon is taken whole when it exists
    listed = tmp_path / "pairs.tsv"
    listed.write_text(f"# fixed\tmobile\n\n{HRC}\t{CO6}\ncyt:dir/1ycc.pdb  {K6P}:A\n  {CO6}:A\t{HRC}  \n")
    assert read_pairs(listed) == [(Structure(HRC), Structure(CO6)), (Structure("cyt:dir/1ycc.pdb"), Structure(K6P, "A")),
                                  (Structure(CO6, "A"), Structure(HRC))]
    r = dovel_cmd("align", "--pairs", "pairs.tsv", "--method", "direct", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert [(x["fixed"], x["mobile"], x["id_mobile"]) for x in rows(r.stdout)] == [
        (HRC, CO6, "1co6_A"), ("cyt:dir/1ycc.pdb", f"{K6P}:A", "1k6p_A"), (f"{CO6}:A", HRC, "1hrc_A")]
    bad = tmp_path / "bad.tsv"
    bad.write_text(f"{HRC}\t{YCC}\n{HRC}\n")
    with pytest.raises(UserError, match="bad.tsv line 2: expected two structures"):
        read_pairs(bad)
    (tmp_path / "empty.tsv").write_text("# nothing\n")
    with pytest.raises(UserError, match="no pairs"):
        read_pairs(tmp_path / "empty.tsv")


def test_many_pair_mistakes(tmp_path):
    pairs = tmp_path / "pairs.tsv"
    pairs.write_text(f"{HRC}\t{tmp_path}/missing.pdb\n")
    assert "missing.pdb: no such file" in one_line_error(dovel_cmd("align", "--pairs", pairs))
    pairs.write_text(f"{HRC}\t{YCC}:Q\n")
    assert "chain 'Q'" in one_line_error(dovel_cmd("align", "--pairs", pairs, "--workers", "2"))
    assert "at least 2" in one_line_error(dovel_cmd("align", "--all", HRC))
    assert "not both" in one_line_error(dovel_cmd("align", "--all", HRC, YCC, "--pairs", pairs))
    assert "give no others" in one_line_error(dovel_cmd("align", HRC, "--pairs", pairs))
    assert "PATH:CHAIN" in one_line_error(dovel_cmd("align", "--all", HRC, YCC, "--chain1", "A"))
    assert "one pair" in one_line_error(dovel_cmd("align", "--all", HRC, YCC, "-o", tmp_path / "x.pdb"))
    assert "two structures" in one_line_error(dovel_cmd("align", HRC, YCC, CO6))
    assert "given twice" in one_line_error(dovel_cmd("align", f"{HRC}:A", YCC, "--chain1", "A"))
    assert os.listdir(tmp_path) == ["pairs.tsv"]
