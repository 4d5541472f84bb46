"""Fold-level hits ranked by one statistic: the chance of the pair under the null model. Rank,
E-value and Z-score follow from it and never disagree; a query found among the targets comes
first; the command sorts and filters by the TM-scores and says when a search was prefiltered."""

import csv
import glob
import json
import math
import os

import pytest

import dovelkit
from dovelkit.db.store import Database

from conftest import DATA, dovel_cmd

FILES = sorted(glob.glob(os.path.join(DATA, "families", "*", "*.pdb")))[:14]


@pytest.fixture(scope="module")
def chains():
    if not FILES:
        pytest.skip(f"the bundled families are not in {DATA}")
    out = []
    for path in FILES:
        out.extend(dovelkit.load_chains(path))
    return out


def check_agreement(hits, n_entries, query_length):
    """Rank, E and Z say the same thing in every row and between rows."""
    assert [h.rank for h in hits] == list(range(1, len(hits) + 1))
    es = [h.e_value for h in hits]
    zs = [h.z_score for h in hits]
    assert es == sorted(es) and zs == sorted(zs, reverse=True)
    for h in hits:
        p = h.e_value / n_entries  # Z is the normal deviate of the pair's chance
        assert 0 < p <= 1 and math.isfinite(h.z_score)
        if h.e_value < 0.01:
            assert h.z_score > 2.3
        assert 0 <= h.coverage_query <= 1 and 0 <= h.coverage_target <= 1
        assert h.coverage_query == pytest.approx(h.n_aligned / query_length)


def test_rank_e_and_z_agree_and_the_query_comes_first(chains):
    n = len(chains)
    for query in chains[::3]:
        hits = dovelkit.search(query, chains, workers=1, max_hits=n, level="fold")
        assert len(hits) == n and not hits.prefiltered
        check_agreement(hits, n, len(query))
        assert hits[0].id == query.id and hits[0].tm_query == pytest.approx(1.0)
        assert hits[0].e_value == min(h.e_value for h in hits)
        # max_hits keeps the best by chance, not by TM-score, and changes none of them
        few = dovelkit.search(query, chains, workers=1, max_hits=3, level="fold")
        assert [(h.id, h.e_value, h.z_score) for h in few] == [(h.id, h.e_value, h.z_score) for h in hits[:3]]


def test_a_longer_copy_or_a_shorter_piece_does_not_beat_the_query(chains):
    query = max(chains, key=len)
    import dovel

    piece = dovel.Domain.from_arrays("piece", query.coordinates[: len(query) // 2], query.sequence[: len(query) // 2])
    targets = [piece] + list(chains)
    hits = dovelkit.search(query, targets, workers=1, max_hits=len(targets), level="fold")
    assert hits[0].id == query.id
    back = dovelkit.search(piece, targets, workers=1, max_hits=len(targets), level="fold")
    assert back[0].id == "piece" and back[0].e_value < next(h.e_value for h in back if h.id == query.id)


def test_command_sorts_filters_and_tells_the_prefilter(chains, tmp_path):
    db = Database.from_domains(tmp_path / "db.parquet", chains, rows_per_group=8)
    assert len(db) > 10
    query = FILES[0]
    r = dovel_cmd("search", query, db.path, "--workers", "1", "-q", "--json", "--candidates", "10")
    assert r.returncode == 0, r.stderr
    got = json.loads(r.stdout)
    assert got["prefiltered"] and got["aligned"] == 10 and got["entries"] == len(db) and got["sort"] == "evalue"
    assert [h["rank"] for h in got["hits"]] == list(range(1, len(got["hits"]) + 1))
    r = dovel_cmd("search", query, db.path, "--workers", "1", "-q", "--candidates", "10")
    assert f"prefiltered: 10 candidates aligned of {len(db)} entries" in r.stdout
    assert "cov_query" in r.stdout.splitlines()[0]
    out = tmp_path / "hits.tsv"
    r = dovel_cmd("search", query, db.path, "--workers", "1", "-q", "-o", out, "--all", "--exhaustive",
                  "--sort", "tm_target", "--min-tm", "0.3")
    assert r.returncode == 0, r.stderr
    with open(out, newline="") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    tm = [float(x["tm_target"]) for x in rows]
    assert rows and tm == sorted(tm, reverse=True) and min(tm) >= 0.3
    assert [int(x["rank"]) for x in rows] == list(range(1, len(rows) + 1))
    assert {x["aligned"] for x in rows} == {x["entries"] for x in rows} == {str(len(db))}
    assert all(0 <= float(x["coverage_query"]) <= 1 and 0 <= float(x["coverage_target"]) <= 1 for x in rows)
    for how in ("tm_max", "tm_mean"):
        r = dovel_cmd("search", query, db.path, "--workers", "1", "-q", "--json", "--sort", how, "--all")
        hits = json.loads(r.stdout)["hits"]
        key = [max(h["tm_query"], h["tm_target"]) if how == "tm_max" else (h["tm_query"] + h["tm_target"]) / 2
               for h in hits]
        assert key == sorted(key, reverse=True)
    r = dovel_cmd("search", query, db.path, "--sort", "tm_best")
    assert r.returncode != 0 and "invalid choice" in r.stderr


def test_report_names_the_best_hit_other_than_the_query_and_what_was_aligned(chains):
    from dovelkit.report.search_page import search_report

    query = chains[0]
    hits = dovelkit.search(query, chains, workers=1, max_hits=5, level="fold", details=True)
    assert hits[0].id == query.id
    summary = dict(search_report(query, hits).summary)
    assert summary["best hit"].startswith(hits[1].id + ":") and "E-value" in summary["best hit"]
    assert summary["entries aligned"] == f"{len(chains)} of {len(chains)} (every entry)"
