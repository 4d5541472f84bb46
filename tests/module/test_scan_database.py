import inspect
import math

import numpy as np
import pytest

import dovel
from conftest import interrupt_child, load_entry, moved_copy


def renamed(domain, new_id, coords=None):
    c = domain.copy()
    c.id = new_id
    if coords is not None:
        c.coordinates = coords
    return c


def fields(hit):
    return (hit.target_id, hit.rank, hit.score, hit.rmsd, hit.n_aligned, hit.seq_identity, hit.z_score, hit.e_value)


@pytest.fixture(scope="module")
def ubq():
    return load_entry("1ubq.pdb")


# ---------------------------------------------------------------------------
# Surface: signature, docstrings, the ScanHit class


def test_signature_and_docstring():
    sig = inspect.signature(dovel.scan_database)
    assert str(sig) == "(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False, scan_mode=True)"
    assert dovel.scan_database.__doc__ == (
        "Scans a query structure against a database.\n\nArgs:\n    query: Query domain.\n"
        "    targets: List of target domains.\n    params: Optional alignment parameters.\n"
        "    score_cutoff: Minimum score for reporting hits (default 0.0).\n"
        "    max_hits: Maximum number of hits to return (default 100).\n"
        "    quick: Use quick alignment mode (default False).\n"
        "    scan_mode: Use sliding window scan for structures in different coordinate frames (default True).\n\n"
        "Returns:\n    List of ScanHit objects sorted by score."
    )
    # Module order, among the names that exist so far.
    order = ["Domain", "Parameters", "Transform", "AlignmentResult", "MultipleAlignmentResult", "ScanHit",
             "pairwise_align", "multiple_align", "align_pdbs", "scan_database", "compute_rmsd"]
    assert [n for n in dovel.__all__ if n in order] == [n for n in order if n in dovel.__all__]
    assert "ScanHit" in dovel.__all__ and "scan_database" in dovel.__all__


def test_scan_hit_class_is_read_only_and_not_constructible(ubq):
    cls = dovel.ScanHit
    assert cls.__doc__ == "Result of a database scan hit."
    assert cls.__module__ == "builtins" and cls.__qualname__ == "ScanHit"
    with pytest.raises(TypeError):
        cls()
    docs = {
        "target_id": "Target domain identifier.",
        "rank": "Rank in hit list.",
        "score": "TORVA score.",
        "rmsd": "RMSD after superposition.",
        "n_aligned": "Number of aligned positions.",
        "seq_identity": "Sequence identity.",
        "z_score": "Z-score (if computed).",
        "e_value": "E-value (if computed).",
    }
    for name, doc in docs.items():
        assert getattr(cls, name).__doc__ == doc

    (hit,) = dovel.scan_database(ubq, [renamed(ubq, "self")], scan_mode=False)
    for name in docs:
        with pytest.raises(AttributeError):
            setattr(hit, name, getattr(hit, name))
        with pytest.raises(AttributeError):
            delattr(hit, name)
    assert type(hit.target_id) is str and type(hit.rank) is int and type(hit.n_aligned) is int
    assert type(hit.score) is float and type(hit.rmsd) is float and type(hit.seq_identity) is float


# ---------------------------------------------------------------------------
# Arguments are all checked before any alignment runs


def test_bad_arguments_are_refused(ubq):
    with pytest.raises(TypeError, match="argument 'targets'"):
        dovel.scan_database(ubq, "1ubq")
    with pytest.raises(TypeError, match="argument 'targets'"):
        dovel.scan_database(ubq, 5)
    with pytest.raises(TypeError) as e:
        dovel.scan_database(ubq, [ubq, 5])
    assert str(e.value) == "argument 'targets': 'int' object cannot be cast as 'Domain'"
    with pytest.raises(TypeError, match="argument 'query'"):
        dovel.scan_database(ubq.coordinates, [ubq])
    with pytest.raises(TypeError, match="argument 'params'"):
        dovel.scan_database(ubq, [ubq], params=1)
    with pytest.raises(TypeError, match="argument 'score_cutoff'"):
        dovel.scan_database(ubq, [ubq], score_cutoff="high")
    with pytest.raises(OverflowError):
        dovel.scan_database(ubq, [ubq], max_hits=-1)
    with pytest.raises(TypeError, match="argument 'max_hits'"):
        dovel.scan_database(ubq, [ubq], max_hits=2.0)
    with pytest.raises(TypeError, match="argument 'quick'"):
        dovel.scan_database(ubq, [ubq], quick=1)
    with pytest.raises(TypeError, match="argument 'scan_mode'"):
        dovel.scan_database(ubq, [ubq], scan_mode=None)
    with pytest.raises(TypeError, match="missing"):
        dovel.scan_database(ubq)
    with pytest.raises(TypeError, match="unexpected"):
        dovel.scan_database(ubq, [ubq], cutoff=1.0)


def test_accepted_argument_forms(ubq):
    assert dovel.scan_database(ubq, []) == []
    assert dovel.scan_database(ubq, ()) == []
    t = renamed(ubq, "t")
    by_keyword = dovel.scan_database(
        query=ubq, targets=(t,), params=dovel.Parameters(), score_cutoff=0, max_hits=True,
        quick=np.bool_(True), scan_mode=np.bool_(False),
    )
    by_position = dovel.scan_database(ubq, [t], None, 0.0, 1, True, False)
    assert [fields(h) for h in by_keyword] == [fields(h) for h in by_position]


def test_arguments_are_not_changed(ubq, rng):
    target = moved_copy(ubq, rng, "m")[0]
    before = (ubq.coordinates, target.coordinates)
    dovel.scan_database(ubq, [target])
    assert np.array_equal(ubq.coordinates, before[0])
    assert np.array_equal(target.coordinates, before[1])
    assert target.id == "m"


# ---------------------------------------------------------------------------
# The three per-target modes


def test_modes_on_identical_and_moved_copies(ubq, rng):
    n = len(ubq)
    same = renamed(ubq, "same")
    far = moved_copy(ubq, rng, "far")[0]

    # Coordinates as given: the untouched copy aligns perfectly, the moved one
    # not at all (no superposition search).
    for quick in (False, True):
        hits = dovel.scan_database(ubq, [far, same], quick=quick, scan_mode=False)
        assert [h.target_id for h in hits] == ["same", "far"]
        top, low = hits
        assert top.score == pytest.approx(1.25)
        assert top.rmsd == pytest.approx(0.0, abs=1e-6)
        assert top.n_aligned == n
        assert top.seq_identity == 1.0
        assert (low.score, low.rmsd, low.n_aligned, low.seq_identity) == (0.0, 100.0, 0, 0.0)

    # The window search finds the moved copy.
    hits = dovel.scan_database(ubq, [far, same])
    assert {h.target_id for h in hits} == {"same", "far"}
    for h in hits:
        assert h.score > 1.2
        assert h.rmsd < 0.01
        assert h.n_aligned >= n - 2
        assert h.seq_identity == pytest.approx(1.0)


def test_scan_mode_ignores_quick(ubq, rng):
    targets = [moved_copy(ubq, rng, "far")[0], load_entry("1d3z.pdb"), load_entry("1sp1.pdb")]
    plain = dovel.scan_database(ubq, targets)
    with_quick = dovel.scan_database(ubq, targets, quick=True)
    assert [fields(h) for h in plain] == [fields(h) for h in with_quick]


def test_quick_is_one_step_and_full_refines(ubq):
    # A small rigid turn about the centroid: one step on the given coordinates
    # scores lower than the refined alignment, which recovers the exact fit.
    c = ubq.coordinates
    centre = c.mean(axis=0)
    a = math.radians(6.0)
    rot = np.array([[math.cos(a), -math.sin(a), 0.0], [math.sin(a), math.cos(a), 0.0], [0.0, 0.0, 1.0]])
    turned = renamed(ubq, "turned", (c - centre) @ rot.T + centre)

    (quick,) = dovel.scan_database(ubq, [turned], quick=True, scan_mode=False)
    (full,) = dovel.scan_database(ubq, [turned], scan_mode=False)
    assert full.score == pytest.approx(1.25)
    assert full.rmsd == pytest.approx(0.0, abs=1e-6)
    assert 0.0 < quick.score < full.score - 0.1


def test_quick_identity_counts_all_aligned_pairs(ubq):
    # Same coordinates, the first 19 of 76 residue codes changed: every pair
    # aligns, 57 of them with matching codes.
    seq = ubq.sequence
    changed = "".join("W" if ch != "W" else "A" for ch in seq[:19]) + seq[19:]
    target = dovel.Domain.from_arrays("mut", ubq.coordinates, changed)
    (hit,) = dovel.scan_database(ubq, [target], quick=True, scan_mode=False)
    assert hit.n_aligned == 76
    assert hit.seq_identity == pytest.approx(57 / 76)


# ---------------------------------------------------------------------------
# Cutoff, ranking, truncation, Z-scores


def test_ranking_keeps_target_order_for_equal_scores(ubq, rng):
    targets = [renamed(ubq, "a"), moved_copy(ubq, rng, "far")[0], renamed(ubq, "b"), renamed(ubq, "c")]
    hits = dovel.scan_database(ubq, targets, scan_mode=False)
    assert [h.target_id for h in hits] == ["a", "b", "c", "far"]
    assert [h.rank for h in hits] == [1, 2, 3, 4]
    assert all(h.e_value is None for h in hits)
    scores = np.array([h.score for h in hits])
    expected = (scores - scores.mean()) / scores.std()
    assert [h.z_score for h in hits] == pytest.approx(list(expected))


def test_max_hits_and_z_scores(ubq, rng):
    targets = [moved_copy(ubq, rng, "far")[0], renamed(ubq, "a"), renamed(ubq, "b")]

    # Two distinct scores kept: +1 and -1, whatever was dropped.
    hits = dovel.scan_database(ubq, [targets[0], targets[1]], scan_mode=False, max_hits=2)
    assert [(h.target_id, h.z_score) for h in hits] == [("a", 1.0), ("far", -1.0)]

    # The two kept hits have equal scores: no Z-scores.
    hits = dovel.scan_database(ubq, targets, scan_mode=False, max_hits=2)
    assert [h.target_id for h in hits] == ["a", "b"]
    assert [h.z_score for h in hits] == [None, None]

    hits = dovel.scan_database(ubq, targets, scan_mode=False, max_hits=1)
    assert [(h.target_id, h.rank, h.z_score) for h in hits] == [("a", 1, None)]

    assert dovel.scan_database(ubq, targets, scan_mode=False, max_hits=0) == []


def test_cutoff_is_inclusive(ubq, rng):
    targets = [renamed(ubq, "a"), moved_copy(ubq, rng, "far")[0]]
    best = dovel.scan_database(ubq, targets, scan_mode=False)[0].score
    hits = dovel.scan_database(ubq, targets, scan_mode=False, score_cutoff=best)
    assert [h.target_id for h in hits] == ["a"]
    assert dovel.scan_database(ubq, targets, scan_mode=False, score_cutoff=math.nextafter(best, 2.0)) == []
    # A negative cutoff admits everything, a cutoff above every score nothing.
    assert len(dovel.scan_database(ubq, targets, scan_mode=False, score_cutoff=-1.0)) == 2


def test_short_target_is_a_zero_hit_with_infinite_rmsd(ubq):
    short = load_entry("1sp1.pdb")  # 29 residues against 76: below half, not searched
    (hit,) = dovel.scan_database(ubq, [short])
    assert (hit.score, hit.n_aligned, hit.seq_identity) == (0.0, 0, 0.0)
    assert hit.rmsd == math.inf
    assert hit.z_score is None and hit.e_value is None
    assert repr(hit) == f"ScanHit(target='{hit.target_id}', rank=1, score=0.0000, rmsd=inf)"
    assert str(hit) == repr(hit)
    # Not a hit once the cutoff is above zero.
    assert dovel.scan_database(ubq, [short], score_cutoff=0.01) == []


def test_repr_rounds_and_shows_nan():
    # A straight-ish chain through the origin; the target's copy has a NaN at
    # the residue sitting on the origin, so that residue still pairs and the
    # superposition of the one quick step is NaN.
    t = np.arange(40, dtype=np.float64)
    coords = np.stack([3.8 * (t - 20), 2.0 * np.sin(t), 2.0 * np.cos(t) - 2.0 * np.cos(20.0)], axis=1)
    coords[20] = 0.0
    query = dovel.Domain.from_arrays("q", coords, "A" * 40)
    bad = coords.copy()
    bad[20] = np.nan
    target = dovel.Domain.from_arrays("odd'id", bad, "A" * 40)
    (hit,) = dovel.scan_database(query, [target], quick=True, scan_mode=False)
    assert math.isnan(hit.rmsd)
    assert repr(hit) == f"ScanHit(target='odd'id', rank=1, score={hit.score:.4f}, rmsd=NaN)"


# ---------------------------------------------------------------------------
# A real scan


def test_real_scan_ranks_the_moved_copy_first(rng):
    query = load_entry("families/thioredoxin/2trx.pdb")
    names = [
        "families/cytochrome_c/1hrc.pdb", "families/unrelated/1stn.pdb", "families/unrelated/2cpl.pdb",
        "families/thioredoxin/1dsb.pdb", "1ubq.pdb", "1a8o.pdb", "1orc.pdb", "1ejg.pdb",
        "families/thioredoxin/1ert.pdb", "families/thioredoxin/3trx.pdb",
    ]
    targets = [load_entry(n) for n in names]
    copy = moved_copy(query, rng, "self-moved", shift=(-30.0, 75.0, 12.0))[0]
    targets.insert(4, copy)
    hits = dovel.scan_database(query, targets)

    assert len(hits) == len(targets)  # default cutoff 0.0 keeps every target
    top = hits[0]
    assert top.target_id == "self-moved"
    assert top.rmsd < 0.01 and top.seq_identity == pytest.approx(1.0)
    assert top.n_aligned >= len(query) - 2
    assert [h.rank for h in hits] == list(range(1, len(hits) + 1))
    scores = [h.score for h in hits]
    assert scores == sorted(scores, reverse=True)
    assert top.score > scores[1]
    # The two close thioredoxins, given last, come next; they are found
    # although each lies in its own frame.
    assert {h.target_id for h in hits[1:3]} == {"1ert", "3trx"}
    assert all(h.rmsd < 2.0 and h.n_aligned > 60 for h in hits[1:3])
    assert hits[2].score > hits[3].score
    z = np.array([h.z_score for h in hits])
    assert z.mean() == pytest.approx(0.0, abs=1e-9)
    assert z.std() == pytest.approx(1.0)
    for h in hits:
        assert repr(h) == f"ScanHit(target='{h.target_id}', rank={h.rank}, score={h.score:.4f}, rmsd={h.rmsd:.3f})"


# ---------------------------------------------------------------------------
# No leaks on the success and error paths


def test_no_leaks():
    from test_leaks import assert_flat

    t = np.arange(30, dtype=np.float64)
    coords = np.stack([3.8 * t, 3.0 * np.sin(t / 2), 3.0 * np.cos(t / 2)], axis=1)
    q = dovel.Domain.from_arrays("q", coords, "ACDEFGHIKLMNPQRSTVWYACDEFGHIKL")
    same = dovel.Domain.from_arrays("same", coords, "A" * 30)
    short = dovel.Domain.from_arrays("short", coords[:10], "A" * 10)
    targets = [same, short, same]
    assert_flat([
        lambda: dovel.scan_database(q, targets),
        lambda: dovel.scan_database(q, targets, scan_mode=False),
        lambda: dovel.scan_database(q, targets, quick=True, scan_mode=False, max_hits=1),
        lambda: [repr(h) for h in dovel.scan_database(q, targets, scan_mode=False)],
        lambda: dovel.scan_database(q, "targets"),
        lambda: dovel.scan_database(q, [same, short, 3]),
        lambda: dovel.scan_database(q, targets, max_hits=-1),
        lambda: dovel.scan_database(q, targets, quick=1),
        lambda: dovel.scan_database(q, targets, params=q),
    ], n=500)


def test_ctrl_c_stops_a_long_database_scan():
    # 3000 targets of 300 residues: about a minute uninterrupted.
    lines = interrupt_child("""
        import time
        import dovel
        from conftest import random_chain
        query = dovel.Domain.from_arrays("q", random_chain(300, 0), "A" * 300)
        targets = [dovel.Domain.from_arrays(f"t{k}", random_chain(300, k + 1), "A" * 300) for k in range(3000)]
        print("ready", flush=True)
        start = time.monotonic()
        try:
            hits = dovel.scan_database(query, targets)
            print("finished", time.monotonic() - start)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start)
    """)
    what, seconds = lines[0].split()
    assert what == "interrupted"
    assert float(seconds) < 3.0
