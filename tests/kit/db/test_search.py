"""dovelkit.Database and dovelkit.search: the database keeps every chain exactly, and a search --
in this process, on worker processes or on a Dask cluster -- returns what dovel.scan_database
returns for the same targets in one list."""

import glob
import gzip
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import dovel
import dovelkit
from dovelkit.db.store import Database

from conftest import DATA, random_rotation

from conftest import ROOT


def bundled_files():
    top = sorted(glob.glob(os.path.join(DATA, "*.pdb")))
    families = sorted(glob.glob(os.path.join(DATA, "families", "*", "*.pdb")))
    return top + families


@pytest.fixture(scope="module")
def chains():
    out = []
    for path in bundled_files():
        out.extend(dovelkit.load_chains(path))
    return out


@pytest.fixture(scope="module")
def targets(chains):
    """The bundled chains, moved and trimmed copies, and exact copies far apart (score ties)."""
    rng = np.random.default_rng(7)
    out = list(chains)
    for k in range(2):
        for d in chains:
            c = d.coordinates @ random_rotation(rng).T + rng.normal(scale=15.0, size=3)
            c = c + rng.normal(scale=0.05, size=c.shape)
            lo, hi = int(rng.integers(0, 4)), len(d) - int(rng.integers(0, 4))
            out.append(dovel.Domain.from_arrays(f"{d.id}_m{k}", np.ascontiguousarray(c[lo:hi]), d.sequence[lo:hi],
                                                d.chain))
    for d in chains[::9]:
        twin = d.copy()
        twin.id = d.id + "_twin"
        out.append(twin)
    return out


@pytest.fixture(scope="module")
def db(targets, tmp_path_factory):
    path = tmp_path_factory.mktemp("db") / "targets.parquet"
    return Database.from_domains(path, targets, rows_per_group=16)


@pytest.fixture(scope="module")
def query(chains):
    return next(d for d in chains if d.id.startswith("1hrc"))


def bits(x):
    return None if x is None else float(x).hex()


def check_same(hits, ref):
    """Every field of every hit, bit for bit; a hit with nothing aligned has RMSD +inf whatever
    placeholder the module reports."""
    got = [(h.rank, h.id, bits(h.score), bits(h.rmsd), h.n_aligned, bits(h.seq_identity), bits(h.z_score))
           for h in hits]
    want = [(r.rank, r.target_id, bits(r.score), bits(r.rmsd if r.n_aligned else float("inf")), r.n_aligned,
             bits(r.seq_identity), bits(r.z_score)) for r in ref]
    assert got == want


def has_ties(ref):
    scores = [r.score for r in ref]
    return len(set(scores)) < len(scores)


# ---- the database


def test_create_from_files_keeps_every_chain(tmp_path):
    src = tmp_path / "in"
    (src / "sub").mkdir(parents=True)
    shutil.copy(os.path.join(DATA, "1k6p.pdb"), src / "1k6p.pdb")  # two chains
    shutil.copy(os.path.join(DATA, "1ubq.pdb"), src / "sub" / "x.pdb")
    with open(os.path.join(DATA, "2beg.pdb"), "rb") as fh, gzip.open(src / "sub" / "2beg.ent.gz", "wb") as out:
        out.write(fh.read())
    (src / "sub" / "broken.cif").write_text("data_x\nloop_\n_atom_site.id\n")  # no atoms
    (src / "sub" / "notes.txt").write_text("not a structure, and not picked from a directory")
    explicit = tmp_path / "ubiquitin.model"  # named on the command line: read whatever its name
    shutil.copy(os.path.join(DATA, "1d3z.pdb"), explicit)

    db = Database.create(tmp_path / "db.parquet", [src, explicit], workers=1, rows_per_group=3)
    expected = []
    for path in [src / "1k6p.pdb", src / "sub" / "2beg.ent.gz", src / "sub" / "x.pdb", explicit]:
        expected.extend((str(path), d) for d in dovelkit.load_chains(path))
    assert len(db) == len(expected) == 9
    assert db.ids == [d.id for _, d in expected]
    assert [len(s) for s in db.slices] == [3, 3, 3]
    assert db.summary.files_read == 4 and db.summary.entries == 9
    assert [p for p, _ in db.summary.skipped] == [str(src / "sub" / "broken.cif")]
    assert db.summary.skipped[0][1]
    for i, (path, d) in enumerate(expected):
        e = db.entry(i)
        assert (e.source, e.sequence, e.secondary_structure) == (path, d.sequence, d.secondary_structure)
        assert np.array_equal(e.coordinates, d.coordinates)
        got = db[i]
        assert (got.id, got.chain, got.sequence) == (d.id, d.chain, d.sequence)
        assert np.array_equal(got.coordinates, d.coordinates)
    assert db.entry(1).chain == "B" and db.entry(-1).id == "ubiquitin.model_A"
    assert db.get("2beg_C").sequence == expected[4][1].sequence
    assert db.get("nope") is None
    assert [d.id for d in db] == db.ids
    with pytest.raises(IndexError):
        db[9]
    mask = os.umask(0o022)
    os.umask(mask)
    assert os.stat(tmp_path / "db.parquet").st_mode & 0o777 == 0o666 & ~mask  # not left private
    reopened = Database.open(tmp_path / "db.parquet")
    assert reopened.position("x_A") == 7 and len(reopened) == 9

    # Reading on two processes gives the same database.
    db2 = Database.create(tmp_path / "db2.parquet", [src, explicit], workers=2, rows_per_group=3)
    assert db2.ids == db.ids
    assert all(np.array_equal(db2.entry(i).coordinates, db.entry(i).coordinates) for i in range(len(db)))


def test_coordinates_come_back_bit_for_bit(tmp_path):
    """Three-decimal coordinates are stored compactly, any others as they are: all read back exact."""
    rng = np.random.default_rng(11)
    domains = [
        dovel.Domain.from_arrays("pdb_like", np.round(rng.normal(scale=40, size=(30, 3)), 3), "A" * 30),
        dovel.Domain.from_arrays("any", rng.normal(size=(7, 3)), "G" * 7),
        dovel.Domain.from_arrays("odd", np.array([[-0.0, 1.0, 2.5], [99999.99999999, -99999.999, 0.001],
                                                  [5e-324, -1e-300, 1.0]]), "ACD"),
        dovel.Domain("empty"),
    ]
    db = Database.from_domains(tmp_path / "x.parquet", domains)
    for i, d in enumerate(domains):
        got = db[i].coordinates
        assert got.shape == d.coordinates.shape
        assert np.array_equal(got.view(np.int64), d.coordinates.view(np.int64))
    # beyond the coordinate bound, or not finite: refused by the writer, naming the entry
    for bad in (1e12, -3e9, 1e5, np.nan, np.inf):
        far = dovel.Domain.from_arrays("far", np.array([[0.0, 1.0, 2.5], [bad, 0.0, 0.0]]), "AC")
        with pytest.raises(ValueError, match="entry 'far'.*(out of range|not a finite number)"):
            Database.from_domains(tmp_path / "far.parquet", [domains[0], far])
        assert not (tmp_path / "far.parquet").exists()


def test_duplicate_ids_stop_creation_unless_renamed(tmp_path):
    for d in ("a", "b"):
        os.makedirs(tmp_path / d)
        shutil.copy(os.path.join(DATA, "1ubq.pdb"), tmp_path / d / "1ubq.pdb")
    shutil.copy(os.path.join(DATA, "1sp1.pdb"), tmp_path / "a" / "1sp1.pdb")
    target = tmp_path / "db.parquet"
    target.write_bytes(b"an older file that must survive")
    with pytest.raises(ValueError, match=r"1ubq_A.*a/1ubq\.pdb.*b/1ubq\.pdb"):
        Database.create(target, [tmp_path / "a", tmp_path / "b"], workers=1)
    assert target.read_bytes() == b"an older file that must survive"
    assert sorted(os.listdir(tmp_path)) == ["a", "b", "db.parquet"]  # no temporary file left

    db = Database.create(target, [tmp_path / "a", tmp_path / "b"], workers=1, rename_duplicates=True)
    assert db.ids == ["1sp1_A", "1ubq_A", "1ubq_A~2"]
    assert db.summary.renamed == [("1ubq_A", "1ubq_A~2")]
    assert db.entry(2).source == str(tmp_path / "b" / "1ubq.pdb")


def test_open_refuses_what_is_not_a_database(tmp_path):
    import pyarrow as pa
    import pyarrow.parquet as pq

    with pytest.raises(FileNotFoundError):
        Database.open(tmp_path / "missing.parquet")
    (tmp_path / "text.parquet").write_text("hello")
    with pytest.raises(ValueError, match="not a structure database"):
        Database.open(tmp_path / "text.parquet")
    pq.write_table(pa.table({"id": ["a"]}), tmp_path / "other.parquet")
    with pytest.raises(ValueError, match="not a structure database"):
        Database.open(tmp_path / "other.parquet")
    with pytest.raises(ValueError, match="no protein chain"):
        Database.create(tmp_path / "empty.parquet", [os.path.join(DATA, "1k6p.dssp")], workers=1)
    assert not os.path.exists(tmp_path / "empty.parquet")


# ---- search equals the module's scan


def test_search_in_process_equals_scan_database(query, targets, db):
    params = dovel.Parameters()
    params.gap_open = 2.5
    params.max_iter = 20
    cases = [
        dict(),  # scan mode, every target a hit
        dict(score_cutoff=0.5, max_hits=7),
        dict(max_hits=1),
        dict(params=params, scan_mode=False, max_hits=40),  # full mode
        dict(scan_mode=False, quick=True, score_cutoff=-5.0, max_hits=60),
        dict(score_cutoff=1e9),
    ]
    for k, kwargs in enumerate(cases):
        ref = dovel.scan_database(query, targets, **kwargs)
        kit = dict(kwargs, level="family")  # the module's flags as the kit's method
        quick, scan_mode = kit.pop("quick", False), kit.pop("scan_mode", True)
        kit["method"] = "scan" if scan_mode else "quick" if quick else "direct"
        check_same(dovelkit.search(query, (db, targets, db.path)[k % 3], workers=1, exhaustive=True, **kit), ref)
    ref = dovel.scan_database(query, targets, max_hits=len(targets))
    assert has_ties(ref)  # exact copies in different slices: ties broken by position
    hits = dovelkit.search(query, db, workers=1, exhaustive=True, max_hits=len(targets), level="family")
    check_same(hits, ref)
    one_slice = Database.from_domains(os.path.join(os.path.dirname(db.path), "one.parquet"), targets,
                                      rows_per_group=1000)
    assert one_slice.n_slices == 1
    check_same(dovelkit.search(query, one_slice, workers=1, exhaustive=True, max_hits=len(targets), level="family"), ref)
    assert all(h.position == db.ids.index(h.id) for h in hits)
    assert all(targets[h.position].id == h.id for h in hits)
    assert dovelkit.search(query, [], workers=1, exhaustive=True, level="family") == []
    assert dovelkit.search(query, db, max_hits=0, workers=1, exhaustive=True, level="family") == []


def check_hit_alignment(query, target, h):
    """A hit and its own alignment agree field by field, and the alignment's numbers follow from
    its pairs and transform."""
    a = h.alignment
    assert a.fixed is query and a.mobile.id == h.id
    assert np.array_equal(a.mobile.coordinates, target.coordinates)
    assert (a.n_aligned, a.score, a.seq_identity) == (h.n_aligned, h.score, h.seq_identity)
    assert bits(a.rmsd) == bits(h.rmsd) and len(a.pairs) == h.n_aligned
    if h.n_aligned >= 3:
        moved = a.transform.apply(target.coordinates)
        d = np.linalg.norm(query.coordinates[a.pairs[:, 0]] - moved[a.pairs[:, 1]], axis=1)
        np.testing.assert_allclose(a.distances, d, atol=1e-9)
        assert a.rmsd == pytest.approx(float(np.sqrt(np.mean(d ** 2))), abs=1e-9)
        same = sum(query.sequence[i] == target.sequence[j] for i, j in a.pairs[a.core_pairs].tolist())
        assert a.seq_identity == pytest.approx(same / max(1, int(a.core_pairs.sum())), abs=1e-12)
    d = h.to_dict()
    assert d["alignment"]["n_aligned"] == d["n_aligned"] and d["alignment"]["rmsd"] == d["rmsd"]


@pytest.mark.parametrize("mode", [dict(level="family"), dict(method="direct"), dict(method="quick")])
def test_details_carry_the_alignment_of_each_hit(query, targets, db, mode):
    for tg in (db, targets):
        hits = dovelkit.search(query, tg, max_hits=12, workers=1, exhaustive=True, details=True, **mode)
        plain = dovelkit.search(query, tg, max_hits=12, workers=1, exhaustive=True, **mode)
        assert [(h.id, h.score) for h in hits] == [(h.id, h.score) for h in plain] and len(hits) == 12
        for h in hits:
            check_hit_alignment(query, targets[h.position], h)
    assert all(h.alignment is None for h in plain)
    # the alignments travel from worker processes whole
    pooled = dovelkit.search(query, db, max_hits=12, workers=2, exhaustive=True, details=True, **mode)
    assert [h.alignment.pairs.tolist() for h in pooled] == [h.alignment.pairs.tolist() for h in hits]


def test_progress_shows_done_total_and_rate(query, targets, capsys):
    dovelkit.search(query, targets[:50], workers=1, exhaustive=True, progress=True, level="family")
    err = capsys.readouterr().err
    assert "50/50" in err and "target/s" in err and "searching" in err
    dovelkit.search(query, targets[:5], workers=1, exhaustive=True, level="family")
    assert capsys.readouterr().err == ""


def test_search_checks_arguments_like_the_module(query, targets, db):
    with pytest.raises(TypeError, match="max_hits"):
        dovelkit.search(query, db, max_hits="10", workers=1, exhaustive=True, level="family")
    with pytest.raises(OverflowError):
        dovelkit.search(query, db, max_hits=-1, workers=1, exhaustive=True, level="family")
    with pytest.raises(TypeError, match="query"):
        dovelkit.search("1abc", db, workers=1, exhaustive=True, level="family")
    with pytest.raises(TypeError, match=r"targets\[1\]"):
        dovelkit.search(query, [targets[0], "x"], workers=1, exhaustive=True, level="family")
    with pytest.raises(ValueError, match="workers"):
        dovelkit.search(query, db, workers=0, level="family")


def test_search_on_two_processes_equals_scan_database(query, targets, db):
    ref = dovel.scan_database(query, targets, max_hits=len(targets))
    check_same(dovelkit.search(query, db, workers=2, exhaustive=True, max_hits=len(targets), level="family"), ref)
    ref = dovel.scan_database(query, targets, None, 0.2, 25, False, False)
    check_same(dovelkit.search(query, targets, None, 0.2, 25, workers=2, exhaustive=True, level="family", method="direct"), ref)


@pytest.fixture(scope="module")
def cluster():
    from distributed import Client, LocalCluster

    cluster = LocalCluster(host="127.0.0.1", dashboard_address=None, n_workers=2, threads_per_worker=1,
                           processes=True, silence_logs=40)
    client = Client(cluster)
    yield cluster, client
    client.close()
    cluster.close()


def test_search_on_a_dask_cluster_equals_scan_database(query, targets, db, cluster):
    client = cluster[1]
    ref = dovel.scan_database(query, targets, max_hits=len(targets))
    check_same(dovelkit.search(query, db.path, client=client, exhaustive=True, max_hits=len(targets), level="family"), ref)
    ref = dovel.scan_database(query, targets, None, -1.0, 30, True, False)
    check_same(dovelkit.search(query, targets, None, -1.0, 30, client=client, exhaustive=True, level="family", method="quick"), ref)


def slow_align_part(*args):
    import importlib

    time.sleep(0.25)
    return importlib.import_module("dovelkit.db.stages").align_part(*args)


def test_a_worker_killed_mid_search_changes_nothing(query, targets, db, cluster, monkeypatch):
    import cloudpickle

    s = sys.modules["dovelkit.db.engine"]

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    ref = dovel.scan_database(query, targets, max_hits=50)
    cluster, client = cluster
    try:
        monkeypatch.setattr(s, "align_part", slow_align_part)
        out = {}
        th = threading.Thread(target=lambda: out.setdefault("hits", dovelkit.search(query, db, client=client,
                                                                                     max_hits=50, exhaustive=True, level="family")))
        th.start()

        def finished():
            return client.run_on_scheduler(
                lambda dask_scheduler: sum(ts.state == "memory" for ts in dask_scheduler.tasks.values()))

        deadline = time.monotonic() + 60
        while finished() < 4 and time.monotonic() < deadline:
            time.sleep(0.02)
        victim = next(iter(cluster.workers.values())).process.pid
        os.kill(victim, signal.SIGKILL)
        assert th.is_alive()  # killed in mid-search: most slices still to go
        th.join(120)
        assert not th.is_alive()
        check_same(out["hits"], ref)
    finally:
        monkeypatch.undo()
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])


INTERRUPTED = textwrap.dedent("""
    import os, sys, time
    import dovelkit
    import dovelkit.db.engine  # the package imports its modules on first use
    s = sys.modules["dovelkit.db.engine"]

    real = s.align_part

    def slow(*args):
        time.sleep(0.5)
        return real(*args)

    if __name__ == "__main__":
        s.align_part = slow
        db = dovelkit.Database.open(sys.argv[1])
        print("start", flush=True)
        try:
            dovelkit.search(dovelkit.load(sys.argv[2]), db, workers=2, exhaustive=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
            sys.exit(130)
""")


def test_ctrl_c_stops_a_search_and_its_workers(db, tmp_path):
    psutil = pytest.importorskip("psutil")
    script = tmp_path / "interrupted.py"
    script.write_text(INTERRUPTED)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    proc = subprocess.Popen([sys.executable, str(script), db.path, os.path.join(DATA, "1ubq.pdb")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                            start_new_session=True)
    try:
        assert proc.stdout.readline().strip() == "start"
        parent = psutil.Process(proc.pid)
        deadline = time.monotonic() + 30
        children = []
        while len(children) < 2 and time.monotonic() < deadline:
            children = [c for c in parent.children(recursive=True) if "resource_tracker" not in " ".join(c.cmdline())]
            time.sleep(0.05)
        assert len(children) >= 2
        time.sleep(1.0)
        started = time.monotonic()
        os.killpg(proc.pid, signal.SIGINT)  # what a terminal does on Ctrl-C
        out, err = proc.communicate(timeout=20)
        assert time.monotonic() - started < 10
        assert proc.returncode == 130, err
        assert out.strip() == "interrupted"
        time.sleep(0.2)
        alive = [c.pid for c in children if c.is_running() and c.status() != psutil.STATUS_ZOMBIE]
        assert alive == []
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_pool_tasks_cover_every_position_once(db):
    """The process pool cuts slices into parts for balance: together they cover each target once."""
    from dovelkit.db.engine import _parts_per_slice
    from dovelkit.db.stages import every_target

    for parts in (1, 3, _parts_per_slice(len(db.slices), 2)):
        covered = [i for rng, part in every_target(db, db.slices, db, parts) for i in rng]
        assert covered == list(range(len(db)))
        assert all(part[0] == "db" and part[4] - part[3] == len(rng) and list(rng) == list(range(part[3], part[4]))
                   for rng, part in every_target(db, db.slices, db, parts))
    assert _parts_per_slice(len(db.slices), 2) > 1
