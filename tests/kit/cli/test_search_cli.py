"""The `dovel db` and `dovel search` commands, run as a user runs them."""

import csv
import json
import os
import shutil

import pytest

import dovel
import dovelkit

from conftest import DATA, dovel_cmd, one_line_error
FAMILIES = os.path.join(DATA, "families")


@pytest.fixture(scope="module")
def database(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "fam.parquet"
    r = dovel_cmd("db", "create", path, FAMILIES, "--workers", "1", "--slice-size", "5")
    assert r.returncode == 0, r.stderr
    assert r.stdout == ""
    assert "entries from" in r.stderr
    return path


def test_db_create_and_info(database):
    db = dovelkit.Database.open(database)
    files = sorted(os.path.join(root, n) for root, _, names in os.walk(FAMILIES) for n in names if n.endswith(".pdb"))
    assert db.entry(0).source == os.path.join(FAMILIES, "carbonic_anhydrase", "1azm.pdb")
    assert len(db) == sum(len(dovelkit.load_chains(f)) for f in files)
    r = dovel_cmd("db", "info", database)
    assert r.returncode == 0
    info = dict(line.split("\t") for line in r.stdout.splitlines())
    assert info["entries"] == str(len(db)) and info["entries_per_slice"] == "5"


def test_search_outputs_agree_with_the_library(database, tmp_path):
    query = os.path.join(FAMILIES, "cytochrome_c", "1hrc.pdb")
    db = dovelkit.Database.open(database)
    want = dovelkit.search(dovelkit.load(query), db, max_hits=4, score_cutoff=0.1, workers=1, level="family")
    assert len(want) == 4

    r = dovel_cmd("search", query, database, "--top", "4", "--cutoff", "0.1", "--workers", "1", "--family")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0].split()[:3] == ["rank", "id", "score"] and len(lines) == 5
    assert [line.split()[1] for line in lines[1:]] == [h.id for h in want]
    assert lines[1].split()[2] == f"{want[0].score:.4f}"

    out = tmp_path / "hits.tsv"
    r = dovel_cmd("search", query, database, "--top", "4", "--cutoff", "0.1", "--workers", "2", "-o", out,
                  "--family")
    assert r.returncode == 0 and r.stdout == ""
    with open(out, newline="") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    assert [(int(x["rank"]), x["id"], float(x["score"]), float(x["rmsd"]), int(x["position"]), x["source"])
            for x in rows] == [(h.rank, h.id, h.score, h.rmsd, h.position, h.source) for h in want]
    assert [float(x["z_score"]) for x in rows] == [h.z_score for h in want]

    r = dovel_cmd("search", query, database, "--top", "2", "--json", "--details", "--workers", "1", "--family")
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    assert doc["query"]["id"] == "1hrc_A"
    assert [h["id"] for h in doc["hits"]] == [h.id for h in want[:2]]
    assert all(len(h["alignment"]["pairs"]) == h["alignment"]["n_aligned"] > 0 for h in doc["hits"])


def test_search_files_in_full_mode_equals_scan_database(tmp_path):
    query = os.path.join(DATA, "1ubq.pdb")
    files = [os.path.join(DATA, n) for n in ("1d3z.pdb", "1k6p.pdb", "1ubq.pdb", "2beg.pdb")]
    targets = [d for f in files for d in dovelkit.load_chains(f)]
    ref = dovel.scan_database(dovelkit.load(query), targets, None, 0.0, 100, False, False)
    out = tmp_path / "hits.tsv"
    r = dovel_cmd("search", query, *files, "--method", "direct", "--workers", "1", "-o", out, "--all")
    assert r.returncode == 0, r.stderr
    with open(out, newline="") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    assert [(x["id"], float(x["score"]), int(x["n_aligned"])) for x in rows] == \
        [(h.target_id, h.score, h.n_aligned) for h in ref]
    by_id = {x["id"]: x for x in rows}
    assert by_id["1k6p_B"]["chain"] == "B" and by_id["1k6p_B"]["source"] == files[1]


def test_errors_are_one_line(database, tmp_path):
    query = os.path.join(DATA, "1ubq.pdb")
    assert "missing.pdb" in one_line_error(dovel_cmd("search", tmp_path / "missing.pdb", database))
    assert "--top" in one_line_error(dovel_cmd("search", query, database, "--top", "-1"))
    assert "one database" in one_line_error(dovel_cmd("search", query, database, query))
    junk = tmp_path / "junk.pdb"
    junk.write_text("nothing here\n")
    r = dovel_cmd("search", query, junk)
    assert "no protein chain" in r.stderr.splitlines()[-1] and r.returncode == 1

    for d in ("a", "b"):
        os.makedirs(tmp_path / d)
        shutil.copy(query, tmp_path / d)
    dup = tmp_path / "dup.parquet"
    assert "duplicate id '1ubq_A'" in one_line_error(dovel_cmd("db", "create", dup, tmp_path / "a", tmp_path / "b",
                                                               "--workers", "1"))
    assert not dup.exists()
    r = dovel_cmd("db", "create", dup, tmp_path / "a", tmp_path / "b", junk, "--workers", "1", "--rename-duplicates")
    assert r.returncode == 0
    assert f"skipped {junk}:" in r.stderr and "renamed duplicate 1ubq_A to 1ubq_A~2" in r.stderr
    assert dovelkit.Database.open(dup).ids == ["1ubq_A", "1ubq_A~2"]


def test_search_through_a_scheduler(database, tmp_path):
    from distributed import LocalCluster

    query = os.path.join(FAMILIES, "thioredoxin", "2trx.pdb")
    local = dovel_cmd("search", query, database, "--workers", "1", "--json")
    with LocalCluster(host="127.0.0.1", dashboard_address=None, n_workers=2, threads_per_worker=1,
                      processes=True, silence_logs=40) as cluster:
        remote = dovel_cmd("search", query, database, "--scheduler", cluster.scheduler_address, "--json")
    assert local.returncode == 0 and remote.returncode == 0, remote.stderr
    assert json.loads(remote.stdout) == json.loads(local.stdout)
    assert "cannot reach the scheduler" in one_line_error(
        dovel_cmd("search", query, database, "--scheduler", "tcp://127.0.0.1:9", "--connect-timeout", "1"))
