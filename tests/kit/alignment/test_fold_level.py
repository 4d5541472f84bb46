"""The fold level: TM-scores of every result, and mode="fold" in align, msa, search and the commands."""

import csv
import json
import math

import numpy as np
import pytest

import dovel
import dovelkit
from dovelkit import _core
from dovelkit.db.statistics import FOLD_LIST_E
from conftest import data_path, dovel_cmd, one_line_error, random_rotation

FAM = data_path("families")
TRX3, DSB, TRX2, ERT = (f"{FAM}/thioredoxin/{n}.pdb" for n in ("3trx", "1dsb", "2trx", "1ert"))
HRC, YCC, CO6 = (f"{FAM}/cytochrome_c/{n}.pdb" for n in ("1hrc", "1ycc", "1co6"))


def moved(d, rng):
    c = d.copy()
    c.coordinates = d.coordinates @ random_rotation(rng).T + rng.uniform(-60, 60, size=3)
    return c


def chain(coords, name="c"):
    coords = np.asarray(coords, dtype=np.float64)
    return dovel.Domain.from_arrays(name, coords, "A" * len(coords))


def walk(n, rng):
    """A chain-like trace: steps of 3.8 A in random directions."""
    steps = rng.normal(size=(n, 3))
    steps *= 3.8 / np.linalg.norm(steps, axis=1, keepdims=True)
    return np.cumsum(steps, axis=0)


# ------------------------------------------------------------------ TM-score of a given alignment


def tm_term(d, d0):
    return 1.0 / (1.0 + (d / d0) ** 2)


def d0(length):
    return max(0.5, 1.24 * (length - 15) ** (1.0 / 3.0) - 1.8) if length > 21 else 0.5


def test_tm_score_of_hand_computed_alignments():
    rng = np.random.default_rng(7)
    fixed = walk(100, rng)

    # Pairs on identical positions, in another frame: every pair counts 1, normalised by each length.
    mobile = moved(chain(fixed[:80]), rng).coordinates
    pairs = np.array([(k, k) for k in range(0, 60)], dtype=np.int64)
    t = _core.tm_score(fixed, mobile, pairs)
    assert t.tm_fixed == pytest.approx(60 / 100, abs=1e-9) and t.tm_mobile == pytest.approx(60 / 80, abs=1e-9)
    assert t.rmsd == pytest.approx(0.0, abs=1e-6) and t.n_aligned == 60
    back = t.transform[:3, :3] @ mobile[:60].T + t.transform[:3, 3:4]
    np.testing.assert_allclose(back.T, fixed[:60], atol=1e-6)

    # Two pairs whose point distances differ by 1 A: the best superposition puts each pair 0.5 A
    # apart (for a distance scale well above 1 A), so TM = 2 / (1 + (0.5 / d0)^2) / L with the d0
    # of each normalising length.
    a, b = fixed[10], fixed[50]
    along = (b - a) / np.linalg.norm(b - a)
    mob = walk(80, rng) + 500.0  # far away: only the two aligned residues matter
    mob[20], mob[60] = a - 0.5 * along, b + 0.5 * along
    t = _core.tm_score(fixed, mob, np.array([(10, 20), (50, 60)], dtype=np.int64))
    assert d0(100) == pytest.approx(1.24 * 85 ** (1 / 3) - 1.8)
    assert t.tm_fixed == pytest.approx(2 * tm_term(0.5, d0(100)) / 100, abs=1e-9)
    assert t.tm_mobile == pytest.approx(2 * tm_term(0.5, d0(80)) / 80, abs=1e-9)

    # A short chain (d0 floored at 0.5 A): eight pairs in place, two 20 A off (beyond the search's
    # distance cutoff) -> (8 + 2 / (1 + 40^2)) / L.
    short = walk(10, rng)
    mob = np.vstack([short, walk(2, rng) + 300.0])
    for k, direction in ((8, (1.0, 0, 0)), (9, (0, -1.0, 0))):
        mob[k] = short[k] + 20.0 * np.array(direction)
    t = _core.tm_score(short, mob, np.array([(k, k) for k in range(10)], dtype=np.int64))
    assert t.tm_fixed == pytest.approx((8 + 2 / 1601) / 10, abs=1e-6)
    assert t.tm_mobile == pytest.approx((8 + 2 / 1601) / 12, abs=1e-6)


def test_tm_score_rejects_bad_pairs_and_scores_nothing_as_zero():
    rng = np.random.default_rng(3)
    a, b = walk(20, rng), walk(15, rng)
    empty = _core.tm_score(a, b, np.zeros((0, 2), dtype=np.int64))
    assert (empty.tm_fixed, empty.tm_mobile, empty.n_aligned) == (0.0, 0.0, 0)
    for bad in ([(0, 15)], [(20, 0)], [(-1, 0)], [(0, 1), (1, 1)], [(2**40, 0)]):
        with pytest.raises(ValueError, match="TM-score failed"):
            _core.tm_score(a, b, np.array(bad, dtype=np.int64))
    b[3] = np.nan
    with pytest.raises(ValueError):
        _core.tm_score(a, b, np.array([(3, 3)], dtype=np.int64))


def test_every_result_carries_the_tm_score_of_its_own_pairs():
    hrc, ycc = dovelkit.load(HRC), dovelkit.load(YCC)
    r = dovelkit.align(hrc, ycc, level="family")  # family level
    assert (r.level, r.method) == ("family", "scan") and r.n_aligned > 90
    t = _core.tm_score(hrc.coordinates, ycc.coordinates, r.pairs)
    assert (r.tm_fixed, r.tm_mobile) == (t.tm_fixed, t.tm_mobile) and r.tm_fixed > 0.8
    d = r.to_dict()
    assert d["tm_fixed"] == r.tm_fixed and d["tm_mobile"] == r.tm_mobile and d["fold_level"] is None

    domains = [dovelkit.load(p) for p in (HRC, YCC, CO6)]
    for mode in ("family", "fold"):
        m = dovelkit.msa(domains, level=mode)
        assert m.level == mode and len(m.tm_scores) == 3 and m.tm_scores[0] == 1.0
        for k in (1, 2):
            pairs = np.array([(c[0], c[k]) for c in m.columns if c[0] is not None and c[k] is not None])
            assert m.tm_scores[k] == _core.tm_score(domains[0].coordinates, domains[k].coordinates, pairs).tm_fixed
            assert m.tm_scores[k] > 0.8
        assert m.mean_tm == pytest.approx(np.mean(m.tm_scores[1:]))


# ------------------------------------------------------------------ pairwise fold mode


@pytest.mark.parametrize("pair", [(TRX3, DSB), (HRC, YCC), (ERT, f"{FAM}/unrelated/1stn.pdb")])
def test_fold_mode_is_symmetric(pair):
    rng = np.random.default_rng(11)
    a, b = dovelkit.load(pair[0]), moved(dovelkit.load(pair[1]), rng)
    ab, ba = dovelkit.align(a, b, level="fold"), dovelkit.align(b, a, level="fold")
    assert (ab.level, ab.method) == (ba.level, ba.method) == ("fold", None) and ab.n_aligned > 0
    np.testing.assert_array_equal(ab.pairs, ba.pairs[:, ::-1])
    assert ab.tm_fixed == pytest.approx(ba.tm_mobile, abs=1e-9)
    assert ab.tm_mobile == pytest.approx(ba.tm_fixed, abs=1e-9)
    assert ab.score == ab.tm_fixed and ab.core_pairs.all()
    # the transform is the one the distances are measured under
    moved_b = ab.transform.apply(b.coordinates)
    d = np.linalg.norm(a.coordinates[ab.pairs[:, 0]] - moved_b[ab.pairs[:, 1]], axis=1)
    np.testing.assert_allclose(ab.distances, d, atol=1e-6)
    # TM-score of the listed pairs, as tm_score computes it, is the one reported (within the
    # fold search's coarser superposition search)
    t = _core.tm_score(a.coordinates, b.coordinates, ab.pairs)
    assert t.tm_fixed >= ab.tm_fixed - 1e-9 and t.tm_fixed == pytest.approx(ab.tm_fixed, abs=0.01)


def test_fold_mode_finds_a_fold_relative_and_the_family_level_is_never_blank():
    trx, dsb = dovelkit.load(TRX3), dovelkit.load(DSB)
    fam = dovelkit.align(trx, dsb, level="family")  # the family method finds nothing for DsbA's split fold
    assert fam.n_aligned == 0 and fam.score == 0.0 and math.isinf(fam.rmsd)
    fold = dovelkit.align(trx, dsb, level="fold")
    assert fold.tm_fixed > 0.5 and fold.n_aligned > 60
    assert fam.fold_level is not None and fam.fold_level.level == "fold"
    np.testing.assert_array_equal(fam.fold_level.pairs, fold.pairs)
    assert (fam.tm_fixed, fam.tm_mobile) == (fold.tm_fixed, fold.tm_mobile)
    assert fam.to_dict()["fold_level"]["n_aligned"] == fold.n_aligned
    # the module's own numbers are untouched
    m = dovel.pairwise_align(trx, dsb, None, True)
    assert m.n_aligned == 0 and m.score == fam.score


def test_short_chains():
    rng = np.random.default_rng(5)
    long = dovelkit.load(HRC)
    for n in (1, 2, 3, 5, 12):
        c = chain(long.coordinates[20:20 + n] @ random_rotation(rng).T, f"short{n}")
        for a, b in ((c, long), (long, c), (c, c)):
            r = dovelkit.align(a, b, level="fold")
            assert 1 <= r.n_aligned <= n and 0.0 < r.tm_fixed <= 1.0 + 1e-9 and 0.0 < r.tm_mobile <= 1.0 + 1e-9
        self_r = dovelkit.align(c, c, level="fold")
        assert self_r.n_aligned == n and self_r.tm_fixed == pytest.approx(1.0)
        # the short chain scores against the long one by its own length only
        assert dovelkit.align(c, long, level="fold").tm_mobile <= n / len(long) + 1e-9
    empty = dovel.Domain.from_arrays("empty", np.zeros((0, 3)), "")
    with pytest.raises(ValueError):
        dovelkit.align(empty, long, level="fold")
    with pytest.raises(ValueError, match="level"):
        dovelkit.align(long, long, level="tm")


# ------------------------------------------------------------------ search


def test_fold_search_equals_a_loop_of_fold_alignments_ranked_by_tm():
    query = dovelkit.load(TRX3)
    targets = [dovelkit.load(p) for p in (DSB, HRC, TRX2, ERT, f"{FAM}/unrelated/1stn.pdb", YCC)]
    direct = [dovelkit.align(query, t, level="fold") for t in targets]
    order = sorted(range(len(targets)), key=lambda k: -direct[k].tm_fixed)  # stable: ties keep target order
    for workers in (1, 2):
        hits = dovelkit.search(query, targets, workers=workers, details=True, level="fold")
        assert [h.position for h in hits] == order
        for rank, (h, k) in enumerate(zip(hits, order), start=1):
            r = direct[k]
            assert h.rank == rank and h.id == targets[k].id
            assert h.score == h.tm_query == r.tm_fixed and h.tm_target == r.tm_mobile
            assert (h.n_aligned, h.rmsd, h.seq_identity) == (r.n_aligned, r.rmsd, r.seq_identity)
            np.testing.assert_array_equal(h.alignment.pairs, r.pairs)
            assert h.alignment.level == "fold" and h.alignment.tm_mobile == r.tm_mobile
        assert hits[0].z_score is not None and hits[0].z_score > 0
    top = dovelkit.search(query, targets, workers=1, max_hits=2, score_cutoff=0.5, level="fold")
    assert [h.position for h in top] == order[:2] and all(h.tm_query >= 0.5 for h in top)
    # family-level hits carry the TM-scores of their own pairs
    for h in dovelkit.search(query, targets, workers=1, details=True, level="family"):
        if h.n_aligned:
            t = _core.tm_score(query.coordinates, targets[h.position].coordinates, h.alignment.pairs)
            assert (h.tm_query, h.tm_target) == (t.tm_fixed, t.tm_mobile)
            assert h.to_dict()["tm_query"] == h.tm_query
    with pytest.raises(ValueError, match="level"):
        dovelkit.search(query, targets, workers=1, level="scan")


def test_fold_hits_survive_pickling():
    import pickle

    query = dovelkit.load(TRX3)
    hits = _core.scan_targets(query.coordinates, query.sequence, dovelkit.load(ERT).coordinates,
                              np.array([0, len(dovelkit.load(ERT))]), dovelkit.load(ERT).sequence, 4,
                              _core.Settings(), score_cutoff=0.0, max_hits=5, quick=False, scan_mode=True,
                              pairs=True, fold=True)
    (h,) = hits
    c = pickle.loads(pickle.dumps(h))
    assert (c.position, c.tm_query, c.tm_target) == (4, h.tm_query, h.tm_target) and c.tm_query > 0.8
    np.testing.assert_array_equal(c.pairs, h.pairs)


# ------------------------------------------------------------------ commands


def test_align_command_levels(tmp_path):
    p = dovel_cmd("align", TRX3, DSB, "--json")
    assert p.returncode == 0, p.stderr
    fold = json.loads(p.stdout)
    assert (fold["level"], fold["method"]) == ("fold", None) and fold["tm_fixed"] > 0.5 and fold["score"] == fold["tm_fixed"]

    p = dovel_cmd("align", HRC, YCC, "--family", "--json")
    assert p.returncode == 0, p.stderr
    fam = json.loads(p.stdout)
    m = dovel.pairwise_align(dovelkit.load(HRC), dovelkit.load(YCC), None, True)
    assert (fam["level"], fam["method"]) == ("family", "scan") and fam["score"] == m.score and fam["n_aligned"] == m.n_aligned
    assert fam["tm_fixed"] > 0.8

    p = dovel_cmd("align", HRC, YCC)
    assert p.returncode == 0 and "TM-score  0.9" in p.stdout and "(fold level" in p.stdout

    # never blank: the family level finds nothing for DsbA, the fold level's superposition is shown
    p = dovel_cmd("align", TRX3, DSB, "--family")
    assert p.returncode == 0 and "n_aligned 0 pairs" in p.stdout
    tm_line = next(x for x in p.stdout.splitlines() if x.startswith("TM-score"))
    assert float(tm_line.split()[1]) == pytest.approx(fold["tm_fixed"], abs=1e-4)
    assert f"fold      {fold['n_aligned']} pairs" in p.stdout and "best superposition found" in p.stdout
    p = dovel_cmd("align", TRX3, DSB, "--family", "--json")
    assert json.loads(p.stdout)["fold_level"]["pairs"] == fold["pairs"]
    for bad in (("--fold", "--sensitive"), ("--fold", "--method")):
        assert bad[1] in one_line_error(dovel_cmd("align", HRC, YCC, *bad, *(["direct"] if bad[1] == "--method" else [])))
    assert "--fold" in one_line_error(dovel_cmd("align", HRC, YCC, "--fold", "--family"))


def test_search_and_msa_commands_levels(tmp_path):
    files = [DSB, HRC, TRX2, ERT]
    out = tmp_path / "fold.tsv"
    p = dovel_cmd("search", TRX3, *files, "--workers", "1", "-o", out)
    assert p.returncode == 0, p.stderr
    with open(out, newline="") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    chains = [d for f in files for d in dovelkit.load_chains(f)]
    want = dovelkit.search(dovelkit.load(TRX3), chains, workers=1, level="fold")
    # Listed by default: the hits of E below the threshold, with the search's own figures.
    assert [(x["id"], float(x["score"]), float(x["tm_query"]), float(x["tm_target"]), float(x["e_value"]))
            for x in rows] == [(h.id, h.score, h.tm_query, h.tm_target, h.e_value) for h in want
                               if h.e_value < FOLD_LIST_E]
    # DsbA: found at the fold level, after the thioredoxins; the cytochrome only with --all
    assert [x["id"][:4] for x in rows] == ["1ert", "2trx", "2trx", "1dsb", "1dsb"]
    p = dovel_cmd("search", TRX3, *files, "--workers", "1", "--all", "--json")
    assert p.returncode == 0, p.stderr
    every = json.loads(p.stdout)["hits"]
    assert [x["id"][:4] for x in every] == ["1ert", "2trx", "2trx", "1dsb", "1dsb", "1hrc"]
    assert every[-1]["e_value"] >= FOLD_LIST_E and every[-1]["rank"] == 6
    # --evalue moves the fold level's listing threshold: above the cytochrome's E it is listed too,
    # with the figures --all gives it; below the thioredoxins' only they remain.
    wide = every[-1]["e_value"] * 1.01
    p = dovel_cmd("search", TRX3, *files, "--workers", "1", "--evalue", f"{wide!r}", "--json")
    assert p.returncode == 0, p.stderr
    assert json.loads(p.stdout)["hits"] == every
    narrow = max(x["e_value"] for x in every[:3]) * 1.01
    p = dovel_cmd("search", TRX3, *files, "--workers", "1", "--evalue", f"{narrow!r}", "--json")
    assert p.returncode == 0, p.stderr
    assert json.loads(p.stdout)["hits"] == [x for x in every if x["e_value"] < narrow]
    assert "--evalue" in one_line_error(dovel_cmd("search", TRX3, *files, "--family", "--evalue", "1"))
    assert "--evalue" in one_line_error(dovel_cmd("search", TRX3, *files, "--evalue", "0"))

    p = dovel_cmd("search", TRX3, *files, "--workers", "1", "--family", "--json", "--all")
    assert p.returncode == 0, p.stderr
    hits = json.loads(p.stdout)["hits"]
    ref = dovel.scan_database(dovelkit.load(TRX3), chains, None, 0.0, 100, False, True)
    assert [(h["id"], h["score"]) for h in hits] == [(r.target_id, r.score) for r in ref]
    assert all("tm_query" in h and "tm_target" in h for h in hits)
    assert "--method" in one_line_error(dovel_cmd("search", TRX3, *files, "--fold", "--method", "quick"))

    p = dovel_cmd("msa", HRC, YCC, CO6, "-o", tmp_path / "o")
    assert p.returncode == 0, p.stderr
    assert "TM-score" in p.stdout.splitlines()[0] and "(fold level)" in p.stdout
    p = dovel_cmd("msa", HRC, YCC, CO6, "-o", tmp_path / "o2", "--family")
    assert p.returncode == 0 and "(family level)" in p.stdout


def test_fold_search_of_a_database_is_the_same_everywhere(tmp_path):
    """In process, on worker processes and on a Dask cluster, slice by slice: the same ranking as
    one scan of every target."""
    from distributed import Client, LocalCluster

    query = dovelkit.load(TRX3)
    targets = [d for f in (DSB, HRC, TRX2, ERT, YCC, CO6, f"{FAM}/unrelated/1stn.pdb")
               for d in dovelkit.load_chains(f)]
    db = dovelkit.Database.from_domains(tmp_path / "t.parquet", targets, rows_per_group=3)
    assert len(db.slices) > 2
    coords = np.concatenate([d.coordinates for d in targets])
    offsets = np.cumsum([0] + [len(d) for d in targets])
    sequences = "".join(d.sequence for d in targets)
    whole = _core.scan_targets(query.coordinates, query.sequence, coords, offsets, sequences, 0, _core.Settings(),
                               score_cutoff=0.0, max_hits=6, quick=False, scan_mode=True, fold=True)
    want = [(h.position, h.score, h.tm_target) for h in whole]
    # Z and E are taken over every target, so they are those of a search listing all of them.
    every = dovelkit.search(query, targets, max_hits=len(targets), workers=1, level="fold")
    stats = {h.position: (h.z_score, h.e_value) for h in every}

    def got(hits):
        assert all(stats[h.position] == pytest.approx((h.z_score, h.e_value), rel=1e-12) for h in hits)
        return [(h.position, h.score, h.tm_target) for h in hits]

    assert got(dovelkit.search(query, db, max_hits=6, workers=1, exhaustive=True, level="fold")) == want
    assert got(dovelkit.search(query, db, max_hits=6, workers=2, exhaustive=True, level="fold")) == want
    with LocalCluster(host="127.0.0.1", dashboard_address=None, n_workers=2, threads_per_worker=1,
                      processes=True, silence_logs=40) as cluster, Client(cluster) as client:
        assert got(dovelkit.search(query, db.path, max_hits=6, client=client, exhaustive=True, level="fold")) == want
        # The prefiltered search (the database has keys) aligns the same targets here, so finds the
        # same hits with the same scores, Z-scores and E-values.
        pre = dovelkit.search(query, db.path, max_hits=6, client=client, level="fold")
        assert got(pre) == want
        assert all(h.prefilter_score is not None for h in pre)
    pre = dovelkit.search(query, db, max_hits=6, workers=2, candidates=3, level="fold")
    assert [(h.position, h.score) for h in pre] == [w[:2] for w in want][:len(pre)] and len(pre) >= 1


def test_fold_prefilter_finds_chains_inside_longer_ones(tmp_path):
    """At the fold level a chain is sought inside a longer one and back, whatever their lengths:
    with a handful of candidates the prefiltered search finds beta-2-microglobulin (99 residues)
    from the heavy chain of the same entry (275, its last domain of the same Ig fold) and the
    heavy chain from it, E well below 1 both ways, where the scan's length window (a target of
    at least half the query's length, read up to 1.3 times it) sees nothing or chance words."""
    heavy, b2m = dovelkit.load_chains(data_path("mmcif", "1BD2.cif.gz"))[:2]
    others = [d for f in (HRC, YCC, CO6, TRX3, DSB, f"{FAM}/unrelated/1stn.pdb", f"{FAM}/unrelated/1eh6.pdb",
                          data_path("1ubq.pdb"), data_path("1o1z.pdb"), data_path("mmcif", "4ZHL.cif"))
              for d in dovelkit.load_chains(f)]
    db = dovelkit.Database.from_domains(tmp_path / "d.parquet", others + [heavy, b2m], rows_per_group=4)
    keys = [db.read_keys(k) for k in range(db.n_slices)]
    for query, target in ((heavy, b2m), (b2m, heavy)):
        whole = {h.id: h for h in dovelkit.search(query, db, workers=1, exhaustive=True, level="fold")}
        assert whole[target.id].e_value < 0.1
        pre = dovelkit.search(query, db, workers=1, candidates=3, level="fold")
        found = [h for h in pre if h.id == target.id]
        assert found and (found[0].score, found[0].e_value) == (whole[target.id].score, whole[target.id].e_value)
        at = db.ids.index(target.id)
        scan = np.concatenate([_core.prefilter_scores([query.coordinates], *k)[0] for k in keys])
        fold = np.concatenate([_core.prefilter_scores([query.coordinates], *k, fold=True)[0] for k in keys])
        fold[db.ids.index(query.id)] = 0  # itself
        assert scan[at] < 0.5 * fold[at] and fold[at] == fold.max()
