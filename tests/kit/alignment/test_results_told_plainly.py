"""What the outputs say about results that are not what a user hoped for: a multiple alignment
with no core, score-0 search rows, the query finding itself."""

import csv
import os

import numpy as np

import dovelkit
from conftest import data_path, dovel_cmd

CYT = data_path("families", "cytochrome_c")
HRC, YCC, CRC = (os.path.join(CYT, f"{n}.pdb") for n in ("1hrc", "1ycc", "1crc"))
EH6 = data_path("families", "unrelated", "1eh6.pdb")


def test_msa_that_aligns_nothing_says_which_and_exits_3(tmp_path):
    out, html = tmp_path / "out", tmp_path / "r.html"
    r = dovel_cmd("msa", HRC, YCC, EH6, "-o", out, "--html", html, "--family")
    assert r.returncode == 3, r.stderr
    assert "Traceback" not in r.stderr
    last = r.stderr.splitlines()[-1]
    assert last.startswith("dovel msa: the structures could not be aligned") and last.endswith("1eh6_A"), last
    assert "0 core columns" in r.stdout and sorted(os.listdir(out)) == ["1eh6.pdb", "1hrc.pdb", "1ycc.pdb"]
    page = html.read_text()
    warning = page.index('class="warning"')
    assert warning < page.index('class="summary"') and "1eh6_A" in page[warning:warning + 300]
    # aligned structures: no warning, status 0
    ok = dovel_cmd("msa", HRC, YCC, CRC, "-o", tmp_path / "ok", "--html", tmp_path / "ok.html")
    assert ok.returncode == 0 and ok.stderr == "" and 'class="warning"' not in (tmp_path / "ok.html").read_text()
    assert "exit status" in dovel_cmd("msa", "--help").stdout


def test_failure_names_structures_that_stand_apart():
    a, b, c = (dovelkit.load(p) for p in (HRC, YCC, EH6))
    assert dovelkit.msa([a, b], level="family").failure() is None
    m = dovelkit.msa([a, c, b], level="family")
    assert m.n_core == 0 and m.failure().endswith("not aligned with 1hrc_A: 1eh6_A")
    report = dovelkit.msa_report(m)
    assert report.warning.startswith("The structures could not be aligned") and "warning: The" in report.text()


def test_search_lists_hits_that_aligned_something_unless_all(tmp_path):
    files = [HRC, YCC, CRC, EH6, data_path("families", "thioredoxin", "2trx.pdb")]
    listed = {}
    for extra in ([], ["--all"]):
        out = tmp_path / f"hits{len(extra)}.tsv"
        r = dovel_cmd("search", HRC, *files, "--workers", "1", "-o", out, "--family", *extra)
        assert r.returncode == 0, r.stderr
        with open(out, newline="") as fh:
            listed[bool(extra)] = list(csv.DictReader(fh, delimiter="\t"))
    aligned = [x for x in listed[True] if float(x["score"]) > 0]
    assert 0 < len(aligned) < len(listed[True]) == sum(len(dovelkit.load_chains(f)) for f in files)
    assert listed[False] == aligned  # same ranks, scores and Z-scores: the zero rows were only left out
    table = dovel_cmd("search", EH6, HRC, CRC, "--workers", "1", "--family")
    assert table.returncode == 0 and table.stdout == "no hits\n"


def test_search_report_leaves_out_the_query_itself():
    query = dovelkit.load(HRC)
    targets = [dovelkit.load(p) for p in (HRC, YCC, CRC)]
    moved = targets[0].copy()  # the same chain in another frame is not the query itself...
    moved.coordinates = np.asarray(moved.coordinates) + 30.0
    moved.id = "1hrc_moved"
    targets.append(moved)
    hits = dovelkit.search(query, targets, workers=1, details=True, level="family")
    assert hits[0].id == "1hrc_A"
    report = dovelkit.search_report(query, hits)
    drawn = {t.name for t in report.figures["structure"].data if t.showlegend is not False}
    assert drawn == {"1hrc_A"} | {f"#{h.rank} {h.id}" for h in hits if h.id != "1hrc_A"}
    assert "the query itself left out" in report.html()
    # ... nor is another chain under the query's id
    only_self = dovelkit.search(query, targets[:1], workers=1, details=True, level="family")
    report = dovelkit.search_report(query, only_self)
    assert "structure" not in report.figures and "query itself" in report.html()
