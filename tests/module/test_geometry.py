import sys

import numpy as np
import pytest

import dovel
from conftest import data_path, random_rotation, read_ca

SHAPE = "Coordinates must have shape (N, 3)"
SAME = "Coordinate arrays must have same shape"


def np_rmsd(a, b):
    return np.sqrt(np.mean(np.sum((a - b) ** 2, axis=1))) if len(a) else 0.0


def test_agrees_with_numpy_on_random_data(rng):
    for n, m in [(1, 1), (7, 3), (250, 120)]:
        a = rng.normal(scale=30, size=(n, 3))
        b = rng.normal(scale=30, size=(n, 3))
        c = rng.normal(scale=30, size=(m, 3))
        assert dovel.compute_rmsd(a, b) == pytest.approx(np_rmsd(a, b), rel=1e-12, abs=1e-12)
        assert np.allclose(dovel.centroid(a), a.mean(axis=0), rtol=1e-12, atol=1e-12)
        d = dovel.distance_matrix(a, c)
        ref = np.sqrt(((a[:, None, :] - c[None, :, :]) ** 2).sum(axis=2))
        assert d.shape == (n, m)
        assert np.allclose(d, ref, rtol=1e-12, atol=1e-12)


def test_distance_matrix_entries_equal_single_row_rmsd(rng):
    a, b = rng.normal(size=(2, 3)), rng.normal(size=(3, 3))
    d = dovel.distance_matrix(a, b)
    assert d.shape == (2, 3)
    for i in range(2):
        for j in range(3):
            assert d[i, j] == dovel.compute_rmsd(a[i:i + 1], b[j:j + 1])


def test_superpose_recovers_known_motion_on_real_structures(rng):
    for name in ["1ubq.pdb", "1o1z.pdb", "1k6p.pdb"]:
        mobile = read_ca(data_path(name))
        assert len(mobile) > 50
        rot = random_rotation(rng)
        shift = rng.normal(scale=25, size=3)
        fixed = mobile @ rot.T + shift
        t, rmsd = dovel.superpose(fixed, mobile)
        assert rmsd < 1e-9
        assert np.allclose(t.rotation, rot, atol=1e-9)
        assert np.allclose(t.translation, shift, atol=1e-8)
        assert np.allclose(t.apply(mobile), fixed, atol=1e-8)
        assert np.linalg.det(t.rotation) == pytest.approx(1.0)


def test_superpose_two_chains_and_mirror():
    a = read_ca(data_path("1k6p.pdb"), "A")
    b = read_ca(data_path("1k6p.pdb"), "B")
    t, rmsd = dovel.superpose(a, b)
    assert 0 < rmsd < 3
    assert dovel.compute_rmsd(a, t.apply(b)) == pytest.approx(rmsd, rel=1e-9)
    mirror = a * np.array([-1.0, 1.0, 1.0])
    t, rmsd = dovel.superpose(a, mirror)
    assert np.linalg.det(t.rotation) == pytest.approx(1.0)
    assert rmsd > 1.0


def test_superpose_edge_cases(rng):
    a = rng.normal(size=(9, 3))
    t, rmsd = dovel.superpose(a, a)
    assert np.allclose(t.rotation, np.eye(3), atol=1e-12) and rmsd < 1e-12
    t, rmsd = dovel.superpose(np.zeros((0, 3)), np.zeros((0, 3)))
    assert np.array_equal(t.rotation, np.eye(3)) and np.array_equal(t.translation, np.zeros(3)) and rmsd == 0.0
    t, rmsd = dovel.superpose(np.array([[1.0, 2, 3]]), np.array([[4.0, 5, 6]]))
    assert np.array_equal(t.rotation, np.eye(3)) and np.array_equal(t.translation, [-3, -3, -3]) and rmsd == 0.0
    # extra columns are ignored
    wide = np.hstack([a, rng.normal(size=(9, 2))])
    t2, r2 = dovel.superpose(wide, np.hstack([a, np.zeros((9, 2))]))
    assert r2 == pytest.approx(0.0, abs=1e-12)
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        dovel.superpose(np.zeros((4, 2)), np.zeros((4, 2)))
    with pytest.raises(ValueError, match=f"^{SAME}$"):
        dovel.superpose(np.zeros((4, 3)), np.zeros((5, 3)))
    with pytest.raises(ValueError, match=f"^{SAME}$"):
        dovel.superpose(np.zeros((4, 2)), np.zeros((4, 3)))  # shape compared before columns


def test_small_results():
    assert dovel.centroid(np.array([[1.5, -2.0, 3.25]])) == (1.5, -2.0, 3.25)
    assert all(type(v) is float for v in dovel.centroid(np.ones((2, 3))))
    assert dovel.compute_rmsd(np.zeros((0, 3)), np.zeros((0, 3))) == 0.0
    a = np.arange(12.0).reshape(4, 3)
    assert dovel.compute_rmsd(a, a) == 0.0
    assert dovel.distance_matrix(np.zeros((0, 3)), a).shape == (0, 4)
    assert dovel.distance_matrix(a, np.zeros((0, 3))).shape == (4, 0)


def test_shape_checks_and_their_order():
    with pytest.raises(ValueError, match=f"^{SAME}$"):
        dovel.compute_rmsd(np.zeros((5, 3)), np.zeros((4, 3)))
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        dovel.compute_rmsd(np.zeros((5, 4)), np.zeros((5, 4)))
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        dovel.centroid(np.zeros((4, 2)))
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        dovel.distance_matrix(np.zeros((2, 3)), np.zeros((2, 4)))
    # conversion of the first argument fails before the second is looked at
    with pytest.raises(TypeError, match="^argument 'coords1': "):
        dovel.compute_rmsd([[0, 0, 0]], "nonsense")
    with pytest.raises(TypeError, match="^argument 'mobile': "):
        dovel.superpose(np.zeros((2, 3)), np.zeros((2, 3), dtype=np.float32))


@pytest.mark.parametrize("bad", [
    [[0.0, 0.0, 0.0]],
    np.zeros((3, 3), dtype=np.float32),
    np.zeros((3, 3), dtype=np.int64),
    np.zeros((3, 3), dtype=">f8"),
    np.zeros((3, 3), dtype=np.complex128),
    np.zeros(3),
    np.zeros((1, 3, 3)),
    np.float64(1.0),
    None,
    "abc",
])
def test_array_arguments_are_never_converted(bad):
    with pytest.raises(TypeError) as exc:
        dovel.centroid(bad)
    expected = type(bad).__qualname__
    assert str(exc.value) == f"argument 'coords': '{expected}' object cannot be cast as 'ndarray'"


def test_list_message():
    with pytest.raises(TypeError) as exc:
        dovel.centroid([[1.0, 2.0, 3.0]])
    assert str(exc.value) == "argument 'coords': 'list' object cannot be cast as 'ndarray'"


def test_any_memory_layout_is_read_correctly(rng):
    base = rng.normal(size=(40, 3))
    reference_c = dovel.centroid(base)
    fortran = np.asfortranarray(base)
    assert not fortran.flags.c_contiguous
    assert np.allclose(dovel.centroid(fortran), reference_c, rtol=0, atol=1e-12)
    transposed = np.ascontiguousarray(base.T).T  # Fortran-ordered view
    assert np.allclose(dovel.centroid(transposed), reference_c, rtol=0, atol=1e-12)
    reversed_rows = base[::-1]
    reversed_cols = base[:, ::-1]
    assert dovel.compute_rmsd(reversed_rows, base[::-1].copy()) == 0.0
    assert np.array_equal(dovel.distance_matrix(reversed_cols, base[:, ::-1].copy()),
                          dovel.distance_matrix(base[:, ::-1].copy(), base[:, ::-1].copy()))
    wide = rng.normal(size=(40, 7))
    sliced = wide[::2, 1:7:2]
    assert np.array_equal(dovel.distance_matrix(sliced, sliced), dovel.distance_matrix(sliced.copy(), sliced.copy()))
    # unaligned float64 data
    raw = np.zeros(base.size * 8 + 1, dtype=np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=np.float64, offset=1, count=base.size).reshape(40, 3)
    assert not unaligned.flags.aligned
    assert dovel.centroid(unaligned) == (0.0, 0.0, 0.0)


def test_inputs_are_not_modified_or_kept(rng):
    a = rng.normal(size=(10, 3))
    b = rng.normal(size=(10, 3))
    a0, b0 = a.copy(), b.copy()
    refs = sys.getrefcount(a), sys.getrefcount(b)
    a.flags.writeable = False
    for _ in range(3):
        dovel.superpose(a, b)
        dovel.compute_rmsd(a, b)
        dovel.distance_matrix(a, b)
        dovel.centroid(a)
    assert np.array_equal(a, a0) and np.array_equal(b, b0)
    assert (sys.getrefcount(a), sys.getrefcount(b)) == refs


def test_outputs_are_new_c_contiguous_arrays(rng):
    a = rng.normal(size=(5, 3))
    d1 = dovel.distance_matrix(a, a)
    d2 = dovel.distance_matrix(a, a)
    assert d1 is not d2 and d1.dtype == np.float64 and d1.flags.c_contiguous and d1.flags.owndata
    d1[:] = -1
    assert np.array_equal(d2, dovel.distance_matrix(a, a))
    t, _ = dovel.superpose(a, a)
    assert t.rotation is not t.rotation


def test_non_finite_values_propagate(rng):
    a = rng.normal(size=(6, 3))
    b = a.copy()
    b[2, 1] = np.nan
    t, rmsd = dovel.superpose(a, b)
    assert np.isnan(rmsd) and np.isnan(t.rotation).all()
    b[2, 1] = np.inf
    t, rmsd = dovel.superpose(a, b)
    assert np.isnan(rmsd)
    assert dovel.compute_rmsd(a, b) == np.inf
    assert np.isinf(dovel.centroid(b)[1])
    assert np.isinf(dovel.distance_matrix(a, b)).any()
    big = np.full((4, 3), 1e308)
    assert dovel.compute_rmsd(big, -big) == np.inf


def test_huge_arrays_raise_memory_error_quickly():
    huge = np.broadcast_to(np.zeros(3), (10**13, 3))  # zero stride: no memory behind it
    for call in (lambda: dovel.centroid(huge), lambda: dovel.compute_rmsd(huge, huge),
                 lambda: dovel.superpose(huge, huge), lambda: dovel.distance_matrix(huge, huge)):
        with pytest.raises(MemoryError):
            call()
    rows = np.broadcast_to(np.zeros(3), (3 * 10**6, 3))
    with pytest.raises(MemoryError):  # 9e12 distances
        dovel.distance_matrix(rows, rows)
