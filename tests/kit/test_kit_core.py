"""dovelkit._core: settings as plain values, hits that travel whole, and clear errors."""

import pickle

import numpy as np
import pytest

import dovel
import dovelkit
from dovelkit import _core
from conftest import data_path


def test_settings_compare_print_and_pickle():
    s = _core.Settings(gap_open=1.5, max_iter=7, use_secondary=True)
    assert s == _core.Settings(gap_open=1.5, max_iter=7, use_secondary=True)
    assert s != _core.Settings() and s != "gap_open=1.5"
    back = pickle.loads(pickle.dumps(s))
    assert back == s and back is not s and repr(back) == repr(s)
    assert "gap_open=1.5" in repr(s) and "max_iter=7" in repr(s)
    p = dovelkit.parameters("sensitive")
    t = _core.Settings.from_parameters(p)
    assert (t.e1, t.e2, t.cutoff_dist, t.gap_open) == (p.e1, p.e2, p.cutoff_dist, p.gap_open)
    q = t.to_parameters()
    assert isinstance(q, dovel.Parameters) and _core.Settings.from_parameters(q) == t
    with pytest.raises(TypeError):
        _core.Settings(1)  # keywords only


@pytest.fixture(scope="module")
def cytochromes():
    return [dovelkit.load(data_path("families", "cytochrome_c", f"{n}.pdb")) for n in ("1hrc", "1ycc", "1co6", "1crc")]


def scan(query, targets, first=0, **kw):
    coords = np.concatenate([d.coordinates for d in targets])
    offsets = np.cumsum([0] + [len(d) for d in targets])
    opts = dict(score_cutoff=0.0, max_hits=10, quick=False, scan_mode=True, pairs=True) | kw
    return _core.scan_targets(query.coordinates, query.sequence, coords, offsets, "".join(d.sequence for d in targets),
                              first, _core.Settings(), **opts)


def test_hits_pickle_whole_and_slices_merge_into_the_scan_of_all(cytochromes):
    q, targets = cytochromes[0], cytochromes + cytochromes[::-1]
    whole = scan(q, targets)
    parts = scan(q, targets[:3], max_hits=3) + scan(q, targets[3:], first=3, max_hits=3)
    merged = _core.select_hits(pickle.loads(pickle.dumps(parts[::-1])), score_cutoff=0.0, max_hits=3)
    ref = dovel.scan_database(q, targets, max_hits=3)
    assert [h.position for h in merged] == [h.position for h in whole[:3]]
    assert [(h.rank, h.score, h.z_score) for h in merged] == [(r.rank, r.score, r.z_score) for r in ref]
    for h, w in zip(merged, whole):
        assert np.array_equal(h.pairs, w.pairs) and np.array_equal(h.distances, w.distances)
        assert np.array_equal(h.transform, w.transform) and np.array_equal(h.core_pairs, w.core_pairs)
    bare = scan(q, targets, pairs=False)
    assert bare[0].pairs is None and bare[0].distances is None and bare[0].n_aligned == whole[0].n_aligned


def test_bad_arrays_and_callbacks_raise_clear_errors(cytochromes):
    q = cytochromes[0]
    with pytest.raises(ValueError, match="must match sequence length"):
        _core.align_pair(q.coordinates, q.sequence[:-1], q.coordinates, q.sequence, _core.Settings())
    with pytest.raises(ValueError, match="offsets"):
        _core.scan_targets(q.coordinates, q.sequence, q.coordinates, np.array([0, len(q) + 5]), q.sequence, 0,
                           _core.Settings(), score_cutoff=0.0, max_hits=5, quick=False, scan_mode=True)
    with pytest.raises(ValueError, match="differ"):
        _core.scan_targets(q.coordinates, q.sequence, q.coordinates, np.array([0, len(q)]), q.sequence + "A", 0,
                           _core.Settings(), score_cutoff=0.0, max_hits=5, quick=False, scan_mode=True)
    with pytest.raises(TypeError):
        _core.align_pair(q.coordinates.ravel(), q.sequence, q.coordinates, q.sequence, _core.Settings())
    with pytest.raises(ValueError, match="at least 2"):
        _core.align_domains([(q.coordinates, q.sequence)], _core.Settings())
    with pytest.raises(ZeroDivisionError):  # a failing progress callback ends the alignment with its error
        _core.align_domains([(d.coordinates, d.sequence) for d in cytochromes], _core.Settings(),
                            progress=lambda k, n: 1 / 0)
    # the distances of a multiple alignment: inconsistent columns are refused, never read out of bounds
    a, b = cytochromes[0].coordinates, cytochromes[1].coordinates
    for columns, core in (([[0, len(b)]], []), ([[0, -1]], []), ([[0]], []), ([[0, None]], [0]), ([[0, 0]], [1]),
                          ([[0, 2**40]], [])):
        with pytest.raises(ValueError, match="Multiple alignment failed"):
            _core.multiple_distances([a, b], columns, core)
    rmsd, deviation = _core.multiple_distances([a, a + [3.0, 0.0, 4.0]], [[k, k] for k in range(len(a))],
                                               list(range(len(a))))
    np.testing.assert_allclose(rmsd, [[0, 5], [5, 0]])
    np.testing.assert_allclose(deviation, 2.5)
