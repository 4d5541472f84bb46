"""dovelkit.cluster on real chains: the rule every member keeps with its representative, every
entry once, the thresholds, and the same clusters however the work is spread."""

import os

import numpy as np
import pytest

from conftest import data_path

def _chains():
    import glob

    import dovelkit

    families = data_path("families")  # skips when the shared entries are absent
    out = []
    for fam in ("cytochrome_c", "thioredoxin", "microbial_ribonuclease", "cytochrome_cprime_b562",
                "carbonic_anhydrase"):
        for path in sorted(glob.glob(os.path.join(families, fam, "*.pdb"))):
            d = dovelkit.load(path)
            d.id = f"{fam}/{d.id}"
            out.append(d)
    for name in ("1ubq.pdb", "1o1z.pdb", "3znf.pdb", "1hpv.pdb"):
        d = dovelkit.load(data_path(name))
        d.id = f"other/{d.id}"
        out.append(d)
    return out


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    from dovelkit.db.store import Database

    path = tmp_path_factory.mktemp("cluster") / "chains.parquet"
    return Database.from_domains(path, _chains(), rows_per_group=7)  # several slices


@pytest.fixture(scope="module")
def clustered(db):
    import dovelkit

    return dovelkit.cluster(db, workers=1)


def _family(id_):
    return id_.split("/", 1)[0]


def test_every_member_passes_the_rule_with_its_representative(db, clustered):
    from dovelkit import _core

    rows = clustered.rows()
    # Every entry once as a member; every representative also its own member, and first of its cluster.
    assert sorted(m for _, m in rows) == sorted(db.ids)
    reps = {r for r, _ in rows}
    assert all((r, r) in set(rows) for r in reps)
    assert clustered.n_clusters == len(reps) == len(clustered.sizes())
    ids = db.ids
    for r, m in rows:
        if r == m:
            continue
        a, b = db.entry(ids.index(m)), db.entry(ids.index(r))
        got = _core.fold_align(a.coordinates, a.sequence, b.coordinates, b.sequence)
        assert got.tm_fixed >= 0.5, (r, m)
        assert got.n_aligned >= 0.7 * len(a.coordinates) and got.n_aligned >= 0.7 * len(b.coordinates), (r, m)
    # Each family whose members TM-align puts all above 0.5 to one another (by either chain) lands in
    # one cluster; folds never mix.
    by_member = dict((m, r) for r, m in rows)
    for fam in ("cytochrome_c", "cytochrome_cprime_b562", "carbonic_anhydrase"):
        assert len({by_member[i] for i in ids if _family(i) == fam}) == 1, fam
    for r, m in rows:
        assert _family(r) == _family(m) or _family(r) == "other" and r == m


def test_groups_of_shared_words_keep_the_rule(db, clustered, monkeypatch):
    # The linear-time grouping of large databases, here forced on the small one.
    import dovelkit
    from dovelkit.db import clustering

    monkeypatch.setattr(clustering, "INDEX_MAX_ENTRIES", 0)
    grouped = dovelkit.cluster(db, workers=1)
    assert sorted(m for _, m in grouped.rows()) == sorted(db.ids)
    rule = grouped.rule
    for i, r in enumerate(grouped.representative.tolist()):
        assert (r == i) == (grouped.tm[i] == 1.0 and grouped.coverage[i] == 1.0) or grouped.tm[i] >= rule.tm
    by_member = dict((m, r) for r, m in grouped.rows())
    for fam in ("cytochrome_c", "cytochrome_cprime_b562", "carbonic_anhydrase"):
        assert len({by_member[i] for i in db.ids if _family(i) == fam}) == 1, fam
    assert grouped.n_clusters <= 1.1 * clustered.n_clusters + 1
    assert dovelkit.cluster(db, workers=2).rows() == grouped.rows()


def test_thresholds_coverage_modes_and_components(db, clustered):
    import dovelkit

    # A TM-score no two different chains reach: every entry its own cluster.
    alone = dovelkit.cluster(db, workers=1, tm=0.999)
    assert alone.n_clusters == len(db)
    # Full coverage of both chains is stricter than full coverage of the member only, which is
    # stricter than the default.
    both = dovelkit.cluster(db, workers=1, coverage=0.95, cov_mode=0)
    member = dovelkit.cluster(db, workers=1, coverage=0.95, cov_mode=1)
    assert clustered.n_clusters <= member.n_clusters <= both.n_clusters
    # Lower thresholds never make more clusters here; components never more than set cover.
    loose = dovelkit.cluster(db, workers=1, tm=0.3, coverage=0.5)
    assert loose.n_clusters <= clustered.n_clusters
    comp = dovelkit.cluster(db, workers=1, method="components")
    assert comp.n_clusters <= clustered.n_clusters
    assert sorted(m for _, m in comp.rows()) == sorted(db.ids)


def test_the_same_clusters_on_one_or_two_workers_and_on_dask(db, clustered):
    import dovelkit

    again = dovelkit.cluster(db.path, workers=1)
    assert again.rows() == clustered.rows()
    two = dovelkit.cluster(db, workers=2)
    assert two.rows() == clustered.rows()
    np.testing.assert_allclose(two.tm, clustered.tm)
    pytest.importorskip("distributed")
    from distributed import Client, LocalCluster

    with LocalCluster(host="127.0.0.1", dashboard_address=None, n_workers=2, threads_per_worker=1,
                      processes=True, silence_logs=40) as cluster, Client(cluster) as client:
        on_dask = dovelkit.cluster(db, client=client)
    assert on_dask.rows() == clustered.rows()


def test_outputs_and_mistakes(db, clustered, tmp_path):
    import dovelkit
    from dovelkit.db.store import Database

    tsv = tmp_path / "clusters.tsv"
    clustered.write_tsv(tsv)
    lines = tsv.read_text().splitlines()
    assert [tuple(line.split("\t")) for line in lines] == clustered.rows()
    reps = clustered.write_representatives(tmp_path / "reps.parquet")
    assert sorted(reps.ids) == sorted({r for r, _ in clustered.rows()})
    assert reps.has_keys
    for bad in ({"tm": 1.5}, {"coverage": -0.1}, {"cov_mode": 3}, {"method": "upgma"}, {"candidates": 0},
                {"tm": True}):
        with pytest.raises(ValueError):
            dovelkit.cluster(db, workers=1, **bad)
    one = Database.from_domains(tmp_path / "one.parquet", [db[3]])
    assert dovelkit.cluster(one, workers=1).rows() == [(db.ids[3], db.ids[3])]


def test_the_command(db, clustered, tmp_path):
    from conftest import dovel_cmd, one_line_error

    out, reps, page = tmp_path / "clusters.tsv", tmp_path / "reps.parquet", tmp_path / "report.html"
    r = dovel_cmd("cluster", db.path, "-o", out, "--representatives", reps, "--html", page, "--workers", "2")
    assert r.returncode == 0, r.stderr
    assert out.read_text() == clustered.tsv()
    assert f"{len(db)} entries in {clustered.n_clusters} clusters" in r.stderr
    assert reps.exists() and "Cluster sizes" in page.read_text()
    # Without -o the table goes to standard output; --quiet leaves standard error empty.
    r = dovel_cmd("cluster", db.path, "--workers", "1", "--quiet", "--tm", "0.999")
    assert r.returncode == 0 and r.stderr == ""
    assert len(r.stdout.splitlines()) == len(db)
    # Mistakes: one line, status 1, nothing written.
    assert "overwrite" in one_line_error(dovel_cmd("cluster", db.path, "--representatives", db.path))
    assert "between 0 and 1" in one_line_error(dovel_cmd("cluster", db.path, "--coverage", "1.5"))
    one_line_error(dovel_cmd("cluster", tmp_path / "absent.parquet", "-o", tmp_path / "none.tsv"))
    assert not (tmp_path / "none.tsv").exists()
