import decimal
import math
import sys

import numpy as np
import pytest

import dovel
from conftest import random_rotation


def make(rot, trans):
    return dovel.Transform.from_matrix(np.asarray(rot, dtype=float), np.asarray(trans, dtype=float))


# ---------------------------------------------------------------- Transform

def test_identity_and_accessors():
    t = dovel.Transform()
    assert np.array_equal(t.rotation, np.eye(3)) and np.array_equal(t.translation, np.zeros(3))
    assert t.rotation.shape == (3, 3) and t.translation.shape == (3,)
    assert repr(t) == str(t) == "Transform(translation=[0.000, 0.000, 0.000])"
    assert np.array_equal(t.transformation_matrix(), np.eye(4))
    with pytest.raises(TypeError, match=r"^Transform\(\) takes 0 positional arguments but 1 was given$"):
        dovel.Transform(np.eye(3))


def test_from_matrix_stores_values_as_given(rng):
    r = rng.normal(size=(3, 3))
    t = rng.normal(size=3)
    for rot in (r, np.asfortranarray(r), np.ascontiguousarray(r.T).T, r[::-1][::-1]):
        tr = dovel.Transform.from_matrix(rot, t[::-1][::-1])
        assert np.array_equal(tr.rotation, r) and np.array_equal(tr.translation, t)
    big = np.zeros((3, 6))
    big[:, ::2] = r
    assert np.array_equal(dovel.Transform.from_matrix(big[:, ::2], t).rotation, r)


def test_from_matrix_checks_in_order():
    with pytest.raises(ValueError, match="^Translation must be 3-element vector$"):
        make(np.eye(3), np.zeros(4))
    with pytest.raises(ValueError, match="^Rotation must be 3x3 matrix$"):
        make(np.eye(4), np.zeros(4))
    with pytest.raises(ValueError, match="^Rotation must be 3x3 matrix$"):
        make(np.zeros((0, 3)), np.zeros(3))
    for bad_t in (np.zeros((3, 1)), np.zeros((1, 3)), np.zeros(3, dtype=np.float32), [0.0, 0.0, 0.0]):
        with pytest.raises(TypeError, match="^argument 'translation': '.*' object cannot be cast as 'ndarray'$"):
            dovel.Transform.from_matrix(np.eye(3), bad_t)
    with pytest.raises(TypeError, match="^argument 'rotation': 'ndarray' object cannot be cast as 'ndarray'$"):
        dovel.Transform.from_matrix(np.eye(3, dtype=int), np.zeros(4))
    with pytest.raises(TypeError, match="^argument 'rotation': "):
        dovel.Transform.from_matrix(np.zeros(9), np.zeros(3))


def test_no_validation_of_rotation():
    t = make(2 * np.eye(3), [1.0, 2.0, 3.0])
    inv = t.inverse()
    assert np.array_equal(inv.rotation, 2 * np.eye(3))
    assert np.allclose(inv.translation, [-2.0, -4.0, -6.0])
    assert not np.allclose(t.compose(inv).rotation, np.eye(3))


def test_compose_apply_inverse(rng):
    p = rng.normal(scale=10, size=(20, 3))
    T = make(random_rotation(rng), rng.normal(size=3))
    U = make(random_rotation(rng), rng.normal(size=3))
    assert np.allclose(T.compose(U).apply(p), T.apply(U.apply(p)), atol=1e-12)
    assert not np.allclose(T.compose(U).rotation, U.compose(T).rotation)
    for c in (T.compose(T.inverse()), T.inverse().compose(T)):
        assert np.allclose(c.rotation, np.eye(3), atol=1e-14) and np.allclose(c.translation, 0, atol=1e-14)
    assert np.allclose(T.compose(T).rotation, T.rotation @ T.rotation)
    ref = p @ T.rotation.T + T.translation
    assert np.allclose(T.apply(p), ref, rtol=1e-14, atol=1e-13)
    assert np.allclose(T.apply(np.asfortranarray(p)[::-1]), ref[::-1], atol=1e-13)
    with pytest.raises(TypeError, match="^argument 'other': 'int' object cannot be cast as 'Transform'$"):
        T.compose(1)
    with pytest.raises(TypeError, match="^argument 'other': 'Parameters' object cannot be cast as 'Transform'$"):
        T.compose(other=dovel.Parameters())


def test_apply_shapes():
    t = make(np.eye(3), [1.0, 2.0, 3.0])
    out = t.apply(np.zeros((0, 3)))
    assert out.shape == (0, 3) and out.dtype == np.float64
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        t.apply(np.zeros((5, 2)))
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        t.apply(np.zeros((5, 4)))
    with pytest.raises(TypeError, match="^argument 'coords': 'list' object cannot be cast as 'ndarray'$"):
        t.apply([[0.0, 0.0, 0.0]])


def test_transformation_matrix():
    t = make(np.arange(9.0).reshape(3, 3), [1.0, 2.0, 3.0])
    m = t.transformation_matrix()
    assert m.shape == (4, 4) and m.flags.c_contiguous
    assert np.array_equal(m[3], [0, 0, 0, 1]) and np.array_equal(m[:, 3], [1, 2, 3, 1])
    assert np.array_equal(m[:3, :3], np.arange(9.0).reshape(3, 3))


def test_every_access_is_a_new_object():
    t = make(np.eye(3), [1.0, 2.0, 3.0])
    r = t.rotation
    assert r is not t.rotation
    r[0, 0] = 99.0
    tr = t.translation
    tr[:] = 0
    assert t.rotation[0, 0] == 1.0 and np.array_equal(t.translation, [1, 2, 3])
    assert t.inverse() is not t.inverse()
    with pytest.raises(AttributeError):
        t.rotation = np.eye(3)
    with pytest.raises(AttributeError):
        t.translation = np.zeros(3)


@pytest.mark.parametrize("values, text", [
    ((1.23456, -0.0004, 10.0), "[1.235, -0.000, 10.000]"),
    ((-0.0, 0.0005, 1.0005), "[-0.000, 0.001, 1.000]"),  # 1.0005 is below 1.0005 exactly
    ((2.0005, -1e-300, 123456789.0125), "[2.001, -0.000, 123456789.013]"),
    ((math.nan, math.inf, -math.inf), "[NaN, inf, -inf]"),
    ((1e20, -2.5, 0.9995), "[100000000000000000000.000, -2.500, 1.000]"),
])
def test_transform_repr_rounding(values, text):
    t = make(np.eye(3), values)
    assert repr(t) == str(t) == f"Transform(translation={text})"


# ---------------------------------------------------------------- Parameters

DEFAULTS = dict(n_passes=2, e1=2.0, e2=5.0, gap_open=3.0, gap_extend=0.5, use_secondary=True, max_iter=100,
                cutoff_dist=10.0, score_cutoff=2.0, convergence=0.01, verbosity=1)
INT_ATTRS = ["n_passes", "max_iter", "verbosity"]
FLOAT_ATTRS = ["e1", "e2", "gap_open", "gap_extend", "cutoff_dist", "score_cutoff", "convergence"]


def test_parameter_defaults_and_types():
    p = dovel.Parameters()
    for name, value in DEFAULTS.items():
        got = getattr(p, name)
        assert got == value and type(got) is type(value), name
    assert repr(p) == str(p) == "Parameters(n_passes=2, e1=2, e2=5, gap_open=3, use_secondary=true)"
    names = [n for n in dir(dovel.Parameters) if not n.startswith("_")]
    assert sorted(names) == sorted(DEFAULTS)
    assert dovel.Parameters.e1.__doc__ == "E1 parameter for Pij calculation."
    assert list(k for k in vars(dovel.Parameters) if not k.startswith("_")) == list(DEFAULTS)


class Floaty:
    def __float__(self):
        return 1.25


class Indexy:
    def __index__(self):
        return 7


def test_float_attributes_accept_float_semantics():
    p = dovel.Parameters()
    for name in FLOAT_ATTRS:
        for value, expected in ((3, 3.0), (True, 1.0), (Floaty(), 1.25), (Indexy(), 7.0), (np.float32(0.5), 0.5),
                                (-1e300, -1e300), (math.inf, math.inf)):
            setattr(p, name, value)
            got = getattr(p, name)
            assert type(got) is float and got == expected
        setattr(p, name, math.nan)
        assert math.isnan(getattr(p, name))
        setattr(p, name, 4.5)
        for bad in ("1.0", None, [1.0], b"1"):
            with pytest.raises(TypeError, match=f"^argument 'value': '{type(bad).__qualname__}' object cannot be cast as 'float'$"):
                setattr(p, name, bad)
            assert getattr(p, name) == 4.5


def test_int_attributes():
    p = dovel.Parameters()
    for name in INT_ATTRS:
        for value in (0, 4294967295, Indexy(), np.int64(12)):
            setattr(p, name, value)
            got = getattr(p, name)
            assert type(got) is int and got == int(value)
        setattr(p, name, 9)
        for bad in (-1, 4294967296, 2**70, -(2**70)):
            with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
                setattr(p, name, bad)
            assert getattr(p, name) == 9
        for bad in (2.5, 3.0, "3", None, np.float64(1.0)):
            with pytest.raises(TypeError, match="^argument 'value': "):
                setattr(p, name, bad)
            assert getattr(p, name) == 9


def test_bool_attribute_accepts_only_booleans():
    p = dovel.Parameters()
    p.use_secondary = False
    assert p.use_secondary is False
    p.use_secondary = np.bool_(True)
    assert p.use_secondary is True
    assert repr(p).endswith("use_secondary=true)")
    p.use_secondary = np.True_ ^ True
    assert p.use_secondary is False and repr(p).endswith("use_secondary=false)")
    for bad in (1, 0, None, "true", np.int64(1)):
        with pytest.raises(TypeError, match="^argument 'value': .* object cannot be cast as 'bool'$"):
            p.use_secondary = bad
        assert p.use_secondary is False


def test_delete_attribute():
    p = dovel.Parameters()
    for name in DEFAULTS:
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(p, name)
        assert getattr(p, name) == DEFAULTS[name]


@pytest.mark.parametrize("attr, value, shown", [
    ("e1", 3, "e1=3"),
    ("gap_open", 1e-7, "gap_open=0.0000001"),
    ("e2", 0.1, "e2=0.1"),
    ("e2", 2.5e-10, "e2=0.00000000025"),
    ("gap_open", 1e22, "gap_open=10000000000000000000000"),
    ("e1", math.nan, "e1=NaN"),
    ("e1", -math.inf, "e1=-inf"),
    ("e1", 1 / 3, "e1=0.3333333333333333"),
    ("n_passes", 4294967295, "n_passes=4294967295"),
])
def test_parameters_repr(attr, value, shown):
    p = dovel.Parameters()
    setattr(p, attr, value)
    assert shown in repr(p)
    p.max_iter = 7  # not shown
    p.score_cutoff = 9.0
    assert "max_iter" not in repr(p) and "score_cutoff" not in repr(p)


def test_parameter_objects_are_independent():
    a, b = dovel.Parameters(), dovel.Parameters()
    a.e1 = 9.0
    assert b.e1 == 2.0


def test_parameters_constructor_takes_no_arguments():
    with pytest.raises(TypeError, match=r"^Parameters\(\) got an unexpected keyword argument 'n_passes'$"):
        dovel.Parameters(n_passes=3)
    with pytest.raises(TypeError, match=r"^Parameters\(\) takes 0 positional arguments but 1 was given$"):
        dovel.Parameters(3)


def shortest_without_exponent(x):
    """Python's own shortest round-trip digits of x, written out without an exponent."""
    return format(decimal.Decimal(repr(x)).normalize(), "f")


@pytest.mark.parametrize("value", [
    2.0 ** 60, -(2.0 ** 60), sys.float_info.max, -sys.float_info.max, 1e23, 2.0 ** 200, 123456789012345678.0,
    9007199254740993.0, 3.0e300, float(10 ** 17 + 8), 7.0e16,
])
def test_parameters_repr_of_huge_integral_values(value):
    p = dovel.Parameters()
    p.e2 = value
    text = repr(p)
    expected = shortest_without_exponent(value)
    assert f"e2={expected}," in text
    assert float(expected) == value and "e" not in expected.lower()
    if value == 2.0 ** 60:
        assert "e2=1152921504606847000," in text
    if value == sys.float_info.max:
        assert "e2=17976931348623157" + "0" * 292 + "," in text


def test_parameters_repr_agrees_with_python_digits(rng):
    # Random magnitudes across the whole range of doubles, integral or not.
    p = dovel.Parameters()
    for value in np.concatenate([10.0 ** rng.uniform(-300, 308, 300), rng.normal(size=100)]):
        p.gap_open = float(value)
        shown = repr(p).split("gap_open=")[1].split(",")[0]
        assert shown == shortest_without_exponent(float(value))
