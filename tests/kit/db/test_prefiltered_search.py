"""The prefiltered search: keys in the database, candidates aligned exactly, statistics over the
whole database, many queries, and databases written before the keys."""

import csv
import glob
import os

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import numpy as np

import dovelkit
from dovelkit.db import statistics
from dovelkit.db.store import Database
from dovelkit.db.statistics import FOLD_LIST_E

from conftest import DATA, dovel_cmd, one_line_error

FAMILY_FILES = sorted(glob.glob(os.path.join(DATA, "families", "*", "*.pdb")))
OTHER_FILES = sorted(glob.glob(os.path.join(DATA, "*.pdb")))
ROWS = 7


@pytest.fixture(scope="module")
def chains():
    out = []
    for path in FAMILY_FILES + OTHER_FILES:
        out.extend(dovelkit.load_chains(path))
    return out


@pytest.fixture(scope="module")
def keyed(chains, tmp_path_factory):
    return Database.from_domains(tmp_path_factory.mktemp("pf") / "keyed.parquet", chains, rows_per_group=ROWS)


def keyless_copy(src, dst):
    """``src`` as a database of the format before the keys: no key column, version 1."""
    table = pq.read_table(src)
    meta = dict(table.schema.metadata)
    table = table.drop_columns(["keys"]).replace_schema_metadata({**meta, b"version": b"1"})
    pq.write_table(table, dst, row_group_size=ROWS)
    return dst


def fields(hits):
    return [(h.id, h.score, h.rmsd, h.n_aligned, h.seq_identity, h.position) for h in hits]


def test_prefiltered_search_finds_what_the_exhaustive_search_finds(keyed, chains):
    n = len(keyed)
    assert keyed.has_keys and n > 50
    for query in chains[::3]:
        full = [h for h in dovelkit.search(query, keyed, workers=1, max_hits=n, exhaustive=True, level="family") if h.score > 0]
        quick = dovelkit.search(query, keyed, workers=1, max_hits=n, candidates=10, level="family")
        positive = [h for h in quick if h.score > 0]
        assert fields(positive) == fields(full), query.id
        assert all(h.prefilter_score is not None and 0 <= h.prefilter_score <= 1 for h in quick)
        assert all(h.prefilter_score is None for h in full)
        assert len(quick) == 10  # only the candidates were aligned
    # the same on worker processes, with the default number of candidates
    query = chains[0]
    pooled = dovelkit.search(query, keyed, workers=2, max_hits=n, level="family")
    assert fields(pooled) == fields(dovelkit.search(query, keyed, workers=1, max_hits=n, level="family"))


def test_z_and_e_are_over_the_whole_database_whatever_is_listed(keyed, chains):
    query = next(d for d in chains if d.id.startswith("1hrc"))
    few = dovelkit.search(query, keyed, workers=1, max_hits=2, level="family")
    many = dovelkit.search(query, keyed, workers=1, max_hits=60, level="family")
    assert [(h.id, h.z_score, h.e_value) for h in few] == [(h.id, h.z_score, h.e_value) for h in many[:2]]
    assert few[0].id == "1hrc_A" and few[0].z_score > 2 and few[0].e_value < 1
    # zero for what aligned nothing: E is the size of the database
    assert all(h.e_value == len(keyed) for h in many if h.score == 0)
    # an exhaustive search keeps the module's Z but gives the same E
    full = dovelkit.search(query, keyed, workers=1, max_hits=2, exhaustive=True, level="family")
    assert [h.e_value for h in full] == [h.e_value for h in few]


def test_fold_z_and_e_are_over_the_whole_database_whatever_is_listed(keyed, chains, tmp_path):
    n = len(keyed)
    query = next(d for d in chains if d.id.startswith("1hrc"))
    few = dovelkit.search(query, keyed, workers=1, max_hits=2, level="fold")
    many = dovelkit.search(query, keyed, workers=1, max_hits=60, level="fold")
    assert [(h.id, h.z_score, h.e_value) for h in few] == [(h.id, h.z_score, h.e_value) for h in many[:2]]
    # the exhaustive search: Z over every target, whatever max_hits lists, and the same E
    full = dovelkit.search(query, keyed, workers=1, max_hits=n, exhaustive=True, level="fold")
    top = dovelkit.search(query, keyed, workers=1, max_hits=2, exhaustive=True, level="fold")
    assert [(h.id, h.z_score, h.e_value) for h in top] == [(h.id, h.z_score, h.e_value) for h in full[:2]]
    assert [h.e_value for h in top] == [h.e_value for h in few]
    # the self hit is far beyond chance; a hit of no relative is not
    assert few[0].id == "1hrc_A" and few[0].e_value < 1e-3 and few[0].z_score > 2
    stranger = next(h for h in full if h.id.startswith("1o1z"))  # a TIM barrel
    assert stranger.e_value > 1
    # With 10 candidates the other entries count by the null model, so Z stays near that of the
    # exhaustive search; counted as TM-score 0 they would lift a hit of chance level well above 0.
    cand = dovelkit.search(query, keyed, workers=1, max_hits=n, candidates=10, level="fold")
    assert len(cand) == 10
    scores = np.array([h.score for h in cand])
    z_full = {h.id: h.z_score for h in full}
    weak = [h for h in cand if h.score < 0.5]
    assert weak
    for h in cand:
        as_zero = statistics.z_score(h.score, n, scores.sum(), (scores ** 2).sum())
        assert abs(h.z_score - z_full[h.id]) < (0.25 * abs(as_zero - z_full[h.id]) if h in weak else 0.3)
    assert [h.e_value for h in cand[:2]] == [h.e_value for h in few]
    # E is the chance per entry times the size of the database
    half = Database.from_domains(tmp_path / "half.parquet", chains[: n // 2], rows_per_group=ROWS)
    small = dovelkit.search(query, half, workers=1, max_hits=2, level="fold")
    assert small[0].id == few[0].id
    assert small[0].e_value * n == pytest.approx(few[0].e_value * len(half), rel=1e-12)
    # search_many gives each query what search gives it
    for q, hits in dovelkit.search_many(chains[:2], keyed, workers=1, max_hits=5, level="fold"):
        one = dovelkit.search(q, keyed, workers=1, max_hits=5, level="fold")
        assert [(h.id, h.e_value) for h in hits] == [(h.id, h.e_value) for h in one]
        assert [h.z_score for h in hits] == pytest.approx([h.z_score for h in one], rel=1e-12)


def test_fold_null_model_is_a_tail_and_its_moments_match_it():
    tail = statistics.fold_null_tail
    # a chance that falls with the TM-score, from 1 at TM 0 (no float underflow to a negative)
    tms = np.linspace(0.0, 1.0, 101)
    p = [tail(t, 120, 150) for t in tms]
    assert p[0] == pytest.approx(1.0) and all(0 <= b <= a <= 1 for a, b in zip(p, p[1:])) and p[-1] > 0
    assert tail(0.5, 120, 150) > 1e-3 > tail(0.8, 120, 150)
    # a target longer than the query changes nothing; a shorter one makes the same TM_q rarer
    assert tail(0.4, 120, 150) == tail(0.4, 120, 400)
    assert tail(0.4, 120, 60) < tail(0.4, 120, 120)
    # the moments that count the entries not aligned are those of the law itself
    for lq, lt in ((120, 150), (120, 60), (30, 300)):
        grid = np.linspace(0.0, 1.5, 30001)
        density = -np.gradient([tail(t, lq, lt) for t in grid], grid)
        mean, second = statistics.fold_null_moments(lq, np.array([lt, lt]))
        assert mean / 2 == pytest.approx(np.trapezoid(grid * density, grid), rel=2e-3)
        assert second / 2 == pytest.approx(np.trapezoid(grid * grid * density, grid), rel=2e-3)


def test_old_database_searches_every_entry_until_indexed(keyed, chains, tmp_path):
    old = keyless_copy(keyed.path, tmp_path / "old.parquet")
    db = Database.open(old)
    assert not db.has_keys and len(db) == len(keyed)
    query = chains[0]
    want = dovelkit.search(query, keyed, workers=1, exhaustive=True, level="family")
    assert fields(dovelkit.search(query, db, workers=1, level="family")) == fields(want)
    with pytest.raises(ValueError, match="dovel db index"):
        db.read_keys(0)
    db.close()
    q = FAMILY_FILES[0]
    r = dovel_cmd("search", q, old, "--workers", "1", "-q")
    assert r.returncode == 0, r.stderr
    assert r.stderr.count("\n") == 1 and "no search keys" in r.stderr and f"dovel db index {old}" in r.stderr

    r = dovel_cmd("db", "index", old)
    assert r.returncode == 0 and "search keys added" in r.stderr, r.stderr
    indexed = Database.open(old)
    assert indexed.has_keys and indexed.slices == keyed.slices
    for k in range(indexed.n_slices):
        assert indexed.read_keys(k)[0].tobytes() == keyed.read_keys(k)[0].tobytes()
        assert [e.id for e in indexed.read_slice(k)] == [e.id for e in keyed.read_slice(k)]
    r = dovel_cmd("search", q, old, "--workers", "1", "-q")
    assert r.returncode == 0 and r.stderr == ""
    assert "already has" in dovel_cmd("db", "index", old).stderr


def test_damaged_key_is_refused_naming_the_entry(keyed, chains, tmp_path):
    table = pq.read_table(keyed.path)
    keys = table.column("keys").to_pylist()
    victim = 9
    keys[victim] = b"\x02\x05\x01"  # five residues claimed, one letter held
    i = table.schema.get_field_index("keys")
    table = table.set_column(i, table.schema.field(i), pa.array(keys, pa.binary()))
    bad = tmp_path / "bad.parquet"
    pq.write_table(table, bad, row_group_size=ROWS)
    name = table.column("id")[victim].as_py()
    for workers in (1, 2):
        with pytest.raises(ValueError) as info:
            dovelkit.search(chains[0], bad, workers=workers, level="family")
        text = str(info.value)
        assert str(bad) in text and repr(name) in text and f"row {victim}" in text and "search key" in text
    line = one_line_error(dovel_cmd("search", FAMILY_FILES[0], bad, "--workers", "1", "-q"))
    assert repr(name) in line and "search key" in line
    # an exhaustive search does not read the keys
    assert dovelkit.search(chains[0], bad, workers=1, exhaustive=True, level="family")


def test_many_queries_and_all_against_all(keyed, chains, tmp_path, monkeypatch):
    from dovelkit.db import stages as prefiltered

    queries = chains[:9]
    got = list(dovelkit.search_many(queries, keyed, workers=1, max_hits=20, batch=4, level="family"))
    assert [q.id for q, _ in got] == [q.id for q in queries]
    for q, hits in got:
        assert fields(hits) == fields(dovelkit.search(q, keyed, workers=1, max_hits=20, level="family"))
        assert [h.z_score for h in hits] == [h.z_score for h in dovelkit.search(q, keyed, workers=1, max_hits=20, level="family")]
    # a slice's queries split over several calls, finishing in any order on two workers: the same
    monkeypatch.setattr(prefiltered, "QUERIES_PER_CALL", 2)
    split = list(dovelkit.search_many(queries, keyed, workers=2, max_hits=20, batch=9, level="family"))
    assert [(q.id, fields(h), [x.z_score for x in h]) for q, h in split] == \
        [(q.id, fields(h), [x.z_score for x in h]) for q, h in got]
    # every entry of the database against the database, on the command line, into one table
    out = tmp_path / "all.tsv"
    r = dovel_cmd("search", keyed.path, keyed.path, "--workers", "2", "--top", "5", "-o", out, "-q")
    assert r.returncode == 0 and r.stdout == "", r.stderr
    with open(out, newline="") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    assert {x["query"] for x in rows} == set(keyed.ids)
    for i in keyed.ids:  # each chain finds itself, at the best score
        mine = [x for x in rows if x["query"] == i]
        assert float(next(x["score"] for x in mine if x["id"] == i)) == float(mine[0]["score"]), i
    assert all(float(x["score"]) > 0 for x in rows)
    # the fold level's listing threshold holds for every query of the table, and --evalue moves it
    assert all(float(x["e_value"]) < FOLD_LIST_E for x in rows)
    wide = tmp_path / "wide.tsv"
    r = dovel_cmd("search", keyed.path, keyed.path, "--workers", "2", "--top", "5", "-o", wide, "-q",
                  "--evalue", "1e9")
    assert r.returncode == 0, r.stderr
    with open(wide, newline="") as fh:
        every = list(csv.DictReader(fh, delimiter="\t"))
    assert len(every) == 5 * len(keyed) > len(rows)
    assert [x for x in every if float(x["e_value"]) < FOLD_LIST_E] == rows
    # a folder of structure files as the queries, to stdout
    r = dovel_cmd("search", os.path.join(DATA, "families", "thioredoxin"), keyed.path, "--workers", "1", "-q")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0].split("\t")[:3] == ["query", "rank", "id"]
    folder = os.path.join(DATA, "families", "thioredoxin")
    want = {d.id for f in sorted(glob.glob(os.path.join(folder, "*.pdb"))) for d in dovelkit.load_chains(f)}
    assert {line.split("\t")[0] for line in lines[1:]} == want
    # many queries go to one table: the single-query outputs are refused
    line = one_line_error(dovel_cmd("search", keyed.path, keyed.path, "--json"))
    assert "one TSV table" in line


def test_prefiltered_search_on_a_dask_cluster(keyed, chains):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(host="127.0.0.1", dashboard_address=None, n_workers=2, threads_per_worker=1,
                                  processes=True) as cluster, distributed.Client(cluster) as client:
        query = chains[3]
        got = dovelkit.search(query, keyed.path, client=client, max_hits=30, level="family")
        want = dovelkit.search(query, keyed, workers=1, max_hits=30, level="family")
        assert fields(got) == fields(want)
        assert [(h.z_score, h.e_value, h.prefilter_score) for h in got] == \
            [(h.z_score, h.e_value, h.prefilter_score) for h in want]
        many = list(dovelkit.search_many(chains[:3], keyed.path, client=client, max_hits=30, level="family"))
        assert fields(many[0][1]) == fields(dovelkit.search(chains[0], keyed, workers=1, max_hits=30, level="family"))
